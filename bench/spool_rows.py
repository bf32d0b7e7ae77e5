"""The cost of --spool, run inside a private network namespace (bench/run's
section `spool`; or `tests/e2e/netns.sh python3 bench/spool_rows.py --build build`).

Every spool lives in a fresh directory under --spool-parent (/var/tmp by
default), which must be a real file system: tmpfs or ramfs is refused, since
neither writes nor syncs reach a device there. The file system is named in the
output. Each figure with the spool is set beside the same run without it:

  burst   the e2e burst (N QoS 1 messages from build/tests/publisher, a broker
          without a queue limit, until bench/fast_sink holds all N): the
          bridge's msg/s and its ratio to the run without the spool in the same
          round, CPU µs per message, VmHWM, and per record the bytes the
          bridge had the kernel write to the device (/proc/<pid>/io
          write_bytes) and the bytes appended to the spool (from the
          segments' names, which are positions: the last one's name plus its
          size is every byte ever appended).
  one     messages one at a time (e2e_bench's row: 300 messages 20 ms apart,
          the delay from publish to the recording sink's answer), 5 rounds:
          with 300 delays a run, p99 is the third longest, so the longest
          is shown too.
  syncs   the same with the spool, the bridge started under strace
          --seccomp-bpf stopping it at fdatasync and fsync only: how many
          of the delays over 2 ms overlapped a sync of the spool, and the
          longest sync.
  stall   the same, with strace holding the third fdatasync for 2 s (a disk
          that takes seconds to sync): the messages published while it was
          held, and the longest time one of them took to reach the sink (the
          sync runs on a thread of its own, so they should not wait for it).
  steady  1, 100 and 1000 messages a second for 20, 15 and 20 s (the
          publisher's own pacing; 20 s at 1000/s pass the end of a 1 MiB
          segment once): write_bytes and appended bytes per record,
          CPU per message, with and without the spool; then a separate run
          with strace attached for the window (-f -y -T, only the spool's files
          counted): fdatasync and fsync calls a second, the bytes passed to
          pwrite (segments and the acknowledged position) per record and how
          long an fdatasync took.
  full    the database absent (nothing listens on 8086): ~62 MiB of ~1000-byte
          records published, until the broker holds none of them (its $SYS
          store count is back where it was); then the fast sink starts and
          the bridge drains. VmHWM and VmRSS at full and after the drain,
          against the bridge without the spool, which keeps 4 MiB and drops
          the oldest.

write_bytes counts a whole page each time the process dirties a clean one:
a record appended to the page the last sync cleaned costs 4 KiB. The file
system's journal, written by a thread of its own, is not in it. CPU time is
the scheduler's (/proc/<pid>/task/*/schedstat, in ns).

About 5.5 minutes in all. Markdown tables go to standard output, the raw
figures as JSON to standard error. Rounds take turns (without, then with the spool), so each ratio comes
from the same minutes of a shared machine; the tables hold medians.
"""

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from delivery_rows import long_topic  # noqa: E402
from e2e_bench import (FastSink, probe, publish, run_one_at_a_time, sink_numbers,  # noqa: E402
                       vm_hwm_kib)
from harness import Bridge, Broker, status_kib, stop_process, wait_until  # noqa: E402
from http_sink import HttpSink  # noqa: E402

SPOOL_BOUND = 64 << 20  # the bridge's default --spool-max-bytes
FRAME_HEADER = 12  # bytes a segment adds to each record (the line feed is not stored)
SEGMENT = re.compile(r"^spool-([0-9a-f]{16})\.seg$")
NOT_A_DEVICE = ("tmpfs", "ramfs")
# The calls strace shows; only those on the spool's files and directory count.
TRACED = "pwrite64,pwritev,pwritev2,write,fdatasync,fsync,sync_file_range,openat,unlink,unlinkat"


# --- the spool directory and the kernel's counters ----------------------------------------

def file_system(path):
    """(type, source, options) of the file system holding `path`, and stat -f's name."""
    found = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE,OPTIONS", "-T", path],
                           capture_output=True, text=True, check=True).stdout.split()
    magic = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True,
                           check=True).stdout.strip()
    return {"type": found[0], "source": found[1], "options": found[2] if len(found) > 2 else "",
            "stat_f": magic}


