#include "writer/spool_queue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

std::size_t clamp_to_size(std::uint64_t n) {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(n, std::numeric_limits<std::size_t>::max()));
}

}  // namespace

SpoolQueue::SyncRunner SpoolQueue::background_sync() {
  return [](SpoolSyncJob job) {
    return std::async(std::launch::async, [job = std::move(job)]() mutable { return job.run(); });
  };
}

SpoolQueue::SyncRunner SpoolQueue::inline_sync() {
  return [](SpoolSyncJob job) {
    std::promise<SpoolStatus> outcome;
    outcome.set_value(job.run());
    return outcome.get_future();
  };
}

SpoolQueue::SpoolQueue(std::unique_ptr<Spool> spool, std::string precision,
                       std::size_t memory_cap_bytes, std::size_t max_body_bytes,
                       SyncRunner run_sync)
    : spool_(std::move(spool)),
      run_precision_(std::move(precision)),
      max_body_bytes_(max_body_bytes),
      unread_(spool_->count_records()),
      found_(unread_),
      memory_(memory_cap_bytes, max_body_bytes),
      run_sync_(std::move(run_sync)) {
  cursor_ = spool_->acknowledged();
  // What opening it dropped (over the bound) is told with the first events;
  // damage it removed unread, with the rest of the damage.
  events_.dropped += clamp_to_size(spool_->stats().dropped_records);
}

SpoolEvents SpoolQueue::take_events() {
  SpoolEvents taken = std::move(events_);
  events_ = SpoolEvents{};
  return taken;
}

std::size_t SpoolQueue::append(std::string_view record) {
  bool spooled = false;
  if (usable_ || now_ >= retry_at_) {
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
    if (spool_->acknowledged() > std::min(held_at_, cursor_)) follow_floor(appended.dropped_records);
    if (status.error == E2BIG) events_.too_large = status.text;
    if (status.ok()) {
      spooled = true;
      ++unread_;
      mark_unsynced();
      if (!usable_) {
        usable_ = true;
        events_.usable_again = true;
      }
    } else if (status.error != EINVAL && status.error != E2BIG) {
      trouble(status);
    }
    // EINVAL, E2BIG: this record cannot be framed, or would evict a whole
    // segment of others; it is kept in memory like any record while the
    // spool is unusable.
  }
  if (!spooled) keep_in_memory(record);
  return 0;
}

void SpoolQueue::keep_in_memory(std::string_view record) {
  // Spooled records that came before it go out first.
  if (memory_.queued_records() == 0) memory_from_ = spool_->end();
  // The cap is for these records alone: a record safe on disk is never
  // dropped for one that is not.
  events_.dropped += memory_.append(record);
}

void SpoolQueue::follow_floor(std::uint64_t dropped_records) {
  const std::uint64_t floor = spool_->acknowledged();
  // The open body's records below the floor count as dropped only if its
  // transfer ends unanswered; answered, they were delivered.
  std::uint64_t body_newly_gone = 0;
  if (body_ == Body::kSpool || body_ == Body::kSpoolHeld) {
    const auto gone = static_cast<std::size_t>(
        std::lower_bound(body_at_.begin(), body_at_.end(), floor) - body_at_.begin());
    body_newly_gone = gone - body_gone_;
    body_gone_ = gone;
  }
  std::uint64_t others = dropped_records - std::min(dropped_records, body_newly_gone);
  events_.dropped += clamp_to_size(others);
  if (held_at_ != kNone && held_at_ < floor && body_ != Body::kSpoolHeld) {
    held_at_ = kNone;
    if (others > 0) --others;
  }
  unread_ -= std::min(unread_, others);
  cursor_ = std::max(cursor_, floor);
}

