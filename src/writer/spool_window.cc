#include "writer/spool_window.h"

#include <algorithm>
#include <cerrno>

SpoolWindow::SyncRunner SpoolWindow::background_sync() {
  return [](SpoolSyncJob job) {
    return std::async(std::launch::async, [job = std::move(job)]() mutable { return job.run(); });
  };
}

SpoolWindow::SyncRunner SpoolWindow::inline_sync() {
  return [](SpoolSyncJob job) {
    std::promise<SpoolStatus> outcome;
    outcome.set_value(job.run());
    return outcome.get_future();
  };
}

SpoolWindow::SpoolWindow(std::unique_ptr<Spool> spool, std::string precision,
                         std::size_t memory_cap_bytes, SyncRunner run_sync)
    : spool_(std::move(spool)),
      memory_cap_bytes_(memory_cap_bytes),
      run_precision_(std::move(precision)),
      window_precision_(run_precision_),
      found_(spool_->count_records()),
      unread_(found_) {
  // What opening it dropped (over the bound) is told with the first settle();
  // damage it removed unread, with the rest of the damage.
  dropped_at_open_ = spool_->stats().dropped_records;
  run_sync_ = std::move(run_sync);
}

void SpoolWindow::accept(std::string_view record, DeliveryState& state, Clock::time_point now,
                         SpoolEvents& events) {
  bool spooled = false;
  if (usable_ || now >= retry_at_) {
    const std::uint64_t floor_before = spool_->acknowledged();
    SpoolAppend appended;
    // A removed directory never comes back for this process: the records
    // stay in memory until a restart opens the spool anew.
    SpoolStatus status = usable_ ? SpoolStatus{} : spool_->check_directory();
    // A failed sync left records in doubt: they are written again first.
    std::uint64_t copied = 0;
    if (status.ok() && !usable_) status = spool_->rewrite_unsynced(copied);
    unread_ += copied;
    if (status.ok()) status = spool_->append(record, &appended);
    // Dropped for room even when the write then failed.
    unread_ -= std::min<std::uint64_t>(unread_, appended.dropped_unread);
    events.dropped += static_cast<std::size_t>(appended.dropped_unread);
    if (spool_->acknowledged() > floor_before) {
      events.dropped += state.drop_before(spool_->acknowledged());
    }
    if (status.error == E2BIG) events.too_large = status.text;
    if (status.ok()) {
      spooled = true;
      ++unread_;
      mark_unsynced(now);
      if (!usable_) {
        usable_ = true;
        events.usable_again = true;
      }
    } else if (status.error != EINVAL && status.error != E2BIG) {
      trouble(status, now, events);
    }
    // EINVAL, E2BIG: this record cannot be framed, or would evict a whole
    // segment of others; it is kept in memory like any record while the
    // spool is unusable.
  }
  if (!spooled) keep_in_memory(record, events);
  fill(state, now, events);
}

void SpoolWindow::keep_in_memory(std::string_view record, SpoolEvents& events) {
  // The cap is for these records alone: a record safe on disk is never
  // dropped for one that is not.
  const std::size_t added = record.size() + 1;
  while (!memory_.empty() && memory_bytes_ + added > memory_cap_bytes_) {
    memory_bytes_ -= memory_.front().size() + 1;
    memory_.pop_front();
    ++events.dropped;
  }
  memory_.emplace_back(record);
  memory_bytes_ += added;
}

void SpoolWindow::settle(DeliveryState& state, Clock::time_point now, SpoolEvents& events) {
  events.dropped += static_cast<std::size_t>(dropped_at_open_);
  dropped_at_open_ = 0;
  acknowledge(state, now, events);
  fill(state, now, events);
  acknowledge(state, now, events);  // the window may have been empty
}

