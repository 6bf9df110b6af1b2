"""The demo: builds an index of the bundled sample video titles, saves it to
an index file and loads it back, then answers a query typed on the command
line with ``tessaloom.search``. It uses the package's own pieces: the
catalogue reader and builder of ``python -m tessaloom build``,
``tessaloom.save``, ``tessaloom.load`` and ``tessaloom.search``.

    python examples/demo.py "sourdogh"              # one typo
    python examples/demo.py "pasta carbonara" -d 2  # up to two edits per word
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

from tessaloom import load, save, search, terms
from tessaloom._native import index_counts
from tessaloom.catalogue import Catalogue, build

DATA = Path(__file__).resolve().parent / "data" / "videos.tsv"


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description="Typo-tolerant search over the sample video titles.")
    ap.add_argument("query", help="the text typed by the user")
    ap.add_argument("-d", "--max-dist", type=non_negative, default=None,
                    help="edits allowed per word, 0 to 3 (default: by the word's length)")
    ap.add_argument("-n", "--limit", type=non_negative, default=10, help="videos shown (default 10)")
    args = ap.parse_args(argv)
    if not terms(args.query):
        ap.error(f"the query has no words to look up: {args.query!r}")

    titles = {str(video): text for video, text in Catalogue(str(DATA), "tsv").entries()}
    t0 = time.perf_counter()
    built = build(Catalogue(str(DATA), "tsv").records())
    t1 = time.perf_counter()
    nodes, terms_, _, _ = index_counts(built)
    print(f"built an index of {terms_:,} terms ({nodes:,} trie nodes) "
          f"from {len(titles):,} video titles in {(t1 - t0) * 1e3:.1f} ms")

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "videos.idx"
        save(built, path)
        t2 = time.perf_counter()
        index = load(path)
        t3 = time.perf_counter()
        size = path.stat().st_size
    assert index.to_bytes() == built.to_bytes()
    print(f"saved it to a {size:,}-byte index file and loaded it back in {(t3 - t2) * 1e3:.2f} ms")
    t4 = time.perf_counter()
    hits = search(index, args.query, args.limit, max_dist=args.max_dist)
    t5 = time.perf_counter()
    print(f"search for {args.query!r}: {len(hits)} videos in {(t5 - t4) * 1e3:.2f} ms "
          "(rank, score, words matched, title)")
    for rank, hit in enumerate(hits, 1):
        print(f"  {rank:2}  {hit.score:6.4f}  {hit.words}  {titles.get(str(hit.video), hit.video)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
