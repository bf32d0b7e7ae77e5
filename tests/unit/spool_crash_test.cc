// What a power cut leaves of the spool, explored rather than guessed: the
// spool runs through a realistic life on the fake file system (records
// accepted, synced, delivered and acknowledged, segments rotated, the bound
// reached, a full disk and its recovery, restarts, a lowered bound), and at
// every file-system call that changes something, every state a power cut
// could leave there is reopened and read back and checked. Then the same
// fake fails calls one by one, as table rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "fake_file_system.h"
#include "writer/spool_files.h"

namespace {

using Contents = FakeFileSystem::Contents;

std::string record(std::size_t id) {
  return "temp,host=node-17,mqtt=\"v1/r\" value=" + std::to_string(id) + " " +
         std::to_string(1700000000000 + id);
}

// The id of a record() text, or SIZE_MAX for anything else.
std::size_t id_of(std::string_view text) {
  const std::size_t value = text.find("value=");
  const std::size_t space = text.rfind(' ');
  if (value == std::string_view::npos || space == std::string_view::npos || space < value) {
    return SIZE_MAX;
  }
  const std::size_t id = std::stoul(std::string(text.substr(value + 6, space - value - 6)));
  return record(id) == text ? id : SIZE_MAX;
}

SpoolOptions options(std::uint64_t max_bytes = 2048) { return {max_bytes, 256}; }

// What the spool was told, as of the last call that returned, and the power
// cut states collected during the call under way.
class Explorer {
 public:
  Explorer() { fs_.after_change = [this](FakeFileSystem::Call, const std::string&) { cut_here(); }; }

  std::size_t states() const { return states_; }
  FakeFileSystem& fs() { return fs_; }
  Spool& spool() { return *spool_; }

  void open(const SpoolOptions& with = options()) {
    call([&] {
      spool_.reset();
      const SpoolStatus status = Spool::open("/spool", with, spool_, fs_);
      ASSERT_TRUE(status.ok()) << status.text;
    });
    options_ = with;
  }
  // The process killed: files stay as they are, nothing synced.
  void kill() { spool_.reset(); }

  // Accepts the next record; true when the spool took it.
  bool accept() {
    const std::size_t id = accepted_++;
    SpoolAppend appended;
    SpoolStatus status;
    call([&] { status = spool_->append(record(id), &appended); });
    if (status.ok()) at_[id] = appended.at;
    return status.ok();
  }
  void sync() {
    SpoolStatus status;
    call([&] { status = spool_->sync(); });
    ASSERT_TRUE(status.ok()) << status.text;
    for (const auto& [id, at] : at_) {
      if (at >= spool_->acknowledged()) synced_.insert(id);
    }
    durable_acked_ = spool_->acknowledged();
  }
  // Delivers `count` records in order (the reader's), and acknowledges them.
  void deliver(std::size_t count, bool release = false) {
    SpoolEntry entry;
    std::uint64_t upto = spool_->acknowledged();
    for (std::size_t i = 0; i < count && spool_->next(entry); ++i) upto = entry.after;
    delivered_ = std::max(delivered_, upto);
    call([&] { ASSERT_TRUE(spool_->acknowledge(upto, release).ok()); });
  }

 private:
  // Runs one call of the spool, then checks the states cut during it.
  template <typename Call>
  void call(Call&& body) {
    cuts_.clear();
    in_call_ = true;
    body();
    in_call_ = false;
    // Records the bound dropped count as done, like delivered ones.
    if (spool_ != nullptr) delivered_ = std::max(delivered_, spool_->acknowledged());
    for (const Contents& state : cuts_) check(state);
    cuts_.clear();
  }

  // Collects the states not seen before (most calls leave many alike).
  void cut_here() {
    if (!in_call_) return;
    for (Contents& state : fs_.power_cut_states()) {
      std::string key;
      for (const auto& [name, bytes] : state) key.append(name).append(1, '\0').append(bytes).append(1, '\0');
      if (seen_.insert(std::hash<std::string>()(key)).second) cuts_.push_back(std::move(state));
    }
  }

  void check(const Contents& state) {
    ++states_;
    FakeFileSystem after(state);
    std::unique_ptr<Spool> reopened;
    const SpoolStatus status = Spool::open("/spool", options_, reopened, after);
    ASSERT_TRUE(status.ok()) << status.text;
    std::vector<std::size_t> read;
    SpoolEntry entry;
    while (reopened->next(entry)) {
      const std::size_t id = id_of(entry.record);
      // Nothing that was never accepted, and no fragment of a record.
      ASSERT_LT(id, accepted_) << "read back: " << entry.record;
      // One run's records keep their order (and runs follow each other).
      ASSERT_TRUE(read.empty() || read.back() < id) << id << " after " << read.back();
      read.push_back(id);
      const auto at = at_.find(id);
      // Sent again only when delivered after the last sync.
      if (at != at_.end()) {
        ASSERT_GE(at->second, durable_acked_) << "record " << id << " was acknowledged and synced";
      }
    }
    // Every record synced and not yet delivered (nor dropped at the bound) is there.
    for (const std::size_t id : synced_) {
      if (at_.at(id) < delivered_) continue;
      ASSERT_TRUE(std::binary_search(read.begin(), read.end(), id))
          << "record " << id << " was synced, is not delivered and is lost";
    }
    // The reopened spool takes records again.
    ASSERT_TRUE(reopened->append(record(accepted_)).ok());
  }

