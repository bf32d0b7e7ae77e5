"""The broker keeps what arrives while the bridge is away (--mqtt-persistent-session)."""

import signal
import threading
import time

from harness import BridgeTestCase, publish_many, wait_until


class SessionTest(BridgeTestCase):
    def restart_while_publishing(self, *options):
        """The bridge subscribes, stops for the 10 s a publisher sends 500 QoS 1
        messages (50 a second), then starts again with the same identity.
        Returns the points stored in the end and the bridge's second run."""
        influx = self.influx()
        self.broker()
        first = self.bridge("-v", "-c", "node-17", *options)
        first.wait_subscribed()
        first.signal(signal.SIGINT)
        self.assertEqual(first.wait_exit(), 0)

        publish_many("v1/away/temp", 500, interval_ms=20, timeout=120)
        second = self.bridge("-v", "-c", "node-17", *options)
        second.wait_subscribed()
        publish_many("v1/back/temp", 10, first=500)
        wait_until(lambda: len(influx.points("temp")) >= 510 or
                   len(influx.points("temp")) == 10 and self.settled(influx), 60,
                   "the messages published after the restart")
        return influx.points("temp", epoch="ms"), second

    def settled(self, influx):
        # Without a persistent session the 500 are gone for good: only the 10
        # published after the restart come, and nothing more arrives.
        count = len(influx.points("temp"))
        threading.Event().wait(2)
        return len(influx.points("temp")) == count

    def test_messages_published_while_the_bridge_is_away_are_delivered_after_it_returns(self):
        points, _ = self.restart_while_publishing("--mqtt-persistent-session")
        self.assertEqual(sorted(p["time"] - 1700000000000 for p in points), list(range(510)))

    def test_a_clean_session_loses_them_as_before(self):
        points, _ = self.restart_while_publishing()
        self.assertEqual(sorted(p["time"] - 1700000000000 for p in points), list(range(500, 510)))

    def test_readings_replayed_in_one_burst_keep_a_point_each(self):
        # The broker replays the queue at once: 300 readings of one series within milliseconds.
        influx = self.influx()
        self.broker()
        options = ("-v", "-c", "node-17", "-p", "ms", "--mqtt-persistent-session")
        first = self.bridge(*options)
        first.wait_subscribed()
        first.signal(signal.SIGINT)
        self.assertEqual(first.wait_exit(), 0)
        publish_many("v1/away/temp", 300, mode="stamp", timeout=60)
        before_ms = int(time.time() * 1000)
        second = self.bridge(*options)
        second.wait_line(r"^T: temp,host=node-17,mqtt=", 30, count=300)
        after_ms = int(time.time() * 1000)
        wait_until(lambda: len(influx.points("temp")) >= 300, 30, "300 points")
        points = sorted(influx.points("temp", epoch="ms"), key=lambda p: p["time"])
        self.assertEqual([p["n"] for p in points], list(range(300)))  # in order, none lost
        self.assertGreaterEqual(points[0]["time"], before_ms)
        self.assertLessEqual(points[-1]["time"], after_ms + 299)  # a unit ahead per reading
