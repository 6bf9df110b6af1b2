"""Titles: the text an index file keeps beside its index for display, so that
the command line, a server or a script can show what a video is without the
catalogue.

A video's title is the first line of its text that is not blank, without the
whitespace around it, cut to 200 characters (``title_of``). The native build
(``build_texts``, the command line's ``build``) makes the same titles.

The titles section of an index file, all little-endian: the u32 number of
titles, a u8 id kind (0 UUIDs, 1 integers), 3 zero bytes, then for each
title, in ascending order of video id: the id (16 bytes, or a u32), the u32
length of the title's UTF-8 bytes, and those bytes. Ids are unique and
titles never empty.
"""

from __future__ import annotations

import struct
import uuid
from collections.abc import Mapping
from types import MappingProxyType
from typing import NamedTuple, Optional, Union

from tessaloom import video_ids
from tessaloom._native import index_counts
from tessaloom._tessaloom import PrefixSearch

TITLE_LENGTH = 200
VideoKey = Union[int, str]
_HEAD = struct.Struct("<IB3s")
_U32 = struct.Struct("<I")
_UUID_ENTRY = struct.Struct("<16sI")
_INT_ENTRY = struct.Struct("<II")


def title_of(text: str) -> str:
    """The title kept for a video's text: its first line that is not blank,
    stripped, cut to 200 characters.

    >>> title_of("\\n  Sourdough bread  \\nfor beginners")
    'Sourdough bread'
    """
    lines = text.strip().splitlines()
    return lines[0].rstrip()[:TITLE_LENGTH] if lines else ""


def video_key(video: object) -> VideoKey:
    """A video's key as search hits give it: the integer for an integer id,
    the UUID's text (lower case, with hyphens) for a UUID. Takes an int, a
    ``uuid.UUID``, 16 bytes, or the text of either kind of id."""
    video = video_ids.parse(video, video_ids.TITLES)
    return video if isinstance(video, int) else str(video)


def encode_titles(titles: Mapping, index: Optional[PrefixSearch] = None) -> bytes:
    """The titles section for a mapping of video id to text: each text's
    title (``title_of``), empty ones left out. Raises TypeError or ValueError
    for a key that is no video id, keys of both kinds or two keys of one
    video, and a text that is not a str or holds a lone surrogate; given the
    ``index`` the titles are for, ValueError for keys of the other kind of id
    than its videos have (no hit could ever show such a title)."""
    if not isinstance(titles, Mapping):
        raise TypeError(f"titles must be a mapping of video id to text, not {type(titles).__name__}")
    kept: dict[VideoKey, bytes] = {}
    for video, text in titles.items():
        key = video_key(video)
        if not isinstance(text, str):
            raise TypeError(f"the title of video {key!r} must be a str, not {type(text).__name__}")
        title = title_of(text)
        if key in kept:
            raise ValueError(f"two keys of titles name video {key!r}")
        try:
            kept[key] = title.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"the title of video {key!r} holds a lone surrogate") from None
    kinds = {type(key) for key in kept}
    if len(kinds) > 1:
        raise ValueError("the keys of titles must be all integer ids or all UUIDs, not a mixture")
    integers = kinds == {int}
    if index is not None and kept:
        _check_kind(index, integers)
    parts = [b""]
    count = 0
    for key in sorted(kept, key=(lambda k: k) if integers else (lambda k: uuid.UUID(k).bytes)):
        data = kept[key]
        if not data:
            continue
        head = _INT_ENTRY.pack(key, len(data)) if integers else _UUID_ENTRY.pack(uuid.UUID(key).bytes, len(data))
        parts += (head, data)
        count += 1
    parts[0] = _HEAD.pack(count, 1 if integers else 0, bytes(3))
    return b"".join(parts)


def _check_kind(index: PrefixSearch, integers: bool) -> None:
    """Refuses titles keyed by the other kind of id than ``index``'s videos;
    an index without videos takes either."""
    videos, kind = index_counts(index)[2:]
    if videos and (kind == "integer") != integers:
        keys, ids = ("integer ids", "UUIDs") if integers else ("UUIDs", "integers")
        raise ValueError(f"the keys of titles are {keys}, but the index's video ids are {ids}")


