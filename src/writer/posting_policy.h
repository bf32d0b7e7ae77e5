// When the pending records go out: one pure decision, consulted wherever a
// POST may start (when a record is written, and by the main loop after every
// wait). No I/O, no hidden state: everything it weighs is in its inputs.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_POSTING_POLICY_H_
#define MQTT_INFLUX_BRIDGE_WRITER_POSTING_POLICY_H_

#include <chrono>
#include <cstddef>

// The longest a record waits for the messages queued behind it to join its
// body, when more keep arriving: well under the loop's other bounds, so the
// keep-alive and the watchdog never notice.
inline constexpr std::chrono::milliseconds kMaxGatherWait{250};

struct PostingInputs {
  bool transfer_in_flight = false;  // one transfer at a time, on one connection
  bool back_off_over = true;        // the database's last failure is far enough behind
  bool more_waiting = false;        // MQTT packets already waiting on the socket
  std::size_t queued_bytes = 0;     // records not in any body yet
  std::size_t queued_records = 0;
  bool held_record_due = false;     // a record held aside is due for its own transfer
  std::size_t body_limit_bytes = 0;
  std::size_t record_limit = 0;     // 0: none
  // How long the oldest queued record has waited since it was appended.
  std::chrono::steady_clock::duration oldest_waited{};
};

// Whether to start a POST now. A full body (a backlog, or a burst that fills
// one) goes at once, so a backlog drains at the rate the database takes it;
// otherwise records are held back only while more messages are already
// waiting on the MQTT socket and the oldest has waited less than
// kMaxGatherWait, so a message that comes alone goes at once.
bool should_post(const PostingInputs& in);

// Whether records are held back for the messages already waiting: the loop
// then wakes by the time the oldest has waited kMaxGatherWait at the latest.
bool gathering(const PostingInputs& in);

// The longest the main loop goes on reading MQTT packets already waiting in
// one turn. A transfer progresses only between turns, and each message may
// be slow (a line to a standard output that drains slowly, a slow CPU), so a
// turn must not be counted in packets alone: this keeps the gathering limit
// and the transfer's own time-outs true whatever the reading costs.
inline constexpr std::chrono::milliseconds kMaxReadingTurn{50};

struct ReadingTurn {
  std::size_t packets = 0;       // read so far in this turn
  std::size_t packet_limit = 0;  // the most one turn reads
  std::chrono::steady_clock::duration spent{};   // since the turn's first read
  std::chrono::steady_clock::duration budget{};  // kMaxReadingTurn, or less for the watchdog
  bool writer_due = false;       // the writer has work due now (a POST, the spool's sync)
};

// Whether the turn reads another packet already waiting, or ends so that the
// writer's work and the watchdog come first (the rest is read next turn).
bool read_on(const ReadingTurn& turn);

#endif  // MQTT_INFLUX_BRIDGE_WRITER_POSTING_POLICY_H_
