// mqtt-influx-bridge: keeps one MQTT connection, turns every accepted message
// into one InfluxDB line-protocol record and posts it to the database at once.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "app/log.h"
#include "app/service_notify.h"
#include "app/service_status.h"
#include "app/settings.h"
#include "app/signals.h"
#include "mqtt/callbacks.h"
#include "mqtt/client.h"
#include "texts.h"
#include "translate/intake.h"
#include "translate/record.h"
#include "writer/influx_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The pause between a lost connection and the next attempt.
constexpr milliseconds kReconnectPause{1000};
// The longest a loop turn waits for network traffic; pending records are
// retried and signals are seen at least this often.
constexpr int kLoopWaitMs = 1000;

void print_usage(const char* program) {
  std::printf("%.*s%s\n", static_cast<int>(texts::kUsagePrefix.size()), texts::kUsagePrefix.data(),
              program != nullptr ? program : "");
  std::fflush(stdout);
}

// Writes the "SIGHUP received" line the handler could not write safely itself.
void report_hangup() {
  if (hangup_received) {
    hangup_received = 0;
    log_info(texts::kSighupReceived);
  }
}

// The library's text for a loop or connect result. It reads errno for
// MOSQ_ERR_ERRNO, so call it straight after the failing call.
std::string connection_error_text(int result) {
  if (result == MOSQ_ERR_KEEPALIVE) return std::string(texts::kKeepaliveExceeded);
  return mosquitto_strerror(result);
}

// Sleeps until `deadline`; a signal cuts a sleep short but not the pause,
// unless it asks the bridge to stop.
void pause_until(Clock::time_point deadline) {
  while (running) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(ns / 1000000000);
    wait.tv_nsec = static_cast<long>(ns % 1000000000);
    nanosleep(&wait, nullptr);
    report_hangup();
  }
}

// Tells the service manager about the connection and the database, when that changed.
class StatusReporter {
 public:
  explicit StatusReporter(ServiceNotifier& notifier) : notifier_(notifier) {}

  void update(const ServiceState& state) {
    if (!notifier_.enabled()) return;
    const auto now = Clock::now();
    if (sent_once_ && !status_worth_sending(last_, state, now - sent_at_)) return;
    notifier_.status(status_text(state));
    last_ = state;
    sent_at_ = now;
    sent_once_ = true;
  }

 private:
  ServiceNotifier& notifier_;
  ServiceState last_;
  Clock::time_point sent_at_{};
  bool sent_once_ = false;
};

// The main loop: turns the network loop, reconnects after a pause when the
// connection is lost, retries pending records, and keeps the service manager
// informed. Every step of a turn is bounded (a loop wait of 1 s, at most one
// transfer of 5 s, a non-blocking connect), so the watchdog ping at the start
// of each turn proves the bridge is alive. Returns the exit status.
int run(mosquitto* client, ServiceNotifier& notifier) {
  StatusReporter reporter(notifier);
  ServiceState state;
  bool waiting_to_reconnect = false;
  Clock::time_point reconnect_at{};

  while (running) {
    notifier.watchdog(Clock::now());
    influx_writer.begin_turn();

    if (waiting_to_reconnect) {
      pause_until(reconnect_at);
      if (!running) break;
      // Non-blocking: a broker host that drops packets cannot hold the loop;
      // such a connect fails in a later loop call, which reports it. One
      // refused at once is reported here, with its own reason.
      const int reconnected = mosquitto_reconnect_async(client);
      if (reconnected == MOSQ_ERR_SUCCESS) {
        waiting_to_reconnect = false;
      } else {
        log_info(std::string(texts::kConnectionError) + connection_error_text(reconnected));
        reconnect_at = Clock::now() + kReconnectPause;
      }
    } else {
      const int wait_ms = influx_writer.has_due_work() ? 0 : kLoopWaitMs;
      const int result = mosquitto_loop(client, wait_ms, 1);
      const std::string reason = result != MOSQ_ERR_SUCCESS ? connection_error_text(result) : "";
      report_hangup();
      if (session.refused_code != 0) {
        log_info(std::string(texts::kConnectionRefused) +
                 mosquitto_connack_string(session.refused_code));
        notifier.stopping();
        influx_writer.flush_at_shutdown();
        return 1;
      }
      if (result != MOSQ_ERR_SUCCESS && !session.ever_connected) {
        // The first connection is not retried.
        log_fatal(std::string(texts::kMosquittoConnectFailed) + reason);
        return 1;
      }
      if (session.ever_connected) {
        notifier.ready();  // once: the first CONNACK is in and the subscription sent
        state.ever_connected = true;
      }
      if (!running) break;
      if (result != MOSQ_ERR_SUCCESS) {
        log_info(std::string(texts::kConnectionError) + reason);
        waiting_to_reconnect = true;
        reconnect_at = Clock::now() + kReconnectPause;
        session.connected = false;
      }
    }

    influx_writer.retry_pending();

    if (session.connected) {
      state.broker_lost = false;
    } else if (state.ever_connected && !state.broker_lost) {
      state.broker_lost = true;
      state.broker_lost_since = ServiceState::WallClock::now();
    }
    state.subscription_failed = session.subscription_failed;
    if (state.subscription_failed) {
      state.subscription_filter = subscription_filter(settings.topic_prefix);
    }
    state.database_down = influx_writer.in_outage();
    state.database_down_since = influx_writer.outage_since();
    state.records_pending = influx_writer.pending_records();
    reporter.update(state);
  }

  notifier.stopping();
  influx_writer.flush_at_shutdown();
  return 0;  // an orderly stop, whatever the connection was doing
}

}  // namespace

