// The writer's pending text: whole line-protocol records, each ended by a line
// feed, waiting for the database to answer. Pure buffer logic, no I/O, so the
// rules that keep records whole can be tested without a socket.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_PENDING_BODY_H_
#define MQTT_INFLUX_BRIDGE_WRITER_PENDING_BODY_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

// 4 MiB of text is hours of readings from a handful of sensors, and small
// enough that an outage never ends in an out-of-memory kill on the device.
inline constexpr std::size_t kPendingCapBytes = std::size_t{4} << 20;
// One POST carries at most this much (whole records, at least one), so that a
// long backlog goes out in transfers that each fit the transfer time-out.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{256} << 10;

// Records queue here; a transfer takes the oldest whole records out as its
// body and gives them back at the front if the server did not answer, so a
// transfer that breaks off can be repeated from its first record and the next
// body never starts with a fragment. Records keep arriving while a transfer is
// open (transfers run beside the MQTT intake), and the cap never touches the
// open body.
//
// One record may be held aside: a record the server never answers alone.
// Bodies are then made of the records behind it, while it waits for a
// transfer of its own (begin_held_transfer).
//
// With a spool, each record also carries its position there, so the writer
// can tell the spool how far everything is done: the oldest position still
// pending. Records kept while the spool was unusable have none (kNoPosition).
//
// Not thread-safe; the writer guards it with its mutex.
inline constexpr std::uint64_t kNoPosition = UINT64_MAX;

class PendingBody {
 public:
  explicit PendingBody(std::size_t cap_bytes = kPendingCapBytes,
                       std::size_t max_body_bytes = kMaxBodyBytes)
      : cap_bytes_(cap_bytes), max_body_bytes_(max_body_bytes) {}

  // Appends record and a line feed. When the text would pass the cap, the
  // oldest whole records outside the open body go first; returns how many
  // were dropped. The newest record is always kept.
  std::size_t append(std::string_view record, std::uint64_t position = kNoPosition);

  // Opens a transfer over the oldest whole queued records, up to the body
  // limit and the record limit. Returns the body's length in bytes (0 when
  // nothing is queued, and then no transfer is open).
  std::size_t begin_transfer();
  // Opens a transfer whose body is the record held aside; returns its length
  // (0 when none is held).
  std::size_t begin_held_transfer();
  // Copies the next bytes of the open transfer's body, at most `room`;
  // returns 0 at the end of the body.
  std::size_t read(char* buffer, std::size_t room);
  // Starts the open transfer's body again from its first byte.
  void rewind() { offset_ = 0; }
  // Closes the transfer. When the server answered, the body is gone;
  // otherwise all of it goes back where it came from (the front of the
  // queue, or aside) -- unless the cap dropped queued records while it was
  // open: those were newer than the body, so the body's records, the oldest,
  // go too and what stays is the newest, without a gap. Returns how many
  // records that dropped.
  std::size_t end_transfer(bool answered);
  // Closes the transfer of a body of one record, which is held aside instead
  // of going back to the queue. Only when nothing is held aside yet.
  void end_transfer_holding_aside();
  // Forgets the record held aside (the bridge gave up on it).
  void drop_held();

  // Positions: kept only once track_positions() was called (before the
  // first append), so a bridge without a spool spends nothing on them.
  void track_positions() { tracking_ = true; }
  // The oldest position of any pending record (queued, in the body, held
  // aside); kNoPosition when none has one.
  std::uint64_t oldest_position() const;
  // Drops every record whose position lies before `floor` (the spool let go
  // of them to stay within its bound): queued and held records at once, the
  // open body's records when its transfer ends unanswered. Returns how many
  // were dropped at once.
  std::size_t drop_before(std::uint64_t floor);
  // Records pending without a position.
  std::size_t unpositioned_records() const { return unpositioned_; }

  // At most this many records per body from the next transfer on (at least
  // one); 0 lifts the limit.
  void set_record_limit(std::size_t records) { record_limit_ = records; }
  std::size_t record_limit() const { return record_limit_; }
  bool transfer_open() const { return transfer_open_; }
  bool body_is_held() const { return body_is_held_; }
  bool holds_aside() const { return held_records_ > 0; }

  // Everything pending: queued, in the open body and held aside.
  bool empty() const { return size() == 0; }
  std::size_t size() const { return queued_bytes() + body_.size() + held_.size(); }
  std::size_t record_count() const { return records_; }
  // Queued records, not yet in any body.
  std::size_t queued_bytes() const { return text_.size() - start_; }
  std::size_t queued_records() const { return queued_records_; }
  std::size_t body_record_count() const { return body_records_; }
  // The open body (when it came from the queue) and then the queue: the
  // order records go out in. Tests compare it with a model.
  std::string text() const;

 private:
  // Removes the first `bytes` of the queue, which end on a record boundary.
  // Positions are the caller's to move or forget.
  void discard_front(std::size_t bytes, std::size_t records);
  // Drops the oldest queued record, and its position.
  void drop_front_record();
  void forget_position(std::uint64_t position);
  void forget_body_positions();

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
  // Positions, while tracking_: one per queued record (front first), per
  // body record, and the held record's.
  bool tracking_ = false;
  std::deque<std::uint64_t> queued_at_;
  std::vector<std::uint64_t> body_at_;
  std::uint64_t held_at_ = kNoPosition;
  std::size_t unpositioned_ = 0;
  // The open body's records are gone from the spool: if not answered, they go.
  bool body_gone_ = false;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_PENDING_BODY_H_
