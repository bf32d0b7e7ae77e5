#include "writer/transfer_verdict.h"

#include "texts.h"

namespace {

bool is_success(long status) { return status >= 200 && status <= 299; }

// The server read the body and refused it (400: bad lines, and InfluxDB 1.6
// does not always store the valid ones with them; 413: too large). Sending it
// whole again would only block every later record behind it.
bool is_refusal(long status) { return status == 400 || status == 413; }

}  // namespace

bool is_unreadable_answer(CURLcode code) {
  return code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_BAD_CONTENT_ENCODING;
}

Verdict judge_transfer(const TransferResult& result, std::size_t body_records) {
  const bool answered =
      result.code == CURLE_OK || (result.code == CURLE_WRITE_ERROR && result.response_cut);
  const bool at_fault_alone = body_records <= 1;
  if (answered) {
    if (is_success(result.status)) return Verdict::kStored;
    if (is_refusal(result.status)) return at_fault_alone ? Verdict::kDropRecord : Verdict::kSplit;
    return Verdict::kKeep;
  }
  if (is_unreadable_answer(result.code)) {
    return at_fault_alone ? Verdict::kDropRecord : Verdict::kSplit;
  }
  // A body the server took longer than the time-out to answer (a big one on a
  // slow device database) would time out on every attempt, forever.
  if (result.code == CURLE_OPERATION_TIMEDOUT && result.request_sent) {
    return at_fault_alone ? Verdict::kTimedOutAlone : Verdict::kSplit;
  }
  return Verdict::kKeep;
}

std::string transfer_reason(const TransferResult& result) {
  std::string reason;
  if (result.code == CURLE_OK || result.response_cut) {
    reason = std::string(texts::kHttpStatus) + std::to_string(result.status);
  } else {
    reason = !result.error_text.empty() ? result.error_text : curl_easy_strerror(result.code);
  }
  if (is_unreadable_answer(result.code)) {
    reason = std::string(texts::kUnreadableAnswer) + reason + ")";
  }
  return reason;
}
