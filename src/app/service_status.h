// What the bridge tells its service manager about itself (the STATUS= line):
// short words for the operator, sent when the state changes.
#ifndef MQTT_INFLUX_BRIDGE_APP_SERVICE_STATUS_H_
#define MQTT_INFLUX_BRIDGE_APP_SERVICE_STATUS_H_

#include <chrono>
#include <cstddef>
#include <string>

struct ServiceState {
  using WallClock = std::chrono::system_clock;

  bool ever_connected = false;  // a first CONNACK has accepted the bridge
  bool broker_lost = false;     // the connection went and has not come back yet
  WallClock::time_point broker_lost_since{};
  bool database_down = false;   // the last POST failed
  WallClock::time_point database_down_since{};
  std::size_t records_pending = 0;
  bool subscription_failed = false;  // the current connection receives nothing
  std::string subscription_filter;   // the filter it asked for, when that failed
};

// "connecting to the broker", "connected, delivering", or what is wrong:
// "broker lost since <UTC time>", "subscription failed: <filter>", "database
// unreachable since <UTC time>, <n> records pending", joined by "; " when
// more than one is.
std::string status_text(const ServiceState& state);

// Whether a new status line is worth sending: at once when what is wrong (or
// since when) changed; a mere change of the pending count only once
// `since_last` has reached ten seconds, so a flood does not become a
// datagram per message.
bool status_worth_sending(const ServiceState& last_sent, const ServiceState& now,
                          std::chrono::steady_clock::duration since_last);

// "2026-12-08 07:31:02 UTC".
std::string utc_text(ServiceState::WallClock::time_point when);

#endif  // MQTT_INFLUX_BRIDGE_APP_SERVICE_STATUS_H_
