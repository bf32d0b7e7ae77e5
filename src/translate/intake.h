// Message intake: stamps each delivered message with its arrival time,
// applies the topic and payload rules and cuts the payload into tokens.
// Every message that breaks a rule is dropped silently.
#ifndef MQTT_INFLUX_BRIDGE_TRANSLATE_INTAKE_H_
#define MQTT_INFLUX_BRIDGE_TRANSLATE_INTAKE_H_

#include <mosquitto.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "translate/json_record.h"
#include "translate/record.h"

struct Settings;

// Payloads longer than this are dropped; the bound caps the work per message.
inline constexpr int kMaxPayloadBytes = 1023;

// The real-time clock the arrival timestamp is read from. Tests pin it.
// False when the clock cannot be read (a 32-bit time_t after January 2038
// would do that; the bridge is built with a 64-bit one).
extern bool (*read_realtime_clock)(timespec& now);

// Whether precision names a unit the clock is read in: "s", "ms", "us" or
// "ns", compared exactly.
bool known_precision(std::string_view precision);
// The clock value in the unit named by precision ("s", "ms", "us", "ns",
// compared exactly); 0 for any other text. Signed 64-bit arithmetic.
std::int64_t timestamp_in_precision(const timespec& now, std::string_view precision);
// Reads the clock and converts it with the configured precision.
// Nothing when the clock cannot be read: the message is then dropped with an
// info line rather than stamped 0.
std::optional<std::int64_t> arrival_timestamp();

// The maximal runs of non-white-space bytes, in order; empty when no byte is
// printable. The views point into payload.
std::vector<std::string_view> split_payload(std::string_view payload);

// The intake rules: fills the topic's levels (an empty level becomes an empty
// text) and the payload's tokens, or returns false to drop the message.
bool accept_message(const char* topic, const void* payload, int payload_length,
                    std::vector<std::string>& levels, std::vector<std::string_view>& tokens);

// The intake rules and the record, without I/O: the record for this message,
// or nothing when it is dropped. topic is NUL-terminated, as the library gives it.
std::optional<std::string> translate_message(const char* topic, const void* payload,
                                             int payload_length, std::int64_t arrival,
                                             const RecordIdentity& identity);

// The run's JSON filters, in option order; set once at start-up.
extern std::vector<JsonFilter> json_filters;

// Checks the JSON options and fills `out`: nothing, or the fatal line's text.
std::optional<std::string> prepare_json_filters(const Settings& in, std::vector<JsonFilter>& out);

// A message on a topic the first matching JSON filter takes: its record, or
// why it is dropped. Nothing when no JSON filter matches (the v1 rules then
// apply). topic is NUL-terminated, as the library gives it.
std::optional<JsonRecord> translate_json_message(const char* topic, const void* payload,
                                                 int payload_length, std::int64_t arrival,
                                                 std::string_view client_id,
                                                 const std::vector<JsonFilter>& filters,
                                                 std::string_view time_key,
                                                 std::string_view precision);

// libmosquitto's message callback: translates the message and hands the
// record to build_record's writer and trace line.
void on_message(mosquitto* client, void* user_data, const mosquitto_message* message);

#endif  // MQTT_INFLUX_BRIDGE_TRANSLATE_INTAKE_H_
