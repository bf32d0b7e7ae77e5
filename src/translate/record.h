// Record building: one accepted message becomes one InfluxDB 1.x
// line-protocol record, or is dropped when its tokens fit no layout.
#ifndef MQTT_INFLUX_BRIDGE_TRANSLATE_RECORD_H_
#define MQTT_INFLUX_BRIDGE_TRANSLATE_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The token if it holds no "=", otherwise an empty text.
std::string_view plain_or_empty(std::string_view token);
// The token if it holds "=", otherwise an empty text.
std::string_view pair_or_empty(std::string_view token);
// The token if it holds "=", otherwise value_key "=" token.
std::string make_field(std::string_view token, std::string_view value_key);

// What a record needs beyond the message: the device identity (the host tag)
// and the field key for bare values.
struct RecordIdentity {
  std::string_view client_id;
  std::string_view value_key;
};

// The record without its line feed:
//   measurement "," host=<client_id> ",mqtt=\"" topic "\"" [",extra"] " " field " " timestamp
// The measurement is the last topic level. Returns nothing (a silent drop)
// when the measurement is empty or equals value_key, or when the tokens fit
// no layout. Names and tag values the bridge puts in are escaped for the line
// protocol; payload tokens go in verbatim, they are the publisher's own pieces.
std::optional<std::string> format_record(std::string_view topic, std::string_view measurement,
                                         const std::vector<std::string_view>& tokens,
                                         std::int64_t arrival, const RecordIdentity& identity);

// Formats the record with the process-wide settings, hands it to the writer
// and then logs it at trace level. A drop writes and logs nothing.
void build_record(std::string_view topic, const std::vector<std::string>& levels,
                  const std::vector<std::string_view>& tokens, std::int64_t arrival);

#endif  // MQTT_INFLUX_BRIDGE_TRANSLATE_RECORD_H_
