#include "writer/pending_body.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Reads the open transfer's whole body in pieces of at most `room` bytes.
std::string read_all(PendingBody& body, std::size_t room, std::vector<std::size_t>* pieces = nullptr) {
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

TEST(PendingBody, BodyIsEveryRecordWithItsLineFeedInOrder) {
  PendingBody body;
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

TEST(PendingBody, HandsOutNoMoreThanTheRoomOffered) {
  PendingBody body;
  body.append("0123456789");
  body.begin_transfer();
  std::vector<std::size_t> pieces;
  EXPECT_EQ(read_all(body, 3, &pieces), "0123456789\n");
  EXPECT_EQ(pieces, (std::vector<std::size_t>{3, 3, 3, 2}));
}

TEST(PendingBody, ReadWithNothingPendingEndsTheBody) {
  PendingBody body;
  EXPECT_EQ(body.begin_transfer(), 0u);
  char byte;
  EXPECT_EQ(body.read(&byte, 1), 0u);
}

TEST(PendingBody, UnansweredTransferKeepsTheWholeBodyForTheNext) {
  PendingBody body;
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

TEST(PendingBody, RewindStartsTheBodyAgain) {
  PendingBody body;
  body.append("abc 1");
  body.begin_transfer();
  EXPECT_EQ(read_all(body, 2), "abc 1\n");
  body.rewind();
  EXPECT_EQ(read_all(body, 64), "abc 1\n");
}

TEST(PendingBody, CapDropsOldestWholeRecords) {
  PendingBody body(/*cap_bytes=*/20);
  EXPECT_EQ(body.append("r1 aaaa"), 0u);  // 8 bytes with its line feed
  EXPECT_EQ(body.append("r2 bbbb"), 0u);  // 16
  EXPECT_EQ(body.append("r3 cc"), 1u);    // 22 would pass the cap: r1 goes
  EXPECT_EQ(body.text(), "r2 bbbb\nr3 cc\n");
  EXPECT_EQ(body.append("r4 a-much-longer-one"), 2u);  // the newest is always kept
  EXPECT_EQ(body.text(), "r4 a-much-longer-one\n");
  EXPECT_EQ(body.record_count(), 1u);
}

TEST(PendingBody, FloodAtTheCapKeepsTheNewestAndStaysBounded) {
  const std::size_t cap = 4096;
  PendingBody body(cap);
  std::size_t dropped = 0;
  for (int i = 0; i < 100000; ++i) {
    dropped += body.append("m,host=x value=" + std::to_string(i) + " " + std::to_string(i));
    ASSERT_LE(body.size(), cap);
  }
  EXPECT_EQ(dropped + body.record_count(), 100000u);
  const std::string_view text = body.text();
  const std::string newest = "m,host=x value=99999 99999\n";
  EXPECT_EQ(text.substr(text.size() - newest.size()), newest);
  // The body starts on a record boundary.
  EXPECT_EQ(text.substr(0, 2), "m,");
}

TEST(PendingBody, LongBacklogGoesOutInBodiesOfWholeRecords) {
  PendingBody body(/*cap_bytes=*/1 << 20, /*max_body_bytes=*/16);
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
