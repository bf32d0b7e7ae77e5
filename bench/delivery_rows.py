"""Delivery under a slow or absent database, and the cost of doing nothing, run
inside a private network namespace (bench/run does it; so does
`tests/e2e/netns.sh python3 bench/delivery_rows.py --build build --rows ...`).

Every row runs mosquitto with its default limits (1000 queued messages per
client: no max_queued_messages line; only `sys_interval 1`, so that the
broker's count of dropped messages, $SYS/broker/publish/messages/dropped, is
fresh), the recording HTTP sink (tests/e2e/http_sink.py) as the database, and
the bridge. Each row prints delivered against published, the broker's dropped
count and how many times mosquitto logged "Outgoing messages are being dropped
for client".

  burst     50 000 QoS 1 messages as fast as the publisher goes, the database
            answering each POST after 200 ms, 50 ms and at once: delivered and
            the seconds from the publisher's last acknowledgement to the last
            record stored.
  backlog   the database down (its listener closed: connections refused) for
            85 s while 60 messages a second come in (~650-byte records), then
            up taking 2 s per POST while publishing goes on for 60 s; records
            the bridge took from the broker (its -v record lines) and records
            stored, per 10 s, then delivered, lost and the broker's drops.
  bodysize  a database that takes 1 s per 20 KiB of body, after a 30 s outage,
            150 messages a second for 60 s more: delivered at the stop and
            after a drain window, POSTs the bridge gave up on before the answer
            (the sink saw the connection close), and the bridge's "database
            unreachable" / "reachable again" lines.
  idle      the bridge connected, nothing published, 60 s: context switches
            (wake-ups) a second and CPU time, extrapolated to an hour; then a
            shorter strace -f -c window for system calls a second.

Markdown tables go to standard output, the raw figures as JSON to standard error.
"""

import argparse
import json
import math
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import Bridge, Broker, publish, wait_until  # noqa: E402
from http_sink import HttpSink  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
DROP_WARNING = "Outgoing messages are being dropped for client"
RECORD_NUMBER = re.compile(r" n=(\d+),")  # the publisher's "stamp" payload: n=<n>,sent_us=<us>
RECORD_BYTES = 650


def long_topic(measurement, record_bytes=RECORD_BYTES):
    """A topic under v1/ whose "stamp" records (identity "bench") are about record_bytes long."""
    sample = '%s,host=bench,mqtt="" n=1000,sent_us=123456789012 1700000000000\n' % measurement
    filler = record_bytes - len(sample) - len("v1/bench//") - len(measurement)
    if filler <= 0:
        return "v1/bench/%s" % measurement  # as short as records go
    return "v1/bench/%s/%s" % ("p" * filler, measurement)


class Rig:
    """A broker with its default limits, the recording sink and the bridge, stopped
    in reverse order by pid; the broker's log is read before its directory goes."""

    def __init__(self, build, verbose=False):
        self.build = build
        self.verbose = verbose
        self.tmp = tempfile.TemporaryDirectory(prefix="bridge-rows-")
        self.started = []
        self.broker_log = ""

    def __enter__(self):
        try:
            self.broker = self._start(Broker(self.tmp.name, "sys_interval 1\n").start())
            self.sink = self._start(HttpSink().start())
            os.environ["BRIDGE_BIN"] = os.path.join(self.build, "mqtt-influx-bridge")
            self.bridge = self._start(Bridge(["-c", "bench"] + (["-v"] if self.verbose else []),
                                             self.tmp.name))

            def probed():  # subscribed once a probe reaches the sink (its own measurement)
                publish("v1/bench/probe", "1")
                return any(r.stored and b"v1/bench/probe" in r.body for r in self.sink.all_requests())
            wait_until(probed, 30, "a probe at the sink", interval=0.3)
            wait_until(lambda: all(r.answered_at for r in self.sink.all_requests()), 10, "the probes")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self, thing):
        self.started.append(thing)
        return thing

    def publisher(self, topic, count, interval_ms=0.0):
        return subprocess.Popen([os.path.join(self.build, "tests", "publisher"), topic, str(count),
                                 "stamp", "0", "%.3f" % interval_ms])

    def broker_dropped(self):
        """The broker's count of messages it dropped (queue limits); published every second."""
        time.sleep(2)  # let the next $SYS update carry the last drops
        done = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-C", "1", "-W", "5",
                               "-t", "$SYS/broker/publish/messages/dropped"],
                              capture_output=True, text=True, timeout=15)
        return int(done.stdout.split()[0]) if done.stdout.strip() else -1

    def bridge_lines(self, prefix):
        return [line for line in self.bridge.lines() if line.startswith(prefix)]

    def __exit__(self, *exc):
        for thing in reversed(self.started):
            try:
                thing.stop()
            except Exception:  # keep stopping the others
                pass
        try:
            with open(self.broker.log, errors="replace") as log:
                self.broker_log = log.read()
        except (AttributeError, OSError):
            pass
        self.tmp.cleanup()
        return False

    def drop_warnings(self):
        return self.broker_log.count(DROP_WARNING)


