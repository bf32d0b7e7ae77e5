"""Servers and processes for the end-to-end tests.

Every test runs inside a private network namespace (see netns.sh), so the
fixed ports 1883 (broker) and 8086 (database) are its own. Each helper starts
a real process or a small in-process server, waits for it with a deadline and
stops only what it started, by pid.
"""

import fcntl
import json
import os
import re
import shlex
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request

BROKER_PORT = 1883
DATABASE_PORT = 8086


def bridge_command():
    runner = shlex.split(os.environ.get("BRIDGE_RUNNER", ""))
    return runner + [os.environ["BRIDGE_BIN"]]


# A bridge under valgrind or qemu-arm starts and answers several times more
# slowly, more so on a loaded machine: its lines get this many times the wait.
RUNNER_SLOWDOWN = 4 if os.environ.get("BRIDGE_RUNNER") else 1


def preload_env(library, **variables):
    """The environment that preloads `library` into the bridge (and only the bridge:
    under qemu-arm it goes to the emulated process), or None under another runner
    (valgrind), where a preload would reach the tool."""
    runner = shlex.split(os.environ.get("BRIDGE_RUNNER", ""))
    variables = {k: str(v) for k, v in dict(variables, LD_PRELOAD=library).items()}
    if runner and os.path.basename(runner[0]).startswith("qemu-"):
        return {"QEMU_SET_ENV": ",".join("%s=%s" % item for item in variables.items())}
    if runner:
        return None
    # A sanitized bridge wants its runtime first; a preload is fine here.
    return dict(variables, ASAN_OPTIONS="verify_asan_link_order=0")


def memory_figures_meaningful():
    """False when the bridge runs under a sanitizer or another tool that owns its memory."""
    return not os.environ.get("BRIDGE_SANITIZED") and not os.environ.get("BRIDGE_RUNNER")


def status_kib(pid, field):
    """A memory figure from /proc/<pid>/status, such as VmHWM or VmRSS, in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def wait_until(predicate, timeout, what, interval=0.05):
    """Polls predicate until it returns a true value; fails the test after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.2):
            return True
    except OSError:
        return False


def tcp_listener(port, backlog):
    """A listening socket on 127.0.0.1:port, reusable at once after a test."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(backlog)
    return listener


def accept_in_background(listener, stopping, serve, connections, lock):
    """Accepts connections on `listener` in a thread of its own until the listener
    is closed or `stopping` is set; each is kept in `connections` (under `lock`)
    and served by serve(connection) in a thread of its own."""

    def accept():
        while not stopping.is_set():
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            with lock:
                connections.append(connection)
            threading.Thread(target=serve, args=(connection,), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()


def close_sockets(listener, connections):
    """Shuts a listener (waking a thread in accept()) and its connections down."""
    for sock in ([listener] if listener is not None else []) + list(connections):
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        sock.close()


def stop_process(process, sig=signal.SIGTERM, timeout=10):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Broker:
    """A mosquitto broker on 127.0.0.1:1883 with a configuration of the test's own."""

    def __init__(self, workdir, extra_config=""):
        self.config = os.path.join(workdir, "mosquitto-%d.conf" % id(self))
        self.log = os.path.join(workdir, "mosquitto.log")
        self.extra_config = extra_config
        self.process = None

    def start(self, extra_config=None):
        if extra_config is not None:
            self.extra_config = extra_config
        with open(self.config, "w") as f:
            f.write("listener %d 127.0.0.1\n" % BROKER_PORT)
            f.write("allow_anonymous true\n" if "allow_anonymous" not in self.extra_config else "")
            f.write(self.extra_config)
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(["mosquitto", "-c", self.config],
                                            stdout=log, stderr=subprocess.STDOUT)
        wait_until(lambda: port_open(BROKER_PORT), 10, "the broker to listen")
        return self

    def stop(self):
        if self.process is not None:
            stop_process(self.process)
            wait_until(lambda: not port_open(BROKER_PORT), 10, "the broker to stop listening")


