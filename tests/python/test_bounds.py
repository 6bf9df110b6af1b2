"""Hostile arrays and extreme but valid input: a walk's work is bounded by
the size of the index, and a query's working memory (distance rows and
reported text) by 1 GiB, past which it raises MemoryError before allocating
and leaves the index usable; memory running out while building raises
MemoryError and leaves nothing behind. In a child process under an
address-space limit and a time limit, whose crash or hang fails the test:
these are safety caps, not timings."""

import json
from pathlib import Path

from conftest import run_child

CHILD = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n" + r"""
import json, resource
from shapes import ladder
from tessaloom import PrefixSearch

def outcome(call):
    try:
        return call()
    except BaseException as e:
        return ["raised", type(e).__qualname__, str(e) if isinstance(e, MemoryError) else None]

def step(name, call):
    print(json.dumps([name, outcome(call)]), flush=True)

def limit_memory(extra):
    vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (vm + extra, resource.getrlimit(resource.RLIMIT_AS)[1]))

VIDEO = [b"\7\0\0\0"]
ONE = (1, [0], [1])

# Memory running out while building, while the process is small; the next
# build works.
ids = list(range(3_000_000))
limit_memory(16 * 2**20)
step("memory", lambda: PrefixSearch.from_internal_data_v2([0], [""], [(1, ids, ids)], [], [], 1))
limit_memory(3 * 2**30)
del ids
step("after memory", lambda: PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, ONE], [1], VIDEO, 5)
     .fuzzy_match_video("a", 0))

def chain(term, every_node_a_term=False):
    n = len(term)
    payloads = [None] + [ONE if every_node_a_term or i == n else None for i in range(1, n + 1)]
    return PrefixSearch.from_internal_data_v2(list(range(n)) + [n], [""] + list(term), payloads,
                                              list(range(1, n + 1)), VIDEO, 1)

def caterpillar(term):  # the chain, and a leaf "b" beside each of its nodes, after it
    n = len(term)
    shifts = [2 * i for i in range(n)] + [2 * n] * (n + 1)
    edges = [e for i in range(n) for e in (i + 1, n + 1 + i)]
    payloads = [None] * n + [ONE] * (n + 1)
    return PrefixSearch.from_internal_data_v2(shifts, [""] + list(term) + ["b"] * n, payloads, edges, VIDEO, 1)

index = PrefixSearch.from_internal_data_v2(*ladder(1500))
step("ladder", lambda: [outcome(lambda: index.fuzzy_match("a" * 1500, 1)),
                        outcome(lambda: index.fuzzy_match_video("a" * 1500, 1)), index.fuzzy_match("a", 1)])
index = caterpillar("a" * 40_000)
step("rows", lambda: [outcome(lambda: index.fuzzy_match("a" * 40_000, 40_000)), index.fuzzy_match("b", 0)])
index = chain("a" * 50_000, every_node_a_term=True)
step("text", lambda: [outcome(lambda: index.fuzzy_match("", 50_000)), index.fuzzy_match("", 1)])
"""

PANIC = ["raised", "PanicException", None]
TOO_LARGE = ["raised", "MemoryError", "the query needs more than 1 GiB of working memory"]
EXPECTED = {
    "memory": ["raised", "MemoryError", ""],
    "after memory": [["7", 1.0]],
    "ladder": [PANIC, PANIC, []],
    "rows": [TOO_LARGE, [["b", 1, 0]]],
    "text": [TOO_LARGE, [["a", 1, 1]]],
}


def test_hostile_arrays_and_extreme_queries_stay_within_bounds():
    steps = dict(json.loads(line) for line in run_child(["-c", CHILD], timeout=300))
    assert steps == EXPECTED
