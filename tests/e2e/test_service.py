"""The bridge under a service manager: a datagram socket of the test's own stands
in for systemd's NOTIFY_SOCKET. READY only after the broker accepted the bridge,
watchdog pings from a loop that never blocks for long (idle, with a database
that never answers, with a broker host that drops packets) and at a cadence
that follows the period asked, status changes on
an outage and its end, STOPPING before a clean exit."""

import os
import signal
import subprocess
import time

from harness import (BlackHoleListener, BridgeTestCase, FakeBroker, NotifySocket, bridge_command,
                     close_sockets, ping_gaps, publish, stop_process, wait_until)
from http_sink import HttpSink

# An idle turn of the main loop waits for network traffic at most this long
# (kLoopWaitMs in src/app/main.cc); the longest turn holds one transfer (its
# 5 s time-out) after that wait.
LOOP_TURN_S = 1.0
LONGEST_TURN_S = LOOP_TURN_S + 5.0
# What a loaded 2-core machine (other builds, a sanitizer, qemu-arm) may add to
# a turn before the bridge runs again.
LOAD_ROOM_S = 1.0
# An idle bridge wakes only to ping, late by the scheduler alone (about 0.05 s
# at most, seen with both cores busy and the suite running beside it). The room
# stays well under the gaps the cadence test tells apart.
WAKE_ROOM_S = 0.25
# How long the cadence test watches an idle bridge: several turns of the loop.
CADENCE_WATCH_S = 3.0


def period_with_room(turn_s):
    """A watchdog period whose quarter holds a turn of turn_s and the room for
    load. The bridge pings on the first turn that starts a quarter period after
    the last ping, so its pings are then never more than half of it apart."""
    return 4 * (turn_s + LOAD_ROOM_S)


def usec(seconds):
    return int(seconds * 1000000)


