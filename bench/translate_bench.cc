// Translation alone, without I/O: topic rules, payload splitting and record
// building for one message, per payload layout.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "translate/intake.h"

namespace {

void translate(benchmark::State& state, const char* payload) {
  const std::string topic = "v1/bench/temp";
  const std::string bytes = payload;
  const RecordIdentity identity{"node-17", "value"};
  for (auto _ : state) {
    auto record = translate_message(topic.c_str(), bytes.data(), static_cast<int>(bytes.size()),
                                    1700000000123, identity);
    benchmark::DoNotOptimize(record);
  }
}

BENCHMARK_CAPTURE(translate, value, "21.5");
BENCHMARK_CAPTURE(translate, value_timestamp, "21.5 1700000000000");
BENCHMARK_CAPTURE(translate, tag_field_timestamp, "sensor=a celsius=21.5 1700000000000");
BENCHMARK_CAPTURE(translate, dropped_layout, "21.5 22.0 1700000000000");

// A Zigbee gateway's payload on a --json-topic, beside the v1 layouts above.
void translate_json(benchmark::State& state) {
  std::vector<JsonFilter> filters(1);
  parse_json_topic("zigbee2mqtt/+room", filters[0]);
  const std::string payload =
      R"({"temperature":21.3,"humidity":54.2,"battery":97,"linkquality":94,"update":{"state":"idle"}})";
  for (auto _ : state) {
    auto record = translate_json_message("zigbee2mqtt/kitchen", payload.data(),
                                         static_cast<int>(payload.size()), 1700000000123,
                                         "node-17", filters, "", "ms");
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(translate_json);

void split(benchmark::State& state) {
  const std::string payload = "sensor=a celsius=21.5 1700000000000";
  for (auto _ : state) {
    auto tokens = split_payload(payload);
    benchmark::DoNotOptimize(tokens);
  }
}
BENCHMARK(split);

}  // namespace

BENCHMARK_MAIN();
