#include "writer/back_off.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using std::chrono::milliseconds;

TEST(BackOff, DoublesFromOneSecondToThirtyAndResetsOnSuccess) {
  BackOff back_off;
  const BackOff::Clock::time_point t0{std::chrono::hours(1)};
  EXPECT_TRUE(back_off.due(t0));
  std::vector<long> delays;
  for (int i = 0; i < 7; ++i) {
    back_off.failed(t0);
    delays.push_back(static_cast<long>(back_off.delay().count()));
  }
  EXPECT_EQ(delays, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
  EXPECT_FALSE(back_off.due(t0 + milliseconds(29999)));
  EXPECT_TRUE(back_off.due(t0 + milliseconds(30000)));
  back_off.succeeded();
  EXPECT_TRUE(back_off.due(t0));
  back_off.failed(t0);
  EXPECT_EQ(back_off.delay(), milliseconds(1000));
}

TEST(BackOff, WaitsWhatTheServerAsksWithinTheLongestDelay) {
  const BackOff::Clock::time_point t0{std::chrono::hours(1)};
  // What is asked, and the waits after three failures in a row (its own: 1, 2, 4 s).
  const std::vector<std::pair<long, std::vector<long>>> cases = {
      {500, {1000, 2000, 4000}}, {3000, {3000, 3000, 4000}}, {3600000, {30000, 30000, 30000}}};
  for (const auto& [asked, expected] : cases) {
    BackOff back_off;
    std::vector<long> waits;
    for (int i = 0; i < 3; ++i) {
      back_off.failed(t0, milliseconds(asked));
      waits.push_back(static_cast<long>((back_off.next_attempt() - t0) / milliseconds(1)));
    }
    EXPECT_EQ(waits, expected) << asked;
  }
}

}  // namespace