def publish(topic, payload, qos=1, timeout=10):
    """Publishes one message with mosquitto_pub; returns True when the broker took it."""
    command = ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(BROKER_PORT), "-q", str(qos),
               "-t", topic]
    payload = payload.encode("latin-1") if isinstance(payload, str) else payload
    if payload:
        command += ["-s"]  # the message is the whole of standard input, bytes unchanged
    else:
        command += ["-n"]
    try:
        done = subprocess.run(command, input=payload, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return False
    return done.returncode == 0


def publish_many(topic, count, mode="seq", first=0, timeout=300, interval_ms=0):
    """Publishes count numbered messages (interval_ms apart, or as fast as the broker
    takes them) and returns once the broker took them all."""
    runner = shlex.split(os.environ.get("PUBLISHER_RUNNER", ""))
    done = subprocess.run(runner + [os.environ["PUBLISHER_BIN"], topic, str(count), mode, str(first),
                                    str(interval_ms)],
                          capture_output=True, timeout=timeout)
    if done.returncode != 0:
        raise AssertionError("publisher failed: %r" % done.stderr)


class Bridge:
    """The bridge under test, its standard output collected line by line. With
    `names` (a PrivateNames) it runs with name-service files of the test's own.
    With `drain` (bytes a second) its standard output is a pipe of one page,
    read a page at a time at that pace, as a lagging journal takes it."""

    def __init__(self, args, workdir=None, env=None, names=None, drain=None):
        self.args = list(args)
        self.drain = drain
        self.output = bytearray()
        self.lines_seen = []  # (monotonic time, line) in order of arrival
        self.lock = threading.Lock()
        environment = dict(os.environ)
        for name in ("NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"):
            environment.pop(name, None)  # never the caller's own supervisor
        environment.update(env or {})
        command = bridge_command() + self.args
        self.process = subprocess.Popen(names.wrap(command) if names else command,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=environment)
        if drain:
            fcntl.fcntl(self.process.stdout.fileno(), fcntl.F_SETPIPE_SZ, 4096)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.errors = b""
        self.error_reader = threading.Thread(target=self._read_errors, daemon=True)
        self.error_reader.start()
        if names:
            self._wait_exec(command)

    def _wait_exec(self, command):
        """Waits until the wrapper has become the bridge itself (same pid, by exec), so
        that the pid held here, its signals and its exit status are the bridge's."""
        tail = command[-(len(self.args) + 1):]  # the program and its arguments

        def exec_done():
            if self.process.poll() is not None:
                self.error_reader.join(5)
                raise AssertionError("the bridge's wrapper ended with %d: %r"
                                     % (self.process.returncode, self.errors))
            try:
                with open("/proc/%d/cmdline" % self.pid, "rb") as f:
                    argv = [a.decode() for a in f.read().split(b"\0")[:-1]]
            except OSError:
                return False
            return argv and argv[0] not in ("unshare", "sh", "nsenter") and argv[-len(tail):] == tail
        wait_until(exec_done, 10, "the bridge to start in its own mount namespace")
        if os.readlink("/proc/%d/ns/mnt" % self.pid) == os.readlink("/proc/self/ns/mnt"):
            raise AssertionError("the bridge shares the test's mount namespace")

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self.process.stdout.fileno(), 4096 if self.drain else 65536)
            if not chunk:
                break
            if self.drain:
                time.sleep(len(chunk) / self.drain)  # the reader's pace, not a wait for an event
            with self.lock:
                self.output += chunk
                pending += chunk
                *complete, pending = pending.split(b"\n")
                now = time.monotonic()
                for line in complete:
                    self.lines_seen.append((now, line.decode("latin-1")))

    def _read_errors(self):
        self.errors = self.process.stderr.read()

    @property
    def pid(self):
        return self.process.pid

    def lines(self):
        with self.lock:
            return [line for _, line in self.lines_seen]

    def timed_lines(self):
        with self.lock:
            return list(self.lines_seen)

    def stdout_bytes(self):
        with self.lock:
            return bytes(self.output)

    def wait_line(self, pattern, timeout=10, count=1):
        """Waits until count lines match the regular expression; returns the matches."""
        regex = re.compile(pattern)
        found = []
        checked = 0

        def matches():
            nonlocal checked
            with self.lock:
                fresh = [line for _, line in self.lines_seen[checked:]]
            checked += len(fresh)
            found.extend(line for line in fresh if regex.search(line))
            return found if len(found) >= count else None

        try:
            return wait_until(matches, timeout * RUNNER_SLOWDOWN,
                              "%d line(s) matching %r" % (count, pattern))
        except AssertionError as e:
            raise AssertionError("%s; last lines: %r" % (e, self.lines()[-20:])) from None

    def wait_subscribed(self, count=1, timeout=15):
        return self.wait_line(r"^T: on_subscribe\(\)", timeout, count)

    def signal(self, sig):
        self.process.send_signal(sig)

    def wait_exit(self, timeout=20):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the bridge did not exit within %d s" % timeout)
        self.reader.join(5)
        self.error_reader.join(5)
        return code

    def running(self):
        return self.process.poll() is None

    def status_kib(self, field):
        return status_kib(self.pid, field)

    def stop(self):
        stop_process(self.process, signal.SIGKILL)
        self.reader.join(5)
        self.error_reader.join(5)
        self.process.stdout.close()
        self.process.stderr.close()


