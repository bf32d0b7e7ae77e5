// The start-up checks of the remote-endpoint options, and what they turn
// into: the database's URL pieces and access, the broker's access. Every
// file (passwords, token, CA, certificate, key) is read or looked at here,
// once, before any connection.
#ifndef MQTT_INFLUX_BRIDGE_APP_REMOTE_SETUP_H_
#define MQTT_INFLUX_BRIDGE_APP_REMOTE_SETUP_H_

#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "mqtt/broker_access.h"
#include "writer/transport.h"

struct RemoteSetup {
  std::string base_url;  // a checked --influx-url without trailing slashes, or "http://" influx_host
  std::string database_query;         // the database, percent-encoded for the query
  std::string retention_policy_query; // likewise; empty: no rp parameter
  TransportOptions database;
  BrokerAccess broker;
  // What an operator should know though the bridge can run, each the text of
  // one info line: a secret sent in clear text beyond the device, a secret
  // file every user can read.
  std::vector<std::string> warnings;
};

// Checks the remote options in `in` and reads their files into `out`.
// Passwords and the token come from their --...-file options, or else from
// `credentials_dir` (systemd's CREDENTIALS_DIRECTORY; null when unset):
// "mqtt-password" and "influx-password" with their user only, "influx-token"
// unless --influx-user is given. Returns the fatal line's text, naming the
// option and why it is unusable, or nothing when all is well (warnings may
// then be in out.warnings).
std::optional<std::string> prepare_remote_setup(const Settings& in, const char* credentials_dir,
                                                RemoteSetup& out);

#endif  // MQTT_INFLUX_BRIDGE_APP_REMOTE_SETUP_H_
