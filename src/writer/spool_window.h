// The spool seen from the writer. Every accepted record goes to the spool
// first; the delivery state holds a window of the spool's oldest records in
// memory, and bodies are made from that window. When the database has
// answered for records, the spool is told the oldest position still pending,
// and lets go of everything before it.
//
// So memory holds at most about kWindowBytes of records whatever the spool
// holds, and a killed bridge finds every record it had not delivered in the
// spool at its next start.
//
// While the spool cannot be written (no space, an I/O error, the directory
// gone or read-only) records are kept in memory only, under a cap of their
// own (the pending cap), which never drops a record that is safe on disk; the
// spool is tried again every kRetryInterval, with the next record (a removed
// directory is not: it stays removed for this process). Records kept in
// memory have no position; they join the window as it has room, and the
// window is not filled from the spool while any of them is pending, so they
// go out before the spool's later records.
//
// Not thread-safe; the writer calls it with its mutex held. No clock of its
// own: the time is passed in.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_SPOOL_WINDOW_H_
#define MQTT_INFLUX_BRIDGE_WRITER_SPOOL_WINDOW_H_

#include <chrono>
#include <functional>
#include <future>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "writer/delivery_state.h"
#include "writer/spool_files.h"

// What happened to the spool in one call, for the report to put into words.
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

class SpoolWindow {
 public:
  using Clock = std::chrono::steady_clock;
  // Four bodies of the largest size: enough to keep transfers full.
  static constexpr std::size_t kWindowBytes = std::size_t{1} << 20;
  // A power cut loses at most the records of the last second.
  static constexpr std::chrono::seconds kSyncInterval{1};
  static constexpr std::chrono::seconds kRetryInterval{5};

  // Takes an open spool and counts what it holds (reads it once).
  // Runs a sync job and hands back its outcome. The default runs it on a
  // thread of its own: a sync may take seconds on an SD card, and meanwhile
  // the main loop must go on reading messages and acknowledging them.
  using SyncRunner = std::function<std::future<SpoolStatus>(SpoolSyncJob)>;
  static SyncRunner background_sync();
  // Runs it at once, on the caller's thread (tests).
  static SyncRunner inline_sync();

  // `precision`: the run's (-p), for records that carry none.
  explicit SpoolWindow(std::unique_ptr<Spool> spool, std::string precision = "ms",
                       std::size_t memory_cap_bytes = kPendingCapBytes,
                       SyncRunner run_sync = background_sync());
  SpoolWindow(const SpoolWindow&) = delete;
  SpoolWindow& operator=(const SpoolWindow&) = delete;

  std::uint64_t records_found() const { return found_; }

  // The precision of every record in the delivery state: records made with
  // another precision (by an earlier run) join the window only once it has
  // drained, so a body never mixes two. Meaningful while records are pending.
  const std::string& window_precision() const { return window_precision_; }

  // A new record: into the spool (or into memory only, while the spool is
  // unusable), then the window is filled from the spool.
  void accept(std::string_view record, DeliveryState& state, Clock::time_point now,
              SpoolEvents& events);
  // After a body's outcome: tells the spool what is done, fills the window.
  void settle(DeliveryState& state, Clock::time_point now, SpoolEvents& events);
  // Takes the outcome of a sync that ended; starts one when one is due (see
  // next_sync()).
  void tick(Clock::time_point now, SpoolEvents& events);
  // When tick() has a sync to make; Clock::time_point::max() when none.
  Clock::time_point next_sync() const;
  // An orderly stop: what is done is acknowledged, all is synced (after the
  // sync under way, on this thread).
  void stop(DeliveryState& state, Clock::time_point now, SpoolEvents& events);

  // Records not in the window yet: in the spool, or in memory only.
  std::uint64_t unread_records() const { return unread_ + memory_.size(); }
  // Records pending that only memory holds (in the window, or waiting for it).
  std::size_t memory_only_records(const DeliveryState& state) const {
    return state.pending().unpositioned_records() + memory_.size();
  }
  bool usable() const { return usable_; }
  const Spool& spool() const { return *spool_; }

 private:
  void fill(DeliveryState& state, Clock::time_point now, SpoolEvents& events);
  void keep_in_memory(std::string_view record, SpoolEvents& events);
  // Whether a record of `precision` may join the window now (it takes the
  // window's precision when the window is empty).
  bool joins(std::string_view precision, const DeliveryState& state);
  // `release`: an orderly stop; a spool all delivered keeps no segment.
  void acknowledge(DeliveryState& state, Clock::time_point now, SpoolEvents& events,
                   bool release = false);
  void start_sync(Clock::time_point now);
  // Takes the running sync's outcome when it has one (`wait`: waits for it).
  void collect_sync(Clock::time_point now, SpoolEvents& events, bool wait);
  void mark_unsynced(Clock::time_point now);
  void trouble(const SpoolStatus& status, Clock::time_point now, SpoolEvents& events);

  std::unique_ptr<Spool> spool_;
  // Records the spool could not take, oldest first, waiting for the window.
  std::deque<std::string> memory_;
  std::size_t memory_bytes_ = 0;  // with a line feed each, as in a body
  const std::size_t memory_cap_bytes_;
  const std::string run_precision_;
  std::string window_precision_;
  std::uint64_t found_ = 0;
  std::uint64_t unread_ = 0;
  // Records the spool dropped at open (over its bound), not told yet.
  std::uint64_t dropped_at_open_ = 0;
  // Damage already put into words.
  std::uint64_t skipped_reported_ = 0;
  bool usable_ = true;
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

#endif  // MQTT_INFLUX_BRIDGE_WRITER_SPOOL_WINDOW_H_
