"""End to end against the real thing: mosquitto, the bridge and InfluxDB 1.x."""

import signal
import threading
import time

from harness import BridgeTestCase, publish, wait_until


class InfluxTest(BridgeTestCase):
    def test_layouts_are_stored_with_measurement_tags_field_and_time(self):
        influx = self.influx()
        self.broker()
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()
        before_ms = int(time.time() * 1000)
        for topic, payload in (("v1/kitchen/temp", "21.5"),
                               ("v1/kitchen/temp", "22.5 1700000000000"),
                               ("v1/kitchen/temp", "sensor=a celsius=23.5 1700000001000"),
                               ("v1/hall/temp", "sensor=b 24.5 1700000002000"),
                               ("v1/hall/humidity", "sensor=b rel=40 1700000003000"),
                               ("v1/kitchen/value", "1"),  # dropped
                               ("v2/kitchen/temp", "1")):   # not subscribed
            self.assertTrue(publish(topic, payload))
        # The records may go out in more than one body: wait for the last one too.
        wait_until(lambda: len(influx.points("temp")) == 4 and len(influx.points("humidity")) == 1,
                   15, "four temp points and the humidity point")
        after_ms = int(time.time() * 1000)
        temp = sorted(influx.points("temp", epoch="ms"), key=lambda p: p["time"])
        self.assertEqual([(p["time"], p["host"], p["mqtt"], p["sensor"], p["value"], p["celsius"])
                          for p in temp[:3]], [
            (1700000000000, "node-17", '"v1/kitchen/temp"', None, 22.5, None),
            (1700000001000, "node-17", '"v1/kitchen/temp"', "a", None, 23.5),
            (1700000002000, "node-17", '"v1/hall/temp"', "b", 24.5, None),
        ])
        arrival = temp[3]
        self.assertEqual((arrival["mqtt"], arrival["value"]), ('"v1/kitchen/temp"', 21.5))
        self.assertTrue(before_ms <= arrival["time"] <= after_ms, (before_ms, arrival, after_ms))
        humidity = influx.points("humidity", epoch="ms")
        self.assertEqual([(p["time"], p["rel"], p["sensor"]) for p in humidity],
                         [(1700000003000, 40.0, "b")])
        self.assertEqual(influx.points("value"), [])

    def test_backslashes_and_quotes_never_cost_a_record_in_a_shared_body(self):
        # The database starts later, so every record goes out in one body: a
        # record the server would misread, or one that ran into the next line,
        # would cost the records after it.
        self.broker()
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()
        messages = [
            ("v1/kitchen/te\\mp", "1 1700000000001"),          # kept, stored exactly
            ("v1/kitchen/temp\\", "2 1700000000002"),          # dropped: trailing backslash
            ("v1/kitchen/a\\ b", "3 1700000000003"),           # dropped: read as "a b"
            ("v1/kitchen/good", 'celsius="21.5 1700000000004'),  # dropped: quote left open
            ("v1/kitchen/good", "5 1700000000005\\"),          # dropped: escapes the line feed
            ("v1/a\\ b,c=d/good", "6 1700000000006"),          # kept, topic in the tag exactly
            ("v1/kitchen/good", 'msg="a\\\\" 1700000000007'),  # kept: a string ending in a backslash
            ("v1/kitchen/good", "8 1700000000008"),
        ]
        for topic, payload in messages:
            self.assertTrue(publish(topic, payload))
        bridge.wait_line(r"^T: good,.* value=8 1700000000008$")
        influx = self.influx()
        wait_until(lambda: len(influx.points("good")) == 3, 40, "the three good points")
        good = sorted(influx.points("good", epoch="ms"), key=lambda p: p["time"])
        self.assertEqual([(p["time"], p["host"], p["mqtt"], p["value"], p["msg"]) for p in good], [
            (1700000000006, "node-17", '"v1/a\\ b,c=d/good"', 6.0, None),
            (1700000000007, "node-17", '"v1/kitchen/good"', None, "a\\"),
            (1700000000008, "node-17", '"v1/kitchen/good"', 8.0, None),
        ])
        stored = influx.points("te\\mp", epoch="ms")
        self.assertEqual([(p["time"], p["host"], p["mqtt"]) for p in stored],
                         [(1700000000001, "node-17", '"v1/kitchen/te\\mp"')])
        names = sorted(v[0] for v in influx.query("SHOW MEASUREMENTS")["results"][0]["series"][0]["values"])
        self.assertEqual(names, ["good", "te\\mp"])

    def test_a_record_the_database_refuses_costs_no_other_record(self):
        # While the database is away the records pile up and then go out in one
        # body. Two kinds of bad record: a NUL byte in a value (InfluxDB echoes
        # the line, NUL and all, in a response header libcurl cannot read), and
        # a field-type conflict in a body that opens a new shard (InfluxDB 1.6
        # answers 400 and stores nothing of the body).
        self.broker()
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()
        week = 7 * 24 * 3600 * 1000
        for n in range(1, 41):
            self.assertTrue(publish("v1/a/nul", "%d %d" % (n, 1700000000000 + n)))
            self.assertTrue(publish("v1/a/shard", "%d %d" % (n, 1700000000000 + 3 * week + n)))
            if n == 20:
                self.assertTrue(publish("v1/a/nul", b"2\x001 1700000000100"))
                self.assertTrue(publish("v1/a/shard", 'value="text" %d' % (1700000000000 + 3 * week)))
        bridge.wait_line(r"^T: shard,.* value=40 %d$" % (1700000000000 + 3 * week + 40))
        influx = self.influx()
        wait_until(lambda: len(influx.points("nul")) == 40 and len(influx.points("shard")) == 40, 60,
                   "every good point")
        self.assertEqual(sorted(p["value"] for p in influx.points("shard")), list(range(1, 41)))
        self.assertEqual(sorted(p["value"] for p in influx.points("nul")), list(range(1, 41)))
        dropped = [l for l in bridge.lines() if "records dropped" in l]
        self.assertEqual(sorted(dropped), [
            "I: write refused with HTTP status 400: records dropped: 1",
            "I: write refused with an unreadable answer (Nul byte in header): records dropped: 1",
        ])

    def test_names_that_are_not_utf8_never_break_the_database(self):
        # InfluxDB 1.6 stores a point whose field key, tag key or measurement is
        # not UTF-8, and after a restart cannot open the shard that holds it:
        # every later write to it is answered 500. Such records are dropped;
        # values with those bytes are harmless and kept.
        influx = self.influx()
        self.broker()
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()
        messages = [
            ("v1/kitchen/temp", b"c\xffl=1 1700000000001"),        # field key: dropped
            ("v1/kitchen/temp", b"2 1700000000002"),
            ("v1/kitchen/t\xffmp", b"3 1700000000003"),           # measurement: dropped
            ("v1/kitchen/temp", b"4 1700000000004"),
            ("v1/kitchen/temp", b"s\xffnsor=a 5 1700000000005"),  # tag key: dropped
            ("v1/kitchen/temp", b"6 1700000000006"),
            ("v1/kitchen/temp", b"sensor=\xff 7 1700000000007"),  # tag value: kept
            ("v1/kitchen/temp", b'msg="\xff" 1700000000008'),     # string value: kept
        ]
        for topic, payload in messages:
            delivered = publish(topic.encode("latin-1"), payload)
            # Today the publisher's library and the broker refuse a topic that is
            # not UTF-8: that case reaches the bridge only from a laxer peer.
            if topic.isascii():
                self.assertTrue(delivered, (topic, payload))
        wait_until(lambda: len(influx.points("temp")) >= 5, 15, "the five good points")
        self.assertEqual(self.names(influx, "SHOW FIELD KEYS FROM temp"), ["msg", "value"])
        self.assertEqual(self.names(influx, "SHOW TAG KEYS FROM temp"), ["host", "mqtt", "sensor"])
        self.assertEqual(self.names(influx, "SHOW MEASUREMENTS"), ["temp"])

        influx.stop()
        influx.start(database=None)  # the same data directory
        self.assertTrue(publish("v1/kitchen/temp", "9 1700000000009"))
        wait_until(lambda: len(influx.points("temp")) == 6, 15, "a point written after the restart")
        stored = sorted(influx.points("temp", epoch="ms"), key=lambda p: p["time"])
        self.assertEqual([(p["time"], p["value"], p["sensor"], p["msg"]) for p in stored], [
            (1700000000002, 2.0, None, None),
            (1700000000004, 4.0, None, None),
            (1700000000006, 6.0, None, None),
            (1700000000007, 7.0, "\ufffd", None),  # replaced in the JSON answer only
            (1700000000008, None, None, "\ufffd"),
            (1700000000009, 9.0, None, None),
        ])
        self.assertEqual([l for l in bridge.lines() if "POST failed" in l], [])

    @staticmethod
    def names(influx, query):
        series = influx.query(query)["results"][0].get("series", [])
        return sorted(row[0] for s in series for row in s["values"])

    def test_each_precision_stores_the_true_arrival_time(self):
        influx = self.influx()
        self.broker()
        for precision in ("s", "ms", "us", "ns"):
            with self.subTest(precision=precision):
                bridge = self.bridge("-v", "-c", "node-17", "-p", precision)
                bridge.wait_subscribed()
                before_ns = time.time_ns()
                self.assertTrue(publish("v1/p/" + precision, "1"))
                wait_until(lambda: influx.points(precision), 10, "the point")
                after_ns = time.time_ns()
                stored = influx.points(precision, epoch="ns")[0]["time"]
                # Truncated to the unit the record was made in, never moved by a unit.
                unit = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}[precision]
                self.assertEqual(stored % unit, 0)
                self.assertTrue(before_ns - unit < stored <= after_ns, (before_ns, stored))
                bridge.signal(signal.SIGINT)
                self.assertEqual(bridge.wait_exit(), 0)

    def test_broker_and_database_restarts_lose_and_double_nothing(self):
        influx = self.influx()
        broker = self.broker()
        bridge = self.bridge("-v", "-c", "node-17")
        bridge.wait_subscribed()

        # A steady stream, one message every 50 ms, each with a unique sequence
        # number, also in a tag of its own: records stamped with their arrival
        # time may share a millisecond (a bridge held up takes two at once), and
        # in one series the later would overwrite the earlier. A message sent
        # twice still shows as two points. Remember which ones the broker took,
        # when the publishing began and when it was acknowledged.
        sent = []  # (sequence, began, acknowledged), monotonic times
        stop = threading.Event()

        def stream():
            sequence = 0
            while not stop.is_set():
                sequence += 1
                began = time.monotonic()
                if publish("v1/line/seq", "id=%d n=%d" % (sequence, sequence), timeout=3):
                    sent.append((sequence, began, time.monotonic()))
                time.sleep(0.05)

        publisher = threading.Thread(target=stream, daemon=True)
        publisher.start()
        try:
            wait_until(lambda: len(sent) >= 20, 20, "the stream to run")
            broker_down = time.monotonic()
            broker.stop()
            time.sleep(2)  # the stream keeps trying while the broker is away
            broker.start()
            bridge.wait_subscribed(count=2, timeout=15)
            broker_back = time.monotonic()
            wait_until(lambda: len(sent) >= 60, 30, "the stream to go on")
            influx.stop()
            time.sleep(3)  # records pile up in the bridge meanwhile
            influx.start(database=None)
            count_before_end = len(sent)
            wait_until(lambda: len(sent) >= count_before_end + 20, 30, "more of the stream")
        finally:
            stop.set()
            publisher.join(10)

        # Messages the broker took while it was up for good: not the last ones
        # before it went away (they may still have been queued in it), and only
        # those sent once the bridge had subscribed again (one sent before may be
        # acknowledged after that, and go to no one).
        expected = [n for n, began, acknowledged in sent
                    if acknowledged < broker_down - 0.5 or began > broker_back]
        wait_until(lambda: len(influx.points("seq")) >= len(expected), 30,
                   "%d points" % len(expected))
        stored = [int(p["n"]) for p in influx.points("seq")]
        missing = sorted(set(expected) - set(stored))
        self.assertEqual(missing, [], [l for l in bridge.lines() if l.startswith("T: seq,")])
        self.assertEqual(len(stored), len(set(stored)), "a message was stored twice")
