#include "writer/influx_writer.h"

#include <algorithm>
#include <cstdio>

#include "app/log.h"
#include "texts.h"

InfluxWriter influx_writer;

namespace {

constexpr std::chrono::seconds kDropReportInterval{60};

// libcurl's callbacks forward to the writer given as user pointer; nothing
// may unwind through libcurl, so a failure aborts the transfer instead.
std::size_t forward_read(char* buffer, std::size_t size, std::size_t count, void* writer) {
  try {
    return static_cast<InfluxWriter*>(writer)->read_body(buffer, size, count);
  } catch (...) {
    return CURL_READFUNC_ABORT;
  }
}

// libcurl's seek callback: only a rewind to the start of the body is possible.
int forward_seek(void* writer, curl_off_t offset, int origin) {
  try {
    return static_cast<InfluxWriter*>(writer)->seek_body(offset, origin) ? CURL_SEEKFUNC_OK
                                                                         : CURL_SEEKFUNC_CANTSEEK;
  } catch (...) {
    return CURL_SEEKFUNC_FAIL;
  }
}

// libcurl's write callback for the response body.
std::size_t forward_response(char* data, std::size_t size, std::size_t count, void* writer) {
  try {
    return static_cast<InfluxWriter*>(writer)->copy_response(data, size * count);
  } catch (...) {
    return 0;
  }
}

bool is_success(long status) { return status >= 200 && status <= 299; }

// The server read the body and refused it (400: bad lines, and InfluxDB 1.6
// does not always store the valid ones with them; 413: too large). Sending it
// whole again would only block every later record behind it.
bool is_refusal(long status) { return status == 400 || status == 413; }

// libcurl could not read the answer: InfluxDB echoes a refused line in its
// X-Influxdb-Error header, and a NUL byte in it fails the header ("Nul byte
// in header"), so the body at fault would be sent again forever.
bool is_unreadable_answer(CURLcode code) {
  return code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_BAD_CONTENT_ENCODING;
}

// Smaller bodies after a split, bigger again after a success.
std::size_t halved(std::size_t records) { return std::max<std::size_t>(1, records / 2); }
std::size_t doubled(std::size_t limit) {
  constexpr std::size_t kNoLimitFrom = std::size_t{1} << 20;
  return limit == 0 || limit >= kNoLimitFrom ? 0 : limit * 2;
}

}  // namespace

Verdict judge_transfer(const TransferResult& result, std::size_t body_records) {
  const bool answered =
      result.code == CURLE_OK || (result.code == CURLE_WRITE_ERROR && result.response_cut);
  const bool at_fault_alone = body_records <= 1;
  if (answered) {
    if (is_success(result.status)) return Verdict::kStored;
    if (is_refusal(result.status)) return at_fault_alone ? Verdict::kDropRecord : Verdict::kSplit;
    return Verdict::kKeep;
  }
  if (is_unreadable_answer(result.code)) {
    return at_fault_alone ? Verdict::kDropRecord : Verdict::kSplit;
  }
  // A body the server took longer than the time-out to answer (a big one on a
  // slow device database) would time out on every attempt, forever.
  if (result.code == CURLE_OPERATION_TIMEDOUT && result.request_sent && !at_fault_alone) {
    return Verdict::kSplit;
  }
  return Verdict::kKeep;
}

std::string InfluxWriter::url() const {
  // InfluxDB 1.x names microseconds "u"; a text it does not know is read as
  // nanoseconds, which would store every "us" timestamp 1000 times too early.
  const std::string_view url_precision = precision == "us" ? std::string_view("u") : precision;
  std::string text;
  text.reserve(64);
  text.append(texts::kUrlScheme).append(host).append(texts::kUrlWritePath);
  text.append(texts::kUrlDatabase).append(database);
  text.append(texts::kUrlPrecision).append(url_precision);
  return text;
}

std::size_t InfluxWriter::pending_records() {
  std::lock_guard<std::mutex> lock(mutex);
  return pending.record_count();
}

void InfluxWriter::write(std::string_view line) {
  std::size_t dropped;
  {
    std::lock_guard<std::mutex> lock(mutex);
    dropped = pending.append(line);
  }
  if (dropped > 0) note_dropped(dropped);
  more_waiting_known_ = false;  // a message was just read from the socket
  wrote_this_turn_ = true;
  if (has_due_work()) post_pending();
}

void InfluxWriter::retry_pending() {
  if (has_due_work()) post_pending();
}

