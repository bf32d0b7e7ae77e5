"""JSON topics against v1 messages, in one run inside a private network
namespace: a burst of the Zigbee-shaped payload on a --json-topic and a burst
of v1 messages (the usual mix of layouts), each through the same bridge
(started with --json-topic for both) to the fast sink. Per row: messages a
second (published until all are at the sink, median of the runs), the
bridge's CPU time per message and VmHWM, then instructions per message under
valgrind's callgrind (one run each). Prints a Markdown table.

  bench/json_rows.py [--build build] [--count N] [--runs R]
"""

import argparse
import glob
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from e2e_bench import FastSink, cpu_seconds, probe, publish, vm_hwm_kib  # noqa: E402
from harness import Broker, wait_until  # noqa: E402
from instructions import totals  # noqa: E402

ROWS = (("v1 (mix of layouts)", "v1/bench/temp", "mix"),
        ("JSON (Zigbee payload)", "zigbee2mqtt/kitchen", "zigbee"))
BRIDGE_ARGS = ["-c", "bench", "-p", "ns", "--json-topic", "zigbee2mqtt/+room"]


def burst(build, bridge_prefix, topic, mode, count, workdir):
    """(messages a second, CPU us a message, VmHWM KiB); under callgrind (a
    prefix given) the counters cover the burst alone and are dumped after it."""
    broker = Broker(workdir, "max_queued_messages 0\n").start()
    sink = FastSink(os.path.join(build, "bench", "fast_sink"))
    binary = os.path.join(build, "mqtt-influx-bridge")
    bridge = subprocess.Popen(bridge_prefix + [binary] + BRIDGE_ARGS,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: probe() or sink.count() > 0, 60, "the bridge to subscribe", interval=0.5)
        base = sink.count()
        if bridge_prefix:
            subprocess.run(["callgrind_control", "-z", str(bridge.pid)], check=True,
                           capture_output=True, timeout=60)
        cpu_before = cpu_seconds(bridge.pid)
        start = time.monotonic()
        publish(build, count, mode=mode, topic=topic)
        wait_until(lambda: sink.count() >= base + count, 600, "the records at the sink", interval=0.02)
        seconds = time.monotonic() - start
        cpu = cpu_seconds(bridge.pid) - cpu_before
        hwm = vm_hwm_kib(bridge.pid)
        if bridge_prefix:
            subprocess.run(["callgrind_control", "-d", str(bridge.pid)], check=True,
                           capture_output=True, timeout=60)
    finally:
        bridge.send_signal(signal.SIGINT)
        bridge.wait(60)
        sink.stop()
        broker.stop()
    return count / seconds, cpu / count * 1e6, hwm


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    binary = os.path.realpath(os.path.join(args.build, "mqtt-influx-bridge"))
    results = {}
    for name, topic, mode in ROWS:
        runs = []
        for _ in range(args.runs):
            with tempfile.TemporaryDirectory(prefix="bridge-json-") as workdir:
                runs.append(burst(args.build, [], topic, mode, args.count, workdir))
        with tempfile.TemporaryDirectory(prefix="bridge-json-") as workdir:
            out = os.path.join(workdir, "callgrind.out")
            prefix = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                      "--compress-strings=no", "--compress-pos=no"]
            calls = min(args.count, 5000)
            burst(args.build, prefix, topic, mode, calls, workdir)
            whole, own = totals(max(glob.glob(out + ".*"), key=os.path.getmtime), binary)
        results[name] = (statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs),
                         max(r[2] for r in runs), whole / calls, own / calls)
    print("| burst of %d | messages/s | CPU us/msg | VmHWM KiB | instructions/msg | in the binary |"
          % args.count)
    print("|---|---|---|---|---|---|")
    for name, (rate, cpu, hwm, whole, own) in results.items():
        print("| %s | %.0f | %.1f | %d | %.0f | %.0f |" % (name, rate, cpu, hwm, whole, own))
    v1, js = (results[name][0] for name, _, _ in ROWS)
    print("\nJSON rate / v1 rate: %.2f" % (js / v1))


if __name__ == "__main__":
    main()
