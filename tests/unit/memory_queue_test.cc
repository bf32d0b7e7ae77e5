#include "writer/memory_queue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace {

// Reads the open transfer's whole body in pieces of at most `room` bytes.
std::string read_all(MemoryQueue& body, std::size_t room, std::vector<std::size_t>* pieces = nullptr) {
  std::string out;
  std::vector<char> buffer(room);
  for (;;) {
    const std::size_t n = body.read(buffer.data(), room);
    if (n == 0) return out;
    EXPECT_LE(n, room);
    if (pieces != nullptr) pieces->push_back(n);
    out.append(buffer.data(), n);
  }
}

TEST(MemoryQueue, BodyIsEveryRecordWithItsLineFeedInOrder) {
  MemoryQueue body;
  body.append("a,host=x v=1 1");
  body.append("");  // an empty record is still a line of its own
  body.append("b,host=x v=2 2");
  EXPECT_EQ(body.record_count(), 3u);
  ASSERT_EQ(body.begin_transfer(), body.size());
  EXPECT_EQ(read_all(body, 4096), "a,host=x v=1 1\n\nb,host=x v=2 2\n");
  body.end_transfer(true);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(body.record_count(), 0u);
}

TEST(MemoryQueue, HandsOutNoMoreThanTheRoomOffered) {
  MemoryQueue body;
  body.append("0123456789");
  body.begin_transfer();
  std::vector<std::size_t> pieces;
  EXPECT_EQ(read_all(body, 3, &pieces), "0123456789\n");
  EXPECT_EQ(pieces, (std::vector<std::size_t>{3, 3, 3, 2}));
}

TEST(MemoryQueue, ReadWithNothingPendingEndsTheBody) {
  MemoryQueue body;
  EXPECT_EQ(body.begin_transfer(), 0u);
  char byte;
  EXPECT_EQ(body.read(&byte, 1), 0u);
}

TEST(MemoryQueue, UnansweredTransferKeepsTheWholeBodyForTheNext) {
  MemoryQueue body;
  body.append("first 1");
  body.begin_transfer();
  char piece[4];
  ASSERT_EQ(body.read(piece, sizeof piece), 4u);  // broke off inside the record
  body.end_transfer(false);
  body.append("second 2");
  body.begin_transfer();
  EXPECT_EQ(read_all(body, 5), "first 1\nsecond 2\n");  // from the first record, no fragment
  body.end_transfer(true);
  EXPECT_TRUE(body.empty());
}

TEST(MemoryQueue, RewindStartsTheBodyAgain) {
  MemoryQueue body;
  body.append("abc 1");
  body.begin_transfer();
  EXPECT_EQ(read_all(body, 2), "abc 1\n");
  body.rewind();
  EXPECT_EQ(read_all(body, 64), "abc 1\n");
}

TEST(MemoryQueue, CapDropsOldestWholeRecords) {
  MemoryQueue body(/*cap_bytes=*/20);
  EXPECT_EQ(body.append("r1 aaaa"), 0u);  // 8 bytes with its line feed
  EXPECT_EQ(body.append("r2 bbbb"), 0u);  // 16
  EXPECT_EQ(body.append("r3 cc"), 1u);    // 22 would pass the cap: r1 goes
  EXPECT_EQ(body.text(), "r2 bbbb\nr3 cc\n");
  EXPECT_EQ(body.append("r4 a-much-longer-one"), 2u);  // the newest is always kept
  EXPECT_EQ(body.text(), "r4 a-much-longer-one\n");
  EXPECT_EQ(body.record_count(), 1u);
}

TEST(MemoryQueue, FloodAtTheCapKeepsTheNewestAndStaysBounded) {
  const std::size_t cap = 4096;
  MemoryQueue body(cap);
  std::size_t dropped = 0;
  for (int i = 0; i < 100000; ++i) {
    dropped += body.append("m,host=x value=" + std::to_string(i) + " " + std::to_string(i));
    ASSERT_LE(body.size(), cap);
  }
  EXPECT_EQ(dropped + body.record_count(), 100000u);
  const std::string text = body.text();
  const std::string newest = "m,host=x value=99999 99999\n";
  EXPECT_EQ(text.substr(text.size() - newest.size()), newest);
  // The body starts on a record boundary.
  EXPECT_EQ(text.substr(0, 2), "m,");
}

TEST(MemoryQueue, LongBacklogGoesOutInBodiesOfWholeRecords) {
  MemoryQueue body(/*cap_bytes=*/1 << 20, /*max_body_bytes=*/16);
  body.append("aaaaaa 1");  // 9 bytes
  body.append("bbbbbb 2");  // 18 with the first: too much for one body
  body.append("a-record-longer-than-a-body 3");
  ASSERT_EQ(body.begin_transfer(), 9u);
  EXPECT_EQ(body.body_record_count(), 1u);
  EXPECT_EQ(read_all(body, 64), "aaaaaa 1\n");
  body.end_transfer(true);
  ASSERT_EQ(body.begin_transfer(), 9u);
  EXPECT_EQ(read_all(body, 64), "bbbbbb 2\n");
  body.end_transfer(true);
  // A record longer than the limit still goes, alone.
  EXPECT_EQ(body.begin_transfer(), 30u);
  EXPECT_EQ(read_all(body, 64), "a-record-longer-than-a-body 3\n");
  body.end_transfer(true);
  EXPECT_TRUE(body.empty());
}

}  // namespace

