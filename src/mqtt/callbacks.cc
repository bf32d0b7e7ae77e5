#include "mqtt/callbacks.h"

#include <string>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "texts.h"
#include "translate/intake.h"

Session session;

namespace {

// SUBACK's "failure" return code.
constexpr int kSubscriptionFailure = 0x80;

}  // namespace

std::string subscription_filter(const std::string& topic_prefix) { return topic_prefix + "#"; }

std::vector<std::string> subscription_filters() {
  std::vector<std::string> filters{subscription_filter(settings.topic_prefix)};
  for (const JsonFilter& filter : json_filters) filters.push_back(filter.subscription);
  return filters;
}

namespace {

void connect_acknowledged(mosquitto* client, int code);
void subscribe_acknowledged(int message_id, int qos_count, const int* granted_qos);

}  // namespace

// The library's callbacks: nothing may unwind through libmosquitto.
void on_connect(mosquitto* client, void* /*user_data*/, int code) {
  try {
    connect_acknowledged(client, code);
  } catch (...) {
    log_info(texts::kCallbackFailed);
  }
}

void on_disconnect(mosquitto* /*client*/, void* /*user_data*/, int code) {
  session.connected = false;
  try {
    log_trace(std::string(texts::kOnDisconnect) + mosquitto_connack_string(code));
  } catch (...) {
    log_info(texts::kCallbackFailed);
  }
}

void on_subscribe(mosquitto* /*client*/, void* /*user_data*/, int message_id, int qos_count,
                  const int* granted_qos) {
  try {
    subscribe_acknowledged(message_id, qos_count, granted_qos);
  } catch (...) {
    log_info(texts::kCallbackFailed);
  }
}

namespace {

void connect_acknowledged(mosquitto* client, int code) {
  log_trace(std::string(texts::kOnConnect) + mosquitto_connack_string(code));
  if (code != 0) {
    // The library closes the connection and the loop call fails; the main
    // loop then stops the bridge with status 1.
    session.refused_code = code;
    return;
  }
  session.connected = true;
  session.ever_connected = true;
  session.subscription_failed = false;

  const std::vector<std::string> filters = subscription_filters();
  int result;
  if (filters.size() == 1) {
    result = mosquitto_subscribe(client, nullptr, filters[0].c_str(), kSubscriptionQos);
  } else {
    // One SUBSCRIBE: its SUBACK grants the filters in this order. The
    // library takes char* but only reads the texts.
    std::vector<char*> list;
    for (const std::string& filter : filters) list.push_back(const_cast<char*>(filter.c_str()));
    result = mosquitto_subscribe_multiple(client, nullptr, static_cast<int>(list.size()),
                                          list.data(), kSubscriptionQos, 0, nullptr);
  }
  const char* const reason = mosquitto_strerror(result);
  for (const std::string& filter : filters) {
    if (trace_enabled()) {
      log_trace(std::string(texts::kSubscribeOpen) + filter +
                std::string(texts::kSubscribeClose) + reason);
    }
    if (result != MOSQ_ERR_SUCCESS) {
      if (!session.subscription_failed) session.failed_filter = filter;
      session.subscription_failed = true;
      log_info(std::string(texts::kSubscribeNotSent) + filter + ": " + reason);
    }
  }
}

void subscribe_acknowledged(int message_id, int qos_count, const int* granted_qos) {
  std::ostringstream line;
  line << texts::kOnSubscribeMid << message_id << texts::kOnSubscribeQosCount << qos_count;
  log_trace(line);
  const std::vector<std::string> filters = subscription_filters();
  bool refused = false;
  for (int i = 0; granted_qos != nullptr && i < qos_count; ++i) {
    if (granted_qos[i] == kSubscriptionFailure) {
      const std::size_t at = static_cast<std::size_t>(i);
      const std::string& filter = at < filters.size() ? filters[at] : filters[0];
      if (!refused) session.failed_filter = filter;
      refused = true;
      log_info(std::string(texts::kSubscribeRefused) + filter);
      if (filters.size() == 1) break;
    }
  }
  session.subscription_failed = refused;
}

}  // namespace
