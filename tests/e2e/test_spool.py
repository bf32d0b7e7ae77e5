"""--spool: pending records outlive the process, damage is passed over, disk
trouble falls back to memory, the bound drops the oldest, and a spool that
cannot be used stops the bridge before it connects anywhere."""

import os
import re
import shutil
import signal
import struct
import subprocess
import time
import zlib

from harness import (BridgeTestCase, bridge_command, publish, publish_many, stop_process,
                     wait_until)
from http_sink import HttpSink

FIRST_MS = 1700000000000  # the publisher's first timestamp
TOPIC = "v1/spooled/temp"
HOST = "node-17"

# A segment's frame: marker, payload length and crc32 (of the length's 4 bytes
# and the payload), both little-endian, then the payload.
FRAME_MARKER = b"\x0a\xf5SP"
TIMED_FRAME_MARKER = b"\x0a\xf5ST"  # the precision, a NUL, then the record
FRAME_HEADER = struct.Struct("<4sII")
SEGMENT_NAME = re.compile(r"^spool-([0-9a-f]{16})\.seg$")
DAMAGE_LINE = re.compile(r"^I: damaged spool data skipped, bytes: (\d+)$")
DROP_LINE = re.compile(r"^I: pending text full: oldest records dropped: (\d+)$")
UNUSABLE_LINE = re.compile(r"^I: spool unusable, records kept in memory: .+")
# Every message reaches the bridge, however fast they come.
UNBOUNDED_QUEUE = "max_queued_messages 0\n"
NOT_A_SIZE = ("F: --spool-max-bytes: not a size of at least 64k "
              "(digits, then k or M for KiB or MiB)")


def record(n, topic=TOPIC):
    """The record the bridge makes of the publisher's message number n."""
    return '%s,host=%s,mqtt="%s" value=%d %d' % (topic.rsplit("/", 1)[1], HOST, topic, n,
                                                 FIRST_MS + n)


class Frame:
    def __init__(self, start, end, payload):
        self.start, self.end, self.payload = start, end, payload


def intact_frames(data):
    """The frames of a segment the bridge wrote, by the documented layout; fails
    the test at anything else."""
    frames, at = [], 0
    while at < len(data):
        marker, length, crc = FRAME_HEADER.unpack_from(data, at)
        payload = data[at + FRAME_HEADER.size:at + FRAME_HEADER.size + length]
        if (marker not in (FRAME_MARKER, TIMED_FRAME_MARKER) or len(payload) != length
                or zlib.crc32(data[at + 4:at + 8] + payload) != crc):
            raise AssertionError("no intact frame at offset %d" % at)
        if marker == TIMED_FRAME_MARKER:
            payload = payload.split(b"\0", 1)[1]
        frames.append(Frame(at, at + FRAME_HEADER.size + length, payload.decode()))
        at += FRAME_HEADER.size + length
    return frames


def segment_files(directory):
    """(base, path) of the segments in a spool directory, oldest first."""
    found = []
    for name in os.listdir(directory):
        match = SEGMENT_NAME.match(name)
        if match:
            found.append((int(match.group(1), 16), os.path.join(directory, name)))
    return sorted(found)


def spooled(directory):
    """The frames of every segment in a spool directory, oldest first, at
    their positions in the spool."""
    frames = []
    for base, path in segment_files(directory):
        with open(path, "rb") as f:
            data = f.read()
        frames += [Frame(base + f.start, base + f.end, f.payload) for f in intact_frames(data)]
    return frames


def drained(directory):
    """True when the spool holds at most one segment, all of it acknowledged
    (and the acknowledgement written)."""
    segments = segment_files(directory)
    return len(segments) <= 1 and all(
        acknowledged_position(directory) == base + os.path.getsize(path) for base, path in segments)


def fill(directory, room):
    """Fills the file system of `directory` but for `room` bytes; returns the
    filler's path."""
    space = os.statvfs(directory)
    assert space.f_blocks * space.f_frsize <= 1 << 20, "not a small disk"
    filler = os.path.join(directory, "filler")
    with open(filler, "wb") as f:
        f.write(b"\0" * (space.f_bavail * space.f_frsize - room))
    return filler


