"""Cases that could crash or hang the interpreter, in one child process whose
crash or hang fails the test. The child prints one JSON line per step."""

import json

from conftest import run_child

CHILD = r"""
import json, resource
from tessaloom import PrefixSearch

def outcome(call):
    try:
        return call()
    except BaseException as e:
        return ["raised", type(e).__module__, type(e).__qualname__, isinstance(e, Exception)]

def step(name, call):
    print(json.dumps([name, outcome(call)]), flush=True)

def build(*arrays):
    return PrefixSearch.from_internal_data_v2(*arrays, [b"\7\0\0\0"], 5)

# Memory exhaustion first, while the process is small; the next build works.
ids = list(range(3_000_000))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (vm + 16 * 2**20, hard))
step("memory", lambda: PrefixSearch.from_internal_data_v2([0], [""], [(1, ids, ids)], [], [], 1))
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
del ids
step("after memory", lambda: build([0, 1], ["", "a"], [None, (1, [0], [1])], [1]).fuzzy_match_video("a", 0))

labels = "abc" * 333333 + "d"
n = len(labels) + 1
chain = build(list(range(n)), [""] + list(labels), [None] * (n - 1) + [(1, [0], [1])], list(range(1, n)))
same = lambda r: [(t == labels, f, d) for t, f, d in r]
step("1M", lambda: [same(chain.fuzzy_match(labels, 0)), same(chain.fuzzy_match(labels, 1)),
                    same(chain.fuzzy_match(labels[:-1] + "e", 1)), chain.fuzzy_match_video(labels, 1)])
step("deep", lambda: [same(chain.fuzzy_match("a", 1000000)), chain.fuzzy_match_video("a", 1000000),
                      chain.fuzzy_match_video("a", 1000000, include_prefix_nodes=True),
                      len(chain.fuzzy_match("a", 4294967295))])

"""

EXPECTED = {
    "memory": ["raised", "builtins", "MemoryError", True],
    "after memory": [["7", 1.0]],
    "1M": [[[True, 1, 0]], [[True, 1, 0]], [[True, 1, 1]], [["7", 1.0]]],
    # The leaf at distance 999999 >= 1 character weighs nothing; with inner
    # nodes, node "a" at distance 0 counts.
    "deep": [[[True, 1, 999999]], [], [["7", 1.0]], 1],
}


def test_risky_cases_in_a_child_process():
    steps = dict(json.loads(line) for line in run_child(["-c", CHILD], timeout=300))
    assert steps == EXPECTED