class SpoolDir:
    """A fresh spool directory under `parent`, removed on exit."""

    def __init__(self, parent):
        self.path = tempfile.mkdtemp(prefix="bridge-spool-bench-", dir=parent)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)
        return False

    def segments(self):
        """(position of the first byte, size) of each segment, oldest first."""
        found = []
        for name in os.listdir(self.path):
            match = SEGMENT.match(name)
            if not match:
                continue
            try:
                size = os.path.getsize(os.path.join(self.path, name))
            except FileNotFoundError:
                continue  # acknowledged and removed just now
            found.append((int(match.group(1), 16), size))
        return sorted(found)

    def end(self):
        """Every byte ever appended: the last segment's position plus its size."""
        segments = self.segments()
        return segments[-1][0] + segments[-1][1] if segments else 0

    def stored(self):
        return sum(size for _, size in self.segments())


def proc_io(pid):
    with open("/proc/%d/io" % pid) as f:
        return {key: int(value) for key, value in (line.split(": ") for line in f)}


def cpu_seconds(pid):
    """CPU time of all the process's threads, from the scheduler's own count in
    ns (not the clock ticks of /proc/<pid>/stat: a bridge at 1 msg/s uses less
    than a tick a second)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that has just ended
    return total / 1e9


# --- the rig ----------------------------------------------------------------------------------

class Rig:
    """A broker without a queue limit, the fast sink (unless `sink` is False) and
    the bridge (with --spool when `spool` is a SpoolDir), stopped in reverse
    order by pid. The bridge is stopped with SIGINT (an orderly stop)."""

    def __init__(self, build, spool=None, options=(), sink=True, broker_config=""):
        self.build = build
        self.tmp = tempfile.TemporaryDirectory(prefix="bridge-spool-rows-")
        self.spool = spool
        self.options = list(options)
        self.want_sink = sink
        self.broker_config = "max_queued_messages 0\n" + broker_config
        self.broker = self.sink = self.bridge = None

    def __enter__(self):
        try:
            self.broker = Broker(self.tmp.name, self.broker_config).start()
            if self.want_sink:
                self.start_sink()
            os.environ["BRIDGE_BIN"] = os.path.join(self.build, "mqtt-influx-bridge")
            spool = ["--spool", self.spool.path] if self.spool else []
            self.bridge = Bridge(["-c", "bench"] + self.options + spool, self.tmp.name)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def start_sink(self):
        self.sink = FastSink(os.path.join(self.build, "bench", "fast_sink"))

    def wait_probed(self):
        """Subscribed once a probe reaches the sink (probes go to their own
        measurement). One at a time, so that none lands in what is measured."""
        def probed():
            before = self.sink.count()
            probe()
            try:
                wait_until(lambda: self.sink.count() > before, 2, "a probe")
            except AssertionError:
                return False
            return True
        wait_until(probed, 40, "the bridge to subscribe", interval=0)

    def __exit__(self, *exc):
        if self.bridge:
            stop_process(self.bridge.process, signal.SIGINT, timeout=60)
            self.bridge.stop()
        if self.sink:
            self.sink.stop()
        if self.broker:
            self.broker.stop()
        self.tmp.cleanup()
        return False


def mode_name(spooled):
    return "spool" if spooled else "no spool"


# --- strace -------------------------------------------------------------------------------------

class Strace:
    """strace attached to a running process (all its threads) until stop():
    timestamps, durations and descriptors' paths, no buffer contents."""

    def __init__(self, pid, directory):
        self.output = os.path.join(directory, "strace.out")
        self.errors = os.path.join(directory, "strace.err")
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(
                ["strace", "-f", "-p", str(pid), "-ttt", "-T", "-y", "-s", "0", "-e", "trace=" + TRACED,
                 "-o", self.output], stderr=errors)
        wait_until(lambda: "attached" in self._errors(), 10, "strace to attach")

    def _errors(self):
        with open(self.errors, errors="replace") as f:
            return f.read()

    def stop(self):
        """Detaches, and returns the calls seen: dicts of pid, time, name, path,
        pwrite's byte count and the duration (None when not shown)."""
        stop_process(self.process, signal.SIGINT)
        with open(self.output, errors="replace") as f:
            return parse_strace(f)


