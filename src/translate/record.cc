#include "translate/record.h"

#include <charconv>

#include "app/log.h"
#include "app/settings.h"
#include "writer/influx_writer.h"

namespace {

bool holds_equals(std::string_view token) { return token.find('=') != std::string_view::npos; }

// Appends text with a backslash before every byte listed in `special`.
void append_escaped(std::string& out, std::string_view text, std::string_view special) {
  for (const char c : text) {
    if (special.find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
}

constexpr std::string_view kMeasurementSpecial = ", ";
constexpr std::string_view kTagValueSpecial = ",= ";

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
  if (measurement.empty() || measurement == identity.value_key || tokens.empty()) {
    return std::nullopt;
  }

  // Token roles by their number; see the layouts table in the README.
  std::string_view extra_tag;
  std::string_view field_token;
  std::string_view timestamp;
  if (tokens.size() == 1) {
    field_token = tokens[0];
  } else if (tokens.size() == 2) {
    timestamp = plain_or_empty(tokens[1]);
    if (!timestamp.empty()) {
      field_token = tokens[0];
    } else {
      extra_tag = pair_or_empty(tokens[0]);
      if (extra_tag.empty()) return std::nullopt;
      field_token = tokens[1];
    }
  } else {
    timestamp = plain_or_empty(tokens[2]);
    if (timestamp.empty()) return std::nullopt;
    extra_tag = pair_or_empty(tokens[0]);
    if (extra_tag.empty()) return std::nullopt;
    field_token = tokens[1];
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

void build_record(std::string_view topic, const std::vector<std::string>& levels,
                  const std::vector<std::string_view>& tokens, std::int64_t arrival) {
  if (levels.empty()) return;
  const std::optional<std::string> record = format_record(
      topic, levels.back(), tokens, arrival, RecordIdentity{settings.client_id, settings.value_key});
  if (!record) return;
  influx_writer.write(*record);
  log_trace(*record);
}
