"""Search: one ranked list of videos for the text a person typed.

The text is split into words natively, under the rule of ``tessaloom.terms``
that indexes are built with; each distinct word is matched against the index within its typo
budget, the last one also as the beginning of terms while it is still being
typed, and the videos are ranked natively (see the README's "Search").
"""

from __future__ import annotations

import operator
import os
from collections.abc import Iterable
from typing import NamedTuple, Optional, Union

from tessaloom._native import query_words as _query_words
from tessaloom._native import search as _search
from tessaloom._native import search_many as _search_many
from tessaloom._native import word_budget as _word_budget
from tessaloom._tessaloom import PrefixSearch

MAX_WORDS = 32
MAX_DIST = 3


class Hit(NamedTuple):
    """One video found by ``search``: its key (``int`` for integer ids, the
    UUID text for UUID ids), its score (higher is better; the integer part is
    ``words``) and how many of the query's distinct words it matched."""

    video: Union[int, str]
    score: float
    words: int


def _index_of(index: object) -> PrefixSearch:
    if isinstance(index, PrefixSearch):
        return index
    inner = getattr(index, "index", None)  # an index file's value with titles
    if isinstance(inner, PrefixSearch):
        return inner
    raise TypeError(f"index must be a PrefixSearch or a TitledIndex, not {type(index).__name__}")


def _limit(limit: object) -> int:
    if isinstance(limit, bool) or not hasattr(type(limit), "__index__"):
        raise TypeError(f"limit must be a non-negative integer, not {type(limit).__name__}")
    value = operator.index(limit)
    if value < 0:
        raise ValueError(f"limit must be a non-negative integer, got {value}")
    return value


def _max_dist(max_dist: object) -> Optional[int]:
    if max_dist is None:
        return None
    if isinstance(max_dist, bool) or not hasattr(type(max_dist), "__index__"):
        raise TypeError(f"max_dist must be None or an integer, not {type(max_dist).__name__}")
    value = operator.index(max_dist)
    if not 0 <= value <= MAX_DIST:
        raise ValueError(f"max_dist must be None or an integer from 0 to {MAX_DIST}, got {value}")
    return value


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def word_budget(word: str, max_dist: Optional[int] = None) -> int:
    """The edits a word may be off by in ``search``: ``max_dist`` when given,
    else 0 for 1 to 3 characters, 1 for 4 to 7, 2 for 8 or more."""
    return _word_budget(word, max_dist)


def query_words(text: str, prefix: bool = True) -> tuple[list[str], bool]:
    """The words ``search`` matches for ``text`` and whether the last of them
    is matched as a prefix: the distinct words of ``terms(text)`` in order of
    first appearance, except that the text's last word comes last. It is a
    prefix with ``prefix`` true unless the text ends with a separator (a
    character that ``terms`` drops).

    Raises ValueError for more than 32 distinct words.
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    return _query_words(text, _flag("prefix", prefix))


def search(index, text: str, limit: int = 10, *, max_dist: Optional[int] = None, prefix: bool = True,
           transpositions: bool = True) -> list[Hit]:
    """The videos best matching ``text``, best first, at most ``limit``.

    ``index`` is a ``PrefixSearch`` or a ``TitledIndex``. Each distinct word
    of ``terms(text)`` may be off by its budget of edits: ``max_dist`` for
    every word, or by default 0 for words of 1 to 3 characters, 1 for 4 to 7,
    2 for 8 or more. With ``transpositions`` a swap of two adjacent
    characters is one edit. With ``prefix`` the last word also matches terms
    that begin with it (within its budget), unless the text ends with a
    separator. Videos matching more words come first, then by the rarity,
    closeness and frequency of their matches; equal scores by video number.

    >>> search(index, "sourdogh bre")  # doctest: +SKIP
    [Hit(video=1, score=2.61..., words=2), Hit(video=3, score=1.27..., words=1)]
    """
    ps = index if type(index) is PrefixSearch else _index_of(index)
    if type(limit) is not int or limit < 0:
        limit = _limit(limit)
    if max_dist is not None:
        max_dist = _max_dist(max_dist)
    if prefix is not True and prefix is not False:
        _flag("prefix", prefix)
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    if transpositions is not True and transpositions is not False:
        _flag("transpositions", transpositions)
    return _search(ps, text, prefix, limit, max_dist, transpositions, Hit)


def default_workers() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def search_many(index, texts: Iterable[str], limit: int = 10, *, workers: Optional[int] = None,
                max_dist: Optional[int] = None, prefix: bool = True, transpositions: bool = True) -> list[list[Hit]]:
    """``search`` for each of ``texts``, in order, on ``workers`` native
    threads (default: the CPUs the process may use). The same hits as
    ``search`` would give, whatever the number of workers. A failure on any
    text raises, and no list is returned."""
    ps = _index_of(index)
    limit = _limit(limit)
    dist = _max_dist(max_dist)
    want_prefix = _flag("prefix", prefix)
    tr = _flag("transpositions", transpositions)
    if workers is None:
        workers = default_workers()
    elif isinstance(workers, bool) or not hasattr(type(workers), "__index__"):
        raise TypeError(f"workers must be None or a positive integer, not {type(workers).__name__}")
    elif operator.index(workers) < 1:
        raise ValueError(f"workers must be None or a positive integer, got {operator.index(workers)}")
    if isinstance(texts, str):
        raise TypeError("texts must be an iterable of str, not a str")
    return _search_many(ps, tuple(texts), want_prefix, limit, dist, tr, operator.index(workers), Hit)