class SinkTally:
    """The records of one topic the sink stored (answered 2xx), by number, with the
    time of the answer; updated from the requests answered since the last call."""

    def __init__(self, sink, topic):
        self.sink = sink
        self.marker = ('mqtt="%s"' % topic).encode()
        self.stored = {}  # record number -> when the sink answered its first 2xx
        self.posts = 0  # stored POSTs that held a record of the topic
        self.body_bytes = []  # their body sizes
        self.counted = set()

    def update(self):
        for request in self.sink.all_requests():
            if request.answered_at is None or id(request) in self.counted:
                continue
            self.counted.add(id(request))
            if not request.stored or self.marker not in request.body:
                continue
            self.posts += 1
            self.body_bytes.append(len(request.body))
            for line in request.body.decode("latin-1").split("\n"):
                if self.marker.decode() in line:
                    self.stored.setdefault(int(RECORD_NUMBER.search(line).group(1)), request.answered_at)
        return len(self.stored)

    def last_stored_at(self):
        return max(self.stored.values()) if self.stored else None

    def timed_out(self):
        """POSTs whose client closed the connection before the answer (a "wait" answer)."""
        return sum(1 for r in self.sink.all_requests() if r.abandoned_at is not None)


def taken_by_bridge(bridge, topic):
    """Record number -> when the bridge logged it (-v: "T: <record>" once the writer has it)."""
    marker = 'mqtt="%s"' % topic
    taken = {}
    for when, line in bridge.timed_lines():
        if line.startswith("T: ") and marker in line:
            taken.setdefault(int(RECORD_NUMBER.search(line).group(1)), when)
    return taken


def wait_settled(tally, target, quiet, cap):
    """Until `target` records are stored, none arrived for `quiet` s, or `cap` s passed."""
    last = [-1, time.monotonic()]
    deadline = time.monotonic() + cap

    def settled():
        got = tally.update()
        if got != last[0]:
            last[:] = [got, time.monotonic()]
        return got >= target or time.monotonic() - last[1] > quiet or time.monotonic() > deadline
    wait_until(settled, cap + 10, "the sink to settle", interval=0.2)
    return tally.update()


def sleep_until(moment):
    time.sleep(max(0.0, moment - time.monotonic()))


def pending_full_drops(rig):
    return sum(int(line.rsplit(" ", 1)[1]) for line in rig.bridge_lines("I: pending text full"))


# --- a. burst ------------------------------------------------------------------------------

def row_burst(build, count, delay_ms):
    topic = "v1/bench/burst"
    with Rig(build) as rig:
        answer = ("delay", delay_ms / 1e3, 204, b"") if delay_ms > 0 else HttpSink.OK
        rig.sink.default_answer = answer
        tally = SinkTally(rig.sink, topic)
        start = time.monotonic()
        publisher = rig.publisher(topic, count)
        publisher.wait(600)
        published_at = time.monotonic()
        delivered = wait_settled(tally, count, quiet=15, cap=300)
        last = tally.last_stored_at()
        dropped = rig.broker_dropped()
    return {"delay_ms": delay_ms, "published": count, "delivered": delivered,
            "publish_s": published_at - start, "publish_rate": count / (published_at - start),
            "drain_s": max(0.0, last - published_at) if last else float("nan"),
            "last_stored_s": (last - start) if last else float("nan"), "complete": delivered == count,
            "posts": tally.posts, "broker_dropped": dropped, "drop_warnings": rig.drop_warnings(),
            "publisher_status": publisher.returncode}


