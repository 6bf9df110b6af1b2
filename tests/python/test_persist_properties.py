"""Properties of saving and loading over generated inputs.

- Any byte string given to from_bytes is refused with ValueError
  "decode error: ..." or loads an index, which saves and loads again, and
  whose queries answer or raise PanicException. Loading runs in a worker
  process, so that a crash fails the test instead of killing pytest.
- A built index loads from its saved bytes into an index that saves to the
  same bytes and answers every query the same.

The tests marked needs_queries skip until the queries are built.
"""

from __future__ import annotations

import struct
import subprocess
import sys
import uuid
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessaloom import PrefixSearch, build_arrays

HERE = Path(__file__).resolve().parent
SEED_DIR = HERE.parent.parent / "fuzz" / "corpus" / "decode"
SEEDS = sorted(p.read_bytes() for p in SEED_DIR.iterdir()) if SEED_DIR.is_dir() else []


def _queries_exist() -> bool:
    index = PrefixSearch.from_internal_data_v2([0], [""], [None], [], [], 1)
    try:
        index.fuzzy_match("a")
        index.fuzzy_match_video("a")
    except NotImplementedError:
        return False
    except BaseException:  # noqa: BLE001 - a query exists if it got this far
        return True
    return True


needs_queries = pytest.mark.skipif(not _queries_exist(), reason="fuzzy_match and fuzzy_match_video are not built yet")


class Worker:
    """A load_worker.py process, restarted after it dies."""

    def __init__(self) -> None:
        self.proc: subprocess.Popen | None = None

    def _start(self) -> subprocess.Popen:
        return subprocess.Popen(
            [sys.executable, str(HERE / "load_worker.py")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=False,
            cwd=HERE,
        )

    def run(self, mode: bytes, data: bytes) -> str:
        if self.proc is None or self.proc.poll() is not None:
            self.proc = self._start()
        try:
            self.proc.stdin.write(mode + struct.pack("<I", len(data)) + data)
            self.proc.stdin.flush()
            line = self.proc.stdout.readline()
        except BrokenPipeError:
            line = b""
        if not line:
            self.proc.stdin.close()
            err = self.proc.stderr.read().decode(errors="replace")
            code = self.proc.wait()
            self.proc = None
            return f"bad the worker died with exit code {code}: {err[-2000:]}"
        return line.decode().rstrip("\n")

    def close(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.close()


@st.composite
def hostile_bytes(draw) -> bytes:
    """Saved indexes with a few mutations, or plain random bytes."""
    if SEEDS and draw(st.booleans()):
        data = bytearray(draw(st.sampled_from(SEEDS)))
    else:
        data = bytearray(draw(st.binary(max_size=96)))
    for _ in range(draw(st.integers(0, 4))):
        op = draw(st.sampled_from(["set", "cut", "insert", "delete"]))
        at = draw(st.integers(0, len(data)))
        if op == "set" and at < len(data):
            data[at] = draw(st.sampled_from([0, 1, 2, 0x7F, 0x80, 0xC3, 0xED, 0xF4, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF]))
        elif op == "cut":
            del data[at:]
        elif op == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=9))
        elif op == "delete":
            del data[at : at + draw(st.integers(1, 4))]
    return bytes(data)


HOSTILE_SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@HOSTILE_SETTINGS
@given(data=hostile_bytes())
def test_any_bytes_are_refused_or_load(worker, data):
    outcome = worker.run(b"L", data)
    assert outcome in ("refused", "loaded"), f"{outcome} for input {data.hex()}"


@needs_queries
@HOSTILE_SETTINGS
@given(data=hostile_bytes())
def test_loaded_hostile_bytes_answer_queries_or_panic(worker, data):
    outcome = worker.run(b"Q", data)
    assert outcome == "refused" or (outcome.startswith("loaded queries=") and "notimpl" not in outcome), (
        f"{outcome} for input {data.hex()}"
    )


def test_worker_reports_a_crash():
    """The harness itself: a worker that dies is reported, not hidden."""
    w = Worker()
    w.proc = subprocess.Popen(
        [sys.executable, "-c", "import os; os.abort()"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    assert w.run(b"L", b"").startswith("bad the worker died")


# ---------------------------------------------------------------- round trip

TERM = st.text(alphabet="abcé日😀", min_size=1, max_size=5)


@st.composite
def built_index(draw) -> PrefixSearch:
    uuids = draw(st.booleans())
    video = st.integers(0, 5).map(lambda v: uuid.UUID(int=v * 0x1234567 + 1).bytes) if uuids else st.integers(0, 2**32 - 1)
    records = draw(st.lists(st.tuples(TERM, video, st.integers(0, 2**20)), max_size=25))
    top_n = draw(st.integers(0, 6))
    return PrefixSearch.from_internal_data_v2(*build_arrays(records, top_n))


@settings(max_examples=150, deadline=None)
@given(index=built_index())
def test_round_trip_saves_the_same_bytes(index):
    data = index.to_bytes()
    loaded = PrefixSearch.from_bytes(data)
    assert loaded.to_bytes() == data
    assert PrefixSearch.from_bytes(data + b"\x00\xff").to_bytes() == data


@needs_queries
@settings(max_examples=100, deadline=None)
@given(index=built_index(), terms=st.lists(TERM, min_size=1, max_size=4), max_dist=st.integers(0, 2))
def test_round_trip_answers_every_query_the_same(index, terms, max_dist):
    loaded = PrefixSearch.from_bytes(index.to_bytes())
    for term in terms:
        assert loaded.fuzzy_match(term, max_dist) == index.fuzzy_match(term, max_dist)
        assert loaded.fuzzy_match(term, max_dist, 2) == index.fuzzy_match(term, max_dist, 2)
        assert loaded.fuzzy_match_video(term, max_dist) == index.fuzzy_match_video(term, max_dist)
        assert loaded.fuzzy_match_video(term, max_dist, 3, True, 0.0) == index.fuzzy_match_video(term, max_dist, 3, True, 0.0)
