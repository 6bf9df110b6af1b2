"""The search server of ``python -m tessaloom serve INDEX``: one page with a
search box that answers as the user types, and the JSON API it asks.

- ``GET /`` serves the page (``page.html`` beside this module): inline CSS
  and script only, under a Content-Security-Policy that allows nothing else.
- ``GET /search?q=TEXT&limit=N`` answers ``{"query": TEXT, "hits": [{"rank",
  "video", "score", "words", "title" (when known)}]}``, best first.
- Anything else is 404; a method other than GET or HEAD is 501. Every error
  answers ``{"error": REASON}``.
- A request's body, which no request here uses, is read and dropped (up to
  ``_MAX_BODY`` bytes of a stated length); any other body ends the connection
  after the answer, so that no body is ever taken for the next request.
- A request whose Host header names no address of this server is refused
  with 421 (so that a page of another site cannot reach it by pointing its
  own name at this address), and an HTTP/1.1 request without one with 400.

Connections are served on a thread each, at most ``max_connections`` at once:
past that, the kept-alive connection that has awaited its next request
longest, with no byte of one arrived, is closed to make room, or, when there
is none, the new one is answered 503 and closed. A request that arrives as
its connection is being closed is still answered, with ``Connection: close``.
A connection may wait ``idle_timeout`` seconds for its next request, whose
line and headers must then arrive within ``request_timeout`` seconds. An
index never changes and a search runs without the GIL, so the threads search
in parallel with no lock.
"""

from __future__ import annotations

import base64
import hashlib
import io
import ipaddress
import json
import re
import select
import socket
import sys
import threading
import time
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from urllib.parse import parse_qs, urlsplit

MAX_QUERY = 1000  # characters of q
MAX_LIMIT = 1000
DEFAULT_LIMIT = 10
MAX_CONNECTIONS = 64  # connections served at once
IDLE_TIMEOUT = 60.0  # seconds a kept-alive connection may wait for its next request
REQUEST_TIMEOUT = 10.0  # seconds for a request's line and headers, from its first byte
_SEND_TIMEOUT = 30.0  # seconds to send an answer
_STOP_WAIT = 5.0  # seconds a stop waits for the searches under way
_TOO_MANY = "too many connections: try again shortly"
_MAX_BODY = 65536  # bytes of a request's body read and dropped, keeping its connection
_LINGER = 1.0  # seconds a connection closed with a body unread drops what still comes

PAGE = resources.files("tessaloom").joinpath("page.html").read_bytes()


def _content_security_policy(page: bytes) -> str:
    """Allows the page's own inline script and style, by hash, and requests to
    its own origin; nothing else (no other script, image, frame or form)."""
    def hashes(tag: str) -> str:
        bodies = re.findall(rb"<%s>(.*?)</%s>" % (tag.encode(), tag.encode()), page, re.S)
        return " ".join(f"'sha256-{base64.b64encode(hashlib.sha256(b).digest()).decode()}'" for b in bodies)

    return (f"default-src 'none'; script-src {hashes('script')}; style-src {hashes('style')}; "
            "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")


_PAGE_HEADERS = {
    "Content-Type": "text/html; charset=utf-8",
    "Content-Security-Policy": _content_security_policy(PAGE),
    "Cache-Control": "no-cache",
}
_JSON_HEADERS = {
    "Content-Type": "application/json",
    "Content-Security-Policy": "default-src 'none'; frame-ancestors 'none'",
    "Cache-Control": "no-store",
}


def hit_json(rank: int, hit) -> dict:
    """One hit as the JSON API and ``query --json`` give it: ``title`` only
    when the index knows the video's title."""
    item = {"rank": rank, "video": hit.video, "score": hit.score, "words": hit.words}
    if hit.title is not None:
        item["title"] = hit.title
    return item


class BadRequest(ValueError):
    """A request the server answers with 400 and the reason."""


def search_params(query: str) -> tuple[str, int]:
    """``q`` and ``limit`` from a URL's query string, checked."""
    try:
        fields = parse_qs(query, keep_blank_values=True, errors="strict", max_num_fields=20)
    except UnicodeDecodeError:
        raise BadRequest("the query string is not UTF-8") from None
    except ValueError:
        raise BadRequest("too many fields in the query string") from None
    q = fields.get("q")
    if q is None:
        raise BadRequest("q is missing: ask /search?q=TEXT")
    if len(q) > 1:
        raise BadRequest("q is given more than once")
    text = q[0]
    if len(text) > MAX_QUERY:
        raise BadRequest(f"q is longer than {MAX_QUERY:,} characters ({len(text):,})")
    limit = fields.get("limit", [str(DEFAULT_LIMIT)])
    if len(limit) > 1:
        raise BadRequest("limit is given more than once")
    if not re.fullmatch(r"[0-9]{1,4}", limit[0]) or int(limit[0]) > MAX_LIMIT:
        shown = limit[0] if len(limit[0]) <= 20 else limit[0][:17] + "..."
        raise BadRequest(f"limit must be an integer 0..{MAX_LIMIT}, got {shown!r}")
    return text, int(limit[0])


