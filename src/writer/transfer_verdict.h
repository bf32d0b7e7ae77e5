// Where a failure is judged: what one transfer's outcome means for its body.
// Pure, so every answer a database can give is tested without a socket.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_TRANSFER_VERDICT_H_
#define MQTT_INFLUX_BRIDGE_WRITER_TRANSFER_VERDICT_H_

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// At most this much of an answer's body is kept for judging it (the
// databases' errors say what they are in their first bytes).
inline constexpr std::size_t kAnswerBodyBytes = 512;
// At most this much of each header value judged is kept.
inline constexpr std::size_t kAnswerHeaderBytes = 256;

// What one transfer came to, as far as the body's fate is concerned.
struct TransferResult {
  CURLcode code = CURLE_OK;
  long status = 0;            // the HTTP status, 0 when none was read
  bool request_sent = false;  // the request reached the server before it failed
  bool response_cut = false;  // the bridge stopped reading a long response body
  std::string error_text;     // libcurl's own words for a failure, if any
  // The answer's headers that judging it needs (the last value of each, cut
  // at kAnswerHeaderBytes), and the first kAnswerBodyBytes of its body.
  bool influx_error = false;   // an X-Influxdb-Error header came
  bool influx_header = false;  // any X-Influxdb-... header came
  std::string server;          // Server
  std::string retry_after;     // Retry-After
  std::string date;            // Date
  std::string body;
  std::int64_t received_at = 0;  // the real-time clock, s since 1970, when it ended
};

// What becomes of the body after its transfer.
enum class Verdict {
  kStored,         // 2xx: the body is done with
  kSplit,          // refused (400, 413, or the database's own error for a line),
                   // answered unreadably or timed out after it was sent: one
                   // record may be at fault, so send the body in halves
  kDropRecord,     // a body of one record the database refused with its own
                   // error for a line: that record is dropped
  kUnprovenAlone,  // a body of one record answered 400, 413 or unreadably
                   // without that error (a proxy, a TLS port reached with
                   // http://): kept, and held aside like kTimedOutAlone
  kTimedOutAlone,  // a body of one record sent and not answered in time: the
                   // server may be slow, or that record may be what it chokes on
  kKeep,           // no answer for it (refused connection, reset, 5xx, ...): keep it, back off
};
Verdict judge_transfer(const TransferResult& result, std::size_t body_records);

// The answer is the database's own error for a line it cannot take:
//   InfluxDB 1.x: 400 or 413 with an X-Influxdb-Error header; or an answer
//     libcurl could not read after X-Influxdb headers (1.x echoes the line
//     it refuses, NUL bytes and all, in that header);
//   InfluxDB 2.x: 400, 413 or 422 with a JSON "code" of "invalid", "request
//     too large" or "unprocessable entity" and a "message";
//   InfluxDB 3: 400 or 422 with a JSON "error" saying that line protocol
//     failed ("partial write of line protocol occurred", "parsing failed ...").
// VictoriaMetrics never refuses a line: it skips it, answers 204 and logs it;
// its 400 (an unreadable gzip body, say) is about the request, not a line.
bool is_database_refusal(const TransferResult& result);

// libcurl could not read the answer: InfluxDB echoes a refused line in its
// X-Influxdb-Error header, and a NUL byte in it fails the header ("Nul byte
// in header"), so the body at fault would be sent again forever.
bool is_unreadable_answer(CURLcode code);

// A refusal (400, 413, unreadable) that is not the database's own: what
// answered is worth a word in the log.
bool is_unproven_refusal(const TransferResult& result);

// How long a 429 or 503 asks the client to wait (Retry-After: seconds, or an
// HTTP date, taken against the answer's Date header, else against
// received_at); 0 for any other answer, a date past or a value unreadable.
std::chrono::seconds retry_after(const TransferResult& result);

// The reason a log line gives for the outcome: libcurl's words for a
// transfer that failed, "HTTP status <n>" for an answer; for an unproven
// refusal, what answered: " (Server: <server>; body: <first bytes>)",
// control characters and bytes beyond ASCII replaced.
std::string transfer_reason(const TransferResult& result);

#endif  // MQTT_INFLUX_BRIDGE_WRITER_TRANSFER_VERDICT_H_