STRACE_LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(.*)$")
CALL_START = re.compile(r"^(\w+)\((\d+)<([^>]*)>(.*)$")
RESUMED = re.compile(r"^<\.\.\. (\w+) resumed>")
DURATION = re.compile(r"<(\d+\.\d+)>$")
PWRITE_COUNT = re.compile(r", (\d+), (\d+)(?:\) =| <unfinished)")


def parse_strace(lines):
    calls = []
    open_calls = {}  # pid -> its call not finished yet (another thread's call came between)
    for line in lines:
        match = STRACE_LINE.match(line.rstrip("\n"))
        if not match:
            continue
        pid, when, rest = int(match.group(1)), float(match.group(2)), match.group(3)
        duration = DURATION.search(rest)
        resumed = RESUMED.match(rest)
        if resumed:
            call = open_calls.pop(pid, None)
            if call is not None and duration:
                call["seconds"] = float(duration.group(1))
            continue
        start = CALL_START.match(rest)
        if not start:
            continue  # a call without a descriptor first (openat with AT_FDCWD, unlink)
        call = {"pid": pid, "time": when, "name": start.group(1), "path": start.group(3),
                "seconds": float(duration.group(1)) if duration else None}
        if call["name"].startswith("pwrite"):
            count = PWRITE_COUNT.search(start.group(4))
            call["bytes"] = int(count.group(1)) if count else 0
        if "<unfinished ...>" in rest:
            open_calls[pid] = call
        calls.append(call)
    return calls


def spool_calls(calls, spool_path):
    """The calls on the spool directory and the files in it, with the file's role."""
    mine = []
    for call in calls:
        path = call["path"]
        if path == spool_path:
            role = "directory"
        elif os.path.dirname(path) == spool_path:
            name = os.path.basename(path)
            role = "segment" if SEGMENT.match(name) else name
        else:
            continue
        mine.append(dict(call, role=role))
    return mine


# --- burst ------------------------------------------------------------------------------------

def run_burst(build, count, parent, spooled):
    with SpoolDir(parent) as spool, Rig(build, spool if spooled else None, ["-p", "ns"]) as rig:
        rig.wait_probed()
        base = rig.sink.count()
        pid = rig.bridge.pid
        io_before, cpu_before, end_before = proc_io(pid), cpu_seconds(pid), spool.end()
        start = time.monotonic()
        publish(build, count)
        wait_until(lambda: rig.sink.count() >= base + count, 600, "%d records at the sink" % count,
                   interval=0.05)
        seconds = time.monotonic() - start
        io_after, cpu = proc_io(pid), cpu_seconds(pid) - cpu_before
        return {"mode": mode_name(spooled), "rate": count / seconds, "cpu_us": cpu / count * 1e6,
                "hwm_kib": vm_hwm_kib(pid), "delivered": rig.sink.count() - base,
                "write_bytes_per_record": (io_after["write_bytes"] - io_before["write_bytes"]) / count,
                "cancelled_bytes_per_record":
                    (io_after["cancelled_write_bytes"] - io_before["cancelled_write_bytes"]) / count,
                "appended_per_record": (spool.end() - end_before) / count}


def burst_table(args):
    results = {False: [], True: []}
    for run in range(args.runs):
        for spooled in (False, True):
            result = run_burst(args.build, args.count, args.spool_parent, spooled)
            results[spooled].append(result)
            print("burst run %d: %s" % (run + 1, json.dumps(result)), file=sys.stderr)
    print("| burst of %d QoS 1 messages, fast sink, median of %d | bridge msg/s | / no spool "
          "| bridge CPU µs/msg | bridge VmHWM KiB | write_bytes/record (/proc io) "
          "| bytes appended to the spool/record | delivered / published |" % (args.count, args.runs))
    print("|---|---|---|---|---|---|---|---|")
    for spooled in (False, True):
        runs = results[spooled]
        ratios = [r["rate"] / p["rate"] for r, p in zip(runs, results[False])]
        print("| %s | %.0f | %.2f%s | %.1f | %.0f | %.1f | %.1f | %d / %d |" % (
            mode_name(spooled), median(runs, "rate"), statistics.median(ratios),
            " (target ≥ 0.8)" if spooled else "", median(runs, "cpu_us"), median(runs, "hwm_kib"),
            median(runs, "write_bytes_per_record"), median(runs, "appended_per_record"),
            min(r["delivered"] for r in runs), args.count))
    sys.stdout.flush()


