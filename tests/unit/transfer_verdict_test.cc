#include "writer/transfer_verdict.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
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
      {CURLE_WEIRD_SERVER_REPLY, 400, true, false, 1, Verdict::kDropRecord},
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
    result.influx_error = result.influx_header = true;  // InfluxDB 1.x answering
    EXPECT_EQ(judge_transfer(result, c.records), c.verdict)
        << "code " << c.code << " status " << c.status << " records " << c.records;
  }
}

// The answers of InfluxDB 1.6 and VictoriaMetrics 1.79 as they came, of 2.x
// and 3 as they document them, and of what may stand between.
TEST(DatabaseRefusal, OnlyTheDatabasesOwnErrorForALineDropsARecord) {
  // code, status, X-Influxdb-... headers (2: X-Influxdb-Error among them), body, refusal
  const std::vector<std::tuple<CURLcode, long, int, const char*, bool>> cases = {
      {CURLE_OK, 400, 2, R"({"error":"unable to parse 'm v= 1': missing field value"})", true},
      {CURLE_OK, 413, 2, R"({"error":"Request Entity Too Large"})", true},
      {CURLE_WEIRD_SERVER_REPLY, 400, 1, "", true},  // 1.x echoed a line with a NUL in it
      {CURLE_WEIRD_SERVER_REPLY, 400, 0, "", false},
      {CURLE_OK, 400, 0, R"({"code":"invalid","message":"unable to parse 'm v'"})", true},
      {CURLE_OK, 422, 0, R"({"code": "unprocessable entity", "message": "partial write"})", true},
      {CURLE_OK, 413, 0, R"({"code":"request too large","message":"batch is too large"})", true},
      {CURLE_OK, 400, 0, R"({"code":"unprocessable entity","message":"x"})", false},
      {CURLE_OK, 400, 0, R"({"code":"invalid","message":"unable to parse 'm,t=a (cut)...)", true},
      {CURLE_OK, 400, 0, R"({"error":"partial write of line protocol occurred","data":[]})", true},
      {CURLE_OK, 400, 0, R"({"error":"parsing failed for write_lp endpoint","data":{}})", true},
      {CURLE_OK, 400, 1, "remoteAddr: \"127.0.0.1:4\"; cannot read gzipped influx line", false},
      {CURLE_OK, 400, 0, "<html>\r\n<head><title>400 The plain HTTP request was sent to", false},
      {CURLE_OK, 400, 0, "Client sent an HTTP request to an HTTPS server.\n", false},
      {CURLE_OK, 400, 0, R"({"error":"bad request"})", false},  // a proxy's
      {CURLE_OK, 400, 0, R"(x {"code":"invalid","message":"x"})", false},
  };
  for (const auto& [code, status, influx, body, refusal] : cases) {
    TransferResult result;
    result.code = code;
    result.status = status;
    result.influx_header = influx > 0;
    result.influx_error = influx > 1;
    result.body = body;
    EXPECT_EQ(is_database_refusal(result), refusal) << body;
    EXPECT_EQ(judge_transfer(result, 1), refusal ? Verdict::kDropRecord : Verdict::kUnprovenAlone);
  }
}

TEST(RetryAfter, SecondsOrADateOnlyFor429And503) {
  const std::vector<std::tuple<long, const char*, const char*, long>> cases = {
      {503, " 5 ", "", 5}, {500, "5", "", 0}, {503, "-3", "", 0}, {429, "soon", "", 0},
      {503, "99999999999999999999", "", 86400},
      {503, "Wed, 09 Dec 2026 21:11:52 GMT", "Wed, 09 Dec 2026 21:11:50 GMT", 2},  // its clock
      {429, "Wednesday, 09-Dec-26 21:11:52 GMT", "", 12},  // against received_at
      {429, "Wed Dec  9 21:11:52 2026", "", 12},
      {503, "Wed, 09 Dec 2026 21:11:30 GMT", "", 0},
      {503, "Tue, 29 Feb 2028 00:00:00 GMT", "Mon, 28 Feb 2028 23:59:00 GMT", 60},
      {503, "Tue, 32 Feb 2028 00:00:00 GMT", "", 0},
  };
  for (const auto& [status, value, date, seconds] : cases) {
    TransferResult result;
    result.status = status;
    result.retry_after = value;
    result.date = date;
    result.received_at = 1796850700;  // Wed, 09 Dec 2026 21:11:40 GMT
    EXPECT_EQ(retry_after(result).count(), seconds) << value << " / " << date;
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
  // What answered a refusal not the database's own, made printable and short.
  TransferResult proxy = answered;
  proxy.status = 400;
  proxy.server = "nginx/1.22.1";
  proxy.body = "\x1b[2J\t\xc3\xa9\r\n" + std::string(120, 'x');
  EXPECT_EQ(transfer_reason(proxy), "HTTP status 400 (Server: nginx/1.22.1; body: [2J ?" "? " +
                                        std::string(93, 'x') + "...)");
  proxy.influx_error = true;  // InfluxDB's own: its words are in the body copied to stdout
  EXPECT_EQ(transfer_reason(proxy), "HTTP status 400");
}

}  // namespace
