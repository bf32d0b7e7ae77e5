// libFuzzer target over the message path the bridge runs for every message:
// the intake rules (accept_message) and the record formatting that
// build_record uses (format_record). Input layout: the topic up to the first
// NUL byte, the payload after it; the input's length picks one of a few
// identities, some of them full of bytes the line protocol escapes.
//
// Checks, for any input: no crash, no leak, and every record reads back, with
// InfluxDB 1.x's own escaping rules (tests/support/line_protocol_reader.h),
// to the measurement, host and mqtt tag values, field and timestamp it was
// meant to carry, ending at its own line feed so that the record after it in
// the same body reads back whole too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "line_protocol_reader.h"
#include "translate/intake.h"
#include "translate/record.h"

namespace {

constexpr std::int64_t kArrival = 1700000000123;
const char* const kIdentities[] = {"node-17", "a b,c=d", "x\\y", "<undefined>", "\"q\"", "=,= "};
constexpr std::string_view kNextRecord = "next,host=n f=1 1";

bool holds_equals(std::string_view token) { return token.find('=') != std::string_view::npos; }

// What the field and timestamp were meant to be: the token layouts, kept
// apart from the bridge's code so that the two can disagree.
void meant_field(const std::vector<std::string_view>& tokens, std::string& field,
                 std::string& timestamp) {
  auto as_field = [](std::string_view t) {
    return holds_equals(t) ? std::string(t) : "value=" + std::string(t);
  };
  timestamp = std::to_string(kArrival);
  if (tokens.size() == 1) {
    field = as_field(tokens[0]);
  } else if (tokens.size() == 2 && !holds_equals(tokens[1])) {
    field = as_field(tokens[0]);
    timestamp = std::string(tokens[1]);
  } else if (tokens.size() == 2) {
    field = std::string(tokens[1]);
  } else {
    field = as_field(tokens[1]);
    timestamp = std::string(tokens[2]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(bytes, '\0', size);
  const std::size_t topic_size = nul != nullptr ? static_cast<const char*>(nul) - bytes : size;
  const std::string topic(bytes, topic_size);
  const char* payload = bytes + topic_size + (nul != nullptr ? 1 : 0);
  const int payload_size = static_cast<int>(size - topic_size - (nul != nullptr ? 1 : 0));
  const std::string_view client_id = kIdentities[size % (sizeof kIdentities / sizeof *kIdentities)];
  if (identity_fault(client_id)) std::abort();  // the start-up check lets these through
  const RecordIdentity identity{client_id, "value"};

  std::vector<std::string> levels;
  std::vector<std::string_view> tokens;
  if (!accept_message(topic.c_str(), payload, payload_size, levels, tokens)) return 0;
  const std::optional<std::string> record =
      format_record(topic, levels.back(), tokens, kArrival, identity);
  if (!record) return 0;

  const std::string body = *record + "\n" + std::string(kNextRecord) + "\n";
  std::size_t pos = 0;
  line_protocol::Point point;
  const line_protocol::Read read = line_protocol::read_point(body, pos, point);
  CHECK(read != line_protocol::Read::kNoLine);
  CHECK(pos == record->size() + 1);  // the record ends at its own line feed
  CHECK(!point.comment);
  // What the bridge puts in reads back exactly.
  CHECK(point.measurement == levels.back());
  CHECK(point.tags.size() >= 2);
  CHECK(point.tags[0].first == "host" && point.tags[0].second == client_id);
  CHECK(point.tags[1].first == "mqtt" && point.tags[1].second == "\"" + topic + "\"");
  // An extra tag token is the publisher's own and may be malformed (the server
  // refuses that one line); without one, or with a well-formed one, the field
  // and timestamp read back as meant.
  const bool extra_tag = tokens.size() >= 3 || (tokens.size() == 2 && holds_equals(tokens[1]));
  CHECK(read == line_protocol::Read::kPoint || extra_tag);
  if (read == line_protocol::Read::kPoint) {
    std::string field, timestamp;
    meant_field(tokens, field, timestamp);
    CHECK(point.fields == field);
    CHECK(point.timestamp == timestamp);
  }

  // The next record in the same body is untouched.
  CHECK(line_protocol::read_point(body, pos, point) == line_protocol::Read::kPoint);
  CHECK(pos == body.size());
  CHECK(point.measurement == "next" && point.fields == "f=1" && point.timestamp == "1");
  return 0;
}
