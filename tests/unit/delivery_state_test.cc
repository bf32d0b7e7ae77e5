#include "writer/delivery_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fake_transport.h"

namespace {

using Clock = DeliveryState::Clock;
using Kind = BodyOutcome::Kind;
using std::chrono::milliseconds;

// Drives the delivery state as the writer does, against a database that
// answers each body with `answer(body)`. Time moves on by the transfer's
// length: 5 s for a time-out, 10 ms otherwise; a back-off is waited out.
struct Drive {
  DeliveryState state;
  Clock::time_point now{std::chrono::hours(1)};
  std::function<TransferResult(const std::string&)> answer;
  std::vector<BodyOutcome> outcomes;
  std::vector<std::size_t> body_records;
  std::vector<std::string> stored;  // records, in the order stored

  void append(const std::string& record) { state.append(record, now); }

  // Runs until nothing is pending or `max_bodies` have gone.
  void until_done(std::size_t max_bodies = 10000) {
    for (std::size_t i = 0; i < max_bodies && state.records() > 0; ++i) {
      if (!should_post(state.posting_inputs(now, false))) {
        const Clock::time_point due = state.next_deadline(now, false);
        if (due == Clock::time_point::max()) return;  // only a held record, not due
        now = std::max(now, due);
        continue;
      }
      ASSERT_GT(state.open_body(), 0u);
      std::string body;
      char piece[64];
      for (std::size_t n; (n = state.read(piece, sizeof piece)) > 0;) body.append(piece, n);
      const TransferResult result = answer(body);
      now += result.code == CURLE_OPERATION_TIMEDOUT ? milliseconds(5000) : milliseconds(10);
      const BodyOutcome outcome = state.close_body(result, now);
      outcomes.push_back(outcome);
      body_records.push_back(outcome.records);
      if (outcome.kind == Kind::kStored) {
        for (std::size_t start = 0, end; (end = body.find('\n', start)) != std::string::npos; start = end + 1) {
          stored.push_back(body.substr(start, end - start));
        }
      }
    }
  }

