"""Delivery against mosquitto with its default limits (1000 messages queued for
a client): a slow or size-limited database costs throughput, never messages,
because the bridge reads the broker while its POST is under way; a record the
database never answers does not block the records behind it; the pause before
a reconnect does not hold a backlog back."""

import threading
import time

from harness import BridgeTestCase, publish_many, wait_until
from http_sink import HttpSink

# Records of about 650 bytes: the topic is part of every record.
LONG_TOPIC = "v1/" + "site-%02d/" * 75 % tuple(range(75)) + "temp"
SHORT_TOPIC = "v1/kitchen/temp"
DROP_WARNING = "Outgoing messages are being dropped"


def numbers(lines):
    return [int(line.split(" value=")[1].split()[0]) for line in lines]


class Publishing:
    """Publishes `count` numbered messages `interval_ms` apart in a thread of its own."""

    def __init__(self, topic, count, interval_ms, first=0):
        self.error = None
        self.thread = threading.Thread(target=self._run, args=(topic, count, interval_ms, first),
                                       daemon=True)
        self.thread.start()

    def _run(self, topic, count, interval_ms, first):
        try:
            publish_many(topic, count, first=first, interval_ms=interval_ms, timeout=300)
        except AssertionError as e:
            self.error = e

    def join(self, timeout):
        self.thread.join(timeout)
        if self.thread.is_alive():
            raise AssertionError("the publisher did not finish within %d s" % timeout)
        if self.error:
            raise self.error


class DeliveryTest(BridgeTestCase):
    def start(self, *args):
        broker = self.broker()  # default limits
        bridge = self.bridge("-v", "-c", "node-17", *args)
        bridge.wait_subscribed()
        return broker, bridge

    def assert_broker_dropped_nothing(self, broker):
        with open(broker.log, errors="replace") as log:
            self.assertNotIn(DROP_WARNING, log.read())

    def test_backlog_with_a_database_taking_two_seconds_a_post_loses_nothing(self):
        broker, bridge = self.start()
        # 125 messages a second for 40 s; the database is down for the first
        # 30: a backlog of about 2.4 MB, ten bodies of two seconds each, while
        # the messages keep coming. Taking one message per transfer meanwhile
        # would leave more than the broker's 1000 queued for the bridge.
        count = 5000
        publishing = Publishing(LONG_TOPIC, count, interval_ms=8)
        time.sleep(30)  # the outage the backlog builds up in (not a synchronisation)
        sink = self.started(HttpSink().start())
        sink.default_answer = ("delay", 2.0, 204, b"")
        publishing.join(120)
        wait_until(lambda: len(set(numbers(sink.stored_lines()))) >= count, 120, "every record")
        stored = numbers(sink.stored_lines())
        self.assertEqual(sorted(stored), list(range(count)))  # each once
        self.assert_broker_dropped_nothing(broker)

    def test_database_slow_for_big_bodies_drains_a_backlog_with_few_time_outs(self):
        broker, bridge = self.start()
        count = 150 * 35  # 150 messages a second for 35 s, the database down for the first 20
        publishing = Publishing(SHORT_TOPIC, count, interval_ms=6)
        time.sleep(20)
        sink = self.started(HttpSink().start())
        # 1 s per 20 KiB of body: bodies over about 100 KiB pass the 5 s time-out.
        sink.default_answer = lambda request: ("delay", len(request.body) / 20480.0, 204, b"")
        publishing.join(120)
        wait_until(lambda: len(set(numbers(sink.stored_lines()))) >= count, 150, "every record")
        self.assertEqual(sorted(set(numbers(sink.stored_lines()))), list(range(count)))
        lines = bridge.lines()
        time_outs = [l for l in lines if l.startswith("D: POST failed: Operation timed out")]
        self.assertLessEqual(len(time_outs), 6, time_outs)
        # The outage while it was down, and no other: a body too big is not an outage.
        self.assertEqual(len([l for l in lines if l.startswith("I: database unreachable")]), 1, lines[-40:])
        self.assertEqual(len([l for l in lines if l.startswith("I: database reachable again")]), 1)
        self.assert_broker_dropped_nothing(broker)

    def test_a_record_never_answered_is_dropped_while_the_records_behind_it_are_stored(self):
        sink = self.started(HttpSink().start())
        sink.default_answer = lambda request: (("hang",) if b" value=13 " in request.body
                                               else HttpSink.OK)
        broker, bridge = self.start()
        count = 20 * 30  # 20 messages a second for 30 s
        publish_many(SHORT_TOPIC, count, interval_ms=50, timeout=120)
        wait_until(lambda: set(numbers(sink.stored_lines())) >= set(range(count)) - {13}, 60,
                   "every record but the one never answered")
        bridge.wait_line(r"^I: write never answered: .*: records dropped: 1$", timeout=60)
        self.assertNotIn(13, numbers(sink.stored_lines()))
        self.assertFalse([l for l in bridge.lines() if l.startswith("I: database unreachable")])
        self.assert_broker_dropped_nothing(broker)

    def test_pause_before_a_reconnect_does_not_hold_a_backlog_back(self):
        # Not about the broker's queue: without a limit, the burst that makes
        # the backlog reaches an emulated bridge whole too.
        broker = self.broker("max_queued_messages 0\n")
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()
        # About 2 MB of records: eight bodies of at most 256 KiB.
        publish_many(LONG_TOPIC, 3000, timeout=120)
        bridge.wait_line(r"^T: temp,.* value=2999 ", timeout=60)
        broker.stop()
        bridge.wait_line(r"^I: connection error: ", timeout=20)
        sink = self.started(HttpSink().start())
        # The first body waits for the back-off that the refused POSTs ran up
        # (up to 30 s); after it, the others follow back to back.
        wait_until(lambda: len(sink.stored_lines()) >= 3000, 75, "the backlog")
        requests = [r for r in sink.all_requests() if r.stored]
        self.assertGreaterEqual(len(requests), 8)
        # One body per reconnect pause would leave a second between bodies.
        gaps = [round(b.time - a.time, 2) for a, b in zip(requests, requests[1:])]
        self.assertLess(max(gaps), 0.8, gaps)
        self.assertEqual(sorted(numbers(sink.stored_lines())), list(range(3000)))