std::size_t SpoolQueue::read_body(std::uint64_t from, std::uint64_t stop, std::size_t most) {
  body_text_.clear();
  body_at_.clear();
  body_gone_ = 0;
  body_next_ = from;
  spool_->seek(from);
  SpoolEntry entry;
  SpoolStatus failure;
  for (;;) {
    if (!spool_->next(entry, &failure)) {
      if (!failure.ok()) {
        trouble(failure);
        read_failed_ = true;
      } else {
        // Everything stored is read: damage after the last record is done
        // with together with it, and the count is right again.
        body_next_ = std::max(body_next_, spool_->read_position());
        unread_ = 0;
      }
      break;
    }
    if (entry.at >= stop) {
      body_next_ = entry.at;
      break;
    }
    const std::string_view precision = entry.precision.empty() ? run_precision_ : entry.precision;
    if (!body_at_.empty() &&
        (precision != body_precision_ || body_at_.size() == most ||
         body_text_.size() + entry.record.size() + 1 > max_body_bytes_)) {
      body_next_ = entry.at;
      break;
    }
    if (body_at_.empty()) body_precision_.assign(precision.data(), precision.size());
    body_text_.append(entry.record.data(), entry.record.size());
    body_text_.push_back('\n');
    body_at_.push_back(entry.at);
    body_next_ = entry.after;
  }
  take_damage();
  return body_at_.size();
}

std::size_t SpoolQueue::begin_transfer() {
  if (transfer_open()) return 0;
  const bool memory_waits = memory_.queued_records() > 0;
  // Spooled records that came before those in memory go first.
  if (!read_failed_ && cursor_ < spool_->end() && (!memory_waits || cursor_ < memory_from_)) {
    const std::uint64_t before = unread_;
    const std::size_t records = read_body(cursor_, memory_waits ? memory_from_ : kNone,
                                          record_limit_ == 0 ? SIZE_MAX : record_limit_);
    if (records > 0) {
      // unread_ is 0 already when the read found the end.
      if (unread_ == before) unread_ -= std::min<std::uint64_t>(unread_, records);
      body_ = Body::kSpool;
      body_offset_ = 0;
      return body_text_.size();
    }
    if (!read_failed_) {
      cursor_ = std::max(cursor_, body_next_);  // only damage there
      acknowledge();
    }
  }
  if (!memory_waits) return 0;
  memory_.set_record_limit(record_limit_);
  const std::size_t bytes = memory_.begin_transfer();
  if (bytes > 0) {
    body_ = Body::kMemory;
    body_precision_ = run_precision_;
  }
  return bytes;
}

std::size_t SpoolQueue::begin_held_transfer() {
  if (transfer_open()) return 0;
  if (memory_.holds_aside()) {
    body_ = Body::kMemory;
    body_precision_ = run_precision_;
    return memory_.begin_held_transfer();
  }
  if (held_at_ == kNone) return 0;
  const std::uint64_t unread = unread_;
  const std::size_t records = read_body(held_at_, held_at_ + 1, 1);
  unread_ = unread;  // the held record is not among them
  if (records == 0) {
    // Unreadable now: the disk failed (tried again later), or the record was
    // damaged since it was read (counted with the damage).
    if (!read_failed_) held_at_ = kNone;
    acknowledge();
    return 0;
  }
  body_ = Body::kSpoolHeld;
  body_offset_ = 0;
  return body_text_.size();
}

std::size_t SpoolQueue::read(char* buffer, std::size_t room) {
  if (body_ == Body::kMemory) return memory_.read(buffer, room);
  const std::size_t n = std::min(room, body_text_.size() - body_offset_);
  if (n > 0) std::memcpy(buffer, body_text_.data() + body_offset_, n);
  body_offset_ += n;
  return n;
}

void SpoolQueue::rewind() {
  if (body_ == Body::kMemory) {
    memory_.rewind();
  } else {
    body_offset_ = 0;
  }
}

std::size_t SpoolQueue::end_transfer(bool answered) {
  std::size_t dropped = 0;
  switch (body_) {
    case Body::kNone:
      return 0;
    case Body::kMemory:
      dropped = memory_.end_transfer(answered);
      body_ = Body::kNone;
      return dropped;
    case Body::kSpool:
      if (answered) {
        cursor_ = std::max(cursor_, body_next_);
      } else {
        dropped = body_gone_;
        unread_ += body_at_.size() - body_gone_;
      }
      break;
    case Body::kSpoolHeld:
      if (answered || body_gone_ > 0) {
        dropped = answered ? 0 : 1;
        held_at_ = kNone;
      }
      break;
  }
  clear_body();
  acknowledge();
  return dropped;
}

void SpoolQueue::end_transfer_holding_aside() {
  if (body_ == Body::kMemory) {
    memory_.end_transfer_holding_aside();
    body_ = Body::kNone;
    return;
  }
  if (body_ != Body::kSpool) return;
  // Gone at the bound meanwhile: nothing to hold (the bound counted it).
  if (body_gone_ == 0) held_at_ = body_at_.front();
  cursor_ = std::max(cursor_, body_next_);
  clear_body();
  acknowledge();
}

