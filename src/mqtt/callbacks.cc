#include "mqtt/callbacks.h"

#include <cstdlib>
#include <string>

#include "app/log.h"
#include "app/settings.h"
#include "texts.h"

std::string subscription_filter(const std::string& topic_prefix) { return topic_prefix + "#"; }

void on_connect(mosquitto* client, void* /*user_data*/, int code) {
  log_trace(std::string(texts::kOnConnect) + mosquitto_connack_string(code));
  if (code != 0) std::exit(1);

  const std::string filter = subscription_filter(settings.topic_prefix);
  const int result = mosquitto_subscribe(client, nullptr, filter.c_str(), kSubscriptionQos);
  if (trace_enabled()) {
    log_trace(std::string(texts::kSubscribeOpen) + filter + std::string(texts::kSubscribeClose) +
              mosquitto_strerror(result));
  }
}

void on_disconnect(mosquitto* /*client*/, void* /*user_data*/, int code) {
  log_trace(std::string(texts::kOnDisconnect) + mosquitto_connack_string(code));
}

void on_subscribe(mosquitto* /*client*/, void* /*user_data*/, int message_id, int qos_count,
                  const int* /*granted_qos*/) {
  std::ostringstream line;
  line << texts::kOnSubscribeMid << message_id << texts::kOnSubscribeQosCount << qos_count;
  log_trace(line);
}
