// mqtt-influx-bridge: keeps one MQTT connection, turns every accepted message
// into one InfluxDB line-protocol record and posts it to the database at once.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/log.h"
#include "app/remote_setup.h"
#include "app/service_notify.h"
#include "app/service_status.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/spool_setup.h"
#include "mqtt/broker_access.h"
#include "mqtt/callbacks.h"
#include "mqtt/client.h"
#include "mqtt/resolver.h"
#include "texts.h"
#include "translate/intake.h"
#include "translate/record.h"
#include "writer/influx_writer.h"
#include "writer/posting_policy.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The pause between a lost connection and the next attempt.
constexpr milliseconds kReconnectPause{1000};
// The longest a loop turn waits when nothing happens: the keep-alive and the
// watchdog are looked after at least this often (a signal ends a wait at once).
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

// The library's text for a loop or connect result, and whether the TLS layer
// failed. It reads errno for MOSQ_ERR_ERRNO, so call it straight after the
// failing call. The TLS library's reasons are taken at every failure, so that
// none is left for a later one. Before the broker accepted the connection, a
// failure with such a reason is a failed handshake, whatever the library's
// code: a client certificate the broker refuses comes back as a failed read
// (MOSQ_ERR_ERRNO with EPROTO, or a lost connection).
struct ConnectionError {
  std::string text;
  bool tls = false;
};

ConnectionError connection_error(int result, bool tls_handshake_phase) {
  const int error_number = errno;
  ConnectionError error;
  error.text = result == MOSQ_ERR_KEEPALIVE ? std::string(texts::kKeepaliveExceeded)
                                            : std::string(mosquitto_strerror(result));
  const std::string reason = take_tls_failure_reason();
  const bool broken_off = result == MOSQ_ERR_CONN_LOST ||
                          (result == MOSQ_ERR_ERRNO && error_number == EPROTO);
  error.tls = result == MOSQ_ERR_TLS || (tls_handshake_phase && (broken_off || !reason.empty()) &&
                                         result != MOSQ_ERR_KEEPALIVE);
  if (error.tls) {
    error.text = mosquitto_strerror(MOSQ_ERR_TLS);
    if (!reason.empty()) error.text.append(" (").append(reason).append(")");
  }
  return error;
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

// At most this many MQTT packets are read in one turn (and for no longer than
// kMaxReadingTurn); more waiting are read in the next, after the transfer and
// the watchdog have had their look.
constexpr std::size_t kMaxPacketsPerTurn = 1000;

// The longest wait of one turn: a second, or a quarter of the watchdog
// period when that is shorter, so that two pings are never more than half
// the period apart.
int longest_wait_ms(std::chrono::microseconds watchdog_period) {
  const auto quarter = std::chrono::duration_cast<milliseconds>(watchdog_period / 4);
  if (watchdog_period.count() > 0 && quarter.count() < kLoopWaitMs) {
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(1, quarter.count()));
  }
  return kLoopWaitMs;
}

bool readable(int socket) {
  pollfd fd{socket, POLLIN, 0};
  return socket >= 0 && poll(&fd, 1, 0) > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// One turn of the MQTT side, after the wait said what the socket has: what
// is already waiting is read (many packets, not one per turn, so the
// broker's queue for the bridge drains as fast as it fills) until the turn's
// reading ends (see read_on), queued packets are written, and the
// keep-alive is looked after. Never blocks.
int drive_mqtt(mosquitto* client, short revents, milliseconds reading_budget) {
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    const Clock::time_point start = Clock::now();
    ReadingTurn turn;
    turn.packet_limit = kMaxPacketsPerTurn;
    turn.budget = reading_budget;
    do {
      const int result = mosquitto_loop_read(client, 1);
      if (result != MOSQ_ERR_SUCCESS) return result;
      if (!readable(mosquitto_socket(client))) break;
      const Clock::time_point now = Clock::now();
      ++turn.packets;
      turn.spent = now - start;
      turn.writer_due = influx_writer.next_due(now, true) <= now;
    } while (read_on(turn));
  }
  if (mosquitto_want_write(client)) {
    const int result = mosquitto_loop_write(client, 1);
    if (result != MOSQ_ERR_SUCCESS) return result;
  }
  return mosquitto_loop_misc(client);
}

milliseconds until(Clock::time_point deadline, Clock::time_point now) {
  return deadline <= now ? milliseconds(0)
                         : std::chrono::duration_cast<milliseconds>(deadline - now) + milliseconds(1);
}

