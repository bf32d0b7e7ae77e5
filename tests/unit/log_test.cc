#include "app/log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

// Logs one line at every level with the given verbosity; returns what reached stdout.
std::string log_all_levels(int level) {
  verbosity = level;
  testing::internal::CaptureStdout();
  log_fatal("f");
  log_info("i");
  log_debug("d");
  log_trace("t");
  std::ostringstream stream;
  stream << "s=" << 42;
  log_trace(stream);
  std::string out = testing::internal::GetCapturedStdout();
  verbosity = 3;
  return out;
}

TEST(ConsoleLog, LevelsFilteredByVerbosity) {
  EXPECT_EQ(log_all_levels(0), "F: f\n");
  EXPECT_EQ(log_all_levels(2), "F: f\n");
  EXPECT_EQ(log_all_levels(3), "F: f\nI: i\n");
  EXPECT_EQ(log_all_levels(4), "F: f\nI: i\nD: d\n");
  EXPECT_EQ(log_all_levels(5), "F: f\nI: i\nD: d\nT: t\nT: s=42\n");
}

TEST(ConsoleLog, TextGoesOutByteForByte) {
  verbosity = 3;
  testing::internal::CaptureStdout();
  log_info(std::string_view("a\0b\x01\nc", 6));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("I: a\0b\x01\nc\n", 10));
}

}  // namespace
