"""fuzzy_match_video: weights, fallback, pooling in visiting order (scores are
checked as exact float expressions), threshold, cut and tie order, keys, and
the arguments only this method takes."""

import math
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaloom import PrefixSearch, build_arrays


def index(records, video_top_n=100):
    return PrefixSearch.from_internal_data_v2(*build_arrays(records, video_top_n))


def test_four_character_worked_example():
    # A = "abcd" (distance 0), B = "abce" (distance 1), both term ends.
    s = index([("abcd", 10, 6), ("abcd", 11, 3), ("abcd", 12, 1), ("abce", 12, 100)])
    wb = (1.0 - 1 / 4) * 0.05
    total = 0.0 + 1.0 * 10 + wb * 100
    expected = [
        ("10", (0.0 + 1.0 * 6) / total),
        ("12", (0.0 + 1.0 * 1 + wb * 100) / total),
        ("11", (0.0 + 1.0 * 3) / total),
    ]
    assert s.fuzzy_match_video("abcd", 1) == expected
    assert [round(x, 4) for _, x in expected] == [0.4364, 0.3455, 0.2182]
    assert s.fuzzy_match_video("abcd", 1, 2) == expected[:2]
    assert s.fuzzy_match_video("abcd", limit=2) == expected[:2]


@pytest.fixture
def cats():
    # car (video 1 x3), cart (video 1, video 2), cat (video 0 x2); "ca" and
    # "c" are inner nodes whose propagated payloads hold all three terms.
    return index([("cat", 100, 2), ("car", 101, 3), ("cart", 101, 1), ("cart", 102, 1)])


def test_three_character_weights(cats):
    # max_dist 0 on a term end: weight 1.0, one node, shares are plain ratios.
    assert cats.fuzzy_match_video("cat", 0) == [("100", 1.0 * 2 / (1.0 * 2))]
    # "car" (d 0, payload holds cart too: total 5) and "cat" (d 1), "cart" (d 1).
    w1 = (1.0 - 1 / 3) * 0.05
    total = 0.0 + 1.0 * 5 + w1 * 2 + w1 * 2
    assert cats.fuzzy_match_video("car", 1) == [
        ("101", (0.0 + 1.0 * 4 + w1 * 1) / total),
        ("102", (0.0 + 1.0 * 1 + w1 * 1) / total),
        ("100", (0.0 + w1 * 2) / total),
    ]


def test_fallback_to_inner_nodes(cats):
    w0 = 1.0 * 0.85
    total = 0.0 + w0 * 7
    inner = [("101", (0.0 + w0 * 4) / total), ("100", (0.0 + w0 * 2) / total), ("102", (0.0 + w0 * 1) / total)]
    # No term end within 0 of "ca": the inner node is used, weight 0.85.
    assert cats.fuzzy_match_video("ca", 0) == inner
    assert cats.fuzzy_match_video("ca", 0, include_prefix_nodes=None) == inner
    assert cats.fuzzy_match_video("ca", 0, include_prefix_nodes=True) == inner
    # No fallback when term ends were asked for explicitly.
    assert cats.fuzzy_match_video("ca", 0, include_prefix_nodes=False) == []
    # Within 1, car, cart and cat end terms, so the inner nodes are ignored.
    w1 = (1.0 - 1 / 2) * 0.05
    total1 = 0.0 + w1 * 5 + w1 * 2
    assert cats.fuzzy_match_video("ca", 1) == [
        ("101", (0.0 + w1 * 4) / total1),
        ("100", (0.0 + w1 * 2) / total1),
        ("102", (0.0 + w1 * 1) / total1),
    ]


def test_prefix_nodes_pool_a_term_end_and_its_ancestors(cats):
    # Visiting order for "car" within 1 with inner nodes: ca (d 1), car (d 0),
    # cart (d 1), cat (d 1). ca's payload already holds car's videos: they
    # are pooled once per matched node.
    w1 = (1.0 - 1 / 3) * 0.05
    wi = w1 * 0.85
    total = 0.0 + wi * 7 + 1.0 * 5 + w1 * 2 + w1 * 2
    assert cats.fuzzy_match_video("car", 1, include_prefix_nodes=True) == [
        ("101", (0.0 + wi * 4 + 1.0 * 4 + w1 * 1) / total),
        ("102", (0.0 + wi * 1 + 1.0 * 1 + w1 * 1) / total),
        ("100", (0.0 + wi * 2 + w1 * 2) / total),
    ]


