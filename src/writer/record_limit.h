// How many records a body may carry: narrowed to find a record the database
// refuses or a size it cannot answer in time, and grown back afterwards.
// Pure, so the growth can be tested against a database that times out above
// a size without a socket.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_RECORD_LIMIT_H_
#define MQTT_INFLUX_BRIDGE_WRITER_RECORD_LIMIT_H_

#include <cstddef>

class RecordLimit {
 public:
  // Successes at a size below one that timed out before that size is tried
  // again; doubled after each failed try, so a database that is slow for big
  // bodies costs a time-out only once in a while.
  static constexpr std::size_t kFirstProbeAfter = 8;
  static constexpr std::size_t kLongestProbeAfter = 256;

  // At most this many records per body; 0: no limit.
  std::size_t limit() const { return limit_; }

  // A body of `records` was refused or answered unreadably: one record may be
  // at fault, so halve. Growing back after that is quick: it was not the size.
  void refused(std::size_t records);
  // A body of `records` was sent and not answered in time: halve, and
  // remember that this size was too much.
  void timed_out(std::size_t records);
  // A body of `records` was stored.
  void stored(std::size_t records);

 private:
  std::size_t limit_ = 0;
  // The smallest body that timed out and has not been stored since; 0: none.
  std::size_t too_big_ = 0;
  // The size last stored since then (0: none yet): where a failed try
  // returns to.
  std::size_t good_ = 0;
  // Full bodies stored in a row since the last change of the limit.
  std::size_t successes_ = 0;
  std::size_t probe_after_ = kFirstProbeAfter;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_RECORD_LIMIT_H_
