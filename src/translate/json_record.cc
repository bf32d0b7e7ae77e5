#include "translate/json_record.h"

#include <cjson/cJSON.h>
#include <mosquitto.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "texts.h"
#include "translate/record.h"
#include "translate/utf8.h"

namespace {

// Owns the tree cJSON builds from one payload.
class JsonTree final {
 public:
  // cJSON reads up to a NUL and, asked to refuse trailing bytes, wants that
  // NUL inside the length it is given: the payload is copied to have one.
  explicit JsonTree(std::string_view payload) : text_(payload) {
    root_ = cJSON_ParseWithLengthOpts(text_.c_str(), text_.size() + 1, nullptr, 1);
  }
  ~JsonTree() { cJSON_Delete(root_); }
  JsonTree(const JsonTree&) = delete;
  JsonTree& operator=(const JsonTree&) = delete;

  const cJSON* root() const { return root_; }

 private:
  std::string text_;
  cJSON* root_ = nullptr;
};

// The deepest nesting of objects and arrays, counted before parsing so that
// a hostile payload costs one pass and no recursion; stops past `limit`.
int nesting_depth(std::string_view text, int limit) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size() && deepest <= limit; ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > deepest) deepest = depth;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return deepest;
}

std::int64_t units_per_second(std::string_view precision) {
  if (precision == "s") return 1;
  if (precision == "ms") return 1000;
  if (precision == "us") return 1000000;
  if (precision == "ns") return 1000000000;
  return 0;
}

// A number of the record's unit: whole, not negative, within 64 bits.
std::optional<std::int64_t> numeric_time(double value) {
  if (!(value >= 0 && value < 9.2e18)) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// Walks the tree into the field set, in document order.
class Fields final {
 public:
  Fields(std::string_view time_key, std::string_view precision)
      : time_key_(time_key), precision_(precision) {}

  void walk(const cJSON* node, bool root) {
    const std::size_t joined = key_.size();
    std::size_t index = 0;
    for (const cJSON* child = node->child; child != nullptr && !too_many_; child = child->next) {
      if (!root) key_.push_back('_');
      if (cJSON_IsArray(node)) {
        key_.append(std::to_string(index++));
      } else {
        key_.append(child->string);
      }
      if (cJSON_IsObject(child) || cJSON_IsArray(child)) {
        walk(child, false);
      } else {
        leaf(child);
      }
      key_.resize(joined);
    }
  }

  const std::string& text() const { return text_; }
  bool too_many() const { return too_many_; }
  const std::optional<std::int64_t>& time() const { return time_; }

 private:
  void leaf(const cJSON* node) {
    if (cJSON_IsNull(node)) return;
    if (!time_key_.empty() && key_ == time_key_) {
      if (!time_seen_) time_ = node_time(node);
      time_seen_ = true;
      return;
    }
    for (const std::string& seen : keys_) {
      if (seen == key_) return;  // the first of equal keys wins
    }
    // InfluxDB cannot open a shard again that holds a field key that is not
    // UTF-8, and misreads a backslash before what the key's escaping adds;
    // it reads a double quote in the field set as the start of a string; cJSON
    // lets a raw line feed through, which would end the record.
    if (key_.empty() || key_.find_first_of("\n\r\"") != std::string::npos ||
        !backslashes_harmless(key_) || !valid_utf8(key_)) {
      return;
    }
    std::string value;
    if (cJSON_IsNumber(node)) {
      if (!std::isfinite(node->valuedouble)) return;  // out of float range
      char digits[32];
      value.assign(digits, std::to_chars(digits, digits + sizeof digits, node->valuedouble).ptr);
    } else if (cJSON_IsBool(node)) {
      value = cJSON_IsTrue(node) ? "true" : "false";
    } else if (cJSON_IsString(node)) {
      const std::string_view s = node->valuestring;
      // A record is one line: the writer and the spool end records with line feeds.
      if (s.find_first_of("\n\r") != std::string_view::npos) return;
      value.push_back('"');
      append_escaped(value, s, "\"\\");
      value.push_back('"');
    } else {
      return;
    }
    if (keys_.size() == kMaxJsonFields) {
      too_many_ = true;
      return;
    }
    keys_.push_back(key_);
    if (!text_.empty()) text_.push_back(',');
    append_escaped(text_, key_, kTagValueSpecial);
    text_.append(1, '=').append(value);
  }

  std::optional<std::int64_t> node_time(const cJSON* node) const {
    if (cJSON_IsNumber(node)) return numeric_time(node->valuedouble);
    if (cJSON_IsString(node)) return rfc3339_time(node->valuestring, precision_);
    return std::nullopt;
  }

  const std::string_view time_key_;
  const std::string_view precision_;
  std::string key_;
  std::string text_;
  std::vector<std::string> keys_;
  std::optional<std::int64_t> time_;
  bool time_seen_ = false;
  bool too_many_ = false;
};

JsonRecord dropped(std::string_view reason) { return JsonRecord{std::string(), false, reason}; }

std::vector<std::string> split_levels(std::string_view filter) {
  std::vector<std::string> levels;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = filter.find('/', start);
    levels.emplace_back(filter.substr(start, slash - start));
    if (slash == std::string_view::npos) return levels;
    start = slash + 1;
  }
}

