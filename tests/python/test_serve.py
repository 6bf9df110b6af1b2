"""``python -m tessaloom serve``: the JSON API over loopback, stopping, and the
page in a real browser (headless Chromium through selenium)."""

import csv
import http.client
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from pathlib import Path
from urllib.parse import quote

import pytest

import tessaloom
from tessaloom.server import HostCheck, SearchServer

TITLES = {
    1: "Sourdough bread for beginners",
    2: "Pasta carbonara, the Roman way",
    3: "Sourdough pizza at home",
    4: "Bread machine review",
    5: "<img src=x onerror=alert(1)>",
    6: "Crème brûlée\twith a torch",
    7: "Kneading dough by hand",
    8: "Bread pudding, the easy way",
}
ROOT = Path(__file__).resolve().parents[2]
TOO_MANY = "too many connections: try again shortly"


@pytest.fixture(scope="module")
def index_path(tmp_path_factory):
    """The index file the command line builds, titles and all, from videos.csv."""
    folder = tmp_path_factory.mktemp("serve")
    with (folder / "videos.csv").open("w", encoding="utf-8", newline="") as f:
        csv.writer(f).writerows([("id", "text"), *TITLES.items()])
    subprocess.run([sys.executable, "-m", "tessaloom", "build", "videos.csv", "-o", "videos.idx"], cwd=folder,
                   check=True, capture_output=True, timeout=120)
    return folder / "videos.idx"


