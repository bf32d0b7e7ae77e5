"""Servers for the end-to-end tests of remote, secured endpoints: test
certificates, a mosquitto broker with TLS and passwords, InfluxDB 1.x with
HTTPS and authentication, VictoriaMetrics, an nginx reverse proxy and a
capturing HTTP(S) server.

Like harness.py, each server runs in the test's own network namespace on a
fixed port, is waited for with a deadline and is stopped by pid. Every server
that speaks TLS takes its certificate from a Certificates: `server="trusted"`
(the default) serves the certificate for localhost, 127.0.0.1 and influx.test
(a name only a test proxy resolves) issued by certs.ca_cert, "wrong_name" one
issued by the same authority for another name, "untrusted" one issued by a
second authority that no client is given.
"""

import atexit
import base64
import http.client
import json
import os
import re
import shutil
import ssl
import subprocess
import tempfile
import urllib.error
import urllib.parse
import urllib.request

from harness import BROKER_PORT, DATABASE_PORT, Influx, port_open, stop_process, wait_until
from http_sink import HttpSink

TLS_BROKER_PORT = 8883
VICTORIA_METRICS_PORT = 8428
PROXY_PORT = 8087


def wait_listening(process, port, what, log=None, timeout=30):
    """Waits until `port` takes connections; fails at once, with the end of the
    server's log, when the process ends first."""

    def listening():
        if process.poll() is not None:
            tail = ""
            if log and os.path.exists(log):
                with open(log, "rb") as f:
                    tail = f.read()[-2000:].decode("latin-1")
            raise AssertionError("%s ended with status %d before listening on %d:\n%s"
                                 % (what, process.returncode, port, tail))
        return port_open(port)
    wait_until(listening, timeout, "%s to listen on %d" % (what, port))


def client_context(cafile):
    """A TLS client context that trusts only `cafile` and checks host names."""
    return ssl.create_default_context(cafile=cafile)


def basic_auth(user, password):
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    return "Basic " + token


def http_request(url, method="GET", body=None, headers=None, cafile=None, timeout=10):
    """Sends one request; returns (status, body) for any answer, errors included."""
    request = urllib.request.Request(url, data=body, method=method, headers=headers or {})
    context = client_context(cafile) if url.startswith("https:") else None
    try:
        with urllib.request.urlopen(request, timeout=timeout, context=context) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


# Certificates -----------------------------------------------------------------

_SERVER_NAMES = "DNS:localhost,DNS:influx.test,IP:127.0.0.1"
_EXTENSIONS = {  # of the certificates an authority issues
    "server": "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=serverAuth\nsubjectAltName=%s\n"
              "authorityKeyIdentifier=keyid\n",
    "client": "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=clientAuth\nauthorityKeyIdentifier=keyid\n",
}
_made_once = None  # a folder holding one set, made by the first Certificates of the process


