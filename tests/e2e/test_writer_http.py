"""The exact HTTP request the bridge makes, judged by a recording server."""

import os
import signal
import time

from harness import BridgeTestCase, preload_env, publish, wait_until
from http_sink import HttpSink

RECORD = 'temp,host=node-17,mqtt="v1/kitchen/temp" value=21.5 1700000000000'


class WriterHttpTest(BridgeTestCase):
    def start(self, *args):
        self.broker()
        bridge = self.bridge("-v", "-c", "node-17", *args)
        bridge.wait_subscribed()
        return bridge

    def test_request_line_headers_and_chunked_body(self):
        sink = self.started(HttpSink().start())
        self.start()
        self.assertTrue(publish("v1/kitchen/temp", "21.5 1700000000000"))
        wait_until(sink.stored_lines, 10, "a request")
        request = sink.all_requests()[0]
        self.assertEqual(request.request_line, "POST /write?db=mydb&precision=ms HTTP/1.1")
        names = [name.lower() for name, _ in request.headers]
        self.assertEqual(request.header("Content-Type"), "text/plain; charset=utf-8")
        self.assertEqual(request.header("Accept"), "application/json")
        self.assertEqual(request.header("Transfer-Encoding"), "chunked")
        self.assertLess(names.index("content-type"), names.index("accept"))
        self.assertLess(names.index("accept"), names.index("transfer-encoding"))
        self.assertNotIn("content-length", names)
        self.assertNotIn("expect", names)  # no waiting for "100 Continue"
        self.assertEqual(sorted(set(names) - {"content-type", "accept", "transfer-encoding"}),
                         ["host"])
        self.assertEqual(request.body, (RECORD + "\n").encode())

    def test_trace_of_the_url_comes_before_the_record(self):
        sink = self.started(HttpSink().start())
        bridge = self.start()
        self.assertTrue(publish("v1/kitchen/temp", "21.5 1700000000000"))
        bridge.wait_line("^T: temp,")
        lines = bridge.lines()
        at = lines.index("T: " + RECORD)
        self.assertEqual(lines[at - 1], "T: http://localhost:8086/write?db=mydb&precision=ms")
        # The POST was started before the record's line; it may still be on its way.
        wait_until(sink.stored_lines, 10, "the record")
        self.assertEqual(len(sink.all_requests()), 1)

    def test_dropped_message_prints_and_posts_nothing(self):
        sink = self.started(HttpSink().start())
        bridge = self.start()
        before = len(bridge.lines())
        for topic, payload in (("v1/kitchen/value", "1"), ("v1", "1"), ("v1/t", "21.5 a=1"),
                               ("v1/t", "   ")):
            self.assertTrue(publish(topic, payload))
        self.assertTrue(publish("v1/kitchen/temp", "21.5 1700000000000"))
        wait_until(sink.stored_lines, 10, "the one record")
        bridge.wait_line("^T: temp,")
        self.assertEqual(sink.stored_lines(), [RECORD])
        self.assertEqual(bridge.lines()[before:],
                         ["T: http://localhost:8086/write?db=mydb&precision=ms", "T: " + RECORD])

    def test_unreachable_database_then_second_body_holds_both_older_first(self):
        bridge = self.start()
        self.assertTrue(publish("v1/kitchen/temp", "1 1700000000001"))
        bridge.wait_line(r"^T: temp,.* 1700000000001$")
        sink = self.started(HttpSink().start())
        # Within the back-off after the failure, so the second record joins the first.
        self.assertTrue(publish("v1/kitchen/temp", "2 1700000000002"))
        wait_until(sink.stored_lines, 10, "the records")
        self.assertEqual(sink.all_requests()[0].body.decode(),
                         'temp,host=node-17,mqtt="v1/kitchen/temp" value=1 1700000000001\n'
                         'temp,host=node-17,mqtt="v1/kitchen/temp" value=2 1700000000002\n')

    def test_response_body_reaches_stdout_byte_for_byte(self):
        body = b'{"error":"\xff\x00 odd"}'
        sink = self.started(HttpSink().start())
        sink.answer_next(("status", 200, body))
        bridge = self.start()
        self.assertTrue(publish("v1/kitchen/temp", "21.5 1700000000000"))
        bridge.wait_line("T: temp,")
        # The transfer runs beside the intake: the answer comes after the
        # record's trace line, byte for byte and with no line feed of its own.
        wait_until(lambda: body in bridge.stdout_bytes(), 10, "the response body")
        out = bridge.stdout_bytes()
        self.assertIn(b"precision=ms\nT: " + RECORD.encode() + b"\n" + body, out)
        self.assertEqual(out.count(body), 1)

    def test_url_precision_follows_the_option(self):
        sink = self.started(HttpSink().start())
        self.broker()
        for option, in_url, digits in (("s", "s", 10), ("ms", "ms", 13), ("us", "u", 16),
                                       ("ns", "ns", 19), ("xs", "xs", None)):
            with self.subTest(precision=option):
                seen = len(sink.all_requests())
                bridge = self.bridge("-v", "-c", "node-17", "-p", option)
                bridge.wait_subscribed()
                self.assertTrue(publish("v1/kitchen/temp", "21.5"))
                wait_until(lambda: len(sink.stored_lines()) > seen, 10, "a record")
                request = sink.all_requests()[seen]
                self.assertEqual(request.request_line,
                                 "POST /write?db=mydb&precision=%s HTTP/1.1" % in_url)
                stamp = sink.stored_lines()[-1].rsplit(" ", 1)[1]
                if digits is None:
                    self.assertEqual(stamp, "0")
                else:
                    self.assertEqual(len(stamp), digits)
                    self.assertLess(abs(int(stamp) / 10 ** (digits - 10) - time.time()), 60)
                bridge.signal(signal.SIGINT)
                self.assertEqual(bridge.wait_exit(), 0)

    def test_arrival_time_after_2038(self):
        # 2040-12-25: past the end of a 32-bit time_t (armhf's, unless built for 64 bits).
        environment = preload_env(os.environ["CLOCK_AT_SHIM"], CLOCK_AT=2240000000)
        if environment is None:
            self.skipTest("the preload would reach the runner")
        sink = self.started(HttpSink().start())
        self.broker()
        bridge = self.bridge("-v", "-c", "node-17", env=environment)
        bridge.wait_subscribed()
        for n in (1, 2):
            self.assertTrue(publish("v1/kitchen/temp", "%d" % n))
        wait_until(lambda: len(sink.stored_lines()) >= 2, 10, "two records")
        stamps = [int(line.rsplit(" ", 1)[1]) for line in sink.stored_lines()]
        for stamp in stamps:
            self.assertTrue(2240000000000 <= stamp < 2240000060000, stamps)
        self.assertLessEqual(stamps[0], stamps[1])