bool InfluxWriter::has_due_work() {
  const auto now = BackOff::Clock::now();
  if (!transfer_allowed_ || !back_off_.due(now)) return false;
  std::size_t pending_bytes;
  {
    std::lock_guard<std::mutex> lock(mutex);
    pending_bytes = pending.size();
  }
  if (pending_bytes == 0) return false;
  if (!more_waiting_known_) {
    more_waiting_last_ = more_waiting_ && more_waiting_();
    more_waiting_known_ = true;
  }
  const bool more_waiting = more_waiting_last_;
  if (!gathering_) gathering_since_ = now;
  gathering_ = gather_more(more_waiting, pending_bytes, kMaxBodyBytes, now - gathering_since_);
  return !gathering_;
}

bool gather_more(bool more_waiting, std::size_t pending_bytes, std::size_t body_limit_bytes,
                 std::chrono::steady_clock::duration waited) {
  return more_waiting && pending_bytes < body_limit_bytes && waited < kMaxGatherWait;
}

void InfluxWriter::post_pending() {
  transfer_allowed_ = false;
  const Outcome outcome = post_once(std::chrono::milliseconds(kTransferTimeoutMs));
  if (outcome == Outcome::kFailed) {
    back_off_.failed(BackOff::Clock::now());
    return;
  }
  if (outcome == Outcome::kNarrowed) return;  // the smaller body goes next turn, at once
  back_off_.succeeded();
  report_dropped();  // the episode of losses, if any, is over
  last_drop_report_ = {};
}

void InfluxWriter::flush_at_shutdown() {
  using std::chrono::milliseconds;
  const auto deadline = BackOff::Clock::now() + kShutdownBudget;
  while (pending_records() > 0) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - BackOff::Clock::now());
    if (left <= milliseconds(0)) break;
    // Narrowed bodies go on at once; a failure ends the attempt.
    if (post_once(std::min(left, milliseconds(kTransferTimeoutMs))) == Outcome::kFailed) break;
  }
  report_dropped();
  const std::size_t undelivered = pending_records();
  if (undelivered > 0) log_info(std::string(texts::kUndelivered) + std::to_string(undelivered));
}

void InfluxWriter::note_failure(const std::string& reason) {
  log_debug(std::string(texts::kPostFailed) + reason);
  if (in_outage_) return;
  in_outage_ = true;
  outage_since_ = BackOff::Clock::now();
  outage_since_wall_ = std::chrono::system_clock::now();
  std::size_t kept;
  {
    std::lock_guard<std::mutex> lock(mutex);
    kept = pending.record_count();
  }
  log_info(std::string(texts::kOutageBegins) + reason + std::string(texts::kOutageRecordsKept) +
           std::to_string(kept));
}

void InfluxWriter::note_delivery(std::size_t records) {
  if (!in_outage_) return;
  in_outage_ = false;
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(BackOff::Clock::now() - outage_since_);
  std::size_t still_pending;
  {
    std::lock_guard<std::mutex> lock(mutex);
    still_pending = pending.record_count();
  }
  log_info(std::string(texts::kOutageEnds) + std::to_string(seconds.count()) +
           std::string(texts::kOutageDelivered) + std::to_string(records) +
           std::string(texts::kOutageStillPending) + std::to_string(still_pending));
}

InfluxWriter::Outcome InfluxWriter::post_once(std::chrono::milliseconds budget) {
  std::size_t body_records;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (pending.begin_transfer() == 0) return Outcome::kStored;
    body_records = pending.body_record_count();
  }
  try {
    return transfer(budget, body_records);
  } catch (...) {
    // An allocation failed on the way: the body stays whole for the next try.
    std::lock_guard<std::mutex> lock(mutex);
    if (pending.transfer_open()) pending.end_transfer(false);
    throw;
  }
}

