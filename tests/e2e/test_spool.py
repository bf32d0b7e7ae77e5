"""--spool: pending records outlive the process, damage is passed over, disk
trouble falls back to memory."""

import os
import signal

from harness import BridgeTestCase, publish_many, wait_until

FIRST_MS = 1700000000000  # the publisher's first timestamp


class SpoolTest(BridgeTestCase):
    def spool_dir(self):
        path = os.path.join(self.workdir, "spool")
        os.makedirs(path, exist_ok=True)
        return path

    def pending_with_the_database_down(self, spool, count, *options):
        """A bridge with `spool`, the database not running: `count` records
        published and taken (the outage line counts them)."""
        self.broker()
        bridge = self.bridge("-v", "--spool", spool, *options)
        bridge.wait_subscribed()
        publish_many("v1/spooled/temp", count)
        # At -v each record taken is traced once it is kept.
        bridge.wait_line(r"^T: temp,", timeout=60, count=count)
        return bridge

    def assert_all_stored_in_order(self, influx, count):
        wait_until(lambda: len(influx.points("temp")) >= count, 60, "%d points" % count)
        times = [p["time"] - FIRST_MS for p in influx.points("temp", epoch="ms")]
        self.assertEqual(times, list(range(count)))

    def test_records_pending_when_the_bridge_is_killed_are_delivered_by_the_next_one(self):
        spool = self.spool_dir()
        first = self.pending_with_the_database_down(spool, 1000)
        first.signal(signal.SIGKILL)
        first.wait_exit()
        influx = self.influx()
        second = self.bridge("-v", "--spool", spool)
        second.wait_line(r"^I: records found in the spool: 1000$")
        self.assert_all_stored_in_order(influx, 1000)
