"""Only the main interpreter loads the module: a sub-interpreter, isolated or
legacy, is refused with ImportError whether it tries before or after the main
interpreter, and a refusal leaves nothing behind that would stop the main
interpreter from importing it. Each order runs in a fresh child process."""

import json
import re
import sys

import pytest

from conftest import run_child

CHILD = r"""
import json, sys
kind, order = sys.argv[1], sys.argv[2]
code = "import tessaloom._tessaloom"

def in_sub():  # "<error type>: <message>" of the import in a new sub-interpreter, or None
    try:
        import _interpreters as sub  # 3.13 and later
    except ImportError:
        import _xxsubinterpreters as sub  # 3.11 and 3.12
        try:
            sub.run_string(sub.create(isolated=kind == "isolated"), code)
        except sub.RunFailedError as e:  # "<class 'ImportError'>: ..."
            return str(e).split("'", 2)[1] + str(e).split(">", 1)[1]
        return None
    failure = sub.exec(sub.create(kind), code)
    return failure and f"{failure.type.__name__}: {failure.msg}"

def in_main():
    from tessaloom import PrefixSearch
    index = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [b"\7\0\0\0"], 5)
    return [index.fuzzy_match("a", 0), index.fuzzy_match_video("a", 0)]

steps = [in_sub, in_main, in_sub] if order == "sub first" else [in_main, in_sub, in_main]
print(json.dumps([step() for step in steps]))
"""

OURS = "ImportError: tessaloom._tessaloom only loads in the main interpreter, not in sub-interpreters"
# From 3.12, CPython itself refuses an isolated sub-interpreter a module of
# single-phase initialisation: on 3.12 once the module's code has run (so the
# module's own refusal comes first), on 3.13 before it runs, and on both
# before it runs when the module was already loaded in the process.
CPYTHON_ISOLATED = re.compile(r"ImportError: module (tessaloom\.)?_tessaloom does not support loading in subinterpreters")
ANSWER = [[["a", 1, 0]], [["7", 1.0]]]


@pytest.mark.parametrize("order", ["sub first", "main first"])
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_only_the_main_interpreter_loads_the_module(kind, order):
    (line,) = run_child(["-c", CHILD, kind, order], timeout=120)
    steps = json.loads(line)
    cpython_refuses = kind == "isolated" and sys.version_info >= (3, 12)

    def refused(step):
        return step == OURS or (cpython_refuses and isinstance(step, str) and CPYTHON_ISOLATED.fullmatch(step))

    if order == "sub first":
        assert refused(steps[0]) and steps[1] == ANSWER and refused(steps[2]), steps
        if kind == "legacy" or sys.version_info < (3, 13):
            assert steps[0] == OURS, steps
    else:
        assert steps[0] == ANSWER and refused(steps[1]) and steps[2] == ANSWER, steps
