"""Build the six arrays that ``PrefixSearch.from_internal_data_v2`` takes.

The index stores a character trie as flat arrays. ``build_arrays`` makes those
arrays from plain records of (term, video id, count), numbering nodes
breadth-first (so every child has a larger number than its parent, as
propagation requires) with each node's children in code-point order.

This is the readable reference of the layout. ``tessaloom.build_index`` builds
the same index natively, byte for byte, many times faster and in less memory;
its tests compare the two.
"""

from __future__ import annotations

import operator
import uuid
from collections.abc import Iterable
from typing import NamedTuple, Optional, Union

from tessaloom import video_ids
from tessaloom.video_ids import U32_MAX

VideoId = Union[bytes, uuid.UUID, int]


class IndexArrays(NamedTuple):
    """The arguments of ``PrefixSearch.from_internal_data_v2``, in order."""

    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[Optional[tuple[int, list[int], list[int]]]]
    child_transitions: list[int]
    video_index: list[bytes]
    video_top_n: int


def build_arrays(records: Iterable[tuple[str, VideoId, int]], video_top_n: int = 100) -> IndexArrays:
    """Return the construction arrays for an index of ``records``.

    Each record is ``(term, video_id, count)``: the term occurs ``count``
    times in that video. Video ids are all 16-byte UUIDs (``bytes`` or
    ``uuid.UUID``) or all 32-bit unsigned integers. A term's payload lists its
    videos in order of first appearance, with counts summed over repeated
    records; its total count is the sum of those counts. Video numbers follow
    the order in which videos first appear.

    Integer ids, counts and ``video_top_n`` take anything with ``__index__``
    (NumPy integers too), as ``build_index`` does.

    Raises ValueError for an empty term, a term holding U+0000 (such a term
    could never be found), a negative count, a total above 2**32-1, mixed
    kinds of video ids or a negative ``video_top_n``; TypeError for a video
    id of another type.

    >>> from tessaloom import PrefixSearch, build_arrays
    >>> index = PrefixSearch.from_internal_data_v2(*build_arrays([("cat", 7, 2)]))
    """
    video_top_n = operator.index(video_top_n)
    if video_top_n < 0:
        raise ValueError("video_top_n must not be negative")
    video_numbers: dict[bytes, int] = {}
    # A trie node is [children by label, payload entries by video number].
    root: list = [{}, None]
    for term, video, count in records:
        if not isinstance(term, str) or not term:
            raise ValueError(f"terms must be non-empty strings, got {term!r}")
        if "\0" in term:
            raise ValueError(f"terms must not contain U+0000, got {term!r}")
        count = operator.index(count)
        if count < 0:
            raise ValueError(f"counts must not be negative, got {count} for {term!r}")
        key = video_ids.key_bytes(video_ids.parse(video, video_ids.BUILD_ARRAYS, text=False, index=True))
        number = video_numbers.setdefault(key, len(video_numbers))
        node = root
        for ch in term:
            children = node[0]
            child = children.get(ch)
            if child is None:
                child = children[ch] = [{}, None]
            node = child
        if node[1] is None:
            node[1] = {}
        node[1][number] = node[1].get(number, 0) + count

    sizes = {len(k) for k in video_numbers}
    if len(sizes) > 1:
        raise ValueError("video ids must be all UUIDs or all integers, not a mixture")

    node_shifts: list[int] = []
    child_labels: list[str] = [""]
    payloads: list = []
    child_transitions: list[int] = []
    queue = [root]
    head = 0
    while head < len(queue):
        node = queue[head]
        node_shifts.append(len(child_transitions))
        entries = node[1]
        if entries is None:
            payloads.append(None)
        else:
            total = sum(entries.values())
            if total > U32_MAX:
                raise ValueError(f"a term's total count must fit 32 bits, got {total}")
            payloads.append((total, list(entries), list(entries.values())))
        for label in sorted(node[0]):
            child_transitions.append(len(queue))
            child_labels.append(label)
            queue.append(node[0][label])
        head += 1
    return IndexArrays(node_shifts, child_labels, payloads, child_transitions, list(video_numbers), video_top_n)
