#include "writer/curl_transport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <vector>

#include "texts.h"

namespace {

// libcurl's callbacks forward to the transport given as user pointer;
// nothing may unwind through libcurl, so a failure aborts the transfer.
std::size_t forward_read(char* buffer, std::size_t size, std::size_t count, void* transport) {
  try {
    return static_cast<CurlTransport*>(transport)->read_body(buffer, size * count);
  } catch (...) {
    return CURL_READFUNC_ABORT;
  }
}

// libcurl rewinds the body to re-send it on a fresh connection.
int forward_seek(void* transport, curl_off_t offset, int origin) {
  try {
    return static_cast<CurlTransport*>(transport)->seek_body(offset, origin) ? CURL_SEEKFUNC_OK
                                                                             : CURL_SEEKFUNC_CANTSEEK;
  } catch (...) {
    return CURL_SEEKFUNC_FAIL;
  }
}

std::size_t forward_response(char* data, std::size_t size, std::size_t count, void* transport) {
  try {
    return static_cast<CurlTransport*>(transport)->copy_response(data, size * count);
  } catch (...) {
    return 0;
  }
}

std::size_t forward_header(char* data, std::size_t size, std::size_t count, void* transport) {
  try {
    static_cast<CurlTransport*>(transport)->take_header(data, size * count);
  } catch (...) {
    // Out of memory: the answer is judged on what was kept.
  }
  return size * count;
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
    text.remove_suffix(1);
  }
  return text;
}

short curl_events(short poll_events) {
  short events = 0;
  if ((poll_events & POLLIN) != 0) events |= CURL_WAIT_POLLIN;
  if ((poll_events & POLLPRI) != 0) events |= CURL_WAIT_POLLPRI;
  if ((poll_events & POLLOUT) != 0) events |= CURL_WAIT_POLLOUT;
  return events;
}

short poll_events(short curl_events) {
  short events = 0;
  if ((curl_events & CURL_WAIT_POLLIN) != 0) events |= POLLIN;
  if ((curl_events & CURL_WAIT_POLLPRI) != 0) events |= POLLPRI;
  if ((curl_events & CURL_WAIT_POLLOUT) != 0) events |= POLLOUT;
  return events;
}

}  // namespace

CurlTransport::~CurlTransport() {
  if (busy_) curl_multi_remove_handle(multi_.get(), easy_.get());
}

void CurlTransport::configure(const TransportOptions& options) {
  options_ = options;
  token_header_.clear();
  if (!options_.token.empty()) token_header_ = std::string(texts::kHeaderTokenPrefix) + options_.token;
  CURL* const handle = easy_.get();
  if (handle == nullptr) return;
  // Set once for the handle's life. libcurl verifies an https peer and its
  // name by default; only the CA may change, never the verification. Below
  // TLS 1.2 is refused, as on the broker's side.
  curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  // A proxy only where the operator named one: an empty proxy makes libcurl
  // ignore http_proxy, https_proxy and ALL_PROXY, an empty exception list
  // NO_PROXY. Through an http:// proxy an https database is a CONNECT tunnel.
  curl_easy_setopt(handle, CURLOPT_PROXY, options_.proxy.c_str());
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
  if (!options_.ca_file.empty()) {
    // The file replaces the system's store: libcurl would otherwise also
    // trust every CA of its default directory (and load them all, ~7 MiB).
    curl_easy_setopt(handle, CURLOPT_CAINFO, options_.ca_file.c_str());
    curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
  }
  if (!options_.user.empty()) {
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(handle, CURLOPT_USERNAME, options_.user.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, options_.password.c_str());
  }
}

