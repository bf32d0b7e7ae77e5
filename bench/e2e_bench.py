"""End-to-end benchmark of the bridge, run inside a private network namespace.

For each sink (the project's fast HTTP sink, then a real InfluxDB 1.x) and
each run: start a broker and the sink, start the bridge, publish N messages at
QoS 1 with a mix of payload layouts, wait until the sink holds all N records,
and read the bridge's CPU time and peak resident memory from /proc. In the
same run, measure the limits: MQTT receive alone (mosquitto_sub) and N
sequential single-record POSTs over one reused libcurl handle (serial_post).
Prints a Markdown table of the medians. Then two runs of their own: a slow
database (a sink that answers each POST after 200 ms, 100 messages a second
for 20 s: delivered against published, and the broker's drop warnings), and
messages one at a time (20 ms apart: POSTs per record, and the delay from
publish to the sink's answer).
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import Broker, Influx, port_open, status_kib, wait_until  # noqa: E402
from http_sink import HttpSink  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def vm_hwm_kib(pid):
    return status_kib(pid, "VmHWM")


class FastSink:
    def __init__(self, binary):
        self.process = subprocess.Popen([binary, "8086"])
        wait_until(lambda: port_open(8086), 10, "the fast sink")

    def count(self):
        with urllib.request.urlopen("http://127.0.0.1:8086/count", timeout=5) as r:
            return int(r.read())

    def stats(self):
        """(records, body bytes as received, POSTs) so far."""
        with urllib.request.urlopen("http://127.0.0.1:8086/stats", timeout=5) as r:
            return tuple(int(v) for v in r.read().split())

    def stop(self):
        self.process.kill()
        self.process.wait()


class InfluxSink:
    def __init__(self, workdir):
        self.influx = Influx(workdir).start()

    def count(self):
        result = self.influx.query("SELECT count(*) FROM temp")["results"][0]
        if "series" not in result:
            return 0
        row = result["series"][0]["values"][0]
        return sum(v for v in row[1:] if v)

    def stop(self):
        self.influx.stop()


def publish(build, count, first=0, mode="mix", interval_ms=0, topic="v1/bench/temp"):
    subprocess.run([os.path.join(build, "tests", "publisher"), topic, str(count), mode,
                    str(first), str(interval_ms)], check=True, timeout=600)


def probe(topic="v1/bench/probe"):
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-q", "1", "-t", topic, "-m", "1"],
                   check=True, timeout=10)


def run_bridge(build, sink, n):
    bridge = subprocess.Popen([os.path.join(build, "mqtt-influx-bridge"), "-c", "bench", "-p", "ns"],
                              stdout=subprocess.DEVNULL)
    try:
        # Subscribed once a probe reaches the sink (probes go to their own measurement).
        def probed():
            probe()
            return probe_count(sink) > 0
        wait_until(probed, 20, "the bridge to subscribe", interval=0.2)
        base = sink.count()
        cpu_before = cpu_seconds(bridge.pid)
        start = time.monotonic()
        publish(build, n)
        wait_until(lambda: sink.count() >= base + n, 600, "%d records at the sink" % n,
                   interval=0.05)
        seconds = time.monotonic() - start
        cpu = cpu_seconds(bridge.pid) - cpu_before
        hwm = vm_hwm_kib(bridge.pid)
        delivered = sink.count() - base
    finally:
        bridge.send_signal(signal.SIGINT)
        bridge.wait(30)
    return {"rate": n / seconds, "cpu_us": cpu / n * 1e6, "hwm_kib": hwm, "delivered": delivered}


def probe_count(sink):
    if isinstance(sink, FastSink):
        return sink.count()
    result = sink.influx.query("SELECT count(*) FROM probe")["results"][0]
    return 1 if "series" in result else 0


def run_mqtt_receive(build, n):
    sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-q", "1", "-t", "v1/bench/#"],
                           stdout=subprocess.PIPE)
    lines = [0]

    def count_lines():
        for _ in sub.stdout:
            lines[0] += 1
    reader = threading.Thread(target=count_lines, daemon=True)
    reader.start()
    try:
        wait_until(lambda: probe() or lines[0] > 0, 20, "mosquitto_sub to subscribe", interval=0.2)
        base = lines[0]
        start = time.monotonic()
        publish(build, n)
        wait_until(lambda: lines[0] >= base + n, 600, "%d messages at mosquitto_sub" % n,
                   interval=0.01)
        return n / (time.monotonic() - start)
    finally:
        sub.kill()
        sub.wait()


def run_serial_post(build, n):
    done = subprocess.run([os.path.join(build, "bench", "serial_post"), str(n)],
                          capture_output=True, check=True, timeout=600)
    result = json.loads(done.stdout)
    return {"rate": n / result["seconds"], "cpu_us": result["cpu_seconds"] / n * 1e6,
            "hwm_kib": result["vm_hwm_kib"], "failures": result["failures"]}


def one_run(build, sink_kind, n):
    with tempfile.TemporaryDirectory(prefix="bridge-bench-") as workdir:
        broker = Broker(workdir, "max_queued_messages 0\n").start()
        sink = FastSink(os.path.join(build, "bench", "fast_sink")) if sink_kind == "fast" \
            else InfluxSink(workdir)
        try:
            bridge = run_bridge(build, sink, n)
            receive = run_mqtt_receive(build, n)
            serial = run_serial_post(build, n)
        finally:
            sink.stop()
            broker.stop()
    return {"bridge": bridge, "receive": receive, "serial": serial}


def start_bridge(build, options=()):
    return subprocess.Popen([os.path.join(build, "mqtt-influx-bridge"), "-c", "bench"] + list(options),
                            stdout=subprocess.DEVNULL)


def sink_numbers(sink, key, topic):
    """The values of field `key` in every record of `topic` the sink answered 2xx for."""
    found = []
    for request in sink.all_requests():
        if request.stored:
            for line in request.body.decode().splitlines():
                if '"%s"' % topic not in line:
                    continue
                fields = dict(f.split("=", 1) for f in line.split(" ")[1].split(","))
                found.append((int(fields[key].rstrip("i")), request))
    return found


def run_slow_database(build, count=2000, interval_ms=10):
    """A database that takes 200 ms a POST, 100 messages a second for 20 s."""
    with tempfile.TemporaryDirectory(prefix="bridge-bench-") as workdir:
        broker = Broker(workdir).start()  # the broker's default queue limit (1000)
        sink = HttpSink().start()
        sink.default_answer = ("delay", 0.2, 204, b"")
        bridge = start_bridge(build)
        try:
            wait_until(lambda: probe() or sink.all_requests(), 20, "the bridge to subscribe",
                       interval=0.3)
            wait_until(lambda: all(r.status for r in sink.all_requests()), 10, "the probes")
            publish(build, count, mode="stamp", interval_ms=interval_ms, topic="v1/bench/slow")
            last = [-1, time.monotonic()]

            published = time.monotonic()

            def settled():  # all there, nothing new for 3 s, or a minute after publishing
                got = len({n for n, _ in sink_numbers(sink, "n", "v1/bench/slow")})
                if got != last[0]:
                    last[:] = [got, time.monotonic()]
                return (got >= count or time.monotonic() - last[1] > 3 or
                        time.monotonic() - published > 60)
            wait_until(settled, 120, "the slow sink to settle", interval=0.2)
            delivered = len({n for n, _ in sink_numbers(sink, "n", "v1/bench/slow")})
            posts = len([r for r in sink.all_requests() if b"v1/bench/slow" in r.body])
        finally:
            bridge.send_signal(signal.SIGINT)
            bridge.wait(30)
            sink.stop()
            broker.stop()
        with open(broker.log, errors="replace") as log:
            drops = log.read().count("Outgoing messages are being dropped")
    return {"published": count, "delivered": delivered, "posts": posts, "broker_drop_warnings": drops}


def run_one_at_a_time(build, count=300, interval_ms=20, bridge_options=(), broker_config="",
                      front=None):
    """Messages 20 ms apart to a fast sink: POSTs per record and the delay from
    publish to the sink's answer. `front`, when given, starts what stands
    between the bridge and the sink (a TLS proxy) in the run's directory and
    returns it; it is stopped at the end."""
    with tempfile.TemporaryDirectory(prefix="bridge-bench-") as workdir:
        broker = Broker(workdir, broker_config).start()
        sink = HttpSink().start()
        proxy = front(workdir) if front else None
        bridge = start_bridge(build, bridge_options)
        try:
            wait_until(lambda: probe() or sink.all_requests(), 20, "the bridge to subscribe",
                       interval=0.3)
            wait_until(lambda: all(r.answered_at for r in sink.all_requests()), 10, "the probes")
            skip = len(sink.all_requests())
            publish(build, count, mode="stamp", interval_ms=interval_ms, topic="v1/bench/one")
            wait_until(lambda: len(sink_numbers(sink, "n", "v1/bench/one")) >= count, 60, "every record")
            wait_until(lambda: all(r.answered_at for r in sink.all_requests()), 10, "the answers")
            requests = sink.all_requests()[skip:]
            delays = []
            for request in requests:
                for line in request.body.decode().splitlines():
                    if "v1/bench/one" not in line:
                        continue
                    fields = dict(f.split("=", 1) for f in line.split(" ")[1].split(","))
                    delays.append(request.answered_at * 1e3 - int(fields["sent_us"].rstrip("i")) / 1e3)
            records = sum(r.body.count(b"\n") for r in requests)
        finally:
            bridge.send_signal(signal.SIGINT)
            bridge.wait(30)
            if proxy:
                proxy.stop()
            sink.stop()
            broker.stop()
    delays.sort()
    return {"posts_per_record": len(requests) / records, "median_ms": statistics.median(delays),
            "p99_ms": delays[min(len(delays) - 1, int(len(delays) * 0.99))], "max_ms": delays[-1],
            "records": records}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sinks", default="fast,influx")
    parser.add_argument("--only", default="burst,slow,one",
                        help="which parts to run: burst (the table of limits), slow, one")
    args = parser.parse_args()
    parts = args.only.split(",")
    if "burst" in parts:
        burst_table(args)
    if "slow" in parts:
        runs = [run_slow_database(args.build) for _ in range(args.runs)]
        for i, run in enumerate(runs):
            print("slow run %d: %s" % (i + 1, json.dumps(run)), file=sys.stderr)
        print()
        print("| slow database (200 ms a POST), 100 msg/s for 20 s | delivered / published "
              "| POSTs | broker drop warnings |")
        print("|---|---|---|---|")
        print("| median of %d | %d / %d | %d | %d |" % (
            len(runs), statistics.median(r["delivered"] for r in runs), runs[0]["published"],
            statistics.median(r["posts"] for r in runs),
            statistics.median(r["broker_drop_warnings"] for r in runs)))
        sys.stdout.flush()
    if "one" in parts:
        runs = [run_one_at_a_time(args.build) for _ in range(args.runs)]
        for i, run in enumerate(runs):
            print("one-at-a-time run %d: %s" % (i + 1, json.dumps(run)), file=sys.stderr)
        print()
        print("| one at a time (20 ms apart, fast sink) | POSTs per record | delay median ms "
              "| delay p99 ms |")
        print("|---|---|---|---|")
        print("| median of %d | %.2f | %.2f | %.2f |" % (
            len(runs), statistics.median(r["posts_per_record"] for r in runs),
            statistics.median(r["median_ms"] for r in runs),
            statistics.median(r["p99_ms"] for r in runs)))


def burst_table(args):
    print("| sink | bridge msg/s | MQTT receive msg/s | bridge / receive | serial POST/s "
          "| bridge / serial | bridge CPU us/msg | serial CPU us/POST | CPU ratio "
          "| bridge VmHWM KiB | serial VmHWM KiB | delivered / published |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for sink in args.sinks.split(","):
        runs = [one_run(args.build, sink, args.count) for _ in range(args.runs)]
        for i, run in enumerate(runs):
            print("run %d (%s): %s" % (i + 1, sink, json.dumps(run)), file=sys.stderr)

        def median(f):
            return statistics.median(f(r) for r in runs)
        print("| %s | %.0f | %.0f | %.2f | %.0f | %.2f | %.1f | %.1f | %.2f | %.0f | %.0f | %d / %d |" % (
            sink,
            median(lambda r: r["bridge"]["rate"]),
            median(lambda r: r["receive"]),
            median(lambda r: r["bridge"]["rate"] / r["receive"]),
            median(lambda r: r["serial"]["rate"]),
            median(lambda r: r["bridge"]["rate"] / r["serial"]["rate"]),
            median(lambda r: r["bridge"]["cpu_us"]),
            median(lambda r: r["serial"]["cpu_us"]),
            median(lambda r: r["bridge"]["cpu_us"] / r["serial"]["cpu_us"]),
            median(lambda r: r["bridge"]["hwm_kib"]),
            median(lambda r: r["serial"]["hwm_kib"]),
            min(r["bridge"]["delivered"] for r in runs), args.count))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
