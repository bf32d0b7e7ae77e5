// The writer's pending text: whole line-protocol records, each ended by a line
// feed, waiting for the database to answer. Pure buffer logic, no I/O, so the
// rules that keep records whole can be tested without a socket.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_PENDING_BODY_H_
#define MQTT_INFLUX_BRIDGE_WRITER_PENDING_BODY_H_

#include <cassert>
#include <cstddef>
#include <string>
#include <string_view>

// 4 MiB of text is hours of readings from a handful of sensors, and small
// enough that an outage never ends in an out-of-memory kill on the device.
inline constexpr std::size_t kPendingCapBytes = std::size_t{4} << 20;
// One POST carries at most this much (whole records, at least one), so that a
// long backlog goes out in transfers that each fit the transfer time-out.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{256} << 10;

// A transfer hands the body out from an offset and removes it only once the
// server has answered, so a transfer that breaks off can be repeated from its
// first record and the next body never starts with a fragment.
//
// Not thread-safe; the writer guards it with its mutex.
class PendingBody {
 public:
  explicit PendingBody(std::size_t cap_bytes = kPendingCapBytes,
                       std::size_t max_body_bytes = kMaxBodyBytes)
      : cap_bytes_(cap_bytes), max_body_bytes_(max_body_bytes) {}

  // Appends record and a line feed. When the text would pass the cap, the
  // oldest whole records go first; returns how many were dropped. The newest
  // record is always kept. Must not be called while a transfer is open (the
  // cap could drop records the open body is made of); checked in debug builds.
  std::size_t append(std::string_view record);

  // Opens a transfer over the oldest whole records, up to the body limit and
  // the record limit. Returns the body's length in bytes (0 when nothing is
  // pending, and then no transfer is open).
  std::size_t begin_transfer();
  // Copies the next bytes of the open transfer's body, at most `room`;
  // returns 0 at the end of the body.
  std::size_t read(char* buffer, std::size_t room);
  // Starts the open transfer's body again from its first byte.
  void rewind() { offset_ = 0; }
  // Closes the transfer. When the server answered, the body is removed;
  // otherwise all of it stays for the next transfer.
  void end_transfer(bool answered);

  // At most this many records per body from the next transfer on (at least
  // one); 0 lifts the limit. The writer narrows it to find a record the
  // server refuses or cannot take in time.
  void set_record_limit(std::size_t records) { record_limit_ = records; }
  std::size_t record_limit() const { return record_limit_; }
  bool transfer_open() const { return transfer_open_; }

  bool empty() const { return text_.size() == start_; }
  std::size_t size() const { return text_.size() - start_; }
  std::size_t record_count() const { return records_; }
  std::size_t body_record_count() const { return body_records_; }
  std::string_view text() const { return std::string_view(text_).substr(start_); }

 private:
  // Removes the first `bytes` of the text, which end on a record boundary.
  void discard_front(std::size_t bytes, std::size_t records);

  const std::size_t cap_bytes_;
  const std::size_t max_body_bytes_;
  // Live text is text_[start_, end): dropping old records only moves start_,
  // and the dead front is compacted away now and then, so a flood at the cap
  // costs no copy of the whole text per record.
  std::string text_;
  std::size_t start_ = 0;
  std::size_t records_ = 0;
  // The open transfer: body length, records in it, bytes handed out so far.
  std::size_t body_bytes_ = 0;
  std::size_t body_records_ = 0;
  std::size_t offset_ = 0;
  bool transfer_open_ = false;
  std::size_t record_limit_ = 0;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_PENDING_BODY_H_
