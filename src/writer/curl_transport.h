// Where bytes go on the wire: one POST at a time through one libcurl easy
// handle, run by a multi handle so that the transfer never blocks the loop:
// its sockets are waited on together with the broker's.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_CURL_TRANSPORT_H_
#define MQTT_INFLUX_BRIDGE_WRITER_CURL_TRANSPORT_H_

#include <cstddef>

#include "writer/curl_handles.h"
#include "writer/gzip_body.h"
#include "writer/transport.h"

// Bounds on one POST: a database that accepts and never answers costs a
// record this long, never the loop.
inline constexpr long kConnectTimeoutMs = 2000;
inline constexpr long kTransferTimeoutMs = 5000;
// At most this much of each response body reaches standard output; the
// transfer stops reading there (the status is known by then).
inline constexpr std::size_t kMaxResponseCopyBytes = 4096;

class CurlTransport final : public Transport {
 public:
  CurlTransport() = default;
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  bool ready() const override {
    return global_.ok() && easy_.get() != nullptr && multi_.get() != nullptr;
  }
  // Credentials, trust and compression for every later transfer.
  void configure(const TransportOptions& options) override;
  // The request: POST, the program's header lines (Content-Type, Accept,
  // chunked Transfer-Encoding, no Expect, and those the options add), a
  // chunked body from `body`. The one easy handle keeps its connection (and
  // its TLS session) open between POSTs.
  bool start(const std::string& url, BodySource& body, std::chrono::milliseconds budget,
             std::string& why_not) override;
  bool busy() const override { return busy_; }
  void wait(pollfd* extra, std::size_t count, int timeout_ms) override;
  std::optional<TransferResult> progress() override;

  // libcurl's callbacks, through thin forwarding functions.
  std::size_t read_body(char* buffer, std::size_t room) { return wire_body_->read(buffer, room); }
  bool seek_body(curl_off_t offset, int origin);
  // Copies at most kMaxResponseCopyBytes of the response body to standard
  // output, then stops the transfer (0); keeps its start for judging it.
  std::size_t copy_response(const char* data, std::size_t size);
  // Keeps what judging the answer needs of one header line.
  void take_header(const char* data, std::size_t size);

 private:
  CurlGlobal global_;
  CurlEasy easy_;
  CurlMulti multi_;
  CurlHeaderList headers_;  // the open transfer's; libcurl reads it until the end
  TransportOptions options_;
  std::string token_header_;  // "Authorization: Token ..." when a token is set
  GzipBody gzip_;
  BodySource* wire_body_ = nullptr;  // the body as sent: plain, or through gzip_
  bool busy_ = false;
  char error_text_[CURL_ERROR_SIZE] = {};
  std::size_t response_copied_ = 0;
  bool response_cut_ = false;
  TransferResult answer_;  // the answer's headers and first bytes, as they come
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_CURL_TRANSPORT_H_