class Influx:
    """A real InfluxDB 1.x server on 127.0.0.1:8086 with its own configuration and data.
    `http_settings` are more lines for the [http] section (TLS, authentication)."""

    def __init__(self, workdir, http_settings=""):
        self.dir = os.path.join(workdir, "influxdb")
        os.makedirs(self.dir, exist_ok=True)
        self.config = os.path.join(self.dir, "influxdb.conf")
        self.log = os.path.join(self.dir, "influxd.log")
        self.process = None
        with open(self.config, "w") as f:
            f.write("""reporting-disabled = true
bind-address = "127.0.0.1:8088"
[meta]
  dir = "{d}/meta"
[data]
  dir = "{d}/data"
  wal-dir = "{d}/wal"
  query-log-enabled = false
[http]
  enabled = true
  bind-address = "127.0.0.1:{port}"
  log-enabled = false
{http_settings}[monitor]
  store-enabled = false
[continuous_queries]
  enabled = false
[logging]
  level = "warn"
""".format(d=self.dir, port=DATABASE_PORT, http_settings=http_settings))

    def start(self, database="mydb"):
        env = dict(os.environ, HOME=self.dir)
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(["influxd", "-config", self.config], env=env,
                                            stdout=log, stderr=subprocess.STDOUT)
        wait_until(self._ping, 30, "InfluxDB to answer /ping")
        if database:
            self.query("CREATE DATABASE " + database, method="POST")
        return self

    def _ping(self):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/ping" % DATABASE_PORT, timeout=1) as r:
                return r.status == 204
        except OSError:
            return False

    def query(self, q, database="mydb", epoch="ns", method="GET"):
        params = urllib.parse.urlencode({"q": q, "db": database, "epoch": epoch})
        url = "http://127.0.0.1:%d/query?%s" % (DATABASE_PORT, params)
        request = urllib.request.Request(url, method=method)
        with urllib.request.urlopen(request, timeout=10) as r:
            return json.load(r)

    def points(self, measurement, database="mydb", epoch="ns", rp=None):
        """All points of a measurement (in retention policy `rp`, else the default
        one) as dicts of column to value."""
        def quoted(name):  # an InfluxQL identifier
            return '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')
        source = quoted(measurement) if rp is None else quoted(rp) + "." + quoted(measurement)
        result = self.query("SELECT * FROM " + source, database, epoch)["results"][0]
        points = []
        for series in result.get("series", []):
            for row in series["values"]:
                points.append(dict(zip(series["columns"], row)))
        return points

    def stop(self):
        if self.process is not None:
            stop_process(self.process)
            wait_until(lambda: not port_open(DATABASE_PORT), 15, "InfluxDB to stop listening")


class BridgeTestCase(unittest.TestCase):
    """Gives each test a temporary directory and stops what it started, in reverse order."""

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="bridge-e2e-")
        self.workdir = self._tmp.name
        self._started = []

    def tearDown(self):
        for thing in reversed(self._started):
            try:
                thing.stop()
            except Exception:  # keep stopping the others
                pass
            # The bridge says nothing on standard error itself: what is there
            # comes from a runner or sanitizer (a valgrind report behind exit
            # status 99, say) and belongs in the test's log.
            if isinstance(thing, Bridge) and thing.errors:
                sys.stderr.write("bridge pid %d, standard error:\n%s\n"
                                 % (thing.pid, thing.errors.decode("latin-1")))
        self._tmp.cleanup()

    def started(self, thing):
        self._started.append(thing)
        return thing

    def broker(self, extra_config=""):
        return self.started(Broker(self.workdir, extra_config)).start()

    def influx(self):
        return self.started(Influx(self.workdir)).start()

    def bridge(self, *args, env=None, names=None, drain=None):
        return self.started(Bridge(args, self.workdir, env, names, drain))


# SO_TIMESTAMPNS, which Python's socket module does not name: Linux's value on
# x86 and ARM. The kernel then stamps each datagram with the wall-clock time it
# arrived, struct timespec in native longs.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
TIMESPEC = struct.Struct("@ll")