@pytest.mark.parametrize(
    "term, max_dist",
    [
        ("", 0),
        ("", 5),  # n = 0: every match is a typo and carries no weight
        ("xy", 2),  # "ca" is at distance 2 = n
        ("zzz", 3),  # cat, car at distance 3 = n
        ("q", 4),
    ],
)
def test_matches_at_distance_n_or_more_weigh_nothing(cats, term, max_dist):
    assert cats.fuzzy_match_video(term, max_dist) == []
    assert cats.fuzzy_match_video(term, max_dist, include_prefix_nodes=True, min_score=0.0) == []


def test_zero_total_count_ranks_nothing():
    s = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (0, [0], [5])], [1], [b"\1\0\0\0"], 5)
    assert s.fuzzy_match_video("a", 0, min_score=0.0) == []


def test_threshold():
    # Shares: video 5 -> 99/100, video 6 -> 1/100 (exactly 0.01), video 7 -> 0.
    s = index([("ab", 5, 99), ("ab", 6, 1), ("ab", 7, 0)])
    keys = lambda **kw: [k for k, _ in s.fuzzy_match_video("ab", 0, **kw)]  # noqa: E731
    assert keys() == ["5", "6"]
    assert keys(min_score=None) == ["5", "6"]
    assert keys(min_score=0.0) == ["5", "6", "7"]
    assert keys(min_score=0) == ["5", "6", "7"]
    assert keys(min_score=-math.inf) == ["5", "6", "7"]
    assert keys(min_score=0.0100001) == ["5"]
    assert keys(min_score=1) == []
    assert keys(min_score=float("nan")) == []
    assert s.fuzzy_match_video("ab", 0, min_score=0.0)[1] == ("6", 0.01)


def test_equal_scores_by_ascending_video_number_and_limit_cuts_that_order():
    # Video numbers follow first appearance; ids are chosen so that ascending
    # id and ascending video number differ.
    ids = [900, 30, 700, 5, 60, 400]
    s = index([("ab", i, 2 if n in (1, 4) else 1) for n, i in enumerate(ids)])
    full = s.fuzzy_match_video("ab", 0)
    assert [k for k, _ in full] == ["30", "60", "900", "700", "5", "400"]
    for limit in range(len(ids) + 2):
        assert s.fuzzy_match_video("ab", 0, limit) == full[:limit]


def test_video_without_an_id_is_dropped_after_the_cut():
    # Payload video 3 lies beyond the one-entry id table; it ranks first.
    s = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (4, [3, 0], [3, 1])], [1], [b"\x09\0\0\0"], 5)
    assert s.fuzzy_match_video("a", 0) == [("9", 0.25)]
    assert s.fuzzy_match_video("a", 0, 2) == [("9", 0.25)]
    assert s.fuzzy_match_video("a", 0, 1) == []


def test_int32_keys_are_unsigned_decimal():
    s = index([("a", 0xFFFFFFFF, 2), ("a", 0, 1), ("a", 1000, 1)])
    assert s.fuzzy_match_video("a", 0) == [("4294967295", 0.5), ("0", 0.25), ("1000", 0.25)]


def test_uuid_keys():
    u = [uuid.UUID(bytes=bytes(range(0, 256, 17))), uuid.UUID(int=0), uuid.UUID(int=2**128 - 1)]
    s = index([("a", u[0], 3), ("a", u[1], 2), ("a", u[2], 1)])
    out = s.fuzzy_match_video("a", 0)
    assert [k for k, _ in out] == [
        "00112233-4455-6677-8899-aabbccddeeff",
        "00000000-0000-0000-0000-000000000000",
        "ffffffff-ffff-ffff-ffff-ffffffffffff",
    ]
    assert all(k == str(uuid.UUID(k)) for k, _ in out)


def test_result_shape(cats):
    out = cats.fuzzy_match_video("cat")
    assert type(out) is list and out
    assert all(type(t) is tuple and [type(x) for x in t] == [str, float] for t in out)


# ---- the arguments of this method alone ----

