#include "translate/intake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings.h"
#include "writer/influx_writer.h"

namespace {

bool pinned_clock(timespec& now) {
  now = timespec{1700000000, 123456789};
  return true;
}

TEST(ArrivalTimestamp, FollowsPrecision) {
  struct Case {
    const char* precision;
    std::int64_t expected;
  };
  const std::vector<Case> cases = {
      {"s", 1700000000},           {"ms", 1700000000123},
      {"us", 1700000000123456},    {"ns", 1700000000123456789},
      {"MS", 0},                   {"sec", 0},
      {"", 0},                     {"xs", 0},
  };
  read_realtime_clock = pinned_clock;
  const std::string saved = settings.precision;
  for (const Case& c : cases) {
    settings.precision = c.precision;
    EXPECT_EQ(arrival_timestamp(), std::optional<std::int64_t>(c.expected)) << c.precision;
  }
  settings.precision = saved;
}

TEST(ArrivalTimestamp, TimeTHoldsYearsAfter2038) {
  static_assert(sizeof(time_t) == 8, "a 32-bit time_t ends in January 2038");
  // 2100-01-01 00:00:00.5 UTC.
  const timespec late{static_cast<time_t>(4102444800LL), 500000000};
  EXPECT_EQ(timestamp_in_precision(late, "ms"), 4102444800500LL);
  EXPECT_EQ(timestamp_in_precision(late, "ns"), 4102444800500000000LL);
}

TEST(ArrivalTimestamp, ProductsAreSixtyFourBitEvenWithA32BitTimeT) {
  // The last second a 32-bit time_t holds (armhf's): every product overflows 32 bits.
  const timespec late{static_cast<time_t>(2147483647), 999999999};
  EXPECT_EQ(timestamp_in_precision(late, "ns"), 2147483647999999999LL);
  EXPECT_EQ(timestamp_in_precision(late, "us"), 2147483647999999LL);
  EXPECT_EQ(timestamp_in_precision(late, "ms"), 2147483647999LL);
  EXPECT_EQ(timestamp_in_precision(late, "s"), 2147483647LL);
}

std::vector<std::string> split(const std::string& payload) {
  std::vector<std::string> out;
  for (std::string_view token : split_payload(payload)) out.emplace_back(token);
  return out;
}

TEST(SplitPayload, TokensAreRunsOfNonWhiteSpace) {
  struct Case {
    std::string payload;
    std::vector<std::string> tokens;
  };
  const std::vector<Case> cases = {
      {"21.5", {"21.5"}},
      {"  21.5\r\n", {"21.5"}},
      {"sensor=a   21.5\t1700000000", {"sensor=a", "21.5", "1700000000"}},
      {"a\vb\fc", {"a", "b", "c"}},
      {"     ", {}},                     // printable, but no token
      {"\t\n\t\n", {}},                  // nothing printable
      {"\x01\x02", {}},                  // nothing printable
      {"\x01 7", {"\x01", "7"}},         // a control byte is token material
      {std::string("2\0" "1", 3), {std::string("2\0" "1", 3)}},  // NUL stays inside
      {"\xC2\xB0" "C 5", {"\xC2\xB0" "C", "5"}},                 // high bytes too
      {"\x80\xFF", {}},                  // high bytes alone are not printable
      {"\x80\xFF x", {"\x80\xFF", "x"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(split(c.payload), c.tokens) << testing::PrintToString(c.payload);
  }
}

// The intake rules, judged through the whole translation with a pinned identity.
std::optional<std::string> translate(const std::string& topic, const std::string& payload) {
  return translate_message(topic.c_str(), payload.data(), static_cast<int>(payload.size()),
                           1700000000123, RecordIdentity{"node-17", "value"});
}

TEST(MessageIntake, TopicRules) {
  struct Case {
    const char* topic;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"v1/temp", true},    {"v1/kitchen/temp", true}, {"v1", false},
      {"V1/temp", false},   {"v10/temp", false},       {"v2/temp", false},
      {"/v1/temp", false},  {"v1//temp", true},        {"v1/temp/", false},  // empty last level
      {"v1/a\nb/temp", false}, {"v1/kitchen/te\rmp", false},                  // would break the line
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(translate(c.topic, "21.5").has_value(), c.accepted) << c.topic;
  }
}

TEST(MessageIntake, PayloadLengthLimits) {
  EXPECT_FALSE(translate("v1/temp", "").has_value());
  std::string longest = "21.5" + std::string(1019, ' ');
  ASSERT_EQ(longest.size(), 1023u);
  EXPECT_EQ(translate("v1/temp", longest),
            "temp,host=node-17,mqtt=\"v1/temp\" value=21.5 1700000000123");
  EXPECT_FALSE(translate("v1/temp", longest + " ").has_value());  // 1024 bytes
  const char payload[] = "21.5";
  EXPECT_FALSE(translate_message("v1/temp", payload, -1, 0, RecordIdentity{"n", "value"}));
}

TEST(MessageIntake, WhiteSpaceOnlyAndUnprintablePayloadsAreDropped) {
  for (const std::string payload : {" ", "   ", "\t\n", "\x01\x02"}) {
    EXPECT_FALSE(translate("v1/temp", payload).has_value()) << testing::PrintToString(payload);
  }
}

TEST(MessageIntake, LevelsAreKeptInOrder) {
  std::vector<std::string> levels;
  std::vector<std::string_view> tokens;
  ASSERT_TRUE(accept_message("v1//kitchen/temp", "1", 1, levels, tokens));
  EXPECT_EQ(levels, (std::vector<std::string>{"v1", "", "kitchen", "temp"}));
}

}  // namespace

namespace {

TEST(MessageIntake, UnreadableClockDropsTheMessageWithALine) {
  read_realtime_clock = [](timespec&) { return false; };
  char topic[] = "v1/kitchen/temp";
  char payload[] = "21.5";
  mosquitto_message message{};
  message.topic = topic;
  message.payload = payload;
  message.payloadlen = 4;
  const std::size_t pending_before = influx_writer.pending_records();
  testing::internal::CaptureStdout();
  on_message(nullptr, nullptr, &message);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "I: message dropped: the real-time clock cannot be read\n");
  EXPECT_EQ(influx_writer.pending_records(), pending_before);  // no record stamped 0
  read_realtime_clock = pinned_clock;
}

}  // namespace
