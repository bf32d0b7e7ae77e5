#include "writer/posting_policy.h"

namespace {

bool body_full(const PostingInputs& in) {
  return in.queued_bytes >= in.body_limit_bytes ||
         (in.record_limit > 0 && in.queued_records >= in.record_limit);
}

}  // namespace

bool gathering(const PostingInputs& in) {
  return in.queued_records > 0 && in.more_waiting && !body_full(in) &&
         in.oldest_waited < kMaxGatherWait;
}

bool should_post(const PostingInputs& in) {
  if (in.transfer_in_flight || !in.back_off_over) return false;
  if (in.held_record_due) return true;
  if (in.queued_records == 0) return false;
  return !gathering(in);
}

bool read_on(const ReadingTurn& turn) {
  return turn.packets < turn.packet_limit && turn.spent < turn.budget && !turn.writer_due;
}
