#include "translate/record.h"

#include <mosquitto.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <utility>

#include "app/log.h"
#include "app/settings.h"
#include "texts.h"
#include "translate/intake.h"
#include "translate/series_stamps.h"
#include "translate/utf8.h"
#include "writer/influx_writer.h"

namespace {

bool holds_equals(std::string_view token) { return token.find('=') != std::string_view::npos; }

}  // namespace

// Appends text with a backslash before every byte listed in `special`. The
// bytes between two such go in one append: this runs for every record, and
// byte by byte it was the costliest step of a record in a build for size.
void append_escaped(std::string& out, std::string_view text, std::string_view special) {
  std::size_t run = 0;  // the first byte not appended yet
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (const char c : special) {
      if (text[i] == c) {
        out.append(text.data() + run, i - run).push_back('\\');
        run = i;
        break;
      }
    }
  }
  out.append(text.data() + run, text.size() - run);
}

// InfluxDB 1.x reads a backslash before a comma, blank, equals sign or double
// quote in a measurement as an escape, even where that backslash is itself
// preceded by others, and loses a measurement that ends in a backslash. Tried
// against InfluxDB 1.6: "temp\" followed by ",host=" is stored as measurement
// "temp,host=..."; "a\=b" as "a=b"; "a\\,b" and "a\\" are not stored readably
// at all; "te\mp" and "a\\b" are stored exactly. So a run of backslashes is
// harmless only where an ordinary byte follows it. A line that starts with
// "#" is a comment.
bool measurement_writable(std::string_view name) {
  return !name.empty() && name.front() != '#' && backslashes_harmless(name);
}

bool backslashes_harmless(std::string_view name) {
  std::size_t i = 0;
  while ((i = name.find('\\', i)) != std::string_view::npos) {
    const std::size_t after = name.find_first_not_of('\\', i);
    if (after == std::string_view::npos ||
        std::string_view(",= \"").find(name[after]) != std::string_view::npos) {
      return false;
    }
    i = after;
  }
  return true;
}

namespace {

// A token the bridge puts in verbatim must not end in a backslash, which
// would escape the blank or line feed after it (the last one would join the
// next record to this one).
bool ends_in_backslash(std::string_view token) { return !token.empty() && token.back() == '\\'; }

// InfluxDB reads the field set and timestamp with double quotes opening and
// closing strings (a backslash escapes the byte after it); a quote left open
// runs the scanner across the line feed and loses every record after this one.
bool quotes_balanced(std::string_view text) {
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    }
  }
  return !quoted;
}

// The text before the first "=" of a pair (all of it without one).
std::string_view key_of(std::string_view pair) { return pair.substr(0, pair.find('=')); }

// InfluxDB 1.6 stores a point whose measurement, tag key or field key is not
// UTF-8, but once restarted cannot open the shard that holds it ("proto:
// field \"tsdb.Field.Name\" contains invalid UTF-8"), and answers every
// later write to that shard with 500. Tag values and string field values with
// such bytes do no harm and are left alone.
bool names_valid_utf8(std::string_view measurement, std::string_view extra_tag,
                      std::string_view field_token, std::string_view value_key) {
  const std::string_view field_key = holds_equals(field_token) ? key_of(field_token) : value_key;
  return valid_utf8(measurement) && valid_utf8(key_of(extra_tag)) && valid_utf8(field_key);
}

