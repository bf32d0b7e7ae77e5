#include "writer/spool_queue.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <fstream>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "app/spool_setup.h"
#include "writer/delivery_state.h"
#include "fake_file_system.h"
#include "file_size_limit.h"

namespace {

namespace fs = std::filesystem;
using Clock = SpoolQueue::Clock;
using std::chrono::seconds;

std::string record(int i) {
  const std::string n = std::to_string(i);
  return "temp,host=node-17 value=" + n + " 17000000000" + n;
}

// A fresh directory under /tmp for each test, removed with what it holds.
class ScratchDirectory : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/spool-queue-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string dir_;
};

class SpoolQueueTest : public ScratchDirectory {
 protected:

  // A delivery state whose queue is the spool in dir_.
  struct Bridge {
    std::unique_ptr<DeliveryState> state;
    SpoolQueue* queue = nullptr;  // state's
    SpoolEvents events;  // all events since it started, summed
    std::vector<std::string> delivered;
    std::string body_precision;  // of the last body sent
    Clock::time_point now{std::chrono::hours(1)};

    void collect() {
      const SpoolEvents e = queue->take_events();
      events.dropped += e.dropped;
      events.skipped_bytes += e.skipped_bytes;
      if (!e.unusable.empty()) events.unusable = e.unusable;
      if (!e.too_large.empty()) events.too_large = e.too_large;
      events.usable_again = events.usable_again || e.usable_again;
    }
    void accept(const std::string& text) {
      queue->set_now(now);
      state->append(text, now);
      collect();
    }
    void tick(Clock::time_point at) {
      queue->set_now(at);
      queue->tick();
      collect();
    }
    void stop() {
      queue->set_now(now);
      queue->stop();
      collect();
    }
    // Opens a body (left open); its length.
    std::size_t open() {
      queue->set_now(now);
      const std::size_t bytes = state->open_body();
      collect();
      return bytes;
    }
    // One body, answered (stored) or not; returns its records.
    std::vector<std::string> send_one(bool stored) {
      std::vector<std::string> records;
      if (open() == 0) return records;
      body_precision = queue->body_precision();
      std::string body;
      char piece[4096];
      for (std::size_t n; (n = state->read(piece, sizeof piece)) > 0;) body.append(piece, n);
      EXPECT_LE(body.size(), kMaxBodyBytes);
      for (std::size_t start = 0, end; (end = body.find('\n', start)) != std::string::npos;
           start = end + 1) {
        records.push_back(body.substr(start, end - start));
      }
      TransferResult result;
      if (stored) {
        result.status = 204;
        result.request_sent = true;
      } else {
        result.code = CURLE_COULDNT_CONNECT;
      }
      close(result);
      if (stored) delivered.insert(delivered.end(), records.begin(), records.end());
      return records;
    }
    void close(const TransferResult& result) {
      queue->set_now(now);
      events.dropped += state->close_body(result, now).dropped_at_cap;
      collect();
    }
    void deliver_all() {
      while (!send_one(true).empty()) {
      }
    }
    std::uint64_t pending() const { return state->records(); }
  };

  std::unique_ptr<Bridge> start(std::uint64_t max_bytes = std::uint64_t{64} << 20,
                                FileSystem& files = system_file_system(),
                                std::size_t memory_cap = kPendingCapBytes,
                                const std::string& precision = "ms",
                                SpoolQueue::SyncRunner run_sync = SpoolQueue::inline_sync()) {
    std::unique_ptr<Spool> spool;
    const SpoolStatus status = Spool::open(dir_, spool_options(max_bytes), spool, files);
    EXPECT_TRUE(status.ok()) << status.text;
    if (!status.ok()) return nullptr;
    spool->set_precision(precision);
    auto bridge = std::make_unique<Bridge>();
    auto queue = std::make_unique<SpoolQueue>(std::move(spool), precision, memory_cap,
                                              kMaxBodyBytes, std::move(run_sync));
    bridge->queue = queue.get();
    bridge->state = std::make_unique<DeliveryState>(std::move(queue));
    bridge->collect();
    return bridge;
  }

