// libFuzzer target over the JSON path the bridge runs for a message on a
// --json-topic: the filter match (named levels as tags) and the record
// (translate_json_message, the function on_message calls). Input layout: the
// topic up to the first NUL byte, the payload after it.
//
// Checks, for any input: no crash, no leak, and every record reads back, with
// InfluxDB 1.x's own escaping rules (tests/support/line_protocol_reader.h),
// to the measurement and the host, mqtt and level tags it was meant to carry,
// with a field set and a timestamp of digits, ending at its own line feed so
// that the record after it in the same body reads back whole too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "line_protocol_reader.h"
#include "translate/intake.h"

namespace {

constexpr std::int64_t kArrival = 1700000000123;
constexpr std::string_view kNextRecord = "next,host=n f=1 1";

const std::vector<JsonFilter>& filters() {
  static const std::vector<JsonFilter> made = [] {
    std::vector<JsonFilter> list(2);
    parse_json_topic("t/+n=meas", list[0]);
    parse_json_topic("+site/+dev/#", list[1]);
    return list;
  }();
  return made;
}

std::vector<std::string> levels_of(const std::string& topic) {
  std::vector<std::string> levels;
  std::size_t start = 0;
  for (std::size_t slash; (slash = topic.find('/', start)) != std::string::npos;
       start = slash + 1) {
    levels.push_back(topic.substr(start, slash - start));
  }
  levels.push_back(topic.substr(start));
  return levels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(bytes, '\0', size);
  const std::size_t topic_size = nul != nullptr ? static_cast<const char*>(nul) - bytes : size;
  const std::string topic(bytes, topic_size);
  const std::string payload = topic_size < size
                                  ? std::string(bytes + topic_size + 1, size - topic_size - 1)
                                  : std::string();
  const std::optional<JsonRecord> record =
      translate_json_message(topic.c_str(), payload.data(), static_cast<int>(payload.size()),
                             kArrival, "node-17", filters(), "ts", "ms");
  if (!record || !record->drop.empty()) return 0;

  // What the record was meant to carry, worked out apart from the bridge's code.
  const std::vector<std::string> levels = levels_of(topic);
  const bool first_filter = levels.size() == 2 && levels[0] == "t";
  std::vector<std::pair<std::string, std::string>> tags = {{"host", "node-17"},
                                                           {"mqtt", "\"" + topic + "\""}};
  // A level without a value gives no tag.
  auto add = [&tags](const char* name, const std::string& value) {
    if (!value.empty()) tags.emplace_back(name, value);
  };
  if (first_filter) {
    add("n", levels[1]);
  } else {
    add("site", levels[0]);
    add("dev", levels[1]);
  }

  const std::string body = record->text + "\n" + std::string(kNextRecord) + "\n";
  std::size_t pos = 0;
  line_protocol::Point point;
  CHECK(line_protocol::read_point(body, pos, point) == line_protocol::Read::kPoint);
  CHECK(!point.comment);
  CHECK(point.measurement == (first_filter ? "meas" : levels.back()));
  CHECK(point.tags == tags);
  CHECK(!point.fields.empty());
  CHECK(!point.timestamp.empty() &&
        point.timestamp.find_first_not_of("0123456789") == std::string::npos);
  CHECK(pos == record->text.size() + 1);
  CHECK(line_protocol::read_point(body, pos, point) == line_protocol::Read::kPoint);
  CHECK(point.measurement == "next" && pos == body.size());
  return 0;
}
