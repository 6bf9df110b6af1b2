"""Query latency of tessaloom against symspellpy, tantivy and RapidFuzz, in one process.

Workload: the word-list index of benchmarks/wordlist.py (synthetic payloads:
50,000 videos with Zipf-distributed counts, video_top_n 100) and 400 queries,
each a random word with one random edit (substitute, insert or delete a letter
a-z; fixed seed). The peers hold the same words:

- symspellpy: lookup with Verbosity.ALL, the same maximum distance, the plain
  Levenshtein comparer of editdistpy, default prefix length, a dictionary made
  with create_dictionary_entry for each word;
- tantivy: an in-memory index with one document per word in a field with the
  raw tokenizer, asked Query.fuzzy_term_query(..., distance=max_dist,
  transposition_cost_one=False) for its count of matching documents (a
  Levenshtein automaton over its term dictionary), which must equal the
  number of terms fuzzy_match returns, on every query;
- RapidFuzz: process.extract with the Levenshtein distance scorer,
  score_cutoff=max_dist, limit=None, over the word list (a scan of every
  word; timed on the first 40 queries only).

Each peer is timed interleaved with fuzzy_match, query by query: ours, then
the peer, for every query, three rounds, and each query's best time of each.
Every system thus meets each query with caches cold from the other's work, as
on a busy server. For max_dist 1 and 2 the script prints each pairing's
median and 99th percentile, the ratio of ours to the peer's, and the targets:
fuzzy_match's median at most 1/4 of symspellpy's at max_dist 1 and 1/3 at
max_dist 2, its p99 at max_dist 2 at most 1/10 of symspellpy's, and at least
25 times faster than tantivy at max_dist 1 and 20 times at max_dist 2.

It also times, the same way (best of three rounds per query), fuzzy_match_video
on the same queries, and the search-as-you-type path: fuzzy_match_video of
the first 3, 4 and 6 characters of 200 words of 8 letters or more, with
include_prefix_nodes=True, min_score=0.0 and limit=10, at max_dist 1 and 2.
With --before PYTHON, those prefix queries are also asked of the copy of
tessaloom installed for that interpreter (an earlier build), in a worker
process holding the same index bytes: the two take turns query by query, and
the script prints both medians and their ratio.

Before timing, the term sets of every peer are checked, for a sample of
queries, against a brute-force answer (every word's distance); a
disagreement stops the run. Build time and memory (growth of the process's
resident set size over the build, after freed heap pages are handed back
with malloc_trim) are printed for each system.

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
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

try:
    import editdistpy  # noqa: F401  (LEVENSHTEIN_FAST needs it)
    import tantivy
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein
    from symspellpy import SymSpell, Verbosity
    from symspellpy.editdistance import DistanceAlgorithm, EditDistance
except ImportError as e:
    raise SystemExit(
        f"missing a peer library ({e.name}): pip install -r {Path(__file__).parent / 'requirements.txt'}"
    ) from e

from wordlist import load_words, release_free_heap, rss_bytes, synthetic_records

from tessaloom import PrefixSearch, build_arrays

DISTANCES = (1, 2)
ROUNDS = 3
RAPIDFUZZ_QUERIES = 40
PREFIX_LENGTHS = (3, 4, 6)
PREFIX_WORDS = 200
# fuzzy_match against a peer: (median ratio, p99 ratio) at most, by max_dist.
SYMSPELL_TARGETS = {1: (1 / 4, None), 2: (1 / 3, 1 / 10)}
TANTIVY_SPEEDUP = {1: 25, 2: 20}  # times faster than tantivy's median, by max_dist


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


def prefix_words(words: list[str], count: int, seed: int) -> list[str]:
    """``count`` words of 8 characters or more (fixed seed)."""
    long_words = [w for w in words if len(w) >= 8]
    return random.Random(seed + 2).sample(long_words, min(count, len(long_words)))


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


class Tantivy:
    """One document per word, in a field kept whole by the raw tokenizer."""

    def __init__(self, words):
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("word", stored=False, tokenizer_name="raw")
        self.schema = builder.build()
        index = tantivy.Index(self.schema)
        writer = index.writer()
        for w in words:
            writer.add_document(tantivy.Document(word=w))
        writer.commit()
        writer.wait_merging_threads()
        index.reload()
        self.searcher = index.searcher()

    def count(self, q, d):
        query = tantivy.Query.fuzzy_term_query(self.schema, "word", q, distance=d, transposition_cost_one=False)
        return self.searcher.search(query, 1).count


class Systems:
    def __init__(self, words, index, symspell, engine):
        self.words = words
        self.index = index
        self.symspell = symspell
        self.engine = engine

    def ours(self, q, d):
        return self.index.fuzzy_match(q, d)

    def ours_video(self, q, d):
        return self.index.fuzzy_match_video(q, d)

    def ours_prefix(self, q, d):
        return self.index.fuzzy_match_video(q, d, limit=10, include_prefix_nodes=True, min_score=0.0)

    def rapidfuzz(self, q, d):
        return process.extract(q, self.words, scorer=Levenshtein.distance, score_cutoff=d, limit=None)

    def symspellpy(self, q, d):
        return self.symspell.lookup(q, Verbosity.ALL, max_edit_distance=d)

    def tantivy(self, q, d):
        return self.engine.count(q, d)

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


def check_counts(systems: Systems, queries) -> bool:
    """tantivy's count against the number of terms fuzzy_match returns, every query."""
    bad = [(q, d) for d in DISTANCES for q in queries if systems.tantivy(q, d) != len(systems.ours(q, d))]
    for q, d in bad[:5]:
        print(f"  COUNT DIFFERS d={d} q={q!r}: tantivy {systems.tantivy(q, d)}, ours {len(systems.ours(q, d))}")
    print(f"tantivy's count against fuzzy_match: {len(queries)} queries x max_dist {DISTANCES}: "
          + ("equal on every query" if not bad else f"{len(bad)} DIFFER"))
    return not bad


