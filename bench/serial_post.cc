// The serial-POST limit: N sequential single-record chunked POSTs over one
// reused libcurl handle, with the request the bridge makes (same headers, body
// through a read callback, no "Expect: 100-continue"). Prints one JSON line:
// posts, seconds, CPU seconds and peak resident memory (VmHWM, KiB).
//
//   serial_post <count> [url] [expect]
//
// With "expect", libcurl's own "Expect: 100-continue" is left in, to show
// what suppressing it is worth.
#include <curl/curl.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "texts.h"

namespace {

struct Body {
  std::string text;
  std::size_t offset = 0;
};

std::size_t read_body(char* buffer, std::size_t size, std::size_t count, void* user) {
  Body& body = *static_cast<Body*>(user);
  const std::size_t n = std::min(size * count, body.text.size() - body.offset);
  std::memcpy(buffer, body.text.data() + body.offset, n);
  body.offset += n;
  return n;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

long vm_hwm_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char* argv[]) {
  const long count = argc > 1 ? std::atol(argv[1]) : 20000;
  const std::string url =
      argc > 2 ? argv[2] : "http://localhost:8086/write?db=mydb&precision=ns";
  curl_global_init(CURL_GLOBAL_ALL);
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  const bool with_expect = argc > 3 && std::strcmp(argv[3], "expect") == 0;
  for (const char* line : {texts::kHeaderContentType, texts::kHeaderAccept,
                           texts::kHeaderChunked}) {
    headers = curl_slist_append(headers, line);
  }
  if (!with_expect) headers = curl_slist_append(headers, texts::kHeaderNoExpect);
  Body body;
  long failures = 0;
  const double cpu_before = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    body.text = "temp,host=bench,mqtt=\"v1/bench/temp\" value=21.5 " +
                std::to_string(1700000000000000000LL + i) + "\n";
    body.offset = 0;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
    curl_easy_setopt(curl, CURLOPT_READDATA, &body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    long status = 0;
    if (curl_easy_perform(curl) != CURLE_OK ||
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status / 100 != 2) {
      ++failures;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu_before;
  std::printf("{\"posts\": %ld, \"failures\": %ld, \"seconds\": %.6f, \"cpu_seconds\": %.6f, "
              "\"vm_hwm_kib\": %ld}\n",
              count, failures, seconds, cpu, vm_hwm_kib());
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  curl_global_cleanup();
  return failures == 0 ? 0 : 1;
}
