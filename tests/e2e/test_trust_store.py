"""The system's trust store: used by default, replaced by a CA file.

The bridge runs in a mount namespace of its own where /etc/ssl/certs holds
the test's CA alone (as a bundle and as a hashed link, the two ways the TLS
libraries look there), so "the system's trust store" is one the test controls.
"""

import os

from harness import BridgeTestCase, publish, wait_until
from secure_servers import CaptureSink, Certificates, SystemCas, TlsBroker


class TrustStoreTest(BridgeTestCase):
    def setUp(self):
        super().setUp()
        self.certs = Certificates(self.workdir)
        self.system = SystemCas(self.workdir, self.certs.ca_cert)

    def test_database_verified_by_the_system_store_unless_a_ca_file_replaces_it(self):
        sink = self.started(CaptureSink(certs=self.certs)).start()
        self.broker()
        trusting = self.bridge("-v", "-c", "node-17", "--influx-url", "https://localhost:8086",
                               names=self.system)
        trusting.wait_subscribed()
        self.assertTrue(publish("v1/a/temp", "1 1700000000000"))
        wait_until(lambda: sink.stored_lines(), 20, "the record over the system's store")
        trusting.stop()

        # The other CA alone: the system's CA (which signed the sink's
        # certificate) must no longer count.
        replaced = self.bridge("-v", "-c", "node-17", "--influx-url", "https://localhost:8086",
                               "--influx-cafile", self.certs.untrusted_ca_cert, names=self.system)
        replaced.wait_subscribed()
        self.assertTrue(publish("v1/b/temp", "2 1700000001000"))
        line = replaced.wait_line(r"^I: database unreachable: ", 20)[0]
        self.assertRegex(line, r"(?i)certificate|issuer|verif")
        self.assertEqual([l for l in sink.stored_lines() if l.startswith("temp")],
                         ['temp,host=node-17,mqtt="v1/a/temp" value=1 1700000000000'])

    def test_broker_verified_by_the_system_store_with_mqtt_tls(self):
        broker = self.started(TlsBroker(self.workdir, self.certs)).start()
        sink = self.started(CaptureSink()).start()
        password_file = os.path.join(self.workdir, "mqtt-password")
        with open(password_file, "w") as f:
            f.write(broker.password + "\n")
        bridge = self.bridge("-v", "-c", "node-17", "--mqtt-tls", "--mqtt-user", broker.user,
                             "--mqtt-password-file", password_file, names=self.system)
        bridge.wait_subscribed()
        self.assertTrue(publish("v1/c/temp", "3 1700000002000"))
        wait_until(lambda: sink.stored_lines(), 20, "the record through the TLS broker")
