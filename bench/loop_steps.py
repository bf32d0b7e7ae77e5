"""The longest step of the bridge's main loop under each fault, measured from
its watchdog pings, run inside a private network namespace.

With WATCHDOG_USEC at 400 ms the bridge pings every 100 ms at most, that is
at the start of every turn that comes later than that; so the longest gap
between two pings is the longest turn, give or take 100 ms. Each scenario
runs for a while past the MQTT keep-alive and prints the longest gap.
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import BlackHoleListener, Bridge, Broker, NotifySocket, ping_gaps, publish, wait_until  # noqa: E402,E501
from http_sink import HttpSink  # noqa: E402


def scenario(build, name, seconds):
    with tempfile.TemporaryDirectory(prefix="bridge-steps-") as workdir:
        started = []
        try:
            broker = Broker(workdir).start()
            started.append(broker)
            sink = None
            if name in ("idle", "database never answers"):
                sink = HttpSink().start()
                started.append(sink)
                if name == "database never answers":
                    sink.default_answer = ("hang",)
            notify = NotifySocket(workdir)
            started.append(notify)
            os.environ["BRIDGE_BIN"] = os.path.join(build, "mqtt-influx-bridge")
            bridge = Bridge(["-c", "bench"], workdir,
                            dict(notify.env(WATCHDOG_USEC=400000)))
            started.append(bridge)
            notify.wait_for("READY=1")
            if name != "idle":
                publish("v1/bench/temp", "1 1700000000001")  # a record to keep retrying
            if name == "broker host drops packets":
                broker.stop()
                started.append(BlackHoleListener(1883).start())
            since = time.monotonic()
            time.sleep(seconds)
            pings = [t for t, _ in notify.timed("WATCHDOG=1") if t >= since]
            return max(ping_gaps(pings)) if len(pings) > 1 else float("inf")
        finally:
            for thing in reversed(started):
                thing.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=25)
    args = parser.parse_args()
    print("| fault | longest loop step (s) |")
    print("|---|---|")
    for name in ("idle", "database refuses connections", "database never answers",
                 "broker host drops packets"):
        print("| %s | %.2f |" % (name, scenario(args.build, name, args.seconds)))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
