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
#include <functional>
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
// At most this much of each response body reaches standard output; the
// transfer stops reading there (the status is known by then).
inline constexpr std::size_t kMaxResponseCopyBytes = 4096;

// The longest a record waits for the messages queued behind it to join its
// body, when more keep arriving: well under the loop's other bounds, so the
// keep-alive and the watchdog never notice.
inline constexpr std::chrono::milliseconds kMaxGatherWait{250};

// Whether to hold the pending records back for the messages already waiting
// on the MQTT socket, so that they share one POST: only when more is waiting,
// the body limit is not reached, and the oldest held record has not waited
// kMaxGatherWait yet. One message at a time never waits.
bool gather_more(bool more_waiting, std::size_t pending_bytes, std::size_t body_limit_bytes,
                 std::chrono::steady_clock::duration waited);

// What one transfer came to, as far as the body's fate is concerned.
struct TransferResult {
  CURLcode code = CURLE_OK;
  long status = 0;             // the HTTP status, 0 when none was read
  bool request_sent = false;   // the request reached the server before it failed
  bool response_cut = false;   // the bridge stopped reading a long response body
};

// What becomes of the body after its transfer.
enum class Verdict {
  kStored,      // 2xx: the body is done with
  kSplit,       // refused (400, 413), answered unreadably or timed out after it
                // was sent: one record may be at fault, so send the body in halves
  kDropRecord,  // the same for a body of one record: that record is dropped
                // (a time-out of one record is kKeep instead: the server may be slow)
  kKeep,        // no answer for it (refused connection, reset, 5xx, ...): keep it, back off
};
Verdict judge_transfer(const TransferResult& result, std::size_t body_records);

// Calls curl_global_init once, before the writer's handle is made.
class CurlGlobal final {
 public:
  CurlGlobal() : result_(curl_global_init(CURL_GLOBAL_ALL)) {}
  ~CurlGlobal() {
    if (ok()) curl_global_cleanup();
  }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;

  bool ok() const { return result_ == CURLE_OK; }

 private:
  const CURLcode result_;
};

class InfluxWriter {
 public:
  InfluxWriter() = default;
  InfluxWriter(const InfluxWriter&) = delete;
  InfluxWriter& operator=(const InfluxWriter&) = delete;

  // False when libcurl's global set-up or the easy handle failed: such a
  // writer could never deliver anything, and start-up refuses to go on.
  bool ready() const { return curl_global_.ok() && curl.get() != nullptr; }

  // Appends the record and a line feed to `pending`, then posts `pending`
  // unless a recent failure asks to wait or this loop turn has had its
  // transfer already (the main loop retries then).
  // Returns when the transfer, bounded in time, has ended.
  void write(std::string_view line);
  void write(const std::ostringstream& line) { write(std::string_view(line.str())); }

  // Tells whether more MQTT packets are already waiting to be read (a
  // zero-timeout poll of the library's socket); unset, nothing ever is.
  void set_more_waiting(std::function<bool()> more_waiting) { more_waiting_ = std::move(more_waiting); }

  // Main loop, at the start of every turn: a turn makes at most one
  // transfer, so no turn lasts longer than one transfer time-out.
  void begin_turn() {
    transfer_allowed_ = true;
    // The socket was read since the last poll without a record coming of it
    // (a PINGRESP, say): what the poll said is stale.
    if (!wrote_this_turn_) more_waiting_known_ = false;
    wrote_this_turn_ = false;
  }
  // Main loop, once per turn: posts what is pending once the back-off allows.
  void retry_pending();
  // Whether a POST is due now: a transfer is allowed this turn, the back-off
  // is over, something is pending and no gathering holds it back. The main
  // loop then does not wait for network traffic, so a backlog drains at once.
  bool has_due_work();
  // Shutdown: posts what is pending, ignoring the back-off, in transfers that
  // all fit within kShutdownBudget together; logs how many records could not
  // be delivered.
  void flush_at_shutdown();

  // Since when the database has been failing, or nothing while it answers.
  bool in_outage() const { return in_outage_; }
  std::chrono::system_clock::time_point outage_since() const { return outage_since_wall_; }

  // libcurl's body source: hands out the open transfer's body from its
  // offset, in pieces of at most size * count bytes; 0 ends the body.
  std::size_t read_body(char* buffer, std::size_t size, std::size_t count);
  // libcurl rewinds the body through this to re-send it on a new connection.
  bool seek_body(curl_off_t offset, int origin);
  // libcurl's sink for the response body: copies at most
  // kMaxResponseCopyBytes of it to standard output, then stops the transfer.
  std::size_t copy_response(const char* data, std::size_t size);

  // "http://" host "/write?db=" database "&precision=" precision.
  std::string url() const;

  std::size_t pending_records();

  // Assigned once by start-up, after the first broker connection.
  std::string host = "localhost:8086";
  std::string database = "mydb";
  std::string precision = "ms";

 private:
  // kStored: the server answered for the body (stored, or records dropped);
  // kNarrowed: the next body is smaller and due at once; kFailed: back off.
  enum class Outcome { kStored, kNarrowed, kFailed };

  // One POST of the oldest pending records, given at most `budget` in all;
  // the back-off is the caller's.
  Outcome post_once(std::chrono::milliseconds budget);
  // The transfer of the open body of `body_records` records, and its verdict.
  Outcome transfer(std::chrono::milliseconds budget, std::size_t body_records);
  // One POST; backs off after a failure and tracks the outage episode.
  void post_pending();
  void note_dropped(std::size_t dropped);
  void report_dropped();
  // The info lines at the start and the end of an outage episode.
  void note_failure(const std::string& reason);
  void note_delivery(std::size_t records);

  CurlGlobal curl_global_;
  PendingBody pending;
  std::mutex mutex;
  CurlEasy curl;
  BackOff back_off_;
  bool transfer_allowed_ = true;
  std::function<bool()> more_waiting_;
  // The last poll's answer, good until the socket is read again: one poll per
  // message instead of one per question.
  bool more_waiting_known_ = false;
  bool more_waiting_last_ = false;
  bool wrote_this_turn_ = false;
  // Since when records have been held back for the messages behind them.
  bool gathering_ = false;
  BackOff::Clock::time_point gathering_since_{};
  char error_text_[CURL_ERROR_SIZE] = {};
  // The open transfer's response body: bytes copied, and whether it was cut.
  std::size_t response_copied_ = 0;
  bool response_cut_ = false;
  // The outage episode: from the first failure after a success (or after
  // start) to the next body the database stores.
  bool in_outage_ = false;
  BackOff::Clock::time_point outage_since_{};
  std::chrono::system_clock::time_point outage_since_wall_{};
  // Records dropped at the cap and not yet logged, and when the last such
  // line was written: at most one line a minute during an outage.
  std::size_t dropped_unreported_ = 0;
  BackOff::Clock::time_point last_drop_report_{};
};

// The one process-wide writer, made by static initialisation.
extern InfluxWriter influx_writer;

#endif  // MQTT_INFLUX_BRIDGE_WRITER_INFLUX_WRITER_H_
