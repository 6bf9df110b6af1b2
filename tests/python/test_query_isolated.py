"""Queries that could crash or hang the interpreter: very long queries and
terms, a trie a million nodes deep, cycles, the empty index. Each runs in a
child interpreter with a timeout, so a crash or a hang fails its test instead
of ending the whole run. The child prints one JSON line per step."""

import json
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import json, sys
from tessaloom import PrefixSearch, build_arrays

def out(**kw):
    print(json.dumps(kw), flush=True)

def panic_of(call):
    try:
        call()
    except BaseException as e:
        return [type(e).__module__, type(e).__qualname__, isinstance(e, Exception)]
    return None

def chain(labels):
    # root -> labels[0] -> labels[1] -> ...; only the deepest node ends a term.
    n = len(labels) + 1
    payloads = [None] * n
    payloads[-1] = (1, [0], [1])
    return PrefixSearch.from_internal_data_v2(
        list(range(n)), [""] + list(labels), payloads, list(range(1, n)), [(7).to_bytes(4, "little")], 5)
"""


def run_child(body, timeout):
    code = PRELUDE + textwrap.dedent(body)
    try:
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"child timed out after {timeout} s; output so far: {e.stdout!r}")
    assert proc.returncode == 0, f"child failed with {proc.returncode}\nstdout: {proc.stdout[-2000:]}\nstderr: {proc.stderr[-2000:]}"
    return [json.loads(line) for line in proc.stdout.splitlines()]


def test_queries_longer_than_16_bit_distances():
    steps = run_child(
        """
        s = PrefixSearch.from_internal_data_v2(*build_arrays([("ab", 1, 1), ("a" * 70000, 3, 1)]))
        small = PrefixSearch.from_internal_data_v2(*build_arrays([("ab", 1, 1), ("b", 2, 1)]))
        long_a, long_b = "a" * 70000, "b" * 70000
        out(step="self", r=[(len(t), f, d) for t, f, d in s.fuzzy_match(long_a, 0)])
        out(step="one edit", r=[(len(t), f, d) for t, f, d in s.fuzzy_match(long_a[:-1] + "b", 1)])
        out(step="video", r=s.fuzzy_match_video(long_a, 1))
        out(step="far", r=small.fuzzy_match(long_b, 70000, None))
        out(step="far limited", r=small.fuzzy_match(long_b, 69999, 1))
        out(step="far video", r=small.fuzzy_match_video(long_b, 69999, None, True, 0.0))
        """,
        timeout=120,
    )
    by_step = {s["step"]: s["r"] for s in steps}
    assert by_step["self"] == [[70000, 1, 0]]
    assert by_step["one edit"] == [[70000, 1, 1]]
    # Distances above 65535 are exact, not wrapped.
    assert by_step["far"] == [["ab", 1, 69999], ["b", 1, 69999]]
    assert by_step["far limited"] == [["ab", 1, 69999]]
    assert by_step["video"] == [["3", 1.0]]
    # ab and b at distance 69999 < 70000 characters: tiny, equal weights.
    assert by_step["far video"] == [["1", 0.5], ["2", 0.5]]


def test_million_character_term_and_million_deep_chain():
    steps = run_child(
        """
        labels = "abc" * 333333 + "d"
        s = chain(labels)
        out(step="built")
        for d in (0, 1):
            r = s.fuzzy_match(labels, d)
            out(step=f"self {d}", r=[(t == labels, f, dist) for t, f, dist in r])
        r = s.fuzzy_match(labels[:-1] + "e", 1)
        out(step="one edit", r=[(t == labels, f, dist) for t, f, dist in r])
        out(step="video self", r=s.fuzzy_match_video(labels, 1))
        # One character against the whole chain, bound by the chain's depth.
        r = s.fuzzy_match("a", 1000000)
        out(step="deep", r=[(t == labels, f, dist) for t, f, dist in r])
        out(step="deep video", r=s.fuzzy_match_video("a", 1000000))
        out(step="deep video inner", r=s.fuzzy_match_video("a", 1000000, include_prefix_nodes=True))
        out(step="huge bound", r=len(s.fuzzy_match("a", 4294967295)))
        """,
        timeout=600,
    )
    by_step = {s["step"]: s.get("r") for s in steps}
    assert by_step["self 0"] == [[True, 1, 0]]
    assert by_step["self 1"] == [[True, 1, 0]]
    assert by_step["one edit"] == [[True, 1, 1]]
    assert by_step["video self"] == [["7", 1.0]]
    assert by_step["deep"] == [[True, 1, 999999]]
    # The leaf is at distance 999999 >= 1 character: no weight.
    assert by_step["deep video"] == []
    # With inner nodes, only node "a" (distance 0, weight 0.85) counts.
    assert by_step["deep video inner"] == [["7", 1.0]]
    assert by_step["huge bound"] == 1


@pytest.mark.parametrize(
    "arrays",
    [
        # node 1 ("a") is its own child
        ([0, 1], ["", "a"], [None, (1, [0], [1])], [1, 1]),
        # a -> b -> a -> b ...: node 2's child is its parent
        ([0, 1, 2], ["", "a", "b"], [None, (1, [0], [1]), (1, [0], [1])], [1, 2, 1]),
    ],
    ids=["self edge", "cycle"],
)
def test_cycles_stop_with_panic_and_leave_the_object_usable(arrays):
    steps = run_child(
        f"""
        s = PrefixSearch.from_internal_data_v2(*{arrays!r}, [(7).to_bytes(4, "little")], 5)
        out(step="match", r=panic_of(lambda: s.fuzzy_match("ab", 4294967295)))
        out(step="video", r=panic_of(lambda: s.fuzzy_match_video("ab", 4294967295)))
        out(step="video inner", r=panic_of(lambda: s.fuzzy_match_video("ab", 1000, include_prefix_nodes=True)))
        out(step="after", r=s.fuzzy_match("a", 0))
        out(step="limited", r=s.fuzzy_match("a", 4294967295, 1))
        """,
        timeout=120,
    )
    by_step = {s["step"]: s["r"] for s in steps}
    panic = ["pyo3_runtime", "PanicException", False]
    assert by_step["match"] == panic
    assert by_step["video"] == panic
    assert by_step["video inner"] == panic
    assert by_step["after"] == [["a", 1, 0]]
    # A limit reached before the walk loops ends it normally.
    assert by_step["limited"] == [["a", 1, 0]]


def test_empty_index():
    steps = run_child(
        """
        s = PrefixSearch.from_internal_data_v2([], [], [], [], [], 10)
        out(r=[s.fuzzy_match(""), s.fuzzy_match("abc", 4294967295), s.fuzzy_match("a", 1, 0),
               s.fuzzy_match_video("abc", 3), s.fuzzy_match_video("", 0, None, True, 0.0)])
        """,
        timeout=60,
    )
    assert steps == [{"r": [[], [], [], [], []]}]
