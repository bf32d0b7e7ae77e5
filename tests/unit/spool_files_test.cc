#include "writer/spool_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "file_size_limit.h"

namespace {

namespace fs = std::filesystem;

// Small segments, so that a few records make several.
SpoolOptions small(std::uint64_t max_bytes = 64 << 10) { return {max_bytes, 256}; }

// "r<i>,host=node-17 value=<i> 17000000000<i>": 36 to 39 bytes, 48 to 51
// with the frame, so that a segment of 256 bytes holds 5 of them.
std::string record(int i) {
  const std::string n = std::to_string(i);
  return "r" + n + ",host=node-17 value=" + n + " 17000000000" + n;
}

struct Read {
  std::string record;
  std::uint64_t at;
  std::uint64_t after;
};

class SpoolTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/spool-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
    dir_ = root_ + "/spool";
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, ignored);
    fs::remove_all(root_, ignored);
  }

  std::unique_ptr<Spool> open(const SpoolOptions& options = small()) {
    std::unique_ptr<Spool> spool;
    const SpoolStatus status = Spool::open(dir_, options, spool);
    EXPECT_TRUE(status.ok()) << status.text;
    return spool;
  }

  // Appends record(first) .. record(last - 1), one append each; their positions.
  static std::vector<SpoolAppend> append(Spool& spool, int first, int last) {
    std::vector<SpoolAppend> appended;
    for (int i = first; i < last; ++i) {
      SpoolAppend result;
      const SpoolStatus status = spool.append(record(i), &result);
      EXPECT_TRUE(status.ok()) << status.text;
      appended.push_back(result);
    }
    return appended;
  }

  static std::vector<Read> read_all(Spool& spool) {
    std::vector<Read> reads;
    SpoolEntry entry;
    SpoolStatus failure;
    while (spool.next(entry, &failure)) {
      reads.push_back({std::string(entry.record), entry.at, entry.after});
    }
    EXPECT_TRUE(failure.ok()) << failure.text;
    return reads;
  }

  static std::vector<std::string> records(const std::vector<Read>& reads) {
    std::vector<std::string> out;
    for (const Read& read : reads) out.push_back(read.record);
    return out;
  }

  static std::vector<std::string> range(int first, int last) {
    std::vector<std::string> out;
    for (int i = first; i < last; ++i) out.push_back(record(i));
    return out;
  }

  std::vector<std::string> segment_files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename();
      if (name.rfind("spool-", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string root_;
  std::string dir_;
};

TEST_F(SpoolTest, RecordsReadBackInOrderAcrossSegmentsAtTheirPositions) {
  auto spool = open();
  const std::vector<SpoolAppend> appended = append(*spool, 0, 40);
  EXPECT_GE(segment_files().size(), 8u);
  const std::vector<Read> reads = read_all(*spool);
  ASSERT_EQ(records(reads), range(0, 40));
  for (std::size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].at, appended[i].at) << i;
    EXPECT_EQ(reads[i].after, appended[i].after) << i;
    EXPECT_EQ(reads[i].after - reads[i].at, kFrameHeaderBytes + record(static_cast<int>(i)).size());
  }
  EXPECT_EQ(spool->end(), appended.back().after);
  EXPECT_EQ(spool->stats().skipped_bytes, 0u);
}

TEST_F(SpoolTest, BatchIsWrittenWholeAndReadAsItsRecords) {
  auto spool = open();
  const std::vector<std::string> batch = {record(1), "", record(2)};
  SpoolAppend appended;
  ASSERT_TRUE(
      spool->append(std::vector<std::string_view>(batch.begin(), batch.end()), &appended).ok());
  const std::vector<Read> reads = read_all(*spool);
  EXPECT_EQ(records(reads), batch);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads.front().at, appended.at);
  EXPECT_EQ(reads.back().after, appended.after);
  EXPECT_EQ(fs::file_size(dir_ + "/" + segment_files().back()), appended.after - appended.at);
}

TEST_F(SpoolTest, ReaderFollowsAppendsAtTheEnd) {
  auto spool = open();
  SpoolEntry entry;
  EXPECT_FALSE(spool->next(entry));
  for (int i = 0; i < 30; ++i) {
    append(*spool, i, i + 1);
    ASSERT_TRUE(spool->next(entry)) << i;
    EXPECT_EQ(entry.record, record(i));
    EXPECT_FALSE(spool->next(entry));
  }
}

