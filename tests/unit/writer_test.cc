#include "writer/influx_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(InfluxWriter, UrlFromHostDatabaseAndPrecision) {
  struct Case {
    const char* host;
    const char* database;
    const char* precision;
    const char* url;
  };
  const std::vector<Case> cases = {
      {"localhost:8086", "mydb", "ms", "http://localhost:8086/write?db=mydb&precision=ms"},
      {"localhost:8086", "mydb", "s", "http://localhost:8086/write?db=mydb&precision=s"},
      {"localhost:8086", "mydb", "ns", "http://localhost:8086/write?db=mydb&precision=ns"},
      // InfluxDB 1.x names microseconds "u"; "us" would be read as nanoseconds.
      {"localhost:8086", "mydb", "us", "http://localhost:8086/write?db=mydb&precision=u"},
      {"db.lan", "my db", "xs", "http://db.lan/write?db=my db&precision=xs"},  // unchanged
  };
  for (const Case& c : cases) {
    InfluxWriter writer;
    writer.host = c.host;
    writer.database = c.database;
    writer.precision = c.precision;
    EXPECT_EQ(writer.url(), c.url);
  }
}

TEST(InfluxWriter, DefaultsMatchTheSettings) {
  InfluxWriter writer;
  EXPECT_EQ(writer.url(), "http://localhost:8086/write?db=mydb&precision=ms");
  EXPECT_EQ(writer.pending_records(), 0u);
}

TEST(InfluxWriter, ReadBodyWithNothingPendingReturnsZero) {
  InfluxWriter writer;
  char buffer[16];
  EXPECT_EQ(writer.read_body(buffer, 1, sizeof buffer), 0u);
  EXPECT_FALSE(writer.seek_body(5, SEEK_SET));
  EXPECT_FALSE(writer.seek_body(0, SEEK_END));
  EXPECT_TRUE(writer.seek_body(0, SEEK_SET));
}

}  // namespace

namespace {

TEST(JudgeTransfer, WhatBecomesOfTheBody) {
  struct Case {
    CURLcode code;
    long status;
    bool request_sent;
    bool response_cut;
    std::size_t records;
    Verdict verdict;
  };
  const std::vector<Case> cases = {
      {CURLE_OK, 204, true, false, 100, Verdict::kStored},
      {CURLE_OK, 200, true, false, 1, Verdict::kStored},
      {CURLE_WRITE_ERROR, 200, true, true, 5, Verdict::kStored},  // a long answer, cut
      {CURLE_WRITE_ERROR, 200, true, false, 5, Verdict::kKeep},
      {CURLE_OK, 400, true, false, 100, Verdict::kSplit},
      {CURLE_OK, 413, true, false, 2, Verdict::kSplit},
      {CURLE_OK, 400, true, false, 1, Verdict::kDropRecord},
      {CURLE_OK, 413, true, false, 1, Verdict::kDropRecord},
      {CURLE_WEIRD_SERVER_REPLY, 0, true, false, 100, Verdict::kSplit},  // "Nul byte in header"
      {CURLE_WEIRD_SERVER_REPLY, 0, true, false, 1, Verdict::kDropRecord},
      {CURLE_OPERATION_TIMEDOUT, 0, true, false, 100, Verdict::kSplit},
      {CURLE_OPERATION_TIMEDOUT, 0, true, false, 1, Verdict::kKeep},   // a slow server: wait
      {CURLE_OPERATION_TIMEDOUT, 0, false, false, 100, Verdict::kKeep},  // never connected
      {CURLE_COULDNT_CONNECT, 0, false, false, 100, Verdict::kKeep},
      {CURLE_RECV_ERROR, 0, true, false, 100, Verdict::kKeep},  // reset: a transport failure
      {CURLE_OK, 503, true, false, 100, Verdict::kKeep},
      {CURLE_OK, 404, true, false, 1, Verdict::kKeep},
  };
  for (const Case& c : cases) {
    const TransferResult result{c.code, c.status, c.request_sent, c.response_cut};
    EXPECT_EQ(judge_transfer(result, c.records), c.verdict)
        << "code " << c.code << " status " << c.status << " records " << c.records;
  }
}

}  // namespace

namespace {

TEST(GatherMore, HoldsRecordsOnlyForMessagesAlreadyWaiting) {
  using std::chrono::milliseconds;
  struct Case {
    bool more_waiting;
    std::size_t pending_bytes;
    milliseconds waited;
    bool gather;
  };
  const std::vector<Case> cases = {
      {false, 70, milliseconds(0), false},  // one at a time: post at once
      {true, 70, milliseconds(0), true},
      {true, 70, milliseconds(249), true},
      {true, 70, milliseconds(250), false},          // waited long enough
      {true, kMaxBodyBytes - 1, milliseconds(0), true},
      {true, kMaxBodyBytes, milliseconds(0), false},  // a full body goes now
      {false, kMaxBodyBytes * 4, milliseconds(0), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gather_more(c.more_waiting, c.pending_bytes, kMaxBodyBytes, c.waited), c.gather)
        << c.more_waiting << " " << c.pending_bytes << " " << c.waited.count();
  }
}

}  // namespace
