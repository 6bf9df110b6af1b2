"""Time and peak memory of queries that could run away: arrays that are not a
tree (nodes reachable along exponentially many paths) and long self-queries
at a max_dist as long as the query.

Each case runs in a child process under an address-space limit (--cap-gib)
and a time limit (--timeout), so a query that would exhaust the machine ends
there instead; the child prints the outcome (the number of results, or the
exception), the seconds of the call and how much the call raised the peak
resident memory. Run it with the package installed (the children run in a
temporary folder, so that they import the installed copy):

    python benchmarks/bounds_benchmark.py [--quick] [--cap-gib 4] [--timeout 120]
"""

import argparse
import json
import subprocess
import sys
import tempfile

CHILD = r"""
import json, resource, sys, time
from tessaloom import PrefixSearch

kind, size, cap_gib = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
VIDEO, ONE = [b"\7\0\0\0"], (1, [0], [1])

def ladder(levels, padding=0):  # two nodes labelled 'a' per level, each linked to both of the next
    shifts, labels, payloads, edges = [0], [""], [None], [1, 2]
    for level in range(1, levels + 1):
        for side in range(2):
            shifts.append(len(edges)); labels.append("a")
            payloads.append(None if level < levels else ONE)
            if level < levels:
                edges += [2 * level + 1, 2 * level + 2]
    if padding:  # edges on a node that no edge reaches
        shifts.append(len(edges)); labels.append("z"); payloads.append(None)
        edges += [len(labels) - 1] * padding
    return PrefixSearch.from_internal_data_v2(shifts, labels, payloads, edges, VIDEO, 1)

def chain(term):
    n = len(term)
    return PrefixSearch.from_internal_data_v2(list(range(n)) + [n], [""] + list(term), [None] * n + [ONE],
                                              list(range(1, n + 1)), VIDEO, 1)

if kind == "ladder":
    index, query, max_dist = ladder(size), "a" * size, 1
elif kind == "padded":
    index, query, max_dist = ladder(size, 1_000_000), "a" * size, 1
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="two small cases")
    parser.add_argument("--cap-gib", type=float, default=4.0, help="address space a child may add (GiB)")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds a child may run")
    args = parser.parse_args()
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
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
