// With --spool, the spool is the queue: every accepted record is appended to
// the spool, and each body is read from it by position when a transfer
// opens. How far delivery has got is one position, the cursor: everything
// before it has been answered for, except a record held aside, which keeps
// its own position. The spool is told the older of the two as acknowledged,
// and lets go of everything before it.
//
// So memory holds one body whatever the spool holds, and a killed bridge finds
// every record it had not delivered in the spool at its next start.
//
// Memory holds only what the spool could not take: while it cannot be
// written (no space, an I/O error, the directory gone or read-only) records
// queue in a MemoryQueue under a cap of their own (the pending cap), which
// never drops a record that is safe on disk; a record larger than a segment
// queues there too. The spool is tried again every kRetryInterval, with the
// next record (a removed directory is not: it stays removed for this
// process). Records in memory go out after the spooled records that came
// before them, and before those that came after.
//
// Not thread-safe; the writer calls it with its mutex held. No clock of its
// own: the time is passed in.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_SPOOL_QUEUE_H_
#define MQTT_INFLUX_BRIDGE_WRITER_SPOOL_QUEUE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "writer/memory_queue.h"
#include "writer/record_queue.h"
#include "writer/spool_files.h"

// What happened to the spool since the writer last asked, for the report to
// put into words.
struct SpoolEvents {
  std::size_t dropped = 0;          // records gone for good at the spool's bound
  std::string unusable;             // not empty: the spool just became unusable, and why
  bool usable_again = false;        // records go to the spool again
  std::uint64_t skipped_bytes = 0;  // damage passed over while reading
  std::string too_large;            // not empty: a record kept in memory only, and why
  bool any() const {
    return dropped > 0 || !unusable.empty() || usable_again || skipped_bytes > 0 ||
           !too_large.empty();
  }
};

class SpoolQueue final : public RecordQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // A power cut loses at most the records of the last second.
  static constexpr std::chrono::seconds kSyncInterval{1};
  static constexpr std::chrono::seconds kRetryInterval{5};

  // Runs a sync job and hands back its outcome. The default runs it on a
  // thread of its own: a sync may take seconds on an SD card, and meanwhile
  // the main loop must go on reading messages and acknowledging them.
  using SyncRunner = std::function<std::future<SpoolStatus>(SpoolSyncJob)>;
  static SyncRunner background_sync();
  // Runs it at once, on the caller's thread (tests).
  static SyncRunner inline_sync();

  // Takes an open spool and counts what it holds (reads it once).
  // `precision`: the run's (-p), for records that carry none.
  explicit SpoolQueue(std::unique_ptr<Spool> spool, std::string precision = "ms",
                      std::size_t memory_cap_bytes = kPendingCapBytes,
                      std::size_t max_body_bytes = kMaxBodyBytes,
                      SyncRunner run_sync = background_sync());
  SpoolQueue(const SpoolQueue&) = delete;
  SpoolQueue& operator=(const SpoolQueue&) = delete;

  std::uint64_t records_found() const { return found_; }

  // The time for what follows: retries and syncs are timed by it. The
  // writer sets it before each call.
  void set_now(Clock::time_point now) { now_ = now; }
  // What happened since the last call, cleared.
  SpoolEvents take_events();

  // Into the spool, or into memory only while the spool is unusable. Returns
  // the records memory's cap dropped for it (the spool's bound is an event).
  std::size_t append(std::string_view record) override;

  void set_record_limit(std::size_t records) override { record_limit_ = records; }
  std::size_t begin_transfer() override;
  std::size_t begin_held_transfer() override;
  std::size_t read(char* buffer, std::size_t room) override;
  void rewind() override;
  std::size_t end_transfer(bool answered) override;
  void end_transfer_holding_aside() override;

  bool transfer_open() const override { return body_ != Body::kNone; }
  bool body_is_held() const override;
  bool holds_aside() const override { return held_at_ != kNone || memory_.holds_aside(); }
  std::size_t body_record_count() const override;
  std::size_t queued_records() const override;
  std::size_t queued_bytes() const override;
  std::size_t record_count() const override;

  // The precision of the open body's records: records made with another
  // precision (by an earlier run) go out in bodies of their own.
  const std::string& body_precision() const { return body_precision_; }

  // Takes the outcome of a sync that ended; starts one when one is due (see
  // next_sync()); after a read failure, lets the next body try again.
  void tick();
  // When tick() has a sync to make; Clock::time_point::max() when none.
  Clock::time_point next_sync() const;
  // An orderly stop: what is done is acknowledged, all is synced (after the
  // sync under way, on this thread).
  void stop();

  // Records pending that only memory holds.
  std::size_t memory_only_records() const { return memory_.record_count(); }
  bool usable() const { return usable_; }
  const Spool& spool() const { return *spool_; }

 private:
  static constexpr std::uint64_t kNone = UINT64_MAX;
  enum class Body { kNone, kSpool, kSpoolHeld, kMemory };

  // Reads the records from `from` on into body_text_, up to the limits and
  // up to `stop` (exclusive); returns how many.
  std::size_t read_body(std::uint64_t from, std::uint64_t stop, std::size_t most);
  // The spool's bound let go of everything before acknowledged(): the cursor,
  // the held record and the open body follow.
  void follow_floor(std::uint64_t dropped_records);
  void keep_in_memory(std::string_view record);
  void acknowledge(bool release = false);
  void start_sync();
  // Takes the running sync's outcome when it has one (`wait`: waits for it).
  void collect_sync(bool wait);
  void mark_unsynced();
  void take_damage();
  void trouble(const SpoolStatus& status);
  void clear_body();

  std::unique_ptr<Spool> spool_;
  const std::string run_precision_;
  const std::size_t max_body_bytes_;
  Clock::time_point now_{};
  SpoolEvents events_;

  // Delivery: everything before cursor_ is answered for, but the record held
  // aside at held_at_.
  std::uint64_t cursor_ = 0;
  std::uint64_t held_at_ = kNone;
  // Records after the cursor not in the open body (a count; a read that
  // finds the end sets it right when damage made it go astray).
  std::uint64_t unread_ = 0;
  std::uint64_t found_ = 0;
  std::size_t record_limit_ = 0;

  // The open body. From the spool: its text, the position of each record,
  // and where the next body starts once it is answered (past any damage
  // the read passed after its last record).
  Body body_ = Body::kNone;
  std::string body_text_;
  std::size_t body_offset_ = 0;
  std::vector<std::uint64_t> body_at_;
  std::uint64_t body_next_ = 0;
  std::size_t body_gone_ = 0;  // its records the bound dropped while it was out
  std::string body_precision_;

  // Records the spool could not take. memory_from_: the spool's end when the
  // first of them came; spooled records before it go out first.
  MemoryQueue memory_;
  std::uint64_t memory_from_ = 0;

  std::uint64_t skipped_reported_ = 0;
  bool usable_ = true;
  bool read_failed_ = false;  // until the next tick(): bodies would find nothing
  Clock::time_point retry_at_{};
  // Appended or acknowledged since the last sync.
  bool unsynced_ = false;
  Clock::time_point unsynced_since_{};
  bool synced_once_ = false;
  Clock::time_point last_sync_{};
  SyncRunner run_sync_;
  std::future<SpoolStatus> sync_running_;
  bool sync_syncs_directory_ = false;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_SPOOL_QUEUE_H_
