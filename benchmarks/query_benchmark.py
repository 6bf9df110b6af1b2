"""Query latency of tessaloom against RapidFuzz and symspellpy, in one process.

Workload: the word-list index of benchmarks/wordlist.py (synthetic payloads:
50,000 videos with Zipf-distributed counts, video_top_n 100) and 400 queries,
each a random word with one random edit (substitute, insert or delete a letter
a-z; fixed seed). For max_dist 1 and 2 it prints the median and 99th
percentile latency per call of fuzzy_match and fuzzy_match_video, and of the
same lookups through the peers:

- RapidFuzz: process.extract with the Levenshtein distance scorer,
  score_cutoff=max_dist, limit=None, over the word list (a scan of every word);
- symspellpy: lookup with Verbosity.ALL, the same maximum distance, the plain
  Levenshtein comparer of editdistpy, default prefix length, a dictionary made
  with create_dictionary_entry for each word;

with each one's ratio to fuzzy_match, and each system's build time and memory
(growth of the process's resident set size over the build, after freed heap
pages are handed back with malloc_trim). Before timing,
the term sets of all three are checked, for a sample of queries, against a
brute-force answer (every word's distance); a disagreement stops the run.

Usage:
    pip install -r benchmarks/requirements.txt
    python benchmarks/query_benchmark.py            # the whole list (slow: minutes)
    python benchmarks/query_benchmark.py --quick    # 3,000 words, for CI

Figures from a shared or busy machine are noisy; compare within one run.
"""

from __future__ import annotations

import argparse
import gc
import random
import statistics
import string
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

try:
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein
    from symspellpy import SymSpell, Verbosity
    from symspellpy.editdistance import DistanceAlgorithm, EditDistance

    import editdistpy  # noqa: F401  (LEVENSHTEIN_FAST needs it)
except ImportError as e:
    raise SystemExit(
        f"missing a peer library ({e.name}): pip install -r {Path(__file__).parent / 'requirements.txt'}"
    ) from e

from tessaloom import PrefixSearch, build_arrays
from wordlist import release_free_heap, rss_bytes, load_words, synthetic_records

DISTANCES = (1, 2)


def measure_build(build):
    release_free_heap()
    before = rss_bytes()
    t0 = time.perf_counter()
    value = build()
    seconds = time.perf_counter() - t0
    release_free_heap()
    return value, seconds, rss_bytes() - before


