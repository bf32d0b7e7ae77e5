"""TLS and gzip rows of the end-to-end benchmark, run inside a private network
namespace (bench/run's section `secure`).

Each row is the fast-sink burst of bench/e2e_bench.py (a broker without a
queue limit, N QoS 1 messages from build/tests/publisher on the plain
listener, until the sink holds all N) with the bridge reaching its peers
another way:

- plain: as the e2e burst, the reference for the ratios;
- tls-db: https://localhost:8443, verified with --influx-cafile; nginx
  terminates TLS there and passes each chunked body on as it comes to the
  fast sink on 8086, over kept-alive connections on both sides;
- tls-mqtt: the broker's TLS listener on 8883, verified with --mqtt-cafile;
- tls-both: both of the above;
- gzip: --influx-gzip, in clear text;
- gzip-tls-both: --influx-gzip with TLS on both sides;
- proxy (only when asked for): http://localhost:8080, the same nginx in
  clear text, to tell the proxy's own cost from TLS's.

The CA and the server's certificate (EC P-256, for localhost and 127.0.0.1)
are made with openssl in a temporary directory for each invocation. Per row:
throughput, the bridge's CPU time per message (utime+stime) and VmHWM from
/proc, the request body bytes the sink received per record (compressed for
gzip; the sink inflates to count the records), records per POST, the
broker's and nginx's CPU time per message, and the POSTs per connection from
nginx's log (a handshake per POST would show as 1). The rows take turns
within each run, so each run's ratios to plain come from the same
minutes of a shared machine; the table holds the medians of the runs.

Then messages one at a time (as e2e_bench's row: 300 messages 20 ms apart,
the delay from publish to the sink's answer), plain and with TLS on both
sides.
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_bench import (FastSink, cpu_seconds, probe, publish, run_one_at_a_time,  # noqa: E402
                       vm_hwm_kib)
from harness import Broker, port_open, stop_process, wait_until  # noqa: E402

TLS_BROKER_PORT = 8883
TLS_DATABASE_PORT = 8443
PROXY_PORT = 8080  # the same nginx without TLS
SINK_PORT = 8086
BROKER_USER = "mosquitto"  # the user mosquitto becomes when started as root

# name: (the way to the database: "direct", "https" or "proxy" (through
# nginx in clear text), TLS to the broker, gzip bodies)
ROWS = {
    "plain": ("direct", False, False),
    "tls-db": ("https", False, False),
    "tls-mqtt": ("direct", True, False),
    "tls-both": ("https", True, False),
    "gzip": ("direct", False, True),
    "gzip-tls-both": ("https", True, True),
    "proxy": ("proxy", False, False),
}
DEFAULT_ROWS = "plain,tls-db,tls-mqtt,tls-both,gzip,gzip-tls-both"
DATABASE_COLUMN = {"direct": "http", "https": "https (nginx)", "proxy": "http (nginx)"}


def make_certificates(directory):
    """A CA and a server certificate for localhost and 127.0.0.1 signed by it,
    both EC P-256. Returns (ca.pem, server.pem, server.key)."""
    def path(name):
        return os.path.join(directory, name)

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", path("ca.key"), "-out", path("ca.pem"),
            "-days", "2", "-subj", "/CN=bench test CA")
    openssl("req", *ec, "-keyout", path("server.key"), "-out", path("server.csr"),
            "-subj", "/CN=localhost")
    with open(path("server.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                "basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=serverAuth\n"
                "authorityKeyIdentifier=keyid\n"
                "subjectKeyIdentifier=hash\n")
    openssl("x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"),
            "-CAkey", path("ca.key"), "-CAcreateserial", "-out", path("server.pem"),
            "-days", "2", "-extfile", path("server.ext"))
    # mosquitto started as root loads its certificate after it has become
    # the user "mosquitto": the files must be that user's to read.
    os.chmod(directory, 0o755)
    for name in ("ca.pem", "server.pem"):
        os.chmod(path(name), 0o644)
    try:
        shutil.chown(path("server.key"), user=BROKER_USER)
    except LookupError:
        pass  # no such user: the broker does not change user either
    return path("ca.pem"), path("server.pem"), path("server.key")


def tls_listener_config(certificate, key):
    """The broker's TLS listener, beside harness.Broker's plain one on 1883."""
    return "listener %d 127.0.0.1\ncertfile %s\nkeyfile %s\n" % (TLS_BROKER_PORT, certificate, key)


class Nginx:
    """nginx terminating TLS on 127.0.0.1:8443 in front of the sink on 8086,
    with a prefix, configuration, pid file, logs and temporary directories
    of its own, in the foreground. Request bodies go to the sink as they come
    (chunked, not buffered, not decoded); connections are kept alive on both
    sides. Its access log has one line per request: the connection's serial
    number and the request's number on it."""

    def __init__(self, workdir, certificate, key):
        self.prefix = os.path.join(workdir, "nginx")
        os.makedirs(self.prefix, exist_ok=True)
        self.access_log = os.path.join(self.prefix, "access.log")
        self.config = os.path.join(self.prefix, "nginx.conf")
        self.per_connection = {}
        temp = {name: os.path.join(self.prefix, name)
                for name in ("body", "proxy", "fastcgi", "uwsgi", "scgi")}
        with open(self.config, "w") as f:
            f.write("""daemon off;
master_process on;
worker_processes 1;
user root;
pid %(prefix)s/nginx.pid;
error_log %(prefix)s/error.log warn;
events { worker_connections 64; }
http {
    log_format connections "$connection $connection_requests $status";
    access_log %(access_log)s connections buffer=64k;
    client_body_temp_path %(body)s;
    proxy_temp_path %(proxy)s;
    fastcgi_temp_path %(fastcgi)s;
    uwsgi_temp_path %(uwsgi)s;
    scgi_temp_path %(scgi)s;
    keepalive_timeout 75s;
    keepalive_requests 1000000;
    client_max_body_size 0;
    upstream sink {
        server 127.0.0.1:%(sink_port)d;
        keepalive 4;
        keepalive_requests 1000000;
    }
    server {
        listen 127.0.0.1:%(port)d ssl;
        listen 127.0.0.1:%(proxy_port)d;
        ssl_certificate %(certificate)s;
        ssl_certificate_key %(key)s;
        location / {
            proxy_pass http://sink;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_request_buffering off;
            proxy_buffering off;
        }
    }
}
""" % dict(temp, prefix=self.prefix, access_log=self.access_log, sink_port=SINK_PORT,
           port=TLS_DATABASE_PORT, proxy_port=PROXY_PORT, certificate=certificate, key=key))
        self.process = subprocess.Popen(["nginx", "-p", self.prefix, "-c", self.config,
                                         "-e", os.path.join(self.prefix, "error.log")])
        try:
            wait_until(lambda: port_open(TLS_DATABASE_PORT), 10, "nginx to listen")
        except AssertionError:
            stop_process(self.process)
            raise

    def pids(self):
        """The master and its workers."""
        try:
            with open("/proc/%d/task/%d/children" % (self.process.pid, self.process.pid)) as f:
                return [self.process.pid] + [int(p) for p in f.read().split()]
        except OSError:
            return [self.process.pid]

    def cpu_seconds(self):
        return sum(cpu_seconds(pid) for pid in self.pids())

    def stop(self):
        """Stops nginx gracefully, which writes out its buffered log, and
        reads the log: requests per client connection."""
        stop_process(self.process, signal.SIGQUIT)
        self.per_connection = {}
        with open(self.access_log) as log:
            for line in log:
                connection = line.split()[0]
                self.per_connection[connection] = self.per_connection.get(connection, 0) + 1

    def connection_figures(self):
        """Every POST of the bridge, probes included, and the TLS connections
        they went over (after stop())."""
        posts = sum(self.per_connection.values())
        connections = len(self.per_connection)
        return {"connections": connections,
                "posts_per_connection": posts / connections if connections else None}


