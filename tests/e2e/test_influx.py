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
        wait_until(lambda: len(influx.points("temp")) == 4, 15, "four temp points")
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
        # number. Remember which ones the broker took and when.
        sent = []  # (sequence, monotonic time) of messages the broker acknowledged
        stop = threading.Event()

        def stream():
            sequence = 0
            while not stop.is_set():
                sequence += 1
                if publish("v1/line/seq", "n=%d" % sequence, timeout=3):
                    sent.append((sequence, time.monotonic()))
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
        # before it went away (they may still have been queued in it), and not
        # any taken before the bridge had subscribed again.
        expected = [n for n, t in sent if t < broker_down - 0.5 or t > broker_back]
        wait_until(lambda: len(influx.points("seq")) >= len(expected), 30,
                   "%d points" % len(expected))
        stored = [int(p["n"]) for p in influx.points("seq")]
        missing = sorted(set(expected) - set(stored))
        self.assertEqual(missing, [])
        self.assertEqual(len(stored), len(set(stored)), "a message was stored twice")
