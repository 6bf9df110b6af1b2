"""The binding surface: module and class frame, method table, text signatures
and the stub, argument binding and the conversion messages of every method."""

import ast
import importlib
import sys
import weakref
from pathlib import Path

import pytest

import tessaloom
import tessaloom._tessaloom as ext
from conftest import OUT_OF_RANGE, Idx, SubTypeError, raises_exactly
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
    with pytest.raises(TypeError, match="takes no arguments"):
        small_index.to_bytes(1)
    assert not hasattr(small_index, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(small_index)
    with pytest.raises(AttributeError):
        small_index.x = 1
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


F, B, M, V = (f"PrefixSearch.{m}()" for m in ("from_internal_data_v2", "from_bytes", "fuzzy_match", "fuzzy_match_video"))
BINDING = [
    ("from_internal_data_v2", (), {}, f"{F} missing 6 required positional arguments: 'node_shifts', "
     "'child_labels', 'payloads', 'child_transitions', 'video_index', and 'video_top_n'"),
    ("from_internal_data_v2", ([],) * 4, {}, f"{F} missing 2 required positional arguments: 'video_index' and 'video_top_n'"),
    ("from_internal_data_v2", ([],) * 4, {"video_index": []}, f"{F} missing 1 required positional argument: 'video_top_n'"),
    ("from_internal_data_v2", ([],) * 5 + (0, 1), {}, f"{F} takes 6 positional arguments but 7 were given"),
    ("from_internal_data_v2", ([],) * 5, {"video_top_n": 0, "x": 1}, f"{F} got an unexpected keyword argument 'x'"),
    ("from_internal_data_v2", ([],) * 5 + (0,), {"video_top_n": 0}, f"{F} got multiple values for argument 'video_top_n'"),
    ("from_bytes", (), {}, f"{B} missing 1 required positional argument: 'b'"),
    ("from_bytes", (b"", b""), {}, f"{B} takes 1 positional arguments but 2 were given"),
    ("fuzzy_match", ("a", 1, None, 5), {}, f"{M} takes from 1 to 3 positional arguments but 4 were given"),
    ("fuzzy_match", ("a",), {"term": "b"}, f"{M} got multiple values for argument 'term'"),
    ("fuzzy_match", (), {"max_dist": 2}, f"{M} missing 1 required positional argument: 'term'"),
    ("fuzzy_match", (5,), {"bad": 1}, f"{M} got an unexpected keyword argument 'bad'"),  # before conversion
    ("fuzzy_match_video", ("a", 1, None, None, None, 6), {}, f"{V} takes from 1 to 5 positional arguments but 6 were given"),
    ("fuzzy_match_video", ("a", 1), {"max_dist": 1}, f"{V} got multiple values for argument 'max_dist'"),
]


QUERY_CONVERSIONS = [  # (args, kwargs, exception, message or None for the interpreter's own)
    ((5,), {}, TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
    ((b"cat",), {}, TypeError, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
    ((None, None), {}, TypeError, "argument 'term': 'NoneType' object cannot be converted to 'PyString'"),
    (("\ud800",), {}, UnicodeEncodeError, None),
    (("a", None), {}, TypeError, "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
    (("a", 1.0), {}, TypeError, "argument 'max_dist': 'float' object cannot be interpreted as an integer"),
    (("a", -1), {}, OverflowError, OUT_OF_RANGE),
    (("a", 2**32), {}, OverflowError, OUT_OF_RANGE),
    (("a", 2**63 - 1), {}, OverflowError, OUT_OF_RANGE),
    (("a", 2**64), {}, OverflowError, None),
    (("a",), {"limit": "x"}, TypeError, "argument 'limit': 'str' object cannot be interpreted as an integer"),
    (("a",), {"limit": -1}, OverflowError, None),
    (("a",), {"limit": 2**64}, OverflowError, None),
    # Only a TypeError itself is re-raised with the parameter's name.
    (("a", Idx(TypeError("plain"))), {}, TypeError, "argument 'max_dist': plain"),
    (("a", Idx(SubTypeError("sub"))), {}, SubTypeError, "sub"),
    (("a", Idx(ValueError("val"))), {}, ValueError, "val"),
]
PYBOOL = "argument 'include_prefix_nodes': '{}' object cannot be converted to 'PyBool'"
CONVERSIONS = [(m, *row) for m in ("fuzzy_match", "fuzzy_match_video") for row in QUERY_CONVERSIONS] + [
    ("fuzzy_match_video", ("a",), {"include_prefix_nodes": 1}, TypeError, PYBOOL.format("int")),
    ("fuzzy_match_video", ("a",), {"include_prefix_nodes": "yes"}, TypeError, PYBOOL.format("str")),
    ("fuzzy_match_video", ("a",), {"min_score": "0.5"}, TypeError, "argument 'min_score': must be real number, not str"),
    ("fuzzy_match_video", ("a",), {"min_score": 10**400}, OverflowError, "int too large to convert to float"),
    # Parameter order decides which failure is reported.
    ("fuzzy_match_video", ("a",), {"min_score": "x", "include_prefix_nodes": 1}, TypeError, PYBOOL.format("int")),
    ("fuzzy_match_video", ("a",), {"min_score": "x", "limit": -1}, OverflowError, None),
] + [
    ("from_bytes", (value,), {}, TypeError, f"argument 'b': '{type(value).__name__}' object cannot be converted to 'PyBytes'")
    for value in (bytearray(b"\1\0"), memoryview(b"\1\0"), "abc", None, [1])
]


@pytest.mark.parametrize("method, args, kwargs, exc, message",
                         [(m, a, k, TypeError, s) for m, a, k, s in BINDING] + CONVERSIONS)
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