bool starts_with_dollar(const std::string& level) { return !level.empty() && level[0] == '$'; }

}  // namespace

std::optional<std::string> parse_json_topic(std::string_view option_value, JsonFilter& out) {
  std::string_view filter = option_value;
  out.measurement.clear();
  const std::size_t equals = option_value.rfind('=');
  if (equals != std::string_view::npos &&
      option_value.find_first_of("/+#", equals) == std::string_view::npos) {
    filter = option_value.substr(0, equals);
    out.measurement = option_value.substr(equals + 1);
    if (!measurement_writable(out.measurement) || !valid_utf8(out.measurement) ||
        out.measurement.find_first_of("\n\r") != std::string::npos) {
      return std::string(texts::kJsonTopicBadMeasurement);
    }
  }
  std::vector<std::string> levels = split_levels(filter);
  // A shared subscription's "$share/GROUP/" is not part of the topics it delivers.
  const std::size_t skip = levels.size() > 2 && levels[0] == "$share" ? 2 : 0;
  out.subscription.clear();
  out.levels.assign(levels.begin() + static_cast<std::ptrdiff_t>(skip), levels.end());
  for (std::size_t i = 0; i < levels.size(); ++i) {
    std::string& level = levels[i];
    if (i >= skip && level.size() > 1 && level[0] == '+') {
      const std::string_view name = std::string_view(level).substr(1);
      if (name == "host" || name == "mqtt" || !backslashes_harmless(name) || !valid_utf8(name) ||
          name.find_first_of("+#") != std::string_view::npos) {
        return std::string(texts::kJsonTopicBadName);
      }
      for (std::size_t j = skip; j < i; ++j) {
        if (levels[j] == level) return std::string(texts::kJsonTopicBadName);
      }
      out.subscription.append("+");
    } else {
      out.subscription.append(level);
    }
    if (i + 1 < levels.size()) out.subscription.push_back('/');
  }
  if (mosquitto_sub_topic_check(out.subscription.c_str()) != MOSQ_ERR_SUCCESS ||
      out.subscription.empty()) {
    return std::string(texts::kJsonTopicInvalid);
  }
  return std::nullopt;
}

bool match_json_filter(const JsonFilter& filter, const std::vector<std::string>& topic_levels,
                       std::vector<LevelTag>& tags) {
  tags.clear();
  const std::vector<std::string>& levels = filter.levels;
  const bool system_topic = !topic_levels.empty() && starts_with_dollar(topic_levels[0]);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const std::string& level = levels[i];
    const bool wildcard = !level.empty() && (level[0] == '+' || level == "#");
    if (wildcard && i == 0 && system_topic) return false;
    if (level == "#") return true;
    if (i >= topic_levels.size()) return false;
    if (wildcard) {
      if (level.size() > 1) tags.push_back({std::string_view(level).substr(1), topic_levels[i]});
    } else if (level != topic_levels[i]) {
      return false;
    }
  }
  return levels.size() == topic_levels.size();
}

