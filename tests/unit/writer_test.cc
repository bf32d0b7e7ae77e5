#include "writer/influx_writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/log.h"
#include "fake_transport.h"

namespace {

TEST(InfluxWriter, UrlFromBaseDatabaseAndPrecision) {
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
    writer.base_url = std::string("http://") + c.host;
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
}

// The writer with a fake transport and a clock the test moves.
struct WriterFixture : testing::Test {
  FakeTransport* transport = nullptr;
  InfluxWriter::Clock::time_point now{std::chrono::hours(1)};
  std::chrono::milliseconds tick_per_read{0};  // how far each look at the clock moves it
  bool more_waiting = false;
  std::unique_ptr<InfluxWriter> writer;

  void SetUp() override {
    auto fake = std::make_unique<FakeTransport>();
    transport = fake.get();
    writer = std::make_unique<InfluxWriter>(std::move(fake), [this] {
      now += tick_per_read;
      return now;
    });
    writer->set_more_waiting([this] { return more_waiting; });
    verbosity = 3;
  }
  void TearDown() override { verbosity = 3; }
};

TEST_F(WriterFixture, AMessageAloneStartsItsPostBeforeWriteReturnsUrlTraceFirst) {
  verbosity = 5;
  testing::internal::CaptureStdout();
  writer->write("temp v=1 1");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "T: http://localhost:8086/write?db=mydb&precision=ms\n");
  ASSERT_EQ(transport->bodies.size(), 1u);
  EXPECT_EQ(transport->bodies[0], "temp v=1 1\n");
  writer->run_due_work();
  EXPECT_EQ(writer->pending_records(), 0u);
}

TEST_F(WriterFixture, RecordsArrivingDuringATransferShareTheNextBody) {
  transport->hold_results = true;
  writer->write("a v=1 1");
  writer->write("b v=2 2");
  writer->write("c v=3 3");
  EXPECT_EQ(transport->bodies.size(), 1u);  // one transfer at a time
  transport->hold_results = false;
  writer->run_due_work();  // the first ends, the next starts at once
  ASSERT_EQ(transport->bodies.size(), 2u);
  EXPECT_EQ(transport->bodies[1], "b v=2 2\nc v=3 3\n");
  writer->run_due_work();
  EXPECT_EQ(writer->pending_records(), 0u);
}

TEST_F(WriterFixture, ABurstAlreadyWaitingOnTheSocketGoesInOneBody) {
  more_waiting = true;
  for (int i = 0; i < 50; ++i) writer->write("m v=" + std::to_string(i) + " 1");
  EXPECT_TRUE(transport->bodies.empty());
  more_waiting = false;  // the loop has read everything waiting
  writer->run_due_work();
  ASSERT_EQ(transport->bodies.size(), 1u);
  EXPECT_EQ(std::count(transport->bodies[0].begin(), transport->bodies[0].end(), '\n'), 50);
}

TEST_F(WriterFixture, TheLoopLearnsWhenAPostFallsDueWhileItReads) {
  more_waiting = true;
  writer->write("m v=1 1");
  const InfluxWriter::Clock::time_point taken_in = now;
  EXPECT_EQ(writer->next_due(now, true), taken_in + kMaxGatherWait);
  now += kMaxGatherWait;  // messages that make no record kept the loop reading
  EXPECT_LE(writer->next_due(now, true), now);
  transport->hold_results = true;
  writer->run_due_work();
  ASSERT_EQ(transport->bodies.size(), 1u);
  // A transfer under way: its end is an event, nothing is due meanwhile.
  EXPECT_EQ(writer->next_due(now, true), InfluxWriter::Clock::time_point::max());
}

TEST_F(WriterFixture, OutOfMemoryStartingAPostKeepsTheRecordAndTheBridgeGoesOn) {
  transport->throw_on_start = true;
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(writer->write("m v=1 1"));
  EXPECT_NO_THROW(writer->run_due_work());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("I: POST not started: out of memory; records kept: 1\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("message dropped"), std::string::npos);
  EXPECT_EQ(writer->pending_records(), 1u);
  transport->throw_on_start = false;
  now += std::chrono::seconds(2);  // past the back-off
  writer->run_due_work();
  writer->run_due_work();
  EXPECT_EQ(transport->bodies, std::vector<std::string>{"m v=1 1\n"});
  EXPECT_EQ(writer->pending_records(), 0u);
}

TEST_F(WriterFixture, OutageLinesAtEachEndAndTheBackOffBetween) {
  transport->answer = [](const std::string&) { return refused_connection(); };
  testing::internal::CaptureStdout();
  writer->write("m v=1 1");
  writer->run_due_work();
  writer->write("m v=2 2");  // within the back-off: no POST
  writer->run_due_work();
  EXPECT_EQ(transport->bodies.size(), 1u);
  transport->answer = [](const std::string&) { return answered(204); };
  now += std::chrono::seconds(3);
  writer->run_due_work();
  writer->run_due_work();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("I: database unreachable: "), std::string::npos) << out;
  EXPECT_NE(out.find("I: database reachable again after 3 s; records delivered from the backlog: 2, "
                     "still pending: 0\n"),
            std::string::npos)
      << out;
  EXPECT_FALSE(writer->in_outage());
}

TEST_F(WriterFixture, ShutdownPostsWhatIsPendingDespiteTheBackOff) {
  transport->answer = [](const std::string&) { return refused_connection(); };
  writer->write("m v=1 1");
  writer->run_due_work();
  writer->write("m v=2 2");
  transport->answer = [](const std::string&) { return answered(204); };
  writer->flush_at_shutdown();  // the back-off of 1 s has not passed
  EXPECT_EQ(transport->bodies.back(), "m v=1 1\nm v=2 2\n");
  EXPECT_EQ(writer->pending_records(), 0u);
}

TEST_F(WriterFixture, ShutdownEndsAtItsBudgetWhenTheDatabaseNeverAnswers) {
  transport->hold_results = true;  // the transfer never ends
  tick_per_read = std::chrono::milliseconds(50);
  writer->write("m v=1 1");
  testing::internal::CaptureStdout();
  const auto started = now;
  writer->flush_at_shutdown();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_LE(now - started, kShutdownBudget + std::chrono::milliseconds(200));
  EXPECT_NE(out.find("I: records not delivered at shutdown: 1\n"), std::string::npos) << out;
}

}  // namespace