def best_times(calls, queries, d, rounds: int = ROUNDS):
    """Per call, each query's best time over the rounds, the calls taking
    turns query by query."""
    for q in queries[:10]:  # warm lazy set-up
        for call in calls:
            call(q, d)
    best = [[float("inf")] * len(queries) for _ in calls]
    clock = time.perf_counter_ns
    for _ in range(rounds):
        for i, q in enumerate(queries):
            for c, call in enumerate(calls):
                t0 = clock()
                call(q, d)
                t = clock() - t0
                if t < best[c][i]:
                    best[c][i] = t
    return best


def median_p99(times):
    times = sorted(times)
    return statistics.median(times), times[min(len(times) - 1, int(round(0.99 * (len(times) - 1))))]


def fmt_time(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:8.2f} ms"
    return f"{ns / 1e3:8.1f} µs"


def fmt_mb(b: int) -> str:
    return f"{b / 2**20:8.1f} MB"


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT MET"


def time_peers(systems: Systems, queries, skip_rapidfuzz: bool) -> None:
    peers = [("symspellpy lookup", systems.symspellpy, queries),
             ("tantivy fuzzy_term_query", systems.tantivy, queries)]
    if not skip_rapidfuzz:
        peers.append(("rapidfuzz process.extract", systems.rapidfuzz, queries[:RAPIDFUZZ_QUERIES]))
    for d in DISTANCES:
        mean_terms = statistics.mean(len(systems.ours(q, d)) for q in queries)
        print(f"\nmax_dist {d}: {len(queries)} queries, {mean_terms:.1f} terms per query; "
              f"each peer interleaved with fuzzy_match query by query, best of {ROUNDS} rounds per query")
        print(f"  {'peer':27} {'queries':>7} {'ours median':>12} {'ours p99':>11} {'peer median':>12} "
              f"{'peer p99':>11}   ours/peer (median, p99)")
        for name, call, qs in peers:
            ours, theirs = best_times([systems.ours, call], qs, d)
            om, o99 = median_p99(ours)
            pm, p99 = median_p99(theirs)
            print(f"  {name:27} {len(qs):7} {fmt_time(om)} {fmt_time(o99)} {fmt_time(pm)} {fmt_time(p99)}"
                  f"   {om / pm:8.3f} {o99 / p99:8.3f}")
            if call == systems.symspellpy:
                med_target, p99_target = SYMSPELL_TARGETS[d]
                line = f"median ratio {om / pm:.3f} <= {med_target:.3f}: {verdict(om / pm <= med_target)}"
                if p99_target is not None:
                    line += f"; p99 ratio {o99 / p99:.3f} <= {p99_target:.3f}: {verdict(o99 / p99 <= p99_target)}"
                print(f"    target beside symspellpy: {line}")
            elif call == systems.tantivy:
                print(f"    target beside tantivy: {pm / om:.1f}x faster at the median, "
                      f">= {TANTIVY_SPEEDUP[d]}x: {verdict(pm / om >= TANTIVY_SPEEDUP[d])}")


def time_ours_alone(name, call, queries, distances, label: str) -> None:
    for d in distances:
        (times,) = best_times([call], queries, d)
        med, p99 = median_p99(times)
        print(f"  {name:34} {label:>10} d={d} {fmt_time(med)} {fmt_time(p99)}")


# The worker of --before: loads the saved index and answers "max_dist query"
# lines with the time, in ns, of one prefix ranking.
BEFORE_WORKER = """
import sys, time
from tessaloom import PrefixSearch
index = PrefixSearch.from_bytes(open(sys.argv[1], "rb").read())
clock = time.perf_counter_ns
for line in sys.stdin:
    d, q = line.rstrip("\\n").split(" ", 1)
    t0 = clock()
    index.fuzzy_match_video(q, int(d), limit=10, include_prefix_nodes=True, min_score=0.0)
    print(clock() - t0, flush=True)
"""


