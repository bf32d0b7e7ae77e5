#include "app/service_notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/service_status.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// A datagram socket standing in for the service manager, at a path of its own.
class FakeSupervisor {
 public:
  FakeSupervisor() {
    path_ = std::string("/tmp/notify-test-") + std::to_string(getpid()) + "-" +
            std::to_string(counter_++);
    unlink(path_.c_str());
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~FakeSupervisor() {
    close(socket_);
    unlink(path_.c_str());
  }
  const char* path() const { return path_.c_str(); }
  std::vector<std::string> received() {
    std::vector<std::string> messages;
    char buffer[512];
    ssize_t n;
    while ((n = recv(socket_, buffer, sizeof buffer, 0)) >= 0) {
      messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return messages;
  }

 private:
  static inline int counter_ = 0;
  std::string path_;
  int socket_ = -1;
};

TEST(ServiceNotifier, EnvironmentDecidesWhatIsSent) {
  struct Case {
    const char* socket;
    const char* usec;
    const char* pid;
    bool enabled;
    long long period_us;
  };
  const std::string self = std::to_string(getpid());
  const std::vector<Case> cases = {
      {nullptr, "1000000", nullptr, false, 0},  // not under a service manager
      {"/run/systemd/notify", nullptr, nullptr, true, 0},
      {"@abstract-name", "30000000", nullptr, true, 30000000},
      {"/run/notify", "30000000", self.c_str(), true, 30000000},
      {"/run/notify", "30000000", "1", true, 0},  // the watchdog is another process's
      {"/run/notify", "30s", nullptr, true, 0},   // not a number
      {"/run/notify", "0", nullptr, true, 0},
      {"relative/path", "1000000", nullptr, false, 0},
      {"@", "1000000", nullptr, false, 0},
      {"", nullptr, nullptr, false, 0},
  };
  for (const Case& c : cases) {
    ServiceNotifier notifier(c.socket, c.usec, c.pid, getpid());
    EXPECT_EQ(notifier.enabled(), c.enabled) << (c.socket ? c.socket : "(none)");
    EXPECT_EQ(notifier.watchdog_period().count(), c.period_us) << (c.socket ? c.socket : "(none)");
  }
  // sun_path holds 108 bytes: a longer name is refused, not cut.
  const std::string long_path = "/" + std::string(120, 'x');
  EXPECT_FALSE(ServiceNotifier(long_path.c_str(), nullptr, nullptr, getpid()).enabled());
}

TEST(ServiceNotifier, ReadyOnceThenStatusAndStopping) {
  FakeSupervisor supervisor;
  ServiceNotifier notifier(supervisor.path(), nullptr, nullptr, getpid());
  notifier.ready();
  notifier.ready();
  notifier.status("connected, delivering");
  notifier.stopping();
  EXPECT_EQ(supervisor.received(),
            (std::vector<std::string>{"READY=1", "STATUS=connected, delivering", "STOPPING=1"}));
}

TEST(ServiceNotifier, WatchdogPingsEveryQuarterPeriod) {
  FakeSupervisor supervisor;
  ServiceNotifier notifier(supervisor.path(), "4000000", nullptr, getpid());
  const ServiceNotifier::Clock::time_point t0{std::chrono::hours(1)};
  std::vector<int> pinged_at_ms;
  for (int ms = 0; ms <= 3000; ms += 250) {
    notifier.watchdog(t0 + milliseconds(ms));
    if (!supervisor.received().empty()) pinged_at_ms.push_back(ms);
  }
  EXPECT_EQ(pinged_at_ms, (std::vector<int>{0, 1000, 2000, 3000}));
}

TEST(ServiceNotifier, FailingSendIsIgnoredAndKeepsErrno) {
  ServiceNotifier notifier("/nonexistent/notify.sock", "1000000", nullptr, getpid());
  ASSERT_TRUE(notifier.enabled());
  errno = EAGAIN;
  notifier.ready();
  notifier.watchdog(ServiceNotifier::Clock::now());
  EXPECT_EQ(errno, EAGAIN);  // the caller's errno survives (mosquitto_strerror reads it)
}

TEST(ServiceStatus, Texts) {
  const auto at = ServiceState::WallClock::from_time_t(1700000000);  // 2023-11-14 22:13:20 UTC
  ServiceState connecting;
  ServiceState fine;
  fine.ever_connected = true;
  ServiceState broker = fine;
  broker.broker_lost = true;
  broker.broker_lost_since = at;
  ServiceState database = fine;
  database.database_down = true;
  database.database_down_since = at;
  database.records_pending = 12;
  ServiceState both = database;
  both.broker_lost = true;
  both.broker_lost_since = at;
  ServiceState unsubscribed = fine;
  unsubscribed.subscription_failed = true;
  unsubscribed.subscription_filter = "v1#";
  ServiceState all = both;
  all.subscription_failed = true;
  all.subscription_filter = "v1/#/#";
  ServiceState resubscribed = unsubscribed;  // the filter stays, the failure is over
  resubscribed.subscription_failed = false;
  EXPECT_EQ(status_text(connecting), "connecting to the broker");
  EXPECT_EQ(status_text(fine), "connected, delivering");
  EXPECT_EQ(status_text(broker), "broker lost since 2023-11-14 22:13:20 UTC");
  EXPECT_EQ(status_text(database),
            "database unreachable since 2023-11-14 22:13:20 UTC, 12 records pending");
  EXPECT_EQ(status_text(both),
            "broker lost since 2023-11-14 22:13:20 UTC; database unreachable since "
            "2023-11-14 22:13:20 UTC, 12 records pending");
  EXPECT_EQ(status_text(unsubscribed), "subscription failed: v1#");
  EXPECT_EQ(status_text(all),
            "broker lost since 2023-11-14 22:13:20 UTC; subscription failed: v1/#/#; database "
            "unreachable since 2023-11-14 22:13:20 UTC, 12 records pending");
  EXPECT_EQ(status_text(resubscribed), "connected, delivering");
  // After January 2038: the wall clock does not wrap on a 32-bit device.
  EXPECT_EQ(utc_text(ServiceState::WallClock::from_time_t(static_cast<time_t>(4102444800LL))),
            "2100-01-01 00:00:00 UTC");
}

TEST(ServiceStatus, ConditionChangesAtOnceCountsAtMostEveryTenSeconds) {
  ServiceState down;
  down.ever_connected = true;
  down.database_down = true;
  down.records_pending = 1;
  ServiceState more = down;
  more.records_pending = 2;
  ServiceState up = down;
  up.database_down = false;
  ServiceState unsubscribed = down;
  unsubscribed.subscription_failed = true;
  unsubscribed.subscription_filter = "v1#";
  ServiceState resubscribed = unsubscribed;
  resubscribed.subscription_failed = false;
  struct Case {
    const char* what;
    const ServiceState& last_sent;
    const ServiceState& now;
    std::chrono::steady_clock::duration since_last;
    bool worth_sending;
  };
  const std::vector<Case> cases = {
      {"database back", down, up, milliseconds(1), true},
      {"nothing new", down, down, std::chrono::seconds(60), false},
      {"count, soon", down, more, std::chrono::seconds(9), false},
      {"count, ten seconds on", down, more, std::chrono::seconds(10), true},
      {"subscription failed", down, unsubscribed, milliseconds(1), true},
      {"subscription still failed", unsubscribed, unsubscribed, std::chrono::seconds(60), false},
      {"subscribed again", unsubscribed, resubscribed, milliseconds(1), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(status_worth_sending(c.last_sent, c.now, c.since_last), c.worth_sending) << c.what;
  }
}

}  // namespace
