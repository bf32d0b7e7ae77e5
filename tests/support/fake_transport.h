// A transport for unit tests: no socket. It reads each body whole when the
// transfer starts (as libcurl would, piece by piece) and answers with what
// the test's `answer` function says for that body.
#ifndef MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FAKE_TRANSPORT_H_
#define MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FAKE_TRANSPORT_H_

#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "writer/transport.h"

class FakeTransport final : public Transport {
 public:
  // The answer for a body; by default every body is stored (204).
  std::function<TransferResult(const std::string& body)> answer = [](const std::string&) {
    TransferResult stored;
    stored.status = 204;
    stored.request_sent = true;
    return stored;
  };
  // Results come back only when the test says so (a transfer in flight).
  bool hold_results = false;
  bool fail_start = false;       // start() refuses, as when libcurl cannot set up
  bool throw_on_start = false;   // start() runs out of memory
  std::vector<std::string> bodies;  // every body started, in order
  std::vector<std::string> urls;

  bool ready() const override { return true; }
  bool start(const std::string& url, BodySource& body, std::chrono::milliseconds,
             std::string& why_not) override {
    if (throw_on_start) throw std::bad_alloc();
    if (fail_start) {
      why_not = "no handle";
      return false;
    }
    std::string text;
    char piece[7];  // small pieces, as libcurl may offer
    for (std::size_t n; (n = body.read(piece, sizeof piece)) > 0;) text.append(piece, n);
    urls.push_back(url);
    bodies.push_back(text);
    result_ = answer(text);
    return true;
  }
  bool busy() const override { return result_.has_value(); }
  void wait(pollfd*, std::size_t, int) override {}
  std::optional<TransferResult> progress() override {
    if (hold_results || !result_) return std::nullopt;
    std::optional<TransferResult> done = std::move(result_);
    result_.reset();
    return done;
  }

 private:
  std::optional<TransferResult> result_;
};

// Results a test answers with.
inline TransferResult answered(long status) {
  TransferResult result;
  result.status = status;
  result.request_sent = true;
  return result;
}
inline TransferResult timed_out() {
  TransferResult result;
  result.code = CURLE_OPERATION_TIMEDOUT;
  result.request_sent = true;
  return result;
}
inline TransferResult refused_connection() {
  TransferResult result;
  result.code = CURLE_COULDNT_CONNECT;
  return result;
}

#endif  // MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FAKE_TRANSPORT_H_
