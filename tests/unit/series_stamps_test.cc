#include "translate/series_stamps.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "translate/intake.h"
#include "translate/record.h"

namespace {

const RecordIdentity kNode17{"node-17", "value"};

// Messages in arrival order through one table of at most 5 series and 230 key bytes.
TEST(SeriesStamps, RecordsOfOneSeriesNeverShareAnArrivalStamp) {
  struct Step {
    std::string topic;
    const char* payload;
    std::int64_t clock;
    std::int64_t stamp;      // the record's timestamp
    std::size_t remembered;  // series in the table afterwards
    bool unchecked;
    const char* why;
  };
  const std::vector<Step> steps = {
      {"v1/k/temp", "21.5", 1000, 1000, 1, false, "first of its series: the clock"},
      {"v1/k/temp", "21.6", 1000, 1001, 1, false, "burst in one unit"},
      {"v1/k/temp", "celsius=21.7", 1000, 1002, 1, false, "the field is not the series"},
      {"v1/k/hum", "40", 1000, 1000, 2, false, "another measurement"},
      {"v1/" + std::string(150, 'x') + "/t", "1", 1000, 1000, 2, true, "beyond the key bytes"},
      {"v1/k/temp", "sensor=a celsius=1", 1000, 1000, 3, false, "another tag set"},
      {"v1/a b/temp", "1", 1000, 1000, 4, false, "an escaped blank in the key"},
      {"v1/a c/temp", "1", 1000, 1000, 5, false, "the key is not cut at it"},
      {"v1/k/temp", "21.9 1000", 1000, 1000, 5, false, "payload timestamp untouched"},
      {"v1/k/temp", "sensor=a 2 1700", 1000, 1700, 5, false, "payload timestamp untouched"},
      {"v1/k/other", "1", 1000, 1000, 5, true, "at the cap a new series is unchecked"},
      {"v1/k/temp", "22", 1000, 1003, 5, false, "the remembered ones stay apart"},
      {"v1/k/temp", "23", 1001, 1004, 1, false, "clock on: series behind it forgotten"},
      {"v1/k/hum", "41", 1001, 1001, 2, false, "a forgotten series starts at the clock"},
      {"v1/k/temp", "24", 1006, 1006, 1, false, "the clock caught up: back to it"},
      {"v1/k/temp", "25", 1005, 1005, 1, false, "clock stepped back: all forgotten"},
  };
  SeriesStamps stamps(5, 230);
  for (const Step& s : steps) {
    std::vector<std::string> levels;
    std::vector<std::string_view> tokens;
    const int length = static_cast<int>(std::string_view(s.payload).size());
    ASSERT_TRUE(accept_message(s.topic.c_str(), s.payload, length, levels, tokens)) << s.why;
    const std::optional<StampedRecord> record =
        format_stamped_record(s.topic, levels.back(), tokens, s.clock, kNode17, stamps);
    // Byte for byte the plain record made with the stamp expected.
    ASSERT_EQ(record ? std::optional(record->text) : std::nullopt,
              translate_message(s.topic.c_str(), s.payload, length, s.stamp, kNode17))
        << s.why;
    EXPECT_EQ(record->text.substr(record->text.rfind(' ') + 1), std::to_string(s.stamp)) << s.why;
    EXPECT_EQ(stamps.size(), s.remembered) << s.why;
    EXPECT_EQ(record->unchecked, s.unchecked) << s.why;
  }
}

}  // namespace