namespace {

TEST(MemoryQueue, RecordLimitNarrowsTheBody) {
  MemoryQueue body;
  for (const char* r : {"a 1", "b 2", "c 3", "d 4", "e 5"}) body.append(r);
  body.set_record_limit(2);
  body.begin_transfer();
  EXPECT_EQ(body.body_record_count(), 2u);
  EXPECT_EQ(read_all(body, 64), "a 1\nb 2\n");
  body.end_transfer(true);
  body.set_record_limit(0);
  body.begin_transfer();
  EXPECT_EQ(read_all(body, 64), "c 3\nd 4\ne 5\n");
}

TEST(MemoryQueue, RecordsArriveWhileATransferIsOpenAndTheCapSparesTheBody) {
  MemoryQueue body(/*cap_bytes=*/40, /*max_body_bytes=*/20);
  body.append("r0 aaaaaa");  // 10 bytes each with the line feed
  body.append("r1 bbbbbb");
  ASSERT_EQ(body.begin_transfer(), 20u);
  EXPECT_EQ(body.append("r2 cccccc"), 0u);
  EXPECT_EQ(body.append("r3 dddddd"), 0u);
  EXPECT_EQ(body.append("r4 eeeeee"), 1u);  // r2 goes, not the open body's r0 and r1
  EXPECT_EQ(read_all(body, 64), "r0 aaaaaa\nr1 bbbbbb\n");
  // Not answered: r0 and r1 are older than the r2 the cap dropped, so they
  // go too rather than leave a gap before r3.
  EXPECT_EQ(body.end_transfer(false), 2u);
  EXPECT_EQ(body.text(), "r3 dddddd\nr4 eeeeee\n");
  EXPECT_EQ(body.record_count(), 2u);
}

TEST(MemoryQueue, ARecordHeldAsideWaitsForATransferOfItsOwn) {
  MemoryQueue body;
  body.append("stuck 1");
  body.append("next 2");
  body.set_record_limit(1);
  ASSERT_EQ(body.begin_transfer(), 8u);
  body.end_transfer_holding_aside();
  EXPECT_TRUE(body.holds_aside());
  EXPECT_EQ(body.record_count(), 2u);
  EXPECT_EQ(body.text(), "next 2\n");  // the queue goes on without it
  ASSERT_EQ(body.begin_transfer(), 7u);
  body.end_transfer(true);
  ASSERT_EQ(body.begin_held_transfer(), 8u);
  EXPECT_EQ(read_all(body, 64), "stuck 1\n");
  body.end_transfer(false);  // not answered: aside again, not in the queue
  EXPECT_TRUE(body.holds_aside());
  EXPECT_EQ(body.queued_records(), 0u);
  ASSERT_EQ(body.begin_held_transfer(), 8u);
  body.end_transfer(true);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(body.record_count(), 0u);
}

// Random appends (NUL bytes included, during open transfers too), reads of
// random sizes, rewinds, answered and unanswered ends and record limits, held
// against a plain model: a queue of whole records, the cap dropping the
// oldest records outside the open body.
TEST(MemoryQueue, BehavesLikeAQueueOfWholeRecords) {
  constexpr std::size_t kCap = 600;
  constexpr std::size_t kMaxBody = 150;
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1664525u + 1013904223u;  // a fixed generator: the same run every time
    return (seed >> 8) % bound;
  };
  for (int round = 0; round < 300; ++round) {
    MemoryQueue body(kCap, kMaxBody);
    std::deque<std::string> model;
    std::size_t model_dropped = 0, dropped = 0;
    int serial = 0;
    std::size_t open_records = 0;  // the model's first records that form the open body
    bool dropped_while_open = false;
    std::string expected;          // the open body's text
    for (int step = 0; step < 200; ++step) {
      const std::uint32_t op = next(10);
      if (op < 5) {
        std::string record = "r" + std::to_string(serial++) + " ";
        record.append(next(90), static_cast<char>('a' + next(3)));
        if (next(4) == 0) record.insert(record.size() / 2, 1, '\0');
        std::size_t size = 0;
        for (const auto& r : model) size += r.size() + 1;
        while (model.size() > open_records && size + record.size() + 1 > kCap) {
          const auto oldest = model.begin() + static_cast<long>(open_records);
          size -= oldest->size() + 1;
          model.erase(oldest);
          ++model_dropped;
          if (open_records > 0) dropped_while_open = true;
        }
        model.push_back(record);
        dropped += body.append(record);
      } else if (open_records == 0) {
        if (next(3) == 0) body.set_record_limit(next(4));
        const std::size_t limit = body.record_limit();
        const std::size_t length = body.begin_transfer();
        // The expected body: whole oldest records, at least one, within both limits.
        expected.clear();
        std::size_t records = 0;
        for (const auto& r : model) {
          if (records > 0 && (expected.size() + r.size() + 1 > kMaxBody || records == limit)) break;
          expected.append(r).push_back('\n');
          ++records;
        }
        ASSERT_EQ(length, expected.size());
        ASSERT_EQ(body.body_record_count(), records);
        ASSERT_EQ(body.transfer_open(), records > 0);
        open_records = records;
      } else {
        std::string sent = read_all(body, 1 + next(40));
        if (next(3) == 0) {  // libcurl rewinds to send again on a fresh connection
          body.rewind();
          sent = read_all(body, 1 + next(40));
        }
        ASSERT_EQ(sent, expected);
        const bool answered = next(2) == 0;
        const std::size_t gone = body.end_transfer(answered);
        if (answered || dropped_while_open) {
          model.erase(model.begin(), model.begin() + static_cast<long>(open_records));
        }
        ASSERT_EQ(gone, !answered && dropped_while_open ? open_records : 0u);
        model_dropped += gone;
        dropped += gone;
        open_records = 0;
        dropped_while_open = false;
      }
      ASSERT_EQ(body.record_count(), model.size());
      std::string text;
      for (const auto& r : model) text.append(r).push_back('\n');
      ASSERT_EQ(body.text(), text);
      ASSERT_EQ(dropped, model_dropped);
    }
  }
}

}  // namespace
