// Signal handling. The handler only sets flags; the main loop acts on them
// after each turn, so nothing unsafe ever runs in signal context.
#ifndef MQTT_INFLUX_BRIDGE_APP_SIGNALS_H_
#define MQTT_INFLUX_BRIDGE_APP_SIGNALS_H_

#include <csignal>

// On until SIGINT (or SIGTERM with -t) asks the main loop to stop. A second
// such signal once it is off ends the process at once.
extern volatile std::sig_atomic_t running;
// Set by SIGHUP; the main loop logs "SIGHUP received" and clears it.
extern volatile std::sig_atomic_t hangup_received;

void handle_signal(int signal_number);

// Ignores SIGPIPE, so that a write to a socket the broker has just closed
// fails with EPIPE (and is reconnected), and a line written to a standard
// output nobody reads any more is lost, instead of either killing the daemon.
// Called first thing in main, before anything is written.
void ignore_broken_pipes();

// Installs handle_signal for SIGINT and SIGHUP, and for SIGTERM when asked;
// otherwise SIGTERM keeps its default action.
void install_signal_handlers(bool catch_sigterm);

#endif  // MQTT_INFLUX_BRIDGE_APP_SIGNALS_H_
