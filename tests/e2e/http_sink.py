"""A small HTTP/1.1 server on 127.0.0.1:8086 that stands in for the database.

It records every request (request line, headers, de-chunked body, gunzipped
when sent gzip-encoded) and answers as the test tells it: a status with a
body, no answer at all, or a connection closed after part of the body.
Connections are kept alive as libcurl expects. Given an SSL context it speaks
HTTPS instead, and notes each failed TLS handshake.
"""

import gzip
import select
import socket
import ssl
import threading
import time
import urllib.parse
import zlib

from harness import DATABASE_PORT, accept_in_background, close_sockets, tcp_listener


class Request:
    def __init__(self, request_line, headers):
        self.request_line = request_line
        self.headers = headers  # list of (name, value) in the order received
        self.body = b""  # de-chunked, and gunzipped when Content-Encoding is gzip
        self.raw_body = b""  # the whole body de-chunked only, as sent
        self.decode_error = None  # why a gzip body could not be unpacked
        self.complete = False  # the whole body arrived
        self.status = None  # the status answered, None when not answered
        self.time = time.monotonic()
        self.answered_at = None  # when the answer went out
        self.abandoned_at = None  # when the client closed before a "wait" answer

    def header(self, name):
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        return values[0] if values else None

    @property
    def method(self):
        return self.request_line.split(" ")[0]

    @property
    def target(self):
        """The path and query as sent, e.g. "/write?db=mydb"."""
        parts = self.request_line.split(" ")
        return parts[1] if len(parts) > 1 else ""

    @property
    def path(self):
        return urllib.parse.urlsplit(self.target).path

    @property
    def query(self):
        """The query parameters as a dict of name to value (the last one of a repeated name)."""
        return dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(self.target).query,
                                           keep_blank_values=True))

    @property
    def chunked(self):
        return (self.header("Transfer-Encoding") or "").lower() == "chunked"

    def _decode(self):
        self.raw_body = self.body
        if (self.header("Content-Encoding") or "").lower() == "gzip":
            try:
                self.body = gzip.decompress(self.raw_body)
            except (OSError, EOFError, zlib.error) as e:
                self.decode_error = str(e)

    @property
    def stored(self):
        return self.complete and self.status is not None and 200 <= self.status < 300