  std::size_t count(Kind kind) const {
    return static_cast<std::size_t>(std::count_if(outcomes.begin(), outcomes.end(),
                                                  [kind](const BodyOutcome& o) { return o.kind == kind; }));
  }
  // Outage episodes: from an outcome that says the database is not
  // answering to the next stored body.
  std::size_t outages() const {
    std::size_t episodes = 0;
    bool open = false;
    for (const BodyOutcome& o : outcomes) {
      if (o.outage && !open) ++episodes;
      open = (open || o.outage) && o.kind != Kind::kStored;
    }
    return episodes;
  }
  std::size_t time_outs() const {
    return static_cast<std::size_t>(std::count_if(outcomes.begin(), outcomes.end(),
                                                  [](const BodyOutcome& o) { return o.timed_out; }));
  }
};

std::size_t lines(const std::string& body) {
  return static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n'));
}

std::vector<std::string> numbered(int count) {
  std::vector<std::string> records;
  for (int i = 0; i < count; ++i) records.push_back("m,host=x v=" + std::to_string(i) + " " + std::to_string(i));
  return records;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(DeliveryState, NarrowsToTheRecordTheDatabaseRefuses) {
  Drive drive;
  TransferResult refused = answered(400);
  refused.influx_error = true;  // InfluxDB 1.x's own error: dropped at once
  drive.answer = [&refused](const std::string& body) {
    return body.find("v=bad") != std::string::npos ? refused : answered(204);
  };
  std::vector<std::string> good = numbered(12);
  for (int i = 0; i < 12; ++i) {
    drive.append(good[static_cast<std::size_t>(i)]);
    if (i == 7) drive.append("m,host=x v=bad 7");
  }
  drive.until_done();
  EXPECT_EQ(drive.state.records(), 0u);
  EXPECT_EQ(sorted(drive.stored), sorted(good));
  EXPECT_EQ(drive.count(Kind::kRecordDropped), 1u);
  EXPECT_EQ(drive.outages(), 0u);  // a refusal is an answer
  ASSERT_FALSE(drive.outcomes.empty());
  EXPECT_TRUE(drive.outcomes.front().first_refusal);
}

// A database that answers bodies of up to `fits` records at once and takes
// longer than the time-out for larger ones.
std::function<TransferResult(const std::string&)> slow_above(std::size_t fits) {
  return [fits](const std::string& body) { return lines(body) <= fits ? answered(204) : timed_out(); };
}

TEST(DeliveryState, GrowsBackWithoutOscillatingAgainstABodyTooBig) {
  Drive drive;
  drive.answer = slow_above(2);
  for (const auto& r : numbered(10)) drive.append(r);
  drive.until_done();
  EXPECT_EQ(drive.stored.size(), 10u);
  // 10 (time-out), 5 (time-out), then bodies of 2: no 4, 2, 4, 2 ...
  EXPECT_LE(drive.time_outs(), 2u) << testing::PrintToString(drive.body_records);
  EXPECT_LE(drive.outages(), 1u);

  // A long backlog afterwards: time-outs only once in a while.
  for (const auto& r : numbered(400)) drive.append(r);
  drive.until_done();
  EXPECT_EQ(drive.stored.size(), 410u);
  EXPECT_LE(drive.time_outs(), 2u + 6u) << testing::PrintToString(drive.body_records);
  EXPECT_LE(drive.outages(), 1u);
}

TEST(DeliveryState, ATimeOutAfterAStoredBodyIsNotAnOutage) {
  Drive drive;
  drive.answer = [](const std::string&) { return answered(204); };
  drive.append("m v=1 1");
  drive.until_done();
  drive.answer = slow_above(3);
  for (const auto& r : numbered(8)) drive.append(r);
  drive.until_done();
  ASSERT_GE(drive.outcomes.size(), 2u);
  EXPECT_TRUE(drive.outcomes[1].timed_out);
  EXPECT_EQ(drive.outcomes[1].kind, Kind::kNarrowed);
  EXPECT_EQ(drive.outages(), 0u);
  EXPECT_EQ(drive.stored.size(), 9u);
}

TEST(DeliveryState, ADatabaseThatAnswersNothingIsAnOutageAtTheFirstTimeOut) {
  Drive drive;
  drive.answer = [](const std::string&) { return timed_out(); };
  for (const auto& r : numbered(4)) drive.append(r);
  drive.until_done(6);
  ASSERT_FALSE(drive.outcomes.empty());
  EXPECT_TRUE(drive.outcomes.front().outage);
  EXPECT_EQ(drive.state.records(), 4u);  // nothing given up on: it may be slow
  EXPECT_EQ(drive.count(Kind::kRecordDropped), 0u);
}

// The record is answered `stuck` each time: held aside, dropped after its tries.
void held_aside_then_dropped(const TransferResult& stuck) {
  Drive drive;
  drive.answer = [&stuck](const std::string& body) {
    return body.find("v=stuck") != std::string::npos ? stuck : answered(204);
  };
  std::vector<std::string> good = numbered(30);
  drive.append(good[0]);
  drive.until_done();
  drive.append("m,host=x v=stuck 1");
  for (std::size_t i = 1; i < good.size(); ++i) {
    drive.append(good[i]);
    drive.until_done();  // records keep coming, one at a time
  }
  EXPECT_EQ(sorted(drive.stored), sorted(good));
  ASSERT_EQ(drive.count(Kind::kRecordDropped), 1u);
  const auto dropped = std::find_if(drive.outcomes.begin(), drive.outcomes.end(),
                                    [](const BodyOutcome& o) { return o.kind == Kind::kRecordDropped; });
  EXPECT_EQ(dropped->never_answered, stuck.status == 0);
  EXPECT_EQ(dropped->unproven, stuck.status == 400);
  // Once in the body it shared with the next record, then its tries alone.
  EXPECT_EQ(drive.outcomes.size() - drive.count(Kind::kStored),
            1u + static_cast<std::size_t>(DeliveryState::kHeldRecordTries));
  EXPECT_EQ(drive.outages(), 0u);
  EXPECT_EQ(drive.state.records(), 0u);
}

TEST(DeliveryState, ARecordNeverAnsweredIsHeldAsideThenDroppedWhileTheOthersGoOn) {
  held_aside_then_dropped(timed_out());
}

TEST(DeliveryState, ARecordRefusedButNotByTheDatabaseIsHeldAsideLikewise) {
  held_aside_then_dropped(answered(400));  // a proxy's 400, say
}

TEST(DeliveryState, ARecordThatTimesOutAloneWithNothingBehindItIsKept) {
  Drive drive;
  drive.answer = [](const std::string&) { return timed_out(); };
  drive.append("m v=1 1");
  drive.until_done(5);
  EXPECT_EQ(drive.state.records(), 1u);
  EXPECT_EQ(drive.count(Kind::kRecordDropped), 0u);
  EXPECT_GT(drive.state.back_off_delay().count(), 0);
}

TEST(DeliveryState, GatheringLimitRunsFromTheOldestAppendWhateverTheCalls) {
  DeliveryState state;
  const Clock::time_point t0{std::chrono::hours(1)};
  state.append("m v=1 1", t0);
  // Asked again and again while more keeps arriving: the age does not restart.
  for (int ms = 0; ms < 250; ms += 10) {
    const Clock::time_point now = t0 + milliseconds(ms);
    EXPECT_FALSE(should_post(state.posting_inputs(now, true))) << ms;
    state.append("m v=2 2", now);
  }
  EXPECT_TRUE(should_post(state.posting_inputs(t0 + milliseconds(250), true)));
  EXPECT_EQ(state.next_deadline(t0 + milliseconds(100), true), t0 + kMaxGatherWait);
}

TEST(DeliveryState, AnUnansweredBodyGoesBackInFrontOfRecordsThatCameMeanwhile) {
  Drive drive;
  drive.answer = [](const std::string&) { return refused_connection(); };
  drive.append("m v=1 1");
  ASSERT_GT(drive.state.open_body(), 0u);
  drive.append("m v=2 2");  // arrives while the transfer is open
  drive.state.close_body(refused_connection(), drive.now);
  EXPECT_EQ(static_cast<const MemoryQueue&>(drive.state.pending()).text(), "m v=1 1\nm v=2 2\n");
  EXPECT_FALSE(should_post(drive.state.posting_inputs(drive.now, false)));  // back-off
  drive.answer = [](const std::string&) { return answered(204); };
  drive.until_done();
  EXPECT_EQ(drive.stored, (std::vector<std::string>{"m v=1 1", "m v=2 2"}));
}

}  // namespace

namespace {

TEST(DeliveryState, ARecordNeverAnsweredAtStartUpStillLetsTheOthersThroughAfterItsTries) {
  Drive drive;
  drive.answer = [](const std::string& body) {
    return body.find("v=stuck") != std::string::npos ? timed_out() : answered(204);
  };
  drive.append("m,host=x v=stuck 1");  // first, before anything was ever stored
  for (const auto& r : numbered(5)) drive.append(r);
  drive.until_done(40);
  EXPECT_EQ(drive.stored.size(), 5u);
  EXPECT_EQ(drive.count(Kind::kRecordDropped), 1u);
  EXPECT_EQ(drive.state.records(), 0u);
}

}  // namespace
