"""The benchmark workload: Debian's wamerican-insane word list as an index
with synthetic payloads, shared by every benchmark script, with the memory
readings they use.

Each word is indexed for 1 to 3 videos drawn from a Zipf-like distribution
over ``n_videos`` videos (fixed seed), with counts from 1 to 20.
"""

from __future__ import annotations

import ctypes
import gc
import os
import random
import uuid
from pathlib import Path

from tessaloom import IndexArrays, build_arrays

WORDLIST = Path("/usr/share/dict/american-english-insane")


def rss_bytes() -> int:
    """Resident set size of this process (Linux /proc; 0 elsewhere)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return 0


def release_free_heap() -> None:
    """Hands freed heap pages back to the system (glibc), so that the resident
    set reflects what an index keeps rather than temporaries."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def load_words(limit: int | None = None, path: Path = WORDLIST) -> list[str]:
    """Distinct words of the list, in file order (at most ``limit``)."""
    if not path.exists():
        raise SystemExit(f"{path} is missing: run scripts/setup-system.sh (Debian package wamerican-insane)")
    seen: dict[str, None] = {}
    with path.open(encoding="utf-8") as f:
        for line in f:
            w = line.rstrip("\n")
            if w and "\0" not in w:
                seen.setdefault(w, None)
                if limit is not None and len(seen) >= limit:
                    break
    return list(seen)


def synthetic_records(words: list[str], n_videos: int = 50_000, seed: int = 7, uuids: bool = True):
    """(word, video id, count) records with Zipf-distributed videos."""
    rng = random.Random(seed)
    if uuids:
        ids = [uuid.UUID(int=rng.getrandbits(128)).bytes for _ in range(n_videos)]
    else:
        ids = list(range(n_videos))
    weights = [1.0 / (rank + 1) for rank in range(n_videos)]
    cum = []
    total = 0.0
    for w in weights:
        total += w
        cum.append(total)
    picks = rng.choices(range(n_videos), cum_weights=cum, k=3 * len(words))
    records = []
    k = 0
    for word in words:
        for _ in range(rng.randint(1, 3)):
            records.append((word, ids[picks[k]], rng.randint(1, 20)))
            k += 1
    return records


def word_index_arrays(
    limit: int | None = None, n_videos: int = 50_000, video_top_n: int = 100, seed: int = 7
) -> tuple[list[str], IndexArrays]:
    """The words and the construction arrays of their index."""
    words = load_words(limit)
    return words, build_arrays(synthetic_records(words, n_videos, seed), video_top_n)
