"""Type information for the extension module ``tessaloom._native``."""

import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Optional, SupportsIndex, Union

from tessaloom._tessaloom import PrefixSearch

__all__ = ["build_index", "build_texts", "build_catalogue", "catalogue_rows", "index_counts", "load_index",
           "panic_exception", "query_words", "search", "search_many", "word_budget"]

VideoId = Union[uuid.UUID, bytes, bytearray, SupportsIndex]

def build_index(
    records: Iterable[tuple[str, VideoId, SupportsIndex] | Sequence[object]],
    video_top_n: SupportsIndex = 100,
    progress: Optional[Callable[[str, int], object]] = None,
) -> PrefixSearch:
    """Build a PrefixSearch from records of (term, video id, count), natively.

    The same index as ``PrefixSearch.from_internal_data_v2(*build_arrays(records,
    video_top_n))``, byte for byte. ``records`` is read once, as a stream.
    ``progress(phase, count)`` is called every million records read
    (``"reading"``), then at the start of each phase: ``"ordering"``,
    ``"trie"``, ``"propagation"``. The GIL is released once the records are
    read.

    Raises TypeError or ValueError naming the record, as
    ``"record 12: count must be a non-negative integer, got 1.5"``.
    """

def index_counts(index: PrefixSearch) -> tuple[int, int, int, str]:
    """``(nodes, terms, videos, id kind)`` of an index: its trie nodes, the nodes
    that end a term, the entries of its video table, and ``"uuid"`` or
    ``"integer"``."""

def load_index(data: bytes, length: SupportsIndex) -> PrefixSearch:
    """The PrefixSearch saved in exactly the first ``length`` bytes of ``data``.

    Raises ValueError when the decode ends before ``length`` or needs bytes
    past it; bytes after ``length`` are never read. ``data`` is kept by the
    index, uncopied, when it is an exact ``bytes`` object.
    """

def panic_exception() -> type[BaseException]:
    """The class of the internal-fault exception, ``tessaloom.PanicException``."""

def build_texts(
    entries: Iterable[tuple[VideoId, str] | Sequence[object]],
    video_top_n: SupportsIndex = 100,
    progress: Optional[Callable[[str, int], object]] = None,
    titles: bool = False,
) -> tuple[PrefixSearch, Optional[bytes], int]:
    """Build from (video id, text) pairs, split and counted natively:
    (index, titles section or None, records). ``tessaloom.build_texts`` is
    the public form."""

def build_catalogue(
    data: bytes,
    format: str,
    video_top_n: SupportsIndex = 100,
    progress: Optional[Callable[[str, int], object]] = None,
    titles: bool = False,
) -> Optional[tuple[PrefixSearch, Optional[bytes], int, int]]:
    """Build from a TSV or CSV catalogue's bytes: (index, titles section or
    None, rows, records), or None at the first line left to the Python
    reader."""

def catalogue_rows(data: bytes, format: str) -> Optional[list[tuple[int, str, str]]]:
    """The (line, id text, text) rows the native reader takes, or None."""
def search(
    index: PrefixSearch, text: str, prefix: bool, limit: SupportsIndex, max_dist: Optional[SupportsIndex],
    transpositions: bool, hit: Optional[type[tuple]] = None,
) -> list[tuple[Union[int, str], float, int]]:
    """(video key, score, words) for a text, split natively as ``terms`` splits
    it, as instances of ``hit`` (a tuple subclass) or plain tuples: the native
    part of ``tessaloom.search``."""

def search_many(
    index: PrefixSearch, texts: tuple[str, ...], prefix: bool, limit: SupportsIndex,
    max_dist: Optional[SupportsIndex], transpositions: bool, workers: SupportsIndex, hit: Optional[type[tuple]] = None,
) -> list[list[tuple[Union[int, str], float, int]]]:
    """``search`` for each text on ``workers`` native threads."""

def query_words(text: str, prefix: bool) -> tuple[list[str], bool]:
    """The distinct words search matches for ``text`` and whether the last is
    a prefix; ``tessaloom.searching.query_words`` is the public form."""

def word_budget(word: str, max_dist: Optional[SupportsIndex] = None) -> int:
    """The edits ``word`` may be off by in search: ``max_dist`` when given,
    else 0 for 1 to 3 characters, 1 for 4 to 7, 2 for 8 or more."""