class NotifySocket:
    """Stands in for systemd: a datagram socket that collects what the bridge sends
    to NOTIFY_SOCKET, with the time each datagram arrived. That time is the
    kernel's, taken as the bridge sent it, on the monotonic clock: a receiving
    thread held up on a loaded machine does not move it, so gaps between pings
    measure the bridge alone."""

    def __init__(self, workdir, abstract=False):
        if abstract:
            self.name = "@bridge-notify-%d-%d" % (os.getpid(), id(self))
            address = "\0" + self.name[1:]
        else:
            self.name = address = os.path.join(workdir, "notify.sock")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.socket.bind(address)
        self.socket.settimeout(0.2)
        self.messages = []  # (monotonic time, text)
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._receive, daemon=True)
        self.thread.start()

    def _receive(self):
        while not self.stopping.is_set():
            try:
                self._take_one()
            except socket.timeout:
                continue
            except OSError:
                return

    def _take_one(self):
        data, ancillary, _, _ = self.socket.recvmsg(4096, socket.CMSG_SPACE(TIMESPEC.size))
        # Wall clock first: the offset errs late by the microseconds between
        # the two readings, so an arrival is never placed before its cause.
        wall, now = time.time(), time.monotonic()
        arrived = now
        for level, kind, stamp in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                seconds, nanoseconds = TIMESPEC.unpack(stamp[:TIMESPEC.size])
                arrived = min(now, seconds + nanoseconds / 1e9 + (now - wall))
        with self.lock:
            self.messages.append((arrived, data.decode("utf-8", "replace")))

    def settle(self):
        """Takes in everything still queued on the socket. Once the bridge has
        exited, all it sent is there, so the texts are then complete; the
        receiving thread, held up on a loaded machine, may not have read it yet."""
        self.stopping.set()
        self.thread.join()
        self.socket.setblocking(False)
        while True:
            try:
                self._take_one()
            except (BlockingIOError, InterruptedError):
                return

    def env(self, **extra):
        environment = {"NOTIFY_SOCKET": self.name}
        environment.update({k: str(v) for k, v in extra.items()})
        return environment

    def timed(self, prefix=""):
        with self.lock:
            return [(t, m) for t, m in self.messages if m.startswith(prefix)]

    def texts(self, prefix=""):
        return [m for _, m in self.timed(prefix)]

    def wait_for(self, prefix, timeout=10, count=1):
        return wait_until(lambda: len(self.timed(prefix)) >= count and self.timed(prefix), timeout,
                          "%d datagram(s) starting with %r; got %r" % (count, prefix, self.texts()))

    def stop(self):
        self.stopping.set()
        self.socket.close()
        self.thread.join(2)


def ping_gaps(times):
    return [b - a for a, b in zip(times, times[1:])]


class BlackHoleListener:
    """A listener on 127.0.0.1:port whose accept queue is kept full by connections
    that are never accepted, so every further connection attempt sees its SYN
    dropped: a host that has gone silent."""

    def __init__(self, port):
        self.port = port
        self.listener = None
        self.fillers = []

    def start(self):
        self.listener = tcp_listener(self.port, 0)
        # Fill the queue: connections complete until it is full, then one hangs.
        for _ in range(4):
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            filler.setblocking(False)
            try:
                filler.connect(("127.0.0.1", self.port))
            except BlockingIOError:
                pass
            self.fillers.append(filler)
        time.sleep(0.2)
        probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        probe.settimeout(1.0)
        try:
            probe.connect(("127.0.0.1", self.port))
            raise AssertionError("the listen queue is not full")
        except socket.timeout:
            pass
        finally:
            probe.close()
        return self

    def stop(self):
        for filler in self.fillers:
            filler.close()
        if self.listener is not None:
            self.listener.close()