  static std::vector<std::string> range(int first, int last) {
    std::vector<std::string> out;
    for (int i = first; i < last; ++i) out.push_back(record(i));
    return out;
  }
};

TEST_F(SpoolQueueTest, UndeliveredRecordsAreFoundByTheNextRunAndGoOutFirst) {
  // However the first run ends -- killed (the spool closed unsynced), or
  // stopped in order during an outage -- the next finds what was not
  // delivered, and sends it before its own records.
  for (const bool orderly : {false, true}) {
    SCOPED_TRACE(orderly ? "stopped" : "killed");
    std::size_t stored = 0;
    {
      auto first = start();
      for (int i = 0; i < 40; ++i) first->accept(record(i));
      first->send_one(true);  // the database stored one body, then went away
      stored = first->delivered.size();
      ASSERT_GT(stored, 0u);
      first->send_one(false);
      for (int i = 40; i < 60; ++i) first->accept(record(i));
      EXPECT_EQ(first->pending(), 60 - stored);
      if (orderly) {
        first->stop();
        EXPECT_FALSE(first->events.any());
      }
      EXPECT_EQ(first->delivered, range(0, static_cast<int>(stored)));
    }
    auto second = start();
    EXPECT_EQ(second->queue->records_found(), 60 - stored);
    EXPECT_EQ(second->pending(), 60 - stored);
    second->accept(record(60));
    second->deliver_all();
    EXPECT_EQ(second->delivered, range(static_cast<int>(stored), 61));
    second->stop();
    second.reset();
    EXPECT_EQ(start()->queue->records_found(), 0u);
    fs::remove_all(dir_);
    fs::create_directory(dir_);
  }
}

TEST_F(SpoolQueueTest, TheSpoolIsTheQueueAndMemoryHoldsOneBody) {
  auto bridge = start();
  const int count = 40000;  // about 2 MiB of records
  for (int i = 0; i < count; ++i) bridge->accept(record(i));
  EXPECT_EQ(bridge->pending(), static_cast<std::uint64_t>(count));
  EXPECT_EQ(bridge->queue->memory_only_records(), 0u);
  // Every body is read from the spool (send_one checks its size).
  bridge->deliver_all();
  EXPECT_EQ(bridge->delivered, range(0, count));
  EXPECT_EQ(bridge->pending(), 0u);
}

// Delivery is one cursor plus the record held aside: the spool is
// acknowledged up to the older of the two. A killed run's held record is
// found by the next run, with the records after it (sent again: harmless,
// the database stores a point once); once it was answered, nothing is.
TEST_F(SpoolQueueTest, ARecordHeldAsideKeepsItsPlaceInTheSpoolAcrossAKill) {
  for (const bool held_answered : {false, true}) {
    SCOPED_TRACE(held_answered ? "held record answered" : "held record pending");
    {
      auto bridge = start();
      for (int i = 0; i < 10; ++i) bridge->accept(record(i));
      SpoolQueue& queue = *bridge->queue;
      queue.set_record_limit(1);
      ASSERT_GT(queue.begin_transfer(), 0u);
      queue.end_transfer_holding_aside();
      queue.set_record_limit(0);
      ASSERT_GT(queue.begin_transfer(), 0u);
      EXPECT_EQ(queue.body_record_count(), 9u);
      queue.end_transfer(true);
      EXPECT_EQ(queue.record_count(), 1u);
      if (held_answered) {
        ASSERT_GT(queue.begin_held_transfer(), 0u);
        queue.end_transfer(true);
        EXPECT_EQ(queue.record_count(), 0u);
      }
      bridge->tick(bridge->now);  // synced, then killed: no orderly stop
    }
    auto next = start();
    EXPECT_EQ(next->queue->records_found(), held_answered ? 0u : 10u);
    next->deliver_all();
    EXPECT_EQ(next->delivered, held_answered ? range(0, 0) : range(0, 10));
    next->stop();
  }
}