bool CurlTransport::start(const std::string& url, BodySource& body,
                          std::chrono::milliseconds budget, std::string& why_not) {
  CURL* const handle = easy_.get();
  CurlHeaderList headers;
  if (!ready() || !headers.append(texts::kHeaderContentType) ||
      !headers.append(texts::kHeaderAccept) || !headers.append(texts::kHeaderChunked) ||
      !headers.append(texts::kHeaderNoExpect) ||
      (options_.gzip && !headers.append(texts::kHeaderGzip)) ||
      (!token_header_.empty() && !headers.append(token_header_.c_str()))) {
    why_not = std::string(texts::kCurlSetupFailed);
    return false;
  }
  headers_.swap(headers);
  wire_body_ = &body;
  if (options_.gzip) {
    gzip_.reset(body);  // may throw: nothing is open yet
    wire_body_ = &gzip_;
  }

  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_.get());
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
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, forward_header);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
  response_copied_ = 0;
  response_cut_ = false;
  answer_ = TransferResult();

  if (curl_multi_add_handle(multi_.get(), handle) != CURLM_OK) {
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    wire_body_ = nullptr;
    why_not = std::string(texts::kCurlSetupFailed);
    return false;
  }
  busy_ = true;
  int running = 0;
  curl_multi_perform(multi_.get(), &running);  // begins connecting at once
  return true;
}

void CurlTransport::wait(pollfd* extra, std::size_t count, int timeout_ms) {
  std::vector<curl_waitfd> fds(count);
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].fd = extra[i].fd;
    fds[i].events = curl_events(extra[i].events);
    fds[i].revents = 0;
  }
  // curl_multi_poll sleeps for the time-out even with nothing to wait on
  // (curl_multi_wait would return at once), and a signal ends it early.
  curl_multi_poll(multi_.get(), fds.data(), static_cast<unsigned>(count), timeout_ms, nullptr);
  for (std::size_t i = 0; i < count; ++i) extra[i].revents = poll_events(fds[i].revents);
}

std::optional<TransferResult> CurlTransport::progress() {
  if (!busy_) return std::nullopt;
  int running = 0;
  curl_multi_perform(multi_.get(), &running);
  int left = 0;
  CURLMsg* message = nullptr;
  std::optional<TransferResult> result;
  while ((message = curl_multi_info_read(multi_.get(), &left)) != nullptr) {
    if (message->msg != CURLMSG_DONE || message->easy_handle != easy_.get()) continue;
    TransferResult done;
    done.code = message->data.result;
    result = done;
  }
  if (!result) return std::nullopt;

  CURL* const handle = easy_.get();
  curl_multi_remove_handle(multi_.get(), handle);
  busy_ = false;
  // The response body went to standard output; flush it so that it is not
  // held behind the next log line.
  std::fflush(stdout);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
  CurlHeaderList().swap(headers_);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result->status);
  long request_bytes = 0;
  curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &request_bytes);
  result->request_sent = request_bytes > 0;
  result->response_cut = response_cut_;
  if (result->code != CURLE_OK) result->error_text = error_text_;
  result->influx_error = answer_.influx_error;
  result->influx_header = answer_.influx_header;
  result->server = std::move(answer_.server);
  result->retry_after = std::move(answer_.retry_after);
  result->date = std::move(answer_.date);
  result->body = std::move(answer_.body);
  result->received_at = static_cast<std::int64_t>(std::time(nullptr));
  wire_body_ = nullptr;
  return result;
}

bool CurlTransport::seek_body(curl_off_t offset, int origin) {
  // Only a rewind to the start of the body is possible.
  if (offset != 0 || origin != SEEK_SET) return false;
  return wire_body_->rewind();
}

void CurlTransport::take_header(const char* data, std::size_t size) {
  const std::string_view line(data, size);
  if (line.substr(0, 5) == "HTTP/") {  // a new answer's status line: forget an earlier one's
    answer_ = TransferResult();
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = trimmed(line.substr(colon + 1)).substr(0, kAnswerHeaderBytes);
  if (same_name(name.substr(0, 11), "X-Influxdb-")) answer_.influx_header = true;
  if (same_name(name, "X-Influxdb-Error")) answer_.influx_error = true;
  if (same_name(name, "Server")) answer_.server = value;
  if (same_name(name, "Retry-After")) answer_.retry_after = value;
  if (same_name(name, "Date")) answer_.date = value;
}

std::size_t CurlTransport::copy_response(const char* data, std::size_t size) {
  const std::size_t kept = std::min(size, kAnswerBodyBytes - answer_.body.size());
  answer_.body.append(data, kept);
  const std::size_t taken = std::min(size, kMaxResponseCopyBytes - response_copied_);
  std::fwrite(data, 1, taken, stdout);
  response_copied_ += taken;
  if (taken < size) {
    response_cut_ = true;
    return 0;  // ends the transfer: an endless body must not fill the log
  }
  return size;
}