V = "PrefixSearch.fuzzy_match_video()"


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"include_prefix_nodes": 1}, TypeError, "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
        ({"include_prefix_nodes": "yes"}, TypeError, "argument 'include_prefix_nodes': 'str' object cannot be converted to 'PyBool'"),
        ({"include_prefix_nodes": 0.0}, TypeError, "argument 'include_prefix_nodes': 'float' object cannot be converted to 'PyBool'"),
        ({"min_score": "0.5"}, TypeError, "argument 'min_score': must be real number, not str"),
        ({"min_score": 10**400}, OverflowError, "int too large to convert to float"),
        # Parameter order decides which failure is reported.
        ({"min_score": "x", "include_prefix_nodes": 1}, TypeError, "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
        ({"min_score": "x", "limit": -1}, OverflowError, None),
    ],
)
def test_conversions(cats, kwargs, exc, message):
    with pytest.raises(exc) as e:
        cats.fuzzy_match_video("cat", **kwargs)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message


def test_min_score_takes_float_likes(cats):
    class Half:
        def __float__(self):
            return 0.5

    assert cats.fuzzy_match_video("cat", 1, min_score=Half()) == [
        x for x in cats.fuzzy_match_video("cat", 1) if x[1] >= 0.5
    ]


def test_numpy_bool_is_accepted(cats):
    np = pytest.importorskip("numpy")
    assert cats.fuzzy_match_video("ca", 0, include_prefix_nodes=np.bool_(False)) == []
    assert cats.fuzzy_match_video("ca", 0, include_prefix_nodes=np.True_) == cats.fuzzy_match_video("ca", 0, None, True)
    with pytest.raises(TypeError) as e:
        cats.fuzzy_match_video("ca", 0, include_prefix_nodes=np.int64(1))
    assert str(e.value) == "argument 'include_prefix_nodes': 'int64' object cannot be converted to 'PyBool'"


# ---- differential: the ranking against a plain rendering of its rules ----


def levenshtein(a, b):
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


def reference(records, term, max_dist, limit, include_prefix_nodes, min_score):
    """Video ranking over an index built by build_arrays (children in
    code-point order, so the walk's pre-order is the sorted order of
    prefixes), with no video_top_n cut."""
    videos = {}
    own = {}
    for t, vid, count in records:
        v = videos.setdefault(vid, len(videos))
        own.setdefault(t, {}).setdefault(v, 0)
        own[t][v] += count
    prefixes = sorted({t[:k] for t in own for k in range(1, len(t) + 1)})

    def payload(p):  # propagated: every term below p
        below = [t for t in own if t.startswith(p)]
        ids = {}
        for t in below:
            for v, c in own[t].items():
                ids[v] = ids.get(v, 0) + c
        return sum(sum(own[t].values()) for t in below), ids

    def matches(terminal_only):
        return [(p, d) for p in prefixes if (d := levenshtein(term, p)) <= max_dist and (p in own or not terminal_only)]

    if include_prefix_nodes is None:
        nodes = matches(True) or matches(False)
    else:
        nodes = matches(not include_prefix_nodes)
    n = len(term)
    total, pool = 0.0, {}
    for p, d in nodes:
        if d == 0:
            q = 1.0
        elif n == 0 or (q := (1.0 - d / n) * 0.05) <= 0.0:
            continue
        w = q if p in own else q * 0.85
        node_total, ids = payload(p)
        total += w * node_total
        for v, c in ids.items():
            pool[v] = pool.get(v, 0.0) + w * c
    if total <= 0.0:
        return []
    t = 0.01 if min_score is None else min_score
    cands = sorted(((v, s / total) for v, s in pool.items() if s / total >= t), key=lambda c: (-c[1], c[0]))
    if limit is not None:
        cands = cands[:limit]
    by_number = {v: vid for vid, v in videos.items()}
    return [(str(by_number[v]), s) for v, s in cands]


record = st.tuples(
    st.text(alphabet="abé", min_size=1, max_size=4),
    st.sampled_from([3, 1, 4, 15, 9, 2]),
    st.integers(0, 6),
)


@settings(max_examples=300, deadline=None)
@given(
    records=st.lists(record, min_size=1, max_size=10),
    term=st.text(alphabet="abéc", max_size=5),
    max_dist=st.integers(0, 3),
    limit=st.none() | st.integers(0, 5),
    include_prefix_nodes=st.sampled_from([None, True, False]),
    min_score=st.sampled_from([None, 0.0, 0.05, 0.3]),
)
def test_matches_reference(records, term, max_dist, limit, include_prefix_nodes, min_score):
    s = index(records)
    got = s.fuzzy_match_video(term, max_dist, limit, include_prefix_nodes, min_score)
    assert got == reference(records, term, max_dist, limit, include_prefix_nodes, min_score)
