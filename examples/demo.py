"""The demo: builds an index of the bundled sample video titles, saves it to
an index file and loads it back, then answers a query typed on the command
line with both kinds of query. It uses the package's own pieces: the
catalogue reader and builder of ``python -m tessaloom build``,
``tessaloom.terms`` for words, ``tessaloom.save`` and ``tessaloom.load``.

    python examples/demo.py "sourdogh"              # one typo
    python examples/demo.py "pasta carbonara" -d 2  # each word, distance 2
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

from tessaloom import load, save, terms
from tessaloom.catalogue import Catalogue, build
from tessaloom._native import index_counts

DATA = Path(__file__).resolve().parent / "data" / "videos.tsv"
TERMS_SHOWN = 15
# Scores are shares of the counts pooled over every matched video, so a word
# found in more than about 100 videos scores each below the default
# min_score of 0.01: 0.0 keeps them, and the limit keeps the list short.
MIN_SCORE = 0.0


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
    ap.add_argument("query", help="the text typed by the user (each word is looked up)")
    ap.add_argument("-d", "--max-dist", type=non_negative, default=1, help="edit distance allowed (default 1)")
    ap.add_argument("-n", "--limit", type=non_negative, default=5, help="videos shown per word (default 5)")
    args = ap.parse_args(argv)
    words = list(dict.fromkeys(terms(args.query)))
    if not words:
        ap.error(f"the query has no words to look up: {args.query!r}")

    titles = {str(video): text for video, text in Catalogue(str(DATA), "tsv").entries()}
    t0 = time.perf_counter()
    built = build(Catalogue(str(DATA), "tsv").records(), video_top_n=100)
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
    print(f"videos are ranked with min_score={MIN_SCORE} and limit={args.limit}: a word found in more than about "
          f"100 videos scores each of them below the default min_score of 0.01\n")

    for word in words:
        found = sorted(index.fuzzy_match(word, max_dist=args.max_dist), key=lambda hit: hit[2])
        shown = ", ".join(f"{t} (distance {d})" for t, _, d in found[:TERMS_SHOWN])
        more = f" and {len(found) - TERMS_SHOWN} more" if len(found) > TERMS_SHOWN else ""
        print(f"terms within {args.max_dist} of {word!r}, closest first: {shown or 'none'}{more}")
        videos = index.fuzzy_match_video(word, max_dist=args.max_dist, limit=args.limit, min_score=MIN_SCORE)
        if not videos:
            print("  no videos\n")
            continue
        print(f"  best {len(videos)} videos:")
        for key, score in videos:
            print(f"    {score:6.4f}  {titles.get(key, key)}")
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
