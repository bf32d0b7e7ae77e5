"""The longest step of the bridge's main loop under each fault, measured from
its watchdog pings, run inside a private network namespace.

With WATCHDOG_USEC at 400 ms the bridge pings every 100 ms at most, that is
at the start of every turn that comes later than that; so the longest gap
between two pings is the longest turn, give or take 100 ms. Each scenario
runs for a while past the MQTT keep-alive and prints the longest gap.

"broker name never resolves": the bridge runs in a mount namespace of its own
(unshare -m) with its own /etc/hosts and /etc/resolv.conf; the hosts file
names the broker host at first, the name server is a UDP socket on
127.0.0.1:53 that never answers. Once the bridge is connected, the name leaves
the hosts file and the broker stops, so every reconnect asks the silent
server (the C library's defaults: 5 s a try, two tries).
"""

import argparse
import os
import shlex
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import BlackHoleListener, Bridge, Broker, NotifySocket, ping_gaps, publish, wait_until  # noqa: E402,E501
from http_sink import HttpSink  # noqa: E402


FAULTS = {
    "idle": "idle",
    "refuses": "database refuses connections",
    "hangs": "database never answers",
    "drops": "broker host drops packets",
    "dns": "broker name never resolves",
}
BROKER_NAME = "broker.bench.invalid"


class SilentNameServer:
    """A UDP socket on 127.0.0.1:53 that reads every query and answers none."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 53))
        self.socket.settimeout(0.2)
        self.queries = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while not self.stopping.is_set():
            try:
                self.socket.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            self.queries += 1

    def stop(self):
        self.stopping.set()
        self.thread.join(2)
        self.socket.close()


def private_resolver_runner(workdir):
    """A BRIDGE_RUNNER that starts the bridge in its own mount namespace, with a
    hosts file (naming the broker) and a resolv.conf of the benchmark's own;
    returns it and the hosts file's path."""
    hosts = os.path.join(workdir, "hosts")
    resolv = os.path.join(workdir, "resolv.conf")
    with open(hosts, "w") as f:
        f.write("127.0.0.1 localhost\n127.0.0.1 %s\n" % BROKER_NAME)
    with open(resolv, "w") as f:
        f.write("nameserver 127.0.0.1\n")
    script = 'mount --bind "$0" /etc/hosts && mount --bind "$1" /etc/resolv.conf && shift && exec "$@"'
    return shlex.join(["unshare", "-m", "--", "sh", "-c", script, hosts, resolv]), hosts


def scenario(build, name, seconds):
    with tempfile.TemporaryDirectory(prefix="bridge-steps-") as workdir:
        started = []
        try:
            broker = Broker(workdir).start()
            started.append(broker)
            sink = None
            if name in ("idle", "database never answers", "broker name never resolves"):
                sink = HttpSink().start()
                started.append(sink)
                if name == "database never answers":
                    sink.default_answer = ("hang",)
            notify = NotifySocket(workdir)
            started.append(notify)
            os.environ["BRIDGE_BIN"] = os.path.join(build, "mqtt-influx-bridge")
            args = ["-c", "bench"]
            runner = os.environ.pop("BRIDGE_RUNNER", None)
            if name == "broker name never resolves":
                name_server = SilentNameServer()
                started.append(name_server)
                os.environ["BRIDGE_RUNNER"], hosts = private_resolver_runner(workdir)
                args += ["-h", BROKER_NAME]
            try:
                bridge = Bridge(args, workdir, dict(notify.env(WATCHDOG_USEC=400000)))
            finally:
                os.environ.pop("BRIDGE_RUNNER", None)
                if runner is not None:
                    os.environ["BRIDGE_RUNNER"] = runner
            started.append(bridge)
            notify.wait_for("READY=1")
            if name != "idle":
                publish("v1/bench/temp", "1 1700000000001")  # a record to keep retrying
            if name == "broker host drops packets":
                broker.stop()
                started.append(BlackHoleListener(1883).start())
            if name == "broker name never resolves":
                with open(hosts, "w") as f:  # the same file (inode) the bridge sees
                    f.write("127.0.0.1 localhost\n")
                broker.stop()
            since = time.monotonic()
            time.sleep(seconds)
            pings = [t for t, _ in notify.timed("WATCHDOG=1") if t >= since]
            if name == "broker name never resolves":
                print("%s: %d queries at the silent name server" % (name, name_server.queries),
                      file=sys.stderr)
            return max(ping_gaps(pings)) if len(pings) > 1 else float("inf")
        finally:
            for thing in reversed(started):
                thing.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=25)
    parser.add_argument("--only", default=",".join(FAULTS),
                        help="which faults: " + ", ".join("%s (%s)" % kv for kv in FAULTS.items()))
    args = parser.parse_args()
    keys = args.only.split(",")
    if set(keys) - set(FAULTS):
        parser.error("unknown faults: %s" % ", ".join(sorted(set(keys) - set(FAULTS))))
    print("| fault | longest loop step (s) |")
    print("|---|---|")
    for key in keys:
        print("| %s | %.2f |" % (FAULTS[key], scenario(args.build, FAULTS[key], args.seconds)))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
