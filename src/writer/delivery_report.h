// Where the writer's lines are logged: the outage episode (one line when the
// database stops answering, one when it answers again), records refused or
// given up on, records dropped at the cap, and the snapshot the service
// manager's status line is made from. The clocks are passed in.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_DELIVERY_REPORT_H_
#define MQTT_INFLUX_BRIDGE_WRITER_DELIVERY_REPORT_H_

#include <chrono>
#include <cstddef>
#include <string>

#include "writer/delivery_state.h"
#include "writer/spool_queue.h"

class DeliveryReport {
 public:
  using Clock = std::chrono::steady_clock;
  using WallClock = std::chrono::system_clock;
  // At most one outage line pair, and one line of records dropped at the
  // cap, in this time: a flapping database or a flood does not flood the log.
  static constexpr std::chrono::seconds kLineInterval{60};

  // Puts a body's outcome into words; `pending` is what is left after it.
  void body_outcome(const BodyOutcome& outcome, std::size_t pending, Clock::time_point now,
                    WallClock::time_point wall_now);
  // A POST that could not even start (libcurl's set-up, memory).
  void not_started(const std::string& reason, std::size_t pending, Clock::time_point now,
                   WallClock::time_point wall_now);
  // Records the cap dropped to make room.
  void dropped_at_cap(std::size_t records, Clock::time_point now);
  // Writes the lines held back by the interval once it has passed.
  void tick(Clock::time_point now, std::size_t pending);
  // Shutdown: whatever is still held back.
  void flush_dropped();

  // The spool: what it held at start-up, and what happened to it since
  // (records it dropped at its bound count with those dropped at the cap).
  void spool_opened(std::uint64_t records);
  void spool_events(const SpoolEvents& events, Clock::time_point now);

  bool in_outage() const { return episode_open_; }
  WallClock::time_point outage_since() const { return episode_since_wall_; }

 private:
  void failed(const std::string& reason, std::size_t pending, Clock::time_point now,
              WallClock::time_point wall_now);
  void delivered(std::size_t records, std::size_t pending, Clock::time_point now);
  void begin_line(std::size_t pending, Clock::time_point now);
  void report_dropped(Clock::time_point now);

  // The outage episode: from a failure that says the database is not
  // answering to the next body it stores. Its first line waits while the
  // last one is less than kLineInterval old (a flapping database); its last
  // line is written only if its first was.
  bool episode_open_ = false;
  bool episode_reported_ = false;
  std::string episode_reason_;
  Clock::time_point episode_since_{};
  WallClock::time_point episode_since_wall_{};
  bool begin_line_written_ = false;
  Clock::time_point last_begin_line_{};
  // Records dropped at the cap and not yet logged.
  std::size_t dropped_unreported_ = 0;
  bool drop_line_written_ = false;
  Clock::time_point last_drop_line_{};
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_DELIVERY_REPORT_H_
