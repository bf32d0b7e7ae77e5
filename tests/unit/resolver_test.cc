#include "mqtt/resolver.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../support/private_names.h"

namespace {

using Clock = std::chrono::steady_clock;
using private_names::require;

// Waits up to timeout_ms for the lookup's descriptor, then takes the outcome.
std::optional<LookupOutcome> wait_outcome(NameResolver& resolver, int timeout_ms) {
  pollfd wait{resolver.fd(), POLLIN, 0};
  if (poll(&wait, 1, timeout_ms) <= 0) return std::nullopt;
  return resolver.finish();
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
  return text;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls until no given-up lookup is left; false after timeout_ms.
bool all_lookups_freed(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (NameResolver::lookups_outstanding() != 0) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::set<std::string> thread_ids() {
  std::set<std::string> ids;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] != '.') ids.insert(entry->d_name);
    }
    closedir(tasks);
  }
  return ids;
}

// Whether thread `id` of this process blocks `signal_number` (or has ended).
bool blocks(const std::string& id, int signal_number) {
  std::ifstream status("/proc/self/task/" + id + "/status");
  if (!status) return true;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) {
      const std::uint64_t mask = std::stoull(line.substr(7), nullptr, 16);
      return ((mask >> (signal_number - 1)) & 1u) != 0;
    }
  }
  return false;
}

// Runs `scenario` in a forked child inside private names (see
// private_names.h); the child ends with status 0 when every check held, and
// otherwise says which failed.
void in_private_names(const private_names::Files& files,
                      const std::function<void(private_names::DeadServers&)>& scenario) {
  EXPECT_EXIT(
      {
        private_names::enter(files);
        private_names::DeadServers servers(files.dead_servers);
        scenario(servers);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

#define SKIP_WITHOUT_NAMESPACES()                                                               \
  do {                                                                                          \
    if (!private_names::possible()) {                                                           \
      GTEST_SKIP() << "no private mount and network namespaces here (root or user namespaces)"; \
    }                                                                                           \
  } while (false)

TEST(NameResolver, NumericAddressesResolveWithoutAnyNameService) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"127.0.0.1", "127.0.0.1"}, {"::1", "::1"}, {"192.0.2.7", "192.0.2.7"}};
  for (const auto& [host, address] : cases) {
    SCOPED_TRACE(host);
    NameResolver resolver;
    ASSERT_TRUE(resolver.start(host, 1883));
    EXPECT_TRUE(resolver.pending());
    const std::optional<LookupOutcome> outcome = wait_outcome(resolver, 5000);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->resolved) << outcome->error;
    EXPECT_EQ(outcome->addresses, std::vector<std::string>{address});
    EXPECT_FALSE(resolver.pending());
    EXPECT_EQ(resolver.fd(), -1);
    EXPECT_FALSE(resolver.finish().has_value());  // the outcome comes once
  }
  EXPECT_TRUE(all_lookups_freed(5000));
}

TEST(NameResolver, NothingToFinishBeforeAStart) {
  NameResolver resolver;
  EXPECT_FALSE(resolver.pending());
  EXPECT_EQ(resolver.fd(), -1);
  EXPECT_FALSE(resolver.finish().has_value());
  resolver.cancel();  // nothing to give up
  EXPECT_FALSE(resolver.finish().has_value());
}

// The suites named ...DeathTest run first, while the process has one thread:
// only then can the forked child enter namespaces.

TEST(NameResolverDeathTest, NamesInTheHostsFileResolveWithoutAskingTheDns) {
  SKIP_WITHOUT_NAMESPACES();
  private_names::Files files;
  files.hosts += "127.0.0.1 broker.lan\n";
  in_private_names(files, [](private_names::DeadServers& servers) {
    const std::vector<std::pair<std::string, std::set<std::string>>> cases = {
        {"localhost", {"127.0.0.1", "::1"}},
        {"broker.lan", {"127.0.0.1"}},
        {"127.0.0.1", {"127.0.0.1"}},
    };
    for (const auto& [host, expected] : cases) {
      NameResolver resolver;
      require(resolver.start(host, 1883), host + ": start failed");
      const std::optional<LookupOutcome> outcome = wait_outcome(resolver, 5000);
      require(outcome.has_value(), host + ": no outcome within 5 s");
      require(outcome->resolved, host + ": " + outcome->error);
      const std::set<std::string> got(outcome->addresses.begin(), outcome->addresses.end());
      require(got == expected, host + ": addresses " + joined(outcome->addresses));
    }
    require(servers.take_queries("127.0.0.1", 0) == 0, "a lookup asked the DNS");
  });
}

TEST(NameResolverDeathTest, UnknownNameFailsWithTheResolversReason) {
  SKIP_WITHOUT_NAMESPACES();
  struct Case {
    const char* nsswitch;
    int status;     // what the resolver says
    bool asks_dns;  // the lookup goes to the (dead) name server, and waits for it
  };
  const Case cases[] = {
      {"hosts: files\n", EAI_NONAME, false},
      {"hosts: files dns\n", EAI_AGAIN, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nsswitch);
    private_names::Files files;
    files.nsswitch = c.nsswitch;
    files.resolv_conf = "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n";
    in_private_names(files, [&c](private_names::DeadServers& servers) {
      const std::set<std::string> threads_before = thread_ids();
      NameResolver resolver;
      require(resolver.start("absent.lan", 1883), "start failed");
      if (c.asks_dns) {
        require(servers.take_queries("127.0.0.1", 5000) > 0, "no query reached the name server");
        // The server never answers: the lookup is still pending.
        pollfd wait{resolver.fd(), POLLIN, 0};
        require(poll(&wait, 1, 200) == 0, "the lookup completed without an answer");
        require(!resolver.finish().has_value() && resolver.pending(), "finish() while pending");
        // libc's threads leave every signal to the main loop.
        for (const std::string& id : thread_ids()) {
          if (threads_before.count(id) != 0) continue;
          for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            require(blocks(id, signal_number),
                    "libc's thread " + id + " takes signal " + std::to_string(signal_number));
          }
        }
      }
      const std::optional<LookupOutcome> outcome = wait_outcome(resolver, 10000);
      require(outcome.has_value(), "no outcome within 10 s");
      require(!outcome->resolved, "resolved to " + joined(outcome->addresses));
      require(outcome->error == gai_strerror(c.status), "reason: " + outcome->error);
    });
  }
}

