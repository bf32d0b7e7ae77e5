"""Instructions per message of the bridge (valgrind's callgrind), run inside a
private network namespace: a count that a busy machine does not blur, to
weigh build settings against each other. For each bridge binary given: a
broker without a queue limit, the fast sink, the bridge under callgrind; once
a probe has reached the sink the counters are zeroed, then N messages go out
(burst: as fast as the publisher can; one: 20 ms apart, a POST each) and the
counters are dumped when the sink holds them all. Prints a Markdown table:
instructions per message, all of the process and the part in the bridge's
own binary (the rest is libmosquitto, libcurl, libstdc++, libc ...).

  bench/instructions.py --tools build BINARY [BINARY ...] [--count N] [--one N]
"""

import argparse
import glob
import os
import re
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from e2e_bench import FastSink, probe, publish  # noqa: E402
from harness import Broker, wait_until  # noqa: E402


def totals(dump, binary):
    """(all instructions, those in `binary`) of a callgrind dump written with
    --compress-strings=no: the cost lines of each function's block, except the
    line after "calls=", which is the callee's inclusive cost."""
    whole = own = 0
    current = None
    after_call = False
    with open(dump) as f:
        for line in f:
            if line.startswith("ob="):
                current = line[3:].strip()
            elif line.startswith("summary:"):
                whole = int(line.split()[1])
            elif line[:1].isdigit() and not after_call and current == binary:
                own += int(line.split()[1])
            after_call = line.startswith("calls=")
    return whole, own


def measure(tools, binary, count, interval_ms):
    with tempfile.TemporaryDirectory(prefix="bridge-instructions-") as workdir:
        broker = Broker(workdir, "max_queued_messages 0\n").start()
        sink = FastSink(os.path.join(tools, "bench", "fast_sink"))
        out = os.path.join(workdir, "callgrind.out")
        bridge = subprocess.Popen(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                                   "--compress-strings=no", "--compress-pos=no",
                                   binary, "-c", "bench", "-p", "ns"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_until(lambda: probe() or sink.count() > 0, 60, "the bridge to subscribe", interval=0.5)
            base = sink.count()
            subprocess.run(["callgrind_control", "-z", str(bridge.pid)], check=True,
                           capture_output=True, timeout=60)
            publish(tools, count, interval_ms=interval_ms)
            wait_until(lambda: sink.count() >= base + count, 600, "the records at the sink")
            subprocess.run(["callgrind_control", "-d", str(bridge.pid)], check=True,
                           capture_output=True, timeout=60)
            dump = max(glob.glob(out + ".*"), key=os.path.getmtime)
            whole, own = totals(dump, os.path.realpath(binary))
        finally:
            bridge.send_signal(signal.SIGINT)
            bridge.wait(60)
            sink.stop()
            broker.stop()
    return whole / count, own / count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", default="build", help="the build with the publisher and fast sink")
    parser.add_argument("--count", type=int, default=5000, help="messages in the burst")
    parser.add_argument("--one", type=int, default=300, help="messages one at a time")
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    print("| binary | burst: instructions/msg | in the binary | one at a time: instructions/msg "
          "| in the binary |")
    print("|---|---|---|---|---|")
    for binary in args.binaries:
        burst = measure(args.tools, binary, args.count, 0)
        one = measure(args.tools, binary, args.one, 20)
        print("| %s | %.0f | %.0f | %.0f | %.0f |" % (binary, burst[0], burst[1], one[0], one[1]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
