#include "app/service_status.h"

#include <time.h>

#include <cstdio>

#include "texts.h"

namespace {

constexpr std::chrono::seconds kCountRefreshInterval{10};

bool same_condition(const ServiceState& a, const ServiceState& b) {
  return a.ever_connected == b.ever_connected && a.broker_lost == b.broker_lost &&
         a.broker_lost_since == b.broker_lost_since && a.database_down == b.database_down &&
         a.database_down_since == b.database_down_since &&
         a.subscription_failed == b.subscription_failed &&
         a.subscription_filter == b.subscription_filter;
}

}  // namespace

std::string utc_text(ServiceState::WallClock::time_point when) {
  const time_t seconds = ServiceState::WallClock::to_time_t(when);
  tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) return "?";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::string status_text(const ServiceState& state) {
  if (!state.ever_connected) return std::string(texts::kStatusConnecting);
  std::string text;
  if (state.broker_lost) {
    text.append(texts::kStatusBrokerLost).append(utc_text(state.broker_lost_since));
  }
  if (state.subscription_failed) {
    if (!text.empty()) text.append("; ");
    text.append(texts::kStatusSubscriptionFailed).append(state.subscription_filter);
  }
  if (state.database_down) {
    if (!text.empty()) text.append("; ");
    text.append(texts::kStatusDatabaseDown).append(utc_text(state.database_down_since));
    text.append(", ").append(std::to_string(state.records_pending));
    text.append(texts::kStatusRecordsPending);
  }
  return text.empty() ? std::string(texts::kStatusDelivering) : text;
}

bool status_worth_sending(const ServiceState& last_sent, const ServiceState& now,
                          std::chrono::steady_clock::duration since_last) {
  if (!same_condition(last_sent, now)) return true;
  return now.database_down && now.records_pending != last_sent.records_pending &&
         since_last >= kCountRefreshInterval;
}