TEST_F(SpoolTest, RefusedRecordsStoreNothing) {
  auto spool = open();
  append(*spool, 0, 1);
  const std::string too_long(kMaxRecordBytes + 1, 'x');
  const struct {
    const char* name;
    std::vector<std::string_view> batch;
  } cases[] = {
      {"a line feed", {"a v=1 1\nb v=2 2"}},
      {"too long", {too_long}},
      {"one bad record in a batch", {"fine v=1 1", "bad v=1 1\n", "fine v=2 2"}},
  };
  for (const auto& c : cases) {
    const std::uint64_t end = spool->end();
    const SpoolStatus status = spool->append(c.batch);
    EXPECT_EQ(status.error, EINVAL) << c.name;
    EXPECT_NE(status.text.find("record not spooled"), std::string::npos) << status.text;
    EXPECT_EQ(spool->end(), end) << c.name;
  }
  EXPECT_EQ(records(read_all(*spool)), range(0, 1));
}

TEST_F(SpoolTest, AcknowledgedSegmentsAreRemovedAndNotReadAgain) {
  auto spool = open();
  const std::vector<SpoolAppend> appended = append(*spool, 0, 40);
  const std::vector<std::string> before = segment_files();
  ASSERT_EQ(records(read_all(*spool)), range(0, 40));
  ASSERT_TRUE(spool->acknowledge(appended[20].at).ok());
  EXPECT_EQ(spool->acknowledged(), appended[20].at);
  const std::vector<std::string> after = segment_files();
  EXPECT_LT(after.size(), before.size());
  EXPECT_TRUE(
      std::equal(after.begin(), after.end(), before.end() - after.size()));  // the newest stay
  EXPECT_LE(spool->stats().bytes, spool->end() - appended[20].at + 256);
  spool->seek(0);  // never before the acknowledged position
  EXPECT_EQ(records(read_all(*spool)), range(20, 40));
  // Everything acknowledged: the segment being written goes too (it holds
  // more than a quarter segment), and the next record starts another.
  ASSERT_TRUE(spool->acknowledge(spool->end()).ok());
  EXPECT_EQ(segment_files().size(), 0u);
  append(*spool, 40, 41);
  EXPECT_EQ(records(read_all(*spool)), range(40, 41));
}

TEST_F(SpoolTest, AcknowledgementNeverPassesTheEnd) {
  auto spool = open();
  append(*spool, 0, 3);
  ASSERT_TRUE(spool->acknowledge(spool->end() + 1000).ok());
  EXPECT_EQ(spool->acknowledged(), spool->end());
  append(*spool, 3, 5);
  EXPECT_EQ(records(read_all(*spool)), range(3, 5));
}

TEST_F(SpoolTest, NewRecordsAfterARestartWithEverythingAcknowledgedAreRead) {
  {
    auto spool = open();
    append(*spool, 0, 12);
    ASSERT_TRUE(spool->acknowledge(spool->end()).ok());
  }
  auto spool = open();
  EXPECT_EQ(segment_files().size(), 0u);  // nothing to deliver, nothing kept
  EXPECT_EQ(records(read_all(*spool)), range(0, 0));
  append(*spool, 12, 14);
  EXPECT_EQ(records(read_all(*spool)), range(12, 14));
}

TEST_F(SpoolTest, SeekReadsAgainFromAPosition) {
  auto spool = open();
  const std::vector<SpoolAppend> appended = append(*spool, 0, 20);
  ASSERT_EQ(records(read_all(*spool)), range(0, 20));
  spool->seek(appended[7].at);
  EXPECT_EQ(records(read_all(*spool)), range(7, 20));
}

TEST_F(SpoolTest, RestartResumesAtTheAcknowledgedPosition) {
  // A record held aside is acknowledged later than those after it: the
  // caller acknowledges up to its position, and a restart brings it again
  // together with everything after it.
  std::uint64_t held;
  {
    auto spool = open();
    const std::vector<SpoolAppend> appended = append(*spool, 0, 30);
    held = appended[12].at;
    ASSERT_EQ(records(read_all(*spool)), range(0, 30));
    ASSERT_TRUE(spool->acknowledge(held).ok());
    ASSERT_TRUE(spool->sync().ok());
  }
  auto spool = open();
  const std::vector<Read> reads = read_all(*spool);
  EXPECT_EQ(records(reads), range(12, 30));
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.front().at, held);
  EXPECT_EQ(spool->acknowledged(), held);
  append(*spool, 30, 32);
  EXPECT_EQ(records(read_all(*spool)), range(30, 32));
  spool->seek(held);
  EXPECT_EQ(records(read_all(*spool)), range(12, 32));
  EXPECT_EQ(spool->stats().skipped_bytes, 0u);
}

