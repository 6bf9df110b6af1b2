"""Run in a child process by test_persist: any bytes are refused by from_bytes
with ValueError "decode error: ..." or load an index that saves and loads again
and whose queries answer or raise PanicException. Each input is printed first,
so after a crash the last line names it."""

from pathlib import Path

from hypothesis import given, settings
from hypothesis import strategies as st

from tessaloom import PrefixSearch

SEEDS = sorted(p.read_bytes() for p in (Path(__file__).resolve().parents[2] / "fuzz" / "corpus" / "decode").iterdir())
BYTES = [0, 1, 2, 0x7F, 0x80, 0xC3, 0xED, 0xF4, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF]


@st.composite
def hostile_bytes(draw):
    """The fuzzer's seeds (saved indexes) or random bytes, with a few spans replaced."""
    data = bytearray(draw(st.sampled_from(SEEDS) | st.binary(max_size=96)))
    for _ in range(draw(st.integers(0, 4))):
        at = draw(st.integers(0, len(data)))
        end = draw(st.sampled_from([at, at + 1, at + 4, len(data)]))
        data[at:end] = draw(st.binary(max_size=9) | st.sampled_from(BYTES).map(lambda b: bytes([b])))
    return bytes(data)


@settings(max_examples=400, deadline=None, database=None)
@given(hostile_bytes())
def check(data):
    print(data.hex(), flush=True)
    try:
        index = PrefixSearch.from_bytes(data)
    except ValueError as e:
        assert type(e) is ValueError and str(e).startswith("decode error: "), e
        return
    saved = index.to_bytes()
    assert len(saved) <= len(data) and PrefixSearch.from_bytes(saved).to_bytes() == saved
    for term in ("", "a", "ab", "abc", "é", "😀x", "\0"):
        for d in (0, 1, 2):
            for call in (lambda: index.fuzzy_match(term, d, 16), lambda: index.fuzzy_match_video(term, d, 8),
                         lambda: index.fuzzy_match_video(term, d, None, True, 0.0)):
                try:
                    assert type(call()) is list
                except BaseException as e:
                    if type(e).__qualname__ != "PanicException" or isinstance(e, Exception):
                        raise


check()