# --- one at a time ----------------------------------------------------------------------------

def one_table(args):
    results = {False: [], True: []}
    for run in range(args.one_runs):
        for spooled in (False, True):
            with SpoolDir(args.spool_parent) as spool:
                result = run_one_at_a_time(args.build,
                                           bridge_options=["--spool", spool.path] if spooled else [])
            results[spooled].append(result)
            print("one-at-a-time run %d (%s): %s" % (run + 1, mode_name(spooled), json.dumps(result)),
                  file=sys.stderr)
    print()
    print("| one at a time (300 messages 20 ms apart, recording sink), median of %d "
          "| POSTs per record | delay median ms | delay p99 ms | worst run's p99 ms "
          "| longest delay ms (median, worst) |" % args.one_runs)
    print("|---|---|---|---|---|---|")
    for spooled in (False, True):
        runs = results[spooled]
        print("| %s%s | %.2f | %.2f | %.2f | %.2f | %.2f, %.2f |" % (
            mode_name(spooled), " (targets: median < 2, p99 < 5)" if spooled else "",
            median(runs, "posts_per_record"), median(runs, "median_ms"), median(runs, "p99_ms"),
            max(r["p99_ms"] for r in runs), median(runs, "max_ms"), max(r["max_ms"] for r in runs)))
    sys.stdout.flush()


def one_with_syncs(build, parent, count=300, interval_ms=20, slow_ms=2.0, stall_ms=None):
    """Messages one at a time to the spooled bridge started under strace, which
    stops it at fdatasync and fsync only (--seccomp-bpf: no other call is
    slowed): which delays longer than slow_ms took in a sync of the spool.
    With stall_ms, strace holds the bridge's third fdatasync that long (a
    disk that takes seconds to sync): how many messages were published during
    it, and how long the longest of them took to reach the sink."""
    topic = "v1/bench/one"
    with SpoolDir(parent) as spool, tempfile.TemporaryDirectory(prefix="bridge-spool-rows-") as workdir:
        broker = Broker(workdir).start()
        sink = HttpSink().start()
        trace = os.path.join(workdir, "syncs.strace")
        inject = (["-e", "inject=fdatasync:delay_enter=%d:when=3" % (stall_ms * 1000)]
                  if stall_ms else [])
        tracer = subprocess.Popen(
            ["strace", "-f", "--seccomp-bpf", "-ttt", "-T", "-y", "-e", "trace=fdatasync,fsync"]
            + inject + ["-o", trace, os.path.join(build, "mqtt-influx-bridge"), "-c", "bench",
                        "--spool", spool.path],
            stdout=subprocess.DEVNULL)

        def child():  # the bridge: strace holds SIGINT back, so the bridge gets it itself
            with open("/proc/%d/task/%d/children" % (tracer.pid, tracer.pid)) as f:
                return [int(pid) for pid in f.read().split()]
        bridge_pid = None
        try:
            bridge_pid = wait_until(child, 10, "the bridge under strace")[0]
            wait_until(lambda: probe() or sink.all_requests(), 20, "the bridge to subscribe", interval=0.3)
            wait_until(lambda: all(r.answered_at for r in sink.all_requests()), 10, "the probes")
            skip = len(sink.all_requests())
            publish(build, count, mode="stamp", interval_ms=interval_ms, topic=topic)
            wait_until(lambda: len(sink_numbers(sink, "n", topic)) >= count, 60, "every record")
            wait_until(lambda: all(r.answered_at for r in sink.all_requests()), 10, "the answers")
            # strace stamps calls with the wall clock, the publisher with the monotonic one.
            wall_minus_monotonic = time.time() - time.monotonic()
            spans = []  # (sent, answered) on the monotonic clock, in s
            for request in sink.all_requests()[skip:]:
                for line in request.body.decode().splitlines():
                    if topic in line:
                        fields = dict(f.split("=", 1) for f in line.split(" ")[1].split(","))
                        spans.append((int(fields["sent_us"].rstrip("i")) / 1e6, request.answered_at))
        finally:
            if bridge_pid is not None:
                os.kill(bridge_pid, signal.SIGINT)
            try:
                tracer.wait(30)
            except subprocess.TimeoutExpired:
                if bridge_pid is not None:
                    os.kill(bridge_pid, signal.SIGKILL)
                tracer.wait(10)
            sink.stop()
            broker.stop()
        with open(trace, errors="replace") as f:
            calls = parse_strace(f)
            syncs = [(c["time"] - wall_minus_monotonic, c["seconds"] or 0.0) for c in calls]
            # The held call: strace stamps it before the delay, and -T leaves the delay out.
            held = [(c["time"] - wall_minus_monotonic, stall_ms / 1e3 + (c["seconds"] or 0.0))
                    for c in calls if c["name"] == "fdatasync"][2:3] if stall_ms else []
    window = [(at, seconds) for at, seconds in syncs if spans[0][0] <= at <= spans[-1][1]]
    slow = [(sent, answered) for sent, answered in spans if (answered - sent) * 1e3 > slow_ms]
    during = [(sent, answered) for sent, answered in slow
              if any(at < answered and at + seconds > sent for at, seconds in window)]
    delays = sorted((answered - sent) * 1e3 for sent, answered in spans)
    stalled = held
    in_stall = [(answered - sent) * 1e3 for sent, answered in spans
                if any(at <= sent <= at + seconds for at, seconds in stalled)]
    return {"records": len(spans), "slow": len(slow), "slow_during_a_sync": len(during),
            "stalls": len(stalled), "published_during_stall": len(in_stall),
            "longest_during_stall_ms": max(in_stall) if in_stall else None,
            "syncs": len(window), "longest_sync_ms": max(s for _, s in window) * 1e3 if window else None,
            "p99_ms": delays[min(len(delays) - 1, int(len(delays) * 0.99))], "max_ms": delays[-1],
            "slow_ms": slow_ms}


