"""tessaloom.search against tantivy on real catalogues: relevance and latency.

Catalogues (benchmarks/catalogues.py, installed and read from Debian): the
manual pages' one-line descriptions and the package list's names and
descriptions, on which the ranking was designed, and the PCI device list,
held out (measured, never tuned on). Each is built as the command line builds it (`catalogue.build`
with its default --video-top-n) and into a tantivy index (one document per
item, the text's terms, the whitespace tokenizer: the same words).

Known-item queries (seeded): an item, 1 to 3 of its distinct words of 4 or
more letters; each word of 5 or more letters gets one typo (a deletion,
insertion, substitution or adjacent swap); the last word is cut short by 0
to 2 characters. The query succeeds at k when the item is among the first k
hits. tantivy answers a boolean query of fuzzy_term_query per word (should),
the same budget per word as search's default (0 edits for 1-3 characters,
1 for 4-7, 2 for 8+), transposition_cost_one=True, prefix=True on the last
word, ranked by its scoring.

Times: ours and tantivy's, interleaved query by query, best of 3 rounds per
query, p50 and p99; then search_many's throughput on 1 and 2 workers.
`--top-n N ...` also prints success@10 and the index size for other
video_top_n values (for "Choosing parameters"); `--ceiling` the success the
Bayes-optimal ranking of these very queries can expect
(known_item_ceiling.py), the most any ranking can reach on them, and what it
reaches within search's ranking rules and the index's lengths, within search's
typo budget, and within both.

Usage:
    pip install -r benchmarks/requirements.txt
    python benchmarks/search_benchmark.py            # the three catalogues, 1,000 queries each
    python benchmarks/search_benchmark.py --ceiling --catalogue manpages   # with the Bayes ceiling
    python benchmarks/search_benchmark.py --quick    # a small run, for CI
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import catalogues  # noqa: E402
from known_item_ceiling import Ceiling  # noqa: E402

import tessaloom  # noqa: E402
from tessaloom import catalogue as cat  # noqa: E402
from tessaloom.searching import query_words, word_budget  # noqa: E402

LETTERS = "abcdefghijklmnopqrstuvwxyz"


def known_item_queries(items, count, seed):
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        video, text = rng.choice(items)
        words = [w for w in dict.fromkeys(tessaloom.terms(text)) if len(w) >= 4]
        if not words:
            continue
        typed = []
        for w in rng.sample(words, rng.randint(1, min(3, len(words)))):
            if len(w) >= 5:
                i = rng.randrange(len(w))
                kind = rng.choice("disw")
                if kind == "d":
                    w = w[:i] + w[i + 1:]
                elif kind == "i":
                    w = w[:i] + rng.choice(LETTERS) + w[i:]
                elif kind == "s":
                    w = w[:i] + rng.choice([c for c in LETTERS if c != w[i]]) + w[i + 1:]
                else:
                    i = min(i, len(w) - 2)
                    w = w[:i] + w[i + 1] + w[i] + w[i + 2:]
            typed.append(w)
        cut = rng.randint(0, 2)
        if cut and len(typed[-1]) > cut:
            typed[-1] = typed[-1][:-cut]
        out.append((video, " ".join(typed)))
    return out


class Tantivy:
    def __init__(self, items):
        import tantivy

        self.t = tantivy
        b = tantivy.SchemaBuilder()
        b.add_text_field("text", stored=False, tokenizer_name="whitespace")
        b.add_integer_field("id", stored=True)
        self.schema = b.build()
        index = tantivy.Index(self.schema)
        writer = index.writer(num_threads=1)
        for video, text in items:
            writer.add_document(tantivy.Document(text=" ".join(tessaloom.terms(text)), id=video))
        writer.commit()
        writer.wait_merging_threads()
        index.reload()
        self.searcher = index.searcher()

    def query(self, text):
        words, last_prefix = query_words(text)
        t = self.t
        return t.Query.boolean_query([
            (t.Occur.Should, t.Query.fuzzy_term_query(self.schema, "text", w, distance=word_budget(w),
                                                      transposition_cost_one=True,
                                                      prefix=last_prefix and i == len(words) - 1))
            for i, w in enumerate(words)])

    def search(self, text, limit=10):
        hits = self.searcher.search(self.query(text), limit).hits
        return [self.searcher.doc(address)["id"][0] for _, address in hits]


def ranks(results, queries):
    return [r.index(video) + 1 if video in r else None for r, (video, _) in zip(results, queries)]


def quality(rs):
    n = len(rs)
    return (100 * sum(r == 1 for r in rs) / n, 100 * sum(r is not None and r <= 10 for r in rs) / n,
            sum(1 / r for r in rs if r) / n)


def pct(xs, p):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(p / 100 * len(xs)))]


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def build(items, top_n):
    records = (r for video, text in items for r in cat.text_records(video, text))
    return cat.build(records) if top_n is None else cat.build(records, top_n)


def run(name, items, n_queries, top_ns, ceiling):
    held_out = " (held out: the ranking was not tuned on it)" if name in catalogues.HELD_OUT else ""
    print(f"\n== {name}: {len(items):,} items, {n_queries:,} known-item queries{held_out}")
    queries = known_item_queries(items, n_queries, seed=22)
    texts = [t for _, t in queries]
    t0 = time.perf_counter()
    index = build(items, None)
    built = time.perf_counter() - t0
    peer = Tantivy(items)
    print(f"index: {len(index.to_bytes()) / 1e6:.1f} MB, built in {built:.2f} s (command-line defaults)")

    ours = [[h.video for h in tessaloom.search(index, t)] for t in texts]
    theirs = [peer.search(t) for t in texts]
    qo, qt = quality(ranks(ours, queries)), quality(ranks(theirs, queries))
    print("                 success@1  success@10    MRR")
    print(f"search           {qo[0]:8.1f}%  {qo[1]:9.1f}%  {qo[2]:.3f}")
    print(f"tantivy          {qt[0]:8.1f}%  {qt[1]:9.1f}%  {qt[2]:.3f}")
    print(f"difference       {qo[0] - qt[0]:+8.1f}   {qo[1] - qt[1]:+9.1f}")
    if ceiling:
        qc = Ceiling(items).expected(queries)
        print(f"Bayes ceiling    {qc[0]:8.1f}%  {qc[1]:9.1f}%  {qc[2]:.3f}   (knows how the queries were made)")
        qr = Ceiling(items, within_rules=True).expected(queries)
        print(f"  within rules   {qr[0]:8.1f}%  {qr[1]:9.1f}%  {qr[2]:.3f}   (exact above typo, lengths in terms)")
        qb = Ceiling(items, budget=True).expected(queries)
        print(f"  within budget  {qb[0]:8.1f}%  {qb[1]:9.1f}%  {qb[2]:.3f}   (only what search's typo budget reaches)")
        qrb = Ceiling(items, within_rules=True, budget=True).expected(queries)
        print(f"  rules, budget  {qrb[0]:8.1f}%  {qrb[1]:9.1f}%  {qrb[2]:.3f}   (both)")

    best_o = [float("inf")] * len(texts)
    best_t = [float("inf")] * len(texts)
    for _ in range(3):
        for i, t in enumerate(texts):
            best_o[i] = min(best_o[i], timed(lambda: tessaloom.search(index, t)))
            best_t[i] = min(best_t[i], timed(lambda: peer.search(t)))
    for label, xs in (("search", best_o), ("tantivy", best_t)):
        print(f"{label:8} latency p50 {statistics.median(xs) * 1e6:8.1f} µs   p99 {pct(xs, 99) * 1e6:8.1f} µs")
    print(f"ratio (ours / tantivy): p50 {statistics.median(best_o) / statistics.median(best_t):.2f}, "
          f"p99 {pct(best_o, 99) / pct(best_t, 99):.2f}")

    many = texts * max(1, 4000 // len(texts))
    rates = {}
    for workers in (1, 2):
        best = min(timed(lambda: tessaloom.search_many(index, many, workers=workers)) for _ in range(3))
        rates[workers] = len(many) / best
        print(f"search_many on {workers} worker{'s' if workers > 1 else ''}: {rates[workers]:,.0f} texts/s")
    print(f"2 workers / 1: {rates[2] / rates[1]:.2f}x")

    for top_n in top_ns:
        index = build(items, top_n)
        q = quality(ranks([[h.video for h in tessaloom.search(index, t)] for t in texts], queries))
        print(f"video_top_n {top_n:>10}: success@10 {q[1]:5.1f}%, success@1 {q[0]:5.1f}%, "
              f"index {len(index.to_bytes()) / 1e6:5.1f} MB")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="a small run, for CI")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--top-n", type=int, nargs="*", default=[], help="also measure these video_top_n values")
    p.add_argument("--ceiling", action="store_true", help="also the Bayes-optimal ranking's expected success")
    p.add_argument("--catalogue", choices=sorted(catalogues.CATALOGUES), action="append",
                   help="only these catalogues (default: all)")
    args = p.parse_args()
    catalogues.setup()
    for name, read in catalogues.CATALOGUES.items():
        if args.catalogue and name not in args.catalogue:
            continue
        items = read()
        n = args.queries
        if args.quick:
            items, n = items[:2000], 50
        run(name, items, n, args.top_n, args.ceiling)


if __name__ == "__main__":
    main()