def _openssl(*args):
    done = subprocess.run(["openssl"] + list(args), capture_output=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError("openssl %s failed: %s" % (args[0], done.stderr.decode("latin-1")))


def _make_certificates(folder):
    """Two authorities and what they issue, EC P-256 keys (fast to make), valid ten years."""

    def key_and_request(name, subject):
        _openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                 "-keyout", os.path.join(folder, name + ".key"),
                 "-out", os.path.join(folder, name + ".csr"), "-subj", subject)

    def sign(name, issuer, kind, serial, names=_SERVER_NAMES):
        extensions = os.path.join(folder, name + ".ext")
        with open(extensions, "w") as f:
            f.write(_EXTENSIONS[kind] % names if kind == "server" else _EXTENSIONS[kind])
        _openssl("x509", "-req", "-in", os.path.join(folder, name + ".csr"),
                 "-CA", os.path.join(folder, issuer + ".crt"),
                 "-CAkey", os.path.join(folder, issuer + ".key"),
                 "-set_serial", str(serial), "-days", "3650", "-extfile", extensions,
                 "-out", os.path.join(folder, name + ".crt"))

    for authority in ("ca", "untrusted-ca"):
        _openssl("req", "-x509", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                 "-nodes", "-keyout", os.path.join(folder, authority + ".key"),
                 "-out", os.path.join(folder, authority + ".crt"), "-days", "3650",
                 "-subj", "/CN=Bridge test %s" % authority, "-extensions", "v3_ca",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    issued = (("server", "ca", "server", "/CN=localhost", _SERVER_NAMES),
              ("wrong-name", "ca", "server", "/CN=other.invalid", "DNS:other.invalid"),
              ("client", "ca", "client", "/CN=bridge-client", None),
              ("untrusted-server", "untrusted-ca", "server", "/CN=localhost", _SERVER_NAMES),
              ("untrusted-client", "untrusted-ca", "client", "/CN=bridge-client", None))
    for serial, (name, issuer, kind, subject, names) in enumerate(issued, start=2):
        key_and_request(name, subject)
        sign(name, issuer, kind, serial, names)
    for leftover in os.listdir(folder):
        if leftover.endswith((".csr", ".ext")):
            os.remove(os.path.join(folder, leftover))


class Certificates:
    """Test certificates in workdir/certs, PEM files (keys unencrypted, PKCS#8):

    ca_cert, ca_key                       the authority the clients are given
    server_cert, server_key               for localhost, influx.test and 127.0.0.1, serverAuth
    wrong_name_cert, wrong_name_key       by the same authority for other.invalid only
    client_cert, client_key               CN bridge-client, clientAuth
    untrusted_ca_cert, untrusted_ca_key   a second authority, given to no client
    untrusted_server_cert, ..._key        by the second one, for the same names
    untrusted_client_cert, ..._key        by the second one, clientAuth

    The first set of a process is made with openssl and copied for every later
    test of the process: each test gets files of its own to change or remove."""

    def __init__(self, workdir):
        global _made_once
        if _made_once is None:
            folder = tempfile.mkdtemp(prefix="bridge-certs-")
            atexit.register(shutil.rmtree, folder, True)
            _make_certificates(folder)
            _made_once = folder
        self.dir = os.path.join(workdir, "certs")
        shutil.copytree(_made_once, self.dir)
        for attribute, name in (("ca", "ca"), ("server", "server"), ("wrong_name", "wrong-name"),
                                ("client", "client"), ("untrusted_ca", "untrusted-ca"),
                                ("untrusted_server", "untrusted-server"),
                                ("untrusted_client", "untrusted-client")):
            setattr(self, attribute + "_cert", os.path.join(self.dir, name + ".crt"))
            setattr(self, attribute + "_key", os.path.join(self.dir, name + ".key"))

    def server_pair(self, server="trusted"):
        """(certificate, key) a server presents: "trusted", "wrong_name" or "untrusted"."""
        prefix = {"trusted": "server", "wrong_name": "wrong_name",
                  "untrusted": "untrusted_server"}[server]
        return getattr(self, prefix + "_cert"), getattr(self, prefix + "_key")


class SystemCas:
    """A private /etc/ssl/certs trusting `ca_cert` only, for the bridge alone."""

    def __init__(self, workdir, ca_cert):
        self.dir = os.path.join(workdir, "system-certs")
        os.makedirs(self.dir, exist_ok=True)
        with open(ca_cert, "rb") as source, \
                open(os.path.join(self.dir, "ca-certificates.crt"), "wb") as bundle:
            bundle.write(source.read())
        subject_hash = subprocess.run(["openssl", "x509", "-hash", "-noout", "-in", ca_cert],
                                      capture_output=True, text=True, check=True).stdout.strip()
        os.symlink("ca-certificates.crt", os.path.join(self.dir, subject_hash + ".0"))

    def wrap(self, command):
        script = 'mount --bind "$1" /etc/ssl/certs && shift && exec "$@"'
        return (["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script,
                 "system-cas", self.dir] + list(command))


# MQTT -------------------------------------------------------------------------

class TlsBroker:
    """mosquitto with a TLS listener on 127.0.0.1:8883 that asks for a user name and
    password (from `users`, a dict; `user` and `password` are its first pair), or
    lets clients in without one when allow_anonymous. With require_certificate a
    client must also present a certificate issued by certs.ca_cert. With
    plain_listener a second listener on 127.0.0.1:1883 takes anyone without TLS,
    so that harness.publish and publish_many reach the same topics.

    Everything the broker does is logged (log_text, wait_log): a client that
    logged in shows as "New client connected from ... (..., u'USER')."."""

    def __init__(self, workdir, certs, users=None, require_certificate=False,
                 allow_anonymous=False, server="trusted", plain_listener=True, extra_config=""):
        self.dir = os.path.join(workdir, "tls-broker")
        os.makedirs(self.dir, exist_ok=True)
        self.config = os.path.join(self.dir, "mosquitto.conf")
        self.log = os.path.join(self.dir, "mosquitto.log")
        self.password_file = os.path.join(self.dir, "passwords")
        self.users = dict(users if users is not None else {"bridge": "bridge-secret"})
        self.user, self.password = next(iter(self.users.items()), (None, None))
        self.port = TLS_BROKER_PORT
        self.plain_port = BROKER_PORT if plain_listener else None
        self.certs = certs
        self.process = None
        certificate, key = certs.server_pair(server)
        for user, password in self.users.items():
            create = ["-c"] if user == self.user else []
            subprocess.run(["mosquitto_passwd"] + create + ["-b", self.password_file, user, password],
                           check=True, capture_output=True, timeout=30)
        with open(self.config, "w") as f:
            # Run as root: mosquitto opens the password file after dropping to
            # its own user, who cannot read the test's private folder.
            f.write("user root\nper_listener_settings true\n")
            f.write("log_dest file %s\nlog_type all\nconnection_messages true\n" % self.log)
            f.write("listener %d 127.0.0.1\n" % self.port)
            f.write("cafile %s\ncertfile %s\nkeyfile %s\n" % (certs.ca_cert, certificate, key))
            f.write("require_certificate %s\n" % ("true" if require_certificate else "false"))
            f.write("allow_anonymous %s\n" % ("true" if allow_anonymous else "false"))
            if self.users:
                f.write("password_file %s\n" % self.password_file)
            if plain_listener:
                f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % self.plain_port)
            f.write(extra_config)

    def start(self):
        with open(os.path.join(self.dir, "stdout.log"), "ab") as out:
            self.process = subprocess.Popen(["mosquitto", "-c", self.config],
                                            stdout=out, stderr=subprocess.STDOUT)
        wait_listening(self.process, self.port, "the TLS broker", self.log, timeout=10)
        if self.plain_port:
            wait_listening(self.process, self.plain_port, "the TLS broker", self.log, timeout=10)
        return self

    def stop(self):
        if self.process is not None:
            stop_process(self.process)
            wait_until(lambda: not port_open(self.port), 10, "the TLS broker to stop listening")

    def log_text(self):
        try:
            with open(self.log, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def wait_log(self, pattern, timeout=15):
        """Waits until a log line matches the regular expression; returns the match."""
        regex = re.compile(pattern, re.MULTILINE)
        return wait_until(lambda: regex.search(self.log_text()), timeout,
                          "a broker log line matching %r" % pattern)


def mqtt_client_args(port=TLS_BROKER_PORT, host="localhost", cafile=None, cert=None, key=None,
                     user=None, password=None):
    """Connection arguments of mosquitto_pub and mosquitto_sub."""
    args = ["-h", host, "-p", str(port)]
    args += ["--cafile", cafile] if cafile else []
    args += ["--cert", cert, "--key", key] if cert else []
    args += ["-u", user] if user is not None else []
    args += ["-P", password] if password is not None else []
    return args


def publish_tls(topic, payload, qos=1, timeout=10, **connection):
    """Publishes one message with mosquitto_pub over the connection described by
    mqtt_client_args(**connection); returns the CompletedProcess (returncode 0
    when the broker took it, stderr saying why not)."""
    command = ["mosquitto_pub"] + mqtt_client_args(**connection) + ["-q", str(qos), "-t", topic,
                                                                    "-m", payload]
    return subprocess.run(command, capture_output=True, timeout=timeout)


# InfluxDB ---------------------------------------------------------------------

class SecureInflux(Influx):
    """InfluxDB 1.x on 127.0.0.1:8086 with HTTPS (https, the certificate of
    certs.server_pair(server)) and authentication (auth). start() makes the
    administrator `admin_user` (the first user may be made without logging in)
    and the database; query(), points() and write() log in as the
    administrator and trust certs.ca_cert. `url` is the base URL for clients."""

    def __init__(self, workdir, certs, auth=True, https=True, server="trusted",
                 admin_user="admin", admin_password="admin-secret"):
        settings = "  auth-enabled = true\n" if auth else ""
        if https:
            certificate, key = certs.server_pair(server)
            settings += ('  https-enabled = true\n  https-certificate = "%s"\n'
                         '  https-private-key = "%s"\n' % (certificate, key))
        super().__init__(workdir, http_settings=settings)
        self.certs = certs
        self.auth = auth
        self.https = https
        self.admin_user = admin_user
        self.admin_password = admin_password
        self.url = "%s://127.0.0.1:%d" % ("https" if https else "http", DATABASE_PORT)
        self._admin_made = False

    def start(self, database="mydb"):
        super().start(database=None)
        if self.auth and not self._admin_made:
            self.query("CREATE USER %s WITH PASSWORD '%s' WITH ALL PRIVILEGES"
                       % (self.admin_user, self.admin_password), method="POST", login=False)
            self._admin_made = True
        if database:
            self.query("CREATE DATABASE " + database, method="POST")
        return self

    def _request(self, path, params, method="GET", body=None, headers=None, login=True):
        headers = dict(headers or {})
        if login and self.auth:
            headers["Authorization"] = basic_auth(self.admin_user, self.admin_password)
        url = "%s%s?%s" % (self.url, path, urllib.parse.urlencode(params))
        return http_request(url, method, body, headers, self.certs.ca_cert)

    def _ping(self):
        try:
            return self._request("/ping", {}, login=False)[0] == 204
        except OSError:
            return False

    def query(self, q, database="mydb", epoch="ns", method="GET", login=True):
        status, body = self._request("/query", {"q": q, "db": database, "epoch": epoch}, method,
                                     login=login)
        if status != 200:
            raise AssertionError("query %r answered %d: %r" % (q, status, body))
        answer = json.loads(body)
        errors = [r["error"] for r in answer.get("results", []) if "error" in r]
        if errors:
            raise AssertionError("query %r failed: %s" % (q, errors))
        return answer

    def write(self, lines, database="mydb", rp=None, login=True, headers=None, precision=None):
        """POSTs a line-protocol body (bytes) to /write; returns (status, answer body)."""
        params = {"db": database}
        params.update({"rp": rp} if rp else {})
        params.update({"precision": precision} if precision else {})
        return self._request("/write", params, "POST", lines, headers, login)

    def create_retention_policy(self, name, database="mydb", duration="INF", default=False):
        """A retention policy; InfluxDB refuses points older than its duration."""
        self.query('CREATE RETENTION POLICY "%s" ON "%s" DURATION %s REPLICATION 1%s'
                   % (name, database, duration, " DEFAULT" if default else ""), method="POST")

    def create_user(self, name, password, database="mydb", privilege="WRITE"):
        """A user who may only `privilege` (READ, WRITE or ALL) on `database`."""
        self.query("CREATE USER \"%s\" WITH PASSWORD '%s'" % (name, password), method="POST")
        self.query('GRANT %s ON "%s" TO "%s"' % (privilege, database, name), method="POST")


# VictoriaMetrics --------------------------------------------------------------

class VictoriaMetrics:
    """VictoriaMetrics on 127.0.0.1:8428, over HTTPS (tls) with the certificate
    of certs.server_pair(server), asking for HTTP basic authentication as
    `user`/`password` (user=None: none). It takes InfluxDB line protocol at
    /write: `m,tag=v field=1 T` becomes the metric m_field with label tag=v
    (plus db=NAME when the request has ?db=NAME).

    When points become visible (measured with the Debian package, 1.79): a
    point written to an existing series shows in /api/v1/export about one
    second after the write (the in-memory buffers are flushed each second).
    A series new to the store showed after 0.8 s to a query never asked
    before, but a query asked once before it existed kept answering from a
    cache: the same empty answer for 10 s and, for a regular-expression
    match, for more than 100 s. A GET of /internal/force_flush (it wants the
    same basic authentication) before the query makes everything written so
    far visible at once, cache or not: series() does that, so tests poll it
    and never wait a fixed time. In that version a match of
    {__name__=~".+"} finds nothing at all, and {__name__!=""} misses series
    depending on the time range: series() asks {__name__=~".*"} and start=0.

    Points with timestamps older than the retention period are refused: it is
    set to 100 years, so fixed past timestamps (1700000000000 ms) are kept.
    Timestamps more than two days ahead are refused by the store."""

    def __init__(self, workdir, certs, user="bridge", password="vm-secret", tls=True,
                 server="trusted"):
        self.dir = os.path.join(workdir, "victoria-metrics")
        os.makedirs(self.dir, exist_ok=True)
        self.log = os.path.join(self.dir, "victoria-metrics.log")
        self.certs = certs
        self.user = user
        self.password = password
        self.port = VICTORIA_METRICS_PORT
        self.url = "%s://127.0.0.1:%d" % ("https" if tls else "http", self.port)
        self.command = ["victoria-metrics", "-httpListenAddr", "127.0.0.1:%d" % self.port,
                        "-storageDataPath", os.path.join(self.dir, "data"),
                        "-retentionPeriod", "100y", "-loggerLevel", "WARN",
                        "-memory.allowedBytes", "256MiB"]
        if user is not None:
            self.command += ["-httpAuth.username", user, "-httpAuth.password", password]
        if tls:
            certificate, key = certs.server_pair(server)
            self.command += ["-tls", "-tlsCertFile", certificate, "-tlsKeyFile", key]
        self.process = None

    def start(self):
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(self.command, stdout=log, stderr=subprocess.STDOUT)
        wait_listening(self.process, self.port, "VictoriaMetrics", self.log)

        def healthy():  # /health needs no authentication
            try:
                return self.request("/health", login=False)[0] == 200
            except OSError:
                return False
        wait_until(healthy, 30, "VictoriaMetrics to answer /health")
        return self

    def stop(self):
        if self.process is not None:
            stop_process(self.process, timeout=20)
            wait_until(lambda: not port_open(self.port), 15, "VictoriaMetrics to stop listening")

    def request(self, path, method="GET", body=None, headers=None, login=True):
        """One request to `path` (with its query); returns (status, answer body)."""
        headers = dict(headers or {})
        if login and self.user is not None:
            headers["Authorization"] = basic_auth(self.user, self.password)
        return http_request(self.url + path, method, body, headers, self.certs.ca_cert)

    def write(self, lines, database=None, login=True, headers=None):
        """POSTs a line-protocol body (bytes) to /write; returns (status, answer body)."""
        path = "/write" + ("?db=" + urllib.parse.quote(database) if database else "")
        return self.request(path, "POST", lines, headers, login)

    def series(self, match='{__name__=~".*"}'):
        """Every stored series that `match` selects, after a flush: dicts with
        "metric" (labels, __name__ among them), "values" and "timestamps" (ms)."""
        status, body = self.request("/internal/force_flush")
        if status != 200:
            raise AssertionError("force_flush answered %d: %r" % (status, body))
        query = urllib.parse.urlencode({"match[]": match, "start": 0})
        status, body = self.request("/api/v1/export?" + query)
        if status != 200:
            raise AssertionError("export answered %d: %r" % (status, body))
        return [json.loads(line) for line in body.decode().splitlines() if line.strip()]

    def points(self, metric):
        """The points of a metric in time order, as dicts of its labels (without
        __name__) and "value" and "time" (ms)."""
        points = []
        for series in self.series('{__name__="%s"}' % metric.replace("\\", "\\\\").replace('"', '\\"')):
            labels = {k: v for k, v in series["metric"].items() if k != "__name__"}
            for value, stamp in zip(series["values"], series["timestamps"]):
                points.append(dict(labels, value=value, time=stamp))
        return sorted(points, key=lambda p: p["time"])


# nginx ------------------------------------------------------------------------

class Nginx:
    """nginx on 127.0.0.1:port (https with certs.server_pair(server) when https)
    that passes `prefix` on to `upstream`: by default /influx/write?db=x
    becomes http://127.0.0.1:8086/write?db=x. Anything else is answered 404.
    Request bodies are streamed to the upstream as they come (a chunked body
    stays chunked, over HTTP/1.1) unless request_buffering, which reads the
    whole body first and passes it on with a Content-Length. No limit on the
    body size. requests() reads the access log. One process, run in the
    foreground, every file in workdir/nginx."""

    LOG_FIELDS = ("method", "target", "status", "request_length", "transfer_encoding",
                  "content_encoding", "upstream_status")

    def __init__(self, workdir, certs=None, port=PROXY_PORT, https=False, prefix="/influx/",
                 upstream="http://127.0.0.1:%d/" % DATABASE_PORT, server="trusted",
                 request_buffering=False):
        self.dir = os.path.join(workdir, "nginx")
        os.makedirs(self.dir, exist_ok=True)
        self.config = os.path.join(self.dir, "nginx.conf")
        self.error_log = os.path.join(self.dir, "error.log")
        self.access_log = os.path.join(self.dir, "access.log")
        self.port = port
        self.url = "%s://127.0.0.1:%d%s" % ("https" if https else "http", port, prefix.rstrip("/"))
        self.process = None
        tls = ""
        if https:
            certificate, key = certs.server_pair(server)
            tls = "ssl_certificate %s;\n    ssl_certificate_key %s;" % (certificate, key)
        with open(self.config, "w") as f:
            f.write("""daemon off;
master_process off;
user root root;
pid {d}/nginx.pid;
error_log {d}/error.log info;
events {{ worker_connections 64; }}
http {{
  log_format fields "$request_method\\t$request_uri\\t$status\\t$request_length\\t"
                    "$http_transfer_encoding\\t$http_content_encoding\\t$upstream_status";
  access_log {d}/access.log fields;
  client_body_temp_path {d}/body;
  proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi;
  uwsgi_temp_path {d}/uwsgi;
  scgi_temp_path {d}/scgi;
  client_max_body_size 0;
  server {{
    listen 127.0.0.1:{port}{ssl};
    {tls}
    location {prefix} {{
      proxy_pass {upstream};
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_request_buffering {buffering};
      proxy_ssl_verify off;
    }}
    location / {{ return 404; }}
  }}
}}
""".format(d=self.dir, port=port, ssl=" ssl" if https else "", tls=tls, prefix=prefix,
           upstream=upstream, buffering="on" if request_buffering else "off"))

    def start(self):
        with open(os.path.join(self.dir, "stdout.log"), "ab") as out:
            self.process = subprocess.Popen(["nginx", "-p", self.dir + "/", "-c", self.config,
                                             "-e", self.error_log],
                                            stdout=out, stderr=subprocess.STDOUT)
        wait_listening(self.process, self.port, "nginx", self.error_log, timeout=10)
        return self

    def stop(self):
        if self.process is not None:
            stop_process(self.process)
            wait_until(lambda: not port_open(self.port), 10, "nginx to stop listening")

    def requests(self, at_least=0, timeout=10):
        """Each request logged so far, as a dict of LOG_FIELDS ("-" where none),
        once at least `at_least` are logged. nginx writes a request's line
        after it has sent the answer, so a client that has its answer may
        still find the line missing: wait for it."""
        def logged():
            try:
                with open(self.access_log) as f:
                    lines = [line for line in f if line.endswith("\n")]
            except FileNotFoundError:
                lines = []
            return (lines,) if len(lines) >= at_least else None  # a tuple: true even when empty
        lines, = wait_until(logged, timeout, "%d requests in nginx's access log" % at_least)
        return [dict(zip(self.LOG_FIELDS, line.rstrip("\n").split("\t"))) for line in lines]


# Capturing server ---------------------------------------------------------------

class CaptureSink(HttpSink):
    """An HttpSink (see http_sink.py: method, target, path, query, headers in
    order, body de-chunked and gunzipped, raw_body, answers) on `port`, over
    HTTPS with certs.server_pair(server) when certs are given; failed
    handshakes are noted in tls_failures; `tls` (an ssl.TLSVersion) is the only
    version it speaks. The first requests are answered with
    `statuses` in order (a code, or (code, body)), every later one 204."""

    def __init__(self, port=DATABASE_PORT, certs=None, statuses=(), server="trusted", tls=None):
        context = None
        if certs is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certs.server_pair(server))
            if tls is not None:  # OpenSSL 3 allows TLS below 1.2 at security level 0 only
                context.minimum_version = context.maximum_version = tls
                context.set_ciphers("DEFAULT:@SECLEVEL=0")
        super().__init__(port, context)
        self.url = "%s://127.0.0.1:%d" % ("https" if certs is not None else "http", port)
        for status in statuses:
            code, body = status if isinstance(status, tuple) else (status, b"")
            self.answer_next(("status", code, body))


def send_chunked(url, chunks, headers=None, cafile=None, method="POST", timeout=10):
    """Sends a body in chunked transfer encoding, one chunk per item of `chunks`;
    returns (status, answer body)."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme == "https":
        connection = http.client.HTTPSConnection(parts.hostname, parts.port, timeout=timeout,
                                                 context=client_context(cafile))
    else:
        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
    try:
        target = parts.path + ("?" + parts.query if parts.query else "")
        connection.request(method, target, body=iter(chunks), headers=headers or {},
                           encode_chunked=True)
        answer = connection.getresponse()
        return answer.status, answer.read()
    finally:
        connection.close()
