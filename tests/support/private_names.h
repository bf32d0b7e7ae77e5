// Name lookups that depend on nothing of the host's, for a test's child
// process (a death test's): private mount and network namespaces, with
// /etc/hosts, /etc/resolv.conf and /etc/nsswitch.conf of the test's own and
// name servers on 127.0.0.x port 53 that take every query and answer none.
// As root, or through a user namespace where the kernel allows one.
#ifndef MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_PRIVATE_NAMES_H_
#define MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_PRIVATE_NAMES_H_

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace private_names {

// Ends the child with a line on standard error (which a death test shows) and status 1.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

inline void require(bool condition, const std::string& what) {
  if (!condition) fail(what);
}

inline int namespace_flags() {
  return CLONE_NEWNS | CLONE_NEWNET | (geteuid() == 0 ? 0 : CLONE_NEWUSER);
}

// Whether this process may make the namespaces: a child only tries and ends.
inline bool possible() {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) _exit(unshare(namespace_flags()) == 0 ? 0 : 1);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::trunc);
  file << text;
  file.close();
  require(!file.fail(), "cannot write " + path);
}

struct Files {
  std::string hosts = "127.0.0.1 localhost\n::1 localhost\n";
  std::string resolv_conf = "nameserver 127.0.0.1\n";
  std::string nsswitch = "hosts: files dns\n";
  std::vector<std::string> dead_servers = {"127.0.0.1"};
};

// The name servers that never answer: a UDP socket on port 53 of each address.
class DeadServers {
 public:
  explicit DeadServers(const std::vector<std::string>& addresses) {
    for (const std::string& address : addresses) {
      const int socket_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in in{};
      in.sin_family = AF_INET;
      in.sin_port = htons(53);
      require(socket_fd >= 0 && inet_pton(AF_INET, address.c_str(), &in.sin_addr) == 1 &&
                  bind(socket_fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0,
              "cannot bind a name server at " + address + ": " + std::strerror(errno));
      sockets_[address] = socket_fd;
    }
  }
  ~DeadServers() {
    for (const auto& entry : sockets_) close(entry.second);
  }
  DeadServers(const DeadServers&) = delete;
  DeadServers& operator=(const DeadServers&) = delete;

  // Waits up to timeout_ms for a query to `address`; takes every query
  // queued there and returns how many there were.
  int take_queries(const std::string& address, int timeout_ms) {
    const int socket_fd = sockets_.at(address);
    pollfd wait{socket_fd, POLLIN, 0};
    if (poll(&wait, 1, timeout_ms) <= 0) return 0;
    int count = 0;
    char datagram[1500];
    while (recv(socket_fd, datagram, sizeof datagram, MSG_DONTWAIT) >= 0) ++count;
    return count;
  }

 private:
  std::map<std::string, int> sockets_;
};

inline void enter_namespaces() {
  const std::string uid = std::to_string(geteuid());
  const std::string gid = std::to_string(getegid());
  if (unshare(namespace_flags()) != 0) fail(std::string("unshare: ") + std::strerror(errno));
  if (namespace_flags() & CLONE_NEWUSER) {
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + uid + " 1");
    write_file("/proc/self/gid_map", "0 " + gid + " 1");
  }
}

inline void bring_loopback_up() {
  const int socket_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  require(socket_fd >= 0 && ioctl(socket_fd, SIOCGIFFLAGS, &request) == 0,
          std::string("loopback flags: ") + std::strerror(errno));
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  require(ioctl(socket_fd, SIOCSIFFLAGS, &request) == 0,
          std::string("loopback up: ") + std::strerror(errno));
  close(socket_fd);
}

// Mounts each file over its path in /etc; the files' folder is removed at
// once (the mounts keep the files), so nothing is left behind.
inline void mount_files(const Files& files) {
  char folder[] = "/tmp/private-names-XXXXXX";
  require(mkdtemp(folder) != nullptr, std::string("mkdtemp: ") + std::strerror(errno));
  const std::pair<const char*, const std::string*> mounts[] = {
      {"/etc/hosts", &files.hosts},
      {"/etc/resolv.conf", &files.resolv_conf},
      {"/etc/nsswitch.conf", &files.nsswitch}};
  for (const auto& [target, text] : mounts) {
    const std::string source = std::string(folder) + "/" + (std::strrchr(target, '/') + 1);
    write_file(source, *text);
    require(mount(source.c_str(), target, "none", MS_BIND, nullptr) == 0,
            std::string("mount over ") + target + ": " + std::strerror(errno));
    unlink(source.c_str());
  }
  rmdir(folder);
}

// Call from a single-threaded child (namespaces cannot be entered otherwise).
// Mounts stay private: nothing reaches the host's mount namespace.
inline void enter(const Files& files) {
  enter_namespaces();
  require(mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0,
          std::string("private mounts: ") + std::strerror(errno));
  mount_files(files);
  bring_loopback_up();
}

}  // namespace private_names

#endif  // MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_PRIVATE_NAMES_H_
