"""Load test of ``python -m tessaloom serve``, over loopback only.

Builds an index with titles from the bundled sample catalogue
(``examples/data/videos.tsv``), starts the server on a free loopback port,
and runs 8 clients, each a thread with one keep-alive connection, asking a
mix of queries for 10 seconds (whole misspelled words, several words, half
typed words). Every answer must be 200 with valid JSON: an error fails the
run. Prints the requests answered per second and the p50/p99 latency seen by
the clients, beside the same queries asked in-process through
``TitledIndex.search`` on one thread and on 8 threads.

The clients and the server share the machine's cores, so the figures are the
whole loop's: client, HTTP, JSON and search.

    python benchmarks/serve_benchmark.py            # 8 clients for 10 s
    python benchmarks/serve_benchmark.py --quick    # 8 clients for 2 s
"""

from __future__ import annotations

import argparse
import http.client
import json
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from urllib.parse import quote

import tessaloom
from tessaloom.catalogue import Catalogue, text_records

DATA = Path(__file__).resolve().parents[1] / "examples" / "data" / "videos.tsv"
CLIENTS = 8
MAX_REQUESTS = 200_000  # per client: the run is bounded in count as well as time
LIMIT = 10


def queries(titles: list[str], count: int, rng: random.Random) -> list[str]:
    """A mix like a search box's: 1 to 3 words of a title, longer words with
    one typo, and the last word often cut short as if still being typed."""
    out = []
    letters = "abcdefghijklmnopqrstuvwxyz"
    while len(out) < count:
        words = [w for w in tessaloom.terms(rng.choice(titles)) if len(w) >= 3]
        if not words:
            continue
        picked = rng.sample(words, min(len(words), rng.randint(1, 3)))
        for i, w in enumerate(picked):
            if len(w) >= 5 and rng.random() < 0.6:
                at = rng.randrange(len(w) - 1)
                kind = rng.choice("dist")
                if kind == "d":
                    w = w[:at] + w[at + 1:]
                elif kind == "i":
                    w = w[:at] + rng.choice(letters) + w[at:]
                elif kind == "s":
                    w = w[:at] + rng.choice(letters) + w[at + 1:]
                else:
                    w = w[:at] + w[at + 1] + w[at] + w[at + 2:]
            picked[i] = w
        if rng.random() < 0.5:
            picked[-1] = picked[-1][: max(2, len(picked[-1]) - rng.randint(1, 3))]
        out.append(" ".join(picked))
    return out


def percentiles(latencies: list[float]) -> tuple[float, float]:
    cuts = statistics.quantiles(latencies, n=100, method="inclusive")
    return cuts[49], cuts[98]


def start_server(path: Path) -> tuple[subprocess.Popen, int]:
    proc = subprocess.Popen([sys.executable, "-m", "tessaloom", "serve", str(path), "--host", "127.0.0.1",
                             "--port", "0"], stdout=subprocess.PIPE, text=True, cwd=path.parent)
    # (Not run from the source tree, whose tessaloom folder has no built modules.)
    line = proc.stdout.readline()
    if "http://127.0.0.1:" not in line:
        proc.kill()
        raise SystemExit(f"the server did not start: {line!r}")
    return proc, int(line.split("http://127.0.0.1:", 1)[1].split("/", 1)[0])


def load_test(port: int, texts: list[str], seconds: float) -> tuple[list[float], int, float]:
    """Latencies of every answered request, the error count and the wall time."""
    latencies: list[list[float]] = [[] for _ in range(CLIENTS)]
    errors = [0] * CLIENTS
    start = threading.Barrier(CLIENTS + 1)

    def client(n: int) -> None:
        rng = random.Random(n)
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        start.wait()
        deadline = time.perf_counter() + seconds
        for _ in range(MAX_REQUESTS):
            target = f"/search?q={quote(rng.choice(texts))}&limit={LIMIT}"
            t0 = time.perf_counter()
            if t0 >= deadline:
                break
            try:
                conn.request("GET", target)
                response = conn.getresponse()
                body = response.read()
                ok = response.status == 200 and isinstance(json.loads(body)["hits"], list)
            except (OSError, http.client.HTTPException, ValueError, KeyError):
                ok = False
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            latencies[n].append(time.perf_counter() - t0)
            errors[n] += not ok
        conn.close()

    threads = [threading.Thread(target=client, args=(n,)) for n in range(CLIENTS)]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    return [x for per in latencies for x in per], sum(errors), time.perf_counter() - t0


def in_process(titled, texts: list[str], seconds: float, workers: int) -> tuple[list[float], float]:
    """Latencies and wall time of the same kind of queries asked directly."""
    def run(n: int) -> list[float]:
        rng, out = random.Random(n), []
        deadline = time.perf_counter() + seconds
        while len(out) < MAX_REQUESTS:
            text = rng.choice(texts)
            t0 = time.perf_counter()
            if t0 >= deadline:
                break
            titled.search(text, LIMIT)
            out.append(time.perf_counter() - t0)
        return out

    t0 = time.perf_counter()
    with ThreadPoolExecutor(workers) as pool:
        runs = list(pool.map(run, range(workers)))
    return [x for per in runs for x in per], time.perf_counter() - t0


def row(name: str, latencies: list[float], wall: float) -> str:
    p50, p99 = percentiles(latencies)
    return f"{name:<34} {len(latencies):>9,} {len(latencies) / wall:>10,.0f} {p50 * 1e6:>10,.0f} {p99 * 1e6:>10,.0f}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="2 seconds instead of 10")
    ap.add_argument("--seconds", type=float, help="how long the clients ask (default 10, or 2 with --quick)")
    args = ap.parse_args()
    seconds = args.seconds or (2.0 if args.quick else 10.0)

    entries = list(Catalogue(str(DATA), "tsv").entries())
    titles = dict(entries)
    index = tessaloom.build_index(r for video, text in entries for r in text_records(video, text))
    texts = queries(list(titles.values()), 2000, random.Random(7))
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "videos.idx"
        tessaloom.save(index, path, titles=titles)
        titled = tessaloom.load_titled(path)
        proc, port = start_server(path)
        try:
            served, errors, wall = load_test(port, texts, seconds)
        finally:
            proc.terminate()
            proc.communicate(timeout=30)
    alone, alone_wall = in_process(titled, texts, seconds, 1)
    threaded, threaded_wall = in_process(titled, texts, seconds, CLIENTS)

    print(f"index of {len(titles):,} titles ({DATA.name}); {len(texts):,} distinct queries, limit {LIMIT}; "
          f"{seconds:g} s each")
    print(f"{'':<34} {'requests':>9} {'per second':>10} {'p50 µs':>10} {'p99 µs':>10}")
    print(row(f"server, {CLIENTS} clients over loopback", served, wall))
    print(row("in-process, 1 thread", alone, alone_wall))
    print(row(f"in-process, {CLIENTS} threads", threaded, threaded_wall))
    print(f"errors: {errors:,}; server exit status {proc.returncode}")
    return 1 if errors or proc.returncode != 0 or not served else 0


if __name__ == "__main__":
    sys.exit(main())