# A Host header: a name or IPv4 address, or an IPv6 address in brackets, and
# an optional port.
_HOST = re.compile(r"(\[[0-9A-Fa-f:.]+\]|[^\[\]:/@\s]+)(?::([0-9]{0,5}))?")


class HostCheck:
    """Which Host headers name a server bound to ``bound`` (an IP address)
    on ``port``, having been asked for ``given`` (a name or an address).

    Taken: ``given`` and ``bound``; on loopback also localhost, 127.0.0.1 and
    [::1]; on every address (0.0.0.0 or ::) any IP address, localhost and
    this machine's name. The port must be the server's (or absent for 80).
    Another name is what a page of another site sends when it has pointed
    its own name at this address (DNS rebinding), so it is refused.
    """

    def __init__(self, given: str, bound: str, port: int):
        self.port = port
        address = ipaddress.ip_address(bound)
        self.ips = {address}
        self.names = {given.strip("[]").lower()}
        self.any_ip = address.is_unspecified
        if address.is_loopback or self.any_ip:
            self.ips |= {ipaddress.ip_address("127.0.0.1"), ipaddress.ip_address("::1")}
            self.names.add("localhost")
        if self.any_ip:
            self.names.add(socket.gethostname().lower())

    def __call__(self, value: str) -> bool:
        match = _HOST.fullmatch(value.strip())
        if match is None or int(match[2] or 80) != self.port:
            return False
        name = match[1].lower()
        if name in self.names:
            return True
        try:
            address = ipaddress.ip_address(name[1:-1] if name.startswith("[") else name)
        except ValueError:
            return False
        return self.any_ip or address in self.ips


class SearchServer(ThreadingHTTPServer):
    """Serves the page and the search API over one index with its titles
    (a ``TitledIndex``, as ``tessaloom.load_titled`` gives it), at most
    ``max_connections`` connections at once."""

    daemon_threads = True
    idle_timeout = IDLE_TIMEOUT
    request_timeout = REQUEST_TIMEOUT

    def __init__(self, titled, host: str = "127.0.0.1", port: int = 8080, *, log: bool = False,
                 max_connections: int = MAX_CONNECTIONS):
        if max_connections < 1:
            raise ValueError(f"max_connections must be at least 1, got {max_connections}")
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.titled, self.log = titled, log
        self._busy = 0
        self._idle = threading.Condition()
        self._slots = threading.BoundedSemaphore(max_connections)
        # Connections awaiting their next request, longest waiting first.
        self._waiting: dict[socket.socket, None] = {}
        self._closing: set[socket.socket] = set()  # connections whose reading was shut to make room
        super().__init__((host, port), _Handler)
        self.host_allowed = HostCheck(host, self.server_address[0], self.server_address[1])

    def process_request(self, request, client_address) -> None:
        if not self._slots.acquire(blocking=False):
            if not self._close_idle():
                return self._refuse(request)
            if not self._slots.acquire(timeout=1.0):
                return self._refuse(request)
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request, client_address) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            with self._idle:
                self._waiting.pop(request, None)
                self._closing.discard(request)
            self._slots.release()

    def _refuse(self, request) -> None:
        """Answers 503 on a connection past the bound, and closes it."""
        body = json.dumps({"error": _TOO_MANY}).encode()
        head = ("HTTP/1.1 503 Service Unavailable\r\nServer: tessaloom\r\nContent-Type: application/json\r\n"
                f"Content-Length: {len(body)}\r\nRetry-After: 1\r\nConnection: close\r\n\r\n")
        try:
            request.settimeout(1.0)
            request.sendall(head.encode() + body)
        except OSError:
            pass
        self.shutdown_request(request)

    def _close_idle(self) -> bool:
        """Shuts the reading side of one connection awaiting its next request,
        so that its thread ends and frees a slot: of those with no byte of it
        arrived (or closed by their client), the one waiting longest, the
        least likely to be sending one. False when there is none.

        Only reading is shut, under the lock its reader takes on waking: a
        request whose bytes arrive meanwhile is still read (Linux hands over
        what was queued) and answered. A connection with a request waiting
        is about to be served, so it is passed over."""
        with self._idle:
            for connection in self._waiting:
                if _closable(connection):
                    del self._waiting[connection]
                    self._closing.add(connection)
                    try:
                        connection.shutdown(socket.SHUT_RD)
                    except OSError:
                        pass
                    return True
        return False

    def set_waiting(self, connection: socket.socket, waiting: bool) -> bool:
        """Marks a connection as awaiting its next request (closable to make
        room for another) or not. Returns whether its reading was shut to
        make room while it waited: a request read from it then is its last."""
        with self._idle:
            if waiting:
                self._waiting[connection] = None
            else:
                self._waiting.pop(connection, None)
            return connection in self._closing

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://[{host}]:{port}/" if self.address_family == socket.AF_INET6 else f"http://{host}:{port}/"

    def search(self, text: str, limit: int) -> bytes:
        """The JSON answer to a search, counted as under way while it runs."""
        with self._idle:
            self._busy += 1
        try:
            hits = self.titled.search(text, limit)
        finally:
            with self._idle:
                self._busy -= 1
                self._idle.notify_all()
        return json.dumps({"query": text, "hits": [hit_json(i, h) for i, h in enumerate(hits, 1)]}).encode()

    def wait_idle(self, timeout: float = _STOP_WAIT) -> bool:
        """Waits until no search is under way, at most ``timeout`` seconds."""
        with self._idle:
            return self._idle.wait_for(lambda: self._busy == 0, timeout)


