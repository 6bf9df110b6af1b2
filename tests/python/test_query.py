"""fuzzy_match and fuzzy_match_video through the binding: argument forms and
result types. (The walk and the ranking, their examples and odd indexes
included, are checked against references in the C++ suite.)"""

import pytest
from conftest import Idx

from tessaloom import PrefixSearch

TERM = (1, [0], [1])
# cat, car, cart, dog: the root lists c before d, and "ca" lists t before r.
CATS = PrefixSearch.from_internal_data_v2(
    [0, 2, 3, 4, 6, 7, 7, 8, 8], ["", "c", "d", "a", "o", "t", "r", "g", "t"],
    [None] * 5 + [TERM] * 4, [1, 2, 3, 4, 5, 6, 7, 8], [b"\7\0\0\0"], 10)
ALL = [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]


@pytest.mark.parametrize("args, kwargs, expected", [
    (("cat",), {}, ALL),  # max_dist defaults to 1, limit to none
    (("cat", True, 2**64 - 1), {}, ALL),
    (("cat", 1, Idx(2)), {}, ALL[:2]),
    ((), {"term": "dog", "max_dist": 0, "limit": 5}, [("dog", 1, 0)]),
])
def test_fuzzy_match_examples(args, kwargs, expected):
    out = CATS.fuzzy_match(*args, **kwargs)
    assert out == expected and all(tuple(map(type, t)) == (str, int, int) for t in out)
