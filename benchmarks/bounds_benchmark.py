"""Time and peak memory of queries that could run away: arrays that are not a
tree (nodes reachable along exponentially many paths) and long self-queries
at a max_dist as long as the query. Then builds that could: keys crafted to
collide in an unkeyed hash (UUIDs and terms), how long Ctrl-C takes to stop
a build in each of its phases, and the longest stall a thread meets while
build_index reads a list.

Each case runs in a child process under an address-space limit (--cap-gib)
and a time limit (--timeout), so a query that would exhaust the machine ends
there instead; the child prints the outcome (the number of results, or the
exception), the seconds of the call and how much the call raised the peak
resident memory. Run it with the package installed (the children run in a
temporary folder, so that they import the installed copy):

    python benchmarks/bounds_benchmark.py [--quick] [--cap-gib 4] [--timeout 120]

To compare with another installed copy, run this script with that copy's
interpreter: the children use the interpreter that runs the script.
"""

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

SHAPES = Path(__file__).resolve().parent.parent / "tests" / "python"  # the ladder's one generator
CHILD = f"import sys; sys.path.insert(0, {str(SHAPES)!r})\n" + r"""
import json, resource, sys, time
from shapes import ladder
from tessaloom import PrefixSearch

kind, size, cap_gib = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
VIDEO, ONE = [b"\7\0\0\0"], (1, [0], [1])

def chain(term):
    n = len(term)
    return PrefixSearch.from_internal_data_v2(list(range(n)) + [n], [""] + list(term), [None] * n + [ONE],
                                              list(range(1, n + 1)), VIDEO, 1)

if kind == "ladder":
    index, query, max_dist = PrefixSearch.from_internal_data_v2(*ladder(size)), "a" * size, 1
elif kind == "padded":
    index, query, max_dist = PrefixSearch.from_internal_data_v2(*ladder(size, 1_000_000)), "a" * size, 1
else:
    query = "".join("abcdefghij"[i * 7 % 10] for i in range(size))
    index, max_dist = chain(query), size
saved = len(index.to_bytes())

def kib(field):
    return int(open("/proc/self/status").read().split(field + ":")[1].split()[0])

vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (vm + int(cap_gib * 2**30), resource.RLIM_INFINITY))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak restarts from the current resident size
rss = kib("VmRSS")
start = time.perf_counter()
try:
    outcome = f"{len(index.fuzzy_match(query, max_dist))} results"
except BaseException as e:
    outcome = type(e).__name__
seconds = time.perf_counter() - start
print(json.dumps([outcome, seconds, (kib("VmHWM") - rss) / 1024, saved]))
"""

CASES = [
    ("ladder", 1500, "ladder, 1500 levels; fuzzy_match('a' * 1500, 1)"),
    ("ladder", 500, "ladder, 500 levels; fuzzy_match('a' * 500, 1)"),
    ("padded", 60, "ladder, 60 levels, 1M more edges; fuzzy_match('a' * 60, 1)"),
    ("self", 20_000, "one term of 20,000 characters; fuzzy_match(term, 20000)"),
    ("self", 40_000, "one term of 40,000 characters; fuzzy_match(term, 40000)"),
]
QUICK = [("ladder", 200, "ladder, 200 levels"), ("self", 4_000, "one term of 4,000 characters, self-query")]

BUILD_CHILD = r"""
import json, os, random, signal, struct, sys, threading, time
import numpy as np
from tessaloom import build_index

kind, n = sys.argv[1], int(sys.argv[2])
MULT, MASK = np.uint64(0xBF58476D1CE4E5B9), np.uint64(2**64 - 1)
SEED, TARGET = np.uint64(0x243F6A8885A308D3 ^ 16), np.uint64(0x5A5A5A5A5A5A5A5A)

def after_word(h, w):  # one word of an unkeyed multiply-xorshift hash
    h = (h ^ w) * MULT
    return h ^ (h >> np.uint64(32))

def crafted(count, ascii):
    # 16-byte keys (w0, state(w0) ^ TARGET) that all hash alike under it;
    # as terms: w0 of letters a..p and w1 kept when its bytes are 1..0x7F.
    found, start = [], 0
    while sum(map(len, found)) < count:
        i = np.arange(start, start + 2**22, dtype=np.uint64)
        start += 2**22
        w0 = i
        if ascii:
            w0 = np.zeros_like(i)
            for k in range(8):
                w0 |= (np.uint64(0x61) + ((i >> np.uint64(4 * k)) & np.uint64(15))) << np.uint64(8 * k)
        w1 = after_word(SEED, w0) ^ TARGET
        keys = np.stack([w0, w1], axis=1).astype("<u8").view(np.uint8).reshape(-1, 16)
        if ascii:
            keys = keys[((keys[:, 8:] >= 1) & (keys[:, 8:] <= 0x7F)).all(axis=1)]
        found.append(keys)
    return [bytes(k) for k in np.concatenate(found)[:count]]

def timed(records):
    start = time.perf_counter()
    build_index(records)
    return time.perf_counter() - start

def synthetic(count):  # distinct-ish random terms over many videos
    rng = random.Random(7)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choices(letters, k=rng.randint(5, 12))) for _ in range(count // 2)]
    return [(words[i // 2], rng.randrange(count // 4), 1) for i in range(count)]

if kind == "flood-uuids":
    crafted_ids, random_ids = crafted(n, False), [os.urandom(16) for _ in range(n)]
    result = [timed([("t", v, 1) for v in crafted_ids]), timed([("t", v, 1) for v in random_ids])]
elif kind == "flood-terms":
    rng = random.Random(1)
    crafted_terms = [k.decode() for k in crafted(n, True)]
    random_terms = ["".join(rng.choices("abcdefghijklmnop", k=16)) for _ in range(n)]
    result = [timed([(t, i, 1) for i, t in enumerate(crafted_terms)]),
              timed([(t, i, 1) for i, t in enumerate(random_terms)])]
elif kind == "phases":
    records = synthetic(n)
    starts, t0 = {}, time.perf_counter()
    build_index(records, 100, lambda phase, count: starts.setdefault(phase, time.perf_counter() - t0))
    starts["end"] = time.perf_counter() - t0
    result = starts
elif kind == "interrupt":
    at = float(sys.argv[3])
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
    records = synthetic(n)
    sent, finished = [], threading.Event()
    def interrupt():
        time.sleep(at)
        if not finished.is_set():
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=interrupt, daemon=True).start()
    try:
        try:
            build_index(records)
        finally:
            finished.set()
        time.sleep(0.5)  # where a signal sent as the build ended arrives
        result = None
    except KeyboardInterrupt:
        result = None if finished.is_set() and not sent else time.perf_counter() - sent[0]
elif kind == "stall":
    records = [(f"w{i % 50000}", i % 100000, 1) for i in range(n)]
    gaps, done = [0.0], threading.Event()
    def ticker():
        last = time.perf_counter()
        while not done.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps[0] = max(gaps[0], now - last)
            last = now
    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.05)
    start = time.perf_counter()
    build_index(records)
    seconds = time.perf_counter() - start
    done.set()
    thread.join()
    result = [gaps[0], seconds]
print(json.dumps(result))
"""


