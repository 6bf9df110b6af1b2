"""The demo: builds an index of the bundled sample video titles, saves it to
bytes and loads it back, then answers a query typed on the command line with
both kinds of query.

    python examples/demo.py "sourdogh"              # one typo
    python examples/demo.py "pasta carbonara" -d 2  # each word, distance 2
"""

from __future__ import annotations

import argparse
import re
import sys
import tempfile
import time
import uuid
from collections import Counter
from pathlib import Path

from tessaloom import PrefixSearch, build_index

DATA = Path(__file__).resolve().parent / "data" / "videos.tsv"
WORD = re.compile(r"[^\W\d_]+|\d+")


def load_titles(path: Path) -> dict[str, str]:
    titles = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.strip():
            vid, title = line.split("\t", 1)
            titles[str(uuid.UUID(vid))] = title
    return titles


def records(titles: dict[str, str]):
    """One (word, video id, count) record per distinct word of each title."""
    for vid, title in titles.items():
        for word, count in Counter(WORD.findall(title.lower())).items():
            yield word, uuid.UUID(vid), count


def main() -> None:
    ap = argparse.ArgumentParser(description="Typo-tolerant search over the sample video titles.")
    ap.add_argument("query", help="the text typed by the user (each word is looked up)")
    ap.add_argument("-d", "--max-dist", type=int, default=1, help="edit distance allowed (default 1)")
    ap.add_argument("-n", "--limit", type=int, default=5, help="videos shown per word (default 5)")
    args = ap.parse_args()

    titles = load_titles(DATA)
    t0 = time.perf_counter()
    counts: dict[str, int] = {}  # the progress report gives terms and nodes
    built = build_index(records(titles), video_top_n=100, progress=counts.__setitem__)
    t1 = time.perf_counter()
    print(f"built an index of {counts['trie']:,} terms ({counts['propagation']:,} trie nodes) "
          f"from {len(titles):,} video titles in {(t1 - t0) * 1e3:.1f} ms")

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "videos.idx"
        path.write_bytes(built.to_bytes())
        t2 = time.perf_counter()
        index = PrefixSearch.from_bytes(path.read_bytes())
        t3 = time.perf_counter()
        size = path.stat().st_size
    assert index.to_bytes() == built.to_bytes()
    print(f"saved it as {size:,} bytes and loaded it back in {(t3 - t2) * 1e3:.2f} ms\n")

    for word in WORD.findall(args.query.lower()) or [args.query]:
        terms = index.fuzzy_match(word, max_dist=args.max_dist)
        shown = ", ".join(f"{t} (distance {d})" for t, _, d in terms[:15])
        more = f" and {len(terms) - 15} more" if len(terms) > 15 else ""
        print(f"terms within {args.max_dist} of {word!r}: {shown or 'none'}{more}")
        videos = index.fuzzy_match_video(word, max_dist=args.max_dist, limit=args.limit)
        if not videos:
            print("  no videos\n")
            continue
        print(f"  best {len(videos)} videos:")
        for key, score in videos:
            print(f"    {score:6.3f}  {titles.get(key, key)}")
        print()


if __name__ == "__main__":
    sys.exit(main())
