#include "writer/record_limit.h"

#include <algorithm>

namespace {

// Past this the limit is lifted: the body limit in bytes governs alone.
constexpr std::size_t kNoLimitFrom = std::size_t{1} << 20;

std::size_t halved(std::size_t records) { return std::max<std::size_t>(1, records / 2); }

}  // namespace

void RecordLimit::refused(std::size_t records) {
  limit_ = halved(records);
  successes_ = 0;
}

void RecordLimit::timed_out(std::size_t records) {
  too_big_ = too_big_ == 0 ? records : std::min(too_big_, records);
  if (good_ != 0 && good_ < records) {
    // A try above a size that works failed: back to that size, and wait
    // longer before the next try.
    limit_ = good_;
    probe_after_ = std::min(probe_after_ * 2, kLongestProbeAfter);
  } else {
    // Still narrowing down to a size the database answers in time.
    limit_ = halved(records);
  }
  successes_ = 0;
}

void RecordLimit::stored(std::size_t records) {
  if (too_big_ != 0 && records >= too_big_) {
    // The size that timed out is answered now: the database was slow for a
    // while, not for that size.
    too_big_ = 0;
    good_ = 0;
    probe_after_ = kFirstProbeAfter;
  }
  if (limit_ == 0 || records < limit_) return;  // only a full body tells about the size
  if (too_big_ == 0) {
    const std::size_t doubled = limit_ * 2;
    limit_ = doubled >= kNoLimitFrom ? 0 : doubled;
    return;
  }
  good_ = records;
  // Below the size that timed out, grow only after a run of successes, and
  // then halfway towards it; the size itself is tried once in a while.
  if (++successes_ < probe_after_) return;
  successes_ = 0;
  limit_ = limit_ + 1 >= too_big_ ? too_big_ : limit_ + (too_big_ - limit_) / 2;
}
