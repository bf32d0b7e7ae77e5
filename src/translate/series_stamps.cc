#include "translate/series_stamps.h"

#include <utility>

std::string_view series_key(std::string_view record) {
  for (std::size_t at = 0; (at = record.find(' ', at)) != std::string_view::npos; ++at) {
    if (at == 0 || record[at - 1] != '\\') return record.substr(0, at);
  }
  return record;
}

SeriesStamps::Stamp SeriesStamps::stamp(std::string_view series, std::int64_t clock) {
  if (clock != clock_) {
    // Entries live no longer than their run ahead of the clock, so each is
    // passed over here no more often than its series had records.
    const bool stepped_back = clock < clock_;
    for (auto it = last_.begin(); it != last_.end();) {
      if (stepped_back || it->second < clock) {
        key_bytes_ -= it->first.size();
        it = last_.erase(it);
      } else {
        ++it;
      }
    }
  }
  clock_ = clock;

  std::string key(series);
  const auto found = last_.find(key);
  if (found != last_.end()) {
    ++found->second;  // not behind the clock, or it would have been forgotten
    return Stamp{found->second, false};
  }
  if (last_.size() >= max_series_ || key.size() > max_key_bytes_ - key_bytes_) {
    return Stamp{clock, true};
  }
  const std::size_t bytes = key.size();
  last_.emplace(std::move(key), clock);
  key_bytes_ += bytes;
  return Stamp{clock, false};
}