TEST_F(SpoolTest, DamagedAcknowledgementFileMeansReadingEverythingAgain) {
  const struct {
    const char* name;
    void (*damage)(const std::string& path);
  } cases[] = {
      {"removed", [](const std::string& path) { fs::remove(path); }},
      {"cut short", [](const std::string& path) { fs::resize_file(path, 11); }},
      {"a flipped bit",
       [](const std::string& path) {
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(3);
         file.put('\x40');
       }},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    {
      auto spool = open(SpoolOptions{});  // one segment
      const std::vector<SpoolAppend> appended = append(*spool, 0, 10);
      ASSERT_TRUE(spool->acknowledge(appended[4].at).ok());
    }  // the destructor writes the position too, unsynced
    {
      auto spool = open(SpoolOptions{});
      EXPECT_EQ(records(read_all(*spool)), range(4, 10)) << c.name << ": before the damage";
    }
    c.damage(dir_ + "/acked");
    auto spool = open(SpoolOptions{});
    EXPECT_EQ(records(read_all(*spool)), range(0, 10)) << c.name;
  }
}

TEST_F(SpoolTest, TornTailOfTheRunBeforeIsSkipped) {
  {
    auto spool = open(small(1 << 20));
    append(*spool, 0, 3);
  }
  const std::string last = dir_ + "/" + segment_files().back();
  std::string torn;
  encode_frame(record(3), torn);
  torn.resize(torn.size() / 2);
  std::ofstream(last, std::ios::app | std::ios::binary) << torn;

  auto spool = open(small(1 << 20));
  append(*spool, 4, 6);
  EXPECT_EQ(records(read_all(*spool)),
            (std::vector<std::string>{record(0), record(1), record(2), record(4), record(5)}));
  EXPECT_EQ(spool->stats().skipped_bytes, torn.size());
  EXPECT_EQ(spool->stats().damaged_stretches, 1u);
  EXPECT_EQ(segment_files().size(), 2u);
}