def syncs_table(args):
    runs = []
    for run in range(args.sync_runs):
        runs.append(one_with_syncs(args.build, args.spool_parent))
        print("one-at-a-time with syncs traced, run %d: %s" % (run + 1, json.dumps(runs[-1])),
              file=sys.stderr)
    print()
    print("| one at a time with the spool, fdatasync/fsync traced, %d runs | delays > %g ms "
          "| of them during a sync | syncs while publishing | longest sync ms | delay p99 ms, median "
          "| longest delay ms |" % (len(runs), runs[0]["slow_ms"]))
    print("|---|---|---|---|---|---|---|")
    print("| all runs | %d | %d | %d | %.2f | %.2f | %.2f |" % (
        sum(r["slow"] for r in runs), sum(r["slow_during_a_sync"] for r in runs),
        sum(r["syncs"] for r in runs), max(r["longest_sync_ms"] or 0 for r in runs),
        median(runs, "p99_ms"), max(r["max_ms"] for r in runs)))
    sys.stdout.flush()


def stall_table(args):
    runs = []
    for run in range(args.sync_runs):
        runs.append(one_with_syncs(args.build, args.spool_parent, count=200, stall_ms=2000))
        print("one-at-a-time with a 2 s sync, run %d: %s" % (run + 1, json.dumps(runs[-1])),
              file=sys.stderr)
    print()
    print("| one at a time with the spool, the third fdatasync held 2 s (strace inject), %d runs "
          "| syncs held | messages published during the held sync | longest of their delays ms "
          "| delay p99 ms, median |" % len(runs))
    print("|---|---|---|---|---|")
    print("| all runs | %d | %d | %s | %.2f |" % (
        sum(r["stalls"] for r in runs), sum(r["published_during_stall"] for r in runs),
        number(max((r["longest_during_stall_ms"] or 0 for r in runs), default=None), "%.2f"),
        median(runs, "p99_ms")))
    sys.stdout.flush()


# --- steady rates -----------------------------------------------------------------------------

