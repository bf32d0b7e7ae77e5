#include "writer/pending_body.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace {

// After a large backlog has gone out, give the memory back to the system.
constexpr std::size_t kKeepCapacityBytes = std::size_t{64} << 10;

void release(std::string& text) {
  if (text.capacity() > kKeepCapacityBytes) {
    std::string().swap(text);
  } else {
    text.clear();
  }
}

}  // namespace

std::size_t PendingBody::append(std::string_view record, std::uint64_t position) {
  const std::size_t added = record.size() + 1;
  std::size_t dropped = 0;
  // The open body and the held record are not the cap's to drop; with
  // nothing queued the text may pass the cap by the newest record.
  while (queued_records_ > 0 && size() + added > cap_bytes_) {
    drop_front_record();
    ++dropped;
  }
  if (transfer_open_) dropped_while_open_ += dropped;
  if (tracking_) queued_at_.push_back(position);  // first: it may throw
  text_.append(record.data(), record.size());
  text_.push_back('\n');
  ++queued_records_;
  ++records_;
  if (tracking_ && position == kNoPosition) ++unpositioned_;
  return dropped;
}

void PendingBody::drop_front_record() {
  const std::size_t end = text_.find('\n', start_);
  discard_front(end - start_ + 1, 1);
  if (tracking_) {
    forget_position(queued_at_.front());
    queued_at_.pop_front();
  }
}

void PendingBody::forget_position(std::uint64_t position) {
  if (position == kNoPosition) --unpositioned_;
}

void PendingBody::forget_body_positions() {
  for (const std::uint64_t position : body_at_) forget_position(position);
  body_at_.clear();
}

std::size_t PendingBody::begin_transfer() {
  assert(!transfer_open_);
  offset_ = 0;
  std::size_t bytes = 0;
  std::size_t records = 0;
  // Whole records, at least one, up to the body limit.
  while (start_ + bytes < text_.size()) {
    const std::size_t end = text_.find('\n', start_ + bytes);
    const std::size_t next = end - start_ + 1;
    if (records > 0 && (next > max_body_bytes_ || records == record_limit_)) break;
    bytes = next;
    ++records;
  }
  if (records == 0) return 0;
  body_.assign(text_, start_, bytes);
  body_records_ = records;
  if (tracking_) {
    body_at_.assign(queued_at_.begin(), queued_at_.begin() + static_cast<std::ptrdiff_t>(records));
    queued_at_.erase(queued_at_.begin(), queued_at_.begin() + static_cast<std::ptrdiff_t>(records));
  }
  discard_front(bytes, records);
  records_ += records;  // still pending, now in the body
  transfer_open_ = true;
  body_is_held_ = false;
  dropped_while_open_ = 0;
  return body_.size();
}

std::size_t PendingBody::begin_held_transfer() {
  assert(!transfer_open_);
  if (held_records_ == 0) return 0;
  offset_ = 0;
  body_.swap(held_);
  held_.clear();
  body_records_ = held_records_;
  held_records_ = 0;
  if (tracking_) body_at_.assign(1, held_at_);
  held_at_ = kNoPosition;
  transfer_open_ = true;
  body_is_held_ = true;
  dropped_while_open_ = 0;
  return body_.size();
}

std::size_t PendingBody::read(char* buffer, std::size_t room) {
  const std::size_t n = std::min(room, body_.size() - offset_);
  if (n > 0) std::memcpy(buffer, body_.data() + offset_, n);
  offset_ += n;
  return n;
}

std::size_t PendingBody::end_transfer(bool answered) {
  if (!transfer_open_) return 0;
  std::size_t dropped = 0;
  if (answered) {
    records_ -= body_records_;
    forget_body_positions();
  } else if (body_gone_ || (dropped_while_open_ > 0 && !body_is_held_)) {
    records_ -= body_records_;
    dropped = body_records_;
    forget_body_positions();
  } else if (body_is_held_) {
    held_.swap(body_);
    held_records_ = body_records_;
    if (tracking_) held_at_ = body_at_.front();
  } else if (start_ >= body_.size()) {
    // Back to the front of the queue: into the dead front when it fits,
    // which costs no move of the queue.
    start_ -= body_.size();
    text_.replace(start_, body_.size(), body_);
    queued_records_ += body_records_;
  } else {
    text_.replace(0, start_, body_);
    start_ = 0;
    queued_records_ += body_records_;
  }
  if (!answered && dropped == 0 && !body_is_held_ && tracking_) {
    queued_at_.insert(queued_at_.begin(), body_at_.begin(), body_at_.end());
  }
  body_at_.clear();
  body_gone_ = false;
  release(body_);
  body_records_ = 0;
  offset_ = 0;
  transfer_open_ = false;
  body_is_held_ = false;
  dropped_while_open_ = 0;
  return dropped;
}

void PendingBody::end_transfer_holding_aside() {
  assert(transfer_open_ && !body_is_held_ && held_records_ == 0);
  held_.swap(body_);
  held_records_ = body_records_;
  if (tracking_) held_at_ = body_at_.front();
  body_at_.clear();
  release(body_);
  body_records_ = 0;
  offset_ = 0;
  transfer_open_ = false;
}

void PendingBody::drop_held() {
  if (tracking_ && held_records_ > 0) forget_position(held_at_);
  held_at_ = kNoPosition;
  records_ -= held_records_;
  held_records_ = 0;
  release(held_);
}

std::uint64_t PendingBody::oldest_position() const {
  std::uint64_t oldest = held_records_ > 0 ? held_at_ : kNoPosition;
  // Positioned records come before unpositioned ones in the body and the
  // queue (the writer keeps it so), but a scan costs little and never misses.
  for (const std::uint64_t position : body_at_) {
    if (position != kNoPosition) {
      oldest = std::min(oldest, position);
      break;
    }
  }
  for (const std::uint64_t position : queued_at_) {
    if (position != kNoPosition) {
      oldest = std::min(oldest, position);
      break;
    }
  }
  return oldest;
}

std::size_t PendingBody::drop_before(std::uint64_t floor) {
  std::size_t dropped = 0;
  if (!tracking_) return dropped;
  while (queued_records_ > 0 && queued_at_.front() < floor) {
    drop_front_record();
    ++dropped;
  }
  if (held_records_ > 0 && held_at_ < floor) {
    dropped += held_records_;
    drop_held();
  }
  if (transfer_open_ && !body_at_.empty() && body_at_.front() < floor) body_gone_ = true;
  return dropped;
}

std::string PendingBody::text() const {
  std::string all = transfer_open_ && !body_is_held_ ? body_ : std::string();
  all.append(text_, start_, std::string::npos);
  return all;
}

void PendingBody::discard_front(std::size_t bytes, std::size_t records) {
  start_ += bytes;
  queued_records_ -= records;
  records_ -= records;
  if (queued_records_ == 0) {
    release(text_);
    start_ = 0;
  } else if (start_ > cap_bytes_ / 8) {
    // Bounds the dead front to an eighth of the cap; each compaction moves at
    // most the cap, once per eighth of the cap dropped.
    text_.erase(0, start_);
    start_ = 0;
  }
}
