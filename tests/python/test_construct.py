"""from_internal_data_v2: argument conversion, the checks in their order, and
the exact message and exception type of each refusal."""

import pytest

from tessaloom import PrefixSearch, build_arrays

U16 = bytes(range(16))


def build(node_shifts=(0,), child_labels=("",), payloads=(None,), child_transitions=(), video_index=(), top_n=10):
    return PrefixSearch.from_internal_data_v2(
        list(node_shifts), list(child_labels), list(payloads), list(child_transitions), list(video_index), top_n
    )


class Index:
    """An object with __index__, accepted wherever an integer is."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# (description, keyword overrides, exception type, exact message)
REFUSALS = [
    ("node_shifts as str", dict(node_shifts="0"), TypeError, "argument 'node_shifts': Can't extract `str` to `Vec`"),
    ("child_labels as str", dict(child_labels=""), TypeError, "argument 'child_labels': Can't extract `str` to `Vec`"),
    (
        "payloads not a sequence",
        dict(payloads={None: 1}),
        TypeError,
        "argument 'payloads': 'dict' object cannot be converted to 'Sequence'",
    ),
    (
        "set is not a sequence",
        dict(child_transitions={1}),
        TypeError,
        "argument 'child_transitions': 'set' object cannot be converted to 'Sequence'",
    ),
    (
        "generator is not a sequence",
        dict(node_shifts=(x for x in [0])),
        TypeError,
        "argument 'node_shifts': 'generator' object cannot be converted to 'Sequence'",
    ),
    (
        "label not a str",
        dict(child_labels=[b"a"]),
        TypeError,
        "argument 'child_labels': 'bytes' object cannot be converted to 'PyString'",
    ),
    (
        "video_index item a str",
        dict(video_index=["abcd"]),
        TypeError,
        "argument 'video_index': Can't extract `str` to `Vec`",
    ),
    (
        "video_index item not a sequence",
        dict(video_index=[5]),
        TypeError,
        "argument 'video_index': 'int' object cannot be converted to 'Sequence'",
    ),
    (
        "float in node_shifts",
        dict(node_shifts=[0.0]),
        TypeError,
        "argument 'node_shifts': 'float' object cannot be interpreted as an integer",
    ),
    ("negative shift", dict(node_shifts=[-1]), OverflowError, "out of range integral type conversion attempted"),
    ("shift above u32", dict(node_shifts=[2**32]), OverflowError, "out of range integral type conversion attempted"),
    ("shift above C long", dict(node_shifts=[2**64]), OverflowError, "Python int too large to convert to C long"),
    ("byte above 255", dict(video_index=[[256, 0, 0, 0]]), OverflowError, "out of range integral type conversion attempted"),
    ("negative top_n", dict(top_n=-1), OverflowError, "can't convert negative int to unsigned"),
    (
        "float top_n",
        dict(top_n=1.5),
        TypeError,
        "argument 'video_top_n': 'float' object cannot be interpreted as an integer",
    ),
    ("shifts longer than labels", dict(node_shifts=[0, 0]), ValueError, "node_shifts len 2 != child_labels len 1"),
    ("payloads shorter", dict(payloads=[]), ValueError, "payloads len 0 != child_labels len 1"),
    (
        "both lengths wrong: shifts first",
        dict(node_shifts=[0, 0], payloads=[]),
        ValueError,
        "node_shifts len 2 != child_labels len 1",
    ),
    (
        "no nodes, one edge",
        dict(node_shifts=[], child_labels=[], payloads=[], child_transitions=[0]),
        ValueError,
        "child_transitions[0] = 0 out of range [0..0)",
    ),
    (
        "first bad edge reported, before a bad video_index",
        dict(
            node_shifts=[0] * 8, child_labels=[""] * 8, payloads=[None] * 8, child_transitions=[0, 7, 9, 10], video_index=[b"x"]
        ),
        ValueError,
        "child_transitions[2] = 9 out of range [0..8)",
    ),
    ("payload as a list", dict(payloads=[[1, [2], [3]]]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
    ("payload of two items", dict(payloads=[(1, [])]), ValueError, "Payload tuple must have 3 elements"),
    ("payload lists differ", dict(payloads=[(1, [2, 3], [4])]), ValueError, "video_ids and video_counts length mismatch"),
    ("payload ids as str", dict(payloads=[(1, "23", [4, 5])]), TypeError, "Can't extract `str` to `Vec`"),
    ("payload counts as str", dict(payloads=[(1, [2], "4")]), TypeError, "Can't extract `str` to `Vec`"),
    ("payload ids not a sequence", dict(payloads=[(1, 5, [4])]), TypeError, "'int' object cannot be converted to 'Sequence'"),
    ("payload negative total", dict(payloads=[(-1, [], [])]), OverflowError, "out of range integral type conversion attempted"),
    ("payload float count", dict(payloads=[(1, [1], [1.0])]), TypeError, "'float' object cannot be interpreted as an integer"),
    (
        "bad payload before bad video_index",
        dict(payloads=[[1]], video_index=[b"x"]),
        TypeError,
        "'list' object cannot be converted to 'PyTuple'",
    ),
    (
        "one 8-byte id",
        dict(video_index=[b"12345678"]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
    ),
    (
        "16 and 4 bytes mixed",
        dict(video_index=[U16, b"1234"]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
    ),
]


@pytest.mark.parametrize("desc, overrides, exc, message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals(desc, overrides, exc, message):
    kwargs = dict(
        node_shifts=[0], child_labels=[""], payloads=[None], child_transitions=[], video_index=[], top_n=10
    )
    kwargs.update(overrides)
    args = [kwargs[k] for k in ("node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "top_n")]
    with pytest.raises(exc) as e:
        PrefixSearch.from_internal_data_v2(*args)
    assert type(e.value) is exc
    assert str(e.value) == message


def test_lone_surrogate_label_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        build(child_labels=["\ud800"])
    with pytest.raises(UnicodeEncodeError):
        build(child_labels=["a\udfff"])


def test_conversion_stops_at_the_first_bad_parameter():
    # node_shifts is converted (and refused) before child_labels is looked at.
    with pytest.raises(TypeError, match="argument 'node_shifts'"):
        PrefixSearch.from_internal_data_v2("x", "y", [], [], [], 0)


def test_type_error_subclass_passes_unwrapped():
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise MyTypeError("custom")

    with pytest.raises(MyTypeError) as e:
        build(node_shifts=[Bad()])
    assert str(e.value) == "custom"


def test_type_error_cause_is_kept():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as k:
                raise TypeError("outer") from k

    with pytest.raises(TypeError) as e:
        build(node_shifts=[Bad()])
    assert str(e.value) == "argument 'node_shifts': outer"
    assert isinstance(e.value.__cause__, KeyError)


@pytest.mark.parametrize(
    "arrays",
    [
        ([], [], [], [], [], 0),
        ([0], [""], [None], [], [], 0),
        ([0, 1], ["", "abc"], [None, (0, [], [])], [1], [], 2**64 - 1),
        # __index__ objects, True as 1, tuples and ranges as sequences
        ((Index(0), True), ("", "b"), (None, (True, (0,), range(3, 4))), (1,), ([1, 0, 0, 0],), Index(3)),
        # A tuple subclass is a payload tuple; a list of small ints an id.
        ([0, 1], ["", "é"], [None, type("P", (tuple,), {})((5, [0], [5]))], [1], [list(U16)], 1),
    ],
)
def test_accepted_shapes(arrays):
    assert type(PrefixSearch.from_internal_data_v2(*arrays)) is PrefixSearch


def test_bad_arrays_leave_the_arguments_unchanged():
    arrays = build_arrays([("ab", 1, 1), ("b", 2, 2)])
    before = [list(a) if isinstance(a, list) else a for a in arrays]
    bad = list(arrays)
    bad[4] = [b"123"]
    with pytest.raises(ValueError):
        PrefixSearch.from_internal_data_v2(*bad)
    assert [list(a) if isinstance(a, list) else a for a in arrays] == before


def test_sequence_mutated_during_conversion_is_safe():
    shifts = [0, 0, 0]

    class Shrink:
        def __index__(self):
            shifts.clear()
            return 0

    shifts[0] = Shrink()
    with pytest.raises(ValueError, match="node_shifts len 1 != child_labels len 3"):
        PrefixSearch.from_internal_data_v2(shifts, ["", "a", "b"], [None] * 3, [], [], 1)


def test_broken_edge_range_is_an_internal_fault():
    # A shift past the edge count is not checked by construction; propagation
    # meets it and reports an internal fault instead of reading past the end.
    with pytest.raises(BaseException) as e:
        build(node_shifts=[0, 5], child_labels=["", "a"], payloads=[None, (1, [0], [1])], child_transitions=[1])
    assert type(e.value).__qualname__ == "PanicException"
    assert type(e.value).__module__ == "pyo3_runtime"
    assert not isinstance(e.value, Exception)


class LyingSequence:
    """A sequence whose reported length is absurd; iteration gives 1 item."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i == 0:
            return self.item
        raise IndexError(i)


def test_reported_length_only_sizes_a_reservation():
    s = PrefixSearch.from_internal_data_v2(
        LyingSequence(0), LyingSequence(""), LyingSequence(None), [], [LyingSequence(1)] * 0, 1
    )
    assert type(s) is PrefixSearch


def test_memory_exhaustion_raises_memory_error(tmp_path):
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent(
        """
        import resource
        from tessaloom import PrefixSearch
        n = 3_000_000
        ids = list(range(n))
        payload = (1, ids, ids)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * 4096
        resource.setrlimit(resource.RLIMIT_AS, (vm + 16 * 2**20, hard))
        try:
            PrefixSearch.from_internal_data_v2([0], [""], [payload], [], [], 1)
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        s = PrefixSearch.from_internal_data_v2([0], [""], [(1, [1], [1])], [], [], 1)
        print("usable", type(s).__name__)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["MemoryError", "usable", "PrefixSearch"]