def steady_run(build, parent, rate, seconds, spooled, traced):
    """`rate` messages a second for `seconds` s. The figures cover the publisher's
    window and then 1.5 s more, so that the sync after the last record is in."""
    count = int(rate * seconds)
    with SpoolDir(parent) as spool, Rig(build, spool if spooled else None, ["-p", "ns"]) as rig:
        rig.wait_probed()
        base = rig.sink.count()
        pid = rig.bridge.pid
        tracer = Strace(pid, rig.tmp.name) if traced else None
        try:
            io_before, cpu_before, end_before = proc_io(pid), cpu_seconds(pid), spool.end()
            start_wall, start = time.time(), time.monotonic()
            publish(build, count, interval_ms=1000.0 / rate)
            published_wall, published = time.time(), time.monotonic()
            wait_until(lambda: rig.sink.count() >= base + count, 60, "%d records at the sink" % count)
            time.sleep(1.5)  # a window of fixed length past the last record, not a synchronisation
            io_after, cpu = proc_io(pid), cpu_seconds(pid) - cpu_before
            end_after = spool.end()
        finally:
            calls = tracer.stop() if tracer else []
        result = {"mode": mode_name(spooled), "rate": rate, "traced": traced, "records": count,
                  "achieved_rate": (count - 1) / (published - start),  # the first goes at 0
                  "cpu_us": cpu / count * 1e6,
                  "write_bytes_per_record": (io_after["write_bytes"] - io_before["write_bytes"]) / count,
                  "cancelled_bytes_per_record":
                      (io_after["cancelled_write_bytes"] - io_before["cancelled_write_bytes"]) / count,
                  "appended_per_record": (end_after - end_before) / count,
                  "delivered": rig.sink.count() - base}
        if traced:
            mine = [c for c in spool_calls(calls, spool.path) if c["time"] >= start_wall]
            window = published_wall - start_wall
            inside = [c for c in mine if c["time"] <= published_wall]

            def named(group, name, role=None):
                return [c for c in group if c["name"] == name and (role is None or c["role"] == role)]
            syncs = named(mine, "fdatasync")
            sync_ms = sorted(c["seconds"] * 1e3 for c in syncs if c["seconds"] is not None)
            pwrites = [c for c in mine if c["name"].startswith("pwrite") or c["name"] == "write"]
            result.update({
                "window_s": window,
                "fdatasync_per_s": len(named(inside, "fdatasync")) / window,
                "fsync_per_s": len(named(inside, "fsync")) / window,
                "fdatasync_calls": len(syncs), "fsync_calls": len(named(mine, "fsync")),
                "fsync_roles": sorted({c["role"] for c in named(mine, "fsync")}),
                "fdatasync_ms_median": statistics.median(sync_ms) if sync_ms else None,
                "fdatasync_ms_max": sync_ms[-1] if sync_ms else None,
                "segment_writes": len([c for c in pwrites if c["role"] == "segment"]),
                "segment_pwrite_bytes_per_record":
                    sum(c.get("bytes", 0) for c in pwrites if c["role"] == "segment") / count,
                "acked_pwrites": len([c for c in pwrites if c["role"] == "acked"]),
                "acked_pwrite_bytes_per_record":
                    sum(c.get("bytes", 0) for c in pwrites if c["role"] == "acked") / count,
                "openat_calls": len([c for c in mine if c["name"] == "openat"]),
                "other_calls": sorted({"%s %s" % (c["name"], c["role"]) for c in mine
                                       if c["name"] not in ("fdatasync", "fsync", "pwrite64", "openat")}),
            })
        return result


def steady_table(args):
    rates = [float(r) for r in args.rates.split(",")]
    seconds = [float(s) for s in args.seconds.split(",")]
    if len(seconds) != len(rates):
        raise SystemExit("--seconds needs one duration per rate")
    rows = []
    for rate, duration in zip(rates, seconds):
        runs = {}
        for spooled, traced in ((False, False), (True, False), (True, True)):
            results = []
            for _ in range(args.steady_runs):
                result = steady_run(args.build, args.spool_parent, rate, duration, spooled, traced)
                print("steady run: %s" % json.dumps(result), file=sys.stderr)
                results.append(result)
            runs[(spooled, traced)] = results
        rows.append((rate, duration, runs))
    print()
    print("| steady rate msg/s (s), fast sink | achieved msg/s | write_bytes/record (/proc io), spool "
          "| without | bytes appended to the spool/record | pwrite bytes/record, segments + acked (strace) "
          "| fdatasync/s | fsync/s (the directory) | fdatasync ms, median / max "
          "| bridge CPU µs/msg, spool | without |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for rate, duration, runs in rows:
        plain, spool, traced = runs[(False, False)], runs[(True, False)], runs[(True, True)]
        print("| %g (%g) | %.4g | %.0f | %.0f | %.1f | %.1f + %.1f | %.2f | %.2f | %s / %s | %.1f "
              "| %.1f |" % (
            rate, duration, median(spool, "achieved_rate"), median(spool, "write_bytes_per_record"),
            median(plain, "write_bytes_per_record"), median(spool, "appended_per_record"),
            median(traced, "segment_pwrite_bytes_per_record"),
            median(traced, "acked_pwrite_bytes_per_record"),
            median(traced, "fdatasync_per_s"), median(traced, "fsync_per_s"),
            number(median(traced, "fdatasync_ms_median"), "%.2f"),
            number(median(traced, "fdatasync_ms_max"), "%.2f"),
            median(spool, "cpu_us"), median(plain, "cpu_us")))
    sys.stdout.flush()


# --- a full spool -----------------------------------------------------------------------------

def sys_value(topic):
    """The first number of a retained $SYS value of the broker's."""
    done = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-C", "1", "-W", "5",
                           "-t", "$SYS/broker/" + topic],
                          capture_output=True, text=True, timeout=15)
    return int(done.stdout.split()[0]) if done.stdout.strip() else None