def build_child(args, timeout):
    """The child's result, or a string saying why there is none."""
    try:
        proc = subprocess.run([sys.executable, "-c", BUILD_CHILD, *map(str, args)], capture_output=True, text=True,
                              timeout=timeout, cwd=tempfile.gettempdir())
    except subprocess.TimeoutExpired:
        return f"timed out after {timeout:g} s"
    if proc.returncode != 0 or not proc.stdout.strip():
        return f"exit {proc.returncode}: {proc.stderr.strip()[-300:]}"
    return json.loads(proc.stdout.splitlines()[-1])


def builds(quick: bool, timeout: float) -> int:
    print("\nbuild_index of records with keys crafted to collide in an unkeyed hash, and of random ones (seconds):")
    for kind, n, what in [("flood-uuids", 20_000 if quick else 50_000, "UUIDs colliding in closed form"),
                          ("flood-terms", 10_000 if quick else 50_000, "16-letter terms, likewise")]:
        got = build_child([kind, n], timeout)
        print(f"  {n:8,} {what:34} " + (f"crafted {got[0]:8.3f}   random {got[1]:8.3f}   ratio {got[0] / got[1]:6.1f}"
                                   if isinstance(got, list) else got))

    size = 300_000 if quick else 1_500_000
    phases = build_child(["phases", size], timeout)
    if not isinstance(phases, dict):
        print(f"  phases: {phases}")
        return 1
    marks = sorted(phases.items(), key=lambda kv: kv[1])
    print(f"\nCtrl-C during a build of {size:,} records (phases start at "
          + ", ".join(f"{name} {at:.2f} s" for name, at in marks) + "):")
    print(f"  {'phase':14} {'signal at':>10} {'stopped after':>14}")
    worst = 0.0
    moments = [(name, at + (end - at) * share) for (name, at), (_, end) in zip(marks, marks[1:])
               for share in ((0.5,) if end != marks[-1][1] else (0.3, 0.6, 0.9))]
    for name, moment in moments:
        got = build_child(["interrupt", size, moment], timeout)
        shown = "finished first" if got is None else f"{got:12.3f} s" if isinstance(got, float) else got
        worst = max(worst, got) if isinstance(got, float) else worst
        print(f"  {name:14} {moment:8.2f} s {shown:>14}")
    print(f"  longest: {worst:.3f} s")

    size = 500_000 if quick else 2_000_000
    got = build_child(["stall", size], timeout)
    print(f"\nlongest stall of a thread ticking every ms while build_index reads a list of {size:,} records: "
          + (f"{got[0] * 1000:.1f} ms (the build took {got[1]:.2f} s)" if isinstance(got, list) else got))
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="two small cases")
    parser.add_argument("--cap-gib", type=float, default=4.0, help="address space a child may add (GiB)")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds a child may run")
    parser.add_argument("--only", choices=["queries", "builds"], help="run one of the two parts")
    args = parser.parse_args()
    if args.only == "builds":
        return builds(args.quick, args.timeout)
    print(f"each case in a child limited to +{args.cap_gib:g} GiB of address space and {args.timeout:g} s")
    print(f"{'case':62} {'saved':>9} {'outcome':>16} {'seconds':>8} {'peak +MiB':>10}")
    failed = 0
    for kind, size, what in QUICK if args.quick else CASES:
        try:
            proc = subprocess.run([sys.executable, "-c", CHILD, kind, str(size), str(args.cap_gib)],
                                  capture_output=True, text=True, timeout=args.timeout, cwd=tempfile.gettempdir())
        except subprocess.TimeoutExpired:
            print(f"{what:62} {'':>9} {'timed out':>16} {args.timeout:8.1f}")
            continue
        if proc.returncode != 0 or not proc.stdout.strip():
            print(f"{what:62} {'':>9} {'exit ' + str(proc.returncode):>16}   {proc.stderr.strip()[-300:]}")
            failed += 1
            continue
        outcome, seconds, peak, saved = json.loads(proc.stdout.splitlines()[-1])
        print(f"{what:62} {saved / 1000:7.1f}kB {outcome:>16} {seconds:8.2f} {peak:10.0f}")
    if args.only != "queries":
        failed += builds(args.quick, args.timeout)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