TEST_F(SpoolTest, FlippedByteInAClosedSegmentCostsOneRecord) {
  {
    auto spool = open();
    append(*spool, 0, 20);
  }
  const std::string first = dir_ + "/" + segment_files().front();
  {
    std::fstream file(first, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(60);  // inside the second frame, bytes 48 to 95
    const char byte = static_cast<char>(file.get());
    file.seekp(60);
    file.put(static_cast<char>(byte ^ 0x20));
  }
  auto spool = open();
  std::vector<std::string> expected = range(0, 20);
  expected.erase(expected.begin() + 1);
  EXPECT_EQ(records(read_all(*spool)), expected);
  EXPECT_EQ(spool->stats().skipped_bytes, kFrameHeaderBytes + record(1).size());
  EXPECT_EQ(spool->stats().damaged_stretches, 1u);
}

TEST_F(SpoolTest, BoundDropsTheOldestSegmentsAndCountsTheirRecords) {
  auto spool = open(small(1024));
  std::vector<SpoolAppend> appended = append(*spool, 0, 3);
  // Two delivered already: they do not count as dropped.
  ASSERT_TRUE(spool->acknowledge(appended[2].at).ok());
  std::uint64_t dropped = 0;
  for (const SpoolAppend& a : append(*spool, 3, 100)) {
    dropped += a.dropped_records;
  }
  EXPECT_LE(spool->stats().bytes, 1024u);
  EXPECT_GE(spool->stats().bytes, 1024u - 256u - 60u);
  const std::vector<std::string> left = records(read_all(*spool));
  ASSERT_FALSE(left.empty());
  // The newest records stay, without a gap.
  EXPECT_EQ(left, range(100 - static_cast<int>(left.size()), 100));
  EXPECT_EQ(dropped, 98 - left.size());
  EXPECT_EQ(spool->stats().dropped_records, dropped);
}

TEST_F(SpoolTest, BoundCountsTheRecordsOfSegmentsFromTheRunBefore) {
  {
    auto spool = open(small(1 << 20));
    const std::vector<SpoolAppend> appended = append(*spool, 0, 60);
    ASSERT_TRUE(spool->acknowledge(appended[1].at).ok());  // one delivered
  }
  auto spool = open(small(1024));
  const std::vector<std::string> left = records(read_all(*spool));
  ASSERT_FALSE(left.empty());
  EXPECT_EQ(left, range(60 - static_cast<int>(left.size()), 60));
  EXPECT_EQ(spool->stats().dropped_records, 59 - left.size());
  EXPECT_LE(spool->stats().bytes, 1024u);
}

TEST_F(SpoolTest, ReaderInsideADroppedSegmentGoesOnWithTheOldestLeft) {
  auto spool = open(small(1024));
  append(*spool, 0, 10);
  SpoolEntry entry;
  ASSERT_TRUE(spool->next(entry));
  EXPECT_EQ(entry.record, record(0));
  std::uint64_t dropped = 0;
  std::uint64_t unread = 0;
  for (const SpoolAppend& a : append(*spool, 10, 60)) {
    dropped += a.dropped_records;
    unread += a.dropped_unread;
  }
  const std::vector<std::string> left = records(read_all(*spool));
  EXPECT_EQ(left, range(60 - static_cast<int>(left.size()), 60));
  // Record 0 was read (the caller holds it); the others dropped were not.
  EXPECT_EQ(dropped, 60 - left.size());
  EXPECT_EQ(unread, dropped - 1);
}

TEST_F(SpoolTest, SegmentsFoundAtOpenAreCountedAndSyncingAfterThemWorks) {
  {
    auto spool = open();
    const std::vector<SpoolAppend> appended = append(*spool, 0, 20);
    ASSERT_TRUE(spool->acknowledge(appended[3].at).ok());
    ASSERT_TRUE(spool->sync().ok());
  }
  auto spool = open();
  EXPECT_EQ(spool->count_records(), 17u);
  append(*spool, 20, 40);  // starts new segments after those found
  const SpoolStatus synced = spool->sync();
  EXPECT_TRUE(synced.ok()) << synced.text;
  EXPECT_EQ(spool->count_records(), 37u);
  EXPECT_EQ(records(read_all(*spool)), range(3, 40));
}

TEST_F(SpoolTest, SecondOpenerIsRefusedUntilTheFirstCloses) {
  auto first = open();
  std::unique_ptr<Spool> second;
  const SpoolStatus refused = Spool::open(dir_, small(), second);
  EXPECT_EQ(refused.error, EWOULDBLOCK);
  EXPECT_EQ(refused.text,
            "the spool directory is in use by another process, lock held on " + dir_);
  EXPECT_EQ(second, nullptr);
  first.reset();
  EXPECT_TRUE(Spool::open(dir_, small(), second).ok());
}

// Opens `dir`, as a user without rights to it when run as root (root may
// write anywhere): the effective user and group are nobody's meanwhile.
SpoolStatus open_unprivileged(const std::string& dir) {
  const bool root = geteuid() == 0;
  if (root && (setegid(65534) != 0 || seteuid(65534) != 0)) return {errno, "cannot become nobody"};
  std::unique_ptr<Spool> spool;
  const SpoolStatus status = Spool::open(dir, small(), spool);
  spool.reset();
  if (root && (seteuid(0) != 0 || setegid(0) != 0)) std::abort();  // the other tests need root back
  return status;
}

TEST_F(SpoolTest, UnusableDirectoryIsRefusedWithTheReason) {
  const std::string file = root_ + "/a-file";
  std::ofstream(file) << "x";
  const std::string read_only = root_ + "/read-only";
  ASSERT_EQ(mkdir(read_only.c_str(), 0555), 0);
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // the unprivileged user may look inside

  const struct {
    std::string dir;
    int error;
    std::string text;
  } cases[] = {
      {root_ + "/missing", ENOENT,
       "cannot open the spool directory " + root_ + "/missing: No such file or directory"},
      {file, ENOTDIR, "cannot open the spool directory " + file + ": Not a directory"},
      {read_only, EACCES, "cannot create " + read_only + "/acked: Permission denied"},
  };
  for (const auto& c : cases) {
    const SpoolStatus status = open_unprivileged(c.dir);
    EXPECT_EQ(status.error, c.error) << c.dir;
    EXPECT_EQ(status.text, c.text);
  }
}

TEST_F(SpoolTest, FailedWriteIsCutBackToTheLastWholeFrame) {
  auto spool = open(small(1 << 20));
  append(*spool, 0, 2);
  const std::string segment = dir_ + "/" + segment_files().back();
  const std::uint64_t size = fs::file_size(segment);
  SpoolStatus status;
  {
    const FileSizeLimit limit(size + 20);  // half way into the next frame
    status = spool->append(record(2));
  }
  EXPECT_EQ(status.error, EFBIG);
  EXPECT_EQ(status.text, "cannot write " + segment + ": File too large");
  EXPECT_EQ(fs::file_size(segment), size);
  append(*spool, 3, 5);
  const std::vector<std::string> expected = {record(0), record(1), record(3), record(4)};
  EXPECT_EQ(records(read_all(*spool)), expected);
  EXPECT_EQ(spool->stats().skipped_bytes, 0u);
  spool.reset();
  spool = open(small(1 << 20));
  EXPECT_EQ(records(read_all(*spool)), expected);
  EXPECT_EQ(spool->stats().skipped_bytes, 0u);
}

TEST_F(SpoolTest, RemovedDirectoryIsReportedBySyncAndByTheNextSegment) {
  auto spool = open();
  append(*spool, 0, 2);
  ASSERT_TRUE(spool->sync().ok());
  fs::remove_all(dir_);
  const SpoolStatus synced = spool->sync();
  EXPECT_EQ(synced.error, ENOENT);
  EXPECT_EQ(synced.text, "cannot sync " + dir_ + ": No such file or directory");
  SpoolStatus status;
  for (int i = 2; i < 20 && status.ok(); ++i) status = spool->append(record(i));
  EXPECT_EQ(status.error, ENOENT);
  EXPECT_EQ(status.text.rfind("cannot create " + dir_ + "/spool-", 0), 0u) << status.text;
}

}  // namespace

