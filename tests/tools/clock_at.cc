// Preloaded into the bridge by an end-to-end test: CLOCK_REALTIME starts at
// the second given in CLOCK_AT (for example one after January 2038) and runs
// on from there; every other clock is untouched. Built with the project's
// 64-bit time_t, so on armhf this defines glibc's __clock_gettime64, the
// call the bridge really makes there.
#include <dlfcn.h>
#include <time.h>

#include <cstdlib>

namespace {

#if defined(__USE_TIME_BITS64) && !defined(__LP64__)
constexpr const char* kRealName = "__clock_gettime64";
#else
constexpr const char* kRealName = "clock_gettime";
#endif

using ClockGettime = int (*)(clockid_t, timespec*);

}  // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
  static const ClockGettime real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, kRealName));
  static const char* const at = std::getenv("CLOCK_AT");
  static timespec started{};
  const int result = real(clock, now);
  if (result != 0 || clock != CLOCK_REALTIME || at == nullptr) return result;
  if (started.tv_sec == 0) started = *now;
  now->tv_sec = static_cast<time_t>(std::strtoll(at, nullptr, 10)) + (now->tv_sec - started.tv_sec);
  return 0;
}
