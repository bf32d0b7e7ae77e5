#include "writer/delivery_state.h"

std::size_t DeliveryState::append(std::string_view record, Clock::time_point now) {
  if (pending_->queued_records() == 0) oldest_queued_since_ = now;
  return pending_->append(record);
}

PostingInputs DeliveryState::posting_inputs(Clock::time_point now, bool more_waiting) const {
  PostingInputs in;
  in.transfer_in_flight = pending_->transfer_open();
  in.back_off_over = back_off_.due(now);
  in.more_waiting = more_waiting;
  in.queued_bytes = pending_->queued_bytes();
  in.queued_records = pending_->queued_records();
  in.held_record_due = held_due_ && pending_->holds_aside();
  in.body_limit_bytes = max_body_bytes_;
  in.record_limit = limit_.limit();
  if (in.queued_records > 0) in.oldest_waited = now - oldest_queued_since_;
  return in;
}

DeliveryState::Clock::time_point DeliveryState::next_deadline(Clock::time_point now,
                                                              bool more_waiting) const {
  const PostingInputs in = posting_inputs(now, more_waiting);
  if (in.transfer_in_flight) return Clock::time_point::max();  // its end is an event
  if (in.queued_records == 0 && !in.held_record_due) return Clock::time_point::max();
  if (!in.back_off_over) return back_off_.next_attempt();
  if (gathering(in)) return oldest_queued_since_ + kMaxGatherWait;
  return now;  // due at once
}

std::size_t DeliveryState::open_body(bool held_first) {
  if (pending_->transfer_open()) return 0;
  if ((held_due_ || held_first) && pending_->holds_aside()) return pending_->begin_held_transfer();
  body_since_ = oldest_queued_since_;
  pending_->set_record_limit(limit_.limit());
  return pending_->begin_transfer();
}

std::size_t DeliveryState::not_started(Clock::time_point now) {
  const bool from_queue = !pending_->body_is_held();
  const std::size_t dropped = pending_->end_transfer(false);
  if (from_queue && dropped == 0) oldest_queued_since_ = body_since_;
  back_off_.failed(now);
  return dropped;
}

void DeliveryState::forget_held_record() {
  held_tries_ = 0;
  held_due_ = false;
  others_stored_ = false;
}

void DeliveryState::body_answered(bool held) {
  pending_->end_transfer(true);
  back_off_.succeeded();
  last_answered_ = true;
  front_tries_ = 0;
  if (held) forget_held_record();
}

BodyOutcome DeliveryState::close_body(const TransferResult& result, Clock::time_point now) {
  BodyOutcome out;
  if (!pending_->transfer_open()) return out;
  out.records = pending_->body_record_count();
  out.verdict = judge_transfer(result, out.records);
  out.reason = transfer_reason(result);
  out.timed_out = out.verdict == Verdict::kTimedOutAlone ||
                  (out.verdict == Verdict::kSplit && result.code == CURLE_OPERATION_TIMEDOUT);
  out.unproven = is_unproven_refusal(result);
  const bool held = pending_->body_is_held();
  const bool answered_before = last_answered_;
  // A body that goes back to the front of the queue brings its age with it.
  auto keep_body = [&] {
    out.dropped_at_cap = pending_->end_transfer(false);
    if (!held && out.dropped_at_cap == 0) oldest_queued_since_ = body_since_;
  };

  switch (out.verdict) {
    case Verdict::kStored:
      body_answered(held);
      if (!held) {
        limit_.stored(out.records);
        if (pending_->holds_aside()) {
          others_stored_ = true;  // the database works: the held record's turn
          held_due_ = true;
        }
      }
      out.kind = BodyOutcome::Kind::kStored;
      return out;

    case Verdict::kDropRecord:
      // The database answered: the one record is what it refuses.
      body_answered(held);
      out.kind = BodyOutcome::Kind::kRecordDropped;
      return out;

    case Verdict::kSplit:
      keep_body();
      if (out.timed_out) {
        // Narrowing down is not a failure of the database yet: only a body it
        // does not answer at any size is.
        limit_.timed_out(out.records);
        out.outage = !answered_before;
      } else {
        // One line at info level for a full-size body refused; the narrower
        // bodies of the search are debug lines.
        out.first_refusal = limit_.limit() == 0;
        limit_.refused(out.records);
        last_answered_ = true;
      }
      out.kind = BodyOutcome::Kind::kNarrowed;
      return out;

    case Verdict::kTimedOutAlone:
    case Verdict::kUnprovenAlone:
      // Whoever refused the record alone without the database's own error
      // for it (a proxy, a TLS port reached with http://) may refuse every
      // record so: it is kept like one the database never answers.
      out.outage = !answered_before;
      if (held) {
        ++held_tries_;
        held_due_ = false;  // again once another body has been stored
        if (held_tries_ >= kHeldRecordTries && others_stored_) {
          pending_->end_transfer(true);
          forget_held_record();
          out.kind = BodyOutcome::Kind::kRecordDropped;
          out.never_answered = !out.unproven;
          out.outage = false;
          return out;
        }
        keep_body();
      } else if (!pending_->holds_aside() && pending_->queued_records() > 0 &&
                 (answered_before || ++front_tries_ >= kHeldRecordTries)) {
        // Perhaps the record is what the database chokes on: the records
        // behind it go on meanwhile (each carries its timestamp, so the order
        // across records changes nothing stored). While the database answers
        // nothing at all it may just be stalled: the order is kept for a few
        // tries first.
        front_tries_ = 0;
        pending_->end_transfer_holding_aside();
        held_tries_ = 1;
        held_due_ = false;
        others_stored_ = false;
        out.kind = BodyOutcome::Kind::kHeldAside;
        return out;
      } else {
        keep_body();
      }
      if (pending_->queued_records() > 0 && pending_->holds_aside() && held) {
        out.kind = BodyOutcome::Kind::kHeldAside;  // the others go on at once
        return out;
      }
      back_off_.failed(now);
      last_answered_ = false;
      // Kept at the front, waiting: whatever refused it is worth a line.
      if (out.unproven && !held) out.outage = true;
      out.kind = BodyOutcome::Kind::kFailed;
      return out;

    case Verdict::kKeep:
      break;
  }
  keep_body();
  back_off_.failed(now, retry_after(result));
  last_answered_ = false;
  out.outage = true;
  out.kind = BodyOutcome::Kind::kFailed;
  return out;
}
