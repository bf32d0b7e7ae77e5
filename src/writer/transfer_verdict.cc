#include "writer/transfer_verdict.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

#include "text_checks.h"
#include "texts.h"

namespace {

using std::string_view;

// At most this much of a body (and of the Server header) goes into a line.
constexpr std::size_t kExcerptBytes = 100;
// Retry-After beyond this is read as this (the back-off bounds it far lower).
constexpr std::int64_t kLongestRetryAfter = 24 * 3600;

bool is_success(long status) { return status >= 200 && status <= 299; }

// The server read the body and refused it (400: bad lines; 413: too large).
// Sending it whole again would only block every later record behind it, so
// it is narrowed down -- whoever answered.
bool is_refusal(long status) { return status == 400 || status == 413; }

// The server's answer was read (a long body may have been cut short).
bool answered(const TransferResult& result) {
  return result.code == CURLE_OK || (result.code == CURLE_WRITE_ERROR && result.response_cut);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

string_view trimmed(string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// The text of `key`'s string value in a JSON object (escapes left as they
// are; up to the end of the text when that cuts it short); nothing when the
// text is no object or the key is missing or holds no string.
std::optional<string_view> json_string(string_view text, string_view key) {
  text = trimmed(text);
  if (text.empty() || text.front() != '{') return std::nullopt;
  const std::string quoted = "\"" + std::string(key) + "\"";
  for (std::size_t at = text.find(quoted); at != string_view::npos;
       at = text.find(quoted, at + 1)) {
    string_view rest = trimmed(text.substr(at + quoted.size()));
    if (rest.empty() || rest.front() != ':') continue;
    rest = trimmed(rest.substr(1));
    if (rest.empty() || rest.front() != '"') continue;
    for (std::size_t end = 1; end < rest.size(); ++end) {
      if (rest[end] == '\\') {
        ++end;
      } else if (rest[end] == '"') {
        return rest.substr(1, end - 1);
      }
    }
    return rest.substr(1);  // a long message, cut with the excerpt
  }
  return std::nullopt;
}

bool starts_with(string_view text, string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool is_influx2_refusal(const TransferResult& result) {
  const auto code = json_string(result.body, "code");
  if (!code || !json_string(result.body, "message")) return false;
  return (result.status == 400 && *code == "invalid") ||
         (result.status == 413 && *code == "request too large") ||
         (result.status == 422 && *code == "unprocessable entity");
}

bool is_influx3_refusal(const TransferResult& result) {
  if (result.status != 400 && result.status != 422) return false;
  const auto error = json_string(result.body, "error");
  return error && (starts_with(*error, "partial write of line protocol") ||
                   starts_with(*error, "parsing failed for"));
}

// Printable ASCII only, runs of blanks as one, at most kExcerptBytes; "..."
// where it was cut.
std::string sanitised(string_view text) {
  std::string out;
  for (const char c : trimmed(text)) {
    const char shown = is_ascii_control(c) ? ' ' : static_cast<unsigned char>(c) > 0x7f ? '?' : c;
    if (shown == ' ' && (out.empty() || out.back() == ' ')) continue;
    if (out.size() == kExcerptBytes) return out.append(texts::kExcerptCut);
    out.push_back(shown);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// An HTTP date (IMF-fixdate, and the obsolete RFC 850 and asctime forms) as
// seconds since 1970; nothing when it is none.
std::optional<std::int64_t> http_date(string_view text) {
  static constexpr std::array<string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::int64_t day = -1, month = -1, year = -1, clock = -1;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find_first_of(" ,-", at), text.size());
    const string_view token = text.substr(at, end - at);
    at = end + 1;
    if (token.empty()) continue;
    const auto month_at = std::find(kMonths.begin(), kMonths.end(), token);
    if (month_at != kMonths.end()) {
      month = month_at - kMonths.begin() + 1;
      continue;
    }
    int h = 0, m = 0, s = 0;
    if (token.size() == 8 && token[2] == ':' && token[5] == ':') {
      const char* p = token.data();
      if (std::from_chars(p, p + 2, h).ptr != p + 2 ||
          std::from_chars(p + 3, p + 5, m).ptr != p + 5 ||
          std::from_chars(p + 6, p + 8, s).ptr != p + 8 || h > 23 || m > 59 || s > 60) {
        return std::nullopt;
      }
      clock = h * 3600 + m * 60 + s;
      continue;
    }
    std::int64_t number = 0;
    if (std::from_chars(token.data(), token.data() + token.size(), number).ptr !=
        token.data() + token.size()) {
      continue;  // the weekday, "GMT"
    }
    if (token.size() <= 2 && day < 0) {
      day = number;
    } else if (token.size() == 2 && year < 0) {
      year = number + (number < 70 ? 2000 : 1900);  // RFC 850's two digits
    } else if (token.size() == 4 && year < 0) {
      year = number;
    }
  }
  if (day < 1 || day > 31 || month < 0 || year < 1970 || clock < 0) return std::nullopt;
  // Days since 1970 of a date in the proleptic Gregorian calendar.
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = y / 400;
  const std::int64_t year_of_era = y - era * 400;
  const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return (era * 146097 + day_of_era - 719468) * 86400 + clock;
}

}  // namespace

bool is_unreadable_answer(CURLcode code) {
  return code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_BAD_CONTENT_ENCODING;
}

bool is_database_refusal(const TransferResult& result) {
  if (is_unreadable_answer(result.code)) return result.status == 400 && result.influx_header;
  if (is_refusal(result.status) && result.influx_error) return true;
  return is_influx2_refusal(result) || is_influx3_refusal(result);
}

bool is_unproven_refusal(const TransferResult& result) {
  const bool refused =
      is_unreadable_answer(result.code) || (answered(result) && is_refusal(result.status));
  return refused && !is_database_refusal(result);
}

Verdict judge_transfer(const TransferResult& result, std::size_t body_records) {
  const bool at_fault_alone = body_records <= 1;
  if (answered(result) && is_success(result.status)) return Verdict::kStored;
  if ((answered(result) || is_unreadable_answer(result.code)) && is_database_refusal(result)) {
    return at_fault_alone ? Verdict::kDropRecord : Verdict::kSplit;
  }
  if (is_unproven_refusal(result)) {
    return at_fault_alone ? Verdict::kUnprovenAlone : Verdict::kSplit;
  }
  // A body the server took longer than the time-out to answer (a big one on a
  // slow device database) would time out on every attempt, forever.
  if (result.code == CURLE_OPERATION_TIMEDOUT && result.request_sent) {
    return at_fault_alone ? Verdict::kTimedOutAlone : Verdict::kSplit;
  }
  return Verdict::kKeep;
}

std::chrono::seconds retry_after(const TransferResult& result) {
  if (result.status != 429 && result.status != 503) return std::chrono::seconds(0);
  const string_view value = trimmed(result.retry_after);
  std::int64_t seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (!value.empty() && end == value.data() + value.size()) {
    if (error == std::errc::result_out_of_range) seconds = kLongestRetryAfter;
  } else {
    const std::optional<std::int64_t> at = http_date(value);
    const std::optional<std::int64_t> sent = http_date(result.date);
    seconds = at ? *at - sent.value_or(result.received_at) : 0;
  }
  return std::chrono::seconds(std::clamp<std::int64_t>(seconds, 0, kLongestRetryAfter));
}

std::string transfer_reason(const TransferResult& result) {
  std::string reason;
  if (result.code == CURLE_OK || result.response_cut) {
    reason = std::string(texts::kHttpStatus) + std::to_string(result.status);
  } else {
    reason = !result.error_text.empty() ? result.error_text : curl_easy_strerror(result.code);
  }
  if (is_unreadable_answer(result.code)) {
    reason = std::string(texts::kUnreadableAnswer) + reason + ")";
  }
  if (!is_unproven_refusal(result)) return reason;
  std::vector<std::string> parts;
  if (!trimmed(result.server).empty()) {
    parts.push_back(std::string(texts::kExcerptServer) + sanitised(result.server));
  }
  if (!trimmed(result.body).empty()) {
    parts.push_back(std::string(texts::kExcerptBody) + sanitised(result.body));
  }
  if (parts.empty()) return reason;
  reason += " (";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    reason.append(i > 0 ? texts::kExcerptSeparator : "").append(parts[i]);
  }
  return reason + ")";
}
