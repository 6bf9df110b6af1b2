"""A small reader of an index's saved form (``PrefixSearch.to_bytes()``): it
reads the length that leads each field and steps over the field's elements,
to count nodes, terms and videos without building the index.

The saved form is eight fields in order: node_shifts (u32s), child_labels
(characters), child_transitions (u32s), payloads (optional payloads),
video_uuids (16-byte ids), video_int32_ids (u32s), id mode (u32), terminal
(one byte per node). Lengths and u32s are variable-length integers whose
first byte gives their width: below 251 the value itself, 251/252/253 a
2/4/8-byte little-endian value after it. A character is UTF-8, its width
given by its first byte. A payload is a tag byte (0 absent, 1 present), then
a u32 total and two vectors of u32s.
"""

from __future__ import annotations

import re
from functools import lru_cache
from typing import NamedTuple

_VARINT = rb"(?:[\x00-\xfa]|\xfb[\x00-\xff]{2}|\xfc[\x00-\xff]{4}|\xfd[\x00-\xff]{8})"
_CHAR = rb"(?:[\x00-\x7f]|[\x80-\xdf][\x00-\xff]|[\xe0-\xef][\x00-\xff]{2}|[\xf0-\xff][\x00-\xff]{3})"
_UNITS = {"varint": _VARINT, "char": _CHAR, "id": rb"[\x00-\xff]{16}"}
# The regular expression engine bounds its repeat counts; longer runs are
# stepped over in pieces of this many elements.
_PIECE = 1 << 20


class SavedCounts(NamedTuple):
    nodes: int
    terms: int
    videos: int
    id_kind: str  # "uuid" or "integer"


class _Reader:
    """Reads forward through ``data[:end]``; every step checks it stays inside."""

    def __init__(self, data: bytes, end: int):
        self.data = data
        self.end = end
        self.pos = 0

    def fail(self, what: str) -> ValueError:
        return ValueError(f"the saved index does not read: {what} at byte {self.pos}")

    def varint(self) -> int:
        pos = self.pos
        if pos >= self.end:
            raise self.fail("the bytes end inside a number")
        first = self.data[pos]
        width = 1 if first < 251 else {251: 2, 252: 4, 253: 8}.get(first, 0) + 1
        if width == 1 and first >= 251:
            raise self.fail(f"a number starts with {first}")
        if pos + width > self.end:
            raise self.fail("the bytes end inside a number")
        self.pos = pos + width
        return first if width == 1 else int.from_bytes(self.data[pos + 1 : pos + width], "little")

    def skip(self, unit: str, count: int) -> None:
        """Step over ``count`` elements of one kind."""
        if count > self.end - self.pos:  # every element takes at least a byte
            raise self.fail(f"{count:,} elements declared, fewer bytes left")
        while count:
            piece = min(count, _PIECE)
            match = _run(unit, piece).match(self.data, self.pos, self.end)
            if match is None:
                raise self.fail(f"{piece:,} elements do not fit")
            self.pos = match.end()
            count -= piece

    def vector(self, unit: str) -> int:
        count = self.varint()
        self.skip(unit, count)
        return count


@lru_cache(maxsize=512)
def _run(unit: str, count: int) -> re.Pattern[bytes]:
    # Possessive: each element has one width, so nothing to backtrack into.
    return re.compile(b"(?:%s){%d}+" % (_UNITS[unit], count), re.DOTALL)


@lru_cache(maxsize=3)
def _payload_run(count: int) -> re.Pattern[bytes]:
    """``count`` payloads, each absent or with two vectors of one length
    below 251 (so written in one byte): what nearly every index holds.
    Regular expressions cannot count, so there is one branch per length."""
    branches = []
    for k in range(251):
        length = re.escape(bytes([k]))
        run = b"(?:%s){%d}+" % (_VARINT, k) if k else b""
        branches.append(length + run + length + run)
    one = b"(?:\\x00|\\x01%s(?:%s))" % (_VARINT, b"|".join(branches))
    return re.compile(b"%s{%d}+" % (one, count), re.DOTALL)


def _skip_payload(r: _Reader) -> None:
    if r.pos >= r.end:
        raise r.fail("the bytes end inside the payloads")
    tag = r.data[r.pos]
    r.pos += 1
    if tag == 1:
        r.varint()  # total count
        r.vector("varint")  # video numbers
        r.vector("varint")  # their counts
    elif tag != 0:
        raise r.fail(f"a payload tag is {tag}")


def _skip_payloads(r: _Reader, count: int) -> None:
    """Step over ``count`` payloads: a run at a time in one match where the
    payloads allow it, else one by one."""
    if count > r.end - r.pos:
        raise r.fail(f"{count:,} payloads declared, fewer bytes left")
    while count:
        # Runs of three sizes, so that three patterns serve every count.
        run = 4096 if count >= 4096 else 64 if count >= 64 else 1
        match = _payload_run(run).match(r.data, r.pos, r.end)
        if match is not None:
            r.pos = match.end()
        else:
            run = min(count, 64)
            for _ in range(run):
                _skip_payload(r)
        count -= run


def read_counts(data: bytes, end: int | None = None) -> SavedCounts:
    """Count the nodes, terms and videos of the index saved in ``data[:end]``.

    Raises ValueError when the bytes do not read as a saved index.
    """
    r = _Reader(data, len(data) if end is None else end)
    r.vector("varint")  # node_shifts
    nodes = r.vector("char")  # child_labels: one per node
    r.vector("varint")  # child_transitions
    _skip_payloads(r, r.varint())
    uuids = r.vector("id")
    int_ids = r.vector("varint")
    mode = r.varint()
    if mode not in (0, 1):
        raise r.fail(f"the id mode is {mode}")
    flags = r.varint()
    if flags > r.end - r.pos:
        raise r.fail("the bytes end inside the terminal flags")
    terms = data.count(1, r.pos, r.pos + flags)
    return SavedCounts(nodes, terms, uuids if mode == 0 else int_ids, "uuid" if mode == 0 else "integer")
