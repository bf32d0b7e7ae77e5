#include "writer/delivery_report.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/log.h"

namespace {

using Clock = DeliveryReport::Clock;
using std::chrono::seconds;

BodyOutcome failure() {
  BodyOutcome outcome;
  outcome.kind = BodyOutcome::Kind::kFailed;
  outcome.outage = true;
  outcome.reason = "HTTP status 500";
  outcome.records = 1;
  return outcome;
}

BodyOutcome stored() {
  BodyOutcome outcome;
  outcome.kind = BodyOutcome::Kind::kStored;
  outcome.verdict = Verdict::kStored;
  outcome.records = 1;
  return outcome;
}

std::vector<std::string> info_lines(const std::string& out) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    if (out.compare(start, 3, "I: ") == 0) lines.push_back(out.substr(start, end - start));
  }
  return lines;
}

TEST(DeliveryReport, AFlappingDatabaseGivesAtMostOneOutagePairAMinute) {
  verbosity = 3;
  DeliveryReport report;
  const Clock::time_point t0{std::chrono::hours(1)};
  testing::internal::CaptureStdout();
  // 500, 204, 500, 204 ... every second for two minutes.
  for (int s = 0; s < 120; s += 2) {
    report.body_outcome(failure(), 3, t0 + seconds(s), {});
    report.tick(t0 + seconds(s), 3);
    report.body_outcome(stored(), 0, t0 + seconds(s + 1), {});
    report.tick(t0 + seconds(s + 1), 0);
  }
  const std::vector<std::string> lines = info_lines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 4u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "I: database unreachable: HTTP status 500; records kept: 3");
  EXPECT_EQ(lines[1].rfind("I: database reachable again after 1 s", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("I: database unreachable: ", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("I: database reachable again after ", 0), 0u) << lines[3];
}

TEST(DeliveryReport, AnOutageThatBeginsDuringTheQuietMinuteIsToldOnceItIsOver) {
  verbosity = 3;
  DeliveryReport report;
  const Clock::time_point t0{std::chrono::hours(1)};
  testing::internal::CaptureStdout();
  report.body_outcome(failure(), 1, t0, {});
  report.body_outcome(stored(), 0, t0 + seconds(1), {});
  report.body_outcome(failure(), 2, t0 + seconds(5), {});  // down for good this time
  EXPECT_TRUE(report.in_outage());
  for (int s = 6; s < 70; ++s) report.tick(t0 + seconds(s), 7);
  const std::vector<std::string> lines = info_lines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 3u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[2], "I: database unreachable: HTTP status 500; records kept: 7");
}

TEST(DeliveryReport, DropsAtTheCapAreToldAtMostOnceAMinuteEvenBetweenDeliveries) {
  verbosity = 3;
  DeliveryReport report;
  const Clock::time_point t0{std::chrono::hours(1)};
  testing::internal::CaptureStdout();
  for (int s = 0; s < 90; ++s) {
    report.dropped_at_cap(10, t0 + seconds(s));
    report.body_outcome(stored(), 0, t0 + seconds(s), {});  // the cap is hit between successes
    report.tick(t0 + seconds(s), 0);
  }
  report.flush_dropped();
  const std::vector<std::string> lines = info_lines(testing::internal::GetCapturedStdout());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "I: pending text full: oldest records dropped: 10",
                       "I: pending text full: oldest records dropped: 600",
                       "I: pending text full: oldest records dropped: 290",
                   }));
}

TEST(DeliveryReport, RecordsOfAnUnansweredBodyDroppedAtTheCapAreCounted) {
  verbosity = 3;
  DeliveryReport report;
  const Clock::time_point t0{std::chrono::hours(1)};
  testing::internal::CaptureStdout();
  report.dropped_at_cap(5, t0);  // newer records dropped while the body was out
  BodyOutcome failed = failure();
  failed.dropped_at_cap = 40;  // then the body went unanswered
  report.body_outcome(failed, 0, t0, {});
  report.flush_dropped();
  const std::vector<std::string> lines = info_lines(testing::internal::GetCapturedStdout());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "I: pending text full: oldest records dropped: 5",
                       "I: database unreachable: HTTP status 500; records kept: 0",
                       "I: pending text full: oldest records dropped: 40",
                   }));
}

TEST(DeliveryReport, SaysWhoseRefusalDroppedARecordOrNarrowsABody) {
  verbosity = 3;
  DeliveryReport report;
  testing::internal::CaptureStdout();
  using Kind = BodyOutcome::Kind;
  for (const auto& [kind, never_answered, unproven] : std::vector<std::tuple<Kind, bool, bool>>{
           {Kind::kRecordDropped, false, false}, {Kind::kRecordDropped, true, false},
           {Kind::kRecordDropped, false, true}, {Kind::kNarrowed, false, true}}) {
    BodyOutcome outcome = failure();
    outcome.kind = kind;
    outcome.never_answered = never_answered;
    outcome.unproven = unproven;
    outcome.first_refusal = true;
    report.body_outcome(outcome, 0, Clock::time_point{}, {});
  }
  EXPECT_EQ(info_lines(testing::internal::GetCapturedStdout()), (std::vector<std::string>{
      "I: write refused with HTTP status 500: records dropped: 1",
      "I: write never answered: HTTP status 500: records dropped: 1",
      "I: write never taken: HTTP status 500: records dropped: 1",
      "I: write refused, not by the database's own error: HTTP status 500: a body of 1 records "
      "goes again in halves"}));
}

}  // namespace