class FakeBroker:
    """Just enough of an MQTT 3.1.1 broker to control what the bridge is told: it
    answers CONNECT only once `release` is set, with the CONNACK code asked, grants
    every SUBSCRIBE the QoS values asked, and answers PINGREQ."""

    def __init__(self, connack_code=0, granted_qos=1):
        self.connack_code = connack_code
        self.granted_qos = granted_qos
        self.release = threading.Event()
        self.connack_sent_at = None
        self.subscriptions = []
        self.listener = None
        self.connections = []
        self.stopping = threading.Event()

    def start(self):
        self.listener = tcp_listener(BROKER_PORT, 4)
        accept_in_background(self.listener, self.stopping, self._serve, self.connections,
                             threading.Lock())
        return self

    @staticmethod
    def _read_packet(reader):
        head = reader.read(1)
        if not head:
            return None, b""
        length, shift = 0, 0
        while True:
            byte = reader.read(1)[0]
            length |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        return head[0], reader.read(length)

    def _serve(self, connection):
        reader = connection.makefile("rb")
        try:
            while not self.stopping.is_set():
                kind, body = self._read_packet(reader)
                if kind is None:
                    return
                if kind >> 4 == 1:  # CONNECT
                    self.release.wait()
                    self.connack_sent_at = time.monotonic()  # just before: nothing can beat it
                    connection.sendall(bytes([0x20, 2, 0, self.connack_code]))
                elif kind >> 4 == 8:  # SUBSCRIBE: message id, then filter and QoS
                    filter_length = int.from_bytes(body[2:4], "big")
                    self.subscriptions.append(body[4:4 + filter_length].decode())
                    connection.sendall(bytes([0x90, 3]) + body[0:2] + bytes([self.granted_qos]))
                elif kind >> 4 == 12:  # PINGREQ
                    connection.sendall(bytes([0xD0, 0]))
        except OSError:
            return

    def stop(self):
        self.stopping.set()
        self.release.set()
        close_sockets(self.listener, self.connections)


class PrivateNames:
    """/etc/hosts, /etc/resolv.conf and /etc/nsswitch.conf of the test's own, for the
    bridge alone: files in the test's directory, bind-mounted over the real ones in a
    mount namespace the bridge gets to itself (unshare --mount, with private
    propagation, so no mount reaches the test's or the host's namespace). Lookups
    take the hosts file, then the DNS. set_hosts() rewrites the hosts file in place
    while the bridge runs (the mount holds that very file; glibc reads it afresh at
    each lookup)."""

    def __init__(self, workdir, hosts, nameservers=("127.0.0.1",), options=""):
        folder = os.path.join(workdir, "names")
        os.makedirs(folder, exist_ok=True)
        self.hosts = os.path.join(folder, "hosts")
        self.resolv_conf = os.path.join(folder, "resolv.conf")
        self.nsswitch = os.path.join(folder, "nsswitch.conf")
        with open(self.hosts, "w") as f:
            f.write(hosts)
        with open(self.resolv_conf, "w") as f:
            f.write("".join("nameserver %s\n" % address for address in nameservers))
            f.write("options %s\n" % options if options else "")
        with open(self.nsswitch, "w") as f:
            f.write("hosts: files dns\n")

    def set_hosts(self, text):
        with open(self.hosts, "r+") as f:  # the same file, not a new one in its place
            f.write(text)
            f.truncate()

    def wrap(self, command):
        """The command run in a mount namespace of its own with these files; the shell
        becomes the command by exec (unshare without --fork execs too), so the pid stays."""
        script = ('mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf && '
                  'mount --bind "$3" /etc/nsswitch.conf && shift 3 && exec "$@"')
        return (["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script,
                 "private-names", self.hosts, self.resolv_conf, self.nsswitch] + list(command))


def dns_query_name(datagram):
    """The name asked in a DNS query, or None when it cannot be read."""
    labels, at = [], 12  # after the header
    try:
        while datagram[at]:
            length = datagram[at]
            labels.append(datagram[at + 1:at + 1 + length].decode("ascii", "replace"))
            at += 1 + length
    except IndexError:
        return None
    return ".".join(labels)


class DeadNameServer:
    """Name servers that take every query and answer none: a UDP socket on port 53 of
    each address (loopback addresses in the test's network namespace), read by a
    thread that notes each query's time and name."""

    def __init__(self, addresses=("127.0.0.1",)):
        self.addresses = list(addresses)
        self.sockets = []
        self.seen = []  # (monotonic time, address, name)
        self.lock = threading.Lock()
        self.stopping = threading.Event()

    def start(self):
        for address in self.addresses:
            server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            server.bind((address, 53))
            server.settimeout(0.2)
            self.sockets.append(server)
            threading.Thread(target=self._receive, args=(server, address), daemon=True).start()
        return self

    def _receive(self, server, address):
        while not self.stopping.is_set():
            try:
                datagram = server.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.seen.append((time.monotonic(), address, dns_query_name(datagram)))

    def queries(self, name=None, after=0.0):
        """(time, address, name) of the queries seen, for one name and after a time if given."""
        with self.lock:
            return [q for q in self.seen if (name is None or q[2] == name) and q[0] > after]

    def wait_query(self, name, after=0.0, timeout=15):
        return wait_until(lambda: self.queries(name, after), timeout,
                          "a DNS query for %s after %.1f" % (name, after))[0]

    def stop(self):
        self.stopping.set()
        for server in self.sockets:
            server.close()
