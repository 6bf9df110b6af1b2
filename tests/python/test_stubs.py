"""The type stub and the typing marker ship with the package, and the stub's
signatures match the real methods."""

from __future__ import annotations

import ast
import inspect
from pathlib import Path

import pytest

import tessaloom
from tessaloom import PrefixSearch

PACKAGE = Path(tessaloom.__file__).resolve().parent
METHODS = ["from_internal_data_v2", "to_bytes", "from_bytes", "fuzzy_match", "fuzzy_match_video"]


def stub_class() -> ast.ClassDef:
    tree = ast.parse((PACKAGE / "_tessaloom.pyi").read_text(encoding="utf-8"))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PrefixSearch"]
    return cls


def test_typing_files_are_installed():
    assert (PACKAGE / "py.typed").is_file()
    assert (PACKAGE / "_tessaloom.pyi").is_file()


def test_stub_declares_exactly_the_five_methods():
    names = [n.name for n in stub_class().body if isinstance(n, ast.FunctionDef)]
    assert names == METHODS


@pytest.mark.parametrize("name", METHODS)
def test_stub_signature_matches_the_method(name):
    (fn,) = [n for n in stub_class().body if isinstance(n, ast.FunctionDef) and n.name == name]
    is_static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)
    assert is_static == isinstance(PrefixSearch.__dict__[name], staticmethod)

    args = fn.args
    assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None and args.kwarg is None
    params = [a.arg for a in args.args]
    if not is_static:
        assert params[0] == "self"
        params = params[1:]
    defaults = [ast.literal_eval(d) for d in args.defaults]
    stub = [(p, inspect.Parameter.empty) for p in params[: len(params) - len(defaults)]]
    stub += list(zip(params[len(params) - len(defaults) :], defaults))

    assert stub == text_signature_params(getattr(PrefixSearch, name).__text_signature__)


def text_signature_params(text: str) -> list[tuple[str, object]]:
    """(name, default) pairs of a text signature such as "(a, b=1)";
    "$self" is left out and a missing default is inspect.Parameter.empty."""
    assert text.startswith("(") and text.endswith(")")
    out: list[tuple[str, object]] = []
    for part in filter(None, (p.strip() for p in text[1:-1].split(","))):
        if part == "$self":
            continue
        name, eq, default = part.partition("=")
        out.append((name, ast.literal_eval(default) if eq else inspect.Parameter.empty))
    return out
