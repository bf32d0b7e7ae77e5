// The connection callbacks libmosquitto calls from inside mosquitto_loop on
// the main thread. on_connect owns the bridge's one subscription.
#ifndef MQTT_INFLUX_BRIDGE_MQTT_CALLBACKS_H_
#define MQTT_INFLUX_BRIDGE_MQTT_CALLBACKS_H_

#include <mosquitto.h>

#include <string>
#include <vector>

// What the callbacks learnt about the connection, for the main loop to act on
// once the loop call returns (the callbacks never end the process themselves,
// so the last attempt to deliver pending records always runs).
struct Session {
  bool connected = false;       // the current connection's CONNACK accepted it
  bool ever_connected = false;  // some CONNACK accepted a connection
  int refused_code = 0;         // a CONNACK's non-zero code; the bridge then ends with status 1
  // The current connection's subscription failed: the library would not send
  // it, or the SUBACK granted 0x80. Cleared by each accepting CONNACK and each
  // SUBACK that grants it, so a reconnect that subscribes clears it.
  bool subscription_failed = false;
  std::string failed_filter;  // the first filter that failed, while subscription_failed
};
extern Session session;

// After each CONNACK: a refusal is noted in `session`; an acceptance
// subscribes to topic_prefix + "#" and the JSON topics at QoS 1, so the subscription is renewed
// on every connection of the clean session. A filter the library rejects is
// reported at info level and noted in `session`; the bridge stays connected.
void on_connect(mosquitto* client, void* user_data, int code);
void on_disconnect(mosquitto* client, void* user_data, int code);
// Reports at info level a subscription the broker refused (granted 0x80), and
// notes in `session` whether it was refused.
void on_subscribe(mosquitto* client, void* user_data, int message_id, int qos_count,
                  const int* granted_qos);

// The topic filter the bridge subscribes to.
std::string subscription_filter(const std::string& topic_prefix);
// Every filter of the subscription, in the order the SUBACK grants them: the
// prefix's, then each JSON topic's (its "+name" levels as "+").
std::vector<std::string> subscription_filters();

#endif  // MQTT_INFLUX_BRIDGE_MQTT_CALLBACKS_H_
