#include "mqtt/resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <resolv.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "unique_fd.h"

// Everything libc's threads may touch for one lookup. Freed only when libc is
// done with it: dropped from libc's queue before it began (gai_cancel said
// EAI_CANCELED), or its completion notice read from `event_fd`. libc's helper
// thread stores the result and the status first and then starts the thread
// that writes the notice, so once the notice is in, nothing of libc's
// touches the block or the descriptor again. A lookup whose notice never
// comes (libc could not start the thread that sends it) is never freed.
struct NameLookup {
  std::string host;
  std::string service;
  addrinfo hints{};
  gaicb request{};
  UniqueFd event_fd;
  bool notice_read = false;
  // When gai_error first reported the lookup done while no notice had come.
  std::optional<std::chrono::steady_clock::time_point> done_unnoticed_since;

  NameLookup() = default;
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;
  ~NameLookup() {
    if (request.ar_result != nullptr) freeaddrinfo(request.ar_result);
  }
};

namespace {

// How long a lookup that libc reports done may go without its notice before
// it counts as failed; the notice normally follows within microseconds.
constexpr std::chrono::seconds kNoticeGrace{2};

// The completion notice. It runs on a thread libc starts for it and only
// writes the lookup's own eventfd, whose number it is given by value: it reads
// nothing of the main thread's. glibc starts that thread with no signal
// blocked; blocking them all first leaves the process's signals to the main
// loop (Linux offers a signal sent to the process to its main thread first
// anyway, when that thread does not block it).
void post_notice(sigval value) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  const std::uint64_t one = 1;
  while (write(value.sival_int, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// Reads the notice if it has come; true once it has.
bool notice_in(NameLookup& lookup) {
  if (!lookup.notice_read) {
    std::uint64_t count = 0;
    lookup.notice_read = read(lookup.event_fd.get(), &count, sizeof count) == sizeof count;
  }
  return lookup.notice_read;
}

// Lookups given up while libc may still work on them. Allocated once and
// never destroyed, so that a lookup still running at exit is not freed by the
// static destructors under libc's thread (and stays reachable: not a leak).
struct GivenUp {
  std::mutex mutex;
  std::vector<std::unique_ptr<NameLookup>> lookups;
};

GivenUp& given_up() {
  static GivenUp* const list = new GivenUp;
  return *list;
}

// Frees the given-up lookups libc is done with: the notice is in and libc
// no longer lists the request (gai_cancel takes libc's lock, so its helper
// has also left the step that sent the notice). Returns how many remain.
std::size_t free_completed(GivenUp& list) {
  auto& lookups = list.lookups;
  const auto done = [](const std::unique_ptr<NameLookup>& lookup) {
    return notice_in(*lookup) && gai_cancel(&lookup->request) != EAI_NOTCANCELED;
  };
  lookups.erase(std::remove_if(lookups.begin(), lookups.end(), done), lookups.end());
  return lookups.size();
}

// Ends our part in a lookup: frees it when libc is done with it (or never
// began it), otherwise keeps it until libc's notice has come.
void let_go(std::unique_ptr<NameLookup> lookup) {
  if (gai_cancel(&lookup->request) == EAI_CANCELED) return;  // never begun: no notice will come
  GivenUp& list = given_up();
  const std::lock_guard<std::mutex> lock(list.mutex);
  list.lookups.push_back(std::move(lookup));
  free_completed(list);
}

LookupOutcome failure(std::string reason) {
  LookupOutcome outcome;
  outcome.error = std::move(reason);
  return outcome;
}

std::string numeric_address(const addrinfo& entry) {
  char text[NI_MAXHOST] = "";
  if (getnameinfo(entry.ai_addr, entry.ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) !=
      0) {
    return "?";
  }
  return text;
}

}  // namespace

NameResolver::NameResolver() = default;

NameResolver::~NameResolver() { cancel(); }

bool NameResolver::start(const std::string& host, int port) {
  cancel();
  failed_to_start_.reset();
  auto lookup = std::make_unique<NameLookup>();
  lookup->event_fd.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!lookup->event_fd.valid()) {
    failed_to_start_ = failure(std::strerror(errno));
    return false;
  }
  lookup->host = host;
  lookup->service = std::to_string(port);
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_flags = AI_NUMERICSERV;
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_service = lookup->service.c_str();
  lookup->request.ar_request = &lookup->hints;

  sigevent notice{};
  notice.sigev_notify = SIGEV_THREAD;
  notice.sigev_notify_function = post_notice;
  notice.sigev_value.sival_int = lookup->event_fd.get();
  gaicb* requests[] = {&lookup->request};
  const int queued = getaddrinfo_a(GAI_NOWAIT, requests, 1, &notice);
  if (queued != 0) {
    failed_to_start_ = failure(queued == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(queued));
    // libc may have queued it all the same (its notice list failed) or may
    // still send a notice: let_go keeps it until that is settled.
    let_go(std::move(lookup));
    return false;
  }
  lookup_ = std::move(lookup);
  return true;
}

int NameResolver::fd() const { return lookup_ != nullptr ? lookup_->event_fd.get() : -1; }

std::optional<LookupOutcome> NameResolver::finish() {
  if (lookup_ == nullptr) return std::exchange(failed_to_start_, std::nullopt);
  NameLookup& lookup = *lookup_;
  // The notice, not gai_error alone, says the lookup is done: libc stores the
  // status after the result without a barrier, and only the notice orders
  // both before our reads. So the notice first, then the status.
  LookupOutcome outcome;
  const bool noticed = notice_in(lookup);
  const int status = gai_error(&lookup.request);
  if (noticed) {
    if (status == 0) {
      outcome.resolved = true;
      for (const addrinfo* entry = lookup.request.ar_result; entry != nullptr;
           entry = entry->ai_next) {
        outcome.addresses.push_back(numeric_address(*entry));
      }
    } else {
      outcome.error = gai_strerror(status);
    }
  } else if (status == EAI_INPROGRESS) {
    return std::nullopt;
  } else {
    // Done, but no notice yet: libc starts a thread to send it, and could
    // not when out of threads. Past a grace period the lookup counts as
    // failed (its result, unordered, is not read) and the caller tries again.
    const auto now = std::chrono::steady_clock::now();
    if (!lookup.done_unnoticed_since) lookup.done_unnoticed_since = now;
    if (now - *lookup.done_unnoticed_since < kNoticeGrace) return std::nullopt;
    outcome.error = gai_strerror(status != 0 ? status : EAI_SYSTEM);
  }
  let_go(std::move(lookup_));
  return outcome;
}

void NameResolver::cancel() {
  if (lookup_ != nullptr) let_go(std::move(lookup_));
}

std::size_t NameResolver::lookups_outstanding() {
  GivenUp& list = given_up();
  const std::lock_guard<std::mutex> lock(list.mutex);
  return free_completed(list);
}

bool bound_resolver_timeouts() {
  // res_init keeps values a program left in _res, and glibc then puts the
  // file's own settings back at the first lookup after the file changed
  // (seen with glibc 2.36 and a new file that sets no options: 10 s instead
  // of 1 s). With glibc's defaults back in _res first, the values below hold.
  _res.retrans = RES_TIMEOUT;
  _res.retry = RES_DFLRETRY;
  if (res_init() != 0) return false;
  _res.retrans = 1;  // seconds to wait for the first name server's answer
  _res.retry = 1;    // one round over the name servers
  return true;
}
