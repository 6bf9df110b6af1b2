"""The module and class frame: names, flags, signatures, argument binding."""

import importlib
import sys

import pytest

import tessaloom._tessaloom as ext
from tessaloom import PrefixSearch


def test_module_exports_only_the_class():
    assert ext.__all__ == ["PrefixSearch"]
    assert ext.__doc__ == ""
    own = {k for k in vars(ext) if not k.startswith("__")}
    assert own == {"PrefixSearch"}


def test_class_names_and_flags():
    assert PrefixSearch.__name__ == "PrefixSearch"
    assert PrefixSearch.__qualname__ == "PrefixSearch"
    assert PrefixSearch.__module__ == "builtins"
    assert PrefixSearch.__doc__ is None
    assert PrefixSearch.__bases__ == (object,)
    with pytest.raises(TypeError) as e:
        PrefixSearch()
    assert str(e.value) == "No constructor defined for PrefixSearch"
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (PrefixSearch,), {})


def test_instances_have_no_dict_or_weakref(small_index):
    import weakref

    assert not hasattr(small_index, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(small_index)
    with pytest.raises(AttributeError):
        small_index.x = 1


@pytest.mark.parametrize(
    "method, signature",
    [
        (
            "from_internal_data_v2",
            "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)",
        ),
        ("to_bytes", "($self)"),
        ("from_bytes", "(b)"),
        ("fuzzy_match", "(term, max_dist=1, limit=None)"),
        (
            "fuzzy_match_video",
            "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)",
        ),
    ],
)
def test_text_signatures(method, signature):
    fn = getattr(PrefixSearch, method)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None


def test_method_table_order():
    names = [k for k in vars(PrefixSearch) if not k.startswith("__")]
    assert names == ["from_internal_data_v2", "to_bytes", "from_bytes", "fuzzy_match", "fuzzy_match_video"]


def test_reimport_gives_the_same_objects():
    cls = ext.PrefixSearch
    del sys.modules["tessaloom._tessaloom"]
    again = importlib.import_module("tessaloom._tessaloom")
    assert again is ext
    assert again.PrefixSearch is cls
    assert again.__all__ == ["PrefixSearch"]


B = "PrefixSearch.from_internal_data_v2()"


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: PrefixSearch.from_internal_data_v2(),
            f"{B} missing 6 required positional arguments: 'node_shifts', 'child_labels', "
            "'payloads', 'child_transitions', 'video_index', and 'video_top_n'",
        ),
        (
            lambda: PrefixSearch.from_internal_data_v2([], [], [], []),
            f"{B} missing 2 required positional arguments: 'video_index' and 'video_top_n'",
        ),
        (
            lambda: PrefixSearch.from_internal_data_v2([], [], [], [], [], 0, 1),
            f"{B} takes 6 positional arguments but 7 were given",
        ),
        (
            lambda: PrefixSearch.from_internal_data_v2([], [], [], [], [], video_top_n=0, x=1),
            f"{B} got an unexpected keyword argument 'x'",
        ),
        (
            lambda: PrefixSearch.from_internal_data_v2([], [], [], [], [], 0, video_top_n=0),
            f"{B} got multiple values for argument 'video_top_n'",
        ),
        (
            lambda: PrefixSearch.from_internal_data_v2([], [], [], [], video_index=[]),
            f"{B} missing 1 required positional argument: 'video_top_n'",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keyword_binding_works_for_every_parameter():
    s = PrefixSearch.from_internal_data_v2(
        video_top_n=0, video_index=[], child_transitions=[], payloads=[None], child_labels=[""], node_shifts=[0]
    )
    assert isinstance(s, PrefixSearch)


def test_static_methods_work_on_instances(small_index):
    s = small_index.from_internal_data_v2([0], [""], [None], [], [], 1)
    assert type(s) is PrefixSearch


def test_second_interpreter_is_refused():
    import subprocess
    import textwrap

    code = textwrap.dedent(
        """
        import tessaloom._tessaloom
        try:
            import _xxsubinterpreters as sub
            interp = sub.create(isolated=False)
        except Exception:
            print("SKIP")
            raise SystemExit
        try:
            sub.run_string(interp, "import tessaloom._tessaloom")
        except Exception as e:
            print(str(e).split(":")[0])
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    if out.stdout.strip() == "SKIP":
        pytest.skip("no legacy sub-interpreters on this Python")
    assert out.stdout.strip() == "<class 'ImportError'>"


def test_panic_exception_is_not_an_exception():
    # An edge range past the edge count: propagation reports an internal fault.
    caught = None
    try:
        try:
            PrefixSearch.from_internal_data_v2([0, 5], ["", "a"], [None, (1, [0], [1])], [1], [], 1)
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as e:
        caught = e
    assert type(caught).__name__ == "PanicException"
    assert type(caught).__bases__ == (BaseException,)
    assert len(caught.args) == 1 and isinstance(caught.args[0], str)
