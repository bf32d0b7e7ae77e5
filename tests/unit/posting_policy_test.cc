#include "writer/posting_policy.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using std::chrono::milliseconds;

constexpr std::size_t kBody = 1000;

TEST(PostingPolicy, PostsWhenDueAndGathersOnlyWhatIsAlreadyWaiting) {
  struct Case {
    const char* what;
    bool in_flight;
    bool back_off_over;
    bool more_waiting;
    std::size_t bytes;
    std::size_t records;
    bool held_due;
    std::size_t record_limit;
    milliseconds waited;
    bool post;
  };
  const std::vector<Case> cases = {
      {"nothing pending", false, true, false, 0, 0, false, 0, milliseconds(0), false},
      {"a message alone goes at once", false, true, false, 70, 1, false, 0, milliseconds(0), true},
      {"a burst: more waiting, gather", false, true, true, 70, 1, false, 0, milliseconds(0), false},
      {"gathering until the limit", false, true, true, 700, 10, false, 0, milliseconds(249), false},
      {"the gathering limit from the oldest's age", false, true, true, 700, 10, false, 0,
       milliseconds(250), true},
      {"long past the limit, whatever is waiting", false, true, true, 700, 10, false, 0,
       milliseconds(5000), true},
      {"a full body goes at once", false, true, true, kBody, 14, false, 0, milliseconds(0), true},
      {"a backlog goes at once", false, true, true, kBody * 40, 600, false, 0, milliseconds(0), true},
      {"the record limit fills a body", false, true, true, 140, 2, false, 2, milliseconds(0), true},
      {"below the record limit", false, true, true, 70, 1, false, 2, milliseconds(0), false},
      {"one transfer at a time", true, true, false, 70, 1, false, 0, milliseconds(0), false},
      {"one transfer at a time, backlog too", true, true, false, kBody * 4, 60, false, 0,
       milliseconds(9000), false},
      {"back-off", false, false, false, 70, 1, false, 0, milliseconds(9000), false},
      {"back-off holds a held record too", false, false, false, 0, 0, true, 0, milliseconds(0), false},
      {"a held record due goes alone", false, true, false, 0, 0, true, 0, milliseconds(0), true},
      {"a held record due goes even while gathering", false, true, true, 70, 1, true, 0,
       milliseconds(0), true},
  };
  for (const Case& c : cases) {
    PostingInputs in;
    in.transfer_in_flight = c.in_flight;
    in.back_off_over = c.back_off_over;
    in.more_waiting = c.more_waiting;
    in.queued_bytes = c.bytes;
    in.queued_records = c.records;
    in.held_record_due = c.held_due;
    in.body_limit_bytes = kBody;
    in.record_limit = c.record_limit;
    in.oldest_waited = c.waited;
    EXPECT_EQ(should_post(in), c.post) << c.what;
  }
}

TEST(PostingPolicy, AReadingTurnEndsAtItsPacketLimitItsTimeOrTheWritersDueWork) {
  const milliseconds limit = kMaxReadingTurn;
  const struct {
    const char* what;
    ReadingTurn turn;  // packets, packet limit, time spent, budget, writer due
    bool read_on;
  } cases[] = {
      {"a burst read quickly", {10, 1000, milliseconds(1), limit, false}, true},
      {"the packet limit", {1000, 1000, milliseconds(1), limit, false}, false},
      {"slow messages: the time limit first", {12, 1000, limit, limit, false}, false},
      {"just under the time limit", {12, 1000, limit - milliseconds(1), limit, false}, true},
      {"a POST or a sync due", {1, 1000, milliseconds(0), limit, true}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(read_on(c.turn), c.read_on) << c.what;
}

}  // namespace