// Where the broker connection stands.
enum class BrokerPhase {
  kResolving,   // the broker's name is being looked up, without blocking
  kConnected,   // a socket is in use: connecting, connected, or just lost
  kPausing,     // the pause before the next attempt
};

// The main loop: one wait for everything (the broker's socket, the name
// lookup, the database transfer's sockets, the next deadline), then the
// broker side and the writer's due work. Nothing in a turn blocks: the name
// is looked up on libc's thread, the connects are non-blocking and the
// transfer runs beside the intake, so the watchdog ping at the start of each
// turn proves the bridge is alive. Returns the exit status.
int run(mosquitto* client, int broker_port, bool tls, ServiceNotifier& notifier) {
  StatusReporter reporter(notifier);
  ServiceState state;
  NameResolver resolver;
  BrokerPhase phase = BrokerPhase::kResolving;
  resolver.start(settings.mqtt_host, broker_port);
  Clock::time_point reconnect_at{};
  const int longest_wait = longest_wait_ms(notifier.watchdog_period());
  const milliseconds reading_budget = std::min(kMaxReadingTurn, milliseconds(longest_wait));

  // A failed attempt: the first connection is not retried; later ones are,
  // after the pause. A failed TLS handshake is retried even the first time:
  // the broker's certificate is fixed on the broker, without touching the
  // bridge.
  auto attempt_failed = [&](const std::string& reason, const std::string& fatal_reason,
                            bool retried_from_the_first = false) {
    if (!session.ever_connected && !retried_from_the_first) {
      log_fatal(std::string(texts::kMosquittoConnectFailed) + fatal_reason);
      return false;
    }
    log_info(std::string(texts::kConnectionError) + reason);
    phase = BrokerPhase::kPausing;
    reconnect_at = Clock::now() + kReconnectPause;
    session.connected = false;
    return true;
  };

  while (running) {
    notifier.watchdog(Clock::now());

    pollfd fds[1] = {};
    std::size_t count = 0;
    int wait_ms = longest_wait;
    if (phase == BrokerPhase::kPausing) {
      wait_ms = static_cast<int>(std::min<long>(wait_ms, until(reconnect_at, Clock::now()).count()));
    } else if (phase == BrokerPhase::kResolving) {
      if (resolver.fd() >= 0) fds[count++] = {resolver.fd(), POLLIN, 0};
    } else if (const int socket = mosquitto_socket(client); socket >= 0) {
      fds[count++] = {socket, static_cast<short>(POLLIN | (mosquitto_want_write(client) ? POLLOUT : 0)), 0};
    }
    influx_writer.wait(fds, count, wait_ms);
    report_hangup();
    if (!running) break;

    if (phase == BrokerPhase::kPausing) {
      if (Clock::now() >= reconnect_at) {
        resolver.start(settings.mqtt_host, broker_port);
        phase = BrokerPhase::kResolving;
      }
    } else if (phase == BrokerPhase::kResolving) {
      // Looked at after every wait: finish() also tells a lookup whose
      // notice never came.
      if (const std::optional<LookupOutcome> lookup = resolver.finish()) {
        if (!lookup->resolved) {
          if (!attempt_failed(lookup->error, connection_error(MOSQ_ERR_EAI, false).text)) return 1;
        } else {
          // The library looks the name up again itself, blocking; it keeps
          // the name the user gave (a certificate is checked against it).
          // Just answered, that lookup is quick; bounded, it cannot hold
          // the loop for long if the DNS has just gone silent.
          bound_resolver_timeouts();
          // Non-blocking: a broker host that drops packets cannot hold the
          // loop; such a connect fails in a later turn, which reports it.
          // One refused at once is reported here, with its own reason.
          const int connected =
              session.ever_connected
                  ? mosquitto_reconnect_async(client)
                  : mosquitto_connect_async(client, settings.mqtt_host.c_str(), broker_port,
                                            kKeepAliveSeconds);
          if (connected == MOSQ_ERR_SUCCESS) {
            phase = BrokerPhase::kConnected;
          } else {
            const ConnectionError error = connection_error(connected, tls);
            if (!attempt_failed(error.text, error.text, error.tls)) return 1;
          }
        }
      }
    } else {
      const bool handshake_phase = tls && !session.connected;
      const int result = drive_mqtt(client, count > 0 ? fds[0].revents : POLLIN, reading_budget);
      const ConnectionError error =
          result != MOSQ_ERR_SUCCESS ? connection_error(result, handshake_phase) : ConnectionError{};
      if (session.refused_code != 0) {
        log_info(std::string(texts::kConnectionRefused) +
                 mosquitto_connack_string(session.refused_code));
        notifier.stopping();
        influx_writer.flush_at_shutdown();
        return 1;
      }
      if (session.ever_connected) {
        notifier.ready();  // once: the first CONNACK is in and the subscription sent
        state.ever_connected = true;
      }
      if (result != MOSQ_ERR_SUCCESS && running &&
          !attempt_failed(error.text, error.text, error.tls)) {
        return 1;
      }
    }

    influx_writer.run_due_work();

    if (session.connected) {
      state.broker_lost = false;
    } else if (state.ever_connected && !state.broker_lost) {
      state.broker_lost = true;
      state.broker_lost_since = ServiceState::WallClock::now();
    }
    state.subscription_failed = session.subscription_failed;
    if (state.subscription_failed) {
      state.subscription_filter = session.failed_filter;
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
  const std::optional<std::string> client_id =
      resolve_client_id(settings.client_id, texts::kIdentityFile);
  if (!client_id) {
    log_fatal(std::string(texts::kIdentityUnusable) + texts::kIdentityFile +
              std::string(texts::kIdentityFileNotRegular));
    return 1;
  }
  settings.client_id = *client_id;
  log_trace(std::string(texts::kTimestampPrecision) + settings.precision);
  if (const std::optional<std::string> fault = identity_fault(settings.client_id)) {
    // Better no bridge than one that writes corrupt points, or none, for years.
    log_fatal(std::string(texts::kIdentityUnusable) + *fault);
    return 1;
  }
  // Every remote option and its files are checked before any connection.
  RemoteSetup remote;
  if (const std::optional<std::string> fault = prepare_remote_setup(
          settings, std::getenv(texts::kCredentialsDirectoryVariable), remote)) {
    log_fatal(*fault);
    return 1;
  }
  for (const std::string& warning : remote.warnings) log_info(warning);
  if (const std::optional<std::string> fault = prepare_json_filters(settings, json_filters)) {
    log_fatal(*fault);
    return 1;
  }
  // The spool is opened and locked here, so a second bridge on the same
  // directory stops before it connects anywhere.
  std::unique_ptr<Spool> spool;
  if (const std::optional<std::string> fault = open_spool(settings, spool)) {
    log_fatal(*fault);
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

  MosquittoClient client(settings.client_id, settings.mqtt_persistent_session);
  if (client.get() == nullptr) {
    log_fatal(texts::kMosquittoNewFailed);
    return 1;
  }
  mosquitto_connect_callback_set(client.get(), on_connect);
  mosquitto_disconnect_callback_set(client.get(), on_disconnect);
  mosquitto_subscribe_callback_set(client.get(), on_subscribe);
  mosquitto_message_callback_set(client.get(), on_message);
  if (remote.broker.tls) mosquitto_log_callback_set(client.get(), on_library_log);
  if (std::string why; !apply_broker_access(client.get(), remote.broker, why)) {
    log_fatal(std::string(texts::kMqttTlsSetupFailed) + why);
    return 1;
  }

  // No message can arrive before the CONNACK and the subscription, so the
  // writer has its settings before the first record. The first connection
  // is made by the main loop, after a lookup that does not block it.
  influx_writer.base_url = remote.base_url;
  influx_writer.database = remote.database_query;
  influx_writer.retention_policy = remote.retention_policy_query;
  influx_writer.precision = settings.precision;
  influx_writer.configure_transport(remote.database);
  if (spool != nullptr) influx_writer.use_spool(std::move(spool));

  // More packets already waiting on the socket join the pending records'
  // body instead of each waiting for a POST of its own. With TLS, packets
  // already decrypted are read by the same loop_read call (libmosquitto
  // reads on while the TLS layer holds data), so the socket is still the
  // place to ask.
  mosquitto* const handle = client.get();
  influx_writer.set_more_waiting([handle] {
    pollfd socket{mosquitto_socket(handle), POLLIN, 0};
    return socket.fd >= 0 && poll(&socket, 1, 0) > 0 && (socket.revents & POLLIN) != 0;
  });

  ServiceNotifier notifier = ServiceNotifier::from_environment();
  return run(client.get(), remote.broker.port, remote.broker.tls, notifier);
}