def store_count():
    """The broker's count of stored messages as it is now. The retained value
    is the last one the broker sent (each sys_interval, when it changed), so
    first wait until its uptime has gone 2 s on: a value sent since then is
    newer than this call, and one not sent again has not changed."""
    uptime = wait_until(lambda: sys_value("uptime"), 10, "the broker's uptime")
    wait_until(lambda: (sys_value("uptime") or 0) >= uptime + 2, 10, "the broker's uptime to pass")
    return sys_value("store/messages/count")


def full_run(build, parent, record_bytes, fill, spooled):
    """The database absent while ~fill × 64 MiB of records come in, then the fast sink."""
    topic = long_topic("full", record_bytes)
    count = int(fill * SPOOL_BOUND / (record_bytes - 1 + FRAME_HEADER))
    config = ("sys_interval 1\n"
              "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
              "log_type subscribe\n")
    with SpoolDir(parent) as spool, \
            Rig(build, spool if spooled else None, sink=False, broker_config=config) as rig:
        pid = rig.bridge.pid

        def subscribed():  # the broker logs "<client> <qos> <filter>" (log_type subscribe)
            with open(rig.broker.log, errors="replace") as log:
                return re.search(r": bench \d v1/#$", log.read(), re.M)
        wait_until(subscribed, 30, "the bridge to subscribe")
        baseline = store_count()
        if baseline is None:
            raise AssertionError("the broker sends no $SYS store count")
        cpu_before = cpu_seconds(pid)
        start = time.monotonic()
        publish(build, count, mode="stamp", topic=topic)
        published = time.monotonic()
        # Taken once the broker holds none of them any more: the bridge has
        # acknowledged every message (after keeping its record).
        wait_until(lambda: (store_count() or baseline + 101) <= baseline + 100, 300,
                   "the bridge to take every message", interval=0.5)
        taken = time.monotonic()
        full = {"hwm_kib": vm_hwm_kib(pid), "rss_kib": status_kib(pid, "VmRSS"),
                "spool_bytes": spool.stored(), "segments": len(spool.segments()),
                "cpu_us": (cpu_seconds(pid) - cpu_before) / count * 1e6}
        rig.start_sink()
        sink_up = time.monotonic()
        again = rig.bridge.wait_line(r"^I: database reachable again", timeout=90)[0]
        again_at = next(when for when, line in rig.bridge.timed_lines() if line == again)
        numbers = [int(n) for n in re.findall(r"\d+", again.split(";", 1)[1])]
        target = count if spooled else sum(numbers)  # without the spool: what it still held
        last = [-1, time.monotonic()]

        def drained():  # the target reached, or nothing new for 5 s
            got = rig.sink.count()
            if got != last[0]:
                last[:] = [got, time.monotonic()]
            return got >= target or time.monotonic() - last[1] > 5
        wait_until(drained, 600, "the drain")
        drained_at = last[1]
        result = {"mode": mode_name(spooled), "published": count, "record_bytes": record_bytes,
                  "publish_s": published - start, "taken_s": taken - start, "full": full,
                  "reachable_again_line": again, "delivered": rig.sink.count(),
                  "first_post_s": again_at - sink_up,  # the bridge's back-off
                  "drain_s": drained_at - again_at, "hwm_kib_after_drain": vm_hwm_kib(pid),
                  "rss_kib_after_drain": status_kib(pid, "VmRSS"),
                  "spool_bytes_after_drain": spool.stored()}
        stop_process(rig.bridge.process, signal.SIGINT, timeout=60)
        rig.bridge.wait_exit()
        dropped = [int(line.rsplit(" ", 1)[1]) for line in rig.bridge.lines()
                   if line.startswith("I: pending text full")]
        result["pending_full_dropped"] = sum(dropped)
    return result