bool control_character(std::uint32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

// U+FDD0..U+FDEF and the last two code points of every plane.
bool non_character(std::uint32_t code_point) {
  return (code_point >= 0xFDD0 && code_point <= 0xFDEF) || (code_point & 0xFFFE) == 0xFFFE;
}

// Names what libmosquitto refused in `client_id` (mosquitto_validate_utf8
// found it wanting): the first character that breaks one of its rules, and
// the position of its first byte, counted from 1.
std::string library_refusal(std::string_view client_id) {
  for (std::size_t at = 0; at < client_id.size();) {
    const std::optional<Utf8Character> c = decode_utf8(client_id, at);
    std::string_view kind;
    if (!c) {
      kind = texts::kIdentityNotUtf8;
    } else if (control_character(c->code_point)) {
      kind = texts::kIdentityControlCharacter;
    } else if (non_character(c->code_point)) {
      kind = texts::kIdentityNonCharacter;
    } else {
      at += c->length;
      continue;
    }
    std::string reason(kind);
    if (c) {
      char character[16];
      std::snprintf(character, sizeof character, " (U+%04X)", static_cast<unsigned>(c->code_point));
      reason.append(character);
    }
    return reason.append(texts::kIdentityAtByte).append(std::to_string(at + 1));
  }
  return std::string(texts::kIdentityRefusedByLibrary);  // a rule of a later library version
}

struct Layout {
  std::string_view extra_tag;  // empty: none
  std::string_view field_token;
  std::string_view timestamp;  // empty: the arrival time
};

// Token roles by their number; see the layouts table in the README. Nothing
// when the tokens fit no layout.
std::optional<Layout> layout_of(const std::vector<std::string_view>& tokens) {
  if (tokens.empty()) return std::nullopt;
  Layout layout;
  if (tokens.size() == 1) {
    layout.field_token = tokens[0];
  } else if (tokens.size() == 2) {
    layout.timestamp = plain_or_empty(tokens[1]);
    if (!layout.timestamp.empty()) {
      layout.field_token = tokens[0];
    } else {
      layout.extra_tag = pair_or_empty(tokens[0]);
      if (layout.extra_tag.empty()) return std::nullopt;
      layout.field_token = tokens[1];
    }
  } else {
    layout.timestamp = plain_or_empty(tokens[2]);
    if (layout.timestamp.empty()) return std::nullopt;
    layout.extra_tag = pair_or_empty(tokens[0]);
    if (layout.extra_tag.empty()) return std::nullopt;
    layout.field_token = tokens[1];
  }
  return layout;
}

bool stamped_on_arrival(const std::vector<std::string_view>& tokens) {
  const std::optional<Layout> layout = layout_of(tokens);
  return layout && layout->timestamp.empty();
}

// The arrival stamps given to each series of this run (build_record's).
SeriesStamps series_stamps;

// A full series table is said at most once a minute: a flood of series would
// otherwise bring a line per time unit.
void report_unchecked_stamp() {
  static std::optional<std::chrono::steady_clock::time_point> last_line;
  const auto now = std::chrono::steady_clock::now();
  if (last_line && now - *last_line < std::chrono::minutes(1)) return;
  last_line = now;
  log_info(texts::kSeriesStampsFull);
}

}  // namespace

std::string_view plain_or_empty(std::string_view token) {
  return holds_equals(token) ? std::string_view() : token;
}

std::string_view pair_or_empty(std::string_view token) {
  return holds_equals(token) ? token : std::string_view();
}

std::string make_field(std::string_view token, std::string_view value_key) {
  if (holds_equals(token)) return std::string(token);
  std::string field;
  field.reserve(value_key.size() + 1 + token.size());
  field.append(value_key).append(1, '=').append(token);
  return field;
}

std::optional<std::string> format_record(std::string_view topic, std::string_view measurement,
                                         const std::vector<std::string_view>& tokens,
                                         std::int64_t arrival, const RecordIdentity& identity) {
  if (measurement.empty() || measurement == identity.value_key || tokens.empty() ||
      !measurement_writable(measurement)) {
    return std::nullopt;
  }

  const std::optional<Layout> layout = layout_of(tokens);
  if (!layout) return std::nullopt;
  const std::string_view extra_tag = layout->extra_tag;
  const std::string_view field_token = layout->field_token;
  const std::string_view timestamp = layout->timestamp;
  // The topic is written inside double quotes, so its tag value never ends in
  // a backslash; the identity was checked at start-up (identity_fault).
  if (ends_in_backslash(extra_tag) || ends_in_backslash(field_token) ||
      ends_in_backslash(timestamp)) {
    return std::nullopt;
  }
  // Each on its own: a quote left open in the field would also take the blank
  // before the timestamp into the field.
  if (!quotes_balanced(field_token) || !quotes_balanced(timestamp)) return std::nullopt;
  if (!names_valid_utf8(measurement, extra_tag, field_token, identity.value_key)) {
    return std::nullopt;
  }

  std::string record;
  record.reserve(measurement.size() + identity.client_id.size() + topic.size() +
                 extra_tag.size() + identity.value_key.size() + field_token.size() + 48);
  append_escaped(record, measurement, kMeasurementSpecial);
  record.append(",host=");
  append_escaped(record, identity.client_id, kTagValueSpecial);
  record.append(",mqtt=\"");
  append_escaped(record, topic, kTagValueSpecial);
  record.push_back('"');
  if (!extra_tag.empty()) record.append(1, ',').append(extra_tag);
  record.push_back(' ');
  record.append(make_field(field_token, identity.value_key));
  record.push_back(' ');
  if (!timestamp.empty()) {
    record.append(timestamp);
  } else {
    // Printed as unsigned 64-bit decimal, whatever the platform's long is.
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits,
                                   static_cast<std::uint64_t>(arrival)).ptr;
    record.append(digits, end);
  }
  return record;
}