def print_burst(results):
    print("| burst, QoS 1, as fast as the publisher goes | database answers after | publish s (msg/s) "
          "| delivered / published | drain s after the last publish | last record stored, s after the first "
          "| POSTs | broker dropped | drop warnings |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in results:
        print("| | %d ms | %.1f (%.0f) | %d / %d | %s | %.1f | %d | %d | %d |" % (
            r["delay_ms"], r["publish_s"], r["publish_rate"], r["delivered"], r["published"],
            ("%.1f" % r["drain_s"]) + ("" if r["complete"] else " (incomplete)"), r["last_stored_s"], r["posts"],
            r["broker_dropped"], r["drop_warnings"]))


# --- b. backlog after an outage, slow database ------------------------------------------------

def outage_run(build, measurement, outage, rate, after, answer, drain, quiet,
               record_bytes=RECORD_BYTES):
    """The database down for `outage` s (refused connections) while `rate` messages a
    second come in, then up answering with `answer` while publishing goes on for
    `after` s; then up to `drain` s for the rest. Returns the rig and timings."""
    topic = long_topic(measurement, record_bytes)
    count = int(round(rate * (outage + after)))
    with Rig(build, verbose=True) as rig:
        tally = SinkTally(rig.sink, topic)
        rig.sink.refuse()
        down = time.monotonic()
        publisher = rig.publisher(topic, count, 1000.0 / rate)
        sleep_until(down + outage)
        rig.sink.default_answer = answer
        rig.sink.listen_again()
        up = time.monotonic()
        publisher.wait(outage + after + 300)
        stopped = time.monotonic()
        at_stop = tally.update()
        at_end = wait_settled(tally, count, quiet=quiet, cap=drain)
        end = time.monotonic()
        taken = taken_by_bridge(rig.bridge, topic)
        figures = {
            "published": count, "publisher_status": publisher.returncode,
            "publish_s": stopped - down, "delivered_at_stop": at_stop, "delivered": at_end,
            "taken": len(taken), "lost": count - at_end, "not_taken": count - len(taken),
            "broker_dropped": rig.broker_dropped(), "pending_full_dropped": pending_full_drops(rig),
            "posts_stored": tally.posts, "timed_out_posts": tally.timed_out(),
            "timed_out_body_kib": [round(len(r.body) / 1024) for r in rig.sink.all_requests()
                                   if r.abandoned_at is not None],
            "median_body_kib": statistics.median(tally.body_bytes) / 1024 if tally.body_bytes else 0,
            "record_bytes": statistics.median(  # "T: <record>" less its prefix, plus the line feed
                len(line) - 2 for line in rig.bridge_lines("T: ") if tally.marker.decode() in line),
            "unreachable_lines": len(rig.bridge_lines("I: database unreachable")),
            "reachable_again_lines": len(rig.bridge_lines("I: database reachable again")),
            "drain_s": end - stopped,
        }
        windows = []
        for i in range(int(math.ceil((end - down) / 10))):
            lo, hi = down + 10 * i, down + 10 * (i + 1)
            phase = ("down" if hi <= up else "down, then up" if lo < up else
                     "up" if hi <= stopped else "up, publishing ends" if lo < stopped else
                     "after publishing")
            windows.append({"from_s": 10 * i, "phase": phase,
                            "taken": sum(1 for t in taken.values() if lo <= t < hi),
                            "stored": sum(1 for t in tally.stored.values() if lo <= t < hi)})
        figures["windows"] = windows
        figures["up_after_s"] = up - down
    figures["drop_warnings"] = rig.drop_warnings()
    return figures


def row_backlog(build, outage, rate, after, post_s, drain):
    return outage_run(build, "backlog", outage, rate, after, ("wait", post_s, 204, b""), drain,
                      quiet=max(15.0, 3 * post_s))


def print_windows(r):
    print("| s since the database went down | phase | records the bridge took | records stored |")
    print("|---|---|---|---|")
    for w in r["windows"]:
        print("| %d–%d | %s | %d | %d |" % (w["from_s"], w["from_s"] + 10, w["phase"], w["taken"],
                                           w["stored"]))


def print_backlog(r, args):
    print("| backlog: database down %d s, then %.1f s a POST; %g msg/s for %d s (~%d B records) "
          "| delivered / published at the stop | after %.0f s more | lost | taken by the bridge "
          "| broker dropped | drop warnings | bridge's pending-full drops | POSTs stored (median KiB) "
          "| POSTs timed out |" % (args.backlog_outage, args.backlog_post, args.backlog_rate,
                                   args.backlog_outage + args.backlog_after, r["record_bytes"],
                                   r["drain_s"]))
    print("|---|---|---|---|---|---|---|---|---|---|")
    print("| | %d / %d | %d / %d | %d | %d | %d | %d | %d | %d (%.0f) | %d |" % (
        r["delivered_at_stop"], r["published"], r["delivered"], r["published"], r["lost"],
        r["taken"], r["broker_dropped"], r["drop_warnings"], r["pending_full_dropped"],
        r["posts_stored"], r["median_body_kib"], r["timed_out_posts"]))
    print()
    print_windows(r)


# --- c. a database whose time grows with the body ----------------------------------------------

def row_bodysize(build, outage, rate, after, bytes_per_s, drain, record_bytes):
    def answer(request):
        return ("wait", len(request.body) / bytes_per_s, 204, b"")
    return outage_run(build, "bodysize", outage, rate, after, answer, drain, quiet=drain,
                      record_bytes=record_bytes)


def print_bodysize(r, args):
    print("| body-sized database: 1 s per %d KiB, after a %d s outage; %g msg/s for %d s (~%d B records) "
          "| delivered / published at the stop | after %.0f s more | taken by the bridge | POSTs timed out "
          "| POSTs stored (median KiB) | \"unreachable\" / \"reachable again\" lines | broker dropped "
          "| drop warnings | bridge's pending-full drops |" % (
              args.bodysize_bytes // 1024, args.bodysize_outage, args.bodysize_rate,
              args.bodysize_outage + args.bodysize_after, r["record_bytes"], r["drain_s"]))
    print("|---|---|---|---|---|---|---|---|---|---|")
    print("| | %d / %d | %d / %d | %d | %d | %d (%.0f) | %d / %d | %d | %d | %d |" % (
        r["delivered_at_stop"], r["published"], r["delivered"], r["published"], r["taken"],
        r["timed_out_posts"],
        r["posts_stored"], r["median_body_kib"], r["unreachable_lines"], r["reachable_again_lines"],
        r["broker_dropped"], r["drop_warnings"], r["pending_full_dropped"]))
    print()
    print_windows(r)


# --- d. idle cost --------------------------------------------------------------------------------

def process_counters(pid):
    """(context switches, CPU ticks, CPU ns) of the process: switches and ns summed over
    its live threads, ticks (utime + stime) over all it ever had."""
    switches = 0
    cpu_ns = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, task)) as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                    switches += int(line.split()[1])
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            cpu_ns += int(f.read().split()[0])
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return switches, int(fields[11]) + int(fields[12]), cpu_ns


