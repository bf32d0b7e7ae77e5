// Publishes many numbered messages at QoS 1 and returns only when the broker
// has acknowledged every one of them (mosquitto_pub -l may drop what is still
// queued when its input ends). Used by the flood test and the benchmark.
//
//   publisher <topic> <count> <seq|mix> [first] [interval_ms]
//
// With an interval, messages go out that far apart (a steady rate) instead of
// as fast as the broker takes them; it may have a fraction ("16.667": 60 a second).
//
// seq: "<n> <1700000000000+n>"; mix: cycles through the three usual layouts,
// "21.5", "21.5 <ts>" and "sensor=a celsius=21.5 <ts>", with a unique ts each;
// stamp: "n=<n>,sent_us=<monotonic clock in us>", for delays; zigbee: a
// Zigbee gateway's JSON reading, the same each time (for --json-topic).
#include <mosquitto.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

long acknowledged = 0;

void on_publish(mosquitto*, void*, int) { ++acknowledged; }

enum class Mode { kSeq, kMix, kStamp, kZigbee };

std::string payload_for(long n, Mode mode) {
  const std::string stamp = std::to_string(1700000000000LL + n);
  if (mode == Mode::kStamp) {
    // When it was sent, on the monotonic clock other processes read too.
    const auto sent = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return "n=" + std::to_string(n) + ",sent_us=" + std::to_string(sent.count());
  }
  if (mode == Mode::kSeq) return std::to_string(n) + " " + stamp;
  if (mode == Mode::kZigbee) {
    return R"({"temperature":21.3,"humidity":54.2,"battery":97,"linkquality":94,"update":{"state":"idle"}})";
  }
  switch (n % 3) {
    case 0: return "21.5";
    case 1: return "21.5 " + stamp;
    default: return "sensor=a celsius=21.5 " + stamp;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <topic> <count> <seq|mix|stamp|zigbee> [first] [interval_ms]\n",
                 argv[0]);
    return 2;
  }
  const char* topic = argv[1];
  const long count = std::atol(argv[2]);
  const Mode mode = std::strcmp(argv[3], "mix") == 0      ? Mode::kMix
                   : std::strcmp(argv[3], "stamp") == 0  ? Mode::kStamp
                   : std::strcmp(argv[3], "zigbee") == 0 ? Mode::kZigbee
                                                         : Mode::kSeq;
  const long first = argc > 4 ? std::atol(argv[4]) : 0;
  const double interval_ms = argc > 5 ? std::atof(argv[5]) : 0.0;

  mosquitto_lib_init();
  mosquitto* client = mosquitto_new(nullptr, true, nullptr);
  if (client == nullptr || mosquitto_connect(client, "127.0.0.1", 1883, 60) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "publisher: cannot connect\n");
    return 1;
  }
  mosquitto_publish_callback_set(client, on_publish);
  mosquitto_max_inflight_messages_set(client, 100);

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::minutes(5);
  long sent = 0;
  while (acknowledged < count) {
    // Keep a bounded number in flight; the library queues the rest. With an
    // interval, message n goes out at start + n * interval.
    auto due = [&] {
      return interval_ms <= 0.0 ||
             std::chrono::steady_clock::now() >=
                 start + std::chrono::microseconds(
                             std::llround(static_cast<double>(sent) * interval_ms * 1000.0));
    };
    while (sent < count && sent - acknowledged < 1000 && due()) {
      const std::string payload = payload_for(first + sent, mode);
      if (mosquitto_publish(client, nullptr, topic, static_cast<int>(payload.size()),
                            payload.data(), 1, false) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "publisher: publish failed\n");
        return 1;
      }
      ++sent;
    }
    if (mosquitto_loop(client, interval_ms > 0.0 ? 1 : 100, 100) != MOSQ_ERR_SUCCESS ||
        std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "publisher: %ld of %ld acknowledged\n", acknowledged, count);
      return 1;
    }
  }
  mosquitto_disconnect(client);
  mosquitto_destroy(client);
  mosquitto_lib_cleanup();
  return 0;
}