TEST_F(SpoolQueueTest, RecordsDroppedAtTheBoundAreGoneFromMemoryToo) {
  // A 64 KiB spool, the database down, a body out when the bound is reached:
  // what goes out afterwards is the newest records without a gap, and every
  // record is either delivered or counted as dropped, once.
  auto bridge = start(std::uint64_t{64} << 10);
  const int count = 5000;
  for (int i = 0; i < count; ++i) {
    bridge->accept(record(i));
    if (i == 100) {
      bridge->send_one(false);
      ASSERT_GT(bridge->open(), 0u);  // left open while the bound drops it
    }
  }
  TransferResult failed;
  failed.code = CURLE_COULDNT_CONNECT;
  bridge->close(failed);
  bridge->deliver_all();
  ASSERT_FALSE(bridge->delivered.empty());
  // Fewer than the bound holds: 64 KiB of frames of about 50 bytes.
  EXPECT_LT(bridge->delivered.size(), 1400u);
  const int first = count - static_cast<int>(bridge->delivered.size());
  EXPECT_EQ(bridge->delivered, range(first, count));
  EXPECT_EQ(bridge->events.dropped + bridge->delivered.size(), static_cast<std::size_t>(count));
}

TEST_F(SpoolQueueTest, DiskTroubleKeepsRecordsInMemoryUntilTheSpoolWorksAgain) {
  auto bridge = start();
  for (int i = 0; i < 10; ++i) bridge->accept(record(i));
  {
    const FileSizeLimit full(0);  // every write now fails, as on a full disk
    for (int i = 10; i < 20; ++i) bridge->accept(record(i));
    EXPECT_NE(bridge->events.unusable.find("File too large"), std::string::npos)
        << bridge->events.unusable;
    EXPECT_FALSE(bridge->queue->usable());
  }
  // Not tried again before its time: still in memory.
  bridge->accept(record(20));
  EXPECT_FALSE(bridge->queue->usable());
  EXPECT_FALSE(bridge->events.usable_again);
  bridge->now += SpoolQueue::kRetryInterval;
  for (int i = 21; i < 30; ++i) bridge->accept(record(i));
  EXPECT_TRUE(bridge->queue->usable());
  EXPECT_TRUE(bridge->events.usable_again);
  EXPECT_EQ(bridge->pending(), 30u);
  bridge->deliver_all();
  EXPECT_EQ(bridge->delivered, range(0, 30));
  EXPECT_EQ(bridge->events.dropped, 0u);
  // Only what went to the spool was ever there; all of it is done.
  bridge->stop();
  bridge.reset();
  EXPECT_EQ(start()->queue->records_found(), 0u);
}

