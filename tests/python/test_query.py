"""fuzzy_match and fuzzy_match_video through the binding: the documented
examples, argument forms and result types. (The walk and the ranking are
checked against references in the C++ suite.)"""

import math

import pytest

from conftest import Idx, index
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


def test_an_empty_index_answers_nothing():
    e = PrefixSearch.from_internal_data_v2([], [], [], [], [], 10)
    assert e.fuzzy_match("abc", 4294967295) == e.fuzzy_match_video("", 0, None, True, 0.0) == []
