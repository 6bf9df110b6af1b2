"""fuzzy_match: argument binding and conversion, the walk's results and order,
and a differential check against a brute-force distance over every term."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaloom import PrefixSearch, build_arrays

M = "PrefixSearch.fuzzy_match()"
V = "PrefixSearch.fuzzy_match_video()"


def ordered_index(terms, root_payload=None):
    """An index of ``terms`` whose children keep the order in which their
    labels first appear in ``terms`` (build_arrays sorts them instead).
    Nodes are numbered breadth-first; every term gets video 0, count 1."""
    root = {}
    for t in terms:
        node = root
        for ch in t:
            node = node.setdefault(ch, {})
        node[None] = True
    shifts, labels, payloads, transitions = [], [""], [], []
    queue, head = [(root, root_payload is not None)], 0
    while head < len(queue):
        node, is_term = queue[head]
        head += 1
        shifts.append(len(transitions))
        payloads.append((1, [0], [1]) if is_term else None)
        for ch, child in node.items():
            if ch is None:
                continue
            transitions.append(len(queue))
            labels.append(ch)
            queue.append((child, None in child))
    if root_payload is not None:
        payloads[0] = root_payload
    return PrefixSearch.from_internal_data_v2(shifts, labels, payloads, transitions, [(7).to_bytes(4, "little")], 10)


@pytest.fixture
def cats():
    # Root lists c before d; under "ca", t comes before r.
    return ordered_index(["cat", "cart", "car", "dog"])


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("cat", 1), {}, [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]),
        (("cat",), {}, [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]),
        (("cat", 1, 2), {}, [("cat", 1, 0), ("car", 1, 1)]),
        (("cat", 1, None), {}, [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]),
        (("cat", 1, 0), {}, []),
        (("cat", 0), {}, [("cat", 1, 0)]),
        (("ca", 1), {}, [("cat", 1, 1), ("car", 1, 1)]),
        (("car", 1), {}, [("cat", 1, 1), ("car", 1, 0), ("cart", 1, 1)]),
        (("Cat", 1), {}, [("cat", 1, 1)]),
        (("dg", 1), {}, [("dog", 1, 1)]),
        (("do", 0), {}, []),  # "do" is an inner node: never reported
        (("", 1), {}, []),  # no term of length 1
        ((), {"term": "dog", "max_dist": 0, "limit": 5}, [("dog", 1, 0)]),
        (("xyz", 4294967295), {}, [("cat", 1, 3), ("car", 1, 3), ("cart", 1, 4), ("dog", 1, 3)]),
    ],
)
def test_cat_car_cart_dog(cats, args, kwargs, expected):
    assert cats.fuzzy_match(*args, **kwargs) == expected


def test_order_follows_the_trie_not_the_distance():
    s = ordered_index(["car", "cart", "cat", "dog"])
    assert s.fuzzy_match("cat", 1) == [("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0)]


def test_whole_terms_only():
    s = ordered_index(["car", "cart", "carton"])
    assert s.fuzzy_match("car", 1) == [("car", 1, 0), ("cart", 1, 1)]
    assert s.fuzzy_match("car", 3) == [("car", 1, 0), ("cart", 1, 1), ("carton", 1, 3)]


def test_empty_query_reports_terms_at_their_length():
    # The root is terminal here and is still never reported.
    s = ordered_index(["b", "a", "ab", "abc"], root_payload=(1, [0], [1]))
    assert s.fuzzy_match("", 0) == []
    assert s.fuzzy_match("", 1) == [("b", 1, 1), ("a", 1, 1)]
    assert s.fuzzy_match("", 2) == [("b", 1, 1), ("a", 1, 1), ("ab", 1, 2)]


def test_code_points_without_normalisation():
    s = ordered_index(["café", "cafe\u0301", "naïve", "日本語", "😀x"])
    assert s.fuzzy_match("café", 0) == [("café", 1, 0)]
    assert s.fuzzy_match("cafe\u0301", 0) == [("cafe\u0301", 1, 0)]
    assert s.fuzzy_match("café", 1) == [("café", 1, 0)]
    assert s.fuzzy_match("café", 2) == [("café", 1, 0), ("cafe\u0301", 1, 2)]
    assert s.fuzzy_match("日本", 1) == [("日本語", 1, 1)]
    assert s.fuzzy_match("😀", 1) == [("😀x", 1, 1)]


def test_nul_labelled_child_and_its_subtree_are_never_visited():
    # root -> "" (NUL, terminal) -> "a" (terminal); root -> "a" (terminal)
    s = PrefixSearch.from_internal_data_v2(
        [0, 2, 3, 3],
        ["", "", "a", "a"],
        [None, (1, [0], [1]), (1, [0], [1]), (1, [0], [1])],
        [1, 3, 2],
        [b"\0\0\0\0"],
        5,
    )
    assert s.fuzzy_match("a", 5) == [("a", 1, 0)]
    assert s.fuzzy_match("", 5) == [("a", 1, 1)]


def test_duplicate_sibling_labels_are_both_walked():
    s = PrefixSearch.from_internal_data_v2(
        [0, 2, 2], ["", "x", "x"], [None, (1, [0], [1]), (2, [0], [2])], [2, 1], [b"\0\0\0\0"], 5
    )
    assert s.fuzzy_match("x", 0) == [("x", 1, 0), ("x", 1, 0)]


def test_empty_index_answers_nothing():
    s = PrefixSearch.from_internal_data_v2([], [], [], [], [], 10)
    assert s.fuzzy_match("abc", 3) == []
    assert s.fuzzy_match("", 0, 0) == []
    assert s.fuzzy_match_video("abc", 3) == []
    assert s.fuzzy_match_video("abc", 3, None, True, 0.0) == []


# ---- binding and conversion ----


class Index:
    """An object usable as an integer, whose __index__ raises what it is given."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class SubTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "method, args, kwargs, exc, message",
    [
        ("fuzzy_match", ("a", 1, None, 5), {}, TypeError, f"{M} takes from 1 to 3 positional arguments but 4 were given"),
        ("fuzzy_match", (), {"term": "a", "foo": 1}, TypeError, f"{M} got an unexpected keyword argument 'foo'"),
        ("fuzzy_match", ("a",), {"term": "b"}, TypeError, f"{M} got multiple values for argument 'term'"),
        ("fuzzy_match", (), {"max_dist": 2}, TypeError, f"{M} missing 1 required positional argument: 'term'"),
        (
            "fuzzy_match_video",
            ("a", 1, None, None, None, 6),
            {},
            TypeError,
            f"{V} takes from 1 to 5 positional arguments but 6 were given",
        ),
        ("fuzzy_match_video", (), {"max_dist": 2}, TypeError, f"{V} missing 1 required positional argument: 'term'"),
        ("fuzzy_match_video", ("a", 1), {"max_dist": 1}, TypeError, f"{V} got multiple values for argument 'max_dist'"),
        ("fuzzy_match_video", ("a",), {"minscore": 1.0}, TypeError, f"{V} got an unexpected keyword argument 'minscore'"),
        # Binding fails before any conversion is tried.
        ("fuzzy_match", (5,), {"bad": 1}, TypeError, f"{M} got an unexpected keyword argument 'bad'"),
    ],
)
def test_binding_messages(small_index, method, args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        getattr(small_index, method)(*args, **kwargs)
    assert type(e.value) is exc
    assert str(e.value) == message


CONVERSIONS = [
    # (args, kwargs, exception type, message or None for the interpreter's own)
    ((5,), {}, TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
    ((b"cat",), {}, TypeError, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
    ((None,), {}, TypeError, "argument 'term': 'NoneType' object cannot be converted to 'PyString'"),
    (("\ud800",), {}, UnicodeEncodeError, None),
    # term is converted before max_dist
    ((5, None), {}, TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
    (("a", None), {}, TypeError, "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
    (("a", 1.0), {}, TypeError, "argument 'max_dist': 'float' object cannot be interpreted as an integer"),
    (("a", "1"), {}, TypeError, "argument 'max_dist': 'str' object cannot be interpreted as an integer"),
    (("a", -1), {}, OverflowError, "out of range integral type conversion attempted"),
    (("a", 4294967296), {}, OverflowError, "out of range integral type conversion attempted"),
    (("a", 2**63 - 1), {}, OverflowError, "out of range integral type conversion attempted"),
    (("a", 2**64), {}, OverflowError, None),
    (("a",), {"limit": "x"}, TypeError, "argument 'limit': 'str' object cannot be interpreted as an integer"),
    (("a",), {"limit": 1.5}, TypeError, "argument 'limit': 'float' object cannot be interpreted as an integer"),
    (("a",), {"limit": -1}, OverflowError, None),
    (("a",), {"limit": 2**64}, OverflowError, None),
    # The re-raise applies to TypeError itself only.
    (("a", Index(SubTypeError("sub"))), {}, SubTypeError, "sub"),
    (("a", Index(ValueError("val"))), {}, ValueError, "val"),
    (("a", Index(TypeError("plain"))), {}, TypeError, "argument 'max_dist': plain"),
]


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
@pytest.mark.parametrize("args, kwargs, exc, message", CONVERSIONS)
def test_shared_conversions(small_index, method, args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        getattr(small_index, method)(*args, **kwargs)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message


def test_rewrapped_type_error_keeps_its_cause(small_index):
    cause = ValueError("root")
    err = TypeError("outer")
    err.__cause__ = cause
    with pytest.raises(TypeError) as e:
        small_index.fuzzy_match("a", Index(err))
    assert str(e.value) == "argument 'max_dist': outer"
    assert e.value.__cause__ is cause


@pytest.mark.parametrize("max_dist, expected", [(0, 1), (True, 3), (4294967295, 4)])
def test_integer_like_values_are_accepted(small_index, max_dist, expected):
    # bool is an int; sizes are checked only against the unsigned 32-bit range.
    assert len(small_index.fuzzy_match("cat", max_dist)) == expected


def test_limit_reads_any_index_object(small_index):
    class Two:
        def __index__(self):
            return 2

    assert small_index.fuzzy_match("cat", 1, Two()) == small_index.fuzzy_match("cat", 1)[:2]
    assert small_index.fuzzy_match("cat", 1, 2**64 - 1) == small_index.fuzzy_match("cat", 1)


def test_result_shape(small_index):
    out = small_index.fuzzy_match("cat")
    assert type(out) is list
    for t in out:
        assert type(t) is tuple and len(t) == 3
        assert [type(x) for x in t] == [str, int, int]
    assert out is not small_index.fuzzy_match("cat")


# ---- differential: the walk against every term's brute-force distance ----


def levenshtein(a, b):
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


ALPHABET = "abé"
words = st.text(alphabet=ALPHABET, min_size=1, max_size=5)


@settings(max_examples=300, deadline=None)
@given(
    terms=st.lists(words, min_size=1, max_size=12, unique=True),
    query=st.text(alphabet=ALPHABET + "c", max_size=6),
    max_dist=st.integers(0, 3),
    limit=st.none() | st.integers(0, 6),
)
def test_matches_brute_force(terms, query, max_dist, limit):
    s = PrefixSearch.from_internal_data_v2(*build_arrays([(t, 1, 1) for t in terms]))
    # build_arrays orders children by code point, so the pre-order walk lists
    # terms in code-point order, a prefix before its extensions.
    expected = [(t, 1, d) for t in sorted(terms) if (d := levenshtein(query, t)) <= max_dist]
    if limit is not None:
        expected = expected[:limit]
    assert s.fuzzy_match(query, max_dist, limit) == expected