// The faults the spool once had, each as a row driven through the fake file
// system, with the check that would have caught it. (A sync that stalls is
// AStalledSyncHoldsNoRecordBack below; the directory's links and lock are
// SpoolTest.TheDirectoryIsTheSpoolsOwnWhateverItHolds; arrival stamps of one
// series are SeriesStamps.)
TEST_F(SpoolQueueTest, KnownFaultsStayMended) {
  const auto spooled_records = [](const FakeFileSystem& fs) {
    std::size_t bytes = 0;
    for (const auto& [name, data] : fs.now()) {
      if (name.rfind("spool-", 0) == 0) bytes += data.size();
    }
    return bytes;
  };
  const std::uint64_t kBound = std::uint64_t{64} << 20;
  const struct {
    const char* fault;
    std::function<void()> check;
  } rows[] = {
      {"a spool that filled its own file system never drained nor took the next outage", [&] {
         FakeFileSystem fs;
         fs.capacity = 2048;
         auto bridge = start(kBound, fs, 1024);
         for (int i = 0; i < 100; ++i) bridge->accept(record(i));
         ASSERT_FALSE(bridge->queue->usable());
         bridge->deliver_all();
         EXPECT_EQ(spooled_records(fs), 0u) << "the delivered segment is freed";
         bridge->now += SpoolQueue::kRetryInterval;
         for (int i = 100; i < 110; ++i) bridge->accept(record(i));
         EXPECT_TRUE(bridge->events.usable_again);
         EXPECT_EQ(bridge->queue->memory_only_records(), 0u);
         bridge.reset();  // killed: the next run finds these ten and nothing delivered
         EXPECT_EQ(start(kBound, fs)->queue->records_found(), 10u);
       }},
      {"a full disk in an outage dropped records that had reached it", [&] {
         FakeFileSystem fs;
         fs.capacity = 2048;
         auto bridge = start(kBound, fs, 1024);
         int on_disk = -1;
         for (int i = 0; i < 200; ++i) {
           bridge->accept(record(i));
           if (on_disk < 0 && !bridge->queue->usable()) on_disk = i;
         }
         ASSERT_GT(on_disk, 10);
         bridge->deliver_all();
         const std::vector<std::string> disk = range(0, on_disk);
         ASSERT_GE(bridge->delivered.size(), disk.size());
         EXPECT_TRUE(std::equal(disk.begin(), disk.end(), bridge->delivered.begin()));
         // Memory's cap kept the newest, without a gap, and counted the rest.
         const int from_memory = static_cast<int>(bridge->delivered.size()) - on_disk;
         EXPECT_EQ(std::vector<std::string>(bridge->delivered.begin() + on_disk, bridge->delivered.end()),
                   range(200 - from_memory, 200));
         EXPECT_EQ(bridge->events.dropped, 200u - bridge->delivered.size());
       }},
      {"a failed sync was forgotten, and a power cut took what it covered", [&] {
         FakeFileSystem fs;
         auto bridge = start(kBound, fs);
         for (int i = 0; i < 6; ++i) bridge->accept(record(i));
         fs.fault = [](FakeFileSystem::Call call, const std::string& name) {
           return call == FakeFileSystem::Call::kSync && name.rfind("spool-", 0) == 0 ? EIO : 0;
         };
         bridge->tick(bridge->now);
         EXPECT_NE(bridge->events.unusable.find("Input/output error"), std::string::npos);
         fs.fault = nullptr;
         bridge->now += SpoolQueue::kRetryInterval;
         bridge->accept(record(6));  // first the six again, then this one
         bridge->tick(bridge->now);
         FakeFileSystem after(fs.power_cut_states().front());
         bridge.reset();
         auto next = start(kBound, after);
         next->deliver_all();
         std::vector<std::string> found = next->delivered;
         std::sort(found.begin(), found.end());
         found.erase(std::unique(found.begin(), found.end()), found.end());
         std::vector<std::string> all = range(0, 7);
         std::sort(all.begin(), all.end());
         EXPECT_EQ(found, all);
       }},
      {"a spool found over its bound was wiped, not trimmed", [&] {
         FakeFileSystem fs;
         {
           auto bridge = start(std::uint64_t{1} << 20, fs);
           for (int i = 0; i < 4000; ++i) bridge->accept(record(i));
         }
         auto bridge = start(std::uint64_t{64} << 10, fs);
         const std::uint64_t found = bridge->queue->records_found();
         EXPECT_GT(found, 500u);
         EXPECT_LT(found, 4000u);
         EXPECT_EQ(bridge->events.dropped + found, 4000u);
         bridge->deliver_all();
         EXPECT_EQ(bridge->delivered, range(4000 - static_cast<int>(found), 4000));
       }},
      {"one record larger than a segment evicted every other record", [&] {
         FakeFileSystem fs;
         auto bridge = start(std::uint64_t{64} << 10, fs);  // 4 KiB segments
         const std::string large = "big,host=node-17 text=\"" + std::string(10000, 'x') + "\" 1";
         std::vector<std::string> sent = range(0, 20);
         for (const std::string& r : sent) bridge->accept(r);
         bridge->accept(large);
         sent.push_back(large);
         for (int i = 20; i < 40; ++i) {
           bridge->accept(record(i));
           sent.push_back(record(i));
         }
         EXPECT_NE(bridge->events.too_large, "");
         EXPECT_EQ(bridge->events.unusable, "") << "not a spool failure";
         EXPECT_TRUE(bridge->queue->usable());
         bridge->deliver_all();
         EXPECT_EQ(bridge->delivered, sent);  // in order, the large one from memory
         EXPECT_EQ(bridge->events.dropped, 0u);
       }},
      {"spooled records went out with the next run's precision", [&] {
         FakeFileSystem fs;
         {
           auto bridge = start(kBound, fs, kPendingCapBytes, "ms");
           for (int i = 0; i < 5; ++i) bridge->accept(record(i));
         }
         auto bridge = start(kBound, fs, kPendingCapBytes, "s");
         for (int i = 5; i < 8; ++i) bridge->accept(record(i));
         std::vector<std::pair<std::string, std::vector<std::string>>> bodies;
         for (std::vector<std::string> body; !(body = bridge->send_one(true)).empty();) {
           bodies.emplace_back(bridge->body_precision, body);
         }
         const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
             {"ms", range(0, 5)}, {"s", range(5, 8)}};
         EXPECT_EQ(bodies, expected);  // a body never mixes two
       }},
      {"a wholly damaged segment stayed, with its line at every start", [&] {
         FakeFileSystem fs;
         {
           auto bridge = start(std::uint64_t{64} << 10, fs);
           for (int i = 0; i < 200; ++i) bridge->accept(record(i));
         }
         FakeFileSystem::Contents contents = fs.now();
         auto oldest = std::find_if(contents.begin(), contents.end(),
                                    [](const auto& e) { return e.first.rfind("spool-", 0) == 0; });
         ASSERT_NE(oldest, contents.end());
         const std::string name = oldest->first;
         std::fill(oldest->second.begin(), oldest->second.end(), '\x55');
         FakeFileSystem damaged(contents);
         auto bridge = start(std::uint64_t{64} << 10, damaged);
         bridge->deliver_all();
         EXPECT_EQ(bridge->events.skipped_bytes, contents.at(name).size());
         EXPECT_EQ(damaged.now().count(name), 0u);
         bridge->stop();
         bridge.reset();
         EXPECT_EQ(start(std::uint64_t{64} << 10, damaged)->events.skipped_bytes, 0u);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    row.check();
  }
}

// The system's file system, but a sync waits at a gate until the test opens
// it (10 s at most): a disk that takes seconds to sync.
class GatedSync final : public FileSystem {
 public:
  void open_gate() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  int waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
  }
  // Until a sync waits at the gate (10 s at most).
  bool wait_for_a_sync() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return waiting_ > 0; });
  }
  int sync(Handle handle) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    --waiting_;
    return real_.sync(handle);
  }
  int open_locked_directory(const std::string& p, Handle& d) override { return real_.open_locked_directory(p, d); }
  int list(Handle d, std::vector<Entry>& e) override { return real_.list(d, e); }
  int open(Handle d, const std::string& n, Mode m, Handle& f) override { return real_.open(d, n, m, f); }
  int duplicate(Handle h, Handle& c) override { return real_.duplicate(h, c); }
  int write_at(Handle f, std::string_view b, std::uint64_t o, std::size_t& w) override { return real_.write_at(f, b, o, w); }
  int read_at(Handle f, char* b, std::size_t r, std::uint64_t o, std::size_t& g) override { return real_.read_at(f, b, r, o, g); }
  int truncate(Handle f, std::uint64_t s) override { return real_.truncate(f, s); }
  int unlink(Handle d, const std::string& n) override { return real_.unlink(d, n); }
  int rename(Handle d, const std::string& a, const std::string& b) override { return real_.rename(d, a, b); }
  int check_directory(Handle d) override { return real_.check_directory(d); }
  void close(Handle h) override { real_.close(h); }

 private:
  FileSystem& real_ = system_file_system();
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int waiting_ = 0;
};

