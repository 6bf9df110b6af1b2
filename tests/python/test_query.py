"""fuzzy_match and fuzzy_match_video: the documented examples, and random
differential tests against a brute-force distance and a plain-Python
rendering of the ranking rules (scores compared as exact floats)."""

import math
from collections import Counter
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import Idx, index, levenshtein
from tessaloom import PrefixSearch

TERM = (1, [0], [1])
# cat, car, cart, dog: the root lists c before d, and "ca" lists t before r.
CATS = PrefixSearch.from_internal_data_v2(
    [0, 2, 3, 4, 6, 7, 7, 8, 8], ["", "c", "d", "a", "o", "t", "r", "g", "t"],
    [None] * 5 + [TERM] * 4, [1, 2, 3, 4, 5, 6, 7, 8], [b"\7\0\0\0"], 10)
ALL = [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]


@pytest.mark.parametrize("args, kwargs, expected", [
    (("cat", 1), {}, ALL),
    (("cat",), {}, ALL),
    (("cat", True, None), {}, ALL),
    (("cat", 1, 2**64 - 1), {}, ALL),
    (("cat", 1, 2), {}, ALL[:2]),
    (("cat", 1, Idx(2)), {}, ALL[:2]),
    (("cat", 1, 0), {}, []),
    (("cat", 0), {}, [("cat", 1, 0)]),
    (("ca", 1), {}, [("cat", 1, 1), ("car", 1, 1)]),
    (("Cat", 1), {}, [("cat", 1, 1)]),
    (("do", 0), {}, []),  # an inner node is never reported
    (("", 1), {}, []),
    ((), {"term": "dog", "max_dist": 0, "limit": 5}, [("dog", 1, 0)]),
    (("xyz", 4294967295), {}, [("cat", 1, 3), ("car", 1, 3), ("cart", 1, 4), ("dog", 1, 3)]),
])
def test_fuzzy_match_examples(args, kwargs, expected):
    assert CATS.fuzzy_match(*args, **kwargs) == expected


def test_order_follows_the_trie_not_the_distance(small_index):
    out = small_index.fuzzy_match("cat", 1)  # r before t here
    assert out == [("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0)]
    assert [tuple(map(type, t)) for t in out] == [(str, int, int)] * 3


# Composed é, a combining accent and an astral character: distances count code points.
ALPHABET = "ab\u00e9\u0301\U0001f600"


@settings(max_examples=300, deadline=None)
@given(terms=st.lists(st.text(ALPHABET, min_size=1, max_size=5), min_size=1, max_size=12, unique=True),
       query=st.text(ALPHABET + "c", max_size=6), max_dist=st.integers(0, 3), limit=st.none() | st.integers(0, 6))
def test_fuzzy_match_against_brute_force(terms, query, max_dist, limit):
    # Children in code-point order: the walk lists terms in sorted order.
    expected = [(t, 1, d) for t in sorted(terms) if (d := levenshtein(query, t)) <= max_dist]
    assert index([(t, 1, 1) for t in terms]).fuzzy_match(query, max_dist, limit) == expected[:limit]


def test_four_character_worked_example():
    # "abcd" at distance 0 and "abce" at distance 1, both term ends.
    s = index([("abcd", 10, 6), ("abcd", 11, 3), ("abcd", 12, 1), ("abce", 12, 100)])
    wb = (1.0 - 1 / 4) * 0.05
    total = 0.0 + 1.0 * 10 + wb * 100
    expected = [("10", (0.0 + 1.0 * 6) / total), ("12", (0.0 + 1.0 * 1 + wb * 100) / total), ("11", (0.0 + 1.0 * 3) / total)]
    assert [round(x, 4) for _, x in expected] == [0.4364, 0.3455, 0.2182]
    out = s.fuzzy_match_video("abcd", 1)
    assert out == expected and all(type(k) is str and type(x) is float for k, x in out)
    assert s.fuzzy_match_video("abcd", 1, 2) == s.fuzzy_match_video(term="abcd", limit=2) == expected[:2]


@pytest.mark.parametrize("min_score, keys", [
    ((), ["5", "6"]), ((None,), ["5", "6"]), ((0.0,), ["5", "6", "7"]), ((0,), ["5", "6", "7"]),
    ((-math.inf,), ["5", "6", "7"]), ((0.0100001,), ["5"]), ((type("Half", (), {"__float__": lambda self: 0.5})(),), ["5"]), ((1,), []), ((math.nan,), []),
])
def test_min_score(min_score, keys):
    # Shares 0.99, exactly 0.01 (kept by default) and 0.
    s = index([("ab", 5, 99), ("ab", 6, 1), ("ab", 7, 0)])
    assert [k for k, _ in s.fuzzy_match_video("ab", 0, None, None, *min_score)] == keys
    assert s.fuzzy_match_video("ab", 0, min_score=0.0)[1] == ("6", 0.01)


def test_video_without_an_id_is_dropped_after_the_cut():
    # Payload video 3 lies beyond the one-entry id table, and ranks first.
    s = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (4, [3, 0], [3, 1])], [1], [b"\x09\0\0\0"], 5)
    assert s.fuzzy_match_video("a", 0) == s.fuzzy_match_video("a", 0, 2) == [("9", 0.25)]
    assert s.fuzzy_match_video("a", 0, 1) == []


