// Process-wide settings: built-in defaults, overridden by a few command-line
// options, then read-only once the MQTT client exists.
#ifndef MQTT_INFLUX_BRIDGE_APP_SETTINGS_H_
#define MQTT_INFLUX_BRIDGE_APP_SETTINGS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Settings {
  std::string mqtt_host = "localhost";
  std::string client_id;             // empty until resolved from -c or the identity file
  std::string topic_prefix = "v1/";  // the subscription is topic_prefix + "#"
  std::string precision = "ms";      // s, ms, us or ns; anything else stamps 0
  std::string influx_host = "localhost:8086";
  std::string database = "mydb";
  std::string value_key = "value";
  bool catch_sigterm = false;

  // Endpoints beyond the device (long options only). Empty or false: the
  // database is http:// influx_host and the broker is reached in clear text
  // without credentials, exactly as without them. Passwords and tokens are
  // named by file only: a value on the command line would show in ps.
  std::string influx_url;  // http[s]://HOST[:PORT][/PATH]
  std::string influx_rp;   // retention policy; empty sends no rp parameter
  std::string influx_user;
  std::string influx_password_file;
  std::string influx_token_file;
  std::string influx_cafile;
  std::string influx_proxy;  // http://HOST:PORT; empty: no proxy, whatever the environment says
  bool influx_gzip = false;
  // Checked at start-up; unset: 1883, or 8883 with TLS (an empty value is refused).
  std::optional<std::string> mqtt_port;
  bool mqtt_tls = false;
  std::string mqtt_cafile;
  std::string mqtt_cert;
  std::string mqtt_key;
  std::string mqtt_user;
  std::string mqtt_password_file;
  // Clean session off: the broker keeps the subscription and queues QoS 1
  // messages for the bridge's identity while it is away.
  bool mqtt_persistent_session = false;
  // Every record kept on disk in this directory until the database has
  // answered for it; empty: in memory only. The bound is checked at start-up
  // (empty: 64 MiB).
  // Unset when the option is not given (an empty value is a value: refused).
  std::optional<std::string> spool_dir;
  std::optional<std::string> spool_max_bytes;
  // --json-topic values as given (checked at start-up) and --json-time-key.
  // Empty: no JSON topic, and every message follows the v1 rules.
  std::vector<std::string> json_topics;
  std::optional<std::string> json_time_key;
};

extern Settings settings;

// Fixed values that are not settings.
inline constexpr int kBrokerPort = 1883;
inline constexpr int kBrokerTlsPort = 8883;
inline constexpr int kKeepAliveSeconds = 10;
inline constexpr int kSubscriptionQos = 1;

// Parses the options into `out` and the global `verbosity` with getopt_long:
// the short options, and the long ones for remote endpoints (checked later,
// by check_remote_settings). Returns false when the usage line is due: an
// unknown option, a missing argument, or one of the options accepted but not
// handled (-C -I -K -m -q -r -i).
// Resets getopt's state first, so it may be called more than once (tests do).
bool parse_command_line(int argc, char* argv[], Settings& out);

// A start-up check's fatal text: "<option>: <reason>".
std::string option_fault(std::string_view option, std::string_view reason);

// Turns `client_id` into the identity the bridge uses: when empty, the content
// of `identity_path` after its leading white space, or "<undefined>" when the
// file is missing, unreadable or blank; then every space, carriage return and
// line feed is deleted. Nothing when the file is there but not a regular file
// (a FIFO would hang the start, a device never end): the caller stops.
std::optional<std::string> resolve_client_id(std::string client_id, const char* identity_path);

#endif  // MQTT_INFLUX_BRIDGE_APP_SETTINGS_H_
