// Process-wide settings: built-in defaults, overridden by a few command-line
// options, then read-only once the MQTT client exists.
#ifndef MQTT_INFLUX_BRIDGE_APP_SETTINGS_H_
#define MQTT_INFLUX_BRIDGE_APP_SETTINGS_H_

#include <string>

struct Settings {
  std::string mqtt_host = "localhost";
  std::string client_id;             // empty until resolved from -c or the identity file
  std::string topic_prefix = "v1/";  // the subscription is topic_prefix + "#"
  std::string precision = "ms";      // s, ms, us or ns; anything else stamps 0
  std::string influx_host = "localhost:8086";
  std::string database = "mydb";
  std::string value_key = "value";
  bool catch_sigterm = false;
};

extern Settings settings;

// Fixed values that are not settings.
inline constexpr int kBrokerPort = 1883;
inline constexpr int kKeepAliveSeconds = 10;
inline constexpr int kSubscriptionQos = 1;

// Parses the options into `out` and the global `verbosity` with getopt.
// Returns false when the usage line is due: an unknown option, a missing
// argument, or one of the options accepted but not handled (-C -I -K -m -q -r -i).
// Resets getopt's state first, so it may be called more than once (tests do).
bool parse_command_line(int argc, char* argv[], Settings& out);

// Turns `client_id` into the identity the bridge uses: when empty, the content
// of `identity_path` after its leading white space, or "<undefined>"; then
// every space, carriage return and line feed is deleted.
std::string resolve_client_id(std::string client_id, const char* identity_path);

#endif  // MQTT_INFLUX_BRIDGE_APP_SETTINGS_H_