def reference(records, term, max_dist, limit, include_prefix_nodes, min_score):
    """The ranking rules over an index from build_arrays without a cut: pre-order is sorted order."""
    videos, own = {}, {}
    for t, vid, count in records:
        own.setdefault(t, Counter())[videos.setdefault(vid, len(videos))] += count
    prefixes = sorted({t[:k] for t in own for k in range(1, len(t) + 1)})

    def matches(terminal_only):
        return [(p, d) for p in prefixes if (d := levenshtein(term, p)) <= max_dist and (p in own or not terminal_only)]

    nodes = (matches(True) or matches(False)) if include_prefix_nodes is None else matches(not include_prefix_nodes)
    total, pool = 0.0, {}
    for p, d in nodes:
        if d == 0:
            q = 1.0
        elif not term or (q := (1.0 - d / len(term)) * 0.05) <= 0.0:
            continue
        w = q if p in own else q * 0.85
        ids = Counter()  # the propagated payload; update keeps zero counts
        for c in (c for t, c in own.items() if t.startswith(p)):
            ids.update(c)
        total += w * sum(ids.values())
        for v, c in ids.items():
            pool[v] = pool.get(v, 0.0) + w * c
    if total <= 0.0:
        return []
    cut = 0.01 if min_score is None else min_score
    ranked = sorted(((v, s / total) for v, s in pool.items() if s / total >= cut), key=lambda c: (-c[1], c[0]))
    key = {v: str(vid) for vid, v in videos.items()}
    return [(key[v], s) for v, s in ranked[:limit]]


INT_IDS = [3, 1, 4, 15, 9, 0xFFFFFFFF]
UUIDS = [uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID(bytes=bytes(range(0, 256, 17))), uuid.UUID(int=5)]
records = st.sampled_from([INT_IDS, UUIDS]).flatmap(lambda ids: st.lists(
    st.tuples(st.text("ab\u00e9", min_size=1, max_size=4), st.sampled_from(ids), st.integers(0, 6)), min_size=1, max_size=10))


# Queries are random text or a term less its last character, often an inner node only.
cases = records.flatmap(lambda r: st.tuples(st.just(r), st.text("ab\u00e9c", max_size=5) | st.sampled_from([t[:-1] for t, _, _ in r])))


@settings(max_examples=300, deadline=None)
@given(case=cases, max_dist=st.integers(0, 3), limit=st.none() | st.integers(0, 5),
       include_prefix_nodes=st.sampled_from([None, True, False]), min_score=st.sampled_from([None, 0.0, 0.05, 0.3]))
def test_fuzzy_match_video_against_reference(case, max_dist, limit, include_prefix_nodes, min_score):
    records, term = case
    got = index(records).fuzzy_match_video(term, max_dist, limit, include_prefix_nodes, min_score)
    assert got == reference(records, term, max_dist, limit, include_prefix_nodes, min_score)
