"""Type information for the extension module ``tessaloom._tessaloom``."""

from collections.abc import Sequence
from typing import Optional, SupportsFloat, SupportsIndex, final

__all__ = ["PrefixSearch"]

@final
class PrefixSearch:
    """A read-only trie index of search terms with typo-tolerant queries.

    There is no constructor: build an index with ``from_internal_data_v2``
    (see ``tessaloom.build_arrays``) or load one with ``from_bytes``.
    """

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[int],
        child_labels: Sequence[str],
        payloads: Sequence[Optional[tuple[int, Sequence[int], Sequence[int]]]],
        child_transitions: Sequence[int],
        video_index: Sequence[bytes | Sequence[int]],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch:
        """Build an index from flat arrays, checking them and propagating payloads.

        Raises TypeError or OverflowError for arguments of the wrong kind or
        range, ValueError for arrays that do not fit together.
        """

    def to_bytes(self) -> bytes:
        """Save the index: the same index always gives the same bytes."""

    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch:
        """Load an index saved by ``to_bytes``; bytes after the index are ignored.

        The index keeps a reference to ``b`` and reads its video lists from it
        in place, so ``b`` stays in memory as long as the index does.

        Raises TypeError when ``b`` is not ``bytes`` (bytearray and memoryview
        are refused too), ValueError "decode error: ..." for bytes that are
        not a saved index, MemoryError when memory runs out.
        """

    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: Optional[SupportsIndex] = None
    ) -> list[tuple[str, int, int]]:
        """Indexed terms within edit distance ``max_dist`` of ``term``.

        Returns (term, terminal flag, distance) tuples in trie walk order, at
        most ``limit`` of them.
        """

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: Optional[SupportsIndex] = None,
        include_prefix_nodes: Optional[bool] = None,
        min_score: Optional[SupportsFloat] = None,
    ) -> list[tuple[str, float]]:
        """The videos that best match ``term``: (video key, score) tuples, best first."""