def strace_counts(pid, seconds):
    """System calls of the process (all threads) over `seconds`, by name."""
    with tempfile.NamedTemporaryFile(prefix="bridge-strace-", suffix=".txt") as out:
        tracer = subprocess.Popen(["strace", "-f", "-c", "-p", str(pid), "-o", out.name],
                                  stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        tracer.send_signal(signal.SIGINT)
        tracer.wait(30)
        counts = {}
        for line in open(out.name):
            parts = line.split()
            if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
                counts[parts[-1]] = int(parts[3])
        return counts


def row_idle(build, seconds, strace_seconds):
    with Rig(build) as rig:
        time.sleep(2)  # the probe's POST and its answer are over
        pid = rig.bridge.pid
        before = process_counters(pid)
        start = time.monotonic()
        time.sleep(seconds)
        after = process_counters(pid)
        elapsed = time.monotonic() - start
        calls = strace_counts(pid, strace_seconds) if strace_seconds > 0 else {}
    waits = sum(n for name, n in calls.items()
                if name in ("poll", "ppoll", "select", "pselect6", "epoll_wait", "epoll_pwait",
                            "nanosleep", "clock_nanosleep"))
    return {"seconds": elapsed, "wakeups_per_s": (after[0] - before[0]) / elapsed,
            "cpu_s_per_hour_ticks": (after[1] - before[1]) / CLOCK_TICKS * 3600 / elapsed,
            "cpu_s_per_hour_ns": (after[2] - before[2]) / 1e9 * 3600 / elapsed,
            "strace_s": strace_seconds,
            "syscalls_per_s": sum(calls.values()) / strace_seconds if strace_seconds else 0,
            "waits_per_s": waits / strace_seconds if strace_seconds else 0, "syscalls": calls}


def print_idle(r):
    print("| idle, connected, nothing published | wake-ups/s (context switches) | CPU s/hour (utime+stime) "
          "| CPU s/hour (schedstat) | system calls/s (strace) | waits/s (poll, sleep) |")
    print("|---|---|---|---|---|---|")
    print("| %.0f s (strace %.0f s) | %.2f | %.2f | %.3f | %.1f | %.2f |" % (
        r["seconds"], r["strace_s"], r["wakeups_per_s"], r["cpu_s_per_hour_ticks"],
        r["cpu_s_per_hour_ns"], r["syscalls_per_s"], r["waits_per_s"]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--rows", default="burst,backlog,bodysize,idle",
                        help="which rows to run: burst, backlog, bodysize, idle")
    parser.add_argument("--burst-count", type=int, default=50000)
    parser.add_argument("--burst-delays", default="200,50,0", help="database answer delays, ms")
    parser.add_argument("--burst-runs", type=int, default=1, help="runs of each delay, one line each")
    parser.add_argument("--backlog-outage", type=float, default=85)
    parser.add_argument("--backlog-rate", type=float, default=60)
    parser.add_argument("--backlog-after", type=float, default=60)
    parser.add_argument("--backlog-post", type=float, default=2.0, help="seconds a POST takes once up")
    parser.add_argument("--backlog-drain", type=float, default=90)
    parser.add_argument("--bodysize-outage", type=float, default=30)
    parser.add_argument("--bodysize-rate", type=float, default=150)
    parser.add_argument("--bodysize-after", type=float, default=60)
    parser.add_argument("--bodysize-bytes", type=int, default=20480, help="body bytes a second")
    parser.add_argument("--bodysize-drain", type=float, default=30)
    # About 288 records a second at 20 KiB a second: short records, so that the
    # database can take the intake once bodies fit its time-out.
    parser.add_argument("--bodysize-record-bytes", type=int, default=71)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--idle-strace-seconds", type=float, default=20)
    args = parser.parse_args()
    rows = args.rows.split(",")
    unknown = set(rows) - {"burst", "backlog", "bodysize", "idle"}
    if unknown:
        parser.error("unknown rows: %s" % ", ".join(sorted(unknown)))

    def show(name, result):
        print("%s: %s" % (name, json.dumps(result)), file=sys.stderr)
        sys.stderr.flush()

    if "burst" in rows:
        results = []
        for delay in (int(d) for d in args.burst_delays.split(",")):
            for _ in range(args.burst_runs):
                results.append(row_burst(args.build, args.burst_count, delay))
                show("burst", results[-1])
        print_burst(results)
        print()
        sys.stdout.flush()
    if "backlog" in rows:
        result = row_backlog(args.build, args.backlog_outage, args.backlog_rate, args.backlog_after,
                             args.backlog_post, args.backlog_drain)
        show("backlog", result)
        print_backlog(result, args)
        print()
        sys.stdout.flush()
    if "bodysize" in rows:
        result = row_bodysize(args.build, args.bodysize_outage, args.bodysize_rate,
                              args.bodysize_after, args.bodysize_bytes, args.bodysize_drain,
                              args.bodysize_record_bytes)
        show("bodysize", result)
        print_bodysize(result, args)
        print()
        sys.stdout.flush()
    if "idle" in rows:
        result = row_idle(args.build, args.idle_seconds, args.idle_strace_seconds)
        show("idle", result)
        print_idle(result)
        sys.stdout.flush()


if __name__ == "__main__":
    main()
