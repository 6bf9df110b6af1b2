"""The search server of ``python -m tessaloom serve INDEX``: one page with a
search box that answers as the user types, and the JSON API it asks.

- ``GET /`` serves the page (``page.html`` beside this module): inline CSS
  and script only, under a Content-Security-Policy that allows nothing else.
- ``GET /search?q=TEXT&limit=N`` answers ``{"query": TEXT, "hits": [{"rank",
  "video", "score", "words", "title" (when known)}]}``, best first.
- Anything else is 404; a method other than GET is 501. Every error answers
  ``{"error": REASON}``.

Requests are answered on a thread each. An index never changes and a search
runs without the GIL, so the threads search in parallel with no lock.
"""

from __future__ import annotations

import base64
import hashlib
import json
import re
import socket
import sys
import threading
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from urllib.parse import parse_qs, urlsplit

MAX_QUERY = 1000  # characters of q
MAX_LIMIT = 1000
DEFAULT_LIMIT = 10
_STOP_WAIT = 5.0  # seconds a stop waits for the searches under way

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


class SearchServer(ThreadingHTTPServer):
    """Serves the page and the search API over one index with its titles
    (a ``TitledIndex``, as ``tessaloom.load_titled`` gives it)."""

    daemon_threads = True

    def __init__(self, titled, host: str = "127.0.0.1", port: int = 8080, *, log: bool = False):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.titled, self.log = titled, log
        self._busy = 0
        self._idle = threading.Condition()
        super().__init__((host, port), _Handler)

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


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive: a page's keystrokes reuse one connection
    timeout = 60  # an idle connection is closed after this many seconds
    disable_nagle_algorithm = True  # headers and body go out at once, not 40 ms apart
    server: SearchServer

    def version_string(self) -> str:
        return "tessaloom"

    def do_GET(self) -> None:
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