void SpoolWindow::fill(DeliveryState& state, Clock::time_point now, SpoolEvents& events) {
  while (state.bytes() < kWindowBytes) {
    // Records kept in memory only go out first (see the header).
    if (!memory_.empty()) {
      if (!joins(run_precision_, state)) return;
      state.append(memory_.front(), now, kNoPosition);
      memory_bytes_ -= memory_.front().size() + 1;
      memory_.pop_front();
      continue;
    }
    if (state.pending().unpositioned_records() > 0) return;
    SpoolEntry entry;
    SpoolStatus failure;
    const bool read = spool_->next(entry, &failure);
    events.skipped_bytes += spool_->skipped_bytes() - skipped_reported_;
    skipped_reported_ = spool_->skipped_bytes();
    if (!read) {
      if (!failure.ok()) {
        trouble(failure, now, events);
      } else {
        unread_ = 0;  // all read: a count that went astray with damage ends here
      }
      return;
    }
    if (!joins(entry.precision.empty() ? run_precision_ : entry.precision, state)) {
      spool_->seek(entry.at);  // read again once the window has drained
      return;
    }
    state.append(entry.record, now, entry.at);
    if (unread_ > 0) --unread_;
  }
}

bool SpoolWindow::joins(std::string_view precision, const DeliveryState& state) {
  if (state.records() == 0) window_precision_ = precision;
  return precision == window_precision_;
}

void SpoolWindow::acknowledge(DeliveryState& state, Clock::time_point now, SpoolEvents& events,
                              bool release) {
  // Everything before the oldest record still pending is done, and so is
  // everything the reader has passed (records taken into the window, and
  // damage) when nothing positioned is pending.
  const std::uint64_t done = std::min(state.oldest_position(), spool_->read_position());
  if (done <= spool_->acknowledged() && !release) return;
  const SpoolStatus status = spool_->acknowledge(done, release);
  mark_unsynced(now);
  if (!status.ok()) trouble(status, now, events);
}

void SpoolWindow::tick(Clock::time_point now, SpoolEvents& events) {
  collect_sync(now, events, false);
  if (!sync_running_.valid() && now >= next_sync()) {
    start_sync(now);
    collect_sync(now, events, false);  // a runner that ran it at once
  }
}

SpoolWindow::Clock::time_point SpoolWindow::next_sync() const {
  // One at a time: while one runs, the loop's own turns come back for it.
  if (!unsynced_ || sync_running_.valid()) return Clock::time_point::max();
  // The very first sync of a run is due at once.
  return synced_once_ ? last_sync_ + kSyncInterval : unsynced_since_;
}

void SpoolWindow::mark_unsynced(Clock::time_point now) {
  if (!unsynced_) unsynced_since_ = now;
  unsynced_ = true;
}

void SpoolWindow::stop(DeliveryState& state, Clock::time_point now, SpoolEvents& events) {
  collect_sync(now, events, true);
  acknowledge(state, now, events, true);
  // What a failed sync left in doubt is written again first.
  std::uint64_t copied = 0;
  SpoolStatus status = spool_->rewrite_unsynced(copied);
  if (status.ok()) status = spool_->sync();
  unsynced_ = false;
  if (!status.ok()) trouble(status, now, events);
}

void SpoolWindow::start_sync(Clock::time_point now) {
  SpoolSyncJob job = spool_->prepare_sync();
  sync_syncs_directory_ = job.syncs_directory();
  unsynced_ = false;
  synced_once_ = true;
  last_sync_ = now;
  sync_running_ = run_sync_(std::move(job));
}

void SpoolWindow::collect_sync(Clock::time_point now, SpoolEvents& events, bool wait) {
  if (!sync_running_.valid()) return;
  if (!wait && sync_running_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
  const SpoolStatus status = spool_->finish_sync(sync_syncs_directory_, sync_running_.get());
  if (!status.ok()) trouble(status, now, events);
}

void SpoolWindow::trouble(const SpoolStatus& status, Clock::time_point now, SpoolEvents& events) {
  retry_at_ = now + kRetryInterval;
  if (!usable_) return;
  usable_ = false;
  events.unusable = status.text;
}
