"""Type information for the extension module ``tessaloom._native``."""

import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Optional, SupportsIndex, Union

from tessaloom._tessaloom import PrefixSearch

__all__ = ["build_index", "index_counts", "panic_exception"]

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

def panic_exception() -> type[BaseException]:
    """The class of the internal-fault exception, ``tessaloom.PanicException``."""
