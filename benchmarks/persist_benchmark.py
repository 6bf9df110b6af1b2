"""Saving and loading the word-list index, against the alternatives a user has.

Prints the saved size (bytes, bytes per node), the throughput of ``to_bytes``
and ``from_bytes`` in MB/s of saved bytes (best of several runs; for
``from_bytes`` also as the first call of a new process, when none of the
memory it takes has been used before), the memory a loaded index adds, and,
``tessaloom.load`` of an index file (trailer and checksum checked) against
reading the file and ``from_bytes`` on its bytes, timed in turns; and, in
the same run, the time of ``pickle.dumps``/``pickle.loads`` of the six
construction arrays (as lists) and of ``from_internal_data_v2`` from them.

``to_bytes`` and ``from_bytes`` create one object each and are timed with the
garbage collector off. The Python-side alternatives allocate millions of
objects, which sets the collector running, so they are timed twice: with the
collector on, as users run them (the headline figures and the ratios), and
with it off.

    python benchmarks/persist_benchmark.py            # the whole word list
    python benchmarks/persist_benchmark.py --quick    # a few thousand words
    python benchmarks/persist_benchmark.py --compare A/bin/python B/bin/python

With ``--compare``, the index is saved once and each given interpreter (each
with its own installed copy of tessaloom, for example two commits or two
build options) loads and saves it in a process of its own, the interpreters
taking turns round after round; the best time of each is printed, with its
ratio to the first's. These times are the process's CPU time, which other
work on a shared machine disturbs far less than wall time.

Figures are wall-clock and noisy on a shared machine: take the best of runs.
"""

from __future__ import annotations

import argparse
import gc
import pickle
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from wordlist import release_free_heap, rss_bytes, word_index_arrays  # noqa: E402

from tessaloom import PrefixSearch, load, save  # noqa: E402

MB = 1e6


def best_time(fn, runs: int, collector: bool = False) -> tuple[float, object]:
    """The shortest wall time of ``runs`` calls, and the last result. Each
    call starts from a collected heap; the garbage collector runs during the
    call only when ``collector`` is true."""
    best = float("inf")
    result = None
    for _ in range(runs):
        result = None  # free the previous result before timing the next
        gc.collect()
        if not collector:
            gc.disable()
        try:
            t0 = time.perf_counter()
            result = fn()
            dt = time.perf_counter() - t0
        finally:
            gc.enable()
        best = min(best, dt)
    return best, result


def first_load_in_new_process(data: bytes, runs: int) -> float:
    """The best time of from_bytes as the first call of a new interpreter,
    where every page the index takes is new to the process (repeated loads
    in one process reuse the pages that the previous index freed)."""
    child = (
        "import sys, time\n"
        "from tessaloom import PrefixSearch\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "t0 = time.perf_counter()\n"
        "PrefixSearch.from_bytes(data)\n"
        "print(time.perf_counter() - t0)\n"
    )
    times = []
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "index.bin"
        path.write_bytes(data)
        for _ in range(runs):
            # Run from the temporary folder, so that the child imports the
            # installed package and not a source tree in the working folder.
            done = subprocess.run([sys.executable, "-c", child, str(path)], cwd=tmp,
                                  capture_output=True, text=True)
            if done.returncode != 0:
                raise RuntimeError("the loading process failed:\n" + done.stderr)
            times.append(float(done.stdout))
    return min(times)


def load_against_raw(index: PrefixSearch, runs: int) -> tuple[float, float]:
    """Best times of ``tessaloom.load`` of an index file and of reading the
    raw saved bytes from a file plus ``from_bytes``, taken in turns so both
    see the same machine."""
    load_best = raw_best = float("inf")
    with tempfile.TemporaryDirectory() as tmp:
        path, raw = Path(tmp) / "index.idx", Path(tmp) / "index.bin"
        save(index, path)
        raw.write_bytes(index.to_bytes())
        for _ in range(runs):
            raw_best = min(raw_best, best_time(lambda: PrefixSearch.from_bytes(raw.read_bytes()), 1)[0])
            load_best = min(load_best, best_time(lambda: load(path), 1)[0])
    return load_best, raw_best


COMPARE_CHILD = """
import gc, sys, time
from tessaloom import PrefixSearch
data = open(sys.argv[1], 'rb').read()
runs = int(sys.argv[2])
clock = time.process_time
gc.disable()
t0 = clock()
index = PrefixSearch.from_bytes(data)
cold = clock() - t0
load = save = float('inf')
for _ in range(runs):
    index = None
    t0 = clock()
    index = PrefixSearch.from_bytes(data)
    load = min(load, clock() - t0)
    t0 = clock()
    index.to_bytes()
    save = min(save, clock() - t0)
print(cold, load, save)
"""