def bridge_options(row, ca):
    database, tls_mqtt, gzip = ROWS[row]
    options = ["-c", "bench", "-p", "ns"]
    if database == "https":
        options += ["--influx-url", "https://localhost:%d" % TLS_DATABASE_PORT, "--influx-cafile", ca]
    elif database == "proxy":
        options += ["--influx-url", "http://localhost:%d" % PROXY_PORT]
    if tls_mqtt:
        options += ["--mqtt-cafile", ca]  # implies TLS, port 8883
    if gzip:
        options += ["--influx-gzip"]
    return options


def run_row(build, row, n, certificates):
    """One burst of n messages through the bridge configured as `row`."""
    ca, certificate, key = certificates
    database, tls_mqtt, _ = ROWS[row]
    with tempfile.TemporaryDirectory(prefix="bridge-bench-") as workdir:
        config = "max_queued_messages 0\n"
        if tls_mqtt:
            config += tls_listener_config(certificate, key)
        broker = Broker(workdir, config).start()
        sink = nginx = bridge = None
        try:
            if tls_mqtt:
                wait_until(lambda: port_open(TLS_BROKER_PORT), 10, "the broker's TLS listener")
            sink = FastSink(os.path.join(build, "bench", "fast_sink"))
            if database != "direct":
                nginx = Nginx(workdir, certificate, key)
            bridge = subprocess.Popen([os.path.join(build, "mqtt-influx-bridge")] +
                                      bridge_options(row, ca), stdout=subprocess.DEVNULL)

            # Subscribed once a probe reaches the sink (probes go to their own
            # measurement). One probe at a time, so that none lands in the burst.
            def probed():
                before = sink.count()
                probe()
                try:
                    wait_until(lambda: sink.count() > before, 2, "a probe")
                except AssertionError:
                    return False
                return True
            wait_until(probed, 40, "the bridge to subscribe", interval=0)
            records_before, bytes_before, posts_before = sink.stats()
            cpu_before = cpu_seconds(bridge.pid)
            broker_before = cpu_seconds(broker.process.pid)
            nginx_before = nginx.cpu_seconds() if nginx else 0.0
            start = time.monotonic()
            publish(build, n)
            wait_until(lambda: sink.count() >= records_before + n, 600,
                       "%d records at the sink" % n, interval=0.05)
            seconds = time.monotonic() - start
            cpu = cpu_seconds(bridge.pid) - cpu_before
            broker_cpu = cpu_seconds(broker.process.pid) - broker_before
            nginx_cpu = nginx.cpu_seconds() - nginx_before if nginx else None
            hwm = vm_hwm_kib(bridge.pid)
            records, body_bytes, posts = (a - b for a, b in zip(sink.stats(),
                                                               (records_before, bytes_before,
                                                                posts_before)))
        finally:
            if bridge:
                bridge.send_signal(signal.SIGINT)
                bridge.wait(30)
            if nginx:
                nginx.stop()
            if sink:
                sink.stop()
            broker.stop()
        result = {"rate": n / seconds, "cpu_us": cpu / n * 1e6, "hwm_kib": hwm,
                  "broker_cpu_us": broker_cpu / n * 1e6,
                  "bytes_per_record": body_bytes / records, "records_per_post": records / posts,
                  "posts": posts, "delivered": records}
        if nginx:
            result["nginx_cpu_us"] = nginx_cpu / n * 1e6
            result.update(nginx.connection_figures())
    return result


