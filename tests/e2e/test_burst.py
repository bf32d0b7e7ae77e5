"""Messages faster than the database answers: what is already waiting on the
MQTT socket shares one POST, so a slow database or a burst loses nothing,
while messages one at a time still get a POST each, at once."""

import re
import time

from harness import RUNNER_SLOWDOWN, BridgeTestCase, publish, publish_many, wait_until
from http_sink import HttpSink

TOPIC = "v1/burst/temp"
ONE_AT_A_TIME = 30  # messages published each after the one before was stored
SLOW_OUTPUT_BURST = 2000  # about 9 s of -v lines at 20 KiB a second


def numbers(lines):
    return [int(line.split(" value=")[1].split()[0]) for line in lines]


class BurstTest(BridgeTestCase):
    def test_slow_database_and_a_steady_stream_lose_nothing(self):
        # 100 messages a second for 20 s against a database that takes 200 ms a
        # write: one POST per message could carry 5 a second, and the broker's
        # queue (1000 messages by default) would overflow after 13 s.
        broker = self.broker()
        sink = self.started(HttpSink().start())
        sink.default_answer = ("delay", 0.2, 204, b"")
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()  # a message published before it would go nowhere
        publish_many(TOPIC, 2000, interval_ms=10, timeout=120)
        wait_until(lambda: sink.stored_lines() and numbers(sink.stored_lines())[-1] == 1999, 60,
                   "the last message")
        self.assertEqual(numbers(sink.stored_lines()), list(range(2000)))  # all, in order, once
        with open(broker.log, errors="replace") as log:
            self.assertNotIn("Outgoing messages are being dropped", log.read())
        self.assertLess(len(sink.all_requests()), 1000)

    def test_messages_one_at_a_time_get_a_post_each_at_once(self):
        self.broker()
        sink = self.started(HttpSink().start())
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()
        # Each message only once the one before has reached the sink, so none
        # can share its POST: a lone message must be posted on its own, without
        # waiting for company (the deadline is generous, for a loaded machine).
        for n in range(ONE_AT_A_TIME):
            self.assertTrue(publish(TOPIC, "%d %d" % (n, 1700000000000 + n)))
            wait_until(lambda: len(sink.stored_lines()) > n, 10, "record %d at the sink" % n)
        self.assertEqual([r.body.count(b"\n") for r in sink.all_requests()], [1] * ONE_AT_A_TIME)
        self.assertEqual(numbers(sink.stored_lines()), list(range(ONE_AT_A_TIME)))
        # Each record's trace line follows its POST's URL line. It may be written
        # before or after the sink has the record, so wait for the last one.
        last = ONE_AT_A_TIME - 1
        bridge.wait_line(r"^T: temp,.* value=%d %d$" % (last, 1700000000000 + last))
        traces = [l for l in bridge.lines() if l.startswith("T: http://") or l.startswith("T: temp,")]
        self.assertEqual(len(traces), 2 * ONE_AT_A_TIME, traces)
        for n, (url, record) in enumerate(zip(traces[0::2], traces[1::2])):
            self.assertTrue(url.startswith("T: http://localhost:8086/write?"), url)
            self.assertRegex(record, r"^T: temp,.* value=%d \d+$" % n)

    def test_burst_with_the_database_down_then_up_goes_in_whole_bodies(self):
        self.broker("max_queued_messages 0\n")
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()
        publish_many(TOPIC, 20000, mode="seq")
        bridge.wait_line(r" value=19999 1700000019999$", timeout=120)
        sink = self.started(HttpSink().start())
        wait_until(lambda: sink.stored_lines() and numbers(sink.stored_lines())[-1] == 19999, 60,
                   "the last record")
        self.assertEqual(numbers(sink.stored_lines()), list(range(20000)))
        record = re.compile(rb'^temp,host=node-17,mqtt="v1/burst/temp" value=\d+ \d+$')
        for request in sink.all_requests():
            self.assertLessEqual(len(request.body), 256 * 1024)
            self.assertTrue(request.body.endswith(b"\n"))
            for line in request.body.split(b"\n")[:-1]:
                self.assertRegex(line, record)

    def test_a_slowly_drained_standard_output_holds_no_post_back(self):
        # With -v every record is a line, and a standard output that drains
        # slowly makes each message slow to take in: reading all that waited in
        # one turn held a POST back until 1000 messages were read (3.8 s here,
        # or a time-out of the transfer started meanwhile). Every POST must leave
        # within the gathering limit (250 ms) of taking in its oldest record,
        # whatever the reading costs; the bound leaves room for a loaded machine.
        self.broker("max_queued_messages 0\n")
        sink = self.started(HttpSink().start())
        bridge = self.bridge("-v", "-c", "node-17", drain=20480)
        bridge.wait_subscribed()
        publish_many(TOPIC, SLOW_OUTPUT_BURST, mode="stamp")
        wait_until(lambda: len(sink.stored_lines()) >= SLOW_OUTPUT_BURST, 60 * RUNNER_SLOWDOWN,
                   "the burst at the sink")
        taken = [int(re.search(r" n=(\d+)", line).group(1)) for line in sink.stored_lines()]
        self.assertEqual(taken, list(range(SLOW_OUTPUT_BURST)))  # once each: no transfer timed out
        wall_offset = time.time() - time.monotonic()
        for request in sink.all_requests():
            # The records are stamped (ms) with the time the bridge took them in.
            oldest = min(int(line.rsplit(b" ", 1)[1]) for line in request.body.split(b"\n")[:-1])
            held_ms = (request.time + wall_offset) * 1000 - oldest
            self.assertLess(held_ms, 1000 * RUNNER_SLOWDOWN, request.body[:200])
