#include "writer/delivery_report.h"

#include "app/log.h"
#include "texts.h"

void DeliveryReport::body_outcome(const BodyOutcome& outcome, std::size_t pending,
                                  Clock::time_point now, WallClock::time_point wall_now) {
  using Kind = BodyOutcome::Kind;
  // An unanswered body whose newer records the cap (or the spool's bound)
  // dropped while it was out goes too: counted like the others.
  if (outcome.dropped_at_cap > 0) dropped_at_cap(outcome.dropped_at_cap, now);
  switch (outcome.kind) {
    case Kind::kStored:
      delivered(outcome.records, pending, now);
      return;
    case Kind::kRecordDropped:
      log_info(std::string(outcome.never_answered ? texts::kWriteNeverAnswered
                           : outcome.unproven     ? texts::kWriteNeverTaken
                                                  : texts::kWriteRefused) +
               outcome.reason + std::string(texts::kRefusedRecords) + "1");
      return;
    case Kind::kNarrowed:
      if (!outcome.timed_out) {
        // One info line for the body first refused, the narrower ones at debug level.
        const std::string line =
            std::string(outcome.unproven ? texts::kWriteRefusedUnproven : texts::kWriteRefused) +
            outcome.reason + std::string(texts::kRefusedBody) + std::to_string(outcome.records) +
            std::string(texts::kRefusedBodyHalves);
        outcome.first_refusal ? log_info(line) : log_debug(line);
        return;
      }
      [[fallthrough]];  // a body not answered in time
    case Kind::kHeldAside:
    case Kind::kFailed:
      if (outcome.outage) {
        failed(outcome.reason, pending, now, wall_now);
      } else {
        log_debug(std::string(texts::kPostFailed) + outcome.reason);
      }
      return;
  }
}

void DeliveryReport::not_started(const std::string& reason, std::size_t pending,
                                 Clock::time_point now, WallClock::time_point wall_now) {
  failed(reason, pending, now, wall_now);
}

void DeliveryReport::failed(const std::string& reason, std::size_t pending, Clock::time_point now,
                            WallClock::time_point wall_now) {
  log_debug(std::string(texts::kPostFailed) + reason);
  if (episode_open_) return;
  episode_open_ = true;
  episode_reported_ = false;
  episode_reason_ = reason;
  episode_since_ = now;
  episode_since_wall_ = wall_now;
  if (!begin_line_written_ || now - last_begin_line_ >= kLineInterval) begin_line(pending, now);
}

void DeliveryReport::begin_line(std::size_t pending, Clock::time_point now) {
  log_info(std::string(texts::kOutageBegins) + episode_reason_ +
           std::string(texts::kOutageRecordsKept) + std::to_string(pending));
  episode_reported_ = true;
  begin_line_written_ = true;
  last_begin_line_ = now;
}

void DeliveryReport::delivered(std::size_t records, std::size_t pending, Clock::time_point now) {
  if (!episode_open_) return;
  episode_open_ = false;
  if (!episode_reported_) return;  // a flap within the interval: said nothing, says nothing
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - episode_since_);
  log_info(std::string(texts::kOutageEnds) + std::to_string(seconds.count()) +
           std::string(texts::kOutageDelivered) + std::to_string(records) +
           std::string(texts::kOutageStillPending) + std::to_string(pending));
}

void DeliveryReport::dropped_at_cap(std::size_t records, Clock::time_point now) {
  dropped_unreported_ += records;
  if (!drop_line_written_ || now - last_drop_line_ >= kLineInterval) report_dropped(now);
}

void DeliveryReport::tick(Clock::time_point now, std::size_t pending) {
  if (episode_open_ && !episode_reported_ && now - last_begin_line_ >= kLineInterval) {
    begin_line(pending, now);  // a flapping database that stayed down
  }
  if (dropped_unreported_ > 0 && now - last_drop_line_ >= kLineInterval) report_dropped(now);
}

void DeliveryReport::flush_dropped() {
  if (dropped_unreported_ == 0) return;
  log_info(std::string(texts::kPendingFull) + std::to_string(dropped_unreported_));
  dropped_unreported_ = 0;
}

void DeliveryReport::report_dropped(Clock::time_point now) {
  if (dropped_unreported_ == 0) return;
  flush_dropped();
  drop_line_written_ = true;
  last_drop_line_ = now;
}

void DeliveryReport::spool_opened(std::uint64_t records) {
  log_info(std::string(texts::kSpoolRecordsFound) + std::to_string(records));
}

void DeliveryReport::spool_events(const SpoolEvents& events, Clock::time_point now) {
  if (events.skipped_bytes > 0) {
    log_info(std::string(texts::kSpoolDamageSkipped) + std::to_string(events.skipped_bytes));
  }
  if (!events.unusable.empty()) log_info(std::string(texts::kSpoolUnusable) + events.unusable);
  if (events.usable_again) log_info(texts::kSpoolUsableAgain);
  if (!events.too_large.empty()) log_info(events.too_large);
  if (events.dropped > 0) dropped_at_cap(events.dropped, now);
}
