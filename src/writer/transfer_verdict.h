// Where a failure is judged: what one transfer's outcome means for its body.
// Pure, so every answer a database can give is tested without a socket.
#ifndef MQTT_INFLUX_BRIDGE_WRITER_TRANSFER_VERDICT_H_
#define MQTT_INFLUX_BRIDGE_WRITER_TRANSFER_VERDICT_H_

#include <curl/curl.h>

#include <cstddef>
#include <string>

// What one transfer came to, as far as the body's fate is concerned.
struct TransferResult {
  CURLcode code = CURLE_OK;
  long status = 0;             // the HTTP status, 0 when none was read
  bool request_sent = false;   // the request reached the server before it failed
  bool response_cut = false;   // the bridge stopped reading a long response body
  std::string error_text;      // libcurl's own words for a failure, if any
};

// What becomes of the body after its transfer.
enum class Verdict {
  kStored,      // 2xx: the body is done with
  kSplit,       // refused (400, 413), answered unreadably or timed out after it
                // was sent: one record may be at fault, so send the body in halves
  kDropRecord,  // the same for a body of one record: that record is dropped
                // (a time-out of one record is kTimedOutAlone instead)
  kTimedOutAlone,  // a body of one record sent and not answered in time: the
                   // server may be slow, or that record may be what it chokes on
  kKeep,        // no answer for it (refused connection, reset, 5xx, ...): keep it, back off
};
Verdict judge_transfer(const TransferResult& result, std::size_t body_records);

// libcurl could not read the answer: InfluxDB echoes a refused line in its
// X-Influxdb-Error header, and a NUL byte in it fails the header ("Nul byte
// in header"), so the body at fault would be sent again forever.
bool is_unreadable_answer(CURLcode code);

// The reason a log line gives for the outcome: libcurl's words for a
// transfer that failed, "HTTP status <n>" for an answer.
std::string transfer_reason(const TransferResult& result);

#endif  // MQTT_INFLUX_BRIDGE_WRITER_TRANSFER_VERDICT_H_