// A sync runs beside the bridge's work: while one is stuck, records are still
// taken and delivered.
TEST_F(SpoolQueueTest, AStalledSyncHoldsNoRecordBack) {
  GatedSync disk;
  auto bridge = start(std::uint64_t{64} << 20, disk, kPendingCapBytes, "ms",
                      SpoolQueue::background_sync());
  bridge->accept(record(0));
  bridge->tick(bridge->now);  // the first sync is due at once
  ASSERT_TRUE(disk.wait_for_a_sync());
  for (int i = 1; i < 200; ++i) {
    bridge->now += std::chrono::milliseconds(20);
    bridge->accept(record(i));
    bridge->tick(bridge->now);
    if (i % 50 == 0) bridge->send_one(true);
  }
  EXPECT_EQ(disk.waiting(), 1);  // still stuck, and only one at a time
  EXPECT_EQ(bridge->delivered.size() + bridge->pending(), 200u);
  disk.open_gate();
  bridge->deliver_all();
  bridge->stop();
  EXPECT_FALSE(bridge->events.any());
  EXPECT_EQ(bridge->delivered, range(0, 200));
}

TEST_F(SpoolQueueTest, SyncsAtOnceThenAtMostOnceASecondAndOnlyWithSomethingNew) {
  auto bridge = start();
  EXPECT_EQ(bridge->queue->next_sync(), Clock::time_point::max());
  bridge->accept(record(0));
  EXPECT_EQ(bridge->queue->next_sync(), bridge->now);
  bridge->tick(bridge->now);
  EXPECT_EQ(bridge->queue->next_sync(), Clock::time_point::max());
  bridge->now += std::chrono::milliseconds(100);
  bridge->accept(record(1));
  const Clock::time_point due = bridge->now - std::chrono::milliseconds(100) + SpoolQueue::kSyncInterval;
  EXPECT_EQ(bridge->queue->next_sync(), due);
  bridge->tick(bridge->now);  // not yet
  EXPECT_EQ(bridge->queue->next_sync(), due);
  bridge->tick(due);
  EXPECT_EQ(bridge->queue->next_sync(), Clock::time_point::max());
  EXPECT_FALSE(bridge->events.any());
}

}  // namespace

