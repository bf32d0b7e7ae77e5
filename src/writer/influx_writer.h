// The bridge's only way out to the database: posts line-protocol records to
// InfluxDB 1.x's HTTP /write endpoint through one libcurl easy handle.
//
// Threading: everything runs on the main thread (write from the message
// callback, read_body and seek_body from inside curl_easy_perform,
// retry_pending from the main loop). `mutex` guards `pending` and is never
// held across a transfer.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_INFLUX_WRITER_H_
#define MQTT_INFLUX_BRIDGE_WRITER_INFLUX_WRITER_H_

#include <chrono>
#include <cstddef>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

#include "writer/back_off.h"
#include "writer/curl_handles.h"
#include "writer/pending_body.h"

// Bounds on one POST, well inside the MQTT keep-alive of 10 s, so a database
// that accepts and never answers cannot hold the network loop for long.
inline constexpr long kConnectTimeoutMs = 2000;
inline constexpr long kTransferTimeoutMs = 5000;
// The last attempt at shutdown may take a few batches, but no longer than this.
inline constexpr std::chrono::milliseconds kShutdownBudget{10000};

// Calls curl_global_init once, before the writer's handle is made.
class CurlGlobal final {
 public:
  CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

class InfluxWriter {
 public:
  InfluxWriter() = default;
  InfluxWriter(const InfluxWriter&) = delete;
  InfluxWriter& operator=(const InfluxWriter&) = delete;

  // Appends the record and a line feed to `pending`, then posts `pending`
  // unless a recent failure asks to wait (the main loop retries then).
  // Returns when the transfer, bounded in time, has ended.
  void write(std::string_view line);
  void write(const std::ostringstream& line) { write(std::string_view(line.str())); }

  // Main loop, once per turn: posts what is pending once the back-off allows.
  void retry_pending();
  // Shutdown: posts what is pending, ignoring the back-off but within
  // kShutdownBudget; logs how many records could not be delivered.
  void flush_at_shutdown();

  // libcurl's body source: hands out the open transfer's body from its
  // offset, in pieces of at most size * count bytes; 0 ends the body.
  std::size_t read_body(char* buffer, std::size_t size, std::size_t count);
  // libcurl rewinds the body through this to re-send it on a new connection.
  bool seek_body(curl_off_t offset, int origin);

  // "http://" host "/write?db=" database "&precision=" precision.
  std::string url() const;

  std::size_t pending_records();

  // Assigned once by start-up, after the first broker connection.
  std::string host = "localhost:8086";
  std::string database = "mydb";
  std::string precision = "ms";

 private:
  enum class Outcome { kStored, kRefused, kFailed };

  // One POST of the oldest pending records; the back-off is the caller's.
  Outcome post_once();
  // Posts batches while they succeed; stops at the first failure and backs off.
  void post_pending();
  void note_dropped(std::size_t dropped);
  void report_dropped();

  CurlGlobal curl_global_;
  PendingBody pending;
  std::mutex mutex;
  CurlEasy curl;
  BackOff back_off_;
  char error_text_[CURL_ERROR_SIZE] = {};
  // Records dropped at the cap and not yet logged, and when the last such
  // line was written: at most one line a minute during an outage.
  std::size_t dropped_unreported_ = 0;
  BackOff::Clock::time_point last_drop_report_{};
};

// The one process-wide writer, made by static initialisation.
extern InfluxWriter influx_writer;

#endif  // MQTT_INFLUX_BRIDGE_WRITER_INFLUX_WRITER_H_
