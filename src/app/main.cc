// mqtt-influx-bridge: keeps one MQTT connection, turns every accepted message
// into one InfluxDB line-protocol record and posts it to the database at once.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/log.h"
#include "app/settings.h"
#include "app/signals.h"
#include "mqtt/callbacks.h"
#include "mqtt/client.h"
#include "texts.h"
#include "translate/intake.h"
#include "writer/influx_writer.h"

namespace {

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

}  // namespace

int main(int argc, char* argv[]) {
  if (!parse_command_line(argc, argv, settings)) {
    print_usage(argc > 0 ? argv[0] : nullptr);
    return 1;
  }
  settings.client_id = resolve_client_id(settings.client_id, texts::kIdentityFile);
  log_trace(std::string(texts::kTimestampPrecision) + settings.precision);
  install_signal_handlers(settings.catch_sigterm);

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

  const int connected =
      mosquitto_connect(client.get(), settings.mqtt_host.c_str(), kBrokerPort, kKeepAliveSeconds);
  if (connected != MOSQ_ERR_SUCCESS) {
    log_fatal(std::string(texts::kMosquittoConnectFailed) + mosquitto_strerror(connected));
    return 1;
  }

  influx_writer.host = settings.influx_host;
  influx_writer.database = settings.database;
  influx_writer.precision = settings.precision;

  int result = 0;
  while (running) {
    // Waits at most the library's default second, so pending records are
    // retried and signals are seen at least once a second.
    result = mosquitto_loop(client.get(), -1, 1);
    report_hangup();
    if (!running) break;
    if (result != MOSQ_ERR_SUCCESS) {
      log_info(std::string(texts::kConnectionError) + mosquitto_strerror(result));
      sleep(1);
      report_hangup();
      mosquitto_reconnect(client.get());
    }
    influx_writer.retry_pending();
  }
  influx_writer.flush_at_shutdown();
  return result;
}
