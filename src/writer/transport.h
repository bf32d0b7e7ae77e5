// The seam between the delivery logic and the wire: one POST at a time, a
// body in, a transfer result out. The bridge uses libcurl's (curl_transport.h);
// unit tests use a fake that answers as they script it, with no socket.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_TRANSPORT_H_
#define MQTT_INFLUX_BRIDGE_WRITER_TRANSPORT_H_

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "writer/transfer_verdict.h"

// Where a transfer's body comes from: handed out in pieces, from its start
// again when the transport must re-send it on a fresh connection.
class BodySource {
 public:
  // Copies the next bytes of the body, at most `room`; 0 ends the body.
  virtual std::size_t read(char* buffer, std::size_t room) = 0;
  // Starts the body again from its first byte; false if it cannot.
  virtual bool rewind() = 0;

 protected:
  ~BodySource() = default;
};

// How the database is reached beyond the URL. The defaults add nothing to a
// request: no header, no credential, the system's trust store.
struct TransportOptions {
  std::string ca_file;   // CA certificates for an https database; empty: the system's
  std::string user;      // HTTP Basic authentication when not empty
  std::string password;
  std::string token;     // "Authorization: Token <token>" when not empty
  std::string proxy;     // an http:// proxy; empty: none (the environment's never)
  bool gzip = false;     // bodies gzip-compressed, with "Content-Encoding: gzip"
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Set once at start-up, before the first transfer.
  virtual void configure(const TransportOptions& /*options*/) {}

  // False when the transport could never deliver anything (its library
  // could not be set up).
  virtual bool ready() const = 0;
  // Starts one POST of `body` to `url`, to end (one way or another) within
  // `budget`. Returns false when it could not start, with the reason in
  // `why_not`; no transfer is open then. Only when not busy().
  virtual bool start(const std::string& url, BodySource& body, std::chrono::milliseconds budget,
                     std::string& why_not) = 0;
  // A transfer is open: started, and its result not yet taken.
  virtual bool busy() const = 0;
  // Waits at most `timeout_ms` for the open transfer's sockets or any of
  // `extra` (whose revents are filled in); a signal ends the wait early.
  virtual void wait(pollfd* extra, std::size_t count, int timeout_ms) = 0;
  // Moves the open transfer on with what its sockets have, without
  // blocking; returns its result once it has ended (busy() is false then).
  virtual std::optional<TransferResult> progress() = 0;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_TRANSPORT_H_
