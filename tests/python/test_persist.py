"""Saving and loading: the byte format seen from Python, the binding of
to_bytes/from_bytes, the golden file, and properties over random indexes
and hostile bytes."""

from __future__ import annotations

import uuid

import pytest

from tessaloom import PrefixSearch, build_arrays

from golden import GOLDEN, golden_index

ONE_NODE = bytes.fromhex("0100 0100 00 0101000000 00 00 00 0100")
OPTION = 'UnexpectedVariant { type_name: "core::option::Option<tessaloom::payload::Payload>", allowed: Range { min: 0, max: 1 }, found: '
IDMODE = 'UnexpectedVariant { type_name: "IdMode", allowed: Range { min: 0, max: 1 }, found: '


def one_node_index() -> PrefixSearch:
    return PrefixSearch.from_internal_data_v2([0], [""], [None], [], [], 10)


def replaced(data: bytes, at: int, byte: int) -> bytes:
    return data[:at] + bytes([byte]) + data[at + 1 :]


def test_one_node_example_byte_for_byte():
    data = one_node_index().to_bytes()
    assert data == ONE_NODE and len(data) == 15
    assert PrefixSearch.from_bytes(data).to_bytes() == data


@pytest.mark.parametrize("tail", [b"\x00", b"\xff" * 100, ONE_NODE])
def test_trailing_bytes_are_ignored(tail):
    assert PrefixSearch.from_bytes(ONE_NODE + tail).to_bytes() == ONE_NODE


def test_payload_example_byte_for_byte():
    s = PrefixSearch.from_internal_data_v2([0], [""], [(300, [0], [70000])], [], [bytes(16)], 10)
    data = s.to_bytes()
    assert data[5:18] == bytes.fromhex("01 01 FB 2C 01 01 00 01 FC 70 11 01 00")


def test_longer_forms_load_and_save_shortest():
    longer = bytes.fromhex("FB0100 FC00000000") + ONE_NODE[2:]
    assert PrefixSearch.from_bytes(longer).to_bytes() == ONE_NODE


@pytest.mark.parametrize(
    "data, text",
    [
        (b"", "UnexpectedEnd { additional: 1 }"),
        (ONE_NODE[:-1], "UnexpectedEnd { additional: 1 }"),
        (replaced(ONE_NODE, 12, 2), IDMODE + "2 }"),
        (replaced(ONE_NODE, 6, 2), OPTION + "2 }"),
        (replaced(ONE_NODE, 14, 2), "InvalidBooleanValue(2)"),
        (replaced(ONE_NODE, 0, 0xFE), "InvalidIntegerType { expected: U64, found: U128 }"),
        (replaced(ONE_NODE, 1, 0xFD), "InvalidIntegerType { expected: U32, found: U64 }"),
        (bytes.fromhex("0100 01 EDA080"), "InvalidCharEncoding([237, 160, 128, 0])"),
        (bytes.fromhex("0100 01 FF"), "InvalidCharEncoding([255, 0, 0, 0])"),
        (bytes.fromhex("0100 01 C341"), "InvalidCharEncoding([195, 65, 0, 0])"),
        (bytes.fromhex("0100 0100 00 0100 01") + bytes(10), "UnexpectedEnd { additional: 6 }"),
        (b"\x01\xfc\x01\x02", "UnexpectedEnd { additional: 2 }"),
        # 12 bytes declaring 2**60 shifts: fails at the input's end at once.
        (bytes.fromhex("FD 0000000000000010 010203"), "UnexpectedEnd { additional: 1 }"),
    ],
)
def test_decode_errors(data, text):
    with pytest.raises(ValueError) as e:
        PrefixSearch.from_bytes(data)
    assert str(e.value) == "decode error: " + text
    assert type(e.value) is ValueError


@pytest.mark.parametrize(
    "value, type_name",
    [(bytearray(ONE_NODE), "bytearray"), (memoryview(ONE_NODE), "memoryview"), ("abc", "str"), (None, "NoneType"), ([1], "list")],
)
def test_from_bytes_refuses_other_kinds(value, type_name):
    with pytest.raises(TypeError) as e:
        PrefixSearch.from_bytes(value)
    assert str(e.value) == f"argument 'b': '{type_name}' object cannot be converted to 'PyBytes'"


def test_bytes_subclass_and_keyword_accepted():
    class Saved(bytes):
        pass

    assert PrefixSearch.from_bytes(Saved(ONE_NODE)).to_bytes() == ONE_NODE
    assert PrefixSearch.from_bytes(b=ONE_NODE).to_bytes() == ONE_NODE
    assert type(one_node_index().from_bytes(ONE_NODE)) is PrefixSearch


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PrefixSearch.from_bytes(), "PrefixSearch.from_bytes() missing 1 required positional argument: 'b'"),
        (lambda: PrefixSearch.from_bytes(b"", b""), "PrefixSearch.from_bytes() takes 1 positional arguments but 2 were given"),
        (lambda: PrefixSearch.from_bytes(c=b""), "PrefixSearch.from_bytes() got an unexpected keyword argument 'c'"),
        (lambda: PrefixSearch.from_bytes(b"", b=b""), "PrefixSearch.from_bytes() got multiple values for argument 'b'"),
    ],
)
def test_from_bytes_binding(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_to_bytes_takes_no_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        one_node_index().to_bytes(1)


def test_int32_mode_saves_ids_as_u32_in_field_six():
    s = PrefixSearch.from_internal_data_v2([0], [""], [None], [], [b"\x01\x00\x00\x00", b"\xff\xff\xff\xff"], 1)
    assert s.to_bytes() == bytes.fromhex("0100 0100 00 0101000000 00 02 01 FCFFFFFFFF 01 0100")
    u = PrefixSearch.from_internal_data_v2([0], [""], [None], [], [bytes(range(16))], 1)
    assert u.to_bytes() == bytes.fromhex("0100 0100 00 0101000000 01") + bytes(range(16)) + bytes.fromhex("00 00 0100")


def test_empty_index_round_trips():
    data = PrefixSearch.from_internal_data_v2([], [], [], [], [], 0).to_bytes()
    assert data == bytes.fromhex("00 00 00 00 00 00 00 00")
    assert PrefixSearch.from_bytes(data).to_bytes() == data


def test_golden_file_is_still_written_byte_for_byte():
    assert golden_index().to_bytes() == GOLDEN.read_bytes()
    assert PrefixSearch.from_bytes(GOLDEN.read_bytes()).to_bytes() == GOLDEN.read_bytes()


def test_saving_leaves_the_index_unchanged(small_index):
    first = small_index.to_bytes()
    assert small_index.to_bytes() == first
    assert isinstance(first, bytes) and type(first) is bytes
