#include "app/signals.h"

#include <signal.h>

volatile std::sig_atomic_t running = 1;
volatile std::sig_atomic_t hangup_received = 0;

void handle_signal(int signal_number) {
  switch (signal_number) {
    case SIGINT:
    case SIGTERM:
      if (!running) {
        // A second request while the bridge is already stopping (its last
        // delivery attempt can take seconds): end at once, by the signal's
        // own default action. Both calls are async-signal-safe.
        signal(signal_number, SIG_DFL);
        raise(signal_number);
      }
      running = 0;
      break;
    case SIGHUP: hangup_received = 1; break;
    default: break;
  }
}

namespace {

// Without SA_RESTART, so that a signal interrupts the network loop's wait
// and the loop sees the flag at once.
void install(int signal_number, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

void ignore_broken_pipes() { install(SIGPIPE, SIG_IGN); }

void install_signal_handlers(bool catch_sigterm) {
  install(SIGINT, handle_signal);
  install(SIGHUP, handle_signal);
  if (catch_sigterm) install(SIGTERM, handle_signal);
}