def time_against_before(python: str, index: PrefixSearch, starts: list[str]) -> None:
    """The prefix ranking here and in another installed copy, taking turns."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "index.bin"
        path.write_bytes(index.to_bytes())
        # From the temporary folder, so that the worker imports its own installed copy.
        worker = subprocess.Popen([python, "-c", BEFORE_WORKER, str(path)], cwd=tmp, text=True,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)

        def before(q, d):
            worker.stdin.write(f"{d} {q}\n")
            worker.stdin.flush()
            return int(worker.stdout.readline())

        clock = time.perf_counter_ns
        print(f"\nsearch as you type against {python}, taking turns query by query, best of {ROUNDS} rounds")
        for n in PREFIX_LENGTHS:
            queries = [w[:n] for w in starts]
            for d in DISTANCES:
                for q in queries[:10]:  # warm lazy set-up on both sides
                    index.fuzzy_match_video(q, d, limit=10, include_prefix_nodes=True, min_score=0.0)
                    before(q, d)
                ours, theirs = [float("inf")] * len(queries), [float("inf")] * len(queries)
                for _ in range(ROUNDS):
                    for i, q in enumerate(queries):
                        t0 = clock()
                        index.fuzzy_match_video(q, d, limit=10, include_prefix_nodes=True, min_score=0.0)
                        ours[i] = min(ours[i], clock() - t0)
                        theirs[i] = min(theirs[i], before(q, d))
                (mo, _), (mb, _) = median_p99(ours), median_p99(theirs)
                print(f"  {n} chars d={d}: median {fmt_time(mo)} against {fmt_time(mb)} ({mo / mb:.2f}x)")
        worker.stdin.close()
        worker.wait()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="3,000 words (a fast run for CI)")
    ap.add_argument("--words", type=int, default=None, help="use the first N words of the list")
    ap.add_argument("--queries", type=int, default=400)
    ap.add_argument("--check", type=int, default=40, help="queries checked against brute force")
    ap.add_argument("--seed", type=int, default=20240607)
    ap.add_argument("--skip-rapidfuzz", action="store_true", help="leave out the (slow) full scan")
    ap.add_argument("--before", metavar="PYTHON",
                    help="also time search as you type against the tessaloom installed for this interpreter")
    ap.add_argument("--only-before", action="store_true",
                    help="with --before, build only our index and time only that comparison")
    args = ap.parse_args()
    limit = args.words if args.words is not None else (3000 if args.quick else None)

    t0 = time.perf_counter()
    words = load_words(limit)
    arrays = build_arrays(synthetic_records(words), 100)
    prep = time.perf_counter() - t0
    print(f"word list: {len(words):,} words; index arrays: {len(arrays.child_labels):,} nodes, "
          f"prepared in Python in {prep:.1f} s")

    index, our_build, our_mem = measure_build(lambda a=arrays: PrefixSearch.from_internal_data_v2(*a))
    del arrays
    gc.collect()
    if args.before and args.only_before:
        time_against_before(args.before, index, prefix_words(words, PREFIX_WORDS, args.seed))
        return

    def make_symspell():
        s = SymSpell(max_dictionary_edit_distance=max(DISTANCES),
                     distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN_FAST))
        for w in words:
            s.create_dictionary_entry(w, 1)
        return s

    symspell, sym_build, sym_mem = measure_build(make_symspell)
    engine, tan_build, tan_mem = measure_build(lambda: Tantivy(words))

    print("\nbuild (memory: growth of the resident set size over the build, freed heap returned first)")
    print(f"  {'tessaloom from_internal_data_v2':34} {our_build:8.2f} s {fmt_mb(our_mem)}")
    peers = (("symspellpy dictionary", sym_build, sym_mem), ("tantivy in-memory index", tan_build, tan_mem))
    for name, secs, mem in peers:
        print(f"  {name:34} {secs:8.2f} s {fmt_mb(mem)}   "
              f"({secs / our_build:.1f}x time, {mem / max(our_mem, 1):.1f}x memory)")
    print(f"  {'rapidfuzz':34} no index: scans the word list")

    systems = Systems(words, index, symspell, engine)
    queries = make_queries(words, args.queries, args.seed)
    print()
    if not check_agreement(systems, queries, args.check, args.seed):
        raise SystemExit("the systems disagree with the brute-force answer: timings would not compare like with like")
    if not check_counts(systems, queries):
        raise SystemExit("tantivy's counts differ from fuzzy_match's: timings would not compare like with like")

    time_peers(systems, queries, args.skip_rapidfuzz)

    print(f"\nours alone, best of {ROUNDS} rounds per query{'':14} median         p99")
    time_ours_alone("tessaloom fuzzy_match_video", systems.ours_video, queries, DISTANCES, "one edit")
    starts = prefix_words(words, PREFIX_WORDS, args.seed)
    print(f"search as you type: fuzzy_match_video(prefix, max_dist, include_prefix_nodes=True, "
          f"min_score=0.0, limit=10), prefixes of {len(starts)} words of 8+ characters")
    for n in PREFIX_LENGTHS:
        time_ours_alone("tessaloom prefix ranking", systems.ours_prefix, [w[:n] for w in starts], DISTANCES,
                        f"{n} chars")
    if args.before:
        time_against_before(args.before, index, starts)


if __name__ == "__main__":
    main()
