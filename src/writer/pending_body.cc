#include "writer/pending_body.h"

#include <algorithm>
#include <cstring>

namespace {

// After a large backlog has gone out, give the memory back to the system.
constexpr std::size_t kKeepCapacityBytes = std::size_t{64} << 10;

}  // namespace

std::size_t PendingBody::append(std::string_view record) {
  assert(!transfer_open_ && "append while a transfer is open");
  const std::size_t added = record.size() + 1;
  std::size_t dropped = 0;
  while (!empty() && size() + added > cap_bytes_) {
    const std::size_t end = text_.find('\n', start_);
    discard_front(end - start_ + 1, 1);
    ++dropped;
  }
  text_.append(record.data(), record.size());
  text_.push_back('\n');
  ++records_;
  return dropped;
}

std::size_t PendingBody::begin_transfer() {
  offset_ = 0;
  body_bytes_ = 0;
  body_records_ = 0;
  // Whole records, at least one, up to the body limit.
  while (start_ + body_bytes_ < text_.size()) {
    const std::size_t end = text_.find('\n', start_ + body_bytes_);
    const std::size_t next = end - start_ + 1;
    if (body_records_ > 0 && (next > max_body_bytes_ || body_records_ == record_limit_)) break;
    body_bytes_ = next;
    ++body_records_;
  }
  transfer_open_ = body_bytes_ > 0;
  return body_bytes_;
}

std::size_t PendingBody::read(char* buffer, std::size_t room) {
  const std::size_t n = std::min(room, body_bytes_ - offset_);
  if (n > 0) std::memcpy(buffer, text_.data() + start_ + offset_, n);
  offset_ += n;
  return n;
}

void PendingBody::end_transfer(bool answered) {
  if (answered) discard_front(body_bytes_, body_records_);
  offset_ = 0;
  body_bytes_ = 0;
  body_records_ = 0;
  transfer_open_ = false;
}

void PendingBody::discard_front(std::size_t bytes, std::size_t records) {
  start_ += bytes;
  records_ -= records;
  if (empty()) {
    if (text_.capacity() > kKeepCapacityBytes) {
      std::string().swap(text_);
    } else {
      text_.clear();
    }
    start_ = 0;
  } else if (start_ > cap_bytes_ / 8) {
    // Bounds the dead front to an eighth of the cap; each compaction moves at
    // most the cap, once per eighth of the cap dropped.
    text_.erase(0, start_);
    start_ = 0;
  }
}
