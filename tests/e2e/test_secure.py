"""The bridge against remote, secured endpoints: a broker with TLS, passwords
and client certificates, restarted; InfluxDB over HTTPS with a password, a
retention policy and gzip bodies; a reverse proxy path; an outbound proxy
(CONNECT); TLS below 1.2 refused; VictoriaMetrics; the exact
requests the database options make; systemd credentials; where a secret must
never show; and the time bounds with a TLS peer that never answers.

Messages reach a TLS broker through its plain listener on 1883 (harness.publish),
so only the bridge's side of the broker speaks TLS."""

import base64
import gzip
import os
import re
import select
import signal
import ssl
import threading
import time
import unittest

from harness import (BridgeTestCase, NotifySocket, PrivateNames, accept_in_background,
                     close_sockets, ping_gaps, publish, publish_many, tcp_listener, wait_until)
from http_sink import HttpSink
from secure_servers import (CaptureSink, Certificates, Nginx, SecureInflux, SystemCas, TlsBroker,
                            VictoriaMetrics, basic_auth)

IDENTITY = "node-17"
TOPIC = "v1/kitchen/temp"
STAMP = 1700000000000  # ms; records carry their own timestamps

# A bridge that connected over TLS and subscribed; generous for qemu-arm,
# where the bridge's handshake is emulated.
SUBSCRIBED_S = 30
# What a loaded 2-core machine (other builds, a sanitizer, qemu-arm) may add
# to a turn of the bridge's loop or to the arrival of its line.
LOAD_ROOM_S = 1.0
# The bridge's own bounds (README, "Remote and secured endpoints").
CONNECT_TIMEOUT_S = 2.0
KEEP_ALIVE_S = 10.0

PROXY_PORT = 3128
PROXY = "http://127.0.0.1:%d" % PROXY_PORT

TLS_FAILURE = r"^I: connection error: A TLS error occurred\. \(%s\)$"
# One reason of the TLS library's, of this attempt alone.
NOT_VERIFIED = TLS_FAILURE % r"[^;]*certificate verify failed"


def record(n, topic=TOPIC, measurement="temp"):
    """The record of the message "<n> <STAMP + n>" on `topic`."""
    return '%s,host=%s,mqtt="%s" value=%d %d' % (measurement, IDENTITY, topic, n, STAMP + n)


def send(*numbers, topic=TOPIC):
    for n in numbers:
        if not publish(topic, "%d %d" % (n, STAMP + n)):
            raise AssertionError("the broker did not take message %d" % n)


class SilentPeer:
    """A listener on 127.0.0.1:port that accepts every connection, reads what
    comes and never writes a byte: a TLS server that never answers the
    handshake. `first_bytes` holds the start of what each connection sent."""

    def __init__(self, port):
        self.port = port
        self.first_bytes = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.listener = None
        self.connections = []

    def start(self):
        self.listener = tcp_listener(self.port, 16)
        accept_in_background(self.listener, self.stopping, self._swallow, self.connections,
                             self.lock)
        return self

    def _swallow(self, connection):
        first = True
        while True:
            try:
                data = connection.recv(4096)
            except OSError:
                return
            if not data:
                return
            if first:
                with self.lock:
                    self.first_bytes.append(data[:3])
                first = False

    def stop(self):
        self.stopping.set()
        with self.lock:
            close_sockets(self.listener, self.connections)


