// The bridge's only way out to the database: posts line-protocol records to
// InfluxDB 1.x's HTTP /write endpoint. The façade the rest of the bridge
// calls; behind it:
//   memory_queue      the records, whole, in order      (where records are kept)
//   spool_queue       with --spool: the spool is the queue, bodies read from disk
//   posting_policy    whether a POST starts now          (the one decision)
//   delivery_state    what the next body is, and what becomes of it
//   transfer_verdict  what a transfer's outcome means    (where a failure is judged)
//   curl_transport    the POST itself, never blocking    (where bytes go on the wire)
//   delivery_report   outage, refusal and drop lines     (where a line is logged)
//
// Threading: everything runs on the main thread (write from the message
// callback, the rest from the main loop; libcurl's callbacks inside the
// transport's progress()). `mutex` guards `delivery_` and is never held across
// a call into the transport.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_INFLUX_WRITER_H_
#define MQTT_INFLUX_BRIDGE_WRITER_INFLUX_WRITER_H_

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

#include "writer/delivery_report.h"
#include "writer/delivery_state.h"
#include "writer/spool_queue.h"
#include "writer/transport.h"

// The last attempt at shutdown may take a few bodies, but no longer than this.
inline constexpr std::chrono::milliseconds kShutdownBudget{10000};

class InfluxWriter {
 public:
  using Clock = std::chrono::steady_clock;
  using WallClock = std::chrono::system_clock;

  // libcurl's transport and the real clocks.
  InfluxWriter();
  // Tests: a transport and a clock of their own.
  InfluxWriter(std::unique_ptr<Transport> transport, std::function<Clock::time_point()> now);
  InfluxWriter(const InfluxWriter&) = delete;
  InfluxWriter& operator=(const InfluxWriter&) = delete;
  ~InfluxWriter();

  // False when libcurl's global set-up or its handles failed: such a
  // writer could never deliver anything, and start-up refuses to go on.
  bool ready() const { return transport_ != nullptr && transport_->ready(); }

  // Queues the record (in the spool, with one), then starts a POST if
  // the posting policy says so (the URL's trace line is then written before
  // this returns). Never waits for the database. Throws only when the record
  // could not be kept (out of memory): then, and only then, it is lost.
  void write(std::string_view line);
  void write(const std::ostringstream& line) { write(std::string_view(line.str())); }

  // Tells whether more MQTT packets are already waiting to be read (a
  // zero-timeout poll of the library's socket); unset, nothing ever is.
  void set_more_waiting(std::function<bool()> more_waiting) { more_waiting_ = std::move(more_waiting); }

  // The main loop's one wait: at most `timeout_ms`, less when a POST falls
  // due sooner (back-off, gathering limit), ended early by the transfer's
  // sockets, by any of `extra` (revents filled in) or by a signal.
  void wait(pollfd* extra, std::size_t count, int timeout_ms);
  // When the writer next has work due (a POST, the spool's sync), with
  // `more_waiting` saying whether MQTT packets wait on the socket; max() for
  // nothing. The main loop ends a turn's reading once that has come.
  Clock::time_point next_due(Clock::time_point now, bool more_waiting) const;
  Clock::time_point next_due(bool more_waiting) const { return next_due(now_(), more_waiting); }
  // After the wait: takes the transfer's result if it ended, starts the next
  // POST if one is due, writes lines held back. Never throws, never blocks.
  void run_due_work();
  // Shutdown: posts what is pending, ignoring the back-off, in transfers that
  // all fit within kShutdownBudget together; logs how many records could not
  // be delivered.
  void flush_at_shutdown();

  // Since when the database has been failing, or nothing while it answers.
  bool in_outage() const { return report_.in_outage(); }
  WallClock::time_point outage_since() const { return report_.outage_since(); }
  std::size_t pending_records() const;

  // The open transfer's body source: hands out the body from its offset, in
  // pieces of at most size * count bytes; 0 ends the body.
  std::size_t read_body(char* buffer, std::size_t size, std::size_t count);
  // Starts the open transfer's body again (libcurl re-sends it on a fresh connection).
  bool rewind_body();

  // base_url "/write?db=" database "&precision=" precision; a retention
  // policy adds "&rp=" retention_policy after the database.
  std::string url() const;
  // The same with another precision (of spooled records made by an earlier run).
  std::string url(std::string_view of_precision) const;

  // Keeps every record in `spool` until the database has answered for it;
  // the records it holds go out first. Once, at start-up, before any write.
  // Logs how many records it held.
  void use_spool(std::unique_ptr<Spool> spool);
  // The spool's sync and retry, for tests; nothing without a spool.
  const SpoolQueue* spool() const { return spool_; }

  // How the database is reached beyond the URL (credentials, trust, gzip);
  // once, at start-up.
  void configure_transport(const TransportOptions& options) {
    if (transport_ != nullptr) transport_->configure(options);
  }

  // Assigned once by start-up, before the first broker connection. database
  // and retention_policy go into the query as they are (start-up encodes them).
  std::string base_url = "http://localhost:8086";  // without trailing slashes
  std::string database = "mydb";
  std::string precision = "ms";
  std::string retention_policy;  // empty: no rp parameter

 private:
  // Forwards the transport's reads to read_body and rewind_body.
  class Body final : public BodySource {
   public:
    explicit Body(InfluxWriter& writer) : writer_(writer) {}
    std::size_t read(char* buffer, std::size_t room) override { return writer_.read_body(buffer, 1, room); }
    bool rewind() override { return writer_.rewind_body(); }

   private:
    InfluxWriter& writer_;
  };

  // Asked only with records queued: an idle bridge makes no system call for it.
  // Called with `mutex` held.
  bool more_waiting() const {
    return more_waiting_ && delivery_.pending().queued_records() > 0 && more_waiting_();
  }
  // Asks the posting policy; starts a POST when it says so.
  void post_if_due();
  // Opens a body and starts its transfer within `budget`; false when there
  // was nothing to send or it could not start.
  bool start_transfer(std::chrono::milliseconds budget, bool held_first);
  // Takes the transfer's result, if it ended, and decides the body's fate.
  std::optional<BodyOutcome> take_result();
  // Records pending, in memory and in the spool. Called with `mutex` held.
  std::size_t pending_count() const { return delivery_.records(); }
  // Logs what happened to the spool since the last call.
  void report_spool();

  std::unique_ptr<Transport> transport_;
  std::function<Clock::time_point()> now_;
  DeliveryState delivery_;
  mutable std::mutex mutex;
  DeliveryReport report_;
  Body body_{*this};
  std::function<bool()> more_waiting_;
  SpoolQueue* spool_ = nullptr;  // delivery_'s queue with a spool; guarded by `mutex`
};

// The one process-wide writer, made by static initialisation.
extern InfluxWriter influx_writer;

#endif  // MQTT_INFLUX_BRIDGE_WRITER_INFLUX_WRITER_H_
