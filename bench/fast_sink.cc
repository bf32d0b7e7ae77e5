// A minimal fast HTTP/1.1 sink for the benchmark: accepts POSTs with a chunked
// or Content-Length body on 127.0.0.1:<port>, counts the records (lines) in
// them and answers 204 at once. A body sent with "Content-Encoding: gzip" is
// inflated to count its records. "GET /count" answers the records so far;
// "GET /stats" answers "<records> <body bytes> <POSTs>", the body bytes as
// they came (compressed when gzip, without the chunk framing).
// Single-threaded, poll()-based, keep-alive; cheap enough that the bridge's
// own cost shows rather than the sink's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int64_t records = 0;
int64_t body_bytes = 0;
int64_t posts = 0;

struct Connection {
  int fd;
  std::string in;
};

int64_t count_lines(const char* data, std::size_t size) {
  return std::count(data, data + size, '\n');
}

// The lines in a gzip body; -1 when it does not inflate to its end.
int64_t count_gzip_lines(const std::string& body) {
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return -1;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = static_cast<uInt>(body.size());
  char out[65536];
  int64_t lines = 0;
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(out);
    stream.avail_out = sizeof out;
    result = inflate(&stream, Z_NO_FLUSH);
    lines += count_lines(out, sizeof out - stream.avail_out);
    if (result == Z_BUF_ERROR && stream.avail_in == 0) break;  // cut short
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END ? lines : -1;
}

// Consumes one complete request from the front of `in`, if there is one.
// Returns false when more bytes are needed.
bool take_request(std::string& in, std::string& reply) {
  const std::size_t head_end = in.find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  std::string head = in.substr(0, head_end);
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  std::size_t pos = head_end + 4;
  std::string body;
  if (head.find("transfer-encoding: chunked") != std::string::npos) {
    for (;;) {
      const std::size_t size_end = in.find("\r\n", pos);
      if (size_end == std::string::npos) return false;
      const std::size_t size = std::strtoul(in.c_str() + pos, nullptr, 16);
      const std::size_t data = size_end + 2;
      if (in.size() < data + size + 2) return false;
      body.append(in, data, size);
      pos = data + size + 2;
      if (size == 0) break;
    }
  } else {
    const std::size_t at = head.find("content-length:");
    const std::size_t length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 15, nullptr, 10);
    if (in.size() < pos + length) return false;
    body.assign(in, pos, length);
    pos += length;
  }
  if (head.compare(0, 10, "get /count") == 0) {
    const std::string answer = std::to_string(records);
    reply += "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n\r\n" + answer;
  } else if (head.compare(0, 10, "get /stats") == 0) {
    const std::string answer =
        std::to_string(records) + " " + std::to_string(body_bytes) + " " + std::to_string(posts);
    reply += "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n\r\n" + answer;
  } else {
    const bool gzip = head.find("content-encoding: gzip") != std::string::npos;
    const int64_t lines = gzip ? count_gzip_lines(body) : count_lines(body.data(), body.size());
    if (lines < 0) {
      reply += "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    } else {
      records += lines;
      body_bytes += static_cast<int64_t>(body.size());
      ++posts;
      reply += "HTTP/1.1 204 No Content\r\n\r\n";
    }
  }
  in.erase(0, pos);
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  const int port = argc > 1 ? std::atoi(argv[1]) : 8086;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    std::perror("fast_sink");
    return 1;
  }
  std::vector<Connection> connections;
  char buffer[65536];
  for (;;) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    for (const Connection& c : connections) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents & POLLIN) {
      const int fd = accept(listener, nullptr, nullptr);
      if (fd >= 0) {
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connections.push_back({fd, {}});
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Connection& c = connections[i - 1];
      const ssize_t n = read(c.fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(c.fd);
        c.fd = -1;
        continue;
      }
      c.in.append(buffer, static_cast<std::size_t>(n));
      std::string reply;
      while (take_request(c.in, reply)) {
      }
      if (!reply.empty() && write(c.fd, reply.data(), reply.size()) < 0) {
        close(c.fd);
        c.fd = -1;
      }
    }
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const Connection& c) { return c.fd < 0; }),
                      connections.end());
  }
}