_HUNG_UP = select.POLLHUP | select.POLLERR | getattr(select, "POLLRDHUP", 0)


def _closable(connection: socket.socket) -> bool:
    """Whether a connection awaiting its next request has no byte of it
    waiting to be read, or has been closed by the client (what it sent
    before closing is still read once its reading is shut)."""
    try:
        poller = select.poll()
        poller.register(connection, select.POLLIN | _HUNG_UP)
        events = poller.poll(0)
    except (OSError, ValueError):  # closed meanwhile
        return False
    return not events or bool(events[0][1] & _HUNG_UP)


def _linger(connection: socket.socket) -> None:
    """Ends the sending side, then drops what the client still sends, for at
    most _LINGER seconds: a connection closed with bytes unread is reset, and
    a reset can destroy the answer before the client has read it."""
    try:
        connection.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + _LINGER
        while (left := deadline - time.monotonic()) > 0:
            connection.settimeout(left)
            if not connection.recv(65536):
                return
    except OSError:
        pass


class _Closed(Exception):
    """The connection was shut to make room while a request was coming in,
    and the request ended before its headers did."""


class _TimedReader(io.RawIOBase):
    """A connection's reads: the next request may be awaited for the
    server's ``idle_timeout``, and from its first byte, its line and headers
    must come within ``request_timeout`` (a trickle of bytes cannot hold the
    connection). ``start()`` begins awaiting the next request. ``closing``
    tells that the server shut the reading to make room: the request under
    way, if any, is the connection's last."""

    def __init__(self, server: SearchServer, connection: socket.socket):
        self._server, self._connection, self._deadline = server, connection, None
        self.closing = False

    def start(self) -> None:
        self._deadline = None

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self._deadline is None:
            self._connection.settimeout(self._server.idle_timeout)
            self._server.set_waiting(self._connection, True)
            try:
                n = self._connection.recv_into(buffer)
            finally:
                self.closing = self._server.set_waiting(self._connection, False) or self.closing
            self._deadline = time.monotonic() + self._server.request_timeout
            return n
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request's line and headers took too long")
        self._connection.settimeout(left)
        n = self._connection.recv_into(buffer)
        if n == 0 and self.closing:
            raise _Closed  # the rest of the request was still on its way when reading was shut
        return n


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive: a page's keystrokes reuse one connection
    disable_nagle_algorithm = True  # headers and body go out at once, not 40 ms apart
    server: SearchServer

    def setup(self) -> None:
        super().setup()
        self.rfile.close()  # the socket stays open; reads go through the timed reader
        self._reader = _TimedReader(self.server, self.connection)
        self.rfile = io.BufferedReader(self._reader)
        self._body_unread = False

    def handle(self) -> None:
        try:
            super().handle()
        except ConnectionError as e:
            # The client went away (a reset, or a closed connection before its
            # answer was sent): an event like a timeout, not a fault.
            self.close_connection = True
            self.log_error("connection lost: %s", e.strerror or type(e).__name__)

    def handle_one_request(self) -> None:
        self._reader.start()
        # What an answer needs if the request ends before its line is parsed.
        self.command, self.requestline, self.request_version = None, "", "HTTP/1.1"
        try:
            super().handle_one_request()
        except _Closed:
            self.close_connection = True
            self._reply(503, json.dumps({"error": _TOO_MANY}).encode(), {**_JSON_HEADERS, "Retry-After": "1"})

    def parse_request(self) -> bool:
        # No request here has a body, but one sent anyway must not be taken
        # for the next request: a body of a stated length up to _MAX_BODY is
        # read (within the request's deadline) and dropped; any other ends
        # the connection after its answer.
        if not super().parse_request():
            return False
        lengths = [v.strip() for v in self.headers.get_all("Content-Length", [])]
        if "Transfer-Encoding" not in self.headers and lengths in ([], ["0"]):
            return True
        if ("Transfer-Encoding" in self.headers or len(lengths) > 1 or not re.fullmatch(r"[0-9]{1,6}", lengths[0])
                or int(lengths[0]) > _MAX_BODY):
            self._body_unread = self.close_connection = True
        elif len(self.rfile.read(int(lengths[0]))) < int(lengths[0]):
            self.close_connection = True  # the client closed mid-body
        return True

    def finish(self) -> None:
        super().finish()
        if self._body_unread:
            _linger(self.connection)

    def version_string(self) -> str:
        return "tessaloom"

    def do_GET(self) -> None:
        hosts = self.headers.get_all("Host", [])
        if len(hosts) != 1 and (hosts or self.request_version not in ("HTTP/0.9", "HTTP/1.0")):
            self.close_connection = True  # a malformed request, as the base class's errors
            reason = "the Host header is given more than once" if hosts else "the Host header is missing"
            return self._error(400, reason)
        if hosts and not self.server.host_allowed(hosts[0]):
            shown = hosts[0] if len(hosts[0]) <= 60 else hosts[0][:57] + "..."
            return self._error(421, f"the Host header {shown!r} names no address of this server: "
                                    f"open {self.server.url}")
        url = urlsplit(self.path)
        if url.path == "/":
            self._reply(200, PAGE, _PAGE_HEADERS)
        elif url.path == "/search":
            self._search(url.query)
        else:
            self._error(404, "not found: this server answers / and /search only")

    do_HEAD = do_GET

    def _search(self, query: str) -> None:
        try:
            text, limit = search_params(query)
            body = self.server.search(text, limit)
        except ValueError as e:  # BadRequest, or refused by search (such as a text of too many words)
            return self._error(400, str(e))
        except MemoryError:
            return self._error(503, "out of memory")
        except BaseException as e:
            if isinstance(e, (KeyboardInterrupt, SystemExit)):
                raise
            # PanicException (a damaged index) or a fault of this program.
            traceback.print_exc(file=sys.stderr)
            return self._error(500, f"internal error: {type(e).__name__}")
        self._reply(200, body, _JSON_HEADERS)

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        # The base class's errors (a malformed request, a method other than
        # GET) answer JSON too, and close the connection.
        self.close_connection = True
        self._error(code, message or self.responses.get(code, ("error",))[0])

    def _error(self, code: int, reason: str) -> None:
        self._reply(code, json.dumps({"error": reason}).encode(), _JSON_HEADERS)

    def _reply(self, code: int, body: bytes, headers: dict) -> None:
        self.connection.settimeout(_SEND_TIMEOUT)
        if self._reader.closing:  # its reading is shut: this answer is its last
            self.close_connection = True
        self.send_response(code)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if getattr(self, "command", None) != "HEAD":
            self.wfile.write(body)

    def log_message(self, format: str, *args) -> None:
        if self.server.log:
            super().log_message(format, *args)


def serve(titled, host: str = "127.0.0.1", port: int = 8080, *, log: bool = False, name: str = "the index") -> None:
    """Serves until KeyboardInterrupt (Ctrl-C), then waits a moment for the
    searches under way and closes. Prints the address it listens on (with
    ``port=0``, the port the system chose)."""
    server = SearchServer(titled, host, port, log=log)
    try:
        print(f"serving {name} at {server.url} (Ctrl-C stops)", flush=True)
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        server.wait_idle()
    print("stopped", flush=True)
