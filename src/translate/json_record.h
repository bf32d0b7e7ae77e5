// JSON payloads on topics the integrator names (--json-topic): the filter,
// its match against a topic (named levels become tags), and the one record a
// JSON object becomes. Pure: no I/O, no settings, so unit tests and the
// fuzzer drive it directly.
#ifndef MQTT_INFLUX_BRIDGE_TRANSLATE_JSON_RECORD_H_
#define MQTT_INFLUX_BRIDGE_TRANSLATE_JSON_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMaxJsonTopics = 16;
inline constexpr std::size_t kMaxJsonPayloadBytes = 64 * 1024;
inline constexpr int kMaxJsonDepth = 16;
inline constexpr std::size_t kMaxJsonFields = 256;

// One --json-topic FILTER[=MEASUREMENT].
struct JsonFilter {
  std::string subscription;         // FILTER with every "+name" level as "+"
  std::vector<std::string> levels;  // FILTER's levels, "$share/GROUP/" left out
  std::string measurement;          // empty: the topic's last level
};

// The filter an option value describes, or why it cannot be used. FILTER is
// the text before the last "=" when the text after it holds no "/", "+" or
// "#" (a topic may hold "=" itself).
std::optional<std::string> parse_json_topic(std::string_view option_value, JsonFilter& out);

// Whether topic_levels match the filter; fills the named levels' tags in
// filter order. A topic whose first level starts with "$" matches no
// wildcard first level, as in MQTT.
struct LevelTag {
  std::string_view name;
  std::string_view value;
};
bool match_json_filter(const JsonFilter& filter, const std::vector<std::string>& topic_levels,
                       std::vector<LevelTag>& tags);

struct JsonRecordInput {
  std::string_view topic;
  std::string_view measurement;  // already chosen: the filter's or the last level
  const std::vector<LevelTag>* tags;
  std::string_view client_id;
  std::string_view time_key;   // empty: no time key
  std::string_view precision;  // -p: the unit of a numeric time and of the arrival time
  std::int64_t arrival;
};

struct JsonRecord {
  std::string text;  // without its line feed
  bool stamped_on_arrival;
  std::string_view drop;  // why no record (text empty); a texts.h reason
};

// The record for one JSON payload: fields in document order, nested keys
// joined with "_", array items as key_0, key_1 ...; the first of two equal
// field keys wins. See README.md, "JSON payloads".
JsonRecord json_record(std::string_view payload, const JsonRecordInput& in);

// The RFC 3339 date-time (with its offset) in the unit of precision, or
// nothing when the text is not one or the precision is not s, ms, us or ns.
std::optional<std::int64_t> rfc3339_time(std::string_view text, std::string_view precision);

#endif  // MQTT_INFLUX_BRIDGE_TRANSLATE_JSON_RECORD_H_
