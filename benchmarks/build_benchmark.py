"""Construction benchmark: PrefixSearch.from_internal_data_v2 on the word-list
index, against a plain Python loop that only touches every item of the same
six arrays (and of the payload tuples' lists) as the yardstick, and the built
index's memory per node.

    python benchmarks/build_benchmark.py            # the whole word list
    python benchmarks/build_benchmark.py --quick    # 5,000 words, for CI

Memory is the growth of the process's resident set across construction after
returning freed heap to the system (glibc's malloc_trim), so it counts what
the index keeps, not what construction used on the way.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from wordlist import release_free_heap, rss_bytes, word_index_arrays  # noqa: E402

from tessaloom import PrefixSearch  # noqa: E402


def touch_all(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n) -> int:
    n = 0
    for x in node_shifts:
        n += 1
    for x in child_labels:
        n += 1
    for p in payloads:
        if p is not None:
            for x in p[1]:
                n += 1
            for x in p[2]:
                n += 1
        n += 1
    for x in child_transitions:
        n += 1
    for v in video_index:
        for x in v:
            n += 1
    return n + video_top_n


def propagated_entries(saved: bytes) -> int:
    """The number of payload entries in a saved index: skips the first three
    fields and reads the payload vector's lengths."""
    pos = 0

    def varint() -> int:
        nonlocal pos
        b = saved[pos]
        width = {251: 2, 252: 4, 253: 8}.get(b, 0)
        value = b if width == 0 else int.from_bytes(saved[pos + 1 : pos + 1 + width], "little")
        pos += 1 + width
        return value

    for _ in range(varint()):  # node_shifts
        varint()
    n = varint()  # child_labels, UTF-8 characters
    for _ in range(n):
        b = saved[pos]
        pos += 1 if b < 0x80 else 2 if b < 0xE0 else 3 if b < 0xF0 else 4
    for _ in range(varint()):  # child_transitions
        varint()
    entries = 0
    for _ in range(varint()):  # payloads
        tag = saved[pos]
        pos += 1
        if tag:
            varint()
            k = varint()
            entries += k
            for _ in range(k):
                varint()
            for _ in range(varint()):
                varint()
    return entries


def best_of(fn, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="5,000 words only")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    words, arrays = word_index_arrays(limit=5_000 if args.quick else None)
    nodes = len(arrays.child_labels)
    entries_in = sum(len(p[1]) for p in arrays.payloads if p is not None)
    print(f"words {len(words):,}  nodes {nodes:,}  edges {len(arrays.child_transitions):,}  "
          f"videos {len(arrays.video_index):,}  supplied payload entries {entries_in:,}  "
          f"video_top_n {arrays.video_top_n}")

    t_loop = best_of(lambda: touch_all(*arrays), args.runs)
    t_build = best_of(lambda: PrefixSearch.from_internal_data_v2(*arrays), args.runs)
    print(f"python loop touching every item   {t_loop * 1e3:9.1f} ms")
    print(f"from_internal_data_v2             {t_build * 1e3:9.1f} ms")
    print(f"ratio build / loop                {t_build / t_loop:9.2f}   (target <= 3)")

    release_free_heap()
    before = rss_bytes()
    index = PrefixSearch.from_internal_data_v2(*arrays)
    release_free_heap()
    grown = rss_bytes() - before
    entries = propagated_entries(index.to_bytes())
    budget = 100 * nodes + 8 * entries
    print(f"payload entries after propagation {entries:,}")
    print(f"index memory (RSS growth)         {grown / 1e6:9.1f} MB = {grown / nodes:6.1f} bytes per node, "
          f"{(grown - 8 * entries) / nodes:.1f} per node besides 8 per entry")
    print(f"budget 100/node + 8/entry         {budget / 1e6:9.1f} MB   (used {grown / budget:.0%})")
    del index


if __name__ == "__main__":
    main()