namespace {

TEST(SpoolSize, DigitsWithKOrMOfAtLeast64k) {
  const struct {
    const char* text;
    std::uint64_t bytes;  // 0: refused
  } cases[] = {
      {"65536", 65536},
      {"64k", 65536},
      {"1M", 1048576},
      {"64M", 67108864},
      {"4096M", std::uint64_t{4096} << 20},  // past 32 bits, on any machine
      {"65535", 0},                          // under the smallest bound
      {"63k", 0},
      {"", 0},
      {"k", 0},
      {"M", 0},
      {"10", 0},
      {"1G", 0},
      {"64K", 0},
      {"1m", 0},
      {"-1M", 0},
      {"+1M", 0},
      {" 1M", 0},
      {"1 M", 0},
      {"1.5M", 0},
      {"0x10000", 0},
      {"2000000M", 0},                 // past 1 TiB
      {"99999999999999999999999", 0},  // would overflow 64 bits
  };
  for (const auto& c : cases) {
    const std::optional<std::uint64_t> parsed = parse_spool_size(c.text);
    if (c.bytes == 0) {
      EXPECT_FALSE(parsed) << c.text;
    } else {
      EXPECT_EQ(parsed.value_or(0), c.bytes) << c.text;
    }
  }
}

using OpenSpool = ScratchDirectory;

TEST_F(OpenSpool, StartUpFaultsNameTheOptionAndWhy) {
  const std::string& root = dir_;
  fs::create_directory(root + "/dir");
  std::ofstream(root + "/file") << "x";
  std::unique_ptr<Spool> holder;  // a running bridge's hold on root/held
  fs::create_directory(root + "/held");
  ASSERT_TRUE(Spool::open(root + "/held", spool_options(kSpoolDefaultMaxBytes), holder).ok());
  const std::optional<std::string> none;
  const std::string not_a_size =
      "--spool-max-bytes: not a size of at least 64k (digits, then k or M for KiB or MiB)";
  const struct {
    std::optional<std::string> dir;  // unset: the option not given
    std::optional<std::string> max_bytes;
    std::string fault;  // empty: opened (or no spool at all)
  } cases[] = {
      {root + "/dir", none, ""},
      {root + "/dir", "128k", ""},
      {none, none, ""},
      {root + "/missing", none,
       "--spool: cannot open the spool directory " + root + "/missing: No such file or directory"},
      {root + "/file", none,
       "--spool: cannot open the spool directory " + root + "/file: Not a directory"},
      {root + "/held", none,
       "--spool: the spool directory is in use by another process, lock held on " + root +
           "/held"},
      {std::string(), none, "--spool: the directory name is empty"},
      {root + "/dir", "10", not_a_size},
      {root + "/dir", std::string(), not_a_size},  // an empty value is no default
      {none, "1M", "--spool-max-bytes: it needs --spool"},
  };
  for (const auto& c : cases) {
    Settings settings;
    settings.spool_dir = c.dir;
    settings.spool_max_bytes = c.max_bytes;
    std::unique_ptr<Spool> spool;
    const std::optional<std::string> fault = open_spool(settings, spool);
    const std::string label = c.dir.value_or("(none)") + " " + c.max_bytes.value_or("(none)");
    EXPECT_EQ(fault.value_or(""), c.fault) << label;
    EXPECT_EQ(spool != nullptr, c.fault.empty() && c.dir.has_value()) << label;
  }
}

TEST(SpoolSize, SegmentsAreASixteenthOfTheBoundWithinLimits) {
  EXPECT_EQ(spool_options(std::uint64_t{64} << 20).segment_bytes, std::uint64_t{1} << 20);
  EXPECT_EQ(spool_options(std::uint64_t{1} << 30).segment_bytes, std::uint64_t{1} << 20);
  EXPECT_EQ(spool_options(std::uint64_t{4} << 20).segment_bytes, std::uint64_t{256} << 10);
  EXPECT_EQ(spool_options(std::uint64_t{64} << 10).segment_bytes, std::uint64_t{4} << 10);
}

}  // namespace

namespace {

TEST_F(SpoolQueueTest, RemovedDirectoryMeansMemoryUntilTheNextStartWithoutFlapping) {
  auto bridge = start();
  for (int i = 0; i < 5; ++i) bridge->accept(record(i));
  fs::remove_all(dir_);
  bridge->tick(bridge->now);  // the sync finds the directory gone
  EXPECT_EQ(bridge->events.unusable, "cannot sync " + dir_ + ": No such file or directory");
  for (int round = 0; round < 3; ++round) {
    bridge->now += SpoolQueue::kRetryInterval;
    for (int i = 5 + 10 * round; i < 15 + 10 * round; ++i) bridge->accept(record(i));
    bridge->tick(bridge->now + SpoolQueue::kSyncInterval);
  }
  EXPECT_FALSE(bridge->events.usable_again);
  EXPECT_FALSE(bridge->queue->usable());
  bridge->deliver_all();
  EXPECT_EQ(bridge->delivered, range(0, 35));  // the first five were in memory already
}

}  // namespace
