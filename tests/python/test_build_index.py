"""build_index against the pure-Python reference (build_arrays then
from_internal_data_v2), its refusals, progress, streaming and threads."""

import sys
import threading
import uuid
import weakref

import numpy as np
import pytest
from conftest import Idx, index, raises_exactly
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaloom import build_index


def same_as_reference(records, video_top_n=100):
    """build_index from a one-shot iterator gives the reference's bytes."""
    assert build_index(iter(records), video_top_n).to_bytes() == index(records, video_top_n).to_bytes()


# Terms drawn from a few stems and their extensions: shared prefixes, terms
# that begin others, repeats; characters of 1 to 4 UTF-8 bytes.
CHARS = st.sampled_from("ab\u00e9\u00ff\u0100\u65e5\uffff\U0001F600\U0010FFFF")
WORD = st.text(CHARS, min_size=1, max_size=10)
TERMS = st.lists(WORD, min_size=1, max_size=6).flatmap(
    lambda stems: st.lists(st.tuples(st.sampled_from(stems), st.text(CHARS, max_size=3)).map("".join),
                           min_size=0, max_size=30))
UUIDS = st.integers(0, 5).map(lambda v: uuid.UUID(int=v * 0x123456789 + 1))
ID_KINDS = st.sampled_from([
    st.sampled_from([0, 1, 7, 2**31, 2**32 - 1]),
    UUIDS,
    UUIDS.map(lambda u: u.bytes),
    UUIDS.flatmap(lambda u: st.sampled_from([u, u.bytes, bytearray(u.bytes)])),
])
TOP_N = st.sampled_from([0, 1, 2, 5, 2**64 - 1])


@settings(max_examples=300, deadline=None)
@given(data=st.data(), top_n=TOP_N)
def test_same_bytes_as_the_reference(data, top_n):
    terms = data.draw(TERMS)
    ids = data.draw(ID_KINDS)
    records = [(t, data.draw(ids), data.draw(st.integers(0, 2**24))) for t in terms]
    same_as_reference(records, top_n)


def test_totals_up_to_the_limit_and_top_n_past_any_size():
    # "ab" reaches exactly 2**32-1 over three videos; zero counts stay entries.
    records = [("ab", 0, 2**31), ("ab", 1, 0), ("ab", 2, 2**31 - 1), ("a", 9, 2**32 - 1), ("abc", 1, 0), ("abc", 1, 0)]
    for top_n in (0, 1, 2, 10**6):
        same_as_reference(records, top_n)
    # Beyond what a size can hold: every video is kept.
    assert build_index(records, 2**80).to_bytes() == build_index(records, 10**6).to_bytes()


@pytest.mark.parametrize("records, top_n", [
    ([], 100),
    ([["cat", 1, 2], ("dog", 2, 3)], 100),
    (np.array([("cat", 1, 2)], dtype=object), 100),
    ([("cat", np.uint32(4_000_000_000), np.int64(3)), ("cart", np.int16(5), np.uint8(1)),
      ("cat", Idx(5), Idx(2)), ("ca", np.uint64(2**32 - 1), True)], np.int8(1)),
], ids=["empty", "lists", "numpy rows", "numpy and __index__ integers"])
def test_accepted_forms_of_records_and_integers(records, top_n):
    plain = [(t, int(v), int(c)) for t, v, c in records]
    # The reference takes the same forms, so the two routes compare on them.
    assert build_index(iter(records), top_n).to_bytes() == index(records, top_n).to_bytes() == index(
        plain, int(top_n)).to_bytes()


