#include "writer/influx_writer.h"

#include <algorithm>
#include <optional>

#include "app/log.h"
#include "texts.h"
#include "writer/curl_transport.h"

InfluxWriter influx_writer;

namespace {

using std::chrono::milliseconds;

// libcurl's transport, or nothing when even that could not be allocated.
std::unique_ptr<Transport> curl_transport() {
  try {
    return std::make_unique<CurlTransport>();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

InfluxWriter::InfluxWriter() : InfluxWriter(curl_transport(), [] { return Clock::now(); }) {}

InfluxWriter::InfluxWriter(std::unique_ptr<Transport> transport,
                           std::function<Clock::time_point()> now)
    : transport_(std::move(transport)), now_(std::move(now)) {}

InfluxWriter::~InfluxWriter() = default;

std::string InfluxWriter::url() const { return url(precision); }

std::string InfluxWriter::url(std::string_view of_precision) const {
  // InfluxDB 1.x names microseconds "u"; a text it does not know is read as
  // nanoseconds, which would store every "us" timestamp 1000 times too early.
  const std::string_view url_precision = of_precision == "us" ? std::string_view("u") : of_precision;
  std::string text;
  text.reserve(64);
  text.append(base_url);
  text.append(texts::kUrlWritePath).append(texts::kUrlDatabase).append(database);
  if (!retention_policy.empty()) text.append(texts::kUrlRetentionPolicy).append(retention_policy);
  text.append(texts::kUrlPrecision).append(url_precision);
  return text;
}

std::size_t InfluxWriter::pending_records() const {
  std::lock_guard<std::mutex> lock(mutex);
  return pending_count();
}

void InfluxWriter::use_spool(std::unique_ptr<Spool> spool) {
  std::uint64_t found;
  {
    std::lock_guard<std::mutex> lock(mutex);
    spool->set_precision(precision);
    auto queue = std::make_unique<SpoolQueue>(std::move(spool), precision);
    spool_ = queue.get();
    spool_->set_now(now_());
    found = spool_->records_found();
    delivery_.use_queue(std::move(queue));
  }
  report_.spool_opened(found);
  report_spool();
}

void InfluxWriter::report_spool() {
  if (spool_ == nullptr) return;
  SpoolEvents events;
  {
    std::lock_guard<std::mutex> lock(mutex);
    events = spool_->take_events();
  }
  if (events.any()) report_.spool_events(events, now_());
}

void InfluxWriter::write(std::string_view line) {
  std::size_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    // Throws only with the record not kept.
    if (spool_ != nullptr) spool_->set_now(now_());
    dropped = delivery_.append(line, now_());
  }
  try {
    if (dropped > 0) report_.dropped_at_cap(dropped, now_());
    report_spool();
    post_if_due();
  } catch (...) {
    // The record is kept; the main loop tries again after its next wait.
  }
}

void InfluxWriter::post_if_due() {
  if (transport_ == nullptr || transport_->busy()) return;
  bool due;
  {
    std::lock_guard<std::mutex> lock(mutex);
    due = should_post(delivery_.posting_inputs(now_(), more_waiting()));
  }
  if (due) start_transfer(milliseconds(kTransferTimeoutMs), false);
}

bool InfluxWriter::start_transfer(milliseconds budget, bool held_first) {
  std::size_t left;
  std::string body_precision = precision;
  bool opened;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (spool_ != nullptr) spool_->set_now(now_());
    opened = delivery_.open_body(held_first) > 0;
    // A spooled record goes out with the precision it was made with.
    if (opened && spool_ != nullptr) body_precision = spool_->body_precision();
    left = pending_count();
  }
  // Reading a body from the spool may have passed damage or failed.
  report_spool();
  if (!opened) return false;
  try {
    const std::string address = url(body_precision);
    log_trace(address);
    std::string why_not;
    if (transport_->start(address, body_, budget, why_not)) return true;
    std::size_t dropped;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (spool_ != nullptr) spool_->set_now(now_());
      dropped = delivery_.not_started(now_());
    }
    if (dropped > 0) report_.dropped_at_cap(dropped, now_());
    report_spool();
    report_.not_started(why_not, left, now_(), WallClock::now());
  } catch (...) {
    // Out of memory on the way: the body stays whole for a later try, after
    // the back-off, and the bridge goes on.
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (delivery_.body_open() && !transport_->busy()) delivery_.not_started(now_());
    }
    log_info(std::string(texts::kPostNotStarted) + std::to_string(left));
  }
  return false;
}