void SpoolQueue::clear_body() {
  body_ = Body::kNone;
  body_at_.clear();
  body_gone_ = 0;
  body_offset_ = 0;
  // After a large body has gone out, give the memory back to the system.
  if (body_text_.capacity() > (std::size_t{64} << 10)) {
    std::string().swap(body_text_);
  } else {
    body_text_.clear();
  }
}

bool SpoolQueue::body_is_held() const {
  return body_ == Body::kSpoolHeld || (body_ == Body::kMemory && memory_.body_is_held());
}

std::size_t SpoolQueue::body_record_count() const {
  if (body_ == Body::kMemory) return memory_.body_record_count();
  return body_at_.size();
}

std::size_t SpoolQueue::queued_records() const {
  return clamp_to_size(read_failed_ ? 0 : unread_) + memory_.queued_records();
}

std::size_t SpoolQueue::queued_bytes() const {
  std::uint64_t spooled = 0;
  const std::uint64_t from = body_ == Body::kSpool ? body_next_ : cursor_;
  if (!read_failed_ && unread_ > 0 && spool_->end() > from) {
    // Frames less their headers: about the text a body of them would be.
    spooled = spool_->end() - from;
    spooled -= std::min(spooled, unread_ * (kFrameHeaderBytes - 1));
  }
  return clamp_to_size(spooled) + memory_.queued_bytes();
}

std::size_t SpoolQueue::record_count() const {
  std::uint64_t records = unread_ + (held_at_ != kNone ? 1 : 0);
  if (body_ == Body::kSpool) records += body_at_.size() - body_gone_;
  return clamp_to_size(records) + memory_.record_count();
}

void SpoolQueue::acknowledge(bool release) {
  // Everything before the cursor is done, but the record held aside.
  const std::uint64_t done = std::min(held_at_, cursor_);
  if (done <= spool_->acknowledged() && !release) return;
  const SpoolStatus status = spool_->acknowledge(done, release);
  mark_unsynced();
  if (!status.ok()) trouble(status);
}

void SpoolQueue::take_damage() {
  events_.skipped_bytes += spool_->skipped_bytes() - skipped_reported_;
  skipped_reported_ = spool_->skipped_bytes();
}

void SpoolQueue::tick() {
  collect_sync(false);
  if (read_failed_ && now_ >= retry_at_) read_failed_ = false;
  if (!sync_running_.valid() && now_ >= next_sync()) {
    start_sync();
    collect_sync(false);  // a runner that ran it at once
  }
}

SpoolQueue::Clock::time_point SpoolQueue::next_sync() const {
  Clock::time_point due = Clock::time_point::max();
  // One at a time: while one runs, the loop's own turns come back for it.
  if (unsynced_ && !sync_running_.valid()) {
    // The very first sync of a run is due at once.
    due = synced_once_ ? last_sync_ + kSyncInterval : unsynced_since_;
  }
  // A read that failed is tried again then.
  if (read_failed_) due = std::min(due, retry_at_);
  return due;
}

void SpoolQueue::mark_unsynced() {
  if (!unsynced_) unsynced_since_ = now_;
  unsynced_ = true;
}

void SpoolQueue::stop() {
  collect_sync(true);
  acknowledge(true);
  // What a failed sync left in doubt is written again first.
  std::uint64_t copied = 0;
  SpoolStatus status = spool_->rewrite_unsynced(copied);
  if (status.ok()) status = spool_->sync();
  unsynced_ = false;
  if (!status.ok()) trouble(status);
}

void SpoolQueue::start_sync() {
  SpoolSyncJob job = spool_->prepare_sync();
  sync_syncs_directory_ = job.syncs_directory();
  unsynced_ = false;
  synced_once_ = true;
  last_sync_ = now_;
  sync_running_ = run_sync_(std::move(job));
}

void SpoolQueue::collect_sync(bool wait) {
  if (!sync_running_.valid()) return;
  if (!wait && sync_running_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
  const SpoolStatus status = spool_->finish_sync(sync_syncs_directory_, sync_running_.get());
  if (!status.ok()) trouble(status);
}

void SpoolQueue::trouble(const SpoolStatus& status) {
  retry_at_ = now_ + kRetryInterval;
  if (!usable_) return;
  usable_ = false;
  events_.unusable = status.text;
}