def acknowledged_position(directory):
    """The position the acked file holds, or None when it holds none (missing,
    short or failing its checksum)."""
    try:
        with open(os.path.join(directory, "acked"), "rb") as f:
            data = f.read(12)
    except FileNotFoundError:
        return None
    if len(data) < 12 or zlib.crc32(data[:8]) != struct.unpack("<I", data[8:])[0]:
        return None
    return struct.unpack("<Q", data[:8])[0]


def counted(lines, pattern):
    """The sum of the numbers of the lines matching `pattern` (one group)."""
    return sum(int(m.group(1)) for m in map(pattern.match, lines) if m)


class SmallDisk:
    """A tmpfs of `size` mounted on `mount_point` for bridges alone: a process
    of the test's own holds it in a mount namespace of its own (private
    propagation), so it outlives a killed bridge, and each bridge joins that
    namespace. The test reaches the files through /proc/<pid>/root."""

    def __init__(self, mount_point, size):
        self.mount_point = mount_point
        self.size = size
        self.holder = None

    def start(self):
        script = 'mount -t tmpfs -o size="$2" spool-disk "$1" && exec sleep 3600'
        self.holder = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "--",
                                        "sh", "-c", script, "small-disk", self.mount_point,
                                        self.size])

        def mounted():
            if self.holder.poll() is not None:
                raise AssertionError("the small disk could not be mounted")
            with open("/proc/%d/mounts" % self.holder.pid) as f:
                return "spool-disk " in f.read()
        wait_until(mounted, 10, "the small disk to be mounted")
        return self

    def wrap(self, command):
        return ["nsenter", "--mount=/proc/%d/ns/mnt" % self.holder.pid, "--"] + list(command)

    def seen_from(self):
        return "/proc/%d/root%s" % (self.holder.pid, self.mount_point)

    def stop(self):
        stop_process(self.holder, signal.SIGKILL)


def read_only_mount(directory, command):
    """`command` run where `directory` is a read-only bind mount of itself."""
    script = ('mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && '
              'exec "$@"')
    return (["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script,
             "read-only", directory] + list(command))


