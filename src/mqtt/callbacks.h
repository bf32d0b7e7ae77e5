// The connection callbacks libmosquitto calls from inside mosquitto_loop on
// the main thread. on_connect owns the bridge's one subscription.
#ifndef MQTT_INFLUX_BRIDGE_MQTT_CALLBACKS_H_
#define MQTT_INFLUX_BRIDGE_MQTT_CALLBACKS_H_

#include <mosquitto.h>

#include <string>

// After each CONNACK: a refusal ends the process with status 1 (on a
// reconnect too); an acceptance subscribes to topic_prefix + "#" at QoS 1,
// so the subscription is renewed on every connection of the clean session.
void on_connect(mosquitto* client, void* user_data, int code);
void on_disconnect(mosquitto* client, void* user_data, int code);
void on_subscribe(mosquitto* client, void* user_data, int message_id, int qos_count,
                  const int* granted_qos);

// The topic filter the bridge subscribes to.
std::string subscription_filter(const std::string& topic_prefix);

#endif  // MQTT_INFLUX_BRIDGE_MQTT_CALLBACKS_H_