def make_queries(words: list[str], count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    letters = string.ascii_lowercase
    queries = []
    while len(queries) < count:
        w = rng.choice(words)
        kinds = ["substitute", "insert"] + (["delete"] if len(w) > 1 else [])
        kind = rng.choice(kinds)
        if kind == "insert":
            i = rng.randint(0, len(w))
            q = w[:i] + rng.choice(letters) + w[i:]
        else:
            i = rng.randrange(len(w))
            q = w[:i] + (rng.choice(letters) if kind == "substitute" else "") + w[i + 1 :]
        queries.append(q)
    return queries


def brute_force(words, query, max_dist):
    out = set()
    for w in words:
        d = Levenshtein.distance(query, w, score_cutoff=max_dist)
        if d <= max_dist:
            out.add((w, d))
    return out


def plain_distance(a: str, b: str) -> int:
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


class Systems:
    def __init__(self, words, index, symspell):
        self.words = words
        self.index = index
        self.symspell = symspell

    def ours(self, q, d):
        return self.index.fuzzy_match(q, d)

    def ours_video(self, q, d):
        return self.index.fuzzy_match_video(q, d)

    def rapidfuzz(self, q, d):
        return process.extract(q, self.words, scorer=Levenshtein.distance, score_cutoff=d, limit=None)

    def symspellpy(self, q, d):
        return self.symspell.lookup(q, Verbosity.ALL, max_edit_distance=d)

    def term_sets(self, q, d):
        return {
            "tessaloom": {(t, dist) for t, _, dist in self.ours(q, d)},
            "rapidfuzz": {(w, int(score)) for w, score, _ in self.rapidfuzz(q, d)},
            "symspellpy": {(s.term, s.distance) for s in self.symspellpy(q, d)},
        }


def check_agreement(systems: Systems, queries, sample: int, seed: int) -> bool:
    rng = random.Random(seed + 1)
    picked = rng.sample(queries, min(sample, len(queries)))
    ok = True
    for d in DISTANCES:
        for q in picked:
            expected = brute_force(systems.words, q, d)
            # The brute force's distance is cross-checked with a plain one.
            for w, dist in list(expected)[:5]:
                assert plain_distance(q, w) == dist, (q, w)
            for name, got in systems.term_sets(q, d).items():
                if got != expected:
                    ok = False
                    print(
                        f"  DISAGREE {name} d={d} q={q!r}: missing {sorted(expected - got)[:5]}, "
                        f"extra {sorted(got - expected)[:5]}"
                    )
    print(f"term sets checked against brute force: {len(picked)} queries x max_dist {DISTANCES}: "
          + ("all agree" if ok else "DISAGREEMENT"))
    return ok


def latencies(call, queries, d):
    for q in queries[:10]:  # warm caches and lazy set-up
        call(q, d)
    times = []
    for q in queries:
        t0 = time.perf_counter_ns()
        call(q, d)
        times.append(time.perf_counter_ns() - t0)
    times.sort()
    return statistics.median(times), times[min(len(times) - 1, int(round(0.99 * (len(times) - 1))))]


def fmt_time(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:8.2f} ms"
    return f"{ns / 1e3:8.1f} µs"


def fmt_mb(b: int) -> str:
    return f"{b / 2**20:8.1f} MB"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="3,000 words (a fast run for CI)")
    ap.add_argument("--words", type=int, default=None, help="use the first N words of the list")
    ap.add_argument("--queries", type=int, default=400)
    ap.add_argument("--check", type=int, default=40, help="queries checked against brute force")
    ap.add_argument("--seed", type=int, default=20240607)
    ap.add_argument("--skip-rapidfuzz", action="store_true", help="leave out the (slow) full scan")
    args = ap.parse_args()
    limit = args.words if args.words is not None else (3000 if args.quick else None)

    t0 = time.perf_counter()
    words = load_words(limit)
    arrays = build_arrays(synthetic_records(words), 100)
    prep = time.perf_counter() - t0
    print(f"word list: {len(words):,} words; index arrays: {len(arrays.child_labels):,} nodes, "
          f"prepared in Python in {prep:.1f} s")

    index, our_build, our_mem = measure_build(lambda: PrefixSearch.from_internal_data_v2(*arrays))
    del arrays
    gc.collect()

    def make_symspell():
        s = SymSpell(max_dictionary_edit_distance=max(DISTANCES),
                     distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN_FAST))
        for w in words:
            s.create_dictionary_entry(w, 1)
        return s

    symspell, sym_build, sym_mem = measure_build(make_symspell)

    print("\nbuild (memory: growth of the resident set size over the build, freed heap returned first)")
    print(f"  {'tessaloom from_internal_data_v2':34} {our_build:8.2f} s {fmt_mb(our_mem)}")
    print(f"  {'symspellpy dictionary':34} {sym_build:8.2f} s {fmt_mb(sym_mem)}   "
          f"({sym_build / our_build:.1f}x time, {sym_mem / max(our_mem, 1):.1f}x memory)")
    print(f"  {'rapidfuzz':34} no index: scans the word list")

    systems = Systems(words, index, symspell)
    queries = make_queries(words, args.queries, args.seed)
    print()
    if not check_agreement(systems, queries, args.check, args.seed):
        raise SystemExit("the systems disagree with the brute-force answer: timings would not compare like with like")

    rows = [("tessaloom fuzzy_match", systems.ours), ("tessaloom fuzzy_match_video", systems.ours_video),
            ("symspellpy lookup", systems.symspellpy)]
    if not args.skip_rapidfuzz:
        rows.append(("rapidfuzz process.extract", systems.rapidfuzz))
    for d in DISTANCES:
        mean_terms = statistics.mean(len(systems.ours(q, d)) for q in queries)
        print(f"\nmax_dist {d}: {len(queries)} queries, {mean_terms:.1f} terms per query")
        print(f"  {'':30} {'median':>11} {'p99':>11}   ratio to fuzzy_match (median, p99)")
        base = None
        for name, call in rows:
            med, p99 = latencies(call, queries, d)
            if base is None:
                base = (med, p99)
                ratio = ""
            else:
                ratio = f"   {med / base[0]:8.1f}x {p99 / base[1]:8.1f}x"
            print(f"  {name:30} {fmt_time(med)} {fmt_time(p99)}{ratio}")


if __name__ == "__main__":
    main()
