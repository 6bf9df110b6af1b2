"""Query cost in instructions, for checks that must not drift.

Wall-clock time on a shared machine varies by tens of percent; the number of
instructions a query executes does not. This script loads an index of the
first 100,000 words of the word list (synthetic payloads of
benchmarks/wordlist.py) from a saved file, then asks 100 one-edit queries
(a random word with one letter substituted, inserted or deleted; fixed seed)
of each kind:

    match1, match2     fuzzy_match at max_dist 1 and 2
    video1, video2     fuzzy_match_video at max_dist 1 and 2
    prefix1            fuzzy_match_video of the query's first three characters
                       at max_dist 1 with include_prefix_nodes=True
    prefix2            the same at max_dist 2 (only with --only)
    type1, type2       search as you type: prefix1 and prefix2 as an application
                       asks them, with limit=10 and min_score=0.0 (only with
                       --only; prefix1 and prefix2 stay as they were, for
                       comparison with earlier figures)

The saved index is built once and cached (``--cache``), so a measured run only
loads it. Run the script under callgrind with 0 and with 100 queries and
subtract, or let it do that itself:

    python benchmarks/instructions.py --callgrind            # all five kinds
    python benchmarks/instructions.py --callgrind --only prefix2
    python benchmarks/instructions.py --callgrind --only type1 --only type2
    valgrind --tool=callgrind python benchmarks/instructions.py --queries 0
    valgrind --tool=callgrind python benchmarks/instructions.py --queries 100

The interpreter running the script is the one measured, so a peer build is
compared by running the same script with its Python.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import re
import string
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from tessaloom import PrefixSearch  # noqa: E402

WORDS = 100_000
SEED = 20240607

# kind -> (method, max_dist, keyword arguments, characters of the query used)
KINDS = {
    "match1": ("fuzzy_match", 1, {}, None),
    "match2": ("fuzzy_match", 2, {}, None),
    "video1": ("fuzzy_match_video", 1, {}, None),
    "video2": ("fuzzy_match_video", 2, {}, None),
    "prefix1": ("fuzzy_match_video", 1, {"include_prefix_nodes": True}, 3),
    "prefix2": ("fuzzy_match_video", 2, {"include_prefix_nodes": True}, 3),
    "type1": ("fuzzy_match_video", 1, {"include_prefix_nodes": True, "min_score": 0.0, "limit": 10}, 3),
    "type2": ("fuzzy_match_video", 2, {"include_prefix_nodes": True, "min_score": 0.0, "limit": 10}, 3),
}
DEFAULT_KINDS = ("match1", "match2", "video1", "video2", "prefix1")


def one_edit_queries(words: list[str], count: int, seed: int = SEED) -> list[str]:
    """``count`` words of the list, each with one random edit (a-z)."""
    rng = random.Random(seed)
    queries = []
    while len(queries) < count:
        w = rng.choice(words)
        kind = rng.choice(["substitute", "insert"] + (["delete"] if len(w) > 1 else []))
        if kind == "insert":
            i = rng.randint(0, len(w))
            queries.append(w[:i] + rng.choice(string.ascii_lowercase) + w[i:])
        else:
            i = rng.randrange(len(w))
            middle = rng.choice(string.ascii_lowercase) if kind == "substitute" else ""
            queries.append(w[:i] + middle + w[i + 1 :])
    return queries


def cached_index(cache: Path) -> Path:
    """The saved index of the first WORDS words, built on first use."""
    path = cache / f"words-{WORDS}.idx"
    if not path.exists():
        from wordlist import word_index_arrays

        _, arrays = word_index_arrays(WORDS)
        cache.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".tmp")
        tmp.write_bytes(PrefixSearch.from_internal_data_v2(*arrays).to_bytes())
        tmp.replace(path)
    return path


def run_queries(index: PrefixSearch, queries: list[str], kinds: list[str], digest: bool) -> None:
    for kind in kinds:
        method, max_dist, kwargs, chars = KINDS[kind]
        call = getattr(index, method)
        h = hashlib.sha256() if digest else None
        for q in queries:
            result = call(q if chars is None else q[:chars], max_dist, **kwargs)
            if h is not None:
                h.update(repr(result).encode())
        if h is not None:
            print(f"{kind:8} {h.hexdigest()[:16]}")


def callgrind_total(argv: list[str], out: Path) -> int:
    """Instructions executed by ``argv`` under callgrind."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *argv],
        check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    m = re.search(r"^(?:summary|totals):\s*(\d+)", out.read_text(), re.MULTILINE)
    if m is None:
        raise SystemExit(f"no instruction total in {out}")
    return int(m.group(1))


def measure(args, kinds: list[str]) -> None:
    base = [sys.executable, str(Path(__file__).resolve()), "--cache", str(args.cache)]
    with tempfile.TemporaryDirectory() as tmp:
        empty = callgrind_total(base + ["--queries", "0"], Path(tmp) / "empty.out")
        print(f"python {sys.executable}; {WORDS:,} words; 100 one-edit queries per kind")
        print(f"{'kind':8} {'instructions':>15} {'per query':>12}")
        total = 0
        for kind in kinds:
            full = callgrind_total(base + ["--queries", "100", "--only", kind], Path(tmp) / f"{kind}.out")
            total += full - empty
            print(f"{kind:8} {full - empty:15,} {(full - empty) / 100:12,.0f}")
        if len(kinds) > 1:
            print(f"{'total':8} {total:15,} {total / 100:12,.0f}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--queries", type=int, choices=(0, 100), default=100, help="queries asked per kind")
    ap.add_argument("--only", choices=sorted(KINDS), action="append",
                    help="ask only this kind (may be repeated); default: " + ", ".join(DEFAULT_KINDS))
    ap.add_argument("--cache", type=Path, default=HERE.parent / "build" / "instructions",
                    help="folder of the saved index")
    ap.add_argument("--digest", action="store_true", help="print a digest of each kind's results")
    ap.add_argument("--callgrind", action="store_true",
                    help="run this script under callgrind with 0 and 100 queries and print the difference")
    args = ap.parse_args()
    kinds = args.only or list(DEFAULT_KINDS)
    path = cached_index(args.cache)
    if args.callgrind:
        measure(args, kinds)
        return
    from wordlist import load_words

    index = PrefixSearch.from_bytes(path.read_bytes())
    queries = one_edit_queries(load_words(WORDS), args.queries)
    run_queries(index, queries, kinds, args.digest)


if __name__ == "__main__":
    main()