class HttpSink:
    # Answers: ("status", code, body), ("status", code, body, headers) with
    # headers a list of (name, value), ("hang",), ("close_after", body_bytes),
    # ("delay", seconds, code, body): answer after a pause,
    # ("endless", code): a response body that never ends,
    # ("drop_unanswered",): close the connection, without a word, once the
    # request is read (a kept-alive connection the server has just dropped),
    # ("wait", seconds, code, body): like "delay", but a client that closes
    # the connection first (its time-out) ends the wait and is recorded in
    # the request's abandoned_at,
    # ("tunnel", port): a proxy's answer to CONNECT, then the bytes go both
    # ways between the client and 127.0.0.1:port, whatever host was asked,
    # or a function of the request (its body read) that returns one of these.
    OK = ("status", 204, b"")

    def __init__(self, port=DATABASE_PORT, ssl_context=None):
        self.port = port
        self.ssl_context = ssl_context  # HTTPS when set
        self.tls_failures = []  # why each failed handshake failed, in order
        self.requests = []
        self.lock = threading.Lock()
        self.answers = []  # answers for the next requests, in order
        self.default_answer = self.OK
        self.release = threading.Event()  # lets hanging requests go
        self.stopping = threading.Event()
        self.listener = None
        self.connections = []

    def start(self):
        self.listener = tcp_listener(self.port, 16)
        accept_in_background(self.listener, self.stopping, self._serve, self.connections, self.lock)
        return self

    def stop(self):
        self.stopping.set()
        self.release.set()
        with self.lock:
            close_sockets(self.listener, self.connections)

    def refuse(self):
        """The database goes down: the listener and every connection close, so
        the next connection attempt is refused. listen_again() brings it back,
        keeping the requests recorded so far."""
        with self.lock:
            close_sockets(self.listener, self.connections)
            self.listener = None
            self.connections.clear()

    def listen_again(self):
        self.listener = tcp_listener(self.port, 16)
        accept_in_background(self.listener, self.stopping, self._serve, self.connections, self.lock)
        return self

    def answer_next(self, *answers):
        with self.lock:
            self.answers.extend(answers)

    def all_requests(self):
        with self.lock:
            return list(self.requests)

    def stored_lines(self):
        """The records of every answered 2xx body, in the order they were stored."""
        lines = []
        for request in self.all_requests():
            if request.stored:
                lines += request.body.decode("latin-1").splitlines()
        return lines

    def _serve(self, connection):
        if self.ssl_context is not None:
            connection = self._handshake(connection)
            if connection is None:
                return
        reader = connection.makefile("rb")
        try:
            while not self.stopping.is_set():
                request_line = reader.readline()
                if not request_line:
                    return
                headers = []
                while True:
                    line = reader.readline()
                    if line in (b"\r\n", b"\n", b""):
                        break
                    name, _, value = line.decode("latin-1").partition(":")
                    headers.append((name.strip(), value.strip()))
                request = Request(request_line.decode("latin-1").rstrip("\r\n"), headers)
                with self.lock:
                    self.requests.append(request)
                    answer = self.answers.pop(0) if self.answers else self.default_answer
                if not callable(answer) and answer[0] == "close_after":
                    request.body = reader.read(answer[1])
                    return
                self._read_body(reader, request)
                if not callable(answer) and answer[0] == "drop_unanswered":
                    return
                if callable(answer):
                    answer = answer(request)
                if answer[0] == "endless":
                    request.status = answer[1]
                    head = "HTTP/1.1 %d X\r\nTransfer-Encoding: chunked\r\n\r\n" % answer[1]
                    connection.sendall(head.encode())
                    deadline = time.monotonic() + 30
                    while not self.stopping.is_set() and time.monotonic() < deadline:
                        connection.sendall(b"1000\r\n" + b"x" * 0x1000 + b"\r\n")
                    return
                if answer[0] == "tunnel":
                    request.status = 200
                    self._tunnel(connection, answer[1])
                    return
                if answer[0] == "hang":
                    self.release.wait()
                    return
                if answer[0] == "delay":
                    time.sleep(answer[1])
                    answer = answer[1:]
                if answer[0] == "wait":
                    if self._client_left(connection, answer[1]):
                        if not self.stopping.is_set() and self.listener is not None:  # not our own close
                            request.abandoned_at = time.monotonic()
                        return
                    answer = answer[1:]
                _, status, body, *headers = answer
                request.status = status
                extra = "".join("%s: %s\r\n" % h for h in (headers[0] if headers else ()))
                head = "HTTP/1.1 %d X\r\n%sContent-Length: %d\r\n\r\n" % (status, extra, len(body))
                connection.sendall(head.encode() + body)
                request.answered_at = time.monotonic()
        except OSError:
            return
        finally:
            reader.close()
            connection.close()

    def _handshake(self, connection):
        """The connection wrapped in TLS, kept in place of the plain one so that
        stop() and refuse() close it; None (noted in tls_failures) when the
        handshake fails."""
        raw = connection
        try:
            connection.settimeout(10)
            connection = self.ssl_context.wrap_socket(connection, server_side=True)
            connection.settimeout(None)
        except (ssl.SSLError, OSError) as e:
            with self.lock:
                self.tls_failures.append(str(e))
            raw.close()
            return None
        with self.lock:
            if raw in self.connections:
                self.connections[self.connections.index(raw)] = connection
            else:  # closed by stop() or refuse() during the handshake
                connection.close()
                return None
        return connection

    def _tunnel(self, connection, port):
        with socket.create_connection(("127.0.0.1", port), timeout=5) as upstream:
            connection.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            ends = {connection: upstream, upstream: connection}
            while not self.stopping.is_set():
                for end in select.select(list(ends), [], [], 0.2)[0]:
                    data = end.recv(65536)
                    if not data:
                        return
                    ends[end].sendall(data)

    @staticmethod
    def _client_left(connection, seconds):
        """Waits `seconds`; True as soon as the client closes the connection."""
        deadline = time.monotonic() + seconds
        if isinstance(connection, ssl.SSLSocket):
            # The TLS layer allows no peeking and a closing client may send a
            # close_notify first: wait for the end of its sending side instead.
            poller = select.poll()
            poller.register(connection.fileno(), select.POLLRDHUP)
            return bool(poller.poll(max(0.0, seconds) * 1000))
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            readable, _, _ = select.select([connection], [], [], left)
            if readable:
                try:
                    if connection.recv(1, socket.MSG_PEEK) == b"":
                        return True
                except OSError:
                    return True
                time.sleep(max(0.0, deadline - time.monotonic()))  # bytes of a next request
                return False

    @staticmethod
    def _read_body(reader, request):
        if (request.header("Transfer-Encoding") or "").lower() == "chunked":
            while True:
                size_line = reader.readline()
                if not size_line:
                    return
                size = int(size_line.split(b";")[0].strip(), 16)
                if size == 0:
                    reader.readline()  # the empty line after the last chunk
                    request.complete = True
                    request._decode()
                    return
                request.body += reader.read(size)
                reader.readline()
        else:
            length = int(request.header("Content-Length") or 0)
            request.body = reader.read(length)
            request.complete = len(request.body) == length
            if request.complete:
                request._decode()