def compare(pythons: list[str], data: bytes, rounds: int, runs: int) -> None:
    """from_bytes (first call of a process, and best of repeated calls) and
    to_bytes of the same saved bytes in each interpreter, in turns."""
    best = {py: [float("inf")] * 3 for py in pythons}
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "index.bin"
        path.write_bytes(data)
        for _ in range(rounds):
            for py in pythons:
                done = subprocess.run([py, "-c", COMPARE_CHILD, str(path), str(runs)], cwd=tmp,
                                      capture_output=True, text=True)
                if done.returncode != 0:
                    raise RuntimeError(f"{py} failed:\n{done.stderr}")
                best[py] = [min(a, float(b)) for a, b in zip(best[py], done.stdout.split())]
    size = len(data) / MB
    first = best[pythons[0]]
    print(f"best of {rounds} rounds, {runs} calls each; CPU time (MB/s) and ratio to the first interpreter:")
    for py in pythons:
        cells = []
        for name, t, t0 in zip(("from_bytes first call", "from_bytes", "to_bytes"), best[py], first):
            cells.append(f"{name} {t * 1e3:7.2f} ms ({size / t:5.0f} MB/s, {t / t0:4.2f}x)")
        print(f"  {py}\n    " + "\n    ".join(cells))


def both_ways(fn, runs: int) -> tuple[float, float]:
    """Best times with the collector on and off."""
    on, _ = best_time(fn, runs, collector=True)
    off, _ = best_time(fn, runs, collector=False)
    return on, off


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="index only a few thousand words (for CI)")
    ap.add_argument("--limit", type=int, default=None, help="index at most this many words")
    ap.add_argument("--runs", type=int, default=None, help="runs per measurement (best is kept)")
    ap.add_argument("--compare", nargs="+", metavar="PYTHON", default=None,
                    help="time loading and saving in each of these interpreters, in turns")
    ap.add_argument("--rounds", type=int, default=7, help="rounds of turns with --compare")
    args = ap.parse_args(argv)
    limit = 3000 if args.quick and args.limit is None else args.limit
    runs = args.runs or (3 if args.quick else 7)
    slow_runs = max(1, min(runs, 3))

    t0 = time.perf_counter()
    words, arrays = word_index_arrays(limit)
    print(f"words: {len(words):,}  (arrays built in {time.perf_counter() - t0:.1f} s)")
    nodes = len(arrays.child_labels)

    index = PrefixSearch.from_internal_data_v2(*arrays)
    if args.compare:
        compare(args.compare, index.to_bytes(), args.rounds, runs)
        return 0
    save_s, data = best_time(index.to_bytes, runs)
    load_s, loaded = best_time(lambda: PrefixSearch.from_bytes(data), runs)
    if loaded.to_bytes() != data:
        print("error: the loaded index saves to different bytes", file=sys.stderr)
        return 1
    loaded = None
    release_free_heap()
    before = rss_bytes()
    loaded = PrefixSearch.from_bytes(data)
    release_free_heap()
    load_memory = rss_bytes() - before
    loaded = None
    cold_s = first_load_in_new_process(data, slow_runs)
    file_s, raw_s = load_against_raw(index, runs * 2)

    as_lists = tuple(arrays)
    pickled = pickle.dumps(as_lists, protocol=pickle.HIGHEST_PROTOCOL)
    build = both_ways(lambda: PrefixSearch.from_internal_data_v2(*arrays), slow_runs)
    dumps = both_ways(lambda: pickle.dumps(as_lists, protocol=pickle.HIGHEST_PROTOCOL), slow_runs)
    loads = both_ways(lambda: pickle.loads(pickled), slow_runs)

    def loads_then_build() -> object:
        return PrefixSearch.from_internal_data_v2(*pickle.loads(pickled))

    both = both_ways(loads_then_build, slow_runs)

    size = len(data)
    print(f"nodes: {nodes:,}  edges: {len(arrays.child_transitions):,}  videos: {len(arrays.video_index):,}")
    print(f"saved size: {size:,} bytes ({size / MB:.1f} MB), {size / nodes:.2f} bytes per node")
    print(f"to_bytes:   {save_s * 1e3:9.2f} ms  {size / MB / save_s:8.0f} MB/s")
    print(f"from_bytes: {load_s * 1e3:9.2f} ms  {size / MB / load_s:8.0f} MB/s")
    print(f"from_bytes, first call in a new process: {cold_s * 1e3:.2f} ms  {size / MB / cold_s:.0f} MB/s "
          f"(all its memory fresh from the system)")
    print(f"tessaloom.load of an index file: {file_s * 1e3:.2f} ms, against {raw_s * 1e3:.2f} ms to read the raw "
          f"bytes and from_bytes them ({file_s / raw_s:.2f}x; the trailer and checksum cost the difference)")
    print(f"a loaded index adds {load_memory / MB:.1f} MB ({load_memory / nodes:.1f} bytes per node) and keeps "
          f"the saved bytes it was given, whose payloads it reads in place")
    print(f"pickle of the six arrays as lists: {len(pickled):,} bytes")
    print("Python-side alternatives, garbage collector on (as users run them) | off:")

    def row(name: str, times: tuple[float, float], ratio: bool = True) -> None:
        on, off = times
        text = f"  {name:<38} {on * 1e3:9.2f} ms"
        if ratio:
            text += f"  ({on / load_s:5.1f}x from_bytes)"
        text += f"  | off: {off * 1e3:9.2f} ms"
        if ratio:
            text += f"  ({off / load_s:5.1f}x)"
        print(text)

    row("pickle.dumps", dumps, ratio=False)
    row("pickle.loads", loads)
    row("from_internal_data_v2", build)
    row("pickle.loads + from_internal_data_v2", both)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
