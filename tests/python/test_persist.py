"""Saving and loading: the byte format seen from Python, the golden file, and
properties over random indexes. (Hostile bytes are the decoder's fuzz
target's.)"""

import gc
import sys
import uuid
from pathlib import Path

import pytest
from conftest import index, raises_exactly
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaloom import PrefixSearch

HERE = Path(__file__).resolve().parent

# The index saved in tests/data/golden_index.bin, which must never change:
# files saved by earlier versions must load. Labels of 1 to 4 UTF-8 bytes,
# counts in each varint form, and more videos than video_top_n.
GOLDEN = HERE.parent / "data" / "golden_index.bin"
GOLDEN_RECORDS = [("cat", 1, 2), ("car", 2, 3), ("cart", 1, 300), ("café", 3, 70000), ("naïve", 4, 1), ("日本", 5, 251),
                  ("😀", 6, 65536), ("dog", 7, 5), ("do", 8, 1), ("dot", 2**128 - 1, 9)]


def test_a_decode_error_is_a_value_error_with_its_text():
    # Every text, where it stands, is the C++ suite's.
    raises_exactly(ValueError, "decode error: UnexpectedEnd { additional: 1 }", PrefixSearch.from_bytes, b"")


def test_a_loaded_index_holds_exact_bytes_until_it_goes_and_copies_a_subclass():
    # Long enough for the bulk check of the payloads; a mix of video numbers
    # in one and three bytes.
    words = [a + b + c for a in "abcdefgh" for b in "aeiou" for c in "rstn"]
    built = index([(w, (i * 37) % 400, 1 + i % 9) for i, w in enumerate(words)], 50)

    def same(loaded):
        for term in ("bart", "hoin", "xyz", "ca"):
            args = (term, 1, None, True, 0.0)
            assert loaded.fuzzy_match_video(*args) == built.fuzzy_match_video(*args)
        assert loaded.to_bytes() == built.to_bytes()

    data = bytes(bytearray(built.to_bytes()))  # an object of our own
    refs = sys.getrefcount(data)
    loaded = PrefixSearch.from_bytes(data)
    assert sys.getrefcount(data) == refs + 1
    cut = data[:-1]
    cut_refs = sys.getrefcount(cut)
    with pytest.raises(ValueError):
        PrefixSearch.from_bytes(cut)
    assert sys.getrefcount(cut) == cut_refs  # a failed load keeps nothing
    del loaded
    assert sys.getrefcount(data) == refs
    loaded = PrefixSearch.from_bytes(data)
    del data
    gc.collect()
    same(loaded)

    # A subclass instance can hold its own index; were the index to keep the
    # instance, the cycle would never be collected (the index takes no part
    # in garbage collection). Its payloads are copied instead.
    freed = []

    class Saved(bytes):
        def __del__(self):
            freed.append(True)

    saved = Saved(built.to_bytes())
    saved.index = PrefixSearch.from_bytes(saved)
    del saved
    gc.collect()
    assert freed == [True]
    saved = Saved(built.to_bytes())
    loaded = PrefixSearch.from_bytes(saved)
    del saved
    assert freed == [True, True]
    same(loaded)


def test_golden_file_is_still_written_and_read_byte_for_byte():
    golden = GOLDEN.read_bytes()
    records = [(t, uuid.UUID(int=v), c) for t, v, c in GOLDEN_RECORDS]
    data = index(records, 3).to_bytes()
    assert data == golden and type(data) is bytes  # every form and field byte for byte is the C++ suite's
    assert PrefixSearch.from_bytes(golden).to_bytes() == golden


TERM = st.text("abcé日😀", min_size=1, max_size=5)
INT_OR_UUID = st.sampled_from(
    [st.integers(0, 2**32 - 1), st.integers(0, 5).map(lambda v: uuid.UUID(int=v * 0x1234567 + 1))])


@settings(max_examples=150, deadline=None)
@given(records=INT_OR_UUID.flatmap(lambda video: st.lists(st.tuples(TERM, video, st.integers(0, 2**20)), max_size=25)),
       top_n=st.integers(0, 6), terms=st.lists(TERM, min_size=1, max_size=4), max_dist=st.integers(0, 2))
def test_round_trip_saves_the_same_bytes_and_answers_the_same(records, top_n, terms, max_dist):
    built = index(records, top_n)
    data = built.to_bytes()
    loaded = PrefixSearch.from_bytes(data + b"\x00\xff")
    assert loaded.to_bytes() == data
    for term in terms:
        for args in ((max_dist,), (max_dist, 2)):
            assert loaded.fuzzy_match(term, *args) == built.fuzzy_match(term, *args)
        for args in ((max_dist,), (max_dist, 3, True, 0.0)):
            assert loaded.fuzzy_match_video(term, *args) == built.fuzzy_match_video(term, *args)