// A lookup given up while libc's thread still runs it (the name server never
// answers; libc gives up after 2 s) stays allocated, descriptor and all, until
// libc is done, and is freed then. Were its descriptor closed early, the
// socket pair made afterwards would take its number and receive libc's late
// notice.
TEST(NameResolverDeathTest, LookupGivenUpWhilePendingIsFreedOnlyOnceLibcIsDone) {
  SKIP_WITHOUT_NAMESPACES();
  struct Case {
    const char* name;
    std::function<void(std::optional<NameResolver>&)> give_up;
  };
  const std::vector<Case> cases = {
      {"cancel", [](std::optional<NameResolver>& r) { r->cancel(); }},
      {"start again", [](std::optional<NameResolver>& r) { r->start("broker.lan", 1883); }},
      {"destroy", [](std::optional<NameResolver>& r) { r.reset(); }},
  };
  private_names::Files files;
  files.hosts += "127.0.0.1 broker.lan\n";
  files.resolv_conf = "nameserver 127.0.0.1\noptions timeout:2 attempts:1\n";
  in_private_names(files, [&cases](private_names::DeadServers& servers) {
    for (const Case& c : cases) {
      const std::string name = c.name;
      servers.take_queries("127.0.0.1", 0);  // late ones of the case before
      std::optional<NameResolver> resolver(std::in_place);
      require(resolver->start("absent.lan", 1883), name + ": start failed");
      require(servers.take_queries("127.0.0.1", 5000) > 0, name + ": no query reached the server");
      c.give_up(resolver);
      int pair[2];
      require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) == 0, "socketpair");
      require(NameResolver::lookups_outstanding() == 1, name + ": the lookup was not kept");
      if (resolver.has_value()) {
        // Still usable: a name from the hosts file resolves at once.
        if (!resolver->pending()) require(resolver->start("broker.lan", 1883), name + ": start");
        const std::optional<LookupOutcome> outcome = wait_outcome(*resolver, 5000);
        require(outcome.has_value() && outcome->resolved &&
                    outcome->addresses == std::vector<std::string>{"127.0.0.1"},
                name + ": the next lookup did not resolve broker.lan");
      }
      require(all_lookups_freed(10000), name + ": the lookup was not freed once libc was done");
      char byte = 0;
      require(recv(pair[1], &byte, 1, 0) < 0 && errno == EAGAIN,
              name + ": libc's notice reached another descriptor");
      close(pair[0]);
      close(pair[1]);
    }
  });
}

// libmosquitto's own blocking lookup: with three silent name servers and
// `options timeout:5 attempts:3` it takes about 42 s; bounded, about 3 s, and
// about 1 s with one server. Each call reads /etc/resolv.conf afresh.
TEST(NameResolverDeathTest, BoundedTimeoutsLimitABlockingLookupAndFollowTheFile) {
  SKIP_WITHOUT_NAMESPACES();
  private_names::Files files;
  files.resolv_conf =
      "nameserver 127.0.0.1\nnameserver 127.0.0.2\nnameserver 127.0.0.3\n"
      "options timeout:5 attempts:3\n";
  files.dead_servers = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
  in_private_names(files, [](private_names::DeadServers& servers) {
    const auto blocking_lookup = [](const std::string& host) {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* result = nullptr;
      const int status = getaddrinfo(host.c_str(), "1883", &hints, &result);
      if (result != nullptr) freeaddrinfo(result);
      return status;
    };
    require(bound_resolver_timeouts(), "bound_resolver_timeouts failed");
    require(bound_resolver_timeouts(), "bound_resolver_timeouts failed a second time");
    auto start = Clock::now();
    require(blocking_lookup("absent.lan") == EAI_AGAIN, "three servers: not EAI_AGAIN");
    const double three = seconds_since(start);
    require(three < 8.0, "three servers: " + std::to_string(three) + " s");
    for (const char* address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
      require(servers.take_queries(address, 0) > 0, std::string("no query to ") + address);
    }

    // glibc's defaults this time (5 s, two attempts): the case in which glibc
    // would put them back at the next lookup were they not reset first.
    private_names::write_file("/etc/resolv.conf", "nameserver 127.0.0.2\n");
    require(bound_resolver_timeouts(), "bound_resolver_timeouts failed after the change");
    start = Clock::now();
    require(blocking_lookup("absent.lan") == EAI_AGAIN, "one server: not EAI_AGAIN");
    const double one = seconds_since(start);
    require(one < 4.0, "one server: " + std::to_string(one) + " s");
    require(servers.take_queries("127.0.0.2", 0) > 0, "the changed file was not followed");
    require(servers.take_queries("127.0.0.1", 0) == 0 && servers.take_queries("127.0.0.3", 0) == 0,
            "queries to servers no longer in the file");
  });
}

}  // namespace