def one_at_a_time(build, row, certificates, runs):
    ca, certificate, key = certificates
    database, tls_mqtt, _ = ROWS[row]
    proxies = []

    def front(workdir):
        proxies.append(Nginx(workdir, certificate, key))
        return proxies[-1]
    results = []
    for _ in range(runs):
        result = run_one_at_a_time(
            build, bridge_options=bridge_options(row, ca)[2:],  # without "-p ns", as e2e_bench
            broker_config=tls_listener_config(certificate, key) if tls_mqtt else "",
            front=front if database != "direct" else None)
        if proxies:
            result.update(proxies.pop().connection_figures())
        results.append(result)
    return results


def median(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def ratio_median(runs, plain_runs, key):
    """The median over the runs of this row's value over plain's in the same run."""
    values = [r[key] / p[key] for r, p in zip(runs, plain_runs)]
    return statistics.median(values)


def burst_table(args, certificates):
    rows = args.rows.split(",")
    if "plain" not in rows:
        rows.insert(0, "plain")
    results = {row: [] for row in rows}
    for run in range(args.runs):
        for row in rows:
            result = run_row(args.build, row, args.count, certificates)
            results[row].append(result)
            print("run %d (%s): %s" % (run + 1, row, json.dumps(result)), file=sys.stderr)
    print("| row | database | broker | body | bridge msg/s | / plain | bridge CPU µs/msg | / plain "
          "| bridge VmHWM KiB | body bytes/record at the sink | / plain | records/POST "
          "| broker CPU µs/msg | nginx CPU µs/msg | POSTs per connection to nginx | delivered / published |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    plain = results["plain"]
    for row in rows:
        runs = results[row]
        database, tls_mqtt, gzip = ROWS[row]
        nginx_cpu = median(runs, "nginx_cpu_us")
        per_connection = median(runs, "posts_per_connection")
        print("| %s | %s | %s | %s | %.0f | %.2f | %.1f | %.2f | %.0f | %.1f | %.2f | %.1f | %.1f | %s | %s "
              "| %d / %d |" % (
                  row, DATABASE_COLUMN[database], "TLS 8883" if tls_mqtt else "1883",
                  "gzip" if gzip else "plain",
                  median(runs, "rate"), ratio_median(runs, plain, "rate"),
                  median(runs, "cpu_us"), ratio_median(runs, plain, "cpu_us"),
                  median(runs, "hwm_kib"),
                  median(runs, "bytes_per_record"), ratio_median(runs, plain, "bytes_per_record"),
                  median(runs, "records_per_post"), median(runs, "broker_cpu_us"),
                  "%.1f" % nginx_cpu if nginx_cpu is not None else "–",
                  "%.0f" % per_connection if per_connection is not None else "–",
                  min(r["delivered"] for r in runs), args.count))
    sys.stdout.flush()


def one_table(args, certificates):
    print()
    print("| one at a time (20 ms apart, fast sink) | POSTs per record | delay median ms "
          "| delay p99 ms | POSTs per connection to nginx |")
    print("|---|---|---|---|---|")
    for row in ("plain", "tls-both"):
        runs = one_at_a_time(args.build, row, certificates, args.runs)
        for i, run in enumerate(runs):
            print("one-at-a-time run %d (%s): %s" % (i + 1, row, json.dumps(run)), file=sys.stderr)
        per_connection = median(runs, "posts_per_connection")
        print("| %s, median of %d | %.2f | %.2f | %.2f | %s |" % (
            row, len(runs), median(runs, "posts_per_record"), median(runs, "median_ms"),
            median(runs, "p99_ms"),
            "%.0f" % per_connection if per_connection is not None else "–"))
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rows", default=DEFAULT_ROWS,
                        help="burst rows (plain is always measured, for the ratios)")
    parser.add_argument("--only", default="burst,one", help="burst (the table of rows), one")
    args = parser.parse_args()
    unknown = set(args.rows.split(",")) - set(ROWS)
    if unknown:
        parser.error("unknown rows: %s" % ",".join(sorted(unknown)))
    with tempfile.TemporaryDirectory(prefix="bridge-bench-certs-") as directory:
        certificates = make_certificates(directory)
        parts = args.only.split(",")
        if "burst" in parts:
            burst_table(args, certificates)
        if "one" in parts:
            one_table(args, certificates)


if __name__ == "__main__":
    main()
