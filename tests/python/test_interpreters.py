"""Only the main interpreter loads the package's extension modules: a
sub-interpreter, isolated or legacy, is refused with ImportError whether it
tries before or after the main interpreter, and a refusal leaves nothing
behind that would stop the main interpreter from importing it. Each order
runs in a fresh child process. The second module is loaded from its file,
so that the package (which imports both) does not answer for it."""

import json
import re
import sys

import pytest
from conftest import run_child

CHILD = r"""
import glob, importlib.util, json, os, sys
kind, order, module = sys.argv[1], sys.argv[2], sys.argv[3]
if module == "_tessaloom":
    code = "import tessaloom._tessaloom"
else:
    (folder,) = importlib.util.find_spec("tessaloom").submodule_search_locations
    (path,) = glob.glob(os.path.join(folder, module + ".*.so"))
    code = (f"import importlib.util as u; s = u.spec_from_file_location('tessaloom.{module}', {path!r}); "
            "u.module_from_spec(s)")

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
    from tessaloom import PrefixSearch, build_index
    if module == "_tessaloom":
        index = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [b"\7\0\0\0"], 5)
    else:
        index = build_index([("a", 7, 1)], 5)
    return [index.fuzzy_match("a", 0), index.fuzzy_match_video("a", 0)]

steps = [in_sub, in_main, in_sub] if order == "sub first" else [in_main, in_sub, in_main]
print(json.dumps([step() for step in steps]))
"""

OURS = "ImportError: tessaloom.{} only loads in the main interpreter, not in sub-interpreters"
# From 3.12, CPython itself refuses an isolated sub-interpreter a module of
# single-phase initialisation: on 3.12 once the module's code has run (so the
# module's own refusal comes first), on 3.13 before it runs, and on both
# before it runs when the module was already loaded in the process.
CPYTHON_ISOLATED = r"ImportError: module (tessaloom\.)?{} does not support loading in subinterpreters"
ANSWER = [[["a", 1, 0]], [["7", 1.0]]]


@pytest.mark.parametrize("order", ["sub first", "main first"])
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
@pytest.mark.parametrize("module", ["_tessaloom", "_native"])
def test_only_the_main_interpreter_loads_the_module(module, kind, order):
    (line,) = run_child(["-c", CHILD, kind, order, module], timeout=120)
    steps = json.loads(line)
    cpython_refuses = kind == "isolated" and sys.version_info >= (3, 12)
    ours = OURS.format(module)

    def refused(step):
        return step == ours or (cpython_refuses and isinstance(step, str)
                                and re.fullmatch(CPYTHON_ISOLATED.format(module), step))

    if order == "sub first":
        assert refused(steps[0]) and steps[1] == ANSWER and refused(steps[2]), steps
        if kind == "legacy" or sys.version_info < (3, 13):
            assert steps[0] == ours, steps
    else:
        assert steps[0] == ANSWER and refused(steps[1]) and steps[2] == ANSWER, steps