std::optional<std::string> identity_fault(std::string_view client_id) {
  if (client_id.empty()) return std::string(texts::kIdentityEmpty);
  if (client_id.find('\0') != std::string_view::npos) return std::string(texts::kIdentityNul);
  if (ends_in_backslash(client_id)) return std::string(texts::kIdentityTrailingBackslash);
  if (client_id.size() > kMaxClientIdBytes) {
    return std::string(texts::kIdentityLongerThan) + std::to_string(kMaxClientIdBytes) +
           std::string(texts::kIdentityMqttBytes);
  }
  std::string escaped;
  append_escaped(escaped, client_id, kTagValueSpecial);
  if (escaped.size() > kMaxHostTagBytes) {
    return std::string(texts::kIdentitySeriesKeys) + std::to_string(kMaxHostTagBytes) +
           std::string(texts::kIdentityBytesEscaped);
  }
  // mosquitto_new() would return NULL without saying why; the library's own
  // check decides, library_refusal() names the reason.
  if (mosquitto_validate_utf8(client_id.data(), static_cast<int>(client_id.size())) !=
      MOSQ_ERR_SUCCESS) {
    return library_refusal(client_id);
  }
  return std::nullopt;
}

std::optional<StampedRecord> format_stamped_record(std::string_view topic,
                                                   std::string_view measurement,
                                                   const std::vector<std::string_view>& tokens,
                                                   std::int64_t arrival,
                                                   const RecordIdentity& identity,
                                                   SeriesStamps& stamps) {
  std::optional<std::string> text = format_record(topic, measurement, tokens, arrival, identity);
  if (!text) return std::nullopt;
  if (!stamped_on_arrival(tokens)) return StampedRecord{std::move(*text), false};
  const SeriesStamps::Stamp stamp = stamps.stamp(series_key(*text), arrival);
  // Made again rather than patched: the one place that writes a record.
  if (stamp.value != arrival) {
    text = format_record(topic, measurement, tokens, stamp.value, identity);
  }
  return StampedRecord{std::move(*text), stamp.unchecked};
}

void build_record(std::string_view topic, const std::vector<std::string>& levels,
                  const std::vector<std::string_view>& tokens, std::int64_t arrival) {
  if (levels.empty()) return;
  const RecordIdentity identity{settings.client_id, settings.value_key};
  std::optional<std::string> record;
  // A precision the bridge does not know stamps every record 0: left so.
  if (known_precision(settings.precision)) {
    std::optional<StampedRecord> stamped =
        format_stamped_record(topic, levels.back(), tokens, arrival, identity, series_stamps);
    if (!stamped) return;
    if (stamped->unchecked) report_unchecked_stamp();
    record = std::move(stamped->text);
  } else {
    record = format_record(topic, levels.back(), tokens, arrival, identity);
  }
  if (!record) return;
  influx_writer.write(*record);
  log_trace(*record);
}

void deliver_record(std::string record, bool stamped_on_arrival, std::int64_t arrival) {
  if (stamped_on_arrival && known_precision(settings.precision)) {
    const SeriesStamps::Stamp stamp = series_stamps.stamp(series_key(record), arrival);
    if (stamp.unchecked) report_unchecked_stamp();
    if (stamp.value != arrival) {
      // The arrival time is the record's last word.
      record.resize(record.rfind(' ') + 1);
      record.append(std::to_string(static_cast<std::uint64_t>(stamp.value)));
    }
  }
  influx_writer.write(record);
  log_trace(record);
}
