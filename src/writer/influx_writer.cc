#include "writer/influx_writer.h"

#include <algorithm>
#include <cstdio>

#include "app/log.h"
#include "texts.h"

InfluxWriter influx_writer;

namespace {

constexpr std::chrono::seconds kDropReportInterval{60};

// libcurl's read callback: forwards to the writer given as user pointer.
std::size_t forward_read(char* buffer, std::size_t size, std::size_t count, void* writer) {
  return static_cast<InfluxWriter*>(writer)->read_body(buffer, size, count);
}

// libcurl's seek callback: only a rewind to the start of the body is possible.
int forward_seek(void* writer, curl_off_t offset, int origin) {
  return static_cast<InfluxWriter*>(writer)->seek_body(offset, origin) ? CURL_SEEKFUNC_OK
                                                                       : CURL_SEEKFUNC_CANTSEEK;
}

bool is_success(long status) { return status >= 200 && status <= 299; }

// The server parsed the body and refused it for good (400: bad lines, of which
// InfluxDB has stored the valid ones; 413: too large). Sending it again would
// only block every later record behind it.
bool is_final_refusal(long status) { return status == 400 || status == 413; }

}  // namespace

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
  if (transfer_allowed_ && back_off_.due(BackOff::Clock::now())) post_pending();
}

void InfluxWriter::retry_pending() {
  if (has_due_work()) post_pending();
}

bool InfluxWriter::has_due_work() {
  if (!transfer_allowed_ || !back_off_.due(BackOff::Clock::now())) return false;
  std::lock_guard<std::mutex> lock(mutex);
  return !pending.empty();
}

void InfluxWriter::post_pending() {
  transfer_allowed_ = false;
  if (post_once(std::chrono::milliseconds(kTransferTimeoutMs)) == Outcome::kFailed) {
    back_off_.failed(BackOff::Clock::now());
    return;
  }
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

  const CURLcode result = curl_easy_perform(handle);
  // The response body went to standard output through libcurl's default
  // writer; flush it so it is not held behind the next log line.
  std::fflush(stdout);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);  // `headers` dies here

  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);

  Outcome outcome;
  std::string reason;
  if (result != CURLE_OK) {
    outcome = Outcome::kFailed;
    reason = error_text_[0] != '\0' ? error_text_ : curl_easy_strerror(result);
  } else if (is_success(status)) {
    outcome = Outcome::kStored;
  } else if (is_final_refusal(status)) {
    outcome = Outcome::kRefused;
    log_info(std::string(texts::kWriteRefused) + std::to_string(status) +
             std::string(texts::kRefusedRecords) + std::to_string(body_records));
  } else {
    outcome = Outcome::kFailed;
    reason = std::string(texts::kHttpStatus) + std::to_string(status);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    pending.end_transfer(outcome != Outcome::kFailed);
  }
  if (outcome == Outcome::kFailed) note_failure(reason);
  if (outcome == Outcome::kStored) note_delivery(body_records);
  return outcome;
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
