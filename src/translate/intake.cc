#include "translate/intake.h"

#include <cctype>
#include <cstring>
#include <regex>

#include "app/log.h"
#include "app/settings.h"
#include "texts.h"

namespace {

bool read_clock_realtime(timespec& now) { return clock_gettime(CLOCK_REALTIME, &now) == 0; }

// Built once: constructing a std::regex costs far more than matching a short
// payload with it.
const std::regex& whitespace_runs() {
  static const std::regex pattern("[\\s]+", std::regex::ECMAScript);
  return pattern;
}

bool has_printable_byte(std::string_view bytes) {
  for (const char c : bytes) {
    if (std::isprint(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

// A line feed or carriage return in the topic would end the record early and
// let the publisher write a second line of their own.
bool breaks_line(const char* topic) { return std::strpbrk(topic, "\n\r") != nullptr; }

// Owns the level array libmosquitto's tokeniser hands out, so that it is
// released even when copying the levels fails.
class TopicTokens final {
 public:
  TopicTokens() = default;
  ~TopicTokens() {
    if (parts_ != nullptr) mosquitto_sub_topic_tokens_free(&parts_, count_);
  }
  TopicTokens(const TopicTokens&) = delete;
  TopicTokens& operator=(const TopicTokens&) = delete;

  bool tokenise(const char* topic) {
    return mosquitto_sub_topic_tokenise(topic, &parts_, &count_) == MOSQ_ERR_SUCCESS;
  }
  int count() const { return count_; }
  const char* level(int i) const { return parts_[i]; }

 private:
  char** parts_ = nullptr;
  int count_ = 0;
};

// Fills levels from libmosquitto's tokeniser; false when it refuses the topic.
bool split_topic(const char* topic, std::vector<std::string>& levels) {
  TopicTokens tokens;
  if (!tokens.tokenise(topic)) return false;
  levels.clear();
  levels.reserve(static_cast<std::size_t>(tokens.count()));
  for (int i = 0; i < tokens.count(); ++i) {
    levels.emplace_back(tokens.level(i) != nullptr ? tokens.level(i) : "");
  }
  return true;
}

// Hands a JSON message's record to the writer, or says at debug level why
// there is none. False when no JSON filter takes the topic.
bool take_json_message(const mosquitto_message* message, std::int64_t arrival) {
  const std::optional<JsonRecord> record = translate_json_message(
      message->topic, message->payload, message->payloadlen, arrival, settings.client_id,
      json_filters, settings.json_time_key.value_or(std::string()), settings.precision);
  if (!record) return false;
  if (!record->drop.empty()) {
    if (debug_enabled()) {
      log_debug(std::string(texts::kJsonDropOpen) + message->topic +
                std::string(texts::kJsonDropClose) + std::string(record->drop));
    }
    return true;
  }
  deliver_record(std::move(record->text), record->stamped_on_arrival, arrival);
  return true;
}

}  // namespace

std::vector<JsonFilter> json_filters;

std::optional<std::string> prepare_json_filters(const Settings& in, std::vector<JsonFilter>& out) {
  out.clear();
  if (in.json_topics.size() > kMaxJsonTopics) {
    return option_fault(texts::kOptJsonTopic, texts::kJsonTopicTooMany);
  }
  for (const std::string& value : in.json_topics) {
    JsonFilter filter;
    if (const std::optional<std::string> why = parse_json_topic(value, filter)) {
      return option_fault(texts::kOptJsonTopic, option_fault(value, *why));
    }
    out.push_back(std::move(filter));
  }
  if (in.json_time_key && in.json_time_key->empty()) {
    return option_fault(texts::kOptJsonTimeKey, texts::kJsonTimeKeyEmpty);
  }
  return std::nullopt;
}

std::optional<JsonRecord> translate_json_message(const char* topic, const void* payload,
                                                 int payload_length, std::int64_t arrival,
                                                 std::string_view client_id,
                                                 const std::vector<JsonFilter>& filters,
                                                 std::string_view time_key,
                                                 std::string_view precision) {
  if (filters.empty() || topic == nullptr) return std::nullopt;
  std::vector<std::string> levels;
  if (!split_topic(topic, levels)) return std::nullopt;
  std::vector<LevelTag> tags;
  for (const JsonFilter& filter : filters) {
    if (!match_json_filter(filter, levels, tags)) continue;
    if (breaks_line(topic)) return JsonRecord{std::string(), false, texts::kJsonTopicBreaksLine};
    const std::string_view measurement =
        filter.measurement.empty() ? std::string_view(levels.back()) : filter.measurement;
    const std::string_view bytes(static_cast<const char*>(payload),
                                 payload_length > 0 ? static_cast<std::size_t>(payload_length) : 0);
    return json_record(bytes, JsonRecordInput{topic, measurement, &tags, client_id, time_key,
                                              precision, arrival});
  }
  return std::nullopt;
}

bool (*read_realtime_clock)(timespec& now) = read_clock_realtime;

bool known_precision(std::string_view precision) {
  return precision == "s" || precision == "ms" || precision == "us" || precision == "ns";
}

std::int64_t timestamp_in_precision(const timespec& now, std::string_view precision) {
  const std::int64_t sec = now.tv_sec;
  const std::int64_t nsec = now.tv_nsec;
  if (precision == "s") return sec;
  if (precision == "ms") return sec * 1000 + nsec / 1000000;
  if (precision == "us") return sec * 1000000 + nsec / 1000;
  if (precision == "ns") return sec * 1000000000 + nsec;
  return 0;
}

std::optional<std::int64_t> arrival_timestamp() {
  timespec now{};
  if (!read_realtime_clock(now)) return std::nullopt;
  return timestamp_in_precision(now, settings.precision);
}

std::vector<std::string_view> split_payload(std::string_view payload) {
  std::vector<std::string_view> tokens;
  if (!has_printable_byte(payload)) return tokens;
  const char* const begin = payload.data();
  const char* const end = begin + payload.size();
  for (std::cregex_token_iterator it(begin, end, whitespace_runs(), -1), last; it != last; ++it) {
    if (it->length() > 0) tokens.emplace_back(it->first, static_cast<std::size_t>(it->length()));
  }
  return tokens;
}

bool accept_message(const char* topic, const void* payload, int payload_length,
                    std::vector<std::string>& levels, std::vector<std::string_view>& tokens) {
  if (payload_length <= 0 || topic == nullptr || breaks_line(topic)) return false;
  if (!split_topic(topic, levels)) return false;
  if (levels.size() < 2 || levels.front() != "v1") return false;
  if (payload_length > kMaxPayloadBytes) return false;
  tokens = split_payload(
      std::string_view(static_cast<const char*>(payload), static_cast<std::size_t>(payload_length)));
  return !tokens.empty();
}

std::optional<std::string> translate_message(const char* topic, const void* payload,
                                             int payload_length, std::int64_t arrival,
                                             const RecordIdentity& identity) {
  std::vector<std::string> levels;
  std::vector<std::string_view> tokens;
  if (!accept_message(topic, payload, payload_length, levels, tokens)) return std::nullopt;
  return format_record(topic, levels.back(), tokens, arrival, identity);
}

void on_message(mosquitto* /*client*/, void* /*user_data*/, const mosquitto_message* message) {
  // Nothing may unwind through the library: a failure (an allocation, say)
  // costs this one message and a line, never the process.
  try {
    const std::optional<std::int64_t> arrival = arrival_timestamp();
    if (!arrival) {
      // A record stamped 0 would overwrite the one before it in the database.
      log_info(texts::kClockUnreadable);
      return;
    }
    if (!json_filters.empty() && take_json_message(message, *arrival)) return;
    std::vector<std::string> levels;
    std::vector<std::string_view> tokens;
    if (!accept_message(message->topic, message->payload, message->payloadlen, levels, tokens)) {
      return;
    }
    build_record(message->topic, levels, tokens, *arrival);
  } catch (...) {
    log_info(texts::kMessageDropped);  // a fixed text: logging it allocates nothing
  }
}