def decode_titles(section: Union[bytes, memoryview]) -> dict[VideoKey, str]:
    """The titles of a titles section, by video key. Raises ValueError
    saying what is wrong when the bytes are not a titles section."""
    view = memoryview(section)
    end = len(view)
    if end < _HEAD.size:
        raise ValueError("the titles section is cut short")
    count, kind, pad = _HEAD.unpack_from(view, 0)
    if kind not in (0, 1) or pad != bytes(3):
        raise ValueError("the titles section's header is damaged")
    entry = _INT_ENTRY if kind == 1 else _UUID_ENTRY
    if count > (end - _HEAD.size) // (entry.size + 1):
        raise ValueError(f"the titles section declares {count:,} titles, more than its bytes hold")
    titles: dict[VideoKey, str] = {}
    pos, last = _HEAD.size, None
    for _ in range(count):
        if pos + entry.size > end:
            raise ValueError("the titles section is cut short")
        raw, length = entry.unpack_from(view, pos)
        pos += entry.size
        if not 0 < length <= 4 * TITLE_LENGTH or pos + length > end:
            raise ValueError("the titles section holds a title of a wrong length")
        if last is not None and raw <= last:
            raise ValueError("the titles section's ids are not in ascending order")
        last = raw
        try:
            title = str(view[pos : pos + length], "utf-8")
        except UnicodeDecodeError:
            raise ValueError("the titles section holds a title that is not UTF-8") from None
        pos += length
        key: VideoKey = raw if kind == 1 else _uuid_text(raw)
        titles[key] = title
    if pos != end:
        raise ValueError(f"{end - pos:,} bytes follow the titles in the titles section")
    return titles


def _uuid_text(raw: bytes) -> str:
    h = raw.hex()
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def count_titles(section: Union[bytes, memoryview]) -> int:
    """The number of titles a titles section declares."""
    if len(section) < _HEAD.size:
        raise ValueError("the titles section is cut short")
    return _HEAD.unpack_from(section, 0)[0]


class TitledHit(NamedTuple):
    """A search hit with its video's title: None when the index file keeps
    none for it."""

    video: VideoKey
    score: float
    words: int
    title: Optional[str]


class TitledIndex:
    """An index with the titles of its videos: what ``tessaloom.load_titled``
    returns, and ``build_texts(..., titles=True)``. Immutable.

    ``index`` is the ``PrefixSearch``; ``titles`` a read-only mapping of
    video key (as ``Hit.video``: ``int`` for integer ids, UUID text for
    UUIDs) to title, empty when the file keeps none. ``search`` and
    ``tessaloom.search`` accept it in place of its index.
    """

    __slots__ = ("_index", "_titles")

    def __init__(self, index: PrefixSearch, titles: Optional[Mapping] = None):
        if not isinstance(index, PrefixSearch):
            raise TypeError(f"index must be a PrefixSearch, not {type(index).__name__}")
        kept = {} if titles is None else decode_titles(encode_titles(titles, index))
        object.__setattr__(self, "_index", index)
        object.__setattr__(self, "_titles", MappingProxyType(kept))

    @classmethod
    def _from_section(cls, index: PrefixSearch, section: Optional[bytes]) -> "TitledIndex":
        made = cls(index)
        if section is not None:
            object.__setattr__(made, "_titles", MappingProxyType(decode_titles(section)))
        return made

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("a TitledIndex cannot be changed")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("a TitledIndex cannot be changed")

    @property
    def index(self) -> PrefixSearch:
        return self._index

    @property
    def titles(self) -> Mapping[VideoKey, str]:
        return self._titles

    def title(self, video: object) -> Optional[str]:
        """The title of a video (an int, a ``uuid.UUID`` or the text of an
        id), or None when there is none."""
        try:
            return self._titles.get(video_key(video))
        except (TypeError, ValueError):
            return None

    def search(self, text: str, limit: int = 10, **options) -> list[TitledHit]:
        """``tessaloom.search`` on the index, each hit with its title."""
        from tessaloom.searching import search

        return [TitledHit(*hit, self._titles.get(hit.video)) for hit in search(self._index, text, limit, **options)]

    def __repr__(self) -> str:
        return f"<TitledIndex with {len(self._titles):,} titles>"
