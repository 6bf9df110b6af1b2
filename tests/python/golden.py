"""The index saved in tests/data/golden_index.bin: a small index whose saved
form must never change, since files saved by earlier versions must load.

Run as a script to write the file again (only when the format is meant to
change, which breaks every saved index).
"""

import uuid
from pathlib import Path

from tessaloom import PrefixSearch, build_arrays

GOLDEN = Path(__file__).resolve().parent.parent / "data" / "golden_index.bin"

# Terms with 1- to 4-byte UTF-8 labels, counts in each varint form, and
# more videos than video_top_n, so that propagation cuts.
RECORDS = [
    ("cat", uuid.UUID(int=1), 2),
    ("car", uuid.UUID(int=2), 3),
    ("cart", uuid.UUID(int=1), 300),
    ("café", uuid.UUID(int=3), 70000),
    ("naïve", uuid.UUID(int=4), 1),
    ("日本", uuid.UUID(int=5), 251),
    ("😀", uuid.UUID(int=6), 65536),
    ("dog", uuid.UUID(int=7), 5),
    ("do", uuid.UUID(int=8), 1),
    ("dot", uuid.UUID(int=0xFFFFFFFF_FFFFFFFF_FFFFFFFF_FFFFFFFF), 9),
]
TOP_N = 3


def golden_index() -> PrefixSearch:
    return PrefixSearch.from_internal_data_v2(*build_arrays(RECORDS, TOP_N))


if __name__ == "__main__":
    GOLDEN.write_bytes(golden_index().to_bytes())
    print(f"wrote {GOLDEN} ({GOLDEN.stat().st_size} bytes)")