class SecureTest(BridgeTestCase):
    def setUp(self):
        super().setUp()
        self.certs = Certificates(self.workdir)

    # Helpers ------------------------------------------------------------------

    def secret_file(self, name, content):
        """A file of the test's own holding `content` (str or bytes), mode 600."""
        path = os.path.join(self.workdir, name)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        os.chmod(path, 0o600)
        return path

    def credentials(self, name, files):
        """A folder like systemd's $CREDENTIALS_DIRECTORY holding `files` (name: text)."""
        folder = os.path.join(self.workdir, name)
        os.makedirs(folder)
        for credential, text in files.items():
            path = os.path.join(folder, credential)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o400)
        return folder

    def tls_broker(self, **options):
        """A TlsBroker; brokers of one test share a log file, so each notes where its own begins."""
        broker = self.started(TlsBroker(self.workdir, self.certs, **options))
        broker.log_start = len(broker.log_text())
        return broker.start()

    @staticmethod
    def own_log(broker):
        return broker.log_text()[broker.log_start:]

    def subscribed_bridge(self, *args, env=None, names=None):
        bridge = self.bridge("-v", "-c", IDENTITY, *args, env=env, names=names)
        bridge.wait_subscribed(timeout=SUBSCRIBED_S)
        return bridge

    def stop_cleanly(self, bridge):
        bridge.signal(signal.SIGINT)
        self.assertEqual(bridge.wait_exit(timeout=20), 0)

    def assert_connected_over_tls(self, broker, user):
        """The broker's log shows the bridge logged in on the TLS listener (as `user`)."""
        login = re.compile(r"New client connected from 127\.0\.0\.1:(\d+) as %s \(([^)]*)\)\."
                           % IDENTITY)
        client = wait_until(lambda: login.search(self.own_log(broker)), 15,
                            "the bridge to log in at the broker")
        self.assertRegex(self.own_log(broker), r"New connection from 127\.0\.0\.1:%s on port %d\."
                         % (client.group(1), broker.port))
        if user is None:
            self.assertNotIn("u'", client.group(2))
        else:
            self.assertIn("u'%s'" % user, client.group(2))

    # Start-up ---------------------------------------------------------------------

    def test_faulty_options_are_one_line_or_the_usage_and_exit_1_before_any_connection(self):
        # Whatever would be connected to listens: a fault must come first.
        listeners = [tcp_listener(port, 8) for port in (1883, 8883, 8086, PROXY_PORT)]
        self.addCleanup(lambda: [listener.close() for listener in listeners])
        token_secret = "tok-Leak-4711"
        password_secret = "pw-Leak-0815"
        token_with_break = self.secret_file("token", token_secret + "\r\nsecond line\n")
        password_with_nul = self.secret_file("password", password_secret + "\0tail")
        empty = self.secret_file("empty", "")
        password = self.secret_file("good-password", "fine\n")
        credentials = self.credentials("credentials", {"influx-token": token_secret + "\tx"})
        fifo = os.path.join(self.workdir, "fifo")  # never written to: a read would wait for ever
        os.mkfifo(fifo, 0o600)
        garbage = self.secret_file("garbage.pem", "not a certificate\n")
        usage = "TODO: Usage: %s" % os.environ["BRIDGE_BIN"]
        faults = (
            (["--influx-user", "writer"], None,
             "F: --influx-user: no password: give --influx-password-file or the credential "
             "influx-password"),
            (["--influx-token-file", token_with_break], None,
             "F: --influx-token-file: it holds a line break or other control character"),
            (["--mqtt-user", "bridge", "--mqtt-password-file", password_with_nul], None,
             "F: --mqtt-password-file: it holds a NUL byte"),
            (["--influx-user", "writer", "--influx-password-file", empty], None,
             "F: --influx-password-file: the file is empty"),
            ([], {"CREDENTIALS_DIRECTORY": credentials},
             "F: credential influx-token: it holds a line break or other control character"),
            (["--influx-user", "writer", "--influx-password-file", password,
              "--influx-token-file", token_with_break], None,
             "F: --influx-token-file: a token and --influx-user exclude each other"),
            (["--mqtt-cafile", os.path.join(self.workdir, "missing.pem")], None,
             "F: --mqtt-cafile: cannot be read: No such file or directory"),
            (["--mqtt-cert", self.certs.client_cert], None,
             "F: --mqtt-cert: a client certificate needs --mqtt-key"),
            (["--mqtt-port", "65536"], None,
             "F: --mqtt-port: the port is not a number from 1 to 65535"),
            (["--influx-url", "https://writer:%s@db.example:8086" % password_secret], None,
             "F: --influx-url: it holds credentials (use --influx-user and "
             "--influx-password-file)"),
            (["--influx-cafile", self.certs.ca_cert], None,
             "F: --influx-cafile: only an https:// --influx-url is verified"),
            (["--influx-user", "writer", "--influx-password-file", fifo], None,
             "F: --influx-password-file: it is not a regular file but a FIFO"),
            (["--mqtt-cafile", garbage], None, "F: --mqtt-cafile: it holds no PEM certificate"),
            (["--influx-db", ""], None, "F: --influx-db: the database name is empty"),
            (["--influx-proxy", PROXY], None, "F: --influx-proxy: the database is on this device "
             "(loopback) and is never reached through a proxy"),
            (["--influx-url", "http://influx.test:8086", "--influx-proxy", PROXY,
              "--influx-user", "writer", "--influx-password-file", password], None,
             "F: --influx-proxy: the database's password or token would reach the proxy in clear "
             "text over http://; use an https:// --influx-url"),
            # A long option abbreviated or unknown: never taken for another.
            (["--influx-password", password], None, usage),
            (["--influx-password-f=" + password], None, usage),
            (["--mqtt-tl"], None, usage),
            (["--influx-tokenfile", password], None, usage),
        )
        for args, env, expected in faults:
            with self.subTest(args=args, env=env):
                bridge = self.bridge("-c", IDENTITY, *args, env=env)
                self.assertEqual(bridge.wait_exit(timeout=20), 1)
                self.assertEqual(bridge.lines(), [expected])
                output = bridge.stdout_bytes()
                for secret in (token_secret, password_secret):
                    self.assertNotIn(secret.encode(), output)
        waiting = select.select(listeners, [], [], 0)[0]
        self.assertEqual([listener.getsockname()[1] for listener in waiting], [],
                         "connections were attempted")

    # The broker ------------------------------------------------------------------

    def test_tls_broker_with_a_password_or_a_client_certificate_delivers_to_influx(self):
        influx = self.influx()
        certs = self.certs
        password = self.secret_file("mqtt-password", "bridge-secret\n")
        cases = (
            ("user and password", dict(), "bridge",
             ["--mqtt-user", "bridge", "--mqtt-password-file", password]),
            # Without a certificate of the authority's, this broker refuses
            # the handshake (test_secure_servers).
            ("client certificate", dict(users={}, allow_anonymous=True, require_certificate=True),
             None, ["--mqtt-cert", certs.client_cert, "--mqtt-key", certs.client_key]),
        )
        for n, (name, broker_options, user, options) in enumerate(cases, start=1):
            with self.subTest(name):
                broker = self.tls_broker(**broker_options)
                # No --mqtt-port: 8883 with TLS.
                bridge = self.subscribed_bridge("--mqtt-cafile", certs.ca_cert, *options)
                self.assert_connected_over_tls(broker, user)
                send(n)
                stored = wait_until(lambda: [p for p in influx.points("temp", epoch="ms")
                                             if p["time"] == STAMP + n], 15, "the point")
                self.assertEqual([(p["host"], p["mqtt"], p["value"]) for p in stored],
                                 [(IDENTITY, '"%s"' % TOPIC, n)])
                self.stop_cleanly(bridge)
                broker.stop()

    def test_broker_refusing_the_credentials_ends_the_bridge(self):
        self.tls_broker()
        wrong = self.secret_file("wrong", "not-the-password\n")
        right = self.secret_file("right", "bridge-secret\n")
        for user, password in (("bridge", wrong), ("nobody", right)):
            with self.subTest(user=user, password=password):
                bridge = self.bridge("-c", IDENTITY, "--mqtt-cafile", self.certs.ca_cert,
                                     "--mqtt-user", user, "--mqtt-password-file", password)
                self.assertEqual(bridge.wait_exit(timeout=30), 1)
                self.assertEqual(bridge.lines(),
                                 ["I: connection refused: Connection Refused: not authorised."])

    def test_broker_certificate_not_trusted_is_retried_and_delivers_nothing(self):
        sink = self.started(CaptureSink().start())
        password = self.secret_file("mqtt-password", "bridge-secret\n")
        # An authority the bridge was not given; the right authority, another name.
        for server, put_right in (("untrusted", False), ("wrong_name", True)):
            with self.subTest(server=server):
                broker = self.tls_broker(server=server)
                bridge = self.bridge("-c", IDENTITY, "--mqtt-cafile", self.certs.ca_cert,
                                     "--mqtt-user", "bridge", "--mqtt-password-file", password)
                bridge.wait_line(r"^I: connection error: ", timeout=20, count=2)
                send(1)  # were the bridge subscribed, this would reach the sink
                errors = [(t, line) for t, line in bridge.timed_lines()]
                for _, line in errors:
                    self.assertRegex(line, NOT_VERIFIED)
                gaps = ping_gaps([t for t, _ in errors])
                self.assertGreater(min(gaps), 0.8, gaps)  # after the pause, not at once
                self.assertTrue(bridge.running())
                self.assertNotRegex(self.own_log(broker),
                                    r"New client connected .* as %s " % IDENTITY)
                self.assertEqual(sink.all_requests(), [])
                if put_right:
                    # The certificate is put right on the broker; the bridge,
                    # untouched, connects at its next attempt.
                    broker.stop()
                    broker = self.tls_broker()
                    self.assert_connected_over_tls(broker, "bridge")
                    wait_until(lambda: publish(TOPIC, "2 %d" % (STAMP + 2)) and sink.stored_lines(),
                               SUBSCRIBED_S, "a record once the certificate is right")
                    self.assertEqual(set(sink.stored_lines()), {record(2)})
                self.stop_cleanly(bridge)
                broker.stop()

    def test_every_tls_set_up_retries_a_failed_first_handshake_and_survives_a_broker_restart(self):
        sink = self.started(CaptureSink().start())
        certs = self.certs
        password = self.secret_file("mqtt-password", "bridge-secret\n")
        anyone = dict(users={}, allow_anonymous=True)
        cases = (  # name, broker options, bridge options, with the test's CA as the system's
            ("system trust store", anyone, ["--mqtt-tls"], SystemCas(self.workdir, certs.ca_cert)),
            ("CA file", anyone, ["--mqtt-cafile", certs.ca_cert], None),
            ("client certificate", dict(anyone, require_certificate=True),
             ["--mqtt-cafile", certs.ca_cert, "--mqtt-cert", certs.client_cert,
              "--mqtt-key", certs.client_key], None),
            ("password", {}, ["--mqtt-cafile", certs.ca_cert, "--mqtt-user", "bridge",
                              "--mqtt-password-file", password], None),
        )
        for n, (name, broker_options, options, system) in enumerate(cases):
            with self.subTest(name):
                broker = self.tls_broker(server="untrusted", **broker_options)
                bridge = self.bridge("-v", "-c", IDENTITY, *options, names=system)
                for line in bridge.wait_line(r"^[IF]: ", timeout=20, count=2):
                    self.assertRegex(line, NOT_VERIFIED)  # each attempt a handshake of its own
                for m in range(2):  # the broker put right, then restarted
                    broker.stop()
                    broker = self.tls_broker(**broker_options)
                    bridge.wait_subscribed(count=m + 1, timeout=SUBSCRIBED_S)
                    sent = 10 * n + m
                    wait_until(lambda: publish(TOPIC, "%d %d" % (sent, STAMP + sent))
                               and record(sent) in sink.stored_lines(), SUBSCRIBED_S, "the record")
                # A stop may also cut a handshake short; nothing else failed.
                for line in [l for l in bridge.lines() if re.match("^[IF]: ", l)]:
                    self.assertRegex(line, r"^I: connection error: (A TLS error occurred\..*"
                                           r"|The connection was lost\.|Connection refused)$")
                self.stop_cleanly(bridge)
                broker.stop()

    # A client certificate the broker refuses reaches libmosquitto as a failed
    # read (MOSQ_ERR_ERRNO with EPROTO, or a lost connection), not as
    # MOSQ_ERR_TLS: before the CONNACK it is still a failed handshake, retried
    # from the first connection on, and each line gives its own reason only.
    def test_client_certificate_the_broker_refuses_is_a_tls_failure_with_its_own_reason(self):
        sink = self.started(CaptureSink().start())
        anyone = dict(users={}, allow_anonymous=True)
        # The broker's alert may come too late to be read before the reset: a
        # reason is not always there to give.
        refused = r"^I: connection error: A TLS error occurred\.( \([^;]*certificate required\))?$"
        # The first connection: no certificate where one is required.
        broker = self.tls_broker(require_certificate=True, **anyone)
        bridge = self.bridge("-v", "-c", IDENTITY, "--mqtt-cafile", self.certs.ca_cert)
        first, = bridge.wait_line(r"^I: connection error: |^F: ", timeout=20)
        self.assertRegex(first, refused)
        bridge.wait_line(refused, timeout=20, count=2)  # tried again
        # Put right; then the same refusal on a reconnect; then a broker
        # certificate not trusted, whose line gives its own reason only.
        broker.stop()
        broker = self.tls_broker(**anyone)
        bridge.wait_subscribed(timeout=SUBSCRIBED_S)
        broker.stop()
        broker = self.tls_broker(require_certificate=True, **anyone)
        bridge.wait_line(refused, timeout=20, count=4)
        broker.stop()
        broker = self.tls_broker(server="untrusted", **anyone)
        untrusted = bridge.wait_line(r"certificate verify failed", timeout=20)
        self.assertRegex(untrusted[0], NOT_VERIFIED)
        self.assertEqual(sink.all_requests(), [])
        self.stop_cleanly(bridge)

    def test_mqtt_port_reaches_a_broker_on_another_port(self):
        broker = self.broker("listener 1884 127.0.0.1\n")
        sink = self.started(CaptureSink().start())
        bridge = self.subscribed_bridge("--mqtt-port", "1884")
        self.assertTrue(publish("v1/port/temp", "1 1700000000000"))
        wait_until(lambda: sink.stored_lines(), 20, "the record through port 1884")
        with open(broker.log, encoding="latin-1") as f:
            log = f.read()
        # The broker names the listener a connection came to, and then the
        # client that logged in over it.
        address = re.search(r"New client connected from (\S+) as %s " % IDENTITY, log).group(1)
        ports = re.findall(r"New connection from %s on port (\d+)" % re.escape(address), log)
        self.assertEqual(ports, ["1884"])
        self.stop_cleanly(bridge)

    def test_tls_broker_that_never_answers_the_handshake_is_given_up_after_the_keep_alive(self):
        peer = self.started(SilentPeer(8883).start())
        notify = self.started(NotifySocket(self.workdir))
        period = 0.4
        started = time.monotonic()
        # The system's trust store: the handshake never gets as far as a certificate.
        bridge = self.bridge("-c", IDENTITY, "--mqtt-tls",
                             env=notify.env(WATCHDOG_USEC=int(period * 1e6)))
        self.assertEqual(bridge.wait_exit(timeout=KEEP_ALIVE_S + 15), 1)
        took = time.monotonic() - started
        self.assertEqual(bridge.lines(), ["F: mosquitto_connect(): no answer from the broker "
                                          "within the keep-alive"])
        self.assertGreater(took, KEEP_ALIVE_S - 1, "given up before the keep-alive")
        # A TLS ClientHello (a handshake record, 0x16 0x03) went to port 8883.
        self.assertEqual([b[:2] for b in peer.first_bytes], [b"\x16\x03"])
        notify.settle()
        pings = [t for t, _ in notify.timed("WATCHDOG=1")]
        self.assertGreater(len(pings), 2 * KEEP_ALIVE_S, len(pings))
        # Every quarter period while idle; a turn held by the handshake would
        # be a gap of seconds.
        gaps = ping_gaps(pings)
        self.assertLess(max(gaps), period / 2 + LOAD_ROOM_S, ["%.3f" % g for g in gaps])

    # The database ------------------------------------------------------------------

    def test_influx_over_https_with_a_password_a_retention_policy_and_gzip(self):
        certs = self.certs
        influx = self.started(SecureInflux(self.workdir, certs)).start()
        influx.query("CREATE DATABASE packed", method="POST")
        influx.create_retention_policy("week")
        influx.create_user("writer", "writer-secret")  # may write to mydb only
        influx.query('GRANT WRITE ON "packed" TO "writer"', method="POST")
        self.broker()
        password = self.secret_file("influx-password", "writer-secret\n")
        login = ["--influx-url", "https://localhost:8086", "--influx-cafile", certs.ca_cert,
                 "--influx-user", "writer", "--influx-password-file", password]
        layouts = (("v1/kitchen/temp", "21.5 1700000000001"),
                   ("v1/kitchen/temp", "sensor=a celsius=22.5 1700000000002"),
                   ("v1/hall/humidity", 'note="\u00fcn\u00ef\u2713" 1700000000003'.encode()))

        def points(database, rp=None):
            found = {}
            for measurement in ("temp", "humidity", "count"):
                found[measurement] = sorted(
                    influx.points(measurement, database, epoch="ms", rp=rp),
                    key=lambda p: (p["time"], p.get("mqtt") or ""))
            return found

        def publish_all():
            for topic, payload in layouts:
                self.assertTrue(publish(topic, payload))
            publish_many("v1/bulk/count", 300)  # bodies of many records

        runs = (("plain", "mydb", []), ("gzip", "packed", ["--influx-gzip"]))
        for name, database, options in runs:
            with self.subTest(name):
                bridge = self.subscribed_bridge(*login, "--influx-db", database, *options)
                publish_all()
                wait_until(lambda: len(points(database)["count"]) == 300
                           and len(points(database)["temp"]) == 2, 30, "the points in " + database)
                self.stop_cleanly(bridge)
        plain, packed = points("mydb"), points("packed")
        self.assertEqual((len(plain["temp"]), len(plain["humidity"]), len(plain["count"])),
                         (2, 1, 300))
        self.assertEqual(plain["humidity"][0]["note"], "\u00fcn\u00ef\u2713")
        self.assertEqual(packed, plain)

        with self.subTest("retention policy"):
            bridge = self.subscribed_bridge(*login, "--influx-rp", "week")
            self.assertTrue(publish(TOPIC, "9 %d" % (STAMP + 9)))
            stored = wait_until(lambda: influx.points("temp", epoch="ms", rp="week"), 15,
                                "the point in the retention policy")
            self.assertEqual([(p["time"], p["value"]) for p in stored], [(STAMP + 9, 9)])
            self.assertNotIn(STAMP + 9, [p["time"] for p in influx.points("temp", epoch="ms")])
            self.stop_cleanly(bridge)

    def test_database_refusing_the_credentials_keeps_the_records_until_it_accepts(self):
        self.broker()
        sink = self.started(CaptureSink(statuses=[401, 403]).start())
        password = self.secret_file("influx-password", "stale-password\n")
        bridge = self.subscribed_bridge("--influx-user", "writer",
                                        "--influx-password-file", password)
        send(1)
        bridge.wait_line(r"^I: database unreachable: ", timeout=15)
        send(2, 3)
        wait_until(lambda: len(sink.stored_lines()) >= 3, 20, "the three records")
        self.assertEqual(sink.stored_lines(), [record(1), record(2), record(3)])
        ended, = bridge.wait_line(r"^I: database reachable again ", timeout=10)
        self.assertRegex(ended, r"^I: database reachable again after \d+ s; records delivered "
                                r"from the backlog: [1-3], still pending: 0$")
        info = [line for line in bridge.lines() if line.startswith("I: ")]
        self.assertEqual(info, ["I: database unreachable: HTTP status 401; records kept: 1", ended])
        requests = sink.all_requests()
        self.assertEqual([r.status for r in requests[:3]], [401, 403, 204])
        self.assertEqual({r.header("Authorization") for r in requests},
                         {basic_auth("writer", "stale-password")})
        self.assertTrue(bridge.running())

    def test_database_certificate_not_trusted_or_tls_below_1_2_is_an_outage_keeping_records(self):
        self.broker()
        for sink_options, reason in (
                (dict(server="untrusted"), r"certificate verification failed"),
                (dict(server="wrong_name"), r"certificate subject name \(other\.invalid\) "
                                            r"does not match target host name '127\.0\.0\.1'"),
                (dict(tls=ssl.TLSVersion.TLSv1_1), r"protocol version")):
            with self.subTest(**sink_options):
                sink = self.started(CaptureSink(certs=self.certs, **sink_options).start())
                bridge = self.subscribed_bridge("--influx-url", sink.url,
                                                "--influx-cafile", self.certs.ca_cert)
                send(1)
                outage, = bridge.wait_line(r"^I: database unreachable: ", timeout=15)
                self.assertRegex(outage,
                                 r"^I: database unreachable: .*%s.*; records kept: 1$" % reason)
                # Tried again after the back-off, refused the same way.
                bridge.wait_line(r"^D: POST failed: .*%s" % reason, timeout=15, count=2)
                self.assertEqual(sink.all_requests(), [])
                sink.stop()
                sink = self.started(CaptureSink(certs=self.certs).start())  # put right
                wait_until(lambda: sink.stored_lines() == [record(1)], 20, "the record kept")
                self.stop_cleanly(bridge)
                sink.stop()

    def test_a_tls_port_reached_with_http_keeps_every_record(self):
        # Their 400 is no refusal of a record by the database: every record is
        # kept (with --spool, in the spool), and the line says what answered.
        self.broker()
        spool = os.path.join(self.workdir, "spool")
        os.makedirs(spool)
        for name, server, url, answered, options, kept in (
                ("nginx", lambda: Nginx(self.workdir, self.certs, https=True),
                 "http://localhost:8087/influx", r"Server: nginx/[\d.]+; body: <html> <head><title>"
                 r"400 The plain HTTP request was sent to HTTPS port</title>", (),
                 "I: records not delivered at shutdown: 20"),
                ("InfluxDB", lambda: SecureInflux(self.workdir, self.certs, auth=False),
                 "http://localhost:8086", r"body: Client sent an HTTP request to an HTTPS server\.",
                 ("--spool", spool), "I: records kept in the spool at shutdown: 20")):
            peer = self.started(server()).start()
            bridge = self.subscribed_bridge("--influx-url", url, *options)
            send(1)
            outage, = bridge.wait_line(r"^I: database unreachable: ", timeout=15)
            self.assertRegex(outage, r"; records kept: 1$")
            # What answered, in the outage's line or a later failure's: InfluxDB may
            # reset the connection before its 400 is read.
            bridge.wait_line(r"^(I: database unreachable|D: POST failed): HTTP status 400 \(%s"
                             % answered, timeout=15)
            send(*range(2, 21))
            bridge.wait_line(r"^T: temp,.* %d$" % (STAMP + 20))
            # Narrowed down (InfluxDB resets a connection whose body it left unread: kept too).
            bridge.wait_line(r"^D: POST failed: ", timeout=30, count=4)
            self.stop_cleanly(bridge)
            self.assertEqual([l for l in bridge.lines() if "dropped" in l], [], name)
            self.assertIn(kept, bridge.lines(), name)
            peer.stop()

    def test_database_that_never_answers_the_handshake_fails_within_the_connect_time_out(self):
        self.broker()
        peer = self.started(SilentPeer(8086).start())
        notify = self.started(NotifySocket(self.workdir))
        period = 0.4
        bridge = self.subscribed_bridge("--influx-url", "https://localhost:8086",
                                        "--influx-cafile", self.certs.ca_cert,
                                        env=notify.env(WATCHDOG_USEC=int(period * 1e6)))
        send(1)
        outage, = bridge.wait_line(r"^I: database unreachable: ", timeout=15)
        self.assertRegex(outage, r"^I: database unreachable: .*time.*; records kept: 1$")
        lines = bridge.timed_lines()
        trace = "T: https://localhost:8086/write?db=mydb&precision=ms"
        posted = [t for t, line in lines if line == trace]
        failed = [t for t, line in lines if line == outage]
        # The connect time-out (not the transfer's 5 s), waited for (not given up at once).
        self.assertLess(failed[0] - posted[0], CONNECT_TIMEOUT_S + LOAD_ROOM_S)
        self.assertGreater(failed[0] - posted[0], CONNECT_TIMEOUT_S / 2)
        self.assertEqual(peer.first_bytes[0][:2], b"\x16\x03")
        # The next attempt, after the back-off, is held the same way; the loop
        # kept pinging through both.
        bridge.wait_line(r"^D: POST failed: ", timeout=15, count=2)
        self.assertTrue(bridge.running())
        pings = [t for t, _ in notify.timed("WATCHDOG=1") if t >= posted[0]]
        gaps = ping_gaps(pings)
        self.assertGreater(len(pings), 10, len(pings))
        self.assertLess(max(gaps), period / 2 + LOAD_ROOM_S, ["%.3f" % g for g in gaps])

    def test_a_proxy_is_used_only_when_named_and_then_as_a_tunnel(self):
        self.broker()
        sink = self.started(CaptureSink(certs=self.certs).start())
        proxy = self.started(HttpSink(PROXY_PORT).start())
        proxy.default_answer = ("tunnel", sink.port)
        password = self.secret_file("influx-password", "writer-secret\n")
        login = ["--influx-cafile", self.certs.ca_cert, "--influx-user", "writer",
                 "--influx-password-file", password]
        environment = {name: PROXY for name in ("http_proxy", "https_proxy", "HTTPS_PROXY",
                                                "ALL_PROXY", "all_proxy")}
        remote = "https://influx.test:8086"
        cases = (  # name, options, the bridge's own names, the requests the proxy sees
            ("environment, local database", ["--influx-url", "https://localhost:8086"], None, []),
            ("environment, remote database", ["--influx-url", remote],
             PrivateNames(self.workdir, "127.0.0.1 localhost influx.test\n"), []),
            # The bridge cannot resolve influx.test: only the proxy can reach it.
            ("option", ["--influx-url", remote, "--influx-proxy", PROXY], None,
             ["CONNECT influx.test:8086 HTTP/1.1"]),
        )
        for n, (name, options, names, tunnels) in enumerate(cases, start=1):
            with self.subTest(name):
                seen = len(proxy.all_requests())
                bridge = self.subscribed_bridge(*options, *login, env=environment, names=names)
                send(n)
                wait_until(lambda: record(n) in sink.stored_lines(), 15, "the record")
                self.assertEqual([r.request_line for r in proxy.all_requests()[seen:]], tunnels)
                # The password went inside the tunnel's TLS only.
                self.assertEqual([r for r in proxy.all_requests() if r.header("Authorization")], [])
                self.assertEqual(sink.all_requests()[-1].header("Authorization"),
                                 basic_auth("writer", "writer-secret"))
                self.stop_cleanly(bridge)

    def test_path_behind_a_reverse_proxy_is_not_doubled(self):
        influx = self.influx()
        nginx = self.started(Nginx(self.workdir, self.certs, https=True).start())
        self.broker()
        for n, path in enumerate(("/influx/", "/influx", "/influx//"), start=1):
            with self.subTest(path=path):
                url = "https://localhost:%d%s" % (nginx.port, path)
                bridge = self.subscribed_bridge("--influx-url", url,
                                                "--influx-cafile", self.certs.ca_cert)
                send(n)
                wait_until(lambda: STAMP + n in [p["time"]
                                                 for p in influx.points("temp", epoch="ms")],
                           15, "the point through the proxy")
                self.stop_cleanly(bridge)
        self.assertEqual(sorted(p["value"] for p in influx.points("temp")), [1, 2, 3])
        requests = nginx.requests(at_least=3)
        self.assertEqual({(r["method"], r["target"], r["status"]) for r in requests},
                         {("POST", "/influx/write?db=mydb&precision=ms", "204")})

    def test_victoria_metrics_over_https_with_basic_authentication(self):
        vm = self.started(VictoriaMetrics(self.workdir, self.certs)).start()
        self.broker()
        password = self.secret_file("vm-password", vm.password + "\n")
        bridge = self.subscribed_bridge("--influx-url", "https://localhost:%d" % vm.port,
                                        "--influx-cafile", self.certs.ca_cert,
                                        "--influx-user", vm.user,
                                        "--influx-password-file", password)
        self.assertTrue(publish(TOPIC, "sensor=a celsius=21.5 %d" % STAMP))
        self.assertTrue(publish("v1/hall/temp", "22.5 %d" % (STAMP + 1)))
        celsius = wait_until(lambda: vm.points("temp_celsius"), 20, "temp_celsius")
        value = wait_until(lambda: vm.points("temp_value"), 20, "temp_value")
        labels = {"db": "mydb", "host": IDENTITY}
        self.assertEqual(celsius, [dict(labels, mqtt='"%s"' % TOPIC, sensor="a", value=21.5,
                                        time=STAMP)])
        self.assertEqual(value, [dict(labels, mqtt='"v1/hall/temp"', value=22.5, time=STAMP + 1)])
        self.assertEqual([line for line in bridge.lines() if line.startswith("I: ")], [])

    def test_requests_carry_exactly_what_the_database_options_ask(self):
        self.broker()
        sink = self.started(CaptureSink().start())
        token = self.secret_file("token", "tok-Abc.123_x\n")
        password = self.secret_file("password", "p@ss w:rd\r\n")  # the CR LF is not part of it
        plain_target = "/write?db=mydb&precision=ms"
        # What every request carries, and nothing else, without the new options.
        baseline = [("Host", "localhost:8086"),
                    ("Content-Type", "text/plain; charset=utf-8"),
                    ("Accept", "application/json"),
                    ("Transfer-Encoding", "chunked")]
        cases = (
            # name, options, target, headers added, messages
            ("no remote options", [], plain_target, [], 3),
            ("token", ["--influx-token-file", token], plain_target,
             [("Authorization", "Token tok-Abc.123_x")], 3),
            ("basic", ["--influx-user", "writer", "--influx-password-file", password], plain_target,
             [("Authorization", "Basic " + base64.b64encode(b"writer:p@ss w:rd").decode())], 3),
            ("database and policy encoded", ["--influx-db", "my db", "--influx-rp", "a&b"],
             "/write?db=my%20db&rp=a%26b&precision=ms", [], 3),
            ("gzip", ["--influx-gzip"], plain_target, [("Content-Encoding", "gzip")], 300),
            ("base path", ["--influx-url", "http://localhost:8086/api/v1/"],
             "/api/v1" + plain_target, [], 3),
        )
        first = 0
        for name, options, target, added, count in cases:
            with self.subTest(name):
                seen = len(sink.all_requests())
                bridge = self.subscribed_bridge(*options)
                if count > 3:
                    publish_many(TOPIC, count, first=first)
                else:
                    send(*range(first, first + count))
                expected = [record(n) for n in range(first, first + count)]
                wait_until(lambda: len(sink.stored_lines()) >= first + count, 30, "the records")
                requests = sink.all_requests()[seen:]
                stored = [line for r in requests if r.stored
                          for line in r.body.decode().splitlines()]
                self.assertEqual(stored, expected)
                added_names = {n for n, _ in added}
                for request in requests:
                    self.assertEqual(request.request_line, "POST %s HTTP/1.1" % target)
                    self.assertEqual([h for h in request.headers if h[0] not in added_names],
                                     baseline)
                    self.assertEqual([h for h in request.headers if h[0] in added_names], added)
                    if ("Content-Encoding", "gzip") in added:
                        self.assertEqual(request.raw_body[:2], b"\x1f\x8b")
                        self.assertEqual(gzip.decompress(request.raw_body), request.body)
                    else:
                        self.assertEqual(request.raw_body, request.body)
                self.stop_cleanly(bridge)
                first += count

    def test_credentials_directory_supplies_the_secrets_without_file_options(self):
        broker = self.tls_broker()
        sink = self.started(CaptureSink().start())
        token_file = self.secret_file("token", "file-token\n")
        mqtt = {"mqtt-password": broker.password + "\n"}
        cases = (
            ("token and broker password", dict(mqtt, **{"influx-token": "cred-token\n"}), [],
             "Token cred-token"),
            ("a password without --influx-user is not used",
             dict(mqtt, **{"influx-password": "cred-password"}), [], None),
            ("with --influx-user the password, not the token",
             dict(mqtt, **{"influx-password": "cred-password", "influx-token": "cred-token"}),
             ["--influx-user", "writer"], basic_auth("writer", "cred-password")),
            ("the option's file before the credential",
             dict(mqtt, **{"influx-token": "cred-token"}),
             ["--influx-token-file", token_file], "Token file-token"),
        )
        for n, (name, files, options, authorization) in enumerate(cases, start=1):
            with self.subTest(name):
                folder = self.credentials("credentials-%d" % n, files)
                seen = len(sink.all_requests())
                # --mqtt-user without --mqtt-password-file: the broker wants the password.
                bridge = self.subscribed_bridge("--mqtt-cafile", self.certs.ca_cert,
                                                "--mqtt-user", broker.user, *options,
                                                env={"CREDENTIALS_DIRECTORY": folder})
                send(n)
                wait_until(lambda: len(sink.stored_lines()) >= n, 15, "the record")
                request = sink.all_requests()[seen]
                self.assertEqual(request.body.decode(), record(n) + "\n")
                self.assertEqual(request.header("Authorization"), authorization)
                self.stop_cleanly(bridge)
        logins = re.findall(r"New client connected from \S+ as %s \(.*u'(\w+)'\)" % IDENTITY,
                            broker.log_text())
        self.assertEqual(logins, [broker.user] * len(cases))

    def test_secrets_never_show_in_the_process_its_output_or_its_status(self):
        mqtt_secret = "mqtt-pw-Q7xK2vR9"
        token_secret = "influx-tok-Z3mW8pL5"
        broker = self.tls_broker(users={"bridge": mqtt_secret})
        sink = self.started(CaptureSink(statuses=[(401, b'{"error":"authorization failed"}'),
                                                  500]).start())
        notify = self.started(NotifySocket(self.workdir))
        mqtt_file = self.secret_file("mqtt-password", mqtt_secret + "\n")
        token_file = self.secret_file("influx-token", token_secret + "\n")
        bridge = self.subscribed_bridge("--mqtt-cafile", self.certs.ca_cert,
                                        "--mqtt-user", "bridge",
                                        "--mqtt-password-file", mqtt_file,
                                        "--influx-token-file", token_file, env=notify.env())
        with open("/proc/%d/cmdline" % bridge.pid, "rb") as f:
            command_line = f.read()
        with open("/proc/%d/environ" % bridge.pid, "rb") as f:
            environment = f.read()
        self.assertIn(b"--influx-token-file\0" + token_file.encode(), command_line)
        send(1)
        bridge.wait_line(r"^I: database unreachable: HTTP status 401; records kept: 1$", timeout=15)
        notify.wait_for("STATUS=database unreachable since ", timeout=15)
        send(2)
        bridge.wait_line(r"^I: database reachable again ", timeout=20)
        self.assertEqual(sink.stored_lines(), [record(1), record(2)])
        # Both secrets were in use.
        self.assertEqual({r.header("Authorization") for r in sink.all_requests()},
                         {"Token " + token_secret})
        self.assert_connected_over_tls(broker, "bridge")
        self.stop_cleanly(bridge)
        notify.settle()
        statuses = "\n".join(notify.texts()).encode()
        self.assertIn(b"STATUS=database unreachable since ", statuses)
        for where, text in (("command line", command_line), ("environment", environment),
                            ("standard output", bridge.stdout_bytes()),
                            ("standard error", bridge.errors), ("notifications", statuses)):
            for secret in (mqtt_secret, token_secret):
                self.assertNotIn(secret.encode(), text, where)


if __name__ == "__main__":
    unittest.main()