std::optional<BodyOutcome> InfluxWriter::take_result() {
  const std::optional<TransferResult> result = transport_->progress();
  if (!result) return std::nullopt;
  BodyOutcome outcome;
  std::size_t left;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (spool_ != nullptr) spool_->set_now(now_());
    outcome = delivery_.close_body(*result, now_());
  }
  report_spool();
  {
    std::lock_guard<std::mutex> lock(mutex);
    left = pending_count();
  }
  report_.body_outcome(outcome, left, now_(), WallClock::now());
  return outcome;
}

InfluxWriter::Clock::time_point InfluxWriter::next_due(Clock::time_point now, bool more_waiting) const {
  if (transport_ == nullptr) return Clock::time_point::max();
  std::lock_guard<std::mutex> lock(mutex);
  Clock::time_point due = delivery_.next_deadline(now, more_waiting);
  if (spool_ != nullptr) due = std::min(due, spool_->next_sync());
  return due;
}

void InfluxWriter::wait(pollfd* extra, std::size_t count, int timeout_ms) {
  if (transport_ == nullptr) return;
  const Clock::time_point now = now_();
  bool waiting;
  {
    std::lock_guard<std::mutex> lock(mutex);
    waiting = more_waiting();
  }
  const Clock::time_point due = next_due(now, waiting);
  if (due != Clock::time_point::max()) {
    const auto until_due = std::chrono::duration_cast<milliseconds>(due - now);
    // Rounded up, so the wait does not end a moment before the deadline.
    const long ms = std::max<long>(0, static_cast<long>(until_due.count()) + (due > now ? 1 : 0));
    timeout_ms = static_cast<int>(std::min<long>(timeout_ms, ms));
  }
  transport_->wait(extra, count, timeout_ms);
}

void InfluxWriter::run_due_work() {
  if (transport_ == nullptr) return;
  try {
    take_result();
    if (spool_ != nullptr) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        spool_->set_now(now_());
        spool_->tick();
      }
      report_spool();
    }
    post_if_due();
    report_.tick(now_(), pending_records());
  } catch (...) {
    // Out of memory while putting an outcome into words: the outcome itself
    // has been applied; at most a line is lost.
  }
}

void InfluxWriter::flush_at_shutdown() {
  if (transport_ == nullptr) return;
  const Clock::time_point deadline = now_() + kShutdownBudget;
  try {
    for (;;) {
      const Clock::time_point now = now_();
      if (now >= deadline) break;
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - now);
      if (transport_->busy()) {
        // The transfer under way when the stop came, or one of the flush's own.
        transport_->wait(nullptr, 0, static_cast<int>(std::min<long>(left.count(), 100)));
        const std::optional<BodyOutcome> outcome = take_result();
        if (outcome && outcome->kind == BodyOutcome::Kind::kFailed) break;  // no answer: give up
        continue;
      }
      bool queued_empty;
      {
        std::lock_guard<std::mutex> lock(mutex);
        queued_empty = delivery_.pending().queued_records() == 0;
      }
      // The record held aside gets its try once the others are out.
      if (!start_transfer(std::min(left, milliseconds(kTransferTimeoutMs)), queued_empty)) break;
    }
    std::size_t undelivered;
    std::size_t spooled = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      undelivered = pending_count();
      if (spool_ != nullptr) {
        // What the spool holds survives the stop; what memory alone holds does not.
        spool_->set_now(now_());
        spool_->stop();
        const std::size_t memory_only = spool_->memory_only_records();
        spooled = undelivered - memory_only;
        undelivered = memory_only;
      }
    }
    report_spool();
    report_.flush_dropped();
    if (spooled > 0) log_info(std::string(texts::kSpoolKeptAtShutdown) + std::to_string(spooled));
    if (undelivered > 0) log_info(std::string(texts::kUndelivered) + std::to_string(undelivered));
  } catch (...) {
    // Out of memory at the very end: what is pending is lost with the process anyway.
  }
}

std::size_t InfluxWriter::read_body(char* buffer, std::size_t size, std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  return delivery_.read(buffer, size * count);
}

bool InfluxWriter::rewind_body() {
  std::lock_guard<std::mutex> lock(mutex);
  delivery_.rewind();
  return true;
}
