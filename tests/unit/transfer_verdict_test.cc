#include "writer/transfer_verdict.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(JudgeTransfer, WhatBecomesOfTheBody) {
  struct Case {
    CURLcode code;
    long status;
    bool request_sent;
    bool response_cut;
    std::size_t records;
    Verdict verdict;
  };
  const std::vector<Case> cases = {
      {CURLE_OK, 204, true, false, 100, Verdict::kStored},
      {CURLE_OK, 200, true, false, 1, Verdict::kStored},
      {CURLE_WRITE_ERROR, 200, true, true, 5, Verdict::kStored},  // a long answer, cut
      {CURLE_WRITE_ERROR, 200, true, false, 5, Verdict::kKeep},
      {CURLE_OK, 400, true, false, 100, Verdict::kSplit},
      {CURLE_OK, 413, true, false, 2, Verdict::kSplit},
      {CURLE_OK, 400, true, false, 1, Verdict::kDropRecord},
      {CURLE_OK, 413, true, false, 1, Verdict::kDropRecord},
      {CURLE_WEIRD_SERVER_REPLY, 0, true, false, 100, Verdict::kSplit},  // "Nul byte in header"
      {CURLE_WEIRD_SERVER_REPLY, 0, true, false, 1, Verdict::kDropRecord},
      {CURLE_OPERATION_TIMEDOUT, 0, true, false, 100, Verdict::kSplit},
      {CURLE_OPERATION_TIMEDOUT, 0, true, false, 1, Verdict::kTimedOutAlone},
      {CURLE_OPERATION_TIMEDOUT, 0, false, false, 100, Verdict::kKeep},  // never connected
      {CURLE_COULDNT_CONNECT, 0, false, false, 100, Verdict::kKeep},
      {CURLE_RECV_ERROR, 0, true, false, 100, Verdict::kKeep},  // reset: a transport failure
      {CURLE_OK, 503, true, false, 100, Verdict::kKeep},
      {CURLE_OK, 404, true, false, 1, Verdict::kKeep},
  };
  for (const Case& c : cases) {
    TransferResult result;
    result.code = c.code;
    result.status = c.status;
    result.request_sent = c.request_sent;
    result.response_cut = c.response_cut;
    EXPECT_EQ(judge_transfer(result, c.records), c.verdict)
        << "code " << c.code << " status " << c.status << " records " << c.records;
  }
}

TEST(TransferReason, NamesTheStatusOrLibcurlsWords) {
  TransferResult answered;
  answered.status = 503;
  EXPECT_EQ(transfer_reason(answered), "HTTP status 503");
  TransferResult failed;
  failed.code = CURLE_COULDNT_CONNECT;
  failed.error_text = "Failed to connect to localhost port 8086";
  EXPECT_EQ(transfer_reason(failed), "Failed to connect to localhost port 8086");
  failed.error_text.clear();
  EXPECT_EQ(transfer_reason(failed), curl_easy_strerror(CURLE_COULDNT_CONNECT));
  TransferResult unreadable;
  unreadable.code = CURLE_WEIRD_SERVER_REPLY;
  unreadable.error_text = "Nul byte in header";
  EXPECT_EQ(transfer_reason(unreadable), "an unreadable answer (Nul byte in header)");
}

}  // namespace