JsonRecord json_record(std::string_view payload, const JsonRecordInput& in) {
  if (payload.empty()) return dropped(texts::kJsonEmpty);
  if (payload.size() > kMaxJsonPayloadBytes) return dropped(texts::kJsonTooLong);
  if (!measurement_writable(in.measurement) || !valid_utf8(in.measurement)) {
    return dropped(texts::kJsonBadMeasurement);
  }
  for (const LevelTag& tag : *in.tags) {
    if (!backslashes_harmless(tag.value)) return dropped(texts::kJsonBadLevel);
  }
  if (nesting_depth(payload, kMaxJsonDepth) > kMaxJsonDepth) return dropped(texts::kJsonTooDeep);
  // cJSON would stop at a NUL and take the bytes after it for the end.
  if (payload.find('\0') != std::string_view::npos) return dropped(texts::kJsonNotJson);
  const JsonTree tree(payload);
  if (tree.root() == nullptr) return dropped(texts::kJsonNotJson);
  if (!cJSON_IsObject(tree.root())) return dropped(texts::kJsonNotObject);

  Fields fields(in.time_key, in.precision);
  fields.walk(tree.root(), true);
  if (fields.too_many()) return dropped(texts::kJsonTooManyFields);
  if (fields.text().empty()) return dropped(texts::kJsonNoField);

  JsonRecord record{std::string(), !fields.time().has_value(), std::string_view()};
  std::string& out = record.text;
  out.reserve(in.measurement.size() + in.client_id.size() + in.topic.size() + fields.text().size() +
              64);
  append_escaped(out, in.measurement, kMeasurementSpecial);
  out.append(",host=");
  append_escaped(out, in.client_id, kTagValueSpecial);
  out.append(",mqtt=\"");
  append_escaped(out, in.topic, kTagValueSpecial);
  out.push_back('"');
  for (const LevelTag& tag : *in.tags) {
    if (tag.value.empty()) continue;  // InfluxDB refuses a tag without a value
    out.push_back(',');
    append_escaped(out, tag.name, kTagValueSpecial);
    out.push_back('=');
    append_escaped(out, tag.value, kTagValueSpecial);
  }
  out.push_back(' ');
  out.append(fields.text()).push_back(' ');
  char digits[24];
  const std::int64_t stamp = fields.time() ? *fields.time() : in.arrival;
  out.append(digits,
             std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(stamp)).ptr);
  return record;
}

std::optional<std::int64_t> rfc3339_time(std::string_view text, std::string_view precision) {
  const std::int64_t unit = units_per_second(precision);
  if (unit == 0) return std::nullopt;
  std::size_t at = 0;
  // The next n digits as a number, or -1.
  auto digits = [&](std::size_t n) -> std::int64_t {
    std::int64_t value = 0;
    for (std::size_t end = at + n; at < end; ++at) {
      if (at >= text.size() || text[at] < '0' || text[at] > '9') return -1;
      value = value * 10 + (text[at] - '0');
    }
    return value;
  };
  auto expect = [&](std::string_view one_of) {
    return at < text.size() && one_of.find(text[at++]) != std::string_view::npos;
  };
  const std::int64_t year = digits(4);
  if (year < 0 || !expect("-")) return std::nullopt;
  const std::int64_t month = digits(2);
  if (!expect("-")) return std::nullopt;
  const std::int64_t day = digits(2);
  if (!expect("Tt ")) return std::nullopt;
  const std::int64_t hour = digits(2);
  if (!expect(":")) return std::nullopt;
  const std::int64_t minute = digits(2);
  if (!expect(":")) return std::nullopt;
  const std::int64_t second = digits(2);
  std::int64_t nanos = 0;
  if (at < text.size() && text[at] == '.') {
    ++at;
    std::int64_t scale = 100000000;
    const std::size_t first = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, scale /= 10) {
      nanos += (text[at] - '0') * scale;  // past nanoseconds, scale is 0
    }
    if (at == first) return std::nullopt;
  }
  std::int64_t offset = 0;
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const std::int64_t sign = text[at++] == '-' ? -1 : 1;
    const std::int64_t hours = digits(2);
    if (!expect(":")) return std::nullopt;
    const std::int64_t minutes = digits(2);
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
    offset = sign * (hours * 3600 + minutes * 60);
  } else {
    return std::nullopt;  // a wall-clock time without its offset
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (at != text.size() || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59) {
    return std::nullopt;
  }
  // Days since 1970-01-01 of the proleptic Gregorian calendar.
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const std::int64_t era = y / 400;
  const std::int64_t year_of_era = y - era * 400;
  const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  const std::int64_t days = era * 146097 + day_of_era - 719468;
  const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset;
  if (seconds < 0 || seconds > std::numeric_limits<std::int64_t>::max() / unit - 1) {
    return std::nullopt;
  }
  return seconds * unit + nanos / (1000000000 / unit);
}
