#include "writer/memory_queue.h"

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

std::size_t MemoryQueue::append(std::string_view record) {
  const std::size_t added = record.size() + 1;
  std::size_t dropped = 0;
  // The open body and the held record are not the cap's to drop; with
  // nothing queued the text may pass the cap by the newest record.
  while (queued_records_ > 0 && size() + added > cap_bytes_) {
    drop_front_record();
    ++dropped;
  }
  if (transfer_open_) dropped_while_open_ += dropped;
  text_.append(record.data(), record.size());
  text_.push_back('\n');
  ++queued_records_;
  ++records_;
  return dropped;
}

void MemoryQueue::drop_front_record() {
  const std::size_t end = text_.find('\n', start_);
  discard_front(end - start_ + 1, 1);
}

std::size_t MemoryQueue::begin_transfer() {
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
  discard_front(bytes, records);
  records_ += records;  // still pending, now in the body
  transfer_open_ = true;
  body_is_held_ = false;
  dropped_while_open_ = 0;
  return body_.size();
}

std::size_t MemoryQueue::begin_held_transfer() {
  assert(!transfer_open_);
  if (held_records_ == 0) return 0;
  offset_ = 0;
  body_.swap(held_);
  held_.clear();
  body_records_ = held_records_;
  held_records_ = 0;
  transfer_open_ = true;
  body_is_held_ = true;
  dropped_while_open_ = 0;
  return body_.size();
}

std::size_t MemoryQueue::read(char* buffer, std::size_t room) {
  const std::size_t n = std::min(room, body_.size() - offset_);
  if (n > 0) std::memcpy(buffer, body_.data() + offset_, n);
  offset_ += n;
  return n;
}

std::size_t MemoryQueue::end_transfer(bool answered) {
  if (!transfer_open_) return 0;
  std::size_t dropped = 0;
  if (answered) {
    records_ -= body_records_;
  } else if (dropped_while_open_ > 0 && !body_is_held_) {
    records_ -= body_records_;
    dropped = body_records_;
  } else if (body_is_held_) {
    held_.swap(body_);
    held_records_ = body_records_;
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
  release(body_);
  body_records_ = 0;
  offset_ = 0;
  transfer_open_ = false;
  body_is_held_ = false;
  dropped_while_open_ = 0;
  return dropped;
}

void MemoryQueue::end_transfer_holding_aside() {
  assert(transfer_open_ && !body_is_held_ && held_records_ == 0);
  held_.swap(body_);
  held_records_ = body_records_;
  release(body_);
  body_records_ = 0;
  offset_ = 0;
  transfer_open_ = false;
}

std::string MemoryQueue::text() const {
  std::string all = transfer_open_ && !body_is_held_ ? body_ : std::string();
  all.append(text_, start_, std::string::npos);
  return all;
}

void MemoryQueue::discard_front(std::size_t bytes, std::size_t records) {
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
