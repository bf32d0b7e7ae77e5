// Arrival stamps that never repeat within a series. InfluxDB keeps one point
// per series and timestamp, so records of one series stamped on the same unit
// (a broker replaying a persistent session's queue, any burst) would leave
// one point. Pure: the clock value is passed in, in the run's precision.
#ifndef MQTT_INFLUX_BRIDGE_TRANSLATE_SERIES_STAMPS_H_
#define MQTT_INFLUX_BRIDGE_TRANSLATE_SERIES_STAMPS_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

// The series key of a line-protocol record: measurement and tags, everything
// before the first blank that no backslash escapes (InfluxDB's reading).
std::string_view series_key(std::string_view record);

class SeriesStamps final {
 public:
  // Series remembered at once, and the bytes of their keys: a flood of
  // distinct series within one unit cannot grow the table past these.
  static constexpr std::size_t kMaxSeries = 4096;
  static constexpr std::size_t kMaxKeyBytes = 1024 * 1024;

  struct Stamp {
    std::int64_t value;
    // The table was full and the series new to it: the value is the clock's,
    // unchecked, and the series is not remembered.
    bool unchecked;
  };

  explicit SeriesStamps(std::size_t max_series = kMaxSeries,
                        std::size_t max_key_bytes = kMaxKeyBytes)
      : max_series_(max_series), max_key_bytes_(max_key_bytes) {}
  SeriesStamps(const SeriesStamps&) = delete;
  SeriesStamps& operator=(const SeriesStamps&) = delete;

  // The stamp for a record of `series` arriving at `clock`: the clock, or one
  // unit past the last stamp given to the series when that is not before it.
  // A clock that moved on forgets every series whose last stamp is behind it
  // (none can collide again); a clock stepped back forgets all, so no stamp
  // runs ahead by the size of the step.
  Stamp stamp(std::string_view series, std::int64_t clock);

  std::size_t size() const { return last_.size(); }

 private:
  const std::size_t max_series_;
  const std::size_t max_key_bytes_;
  std::unordered_map<std::string, std::int64_t> last_;  // series key -> last stamp
  std::size_t key_bytes_ = 0;
  std::int64_t clock_ = std::numeric_limits<std::int64_t>::min();  // the latest clock seen
};

#endif  // MQTT_INFLUX_BRIDGE_TRANSLATE_SERIES_STAMPS_H_