class SpoolTest(BridgeTestCase):
    def spool_dir(self, name="spool"):
        path = os.path.join(self.workdir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def pending_with_the_database_down(self, spool, count, *options):
        """A bridge with `spool`, the database not running: `count` records
        published and taken (the outage line counts them)."""
        self.broker(UNBOUNDED_QUEUE)
        bridge = self.bridge("-v", "--spool", spool, *options)
        bridge.wait_subscribed()
        publish_many("v1/spooled/temp", count)
        # At -v each record taken is traced once it is kept.
        bridge.wait_line(r"^T: temp,", timeout=60, count=count)
        return bridge

    def taken(self, bridge, first, count, topic=TOPIC):
        """Publishes messages first .. first + count - 1; returns first + count
        once the bridge has taken that many since it started (traced at -v)."""
        publish_many(topic, count, first=first)
        bridge.wait_line(r"^T: temp,", timeout=60, count=first + count)
        return first + count

    def taken_until_unusable(self, bridge, first, batch, limit):
        """Publishes batches until the spool's disk is full; returns the number
        published next."""
        published = first
        while not any(UNUSABLE_LINE.match(l) for l in bridge.lines()):
            self.assertLess(published, limit, "the disk should be full by now")
            published = self.taken(bridge, published, batch)
        line, = [l for l in bridge.lines() if UNUSABLE_LINE.match(l)]
        self.assertIn("No space left on device", line)
        return published

    def until_usable_again(self, bridge, first):
        """Publishes one message at a time until the spool takes one again (it
        is tried with a record 5 s after it failed); returns the number
        published next."""
        published = first

        def usable_again():
            nonlocal published
            self.assertTrue(publish(TOPIC, "%d %d" % (published, FIRST_MS + published)))
            published += 1
            return "I: spool usable again" in bridge.lines()
        wait_until(usable_again, 30, "the spool to be usable again", interval=0.2)
        return published

    def assert_all_stored_in_order(self, influx, count):
        wait_until(lambda: len(influx.points("temp")) >= count, 60, "%d points" % count)
        times = [p["time"] - FIRST_MS for p in influx.points("temp", epoch="ms")]
        self.assertEqual(times, list(range(count)))

    def assert_stored_exactly(self, influx, numbers, database="mydb", topic=TOPIC):
        """The database holds the records of `numbers`, whole, and nothing else
        under the measurement temp: no point, series or field a fragment of a
        record would make."""
        points = influx.points("temp", database=database, epoch="ms")
        self.assertEqual(sorted((p["time"] - FIRST_MS, p["value"]) for p in points),
                         [(n, n) for n in sorted(numbers)])
        if numbers:
            series = influx.query("SHOW SERIES FROM temp", database)["results"][0]["series"]
            self.assertEqual([row[0] for row in series[0]["values"]],
                             [record(0, topic).split(" ")[0]])
            fields = influx.query("SHOW FIELD KEYS FROM temp", database)["results"][0]["series"]
            self.assertEqual(fields[0]["values"], [["value", "float"]])

    def measurements(self, influx, database):
        result = influx.query("SHOW MEASUREMENTS", database)["results"][0]
        return sorted(row[0] for series in result.get("series", []) for row in series["values"])

    def test_records_pending_when_the_bridge_is_killed_are_delivered_by_the_next_one(self):
        spool = self.spool_dir()
        first = self.pending_with_the_database_down(spool, 1000)
        first.signal(signal.SIGKILL)
        first.wait_exit()
        influx = self.influx()
        second = self.bridge("-v", "--spool", spool)
        second.wait_line(r"^I: records found in the spool: 1000$")
        self.assert_all_stored_in_order(influx, 1000)

    def test_an_orderly_stop_in_an_outage_leaves_the_records_to_the_next_run(self):
        # The real database orders points by time, so the SIGINT run delivers
        # to a stand-in that shows the order the bridge sent them in.
        cases = [
            ("SIGTERM with -t", signal.SIGTERM, ["-t"], "database"),
            ("SIGINT", signal.SIGINT, [], "stand-in"),
        ]
        self.broker(UNBOUNDED_QUEUE)
        for name, sig, options, receiver in cases:
            with self.subTest(name):
                spool = self.spool_dir(name.replace(" ", "-"))
                case = []  # stopped at the end of the case, whatever happens
                try:
                    first = self.bridge("-v", "-c", HOST, "--spool", spool, *options)
                    case.append(first)
                    first.wait_subscribed()
                    publish_many(TOPIC, 1000)
                    first.wait_line(r"^T: temp,", timeout=60, count=1000)
                    first.signal(sig)
                    # The flush at the stop fails at once (nothing listens),
                    # well within its 10 s.
                    self.assertEqual(first.wait_exit(timeout=30), 0)
                    # The last lines: the failure of the last POST (the
                    # flush's, or one in flight at the signal; the outage's
                    # first line when no POST had failed before the stop, as
                    # on a slow runner), then what is kept.
                    self.assertRegex(first.lines()[-2],
                                     r"^(D: POST failed: |I: database unreachable: )")
                    self.assertEqual(first.lines()[-1],
                                     "I: records kept in the spool at shutdown: 1000")

                    server = (self.influx() if receiver == "database"
                              else self.started(HttpSink().start()))
                    case.append(server)
                    second = self.bridge("-v", "-c", HOST, "-t", "--spool", spool)
                    case.append(second)
                    second.wait_line(r"^I: records found in the spool: 1000$")
                    if receiver == "database":
                        wait_until(lambda: len(server.points("temp")) >= 1000, 60, "1000 points")
                        self.assert_stored_exactly(server, range(1000))
                    else:
                        wait_until(lambda: len(server.stored_lines()) >= 1000, 60, "1000 records")
                        self.assertEqual(server.stored_lines(), [record(n) for n in range(1000)])
                    # Everything delivered is let go of: nothing is kept at
                    # the stop, and the next run finds nothing.
                    second.signal(signal.SIGTERM)
                    self.assertEqual(second.wait_exit(timeout=30), 0)
                    self.assertEqual([l for l in second.lines() if "at shutdown" in l], [])
                    third = self.bridge("-v", "-c", HOST, "--spool", spool)
                    case.append(third)
                    third.wait_line(r"^I: records found in the spool: 0$")
                finally:
                    for thing in reversed(case):
                        thing.stop()

    def test_damaged_spool_data_is_passed_over_and_every_intact_record_delivered(self):
        # A spool of 300 records written by the bridge itself, left by a kill.
        pristine = self.spool_dir("pristine")
        self.broker(UNBOUNDED_QUEUE)
        writer = self.bridge("-v", "-c", HOST, "--spool", pristine)
        writer.wait_subscribed()
        publish_many(TOPIC, 300)
        writer.wait_line(r"^T: temp,", timeout=60, count=300)
        writer.signal(signal.SIGKILL)
        writer.wait_exit()
        (_, segment_path), = segment_files(pristine)
        segment_name = os.path.basename(segment_path)
        with open(segment_path, "rb") as f:
            data = f.read()
        frames = intact_frames(data)
        self.assertEqual([f.payload for f in frames], [record(n) for n in range(300)])

        def flip(byte):
            return byte ^ 0xFF

        def set_to(value):
            return lambda byte: value

        # (name, where the file is cut (None: nowhere), changes as (offset, new
        # byte of the old one), bytes appended). The length's last byte set to
        # 0x7F claims more than a frame may hold.
        cases = [
            ("cut at a frame's end", frames[199].end, [], b""),
            ("cut inside a marker", frames[100].start + 2, [], b""),
            ("cut inside a length field", frames[150].start + 6, [], b""),
            ("cut inside a payload", frames[250].start + 30, [], b""),
            ("a payload byte flipped", None, [(frames[10].start + 20, flip)], b""),
            ("marker, length and checksum of three frames in a row", None,
             [(frames[50].start, flip), (frames[51].start + 7, set_to(0x7F)),
              (frames[52].start + 9, flip)], b""),
            ("a line feed in a payload and the last frame's last byte flipped", None,
             [(frames[200].start + 25, set_to(0x0A)), (frames[299].end - 1, flip)], b""),
            ("garbage after the last frame", None, [], b"garbage\n" + FRAME_MARKER + b"\x05"),
        ]
        influx = self.influx()
        for number, (name, cut, changes, appended) in enumerate(cases):
            with self.subTest(name):
                kept = len(data) if cut is None else cut
                damaged = bytearray(data[:kept])
                for offset, change in changes:
                    new = change(damaged[offset])
                    self.assertNotEqual(new, damaged[offset])
                    damaged[offset] = new
                damaged += appended
                # Intact: every byte of the frame still there and unchanged.
                changed = [offset for offset, _ in changes]
                intact = [n for n, f in enumerate(frames) if f.end <= kept
                          and not any(f.start <= o < f.end for o in changed)]
                damaged_bytes = len(damaged) - sum(frames[n].end - frames[n].start
                                                   for n in intact)

                spool = os.path.join(self.workdir, "damaged-%d" % number)
                shutil.copytree(pristine, spool)
                with open(os.path.join(spool, segment_name), "wb") as f:
                    f.write(damaged)
                database = "damaged%d" % number
                influx.query("CREATE DATABASE " + database, method="POST")
                bridge = self.bridge("-v", "-c", HOST, "--spool", spool, "--influx-db", database)
                try:
                    bridge.wait_line(r"^I: records found in the spool: %d$" % len(intact))
                    bridge.wait_subscribed()
                    # Spooled after the others and sent in order: once it is
                    # stored, everything the spool held has been sent.
                    self.assertTrue(publish("v1/after/probe", "1 1700000999000"))
                    wait_until(lambda: influx.points("probe", database), 60,
                               "the record published after the restart")
                    self.assert_stored_exactly(influx, intact, database)
                    self.assertEqual(self.measurements(influx, database), ["probe", "temp"])
                    self.assertTrue(bridge.running())
                    lines = bridge.lines()
                    self.assertEqual(counted(lines, DAMAGE_LINE), damaged_bytes)
                    self.assertEqual([l for l in lines if "refused" in l], [])
                finally:
                    bridge.stop()

    def test_a_full_disk_keeps_records_in_memory_until_the_spool_takes_them_again(self):
        spool = self.spool_dir()
        disk = self.started(SmallDisk(spool, "1m").start())
        self.broker(UNBOUNDED_QUEUE)
        # Segments of 16 KiB: the disk holds several, and the delivered ones go.
        bridge = self.bridge("-v", "-c", HOST, "--spool", spool, "--spool-max-bytes", "256k",
                             names=disk)
        bridge.wait_subscribed()
        seen = disk.seen_from()
        filler = fill(seen, 24 * 1024)

        published = self.taken_until_unusable(bridge, 0, 50, 2000)  # 24 KiB hold far fewer
        published = self.taken(bridge, published, 200)  # into memory
        os.remove(filler)
        published = self.taken(bridge, self.until_usable_again(bridge, published), 100)
        self.assertEqual(len([l for l in bridge.lines() if UNUSABLE_LINE.match(l)]), 1)

        influx = self.influx()
        wait_until(lambda: len(influx.points("temp")) >= published, 60, "%d points" % published)
        self.assert_stored_exactly(influx, range(published))

        # Delivered segments are removed; the one being written may stay
        # (below a quarter segment), all of it acknowledged.
        wait_until(lambda: drained(seen), 30, "the spool to hold nothing unacknowledged")
        self.assertEqual(sorted(os.listdir(seen)),
                         sorted(["acked"] + [os.path.basename(p) for _, p in segment_files(seen)]))
        self.assertTrue(bridge.running())

    def test_a_spool_that_filled_its_own_disk_drains_and_takes_the_next_outage(self):
        spool = self.spool_dir()
        disk = self.started(SmallDisk(spool, "512k").start())
        seen = disk.seen_from()
        self.broker(UNBOUNDED_QUEUE)
        # A bound larger than the disk, in segments of 64 KiB.
        options = ("-v", "-c", HOST, "--spool", spool, "--spool-max-bytes", "1M")
        bridge = self.bridge(*options, names=disk)
        bridge.wait_subscribed()
        published = self.taken_until_unusable(bridge, 0, 1000, 20000)
        published = self.taken(bridge, published, 500)  # into memory
        frames = spooled(seen)
        self.assertEqual([f.payload for f in frames], [record(n) for n in range(len(frames))])
        self.assertLess(len(frames), published - 500)
        end = max(base + os.path.getsize(path) for base, path in segment_files(seen))

        influx = self.influx()
        wait_until(lambda: len(influx.points("temp")) >= published, 60, "%d points" % published)
        self.assert_stored_exactly(influx, range(published))
        self.assertFalse(any(DROP_LINE.match(l) for l in bridge.lines()))
        # Every segment goes, the one being written too: its write failed.
        wait_until(lambda: segment_files(seen) == [] and acknowledged_position(seen) == end, 30,
                   "the spool to drain")

        # A second outage goes to the spool again, and survives a kill.
        published = self.until_usable_again(bridge, published)
        wait_until(lambda: len(influx.points("temp")) >= published, 60, "%d points" % published)
        influx.stop()
        wait_until(lambda: drained(seen), 30, "the spool to hold nothing unacknowledged")
        outage = published
        published = self.taken(bridge, published, 2000)
        acked = acknowledged_position(seen)
        self.assertEqual([f.payload for f in spooled(seen) if f.start >= acked],
                         [record(n) for n in range(outage, published)])
        lines = bridge.lines()
        self.assertEqual([len([l for l in lines if l.startswith(start)])
                          for start in ("I: spool unusable", "I: spool usable again")], [1, 1])
        bridge.signal(signal.SIGKILL)
        bridge.wait_exit()
        influx.start()
        second = self.bridge(*options, names=disk)
        second.wait_line(r"^I: records found in the spool: %d$" % (published - outage))
        wait_until(lambda: len(influx.points("temp")) >= published, 60, "%d points" % published)
        self.assert_stored_exactly(influx, range(published))

    def test_a_full_disk_in_an_outage_loses_no_record_that_reached_it(self):
        spool = self.spool_dir()
        disk = self.started(SmallDisk(spool, "1m").start())
        fill(disk.seen_from(), 128 * 1024)
        self.broker(UNBOUNDED_QUEUE)
        bridge = self.bridge("-v", "-c", HOST, "--spool", spool, names=disk)
        bridge.wait_subscribed()
        # Records of about 660 bytes: 10 000 hold 6 MiB, more than memory's 4 MiB.
        topic, total = "v1/%s/temp" % ("x" * 600), 10000
        self.taken(bridge, 0, total, topic)
        self.assertTrue(any("No space left on device" in l for l in bridge.lines()
                            if UNUSABLE_LINE.match(l)))
        frames = spooled(disk.seen_from())
        self.assertGreater(len(frames), 100)
        self.assertEqual([f.payload for f in frames],
                         [record(n, topic) for n in range(len(frames))])

        influx = self.influx()
        # Half a second between polls: each answer holds every point, 5 MB.
        wait_until(lambda: any(p["value"] == total - 1 for p in influx.points("temp")), 60,
                   "the newest record", interval=0.5)
        bridge.signal(signal.SIGINT)  # the stop writes the drop count not yet reported
        self.assertEqual(bridge.wait_exit(timeout=30), 0)
        stored = sorted(int(p["value"]) for p in influx.points("temp"))
        self.assert_stored_exactly(influx, stored, topic=topic)
        self.assertEqual(stored[:len(frames)], list(range(len(frames))))
        dropped = counted(bridge.lines(), DROP_LINE)
        self.assertGreater(dropped, 0)
        self.assertEqual(len(stored) + dropped, total)

    def test_a_lowered_bound_keeps_the_newest_records_of_the_spool_found(self):
        # What a bound of 64 KiB keeps of a spool found over it: the newest
        # records within the bound, whether the earlier run's segments go
        # whole or are cut into. (name, the run before's bound, the records
        # it spooled)
        cases = [("a cut within one segment of 256 KiB", "4M", 1500),
                 ("whole segments of 64 KiB", "1M", 3000)]
        bound = 64 * 1024
        self.broker(UNBOUNDED_QUEUE)
        influx = self.influx()
        for number, (name, first_bound, total) in enumerate(cases):
            with self.subTest(name):
                spool, database = self.spool_dir("spool%d" % number), "lowered%d" % number
                influx.query("CREATE DATABASE " + database, method="POST")
                first = self.bridge("-v", "-c", HOST, "--spool", spool, "--spool-max-bytes",
                                    first_bound, "--influx-url", "http://localhost:1")
                first.wait_subscribed()
                self.taken(first, 0, total)
                first.signal(signal.SIGKILL)
                first.wait_exit()
                frames = spooled(spool)
                kept = [f.payload for f in frames if f.start >= frames[-1].end - bound]
                self.assertTrue(0 < len(kept) < total)
                self.assertEqual(kept, [record(n) for n in range(total - len(kept), total)])

                second = self.bridge("-v", "-c", HOST, "--spool", spool, "--spool-max-bytes",
                                     "64k", "--influx-db", database)
                self.assertEqual(second.wait_line(r"^I: records found in the spool: ")[0],
                                 "I: records found in the spool: %d" % len(kept))
                wait_until(lambda: any(p["value"] == total - 1
                                       for p in influx.points("temp", database)),
                           60, "the newest record")
                second.signal(signal.SIGINT)
                self.assertEqual(second.wait_exit(timeout=30), 0)
                self.assert_stored_exactly(influx, range(total - len(kept), total), database)
                self.assertEqual(counted(second.lines(), DROP_LINE), total - len(kept))

    def test_spooled_records_go_out_at_their_own_precision_after_a_restart_with_another(self):
        spool = self.spool_dir()
        first = self.pending_with_the_database_down(spool, 300, "-c", HOST, "-p", "ms", "-t")
        first.signal(signal.SIGTERM)
        self.assertEqual(first.wait_exit(timeout=30), 0)
        self.assertEqual(first.lines()[-1], "I: records kept in the spool at shutdown: 300")
        influx = self.influx()
        second = self.bridge("-v", "-c", HOST, "-p", "s", "--spool", spool)
        second.wait_line(r"^I: records found in the spool: 300$")
        second.wait_subscribed()
        # The second run's own: stamped in seconds by the payload, and on arrival.
        first_s = FIRST_MS // 1000 + 100
        for n in range(300, 303):
            self.assertTrue(publish(TOPIC, "%d %d" % (n, first_s + n)))
        before = time.time()
        self.assertTrue(publish("v1/spooled/arrival", "1"))
        wait_until(lambda: len(influx.points("temp")) >= 303 and influx.points("arrival"), 60,
                   "303 points and the one stamped on arrival")
        after = time.time()
        self.assertEqual(sorted((p["time"], p["value"]) for p in influx.points("temp", epoch="ms")),
                         [(FIRST_MS + n, n) for n in range(300)]
                         + [((first_s + n) * 1000, n) for n in range(300, 303)])
        (arrival,) = influx.points("arrival", epoch="ms")
        self.assertEqual(arrival["time"] % 1000, 0)
        self.assertTrue(int(before) * 1000 <= arrival["time"] <= after * 1000, (before, arrival))
        urls = {l.rsplit("=", 1)[1] for l in second.lines() if l.startswith("T: http")}
        self.assertEqual(urls, {"ms", "s"})

    def broker_noting_connections(self):
        """Starts the broker; returns a function counting the connections it has
        taken so far (its own start-up probe's included)."""
        connection_log = os.path.join(self.workdir, "connections.log")
        # As root the broker would write its log as its own user, who cannot
        # reach the test's folder.
        self.broker("user root\nlog_dest file %s\nlog_type notice\nconnection_messages true\n"
                    % connection_log)

        def connections(kind="New connection from"):
            with open(connection_log, errors="replace") as f:
                return f.read().count(kind)
        # The probe's line may be written a moment after the port answered:
        # counted before, it would pass for the bridge's.
        wait_until(lambda: connections() >= 1, 10, "the broker to log its start-up probe")
        return connections

    def assert_fatal_before_connecting(self, command, fatal, connections):
        """`command` (the bridge, maybe wrapped) says `fatal` alone and ends with
        status 1, and the broker has seen no connection meanwhile."""
        before = connections()
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_until(lambda: process.poll() is not None or connections() > before, 10,
                       "the bridge to end or to connect")
        finally:
            if process.poll() is None:
                process.kill()
            out, _ = process.communicate()
        self.assertEqual((process.returncode, out.decode()), (1, fatal + "\n"))
        self.assertEqual(connections(), before)

    def test_a_spool_that_cannot_be_used_is_one_fatal_line_before_any_connection(self):
        connections = self.broker_noting_connections()
        missing = os.path.join(self.workdir, "missing")
        a_file = os.path.join(self.workdir, "a-file")
        open(a_file, "w").close()
        read_only = self.spool_dir("read-only")
        held = self.spool_dir("held")
        usable = self.spool_dir("usable")
        holder = self.bridge("-v", "-c", "holder", "--spool", held)
        holder.wait_subscribed()
        # The broker's log names every connection: the holder's is there.
        wait_until(lambda: connections("New client connected") == 1, 10,
                   "the holder's connection in the broker's log")

        def plain(command):
            return command
        cases = [
            ("a missing directory", plain, ["--spool", missing],
             "F: --spool: cannot open the spool directory %s: No such file or directory" % missing),
            ("a regular file", plain, ["--spool", a_file],
             "F: --spool: cannot open the spool directory %s: Not a directory" % a_file),
            ("a read-only mount", lambda command: read_only_mount(read_only, command),
             ["--spool", read_only],
             "F: --spool: the directory is not writable: %s: Read-only file system" % read_only),
            ("a directory another bridge holds", plain, ["--spool", held],
             "F: --spool: the spool directory is in use by another process, lock held on %s"
             % held),
            ("a size without --spool", plain, ["--spool-max-bytes", "64k"],
             "F: --spool-max-bytes: it needs --spool"),
        ] + [("size %r" % size, plain, ["--spool", usable, "--spool-max-bytes", size], NOT_A_SIZE)
             for size in ("10", "65535", "63k", "64x", "1G", "-1", "k", "64K", "1M1")]
        for name, wrap, args, fatal in cases:
            with self.subTest(name):
                self.assert_fatal_before_connecting(wrap(bridge_command() + ["-c", HOST] + args),
                                                    fatal, connections)
        self.assertTrue(holder.running())
        self.assertEqual(os.listdir(usable), [])  # never opened

    def test_an_empty_spool_size_is_refused_too(self):
        connections = self.broker_noting_connections()
        command = bridge_command() + ["-c", HOST, "--spool", self.spool_dir(),
                                      "--spool-max-bytes", ""]
        self.assert_fatal_before_connecting(command, NOT_A_SIZE, connections)

    def test_the_bound_drops_the_oldest_records_and_counts_them(self):
        spool = self.spool_dir()
        self.broker(UNBOUNDED_QUEUE)
        bridge = self.bridge("-v", "-c", HOST, "--spool", spool, "--spool-max-bytes", "64k")
        bridge.wait_subscribed()
        # The flood comes within the back-off after the fourth failed POST
        # (8 s), so no body is in flight while the bound drops records: the
        # next test has that case.
        self.assertTrue(publish(TOPIC, "0 %d" % FIRST_MS))
        bridge.wait_line(r"^D: POST failed: ", timeout=30, count=4)
        total = 3000  # about 230 KiB of frames
        publish_many(TOPIC, total - 1, first=1)
        bridge.wait_line(r"^T: temp,", timeout=60, count=total)
        lines = bridge.lines()
        flood = lines[[n for n, l in enumerate(lines) if l.startswith("D: POST failed: ")][3]:]
        self.assertEqual([l for l in flood if l.startswith("T: http")], [],
                         "a POST came during the flood")
        self.assertTrue(any(DROP_LINE.match(l) for l in flood))
        self.assertLessEqual(sum(os.path.getsize(p) for _, p in segment_files(spool)), 64 * 1024)

        influx = self.influx()
        wait_until(lambda: any(p["time"] == FIRST_MS + total - 1
                               for p in influx.points("temp", epoch="ms")),
                   60, "the newest record")
        # Sent in order: with the newest stored, all that is coming has come.
        # The stop writes the drop count not yet reported.
        bridge.signal(signal.SIGINT)
        self.assertEqual(bridge.wait_exit(timeout=30), 0)
        stored = sorted(p["time"] - FIRST_MS for p in influx.points("temp", epoch="ms"))
        self.assertEqual(stored, list(range(stored[0], total)))  # the newest, no gap
        self.assert_stored_exactly(influx, stored)
        self.assertEqual(len(stored) + counted(bridge.lines(), DROP_LINE), total,
                         [l for l in bridge.lines() if l.startswith("I: ")])
        # What the bound kept: 64 KiB of frames less at most the segment (4 KiB)
        # being written and the one dropped to make room.
        frame_bytes = len(record(total - 1)) + FRAME_HEADER.size
        self.assertGreater(len(stored) * frame_bytes, 64 * 1024 - 2 * 4096)
        self.assertLessEqual(len(stored) * frame_bytes, 64 * 1024)

    def test_records_of_a_body_in_flight_that_the_bound_drops_are_counted(self):
        # The database holds the first body, of record 0, until it times out
        # (5 s), while the flood passes the bound and its segment goes.
        spool = self.spool_dir()
        self.broker(UNBOUNDED_QUEUE)
        sink = self.started(HttpSink().start())
        sink.answer_next(("delay", 8, 503, b""))  # the first body; the others are stored
        bridge = self.bridge("-v", "-c", HOST, "--spool", spool, "--spool-max-bytes", "64k")
        bridge.wait_subscribed()
        self.assertTrue(publish(TOPIC, "0 %d" % FIRST_MS))
        wait_until(sink.all_requests, 10, "the first body")
        total = 3000
        publish_many(TOPIC, total - 1, first=1)
        bridge.wait_line(r"^T: temp,", timeout=60, count=total)
        wait_until(lambda: sink.stored_lines() and sink.stored_lines()[-1] == record(total - 1),
                   60, "the newest record")
        bridge.signal(signal.SIGINT)
        self.assertEqual(bridge.wait_exit(timeout=30), 0)
        lines = bridge.lines()
        # The first segment went while the first body was in flight: the first
        # drop came before that body's failure.
        first_drop = next(n for n, l in enumerate(lines) if DROP_LINE.match(l))
        failure = next(n for n, l in enumerate(lines) if l.startswith("I: database unreachable"))
        self.assertLess(first_drop, failure, "the flood passed the bound too late")
        stored = [int(line.split(" value=")[1].split()[0]) for line in sink.stored_lines()]
        self.assertEqual(stored, list(range(stored[0], total)))
        self.assertEqual(len(stored) + counted(lines, DROP_LINE), total,
                         [l for l in lines if l.startswith("I: ")])
