"""from_internal_data_v2: conversion, the checks in their order with their
exact messages, internal faults, and the package's array builder."""


import pytest
from conftest import OUT_OF_RANGE, Idx, SubTypeError, raises_exactly

import tessaloom
import tessaloom._tessaloom
from tessaloom import PrefixSearch, build_arrays

U16 = bytes(range(16))
NOT_A_VEC = "Can't extract `str` to `Vec`"


# (keyword overrides of a valid one-node index, exception, exact message).
# The checks and their order are the construction fuzzer's; here, each form
# in which conversion and the checks reach Python, once.
REFUSALS = [
    # Conversion, parameter by parameter: the first bad one is reported.
    (dict(node_shifts="0", child_labels="y"), TypeError, f"argument 'node_shifts': {NOT_A_VEC}"),
    (dict(payloads={None: 1}), TypeError, "argument 'payloads': 'dict' object cannot be converted to 'Sequence'"),
    (dict(child_labels=[b"a"]), TypeError, "argument 'child_labels': 'bytes' object cannot be converted to 'PyString'"),
    (dict(child_labels=["a\udfff"]), UnicodeEncodeError, None),
    (dict(node_shifts=[0.0]), TypeError, "argument 'node_shifts': 'float' object cannot be interpreted as an integer"),
    (dict(node_shifts=[Idx(SubTypeError("sub"))]), SubTypeError, "sub"),
    (dict(node_shifts=[2**32]), OverflowError, OUT_OF_RANGE),
    (dict(node_shifts=[2**64]), OverflowError, "Python int too large to convert to C long"),
    (dict(video_index=[[256, 0, 0, 0]]), OverflowError, OUT_OF_RANGE),
    (dict(video_top_n=-1), OverflowError, "can't convert negative int to unsigned"),
    # The checks: lengths, then edges, then payloads, then ids.
    (dict(node_shifts=[0] * 8, child_labels=[""] * 8, payloads=[[1]] * 8, child_transitions=[0, 7, 9, 10]), ValueError,
     "child_transitions[2] = 9 out of range [0..8)"),
    (dict(payloads=[[1, [2], [3]]], video_index=[b"x"]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
    (dict(payloads=[(1, [])]), ValueError, "Payload tuple must have 3 elements"),
    (dict(payloads=[(1, "23", [4, 5])]), TypeError, NOT_A_VEC),  # inside a payload: no parameter named
]


@pytest.mark.parametrize("overrides, exc, message", REFUSALS)
def test_refusals(overrides, exc, message):
    args = dict(node_shifts=[0], child_labels=[""], payloads=[None], child_transitions=[], video_index=[],
                video_top_n=10)
    args.update(overrides)  # passed by keyword in reverse: conversion still follows parameter order
    raises_exactly(exc, message, PrefixSearch.from_internal_data_v2, **dict(reversed(args.items())))


class LyingLength:
    """A one-item sequence whose reported length is absurd: it may only size a reservation."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        return self.item


@pytest.mark.parametrize("arrays", [
    ([], [], [], [], [], 0),
    ([0, 1], ["", "abc"], [None, (0, [], [])], [1], [], 2**64 - 1),
    # __index__ objects, True as 1, tuples and ranges as sequences, byte lists as ids
    ((Idx(0), True), ("", "b"), (None, (True, (0,), range(3, 4))), (1,), ([1, 0, 0, 0],), Idx(3)),
    ([0, 1], ["", "é"], [None, type("P", (tuple,), {})((5, [0], [5]))], [1], [list(U16)], 1),
    (LyingLength(0), LyingLength(""), LyingLength(None), [], [], 1),
])
def test_accepted_shapes(arrays):
    assert type(PrefixSearch.from_internal_data_v2(*arrays)) is PrefixSearch


def test_list_emptied_during_conversion_is_read_safely():
    shifts = [None, 0, 0]
    shifts[0] = type("Shrink", (), {"__index__": lambda self: shifts.clear() or 0})()
    raises_exactly(ValueError, "node_shifts len 1 != child_labels len 3",
                   PrefixSearch.from_internal_data_v2, shifts, ["", "a", "b"], [None] * 3, [], [], 1)


def test_internal_fault_is_a_panic_exception():
    # An edge range past the edge count is not checked; propagation meets it.
    with pytest.raises(BaseException) as e:
        PrefixSearch.from_internal_data_v2([0, 5], ["", "a"], [None, (1, [0], [1])], [1], [], 1)
    kind = type(e.value)  # not an Exception: "except Exception" does not catch it
    assert (kind.__module__, kind.__qualname__, kind.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
    # The package exports the one class, which both modules raise.
    assert kind is tessaloom.PanicException and "PanicException" not in dir(tessaloom._tessaloom)
    assert len(e.value.args) == 1 and isinstance(e.value.args[0], str)


@pytest.mark.parametrize("records, exc, message", [
    ([("", 1, 1)], ValueError, "terms must be non-empty strings, got ''"),
    ([("a\0b", 1, 1)], ValueError, "terms must not contain U+0000, got 'a\\x00b'"),
    ([("a", 1, -1)], ValueError, "counts must not be negative, got -1 for 'a'"),
    ([("a", 1, 2**32)], ValueError, "a term's total count must fit 32 bits, got 4294967296"),
    ([("a", 1, 1), ("b", bytes(16), 1)], ValueError, "video ids must be all UUIDs or all integers, not a mixture"),
    # Video ids, in the words build_arrays has always used.
    ([("a", 2**32, 1)], ValueError, "an integer video id must be in 0..4294967295, got 4294967296"),
    ([("a", b"short", 1)], ValueError, "a video id given as bytes must be 16 bytes long, got 5"),
    ([("a", 1.5, 1)], TypeError, "a video id must be 16 bytes, a uuid.UUID or an int, not float"),
    ([("a", True, 1)], TypeError, "a video id must be 16 bytes, a uuid.UUID or an int, not bool"),
    ([("a", "1", 1)], TypeError, "a video id must be 16 bytes, a uuid.UUID or an int, not str"),
])
def test_builder_refusals(records, exc, message):
    raises_exactly(exc, message, build_arrays, records)
