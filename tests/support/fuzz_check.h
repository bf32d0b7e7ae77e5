// CHECK for the fuzz targets: when a property fails, it names the property
// and aborts, so that libFuzzer reports the input as a crash. Unlike assert,
// it stays in release builds (NDEBUG), which the fuzzers are built as.
#ifndef MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FUZZ_CHECK_H_
#define MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                         \
  do {                                                           \
    if (!(condition)) {                                          \
      std::fprintf(stderr, "property failed: %s\n", #condition); \
      std::abort();                                              \
    }                                                            \
  } while (false)

#endif  // MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FUZZ_CHECK_H_