int main(int argc, char* argv[]) {
  ignore_broken_pipes();  // before the first line: its reader may be gone already
  if (!parse_command_line(argc, argv, settings)) {
    print_usage(argc > 0 ? argv[0] : nullptr);
    return 1;
  }
  settings.client_id = resolve_client_id(settings.client_id, texts::kIdentityFile);
  log_trace(std::string(texts::kTimestampPrecision) + settings.precision);
  if (const std::optional<std::string> fault = identity_fault(settings.client_id)) {
    // Better no bridge than one that writes corrupt points, or none, for years.
    log_fatal(std::string(texts::kIdentityUnusable) + *fault);
    return 1;
  }
  install_signal_handlers(settings.catch_sigterm);
  if (!influx_writer.ready()) {
    // A bridge that acknowledged messages it can never deliver would lose them all.
    log_fatal(texts::kCurlUnavailable);
    return 1;
  }

  MosquittoLibrary library;
  if (debug_enabled()) {
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    log_debug(std::string(texts::kLibmosquittoVersion) + std::to_string(major) + "." +
              std::to_string(minor) + "." + std::to_string(revision));
  }

  MosquittoClient client(settings.client_id);
  if (client.get() == nullptr) {
    log_fatal(texts::kMosquittoNewFailed);
    return 1;
  }
  mosquitto_connect_callback_set(client.get(), on_connect);
  mosquitto_disconnect_callback_set(client.get(), on_disconnect);
  mosquitto_subscribe_callback_set(client.get(), on_subscribe);
  mosquitto_message_callback_set(client.get(), on_message);

  // Non-blocking, like every later reconnect: a refusal shows at once here,
  // a broker that never answers in the loop within the keep-alive.
  const int connected = mosquitto_connect_async(client.get(), settings.mqtt_host.c_str(),
                                                kBrokerPort, kKeepAliveSeconds);
  if (connected != MOSQ_ERR_SUCCESS) {
    log_fatal(std::string(texts::kMosquittoConnectFailed) + connection_error_text(connected));
    return 1;
  }

  // No message can arrive before the CONNACK and the subscription, so the
  // writer has its settings before the first record.
  influx_writer.host = settings.influx_host;
  influx_writer.database = settings.database;
  influx_writer.precision = settings.precision;

  // More packets already waiting on the socket join the pending records'
  // body instead of each waiting for a POST of its own. No TLS: the kernel's
  // buffer is the only place they can wait.
  mosquitto* const handle = client.get();
  influx_writer.set_more_waiting([handle] {
    pollfd socket{mosquitto_socket(handle), POLLIN, 0};
    return socket.fd >= 0 && poll(&socket, 1, 0) > 0 && (socket.revents & POLLIN) != 0;
  });

  ServiceNotifier notifier = ServiceNotifier::from_environment();
  return run(client.get(), notifier);
}
