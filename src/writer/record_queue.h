// The records waiting for the database, as the delivery state sees them:
// a queue of whole line-protocol records that hands out its oldest as the
// body of a transfer and takes them back when the database did not answer.
// MemoryQueue keeps them in memory; SpoolQueue (--spool) reads them from the
// spool's files by position, so the spool is the queue.
//
// A transfer's body is whole records, each ended by a line feed, at least
// one. One record may be held aside: a record the database never answers
// alone waits there for a transfer of its own while bodies are made of the
// records behind it.
//
// Not thread-safe; the writer guards it with its mutex.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_RECORD_QUEUE_H_
#define MQTT_INFLUX_BRIDGE_WRITER_RECORD_QUEUE_H_

#include <cstddef>
#include <string_view>

// 4 MiB of text is hours of readings from a handful of sensors, and small
// enough that an outage never ends in an out-of-memory kill on the device.
inline constexpr std::size_t kPendingCapBytes = std::size_t{4} << 20;
// One POST carries at most this much (whole records, at least one), so that a
// long backlog goes out in transfers that each fit the transfer time-out.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{256} << 10;

class RecordQueue {
 public:
  virtual ~RecordQueue() = default;

  // Queues a record at the back; returns how many old records were dropped
  // for it (at a bound). Throws only with the record not queued.
  virtual std::size_t append(std::string_view record) = 0;

  // At most this many records per body from the next transfer on (at least
  // one); 0 lifts the limit.
  virtual void set_record_limit(std::size_t records) = 0;
  // Opens a transfer over the oldest whole queued records, up to the body
  // limit and the record limit. Returns the body's length in bytes (0 when
  // nothing can be sent now, and then no transfer is open).
  virtual std::size_t begin_transfer() = 0;
  // Opens a transfer whose body is the record held aside; returns its length
  // (0 when none is held).
  virtual std::size_t begin_held_transfer() = 0;
  // Copies the next bytes of the open body, at most `room`; 0 at its end.
  virtual std::size_t read(char* buffer, std::size_t room) = 0;
  // Starts the open body again from its first byte.
  virtual void rewind() = 0;
  // Closes the transfer. Answered: the body's records are done with.
  // Otherwise they are queued again where they came from (the front, or
  // aside), unless a bound dropped them meanwhile; returns how many that
  // dropped.
  virtual std::size_t end_transfer(bool answered) = 0;
  // Closes the transfer of a body of one record, which is held aside instead
  // of going back to the queue. Only when nothing is held aside yet.
  virtual void end_transfer_holding_aside() = 0;

  virtual bool transfer_open() const = 0;
  virtual bool body_is_held() const = 0;
  virtual bool holds_aside() const = 0;
  virtual std::size_t body_record_count() const = 0;
  // Records and bytes queued, not in any body nor aside (what the posting
  // policy weighs).
  virtual std::size_t queued_records() const = 0;
  virtual std::size_t queued_bytes() const = 0;
  // Every record pending: queued, in the open body and aside.
  virtual std::size_t record_count() const = 0;
};

#endif  // MQTT_INFLUX_BRIDGE_WRITER_RECORD_QUEUE_H_
