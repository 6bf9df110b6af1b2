"""build_arrays: breadth-first numbering, payloads per term, video numbering."""

import uuid

import pytest

from tessaloom import IndexArrays, PrefixSearch, build_arrays


def test_worked_example_layout():
    a = build_arrays([("b", 1, 1), ("ab", 2, 2), ("ac", 3, 3)], video_top_n=7)
    assert isinstance(a, IndexArrays)
    assert a.child_labels == ["", "a", "b", "b", "c"]
    assert a.node_shifts == [0, 2, 4, 4, 4]
    assert a.child_transitions == [1, 2, 3, 4]
    assert a.payloads == [None, None, (1, [0], [1]), (2, [1], [2]), (3, [2], [3])]
    assert a.video_index == [b"\x01\0\0\0", b"\x02\0\0\0", b"\x03\0\0\0"]
    assert a.video_top_n == 7


def test_repeated_records_sum_per_video_in_first_seen_order():
    u1, u2 = uuid.UUID(int=1), uuid.UUID(int=2)
    a = build_arrays([("x", u2, 1), ("x", u1, 4), ("x", u2.bytes, 2)])
    assert a.video_index == [u2.bytes, u1.bytes]
    assert a.payloads[1] == (7, [0, 1], [3, 4])


def test_every_child_numbered_above_its_parent():
    words = ["tea", "ten", "to", "inn", "in", "i", "été", "A"]
    a = build_arrays([(w, 0, 1) for w in words])
    n = len(a.child_labels)
    for i in range(n):
        end = a.node_shifts[i + 1] if i + 1 < n else len(a.child_transitions)
        kids = a.child_transitions[a.node_shifts[i] : end]
        assert all(c > i for c in kids)
        labels = [a.child_labels[c] for c in kids]
        assert labels == sorted(labels)
    PrefixSearch.from_internal_data_v2(*a)


@pytest.mark.parametrize(
    "records, exc",
    [
        ([("", 1, 1)], ValueError),
        ([("a\0b", 1, 1)], ValueError),
        ([("a", 1, -1)], ValueError),
        ([("a", 1, 2**32)], ValueError),
        ([("a", 2**32, 1)], ValueError),
        ([("a", b"short", 1)], ValueError),
        ([("a", 1, 1), ("b", bytes(16), 1)], ValueError),
        ([("a", 1.5, 1)], TypeError),
        ([("a", True, 1)], TypeError),
    ],
)
def test_refusals(records, exc):
    with pytest.raises(exc):
        build_arrays(records)


def test_empty_records_make_a_root_only_index():
    a = build_arrays([])
    assert a == IndexArrays([0], [""], [None], [], [], 100)