@contextmanager
def server(path, *args):
    """A server on a free loopback port; yields (process, host, port)."""
    proc = subprocess.Popen([sys.executable, "-m", "tessaloom", "serve", str(path), "--port", "0", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert " at http://127.0.0.1:" in line, (line, proc.stderr.read() if proc.poll() is not None else "")
        port = int(line.split("http://127.0.0.1:", 1)[1].split("/", 1)[0])
        yield proc, "127.0.0.1", port
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.communicate(timeout=30)


@pytest.fixture(scope="module")
def served(index_path):
    with server(index_path) as (_, host, port):
        yield host, port


def get(address, target, connection=None):
    """(status, decoded JSON or text, headers) of a GET."""
    conn = connection or http.client.HTTPConnection(*address, timeout=30)
    conn.request("GET", target)
    response = conn.getresponse()
    body = response.read().decode()
    if connection is None:
        conn.close()
    if response.getheader("Content-Type") == "application/json":
        body = json.loads(body)
    return response.status, body, response


@pytest.mark.parametrize("text, limit", [("sourdogh bred", 10), ("bread", 2), ("dough", 0), ("crème", 1000),
                                         ("", 10), ("onerror", 10), ("?!", 10)])
def test_search_answers_what_the_titled_index_answers(served, index_path, text, limit):
    status, body, _ = get(served, f"/search?q={quote(text)}&limit={limit}")
    expected = tessaloom.load_titled(index_path).search(text, limit)
    assert status == 200 and body["query"] == text
    assert body["hits"] == [{"rank": i, "video": h.video, "score": h.score, "words": h.words, "title": h.title}
                            for i, h in enumerate(expected, 1)]
    if text == "sourdogh bred":
        assert body["hits"][0]["title"] == TITLES[1]
    if limit >= 10:  # the default limit is 10
        assert get(served, f"/search?q={quote(text)}")[1]["hits"] == body["hits"][:10]


@pytest.mark.parametrize("target, status, reason", [
    ("/search?q=" + "a" * 1001, 400, "q is longer than 1,000 characters (1,001)"),
    ("/search?q=bread&limit=1001", 400, "limit must be an integer 0..1000, got '1001'"),
    ("/search?q=bread&limit=1.5", 400, "limit must be an integer 0..1000, got '1.5'"),
    ("/search?q=bread&limit=%EF%BC%95", 400, "limit must be an integer 0..1000, got '\uff15'"),  # a fullwidth 5
    ("/search?q=bread&limit=", 400, "limit must be an integer 0..1000, got ''"),
    ("/search?q=bread&limit=1&limit=2", 400, "limit is given more than once"),
    ("/search", 400, "q is missing: ask /search?q=TEXT"),
    ("/search?q=a&q=b", 400, "q is given more than once"),
    ("/search?q=%FF", 400, "the query string is not UTF-8"),
    ("/search/", 404, None), ("/index.html", 404, None), ("/page.html", 404, None), ("/../README.md", 404, None),
    ("/favicon.ico", 404, None), ("/tessaloom/server.py", 404, None),
    ("/search?q=" + "a" * 1000 + "&limit=1000", 200, None),  # the largest taken
])
def test_bad_requests_and_unknown_paths_answer_a_json_reason(served, target, status, reason):
    got, body, _ = get(served, target)
    assert got == status and (status == 200 or set(body) == {"error"})
    assert reason is None or body["error"] == reason


def test_the_page_is_self_contained_and_locked_down(served):
    status, page, response = get(served, "/")
    assert status == 200 and response.getheader("Content-Type") == "text/html; charset=utf-8"
    policy = response.getheader("Content-Security-Policy")
    assert "default-src 'none'" in policy and "connect-src 'self'" in policy and "unsafe" not in policy
    # Nothing loaded from anywhere else, and the titles only ever set as text.
    assert not any(attr in page for attr in ("src=", "href=", "@import", "url(")), page
    assert "innerHTML" not in page and "insertAdjacentHTML" not in page and ".textContent = " in page


def test_answers_under_parallel_load_are_the_sequential_answers(served):
    queries = ["sourdogh bred", "bread", "pasta carbonara", "dough", "pizza", "brulee", "bred pudding", "kneading"]
    expected = {q: get(served, f"/search?q={quote(q)}")[1] for q in queries}
    failures = []

    def client(n):
        conn = http.client.HTTPConnection(*served, timeout=30)  # keep-alive: one connection per client
        for i in range(40):
            q = queries[(n + i) % len(queries)]
            status, body, _ = get(served, f"/search?q={quote(q)}", conn)
            if (status, body) != (200, expected[q]):
                failures.append((q, status, body))
        conn.close()

    threads = [threading.Thread(target=client, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert failures == []


@pytest.mark.parametrize("given, bound, port, host, taken", [
    ("127.0.0.1", "127.0.0.1", 8080, "127.0.0.1:8080", True),
    ("127.0.0.1", "127.0.0.1", 8080, "LocalHost:8080", True),
    ("127.0.0.1", "127.0.0.1", 8080, "[::1]:8080", True),
    ("localhost", "127.0.0.1", 80, "localhost", True),  # port 80 may go unsaid
    ("127.0.0.1", "127.0.0.1", 8080, "127.0.0.1", False),
    ("127.0.0.1", "127.0.0.1", 8080, "127.0.0.1:8081", False),
    ("127.0.0.1", "127.0.0.1", 8080, "rebound.example:8080", False),  # a name pointed at 127.0.0.1
    ("127.0.0.1", "127.0.0.1", 8080, "localhost.example:8080", False),
    ("127.0.0.1", "127.0.0.1", 8080, "user@127.0.0.1:8080", False),
    ("192.168.1.5", "192.168.1.5", 8080, "192.168.1.5:8080", True),
    ("box.lan", "192.168.1.5", 8080, "BOX.lan:8080", True),
    ("192.168.1.5", "192.168.1.5", 8080, "localhost:8080", False),  # not on loopback
    ("0.0.0.0", "0.0.0.0", 8080, "10.1.2.3:8080", True),  # on every address: any address, not any name
    ("::", "::", 8080, "[fe80::1]:8080", True),
    ("0.0.0.0", "0.0.0.0", 8080, f"{socket.gethostname()}:8080", True),
    ("0.0.0.0", "0.0.0.0", 8080, "rebound.example:8080", False),
])
def test_only_hosts_naming_the_server_are_taken(given, bound, port, host, taken):
    assert HostCheck(given, bound, port)(host) is taken


def test_a_request_for_another_host_is_refused(served):
    def ask(head):
        with socket.create_connection(served, timeout=30) as s:
            s.sendall(head.encode() + b"\r\n\r\n")
            return b"".join(iter(lambda: s.recv(65536), b"")).decode().split("\r\n", 1)[0]
    host = f"Host: {served[0]}:{served[1]}"
    assert ask(f"GET /search?q=bread HTTP/1.1\r\n{host}\r\nConnection: close") == "HTTP/1.1 200 OK"
    assert ask("GET / HTTP/1.0") == "HTTP/1.1 200 OK"  # HTTP/1.0 needs no Host
    assert ask("GET / HTTP/1.1\r\nConnection: close") == "HTTP/1.1 400 Bad Request"
    assert ask(f"GET / HTTP/1.1\r\n{host}\r\n{host}") == "HTTP/1.1 400 Bad Request"
    conn = http.client.HTTPConnection(*served, timeout=30)
    conn.request("GET", "/search?q=bread", headers={"Host": f"rebound.example:{served[1]}"})
    response = conn.getresponse()
    assert response.status == 421 and json.loads(response.read()) == {
        "error": f"the Host header 'rebound.example:{served[1]}' names no address of this server: "
                 f"open http://127.0.0.1:{served[1]}/"}


@pytest.mark.parametrize("body, statuses", [
    ("length", [b"200", b"200"]),  # read and dropped: the connection goes on
    ("chunked", [b"200"]),  # left unread: answered, and the connection ends
])
def test_a_body_sent_with_a_request_is_never_taken_for_the_next_request(served, body, statuses):
    host = f"Host: {served[0]}:{served[1]}\r\n"
    smuggled = f"GET /missing HTTP/1.1\r\n{host}\r\n".encode()
    head = f"GET /search?q=bread HTTP/1.1\r\n{host}"
    first = (f"{head}Content-Length: {len(smuggled)}\r\n\r\n".encode() + smuggled if body == "length" else
             f"{head}Transfer-Encoding: chunked\r\n\r\n{len(smuggled):x}\r\n".encode() + smuggled + b"\r\n0\r\n\r\n")
    with socket.create_connection(served, timeout=30) as s:
        s.sendall(first + f"GET /search?q=dough HTTP/1.1\r\n{host}Connection: close\r\n\r\n".encode())
        answers = b"".join(iter(lambda: s.recv(65536), b""))
    assert re.findall(rb"HTTP/1\.1 (\d{3})", answers) == statuses and b'"error"' not in answers


class WatchedServer(SearchServer):
    """Notes the clients whose connection has had a read come back."""

    def set_waiting(self, connection, waiting):
        super().set_waiting(connection, waiting)
        if not waiting:
            try:
                self.read_from.add(connection.getpeername())
            except OSError:  # closed
                pass


def test_connections_are_bounded_and_idle_or_slow_ones_let_go(index_path):
    server = WatchedServer(tessaloom.load_titled(index_path), "127.0.0.1", 0, max_connections=2)
    server.request_timeout, server.read_from = 1.0, set()
    address = server.server_address
    threading.Thread(target=server.serve_forever, daemon=True).start()

    def settle(done):
        deadline = time.monotonic() + 30
        while not done() and time.monotonic() < deadline:
            time.sleep(0.01)

    try:
        # Two idle kept-alive connections fill it; a third is served by closing one.
        kept = [http.client.HTTPConnection(*address, timeout=30) for _ in range(3)]
        for n, c in enumerate(kept):
            assert get(address, "/search?q=bread", c)[0] == 200
            settle(lambda: len(server._waiting) == min(n + 1, 2))
        assert get(address, "/search?q=bread", kept[1])[0] == 200  # the one idle longest was closed
        settle(lambda: len(server._waiting) == 2)
        # Two requests that never finish arriving hold both; a third connection is refused.
        slow = []
        for _ in range(2):
            slow.append(socket.create_connection(address, timeout=30))
            slow[-1].sendall(b"GET /search?q=bread HTTP/1.1\r\n")
            settle(lambda: slow[-1].getsockname() in server.read_from)
        with socket.create_connection(address, timeout=30) as s:
            assert s.recv(65536).startswith(b"HTTP/1.1 503 Service Unavailable\r\n")
        # Past the request timeout both are closed unanswered, and once their
        # threads end the server answers again.
        assert [s.recv(65536) for s in slow] == [b"", b""]
        settle(lambda: get(address, "/search?q=bread")[0] == 200)
        assert get(address, "/search?q=bread")[0] == 200
    finally:
        server.shutdown()
        server.server_close()


class RacingServer(SearchServer):
    """Holds the first connection's reader at one side of its wait for a
    request (``hold``: "before" the read, with the connection counted as
    waiting, or "after" it, with a request read) until the server has closed
    that connection for room or dealt with the next one."""

    hold, held, dealt = None, None, None

    def set_waiting(self, connection, waiting):
        if waiting == (self.hold == "after") or self.held.is_set():
            return super().set_waiting(connection, waiting)
        if waiting:
            super().set_waiting(connection, waiting)
        self.held.set()
        deadline = time.monotonic() + 10
        while connection in self._waiting and not self.dealt.is_set() and time.monotonic() < deadline:
            time.sleep(0.005)
        return None if waiting else super().set_waiting(connection, waiting)

    def process_request(self, request, client_address):
        super().process_request(request, client_address)
        if self.held.is_set():
            self.dealt.set()


@pytest.mark.parametrize("hold, sent, first, other", [
    ("before", "all", 200, 503),  # its request waits to be read: it is served, and the new one refused
    ("after", "all", 200, 200),  # its request was read: answered, then it is closed for the new one
    ("after", "line", 503, 200),  # the rest of its request was still on its way: a clean refusal
    ("before", "end", None, 200),  # closed by its client: it makes room
])
def test_a_request_arriving_as_its_connection_is_closed_for_room_is_answered(index_path, hold, sent, first, other):
    server = RacingServer(tessaloom.load_titled(index_path), "127.0.0.1", 0, max_connections=1)
    server.hold, server.held, server.dealt = hold, threading.Event(), threading.Event()
    address = server.server_address
    threading.Thread(target=server.serve_forever, daemon=True).start()
    request = f"GET /search?q=bread HTTP/1.1\r\nHost: 127.0.0.1:{address[1]}\r\n\r\n".encode()
    try:
        with socket.create_connection(address, timeout=30) as held:
            if hold == "before":
                assert server.held.wait(30)  # counted as waiting, its request not yet read
            if sent == "end":
                held.shutdown(socket.SHUT_WR)
            else:
                held.sendall(request if sent == "all" else request.split(b"\n", 1)[0] + b"\n")
            assert server.held.wait(30)
            with socket.create_connection(address, timeout=30) as new:
                new.sendall(request)
                assert new.recv(65536).split(b"\r\n", 1)[0] == b"HTTP/1.1 %d " % other + http.HTTPStatus(
                    other).phrase.encode()
            if first is None:
                assert held.recv(65536) == b""
                return
            response = http.client.HTTPResponse(held)
            response.begin()
            body = json.loads(response.read())
            assert response.status == first and (body["hits"] if first == 200 else body == {"error": TOO_MANY})
            assert response.getheader("Connection") == ("close" if other == 200 else None)
    finally:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("stop, log", [(signal.SIGINT, False), (signal.SIGTERM, True)])
def test_ctrl_c_stops_it_cleanly_with_exit_0_and_a_busy_port_fails(index_path, stop, log):
    with server(index_path, *["--log"] * log) as (proc, host, port):
        idle = http.client.HTTPConnection(host, port, timeout=30)  # a keep-alive connection left open
        assert get((host, port), "/search?q=bread", idle)[0] == 200
        gone = http.client.HTTPConnection(host, port, timeout=30)  # a client that goes away with a reset
        assert get((host, port), "/search?q=bread", gone)[0] == 200
        gone.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        gone.close()
        busy = subprocess.run([sys.executable, "-m", "tessaloom", "serve", str(index_path), "--port", str(port)],
                              capture_output=True, text=True, timeout=60)
        assert busy.returncode == 1 and busy.stderr.startswith(f"error: cannot serve on 127.0.0.1 port {port}: ")
        proc.send_signal(stop)
        out, err = proc.communicate(timeout=30)
        idle.close()
        assert (proc.returncode, out) == (0, "stopped\n")
        # The reset is no fault: one line among the requests' with --log, else nothing.
        assert [line.split("] ", 1)[1] for line in err.splitlines()] == [
            '"GET /search?q=bread HTTP/1.1" 200 -', '"GET /search?q=bread HTTP/1.1" 200 -',
            "connection lost: Connection reset by peer"] if log else err == ""


# The page in a real browser.

def chromium():
    """A headless Chromium driven through Debian's chromedriver, or a skip where
    none can start (CI must run it: there, failing to start fails)."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        reason = f"selenium is not installed: {e}"
    else:
        browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
        if browser and driver:
            options = webdriver.ChromeOptions()
            options.binary_location = browser
            for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=900,700"):
                options.add_argument(flag)
            os.environ["SE_OFFLINE"] = "true"  # never let selenium fetch a browser or driver
            try:
                return webdriver.Chrome(options=options, service=Service(executable_path=driver))
            except Exception as e:  # whatever keeps it from starting
                reason = f"chromium did not start: {e}"
        else:
            reason = "chromium or chromedriver is not installed (scripts/setup-system.sh installs them)"
    if os.environ.get("CI"):
        pytest.fail(reason)
    pytest.skip(reason)


@pytest.fixture(scope="module")
def browser():
    driver = chromium()
    yield driver
    driver.quit()


def test_the_page_answers_as_you_type_by_keyboard_and_shows_titles_as_text(browser, served):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    def titles():
        return browser.execute_script(
            "return Array.from(document.querySelectorAll('#results .title'), e => e.textContent)")

    def wait_for_first(title):
        """Waits until the list answers the box's whole text, with ``title`` first."""
        def done(_):
            answered = browser.execute_script("return document.getElementById('results').dataset.query === "
                                              "document.getElementById('q').value")
            return answered and titles()[:1] == [title]
        WebDriverWait(browser, 10).until(done, f"{title!r} first; shown: {titles()}")

    browser.get(f"http://{served[0]}:{served[1]}/")
    box = browser.find_element(By.ID, "q")
    assert browser.switch_to.active_element == box  # focused on load
    label = browser.find_element(By.CSS_SELECTOR, "label[for=q]")
    assert label.text.startswith("Search videos")

    # Count the requests in flight, then type a misspelled query one key at a time.
    browser.execute_script("""
        window.inFlight = 0; window.mostInFlight = 0;
        const fetch0 = window.fetch;
        window.fetch = (...args) => {
          window.mostInFlight = Math.max(window.mostInFlight, ++window.inFlight);
          return fetch0(...args).finally(() => window.inFlight--);
        };""")
    for key in "sourdogh bred":
        box.send_keys(key)
    wait_for_first(TITLES[1])
    (ROOT / "build").mkdir(exist_ok=True)
    browser.save_screenshot(str(ROOT / "build" / "page.png"))
    assert browser.execute_script("return window.mostInFlight") == 1

    # Arrows and Tab move through the results; Escape goes back; focus shows.
    def press(*keys):
        ActionChains(browser).send_keys(*keys).perform()
        return browser.switch_to.active_element

    first = press(Keys.ARROW_DOWN)
    assert first.get_attribute("role") == "option" and TITLES[1] in first.text
    assert first.value_of_css_property("outline-style") != "none"
    second = press(Keys.ARROW_DOWN)
    assert second != first and second.get_attribute("role") == "option"
    assert press(Keys.ARROW_UP) == first and press(Keys.ARROW_UP) == box
    assert press(Keys.TAB) == first and press(Keys.TAB) == second
    assert press(Keys.ESCAPE) == box

    # A title holding markup shows as those characters, and nothing runs.
    box.send_keys(Keys.ESCAPE)  # clears the box
    for key in "onerror":
        box.send_keys(key)
    wait_for_first(TITLES[5])
    browser.save_screenshot(str(ROOT / "build" / "page-markup-title.png"))
    assert browser.find_elements(By.CSS_SELECTOR, "#results img") == []
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text
    # Typed in one burst: still never more than one request in flight, and the
    # list answers the last text.
    box.send_keys(Keys.ESCAPE)
    box.send_keys("pasta carbonara")
    wait_for_first(TITLES[2])
    assert browser.execute_script("return window.mostInFlight") == 1
