// Record building: one accepted message becomes one InfluxDB 1.x
// line-protocol record, or is dropped when its tokens fit no layout.
#ifndef MQTT_INFLUX_BRIDGE_TRANSLATE_RECORD_H_
#define MQTT_INFLUX_BRIDGE_TRANSLATE_RECORD_H_

#include <cstddef>
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

// Appends text with a backslash before every byte listed in `special`.
void append_escaped(std::string& out, std::string_view text, std::string_view special);
inline constexpr std::string_view kMeasurementSpecial = ", ";
inline constexpr std::string_view kTagValueSpecial = ",= ";  // also tag and field keys
// Whether InfluxDB 1.x stores a measurement of this name as written (escaped
// with kMeasurementSpecial): not empty, no leading "#", and no run of
// backslashes before a comma, blank, equals sign, double quote or its end.
bool measurement_writable(std::string_view name);
// Whether every run of backslashes in a name or tag value is followed by an
// ordinary byte: InfluxDB 1.x misreads one before a comma, blank, equals
// sign, double quote or the end, escaped or not.
bool backslashes_harmless(std::string_view name);

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
// Also dropped, because the database would not read the record back as meant
// or it would take the next record with it: a measurement that starts with
// "#" or holds a backslash before a comma, blank, equals sign, double quote,
// another backslash or its end; a token used that ends in a backslash; a
// field and timestamp with a double quote left open; a measurement, tag key
// or field key that is not valid UTF-8 (the database would store it and then
// fail to open its shard after a restart).
std::optional<std::string> format_record(std::string_view topic, std::string_view measurement,
                                         const std::vector<std::string_view>& tokens,
                                         std::int64_t arrival, const RecordIdentity& identity);

// MQTT carries a client identifier of at most 65535 bytes.
inline constexpr std::size_t kMaxClientIdBytes = 65535;
// InfluxDB 1.x refuses a point whose series key and field key pass 65535
// bytes ("max key length exceeded"); with the shortest measurement, topic and
// field key, the escaped host tag value leaves room for 65511 bytes.
inline constexpr std::size_t kMaxHostTagBytes = 65511;

// Why an identity cannot serve as both the MQTT client identifier and the
// host tag of every record, or nothing when it can: an empty one (InfluxDB
// refuses "host=" with "missing tag value"), a NUL byte (the library
// would cut the identifier there, the tag would not), a trailing backslash
// (it would escape the comma after the tag and every record would be
// refused), a length MQTT or the database cannot take, or what libmosquitto
// refuses in a client identifier (bytes that are not UTF-8, a control
// character, a Unicode non-character), named with its position.
std::optional<std::string> identity_fault(std::string_view client_id);

class SeriesStamps;

struct StampedRecord {
  std::string text;
  bool unchecked;  // the series table was full: the arrival time went in unchecked
};
// format_record for a run whose arrival stamps are kept apart per series: a
// record without a timestamp token gets the stamp `stamps` gives its series
// for `arrival` (SeriesStamps); one with a payload timestamp keeps it, and
// `stamps` never sees it.
std::optional<StampedRecord> format_stamped_record(std::string_view topic,
                                                   std::string_view measurement,
                                                   const std::vector<std::string_view>& tokens,
                                                   std::int64_t arrival,
                                                   const RecordIdentity& identity,
                                                   SeriesStamps& stamps);

// Formats the record with the process-wide settings, hands it to the writer
// and then logs it at trace level. A drop writes and logs nothing. With a
// known precision the record is format_stamped_record's, with one table for
// the run, so no record stamped on arrival overwrites another of its series.
void build_record(std::string_view topic, const std::vector<std::string>& levels,
                  const std::vector<std::string_view>& tokens, std::int64_t arrival);

// Hands a record made elsewhere (a JSON payload's) to the writer and logs it
// at trace level; one whose last word is the arrival time gets the run's
// stamp for its series, as build_record's records do.
void deliver_record(std::string record, bool stamped_on_arrival, std::int64_t arrival);

#endif  // MQTT_INFLUX_BRIDGE_TRANSLATE_RECORD_H_