U = uuid.UUID(int=1)
ERRORS = [  # records, exception, message
    ([("a", 1, 1), 5], TypeError, "record 1: record must be a (term, video id, count) sequence, got int"),
    ([("a", 1)], TypeError, "record 0: record must be a (term, video id, count) sequence, got 2 items"),
    ([(b"a", 1, 1)], TypeError, "record 0: term must be a str, got bytes"),
    ([("", 1, 1)], ValueError, "record 0: term must not be empty"),
    ([("a\0b", 1, 1)], ValueError, "record 0: term must not contain U+0000, got 'a\\x00b'"),
    ([("a\ud800", 1, 1)], ValueError, "record 0: term must be valid Unicode (no lone surrogates), got 'a\\ud800'"),
    ([("a", 1, 1.5)], TypeError, "record 0: count must be a non-negative integer, got 1.5"),
    ([("a", 1, 1), ("a", 1, -1)], ValueError, "record 1: count must be a non-negative integer, got -1"),
    ([("a", 1, 2**31), ("b", 1, 1), ("a", 2, 2**31)], ValueError,
     "record 2: count 2147483648 takes the total count of term 'a' past 2**32-1"),
    ([("a", 1, 2**70)], ValueError,
     "record 0: count 18446744073709551615 takes the total count of term 'a' past 2**32-1"),
    ([("a", 1.0, 1)], TypeError, "record 0: video id must be a uuid.UUID, 16 bytes or an integer, got float"),
    ([("a", True, 1)], TypeError, "record 0: video id must be a uuid.UUID, 16 bytes or an integer, got bool"),
    ([("a", -1, 1)], ValueError, "record 0: video id must be an integer in 0..4294967295, got -1"),
    ([("a", b"x" * 15, 1)], ValueError, "record 0: video id must be 16 bytes long, got 15 bytes"),
    ([("a", U, 1), ("b", U.bytes, 1), ("c", 3, 1)], ValueError,
     "record 2: video id is an integer, but the ids before it are not: video ids must be all UUIDs or all integers"),
    ([("a", 3, 1), ("c", U, 1)], ValueError,
     "record 1: video id is a UUID, but the ids before it are not: video ids must be all UUIDs or all integers"),
]


@pytest.mark.parametrize("records, exc, message", ERRORS)
def test_refusals_name_the_record_and_field(records, exc, message):
    raises_exactly(exc, message, build_index, iter(records))


@pytest.mark.parametrize("args, exc, message", [
    ((-1,), ValueError, "video_top_n must be a non-negative integer, got -1"),
    ((1.0,), TypeError, "video_top_n must be a non-negative integer, got 1.0"),
    ((1, 5), TypeError, "progress must be callable or None, got int"),
])
def test_arguments_are_checked_before_any_record(args, exc, message):
    def never():
        raise AssertionError("records read")
        yield
    raises_exactly(exc, message, build_index, never(), *args)


class Stop(Exception):
    pass


def test_exceptions_of_the_iterator_and_of_index_pass_through():
    stop = Stop()

    def records():
        yield ("a", 1, 1)
        raise stop

    with pytest.raises(Stop) as e:
        build_index(records())
    assert e.value is stop
    with pytest.raises(Stop):
        build_index([("a", Idx(stop), 1)])
    raises_exactly(TypeError, "'int' object is not iterable", build_index, 5)


def test_records_are_streamed_not_kept():
    # Each record is released once read: a weak reference to it dies at once.
    class Record(list):
        pass

    alive = []

    def records():
        for k in range(1000):
            alive.append(weakref.ref(record := Record([f"t{k}", k, 1])))
            yield record

    build_index(records())
    assert all(ref() is None for ref in alive)


def test_progress_reports_reading_then_each_phase_and_can_stop_the_build():
    calls = []
    one = ("a", 1, 1)
    build_index((one for _ in range(2_000_001)), 100, lambda phase, n: calls.append((phase, n)))
    assert calls == [("reading", 1_000_000), ("reading", 2_000_000), ("ordering", 1), ("trie", 1), ("propagation", 2)]

    def stop_at(phase, n):
        if phase == "propagation":
            raise Stop(n)

    with pytest.raises(Stop):
        build_index([("ab", 1, 1)], progress=stop_at)
    assert build_index([("ab", 1, 1)], progress=None).fuzzy_match("ab") == [("ab", 1, 0)]


def test_queries_in_another_thread_run_while_the_build_runs():
    # With a long switch interval, the query thread only gets the GIL when
    # the building thread lets it go: queries counted between the first and
    # the last phase can only have run while the build released the GIL.
    target = index([("cat", 1, 2), ("cart", 2, 1)])
    done = threading.Event()
    count = [0]

    def query():
        while not done.is_set():
            target.fuzzy_match_video("cat", 1)
            count[0] += 1
            done.wait(0.0001)  # sleeps without the GIL

    seen = {}
    records = [(f"w{k:06d}x", k % 1000, 1) for k in range(300_000)]
    old = sys.getswitchinterval()
    thread = threading.Thread(target=query)
    thread.start()
    try:
        sys.setswitchinterval(30)
        build_index(records, progress=lambda phase, n: seen.setdefault(phase, count[0]))
    finally:
        sys.setswitchinterval(old)
        done.set()
        thread.join()
    assert seen["propagation"] > seen["ordering"], seen