def full_table(args):
    results = {False: [], True: []}
    for run in range(args.full_runs):
        for spooled in (True, False):
            result = full_run(args.build, args.spool_parent, args.full_record_bytes, args.full_fill,
                              spooled)
            results[spooled].append(result)
            print("full run %d: %s" % (run + 1, json.dumps(result)), file=sys.stderr)
    print()
    print("| database absent, %d records of ~%d B, then the fast sink; median of %d "
          "| in the spool at full MiB (segments) | VmHWM KiB at full | VmRSS KiB at full "
          "| VmHWM KiB after the drain | drain s (after the first POST) | delivered / published "
          "| the bridge's count of drops at the 4 MiB cap (its log) |" % (
              results[True][0]["published"], args.full_record_bytes, args.full_runs))
    print("|---|---|---|---|---|---|---|---|")
    for spooled in (True, False):
        runs = results[spooled]
        print("| %s | %s | %.0f | %.0f | %.0f | %.1f | %d / %d | %d |" % (
            "spool (64 MiB bound)" if spooled else "no spool (4 MiB cap)",
            "%.1f (%d)" % (statistics.median(r["full"]["spool_bytes"] for r in runs) / 2**20,
                           statistics.median(r["full"]["segments"] for r in runs)) if spooled else "–",
            statistics.median(r["full"]["hwm_kib"] for r in runs),
            statistics.median(r["full"]["rss_kib"] for r in runs),
            median(runs, "hwm_kib_after_drain"), median(runs, "drain_s"),
            min(r["delivered"] for r in runs), runs[0]["published"],
            statistics.median(r["pending_full_dropped"] for r in runs)))
    sys.stdout.flush()


# --- the tables -------------------------------------------------------------------------------

def median(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def number(value, form):
    return form % value if value is not None else "–"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--count", type=int, default=20000, help="messages in a burst")
    parser.add_argument("--runs", type=int, default=3, help="rounds of the burst")
    parser.add_argument("--one-runs", type=int, default=5, help="rounds of messages one at a time")
    parser.add_argument("--sync-runs", type=int, default=3,
                        help="runs of messages one at a time with the spool's syncs traced")
    parser.add_argument("--only", default="burst,one,syncs,stall,steady,full")
    parser.add_argument("--spool-parent", default="/var/tmp",
                        help="where the spool directories go (a real file system, not tmpfs)")
    parser.add_argument("--rates", default="1,100,1000", help="steady rates, messages a second")
    parser.add_argument("--seconds", default="20,15,20", help="how long each steady rate runs")
    parser.add_argument("--steady-runs", type=int, default=1)
    parser.add_argument("--full-runs", type=int, default=1)
    parser.add_argument("--full-record-bytes", type=int, default=1000)
    parser.add_argument("--full-fill", type=float, default=0.97,
                        help="how much of the 64 MiB bound the published records take")
    args = parser.parse_args()
    system = file_system(args.spool_parent)
    if system["type"] in NOT_A_DEVICE or system["stat_f"] in NOT_A_DEVICE:
        parser.error("%s is on %s: the spool needs a file system on a device" % (
            args.spool_parent, system["type"]))
    print("Spool directories under %s: %s on %s (stat -f: %s; %s), %d cores, %s" % (
        args.spool_parent, system["type"], system["source"], system["stat_f"], system["options"],
        os.cpu_count(), os.uname().machine))
    print()
    sys.stdout.flush()
    parts = args.only.split(",")
    if "burst" in parts:
        burst_table(args)
    if "one" in parts:
        one_table(args)
    if "syncs" in parts:
        syncs_table(args)
    if "stall" in parts:
        stall_table(args)
    if "steady" in parts:
        steady_table(args)
    if "full" in parts:
        full_table(args)


if __name__ == "__main__":
    main()