InfluxWriter::Outcome InfluxWriter::transfer(std::chrono::milliseconds budget,
                                             std::size_t body_records) {
  const std::string address = url();
  log_trace(address);

  CURL* handle = curl.get();
  CurlHeaderList headers;
  if (handle == nullptr || !headers.append(texts::kHeaderContentType) ||
      !headers.append(texts::kHeaderAccept) || !headers.append(texts::kHeaderChunked) ||
      !headers.append(texts::kHeaderNoExpect)) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      pending.end_transfer(false);
    }
    note_failure(std::string(texts::kCurlSetupFailed));
    return Outcome::kFailed;
  }

  curl_easy_setopt(handle, CURLOPT_URL, address.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_POST, 1L);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, forward_read);
  curl_easy_setopt(handle, CURLOPT_READDATA, this);
  curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, forward_seek);
  curl_easy_setopt(handle, CURLOPT_SEEKDATA, this);
  // The whole transfer, connect included, fits the budget.
  // (0 would mean no time-out at all to libcurl.)
  const long budget_ms = std::max(1L, static_cast<long>(budget.count()));
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, std::min(kConnectTimeoutMs, budget_ms));
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, budget_ms);
  // Time-outs without SIGALRM: the process's signals stay the main loop's.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text_);
  error_text_[0] = '\0';

  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, forward_response);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
  response_copied_ = 0;
  response_cut_ = false;

  TransferResult result;
  result.code = curl_easy_perform(handle);
  // The response body went to standard output; flush it so that it is not
  // held behind the next log line.
  std::fflush(stdout);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);  // `headers` dies here
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.status);
  long request_bytes = 0;
  curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &request_bytes);
  result.request_sent = request_bytes > 0;
  result.response_cut = response_cut_;

  const std::string curl_reason =
      result.code == CURLE_OK ? "" : (error_text_[0] != '\0' ? error_text_ : curl_easy_strerror(result.code));
  std::string reason = curl_reason.empty() || result.response_cut
                           ? std::string(texts::kHttpStatus) + std::to_string(result.status)
                           : curl_reason;
  if (is_unreadable_answer(result.code)) reason = std::string(texts::kUnreadableAnswer) + reason + ")";
  const Verdict verdict = judge_transfer(result, body_records);
  bool first_split = false;  // of a series narrowing a full-size body down
  {
    std::lock_guard<std::mutex> lock(mutex);
    first_split = verdict == Verdict::kSplit && pending.record_limit() == 0;
    pending.end_transfer(verdict == Verdict::kStored || verdict == Verdict::kDropRecord);
    if (verdict == Verdict::kSplit) pending.set_record_limit(halved(body_records));
    if (verdict == Verdict::kStored) pending.set_record_limit(doubled(pending.record_limit()));
  }
  switch (verdict) {
    case Verdict::kStored:
      note_delivery(body_records);
      return Outcome::kStored;
    case Verdict::kDropRecord:
      log_info(std::string(texts::kWriteRefused) + reason + std::string(texts::kRefusedRecords) + "1");
      return Outcome::kStored;
    case Verdict::kSplit:
      if (result.code == CURLE_OPERATION_TIMEDOUT) {
        note_failure(reason);  // a slow or stalled database is an outage too
      } else {
        // One info line for the body first refused, the narrower ones at debug level.
        const std::string line = std::string(texts::kWriteRefused) + reason +
                                 std::string(texts::kRefusedBody) + std::to_string(body_records) +
                                 std::string(texts::kRefusedBodyHalves);
        first_split ? log_info(line) : log_debug(line);
      }
      return Outcome::kNarrowed;
    case Verdict::kKeep:
      break;
  }
  note_failure(reason);
  return Outcome::kFailed;
}

std::size_t InfluxWriter::read_body(char* buffer, std::size_t size, std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  return pending.read(buffer, size * count);
}

bool InfluxWriter::seek_body(curl_off_t offset, int origin) {
  if (offset != 0 || origin != SEEK_SET) return false;
  std::lock_guard<std::mutex> lock(mutex);
  pending.rewind();
  return true;
}

std::size_t InfluxWriter::copy_response(const char* data, std::size_t size) {
  const std::size_t taken = std::min(size, kMaxResponseCopyBytes - response_copied_);
  std::fwrite(data, 1, taken, stdout);
  response_copied_ += taken;
  if (taken < size) {
    response_cut_ = true;
    return 0;  // ends the transfer: an endless body must not fill the log
  }
  return size;
}

void InfluxWriter::note_dropped(std::size_t dropped) {
  dropped_unreported_ += dropped;
  const auto now = BackOff::Clock::now();
  if (last_drop_report_ == BackOff::Clock::time_point{} ||
      now - last_drop_report_ >= kDropReportInterval) {
    report_dropped();
    last_drop_report_ = now;
  }
}

void InfluxWriter::report_dropped() {
  if (dropped_unreported_ == 0) return;
  log_info(std::string(texts::kPendingFull) + std::to_string(dropped_unreported_));
  dropped_unreported_ = 0;
}
