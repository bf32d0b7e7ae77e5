#include "app/service_notify.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "text_checks.h"

namespace {

// A variable's value as a number; nothing when unset or anything else.
std::optional<std::uint64_t> number_in(const char* variable) {
  return variable != nullptr ? parse_unsigned<std::uint64_t>(variable) : std::nullopt;
}

}  // namespace

ServiceNotifier::ServiceNotifier(const char* notify_socket, const char* watchdog_usec,
                                 const char* watchdog_pid, pid_t self) {
  if (notify_socket == nullptr) return;
  const std::size_t length = std::strlen(notify_socket);
  const bool abstract = length > 0 && notify_socket[0] == '@';
  // A path must be absolute; either form must fit sun_path (an abstract name
  // needs no terminating NUL, a path does).
  if (length < 2 || (!abstract && notify_socket[0] != '/') ||
      length + (abstract ? 0 : 1) > sizeof address_.sun_path) {
    return;
  }
  address_.sun_family = AF_UNIX;
  std::memcpy(address_.sun_path, notify_socket, length);
  if (abstract) address_.sun_path[0] = '\0';
  address_length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                           (abstract ? 0 : 1));
  // Non-blocking: a supervisor that does not read must never stall the loop.
  socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket_.valid()) return;

  const std::optional<std::uint64_t> pid = number_in(watchdog_pid);
  const std::optional<std::uint64_t> usec = number_in(watchdog_usec);
  const bool for_us = watchdog_pid == nullptr || (pid && *pid == static_cast<std::uint64_t>(self));
  if (for_us && usec && *usec > 0) {
    watchdog_period_ = std::chrono::microseconds(static_cast<std::int64_t>(*usec));
  }
}

ServiceNotifier ServiceNotifier::from_environment() {
  return ServiceNotifier(std::getenv("NOTIFY_SOCKET"), std::getenv("WATCHDOG_USEC"),
                         std::getenv("WATCHDOG_PID"), getpid());
}

void ServiceNotifier::ready() {
  if (ready_sent_) return;
  ready_sent_ = true;
  send("READY=1");
}

void ServiceNotifier::stopping() { send("STOPPING=1"); }

void ServiceNotifier::status(std::string_view text) {
  std::string message = "STATUS=";
  message.append(text);
  send(message);
}

void ServiceNotifier::watchdog(Clock::time_point now) {
  if (watchdog_period_.count() == 0 || !enabled()) return;
  if (last_ping_ != Clock::time_point{} && now - last_ping_ < watchdog_period_ / 4) return;
  last_ping_ = now;
  send("WATCHDOG=1");
}

void ServiceNotifier::send(std::string_view message) {
  if (!socket_.valid()) return;
  const int saved_errno = errno;  // callers may still want theirs
  (void)::sendto(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address_), address_length_);
  errno = saved_errno;
}
