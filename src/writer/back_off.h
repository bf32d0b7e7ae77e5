// When the next POST may be tried after failures: 1 s after the first, then
// doubling up to 30 s, so a dead database costs one short attempt now and
// then instead of a time-out on every message.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_BACK_OFF_H_
#define MQTT_INFLUX_BRIDGE_WRITER_BACK_OFF_H_

#include <algorithm>
#include <chrono>

class BackOff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstDelay{1000};
  static constexpr std::chrono::milliseconds kLongestDelay{30000};

  bool due(Clock::time_point now) const { return now >= next_attempt_; }
  // `asked`: what the server asked to be left alone for (Retry-After); the
  // next attempt waits for it too, but never longer than kLongestDelay.
  void failed(Clock::time_point now,
              std::chrono::milliseconds asked = std::chrono::milliseconds{0}) {
    delay_ = delay_.count() == 0 ? kFirstDelay : std::min(delay_ * 2, kLongestDelay);
    next_attempt_ = now + std::max(delay_, std::min(asked, kLongestDelay));
  }
  void succeeded() {
    delay_ = std::chrono::milliseconds{0};
    next_attempt_ = Clock::time_point{};
  }
  std::chrono::milliseconds delay() const { return delay_; }
  Clock::time_point next_attempt() const { return next_attempt_; }

 private:
  std::chrono::milliseconds delay_{0};
  Clock::time_point next_attempt_{};
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_BACK_OFF_H_