class ServiceTest(BridgeTestCase):
    def notify_socket(self, abstract=False):
        return self.started(NotifySocket(self.workdir, abstract))

    def test_ready_only_once_the_broker_has_accepted_the_bridge(self):
        broker = self.started(FakeBroker().start())
        notify = self.notify_socket()
        bridge = self.bridge("-v", "-c", "node-17", env=notify.env())
        notify.wait_for("STATUS=connecting to the broker")
        time.sleep(1.5)  # the broker holds its CONNACK back
        self.assertEqual(notify.texts("READY"), [])
        broker.release.set()
        (ready_at, _), = notify.wait_for("READY=1")
        self.assertGreater(ready_at, broker.connack_sent_at)
        wait_until(lambda: broker.subscriptions == ["v1/#"], 5, "the subscription")
        notify.wait_for("STATUS=connected, delivering")
        bridge.signal(signal.SIGINT)
        self.assertEqual(bridge.wait_exit(), 0)
        notify.settle()
        texts = notify.texts()
        self.assertEqual(texts.count("READY=1"), 1, texts)
        self.assertEqual(texts[-1], "STOPPING=1")

    def test_no_ready_when_the_first_connection_is_refused(self):
        self.broker("allow_anonymous false\n")
        notify = self.notify_socket()
        bridge = self.bridge("-c", "node-17", env=notify.env())  # default verbosity
        self.assertEqual(bridge.wait_exit(), 1)
        # The journal says why the service keeps restarting.
        self.assertEqual(bridge.lines(), ["I: connection refused: Connection Refused: not authorised."])
        notify.settle()
        self.assertEqual(notify.texts("READY"), [])

    def test_a_filter_the_library_rejects_is_in_the_status(self):
        self.broker()
        notify = self.notify_socket()
        bridge = self.bridge("-H", "v1", "-c", "node-17", env=notify.env())
        notify.wait_for("READY=1")
        notify.wait_for("STATUS=subscription failed: v1#")
        self.assertTrue(bridge.running())
        self.assertEqual(notify.texts("STATUS=connected"), [])  # never looked healthy

    def test_a_subscription_the_broker_refused_is_in_the_status_until_one_is_granted(self):
        broker = self.started(FakeBroker(granted_qos=0x80).start())
        broker.release.set()
        notify = self.notify_socket()
        self.bridge("-c", "node-17", env=notify.env())
        notify.wait_for("STATUS=subscription failed: v1/#")
        healthy_before = len(notify.texts("STATUS=connected, delivering"))
        # The next connection's subscription is granted.
        broker.granted_qos = 1
        close_sockets(None, broker.connections)
        notify.wait_for("STATUS=connected, delivering", count=healthy_before + 1, timeout=15)
        # The status changes with the CONNACK; the new SUBSCRIBE may still be
        # on its way to the broker then.
        wait_until(lambda: len(broker.subscriptions) >= 2, 10, "the second subscription")
        self.assertEqual(broker.subscriptions, ["v1/#", "v1/#"])
        notify.wait_for("STATUS=connected, delivering", count=healthy_before + 1, timeout=15)
        self.assertEqual(notify.texts("STATUS=")[-1], "STATUS=connected, delivering")

    def test_abstract_socket_name_gets_ready_and_stopping(self):
        self.broker()
        notify = self.notify_socket(abstract=True)
        self.assertTrue(notify.name.startswith("@"))
        bridge = self.bridge("-t", "-c", "node-17", env=notify.env())
        notify.wait_for("READY=1")
        bridge.signal(signal.SIGTERM)
        self.assertEqual(bridge.wait_exit(), 0)
        notify.settle()
        self.assertEqual(notify.texts()[-1], "STOPPING=1")

    def test_watchdog_pings_at_the_period_asked_while_idle(self):
        self.broker()
        notify = self.notify_socket()
        period = period_with_room(LOOP_TURN_S)
        bridge = self.bridge("-c", "node-17", env=notify.env(WATCHDOG_USEC=usec(period)))
        notify.wait_for("READY=1")
        notify.wait_for("WATCHDOG=1", count=5, timeout=5 * period)
        pings = [t for t, _ in notify.timed("WATCHDOG=1")]
        self.assertLessEqual(max(ping_gaps(pings)), period / 2, ping_gaps(pings))
        self.assertTrue(bridge.running())

    def test_idle_bridge_pings_every_quarter_to_half_period(self):
        # The service manager ends a bridge silent for a whole period; a ping at
        # least every half of it leaves the other half for a loaded device. A
        # short period must be met by the loop's own waits, not by its 1 s
        # turns. More often than every quarter period says nothing more.
        self.broker()
        for period in (0.4, 1.0, 4.0):
            with self.subTest(watchdog_usec=usec(period)):
                notify = self.notify_socket(abstract=True)
                bridge = self.bridge("-c", "node-17", env=notify.env(WATCHDOG_USEC=usec(period)))
                notify.wait_for("READY=1")

                def pings():
                    return [t for t, _ in notify.timed("WATCHDOG=1")]
                wait_until(lambda: len(pings()) > 1 and pings()[-1] - pings()[0] >= CADENCE_WATCH_S,
                           CADENCE_WATCH_S + 2 * (period + LOAD_ROOM_S),
                           "pings over %.0f s" % CADENCE_WATCH_S)
                times = pings()
                gaps = ["%.3f" % gap for gap in ping_gaps(times)]
                self.assertLessEqual(max(ping_gaps(times)), period / 2 + WAKE_ROOM_S, gaps)
                # Counted over the whole watch, so a late ping (a short gap after
                # it) is no fault.
                self.assertLessEqual((len(times) - 1) * period / 4,
                                     times[-1] - times[0] + WAKE_ROOM_S, gaps)
                bridge.stop()

    def test_no_watchdog_pings_for_another_pid(self):
        self.broker()
        notify = self.notify_socket()
        bridge = self.bridge("-c", "node-17", env=notify.env(WATCHDOG_USEC=1000000, WATCHDOG_PID=1))
        notify.wait_for("READY=1")
        time.sleep(2)
        self.assertEqual(notify.texts("WATCHDOG"), [])
        self.assertTrue(bridge.running())

    def test_database_that_never_answers_keeps_the_watchdog_fed_and_says_so(self):
        self.broker()
        sink = self.started(HttpSink().start())
        sink.default_answer = ("hang",)
        notify = self.notify_socket()
        period = period_with_room(LONGEST_TURN_S)  # a turn may hold a transfer that times out
        bridge = self.bridge("-c", "node-17", env=notify.env(WATCHDOG_USEC=usec(period)))
        notify.wait_for("READY=1")
        self.assertTrue(publish("v1/kitchen/temp", "1 1700000000001"))
        bridge.wait_line(r"^I: database unreachable: ", timeout=15)
        for n in (2, 3, 4):
            self.assertTrue(publish("v1/kitchen/temp", "%d %d" % (n, 1700000000000 + n)))
        status, = notify.wait_for("STATUS=database unreachable since ", timeout=20)
        self.assertRegex(status[1], r"^STATUS=database unreachable since \d{4}-\d\d-\d\d "
                                    r"\d\d:\d\d:\d\d UTC, [1-4] records pending$")
        time.sleep(12)  # several time-outs
        sink.default_answer = HttpSink.OK
        sink.release.set()
        wait_until(lambda: len(sink.stored_lines()) >= 4, 40, "the four records")
        notify.wait_for("STATUS=connected, delivering", count=2, timeout=10)
        notify.wait_for("WATCHDOG=1", count=3, timeout=3 * period)
        pings = [t for t, _ in notify.timed("WATCHDOG=1")]
        self.assertLessEqual(max(ping_gaps(pings)), period / 2, ping_gaps(pings))
        # At the default verbosity: one line when the outage began, one when it
        # ended, nothing per record or per attempt. (The status datagram can
        # overtake the line on its way through the standard output pipe.)
        bridge.wait_line(r"^I: database reachable again ", timeout=10)
        lines = bridge.lines()
        self.assertEqual(len(lines), 2, lines)
        self.assertRegex(lines[0], r"^I: database unreachable: Operation timed out after \d+ "
                                   r"milliseconds with 0 bytes received; records kept: 1$")
        # Bodies that timed out were narrowed down to one record; the first one
        # stored ends the outage, the rest follow at once.
        self.assertRegex(lines[1], r"^I: database reachable again after \d+ s; records delivered "
                                   r"from the backlog: [1-4], still pending: [0-3]$")

    def test_broker_host_that_drops_packets_never_stalls_the_loop(self):
        broker = self.broker()
        notify = self.notify_socket()
        # Turns of 1 s at most (the non-blocking connect's wait): a stall would
        # be the keep-alive's 10 s or a connect's time-out.
        period = period_with_room(LOOP_TURN_S)
        bridge = self.bridge("-t", "-c", "node-17", env=notify.env(WATCHDOG_USEC=usec(period)))
        notify.wait_for("READY=1")
        # Records wait for a database that is not there yet.
        for n in (1, 2):
            self.assertTrue(publish("v1/kitchen/temp", "%d %d" % (n, 1700000000000 + n)))
        bridge.wait_line(r"^I: database unreachable: ")
        broker.stop()
        self.started(BlackHoleListener(1883).start())
        bridge.wait_line(r"^I: connection error: ")
        notify.wait_for("STATUS=broker lost since ")
        # Past the keep-alive: reconnects that time out, and the loop keeps turning.
        sink = self.started(HttpSink().start())
        wait_until(lambda: len(sink.stored_lines()) >= 2, 15, "the records, broker still away")
        bridge.wait_line(r"^I: connection error: no answer from the broker within the keep-alive$",
                         timeout=20)
        pings = [t for t, _ in notify.timed("WATCHDOG=1")]
        self.assertLessEqual(max(ping_gaps(pings)), period / 2, ping_gaps(pings))
        # A stop during the broker outage is an orderly stop: status 0, at once.
        stop_asked = time.monotonic()
        bridge.signal(signal.SIGTERM)
        self.assertEqual(bridge.wait_exit(timeout=10), 0)
        self.assertLess(time.monotonic() - stop_asked, 4)
        notify.settle()
        self.assertEqual(notify.texts()[-1], "STOPPING=1")

    def test_standard_output_without_a_reader_costs_only_the_lines(self):
        # A journal that went away: every line the bridge writes fails with
        # EPIPE, from the first trace line on, and is lost; the bridge goes on.
        self.broker()
        sink = self.started(HttpSink().start())
        notify = self.notify_socket()
        environment = {name: value for name, value in os.environ.items()
                       if name not in ("WATCHDOG_USEC", "WATCHDOG_PID")}
        environment.update(notify.env())
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            bridge = subprocess.Popen(bridge_command() + ["-v", "-c", "node-17"], stdout=write_end,
                                      stderr=subprocess.DEVNULL, env=environment)
        finally:
            os.close(write_end)
        try:
            notify.wait_for("READY=1")
            wait_until(lambda: publish("v1/kitchen/temp", "21.5 1") and sink.stored_lines(), 15,
                       "a record at the sink")
            self.assertIsNone(bridge.poll())
            bridge.send_signal(signal.SIGINT)
            self.assertEqual(bridge.wait(20), 0)
        finally:
            stop_process(bridge, signal.SIGKILL)
