"""The binding surface: module and class frame, method table, text signatures
and the stub, argument binding and the conversion messages of every method."""

import ast
import importlib
import sys
from pathlib import Path

import pytest
from conftest import OUT_OF_RANGE, Idx, SubTypeError, raises_exactly

import tessaloom
import tessaloom._tessaloom as ext
from tessaloom import PrefixSearch

SIGNATURES = {
    "from_internal_data_v2": "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)",
    "to_bytes": "($self)",
    "from_bytes": "(b)",
    "fuzzy_match": "(term, max_dist=1, limit=None)",
    "fuzzy_match_video": "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)",
}


def test_module_and_class_frame(small_index):
    assert ext.__all__ == ["PrefixSearch"] and ext.__doc__ == ""
    assert {k for k in vars(ext) if not k.startswith("__")} == {"PrefixSearch"}
    cls = PrefixSearch
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__, cls.__bases__) == (
        "PrefixSearch", "PrefixSearch", "builtins", None, (object,))
    assert [k for k in vars(cls) if not k.startswith("__")] == list(SIGNATURES)
    raises_exactly(TypeError, "No constructor defined for PrefixSearch", PrefixSearch)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (PrefixSearch,), {})
    del sys.modules["tessaloom._tessaloom"]
    again = importlib.import_module("tessaloom._tessaloom")
    assert again is ext and again.PrefixSearch is PrefixSearch and again.__all__ == ["PrefixSearch"]


def test_text_signatures_and_the_stub():
    package = Path(tessaloom.__file__).resolve().parent
    assert (package / "py.typed").is_file()
    tree = ast.parse((package / "_tessaloom.pyi").read_text(encoding="utf-8"))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PrefixSearch"]
    stub = {f.name: f for f in cls.body if isinstance(f, ast.FunctionDef)}
    assert list(stub) == list(SIGNATURES)
    for name, signature in SIGNATURES.items():
        method, fn = getattr(PrefixSearch, name), stub[name]
        assert method.__text_signature__ == signature and method.__doc__ is None
        static = isinstance(PrefixSearch.__dict__[name], staticmethod)
        assert static == (name in ("from_internal_data_v2", "from_bytes"))
        assert static == any(getattr(d, "id", None) == "staticmethod" for d in fn.decorator_list)
        a = fn.args
        assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg)
        defaults = [""] * (len(a.args) - len(a.defaults)) + ["=" + ast.unparse(d) for d in a.defaults]
        params = [p.arg + d for p, d in zip(a.args, defaults)]
        assert static or params.pop(0) == "self"
        assert "(" + ", ".join(params) + ")" == signature.replace("$self", "")


METHODS = ("from_internal_data_v2", "from_bytes", "fuzzy_match", "fuzzy_match_video")
F, B, M, V = (f"PrefixSearch.{m}()" for m in METHODS)
PYBOOL = "argument 'include_prefix_nodes': '{}' object cannot be converted to 'PyBool'"
# One binder and one set of converters serve every method: each message form
# once, spread over the methods. (method, args, kwargs, exception, message or
# None for the interpreter's own)
ERRORS = [
    # The binder, in Python's words.
    ("from_internal_data_v2", (), {}, TypeError, f"{F} missing 6 required positional arguments: 'node_shifts', "
     "'child_labels', 'payloads', 'child_transitions', 'video_index', and 'video_top_n'"),
    ("from_internal_data_v2", ([],) * 4, {}, TypeError,
     f"{F} missing 2 required positional arguments: 'video_index' and 'video_top_n'"),
    ("fuzzy_match", (), {"max_dist": 2}, TypeError, f"{M} missing 1 required positional argument: 'term'"),
    ("from_internal_data_v2", ([],) * 5 + (0, 1), {}, TypeError, f"{F} takes 6 positional arguments but 7 were given"),
    ("fuzzy_match", ("a", 1, None, 5), {}, TypeError, f"{M} takes from 1 to 3 positional arguments but 4 were given"),
    ("fuzzy_match", (5,), {"bad": 1}, TypeError, f"{M} got an unexpected keyword argument 'bad'"),  # before conversion
    ("fuzzy_match_video", ("a", 1), {"max_dist": 1}, TypeError, f"{V} got multiple values for argument 'max_dist'"),
    # Conversions, named by parameter.
    ("fuzzy_match", (5,), {}, TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
    ("fuzzy_match_video", ("\ud800",), {}, UnicodeEncodeError, None),
    ("fuzzy_match", ("a", None), {}, TypeError,
     "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
    ("fuzzy_match", ("a", 2**32), {}, OverflowError, OUT_OF_RANGE),
    ("fuzzy_match_video", ("a",), {"limit": -1}, OverflowError, None),
    ("fuzzy_match_video", ("a",), {"include_prefix_nodes": 1}, TypeError, PYBOOL.format("int")),
    ("fuzzy_match_video", ("a",), {"min_score": "0.5"}, TypeError,
     "argument 'min_score': must be real number, not str"),
    ("from_bytes", (bytearray(b"\1\0"),), {}, TypeError,
     "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'"),
    # Only a TypeError itself is re-raised with the parameter's name (and its cause, below).
    ("fuzzy_match_video", ("a", Idx(SubTypeError("sub"))), {}, SubTypeError, "sub"),
]


@pytest.mark.parametrize("method, args, kwargs, exc, message", ERRORS)
def test_binding_and_conversion_errors(small_index, method, args, kwargs, exc, message):
    raises_exactly(exc, message, getattr(small_index, method), *args, **kwargs)


def test_rewrapped_type_error_keeps_its_cause(small_index):
    err = TypeError("outer")
    err.__cause__ = cause = KeyError("root")
    e = raises_exactly(TypeError, "argument 'max_dist': outer", small_index.fuzzy_match, "a", Idx(err))
    assert e.__cause__ is cause


def test_numpy_bool_scalar_is_a_bool(small_index):
    np = pytest.importorskip("numpy")
    video = small_index.fuzzy_match_video
    assert video("ca", 0, None, np.bool_(False)) == [] != video("ca", 0)  # "ca" is an inner node
    assert video("ca", 0, None, np.True_) == video("ca", 0, None, True) == video("ca", 0)
    raises_exactly(TypeError, PYBOOL.format("int64"), video, "ca", 0, None, np.int64(1))
