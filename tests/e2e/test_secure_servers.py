"""The servers of secure_servers.py do what the bridge's tests will count on."""

import gzip
import ssl
import subprocess
import urllib.error

from harness import BridgeTestCase, publish, wait_until
from secure_servers import (CaptureSink, Certificates, Nginx, SecureInflux, TlsBroker,
                            VictoriaMetrics, basic_auth, http_request, mqtt_client_args,
                            publish_tls, send_chunked)


class SecureServersTest(BridgeTestCase):
    def setUp(self):
        super().setUp()
        self.certs = Certificates(self.workdir)

    def assert_publish_outcomes(self, cases):
        for name, connection, accepted in cases:
            done = publish_tls("t/a", "1", **connection)
            self.assertEqual(done.returncode == 0, accepted,
                             (name, done.returncode, done.stderr.decode("latin-1")))

    def test_tls_broker_takes_only_the_right_password_over_a_trusted_connection(self):
        certs = self.certs
        broker = self.started(TlsBroker(self.workdir, certs)).start()
        right = dict(cafile=certs.ca_cert, user=broker.user, password=broker.password)
        self.assert_publish_outcomes([
            ("right password, by name", right, True),
            ("right password, by address", dict(right, host="127.0.0.1"), True),
            ("wrong password", dict(right, password="wrong"), False),
            ("no user", dict(cafile=certs.ca_cert), False),
            ("server not trusted", dict(right, cafile=certs.untrusted_ca_cert), False),
            ("the system's authorities only", dict(user=broker.user, password=broker.password), False),
        ])
        broker.wait_log(r"New client connected from 127\.0\.0\.1:\d+ as \S+ \(.*u'bridge'\)")

        # What the plain listener takes reaches a subscriber on the TLS one.
        subscriber = subprocess.Popen(["mosquitto_sub"] + mqtt_client_args(**right)
                                      + ["-t", "t/#", "-C", "1", "-W", "20"],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            broker.wait_log(r"^\S+ Received SUBSCRIBE from ")
            self.assertTrue(publish("t/plain", "via 1883"))
            out, err = subscriber.communicate(timeout=20)
        finally:
            if subscriber.poll() is None:
                subscriber.kill()
                subscriber.wait()
        self.assertEqual((subscriber.returncode, out), (0, b"via 1883\n"), err)

    def test_tls_broker_can_require_a_certificate_and_serve_an_untrusted_one(self):
        certs = self.certs
        self.started(TlsBroker(self.workdir, certs, users={}, allow_anonymous=True,
                               require_certificate=True, server="untrusted")).start()
        trusting = dict(cafile=certs.untrusted_ca_cert)
        self.assert_publish_outcomes([
            ("client certificate", dict(trusting, cert=certs.client_cert, key=certs.client_key), True),
            ("no client certificate", trusting, False),
            ("client certificate of another authority",
             dict(trusting, cert=certs.untrusted_client_cert, key=certs.untrusted_client_key), False),
            ("server not trusted", dict(cafile=certs.ca_cert, cert=certs.client_cert,
                                        key=certs.client_key), False),
        ])

    def test_secure_influx_stores_only_authenticated_writes_over_https(self):
        certs = self.certs
        influx = self.started(SecureInflux(self.workdir, certs)).start()
        self.assertTrue(influx.url.startswith("https://"))
        influx.create_retention_policy("week")
        influx.create_user("writer", "writer-secret")
        wrong = {"Authorization": basic_auth("admin", "wrong")}
        writer = {"Authorization": basic_auth("writer", "writer-secret")}
        gzipped = gzip.compress(b"m value=3 1700000000003000000\n")
        for name, arguments, status in (
                ("no credentials", dict(lines=b"m value=0 1700000000000000000", login=False), 401),
                ("wrong password", dict(lines=b"m value=0 1700000000000000000", login=False,
                                        headers=wrong), 401),
                ("administrator", dict(lines=b"m value=1 1700000000001000000"), 204),
                ("writer", dict(lines=b"m value=2 1700000000002000000", login=False,
                                headers=writer), 204),
                ("gzip", dict(lines=gzipped, headers={"Content-Encoding": "gzip"}), 204),
                ("retention policy", dict(lines=b"m value=4 1700000000004000000", rp="week"), 204)):
            self.assertEqual(influx.write(**arguments)[0], status, name)
        self.assertEqual([p["value"] for p in influx.points("m", epoch="ms")], [1, 2, 3])
        self.assertEqual([(p["time"], p["value"]) for p in influx.points("m", epoch="ms", rp="week")],
                         [(1700000000004, 4)])
        with self.assertRaises(urllib.error.URLError) as refused:
            http_request(influx.url + "/ping", cafile=certs.untrusted_ca_cert)
        self.assertIsInstance(refused.exception.reason, ssl.SSLCertVerificationError)

    def test_victoria_metrics_stores_an_authenticated_line_protocol_write(self):
        vm = self.started(VictoriaMetrics(self.workdir, self.certs)).start()
        body = b"m,sensor=a value=1.5,other=2 1700000000000000000\n"
        self.assertEqual(vm.write(body, database="mydb", login=False)[0], 401)
        self.assertEqual(vm.points("m_value"), [])
        self.assertEqual(vm.write(body, database="mydb")[0], 204)
        stored = wait_until(lambda: vm.points("m_value"), 10, "the point in VictoriaMetrics")
        self.assertEqual(stored, [{"db": "mydb", "sensor": "a", "value": 1.5, "time": 1700000000000}])
        self.assertEqual(sorted(s["metric"]["__name__"] for s in vm.series()), ["m_other", "m_value"])

    def test_nginx_passes_a_prefix_and_chunked_bodies_on_to_influx(self):
        certs = self.certs
        influx = self.started(SecureInflux(self.workdir, certs, https=False)).start()
        nginx = self.started(Nginx(self.workdir, certs, https=True)).start()
        chunks = [b"m value=1 1700000000001000000\n", b"m value=2 1700000000002000000\n"]
        login = {"Authorization": basic_auth(influx.admin_user, influx.admin_password)}
        write = nginx.url + "/write?db=mydb"
        self.assertEqual(send_chunked(write, chunks, cafile=certs.ca_cert)[0], 401)
        self.assertEqual(send_chunked(write, chunks, login, cafile=certs.ca_cert)[0], 204)
        self.assertEqual(http_request("https://127.0.0.1:%d/write?db=mydb" % nginx.port, "POST",
                                      chunks[0], login, certs.ca_cert)[0], 404)
        self.assertEqual([p["value"] for p in influx.points("m")], [1, 2])
        self.assertEqual([(r["method"], r["target"], r["status"], r["transfer_encoding"],
                           r["upstream_status"]) for r in nginx.requests(at_least=3)], [
            ("POST", "/influx/write?db=mydb", "401", "chunked", "401"),
            ("POST", "/influx/write?db=mydb", "204", "chunked", "204"),
            ("POST", "/write?db=mydb", "404", "-", "-"),
        ])

    def test_capture_sink_records_decoded_requests_and_answers_as_scripted(self):
        certs = self.certs
        sink = self.started(CaptureSink(certs=certs, statuses=[401, (500, b'{"error":"x"}')])).start()
        records = b"".join(b"m value=%d 17000000000%02d000000\n" % (n, n) for n in range(50))
        packed = gzip.compress(records)
        headers = {"Content-Encoding": "gzip", "Authorization": "Token abc",
                   "Content-Type": "text/plain"}
        answers = [
            send_chunked(sink.url + "/api/write?db=mydb&rp=week", [packed[:10], packed[10:]],
                         headers, certs.ca_cert),
            http_request(sink.url + "/write?db=x%20y", "POST", b"m value=1", cafile=certs.ca_cert),
            http_request(sink.url + "/ping", cafile=certs.ca_cert),
        ]
        self.assertEqual(answers, [(401, b""), (500, b'{"error":"x"}'), (204, b"")])
        first, second, third = sink.all_requests()
        self.assertEqual((first.method, first.path, first.query), ("POST", "/api/write",
                                                                    {"db": "mydb", "rp": "week"}))
        self.assertEqual([n for n, _ in first.headers if n in headers], list(headers))
        self.assertEqual(first.header("authorization"), "Token abc")
        self.assertTrue(first.chunked and first.complete)
        self.assertEqual((first.raw_body, first.body, first.decode_error), (packed, records, None))
        self.assertEqual((second.target, second.query, second.chunked, second.body, second.raw_body),
                         ("/write?db=x%20y", {"db": "x y"}, False, b"m value=1", b"m value=1"))
        self.assertEqual((third.method, third.target, third.body), ("GET", "/ping", b""))

        with self.assertRaises(urllib.error.URLError) as refused:
            http_request(sink.url + "/ping", cafile=certs.untrusted_ca_cert)
        self.assertIsInstance(refused.exception.reason, ssl.SSLCertVerificationError)
        wait_until(lambda: sink.tls_failures, 10, "the sink to note the failed handshake")
        sink.stop()

        sink = self.started(CaptureSink(certs=certs, server="wrong_name")).start()
        with self.assertRaises(urllib.error.URLError) as refused:
            http_request(sink.url + "/ping", cafile=certs.ca_cert)
        self.assertIn("IP address mismatch", str(refused.exception.reason))
        self.assertEqual(sink.all_requests(), [])
