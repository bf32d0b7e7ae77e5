// The delivery state: the queue of pending records, the back-off, the narrowing and
// growing back of bodies, and the record held aside that the database never
// answers. It decides what the next body is and what becomes of a body after
// its transfer; it never touches the network or the clock (the time is passed
// in), so unit tests drive it with a fake transport.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_DELIVERY_STATE_H_
#define MQTT_INFLUX_BRIDGE_WRITER_DELIVERY_STATE_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "writer/back_off.h"
#include "writer/memory_queue.h"
#include "writer/posting_policy.h"
#include "writer/record_limit.h"
#include "writer/transfer_verdict.h"

// What became of a body, for the report to put into words.
struct BodyOutcome {
  enum class Kind {
    kStored,         // the database stored it
    kRecordDropped,  // a record the database refuses or never answers is gone
    kNarrowed,       // a smaller body goes next, at once
    kHeldAside,      // one record that timed out waits aside; the others go on
    kFailed,         // kept whole; the back-off runs
  };
  Kind kind = Kind::kFailed;
  Verdict verdict = Verdict::kKeep;
  std::size_t records = 0;  // in the body
  // The failure says the database is not answering: an outage, not a body
  // too big or one record it chokes on after it has just stored another.
  bool outage = false;
  // The first of a series of refusals narrowing a body down (an info line;
  // the narrower ones are debug lines).
  bool first_refusal = false;
  bool timed_out = false;       // sent, and not answered within the time-out
  bool never_answered = false;  // kRecordDropped: after its time-outs, not a refusal
  // Refused (400, 413) or answered unreadably, but not with the database's
  // own error for a line: the body's records are kept; kRecordDropped: the
  // record was refused so alone, again and again, while others were stored.
  bool unproven = false;
  // Records of an unanswered body dropped at the cap: newer ones were
  // dropped while it was out, so the oldest go rather than leave a gap.
  std::size_t dropped_at_cap = 0;
  std::string reason;
};

class DeliveryState {
 public:
  using Clock = std::chrono::steady_clock;
  // A record held aside is dropped after this many time-outs (or refusals
  // not proven the database's) alone, when bodies without it were stored
  // meanwhile.
  static constexpr int kHeldRecordTries = 3;

  // Records queue in memory (a MemoryQueue), or in `queue`.
  explicit DeliveryState(std::size_t cap_bytes = kPendingCapBytes,
                         std::size_t max_body_bytes = kMaxBodyBytes)
      : pending_(std::make_unique<MemoryQueue>(cap_bytes, max_body_bytes)),
        max_body_bytes_(max_body_bytes) {}
  explicit DeliveryState(std::unique_ptr<RecordQueue> queue,
                         std::size_t max_body_bytes = kMaxBodyBytes)
      : pending_(std::move(queue)), max_body_bytes_(max_body_bytes) {}

  // Replaces the queue; only before the first record.
  void use_queue(std::unique_ptr<RecordQueue> queue) { pending_ = std::move(queue); }

  // Queues a record; returns how many old records the cap dropped for it.
  std::size_t append(std::string_view record, Clock::time_point now);

  // What the posting policy weighs, as of `now`.
  PostingInputs posting_inputs(Clock::time_point now, bool more_waiting) const;
  // When the loop must look again without any event: the back-off's end, or
  // the gathering limit of the oldest queued record. Clock::time_point::max()
  // when only an event can change the decision.
  Clock::time_point next_deadline(Clock::time_point now, bool more_waiting) const;

  // Opens the next body: the record held aside when it is its turn (or
  // `held_first`), else the oldest queued records. Returns its length in
  // bytes (0: nothing to send).
  std::size_t open_body(bool held_first = false);
  std::size_t read(char* buffer, std::size_t room) { return pending_->read(buffer, room); }
  void rewind() { pending_->rewind(); }
  // Decides the open body's fate from its transfer's result.
  BodyOutcome close_body(const TransferResult& result, Clock::time_point now);
  // Closes the open body as not sent (the transfer could not even start);
  // the back-off runs.
  // Returns the records dropped at the cap on the way.
  std::size_t not_started(Clock::time_point now);

  bool body_open() const { return pending_->transfer_open(); }
  std::size_t body_records() const { return pending_->body_record_count(); }
  std::size_t records() const { return pending_->record_count(); }
  const RecordQueue& pending() const { return *pending_; }
  std::size_t record_limit() const { return limit_.limit(); }
  std::chrono::milliseconds back_off_delay() const { return back_off_.delay(); }

 private:
  // The database answered the open body (stored it, or refused its one
  // record): it is done with, and the back-off and stall count start over.
  void body_answered(bool held);
  // The held-aside record is gone (answered or given up on): its count and
  // turn go with it.
  void forget_held_record();

  std::unique_ptr<RecordQueue> pending_;
  const std::size_t max_body_bytes_;
  BackOff back_off_;
  RecordLimit limit_;
  // When the oldest queued record was appended, and the oldest record of the
  // open body (it goes back to the front if not answered).
  Clock::time_point oldest_queued_since_{};
  Clock::time_point body_since_{};
  // Whether the database answered the last transfer that ended (stored or
  // refused its body): a time-out right after an answer means "too big" or
  // "this record", not "down".
  bool last_answered_ = false;
  // Time-outs alone of the record at the front while the database answered
  // nothing: after a few it is held aside all the same.
  int front_tries_ = 0;
  // The record held aside: its time-outs alone, and whether a body without
  // it was stored since its last try (then it is due for another).
  int held_tries_ = 0;
  bool held_due_ = false;
  bool others_stored_ = false;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_DELIVERY_STATE_H_
