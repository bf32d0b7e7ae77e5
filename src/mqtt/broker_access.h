// How the bridge reaches its broker beyond the defaults: the port, TLS and
// credentials, applied to the client before its first connection; and the
// TLS library's own reason for a failed handshake, which libmosquitto only
// passes to its log callback.
#ifndef MQTT_INFLUX_BRIDGE_MQTT_BROKER_ACCESS_H_
#define MQTT_INFLUX_BRIDGE_MQTT_BROKER_ACCESS_H_

#include <mosquitto.h>

#include <string>

struct BrokerAccess {
  int port = 1883;
  bool tls = false;
  std::string cafile;  // empty: the system's trust store
  std::string cert;    // client certificate and key, both or neither
  std::string key;
  std::string user;  // empty: no credentials
  std::string password;
};

// Applies `access` to `client`: nothing at all for the defaults (plain,
// anonymous). Returns false with libmosquitto's reason in `why` when the
// library refuses the TLS set-up (for example a key that does not match
// its certificate).
bool apply_broker_access(mosquitto* client, const BrokerAccess& access, std::string& why);

// libmosquitto's log callback: keeps the TLS library's error lines of the
// current attempt for tls_failure_reason(). Writes nothing itself.
void on_library_log(mosquitto* client, void* user_data, int level, const char* text);
// What the TLS library said since the last call, joined with "; " (empty if
// nothing); forgets it, so each attempt's reason is its own.
std::string take_tls_failure_reason();

#endif  // MQTT_INFLUX_BRIDGE_MQTT_BROKER_ACCESS_H_
