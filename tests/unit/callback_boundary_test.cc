// No C++ exception may cross a C callback: libmosquitto and libcurl are C and
// cannot unwind. This binary's operator new can be told to fail, as on a
// device out of memory.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <cstdlib>
#include <new>
#include <string>

#include "translate/intake.h"
#include "writer/influx_writer.h"

namespace {

// Allocations left before the next one fails; negative: none fails.
long allocations_until_failure = -1;

void* allocate(std::size_t size) {
  if (allocations_until_failure == 0) {
    allocations_until_failure = -1;
    throw std::bad_alloc();
  }
  if (allocations_until_failure > 0) --allocations_until_failure;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(CallbackBoundary, AllocationFailureInOnMessageDropsOnlyThatMessage) {
  char topic[] = "v1/kitchen/temp";
  char payload[] = "21.5 1700000000000";
  mosquitto_message message{};
  message.topic = topic;
  message.payload = payload;
  message.payloadlen = static_cast<int>(sizeof payload - 1);
  // A port nobody listens on: the records stay pending, nothing leaves the machine.
  const std::string saved_url = influx_writer.base_url;
  influx_writer.base_url = "http://127.0.0.1:1";
  const std::size_t pending_before = influx_writer.pending_records();
  int failures = 0;
  // Fail the first, then later allocations: each one must end at the boundary.
  for (long failing = 0; failing < 40; ++failing) {
    const std::size_t before = influx_writer.pending_records();
    testing::internal::CaptureStdout();
    allocations_until_failure = failing;
    EXPECT_NO_THROW(on_message(nullptr, nullptr, &message));
    const bool failed = allocations_until_failure == -1;
    allocations_until_failure = -1;
    const std::string out = testing::internal::GetCapturedStdout();
    if (failed) {
      ++failures;
      // "message dropped" exactly when the record was not kept.
      const bool kept = influx_writer.pending_records() > before;
      EXPECT_EQ(out.find("I: message dropped: out of memory or another failure\n") != std::string::npos,
                !kept)
          << "failing allocation " << failing << ": " << out;
    }
  }
  // Messages that got through were kept whole for the (absent) database; no
  // transfer was left open.
  EXPECT_GE(influx_writer.pending_records(), pending_before);
  EXPECT_GE(failures, 3);
  influx_writer.base_url = saved_url;
}

}  // namespace
