"""End-to-end benchmark of the bridge, run inside a private network namespace.

For each sink (the project's fast HTTP sink, then a real InfluxDB 1.x) and
each run: start a broker and the sink, start the bridge, publish N messages at
QoS 1 with a mix of payload layouts, wait until the sink holds all N records,
and read the bridge's CPU time and peak resident memory from /proc. In the
same run, measure the limits: MQTT receive alone (mosquitto_sub) and N
sequential single-record POSTs over one reused libcurl handle (serial_post).
Prints a Markdown table of the medians.
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
from harness import Broker, Influx, port_open, wait_until  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def vm_hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class FastSink:
    def __init__(self, binary):
        self.process = subprocess.Popen([binary, "8086"])
        wait_until(lambda: port_open(8086), 10, "the fast sink")

    def count(self):
        with urllib.request.urlopen("http://127.0.0.1:8086/count", timeout=5) as r:
            return int(r.read())

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


def publish(build, count, first=0):
    subprocess.run([os.path.join(build, "tests", "publisher"), "v1/bench/temp", str(count), "mix",
                    str(first)], check=True, timeout=600)


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sinks", default="fast,influx")
    args = parser.parse_args()

    print("| sink | bridge msg/s | serial POST/s | bridge / serial | MQTT receive msg/s "
          "| bridge CPU us/msg | serial CPU us/POST | CPU ratio | bridge VmHWM KiB "
          "| serial VmHWM KiB | delivered / published |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for sink in args.sinks.split(","):
        runs = [one_run(args.build, sink, args.count) for _ in range(args.runs)]
        for i, run in enumerate(runs):
            print("run %d (%s): %s" % (i + 1, sink, json.dumps(run)), file=sys.stderr)

        def median(f):
            return statistics.median(f(r) for r in runs)
        print("| %s | %.0f | %.0f | %.2f | %.0f | %.1f | %.1f | %.2f | %.0f | %.0f | %d / %d |" % (
            sink,
            median(lambda r: r["bridge"]["rate"]),
            median(lambda r: r["serial"]["rate"]),
            median(lambda r: r["bridge"]["rate"] / r["serial"]["rate"]),
            median(lambda r: r["receive"]),
            median(lambda r: r["bridge"]["cpu_us"]),
            median(lambda r: r["serial"]["cpu_us"]),
            median(lambda r: r["bridge"]["cpu_us"] / r["serial"]["cpu_us"]),
            median(lambda r: r["bridge"]["hwm_kib"]),
            median(lambda r: r["serial"]["hwm_kib"]),
            min(r["bridge"]["delivered"] for r in runs), args.count))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
