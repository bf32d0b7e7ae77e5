// Looking the broker's host name up without holding the main loop: glibc's
// getaddrinfo_a runs the lookup on a thread of libc's own, and a descriptor
// the loop polls becomes readable when it is done. The bridge's own code stays
// on one thread. Also the bound on the lookup libmosquitto makes itself.
#ifndef MQTT_INFLUX_BRIDGE_MQTT_RESOLVER_H_
#define MQTT_INFLUX_BRIDGE_MQTT_RESOLVER_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// How one lookup ended.
struct LookupOutcome {
  bool resolved = false;
  // When resolved: the addresses in the resolver's order, numeric ("127.0.0.1", "::1").
  std::vector<std::string> addresses;
  // When not: the resolver's reason (gai_strerror), or the system's when the
  // lookup could not begin.
  std::string error;
};

// One lookup, defined in resolver.cc: the request block libc's threads work on.
struct NameLookup;

// Resolves one host name at a time, for TCP (SOCK_STREAM) and any address
// family, as libmosquitto does when it connects. Use it from one thread (the
// main loop's). libc runs the lookup on a helper thread of its own and sends
// the completion notice from another; both block every signal, so the
// process's signals still reach the main loop.
//
// A lookup given up while libc still works on it (cancel(), a new start(), the
// destructor) is kept, request block and descriptor, until libc has sent its
// completion notice, and freed on a later call of any NameResolver: libc's
// thread never writes to freed memory, nor to a descriptor number that has
// been reused. Those still running when the process ends are left to the exit.
class NameResolver final {
 public:
  NameResolver();
  // Gives up a pending lookup (see cancel()); never waits for libc.
  ~NameResolver();
  NameResolver(const NameResolver&) = delete;
  NameResolver& operator=(const NameResolver&) = delete;

  // Begins looking `host` up for `port`, giving up a lookup still pending.
  // A numeric address or a name in /etc/hosts completes within moments, a
  // name the DNS must answer when it answers or its time-outs run out (the
  // resolver's own settings from /etc/resolv.conf). False when the lookup
  // could not begin (libc out of threads or memory); finish() then gives the
  // reason at once.
  bool start(const std::string& host, int port);

  // True from a start() that returned true until finish() returned the outcome or cancel().
  bool pending() const { return lookup_ != nullptr; }

  // A descriptor that becomes readable once the pending lookup has completed,
  // for poll(); -1 when none is pending. Each lookup has its own, so take it
  // afresh for every wait. Only poll it: finish() consumes it.
  int fd() const;

  // Never blocks. Nothing while the lookup runs or when none was begun;
  // otherwise its outcome, once (also the reason a start() returned false).
  // Call it when fd() is readable, and on every turn of the loop while
  // pending: a lookup libc reports done but whose notice has not come within
  // 2 s (libc could not start the thread that sends it) counts as failed.
  std::optional<LookupOutcome> finish();

  // Gives up the pending lookup, if any: libc drops it when it has not begun
  // yet, and otherwise finishes it unseen (see the class comment).
  void cancel();

  // Lookups given up while libc still worked on them and not yet freed, for
  // every NameResolver of the process (frees those that have completed first).
  static std::size_t lookups_outstanding();

 private:
  std::unique_ptr<NameLookup> lookup_;            // the pending one
  std::optional<LookupOutcome> failed_to_start_;  // finish()'s answer after a failed start()
};

// Bounds the DNS queries of the calling thread's own blocking lookups to one
// attempt of 1 s for each name server (so at most about 3 s: glibc uses 3
// servers at most), whatever /etc/resolv.conf asks (by default 5 s and two
// attempts each: 10 s with one server, 30 s with three, more with
// `options attempts:`). Call it on the thread that connects, before each
// connection attempt: libmosquitto looks the broker's name up there itself,
// blocking, and must be given the name, not an address (a certificate is
// checked against it), so that lookup cannot be moved to a NameResolver.
// After one that succeeded it is a second lookup and normally answered at
// once; this keeps it from holding the loop for long if the DNS has just
// gone silent. glibc keeps these settings per thread and stops following
// changes of /etc/resolv.conf for a thread whose settings were changed, so
// each call reads the file afresh first. False when the file could not be
// read (the thread's lookups then keep glibc's defaults).
bool bound_resolver_timeouts();

#endif  // MQTT_INFLUX_BRIDGE_MQTT_RESOLVER_H_