  FakeFileSystem fs_;
  std::unique_ptr<Spool> spool_;
  SpoolOptions options_ = options();
  std::size_t accepted_ = 0;
  std::map<std::size_t, std::uint64_t> at_;  // id -> position, of records the spool took
  std::set<std::size_t> synced_;
  std::uint64_t delivered_ = 0;              // positions before it are done
  std::uint64_t durable_acked_ = 0;
  bool in_call_ = false;
  std::vector<Contents> cuts_;
  std::unordered_set<std::size_t> seen_;
  std::size_t states_ = 0;
};

TEST(SpoolCrashStates, EveryPowerCutKeepsWhatWasSyncedAndNothingElse) {
  Explorer e;
  e.open();
  // Steady delivery: a few records, a sync, delivered.
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(e.accept());
    e.sync();
    e.deliver(2);  // one left behind each round: segments partly delivered
  }
  e.sync();
  // An outage: records pile up past the bound, older segments dropped.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(e.accept());
    if (i % 10 == 9) e.sync();
  }
  // The database is back: the backlog drains.
  e.deliver(20);
  e.sync();
  // Killed with records not yet synced, restarted; more arrive and go out.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(e.accept());
  e.kill();
  e.open();
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(e.accept());
    e.sync();
  }
  e.deliver(100);
  e.sync();
  // The disk fills: the spool refuses, drains, and takes records again.
  e.fs().capacity = 600;
  int refused = 0;
  for (int i = 0; i < 20; ++i) refused += e.accept() ? 0 : 1;
  ASSERT_GT(refused, 0);
  e.deliver(100);
  e.sync();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(e.accept()) << "the drained spool's space came back";
  e.sync();
  e.fs().capacity = SIZE_MAX;
  // An orderly stop with everything delivered, a restart with a lowered bound
  // over a backlog.
  e.deliver(100, true);
  e.sync();
  e.open();
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(e.accept());
  e.sync();
  e.kill();
  e.open(options(1024));
  e.deliver(5);
  e.sync();
  std::printf("[ explored ] %zu power-cut states\n", e.states());
  EXPECT_GT(e.states(), 1000u);
}

}  // namespace

namespace {

// A failed sync is never forgotten: the system may have dropped what it
// covered, so a later sync that succeeds proves nothing. The records are
// written again, and those copies survive the power cut.
TEST(SpoolSyncFailure, RecordsAFailedSyncCoveredAreWrittenAgainAndSurviveAPowerCut) {
  for (const bool rewrite : {false, true}) {
    SCOPED_TRACE(rewrite ? "written again" : "not written again");
    FakeFileSystem fs;
    std::unique_ptr<Spool> spool;
    ASSERT_TRUE(Spool::open("/spool", options(1 << 20), spool, fs).ok());
    for (std::size_t id = 0; id < 6; ++id) ASSERT_TRUE(spool->append(record(id)).ok());
    fs.fault = [](FakeFileSystem::Call call, const std::string& name) {
      return call == FakeFileSystem::Call::kSync && name.rfind("spool-", 0) == 0 ? EIO : 0;
    };
    EXPECT_EQ(spool->sync().error, EIO);
    EXPECT_TRUE(spool->sync_failed());
    fs.fault = nullptr;
    std::uint64_t copied = 0;
    if (rewrite) {
      ASSERT_TRUE(spool->rewrite_unsynced(copied).ok());
      EXPECT_FALSE(spool->sync_failed());
    }
    EXPECT_EQ(copied, rewrite ? 6u : 0u);
    ASSERT_TRUE(spool->sync().ok());
    // The power cut: only what is durable is left.
    FakeFileSystem after(fs.power_cut_states().front());
    std::unique_ptr<Spool> reopened;
    ASSERT_TRUE(Spool::open("/spool", options(1 << 20), reopened, after).ok());
    std::set<std::size_t> found;
    SpoolEntry entry;
    while (reopened->next(entry)) found.insert(id_of(entry.record));
    EXPECT_EQ(found.size(), rewrite ? 6u : 0u);
  }
}

}  // namespace