namespace {

// The directory's surprises, one row each: what the spool must make of them.
TEST_F(SpoolTest, TheDirectoryIsTheSpoolsOwnWhateverItHolds) {
  const struct {
    const char* name;
    std::function<void()> run;
  } cases[] = {
      {"a bound lowered below the segments of the run before: the newest kept, the rest counted",
       [this] {
         {
           auto spool = open({1 << 20, 4096});  // 40 records in one segment
           append(*spool, 0, 40);
         }
         auto spool = open(small(1024));
         const std::vector<std::string> left = records(read_all(*spool));
         ASSERT_GE(left.size(), 15u);
         EXPECT_EQ(left, range(40 - static_cast<int>(left.size()), 40));
         EXPECT_EQ(spool->stats().dropped_records, 40 - left.size());
       }},
      {"a file longer than any segment: removed unread, as damage", [this] {
         const std::string huge = dir_ + "/spool-0000000000000000.seg";
         std::ofstream(huge).close();
         ASSERT_EQ(truncate(huge.c_str(), std::int64_t{8} << 30), 0);  // sparse
         auto spool = open();
         EXPECT_FALSE(fs::exists(huge));
         EXPECT_EQ(spool->stats().skipped_bytes, std::uint64_t{8} << 30);
         append(*spool, 0, 2);
         EXPECT_EQ(records(read_all(*spool)), range(0, 2));
       }},
      {"a record larger than a segment: refused, the others stay", [this] {
         auto spool = open(small(1024));
         append(*spool, 0, 10);
         const SpoolStatus status = spool->append(std::string(300, 'x'));
         EXPECT_EQ(status.error, E2BIG);
         EXPECT_EQ(status.text, "record kept in memory, not spooled: larger than a spool segment of 256 bytes");
         EXPECT_EQ(records(read_all(*spool)), range(0, 10));
       }},
      {"an acked that is a link: replaced, its target untouched", [this] {
         const std::string target = root_ + "/elsewhere";
         std::ofstream(target) << "precious";
         fs::create_symlink(target, dir_ + "/acked");
         auto spool = open();
         append(*spool, 0, 3);
         ASSERT_TRUE(spool->acknowledge(spool->end()).ok());
         ASSERT_TRUE(spool->sync().ok());
         std::string kept;
         std::getline(std::ifstream(target), kept);
         EXPECT_EQ(kept, "precious");
         EXPECT_FALSE(fs::is_symlink(dir_ + "/acked"));
       }},
      {"every file removed under a running spool: the lock holds", [this] {
         auto first = open();
         append(*first, 0, 3);
         for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
         std::unique_ptr<Spool> second;
         EXPECT_EQ(Spool::open(dir_, small(), second).error, EWOULDBLOCK);
       }},
      {"a wholly damaged segment: removed once passed", [this] {
         const std::string damaged = dir_ + "/spool-0000000000000000.seg";
         std::ofstream(damaged) << std::string(200, 'z');
         auto spool = open();
         append(*spool, 0, 2);
         EXPECT_EQ(records(read_all(*spool)), range(0, 2));
         ASSERT_TRUE(spool->acknowledge(spool->read_position()).ok());
         EXPECT_FALSE(fs::exists(damaged));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.run();
  }
}

}  // namespace
