// The service manager's notification protocol (systemd's sd_notify), spoken
// with plain libc calls: one datagram per message to the Unix socket named by
// NOTIFY_SOCKET. Without that variable every call does nothing, and a send
// that fails is ignored: the bridge never depends on its supervisor.
#ifndef MQTT_INFLUX_BRIDGE_APP_SERVICE_NOTIFY_H_
#define MQTT_INFLUX_BRIDGE_APP_SERVICE_NOTIFY_H_

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "unique_fd.h"

class ServiceNotifier final {
 public:
  using Clock = std::chrono::steady_clock;

  // From NOTIFY_SOCKET (a path, or an abstract name starting with "@"),
  // WATCHDOG_USEC and WATCHDOG_PID; `self` is this process's pid.
  ServiceNotifier(const char* notify_socket, const char* watchdog_usec, const char* watchdog_pid,
                  pid_t self);
  static ServiceNotifier from_environment();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  bool enabled() const { return socket_.valid(); }

  // READY=1, once; later calls do nothing.
  void ready();
  // STOPPING=1, once an orderly stop begins.
  void stopping();
  // STATUS=<text>; the caller decides when the state has changed.
  void status(std::string_view text);

  // The watchdog period asked for (WATCHDOG_USEC, for this pid), zero if none.
  std::chrono::microseconds watchdog_period() const { return watchdog_period_; }
  // WATCHDOG=1 when a quarter of the period has passed since the last ping.
  // Called from the main loop at the start of every turn, so a ping means the
  // loop is turning; with every step of a turn shorter than a quarter of the
  // period, two pings are never more than half the period apart.
  void watchdog(Clock::time_point now);

 private:
  void send(std::string_view message);

  UniqueFd socket_;
  sockaddr_un address_{};
  socklen_t address_length_ = 0;
  bool ready_sent_ = false;
  std::chrono::microseconds watchdog_period_{0};
  Clock::time_point last_ping_{};
};

#endif  // MQTT_INFLUX_BRIDGE_APP_SERVICE_NOTIFY_H_
