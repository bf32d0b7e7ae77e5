// The records waiting for the database, in memory: whole line-protocol
// records, each ended by a line feed. Pure buffer logic, no I/O, so the rules
// that keep records whole can be tested without a socket. The queue of a
// bridge without --spool, and of the records a spool could not take.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_MEMORY_QUEUE_H_
#define MQTT_INFLUX_BRIDGE_WRITER_MEMORY_QUEUE_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "writer/record_queue.h"

// A transfer takes the oldest whole records out as its body and gives them
// back at the front if the server did not answer, so a transfer that breaks
// off can be repeated from its first record and the next body never starts
// with a fragment. Records keep arriving while a transfer is open (transfers
// run beside the MQTT intake), and the cap never touches the open body nor
// the record held aside.
class MemoryQueue final : public RecordQueue {
 public:
  explicit MemoryQueue(std::size_t cap_bytes = kPendingCapBytes,
                       std::size_t max_body_bytes = kMaxBodyBytes)
      : cap_bytes_(cap_bytes), max_body_bytes_(max_body_bytes) {}

  // When the text would pass the cap, the oldest whole records outside the
  // open body go first. The newest record is always kept.
  std::size_t append(std::string_view record) override;

  void set_record_limit(std::size_t records) override { record_limit_ = records; }
  std::size_t record_limit() const { return record_limit_; }
  std::size_t begin_transfer() override;
  std::size_t begin_held_transfer() override;
  std::size_t read(char* buffer, std::size_t room) override;
  void rewind() override { offset_ = 0; }
  // Unanswered, the body goes back to the front -- unless the cap dropped
  // queued records while it was open: those were newer than the body, so the
  // body's records, the oldest, go too and what stays is the newest, without
  // a gap.
  std::size_t end_transfer(bool answered) override;
  void end_transfer_holding_aside() override;

  bool transfer_open() const override { return transfer_open_; }
  bool body_is_held() const override { return body_is_held_; }
  bool holds_aside() const override { return held_records_ > 0; }
  std::size_t body_record_count() const override { return body_records_; }
  std::size_t queued_records() const override { return queued_records_; }
  std::size_t queued_bytes() const override { return text_.size() - start_; }
  std::size_t record_count() const override { return records_; }

  // Bytes pending: queued, in the open body and held aside.
  std::size_t size() const { return queued_bytes() + body_.size() + held_.size(); }
  bool empty() const { return size() == 0; }
  // The open body (when it came from the queue) and then the queue: the
  // order records go out in. Tests compare it with a model.
  std::string text() const;

 private:
  // Removes the first `bytes` of the queue, which end on a record boundary.
  void discard_front(std::size_t bytes, std::size_t records);
  void drop_front_record();

  const std::size_t cap_bytes_;
  const std::size_t max_body_bytes_;
  // The queue is text_[start_, end): dropping old records only moves start_,
  // and the dead front is compacted away now and then, so a flood at the cap
  // costs no copy of the whole text per record.
  std::string text_;
  std::size_t start_ = 0;
  std::size_t queued_records_ = 0;
  std::size_t records_ = 0;
  // The open transfer's body, taken out of the queue (or the held record),
  // the records in it and the bytes handed out so far.
  std::string body_;
  std::size_t body_records_ = 0;
  std::size_t offset_ = 0;
  bool transfer_open_ = false;
  bool body_is_held_ = false;
  // Records the cap dropped from the queue while the transfer was open.
  std::size_t dropped_while_open_ = 0;
  // The record held aside, with its line feed.
  std::string held_;
  std::size_t held_records_ = 0;
  std::size_t record_limit_ = 0;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_MEMORY_QUEUE_H_
