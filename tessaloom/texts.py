"""Indexes from texts: each video's text split into terms by the rule of
``tessaloom.terms`` and counted natively, then built as ``build_index``
builds. The command line's ``build`` of a catalogue goes this way."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import NamedTuple, Optional, Union

from tessaloom import _native
from tessaloom._tessaloom import PrefixSearch
from tessaloom.titles import TitledIndex

Progress = Callable[[str, int], object]


def build_texts(entries: Iterable, video_top_n: int = 100, progress: Optional[Progress] = None, *,
                titles: bool = False) -> Union[PrefixSearch, TitledIndex]:
    """Build an index from ``(video id, text)`` pairs.

    Each text's terms (``tessaloom.terms``) are counted, and the index is the
    one ``build_index`` makes from the records ``(term, video id, count)`` of
    those counts, byte for byte, in a fraction of the time: the texts are
    split and counted natively. Video ids are as ``build_index`` takes them
    (``uuid.UUID``, 16 bytes, or integers 0..2**32-1, all of one kind); a
    video may have several texts, whose counts add up. ``progress`` is called
    as by ``build_index`` ("reading" every million texts).

    With ``titles=True`` the result is a ``TitledIndex``: the index and each
    video's title (``tessaloom.titles.title_of`` of its first text that has
    one), ready for ``save(t.index, path, titles=t.titles)``.

    Raises TypeError or ValueError naming the entry, counting from 0, as in
    ``"entry 3: text must be a str, got bytes"``; an exception raised by
    ``entries`` passes through. A failed build leaves nothing behind.

    >>> index = build_texts([(1, "Sourdough bread"), (2, "Bread machine review")])
    >>> index.fuzzy_match("bred")
    [('bread', 1, 1)]
    """
    index, section, _ = _native.build_texts(entries, video_top_n, progress, titles)
    return TitledIndex._from_section(index, section) if titles else index


class CatalogueBuild(NamedTuple):
    """What the native catalogue reader built: the index, the titles section
    (None without titles), the rows it read and the records they made."""

    index: PrefixSearch
    titles: Optional[bytes]
    rows: int
    records: int


def build_catalogue(data: bytes, fmt: str, video_top_n: int = 100, progress: Optional[Progress] = None, *,
                    titles: bool = True) -> Optional[CatalogueBuild]:
    """Build from the bytes of a TSV or CSV catalogue, natively, or return
    None at the first line the native reader does not take (a bad line, or
    one of an unusual shape): the Python reader then reads the file, with
    its messages for bad lines."""
    built = _native.build_catalogue(data, fmt, video_top_n, progress, titles)
    return None if built is None else CatalogueBuild(*built)
