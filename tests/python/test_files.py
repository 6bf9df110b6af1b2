"""Index files (save and load with their trailer), the reader of the saved
form's counts, and the tokenizing rule."""

import os
import signal
import struct
import subprocess
import sys
import unicodedata
import uuid
import zlib

import pytest
from conftest import index
from hypothesis import example, given, settings
from hypothesis import strategies as st

import tessaloom
from tessaloom import PrefixSearch, build_index, load, save, terms
from tessaloom._native import index_counts
from tessaloom.persist import write_atomically

RECORDS = [("cat", 1, 2), ("car", 2, 3), ("cart", 1, 1), ("dog", 3, 5), ("日本", 4, 7)]


@pytest.fixture
def saved(tmp_path):
    """A small index saved to a file: (index, path, the file's bytes)."""
    built = index(RECORDS)
    path = tmp_path / "small.idx"
    save(built, path)
    return built, path, path.read_bytes()


def test_the_file_is_the_saved_index_and_its_trailer(saved):
    built, path, data = saved
    body = built.to_bytes()
    assert data == body + b"TSLMIDX1" + struct.pack("<IIQI", 1, 0, len(body), zlib.crc32(body)) + bytes(4)
    for where in (path, str(path)):
        assert load(where).to_bytes() == body
        args = ("cat", 1, None, None, 0.0)
        assert load(where).fuzzy_match_video(*args) == built.fuzzy_match_video(*args)


def flip(at):
    """A change that flips one byte of the file, counting from its start or end."""
    def change(data, body):
        damaged = bytearray(data)
        damaged[at] ^= 0x40
        return damaged
    return change


# Each part of the file, by offset from its end (the trailer) or its start
# (the saved index), and a word of the refusal that flipping a byte there gets.
TRAILER_REGIONS = [(-32, "damaged: its trailer"), (-25, "damaged: its trailer"), (-24, "version"), (-20, "flags"),
                   (-16, "damaged: the trailer gives"), (-9, "damaged: the trailer gives"), (-8, "checksum"),
                   (-4, "reserved"), (-1, "reserved"), (0, "checksum"), (7, "checksum"), (-33, "checksum")]


@pytest.mark.parametrize("change, refusal", [(flip(at), refusal) for at, refusal in TRAILER_REGIONS] + [
    (lambda d, body: b"", "empty file"),
    (lambda d, body: body, r"raw PrefixSearch.to_bytes\(\) output .* PrefixSearch.from_bytes"),
    (lambda d, body: d[:-1], "truncated: the file ends 31 bytes into its 32-byte trailer"),
    (lambda d, body: d[:-31], "truncated: the file ends 1 bytes into its 32-byte trailer"),
    (lambda d, body: body[:-3], "truncated, or not a tessaloom index file: .* PrefixSearch.from_bytes"),
    (lambda d, body: d + b"\n", "damaged: 1 bytes follow its trailer"),
    (lambda d, body: b"\xfforeign" * 9, "not a tessaloom index file: it has no trailer; .*from_bytes"),
])
def test_a_damaged_cut_foreign_or_raw_file_is_refused_saying_why(saved, change, refusal):
    built, path, data = saved
    path.write_bytes(change(data, built.to_bytes()))
    with pytest.raises(ValueError, match=refusal) as e:
        load(path)
    assert str(e.value).startswith(f"{path}: ")


def test_exactly_the_declared_length_is_decoded(saved):
    # Trailers that match their bytes, around an index with bytes left over
    # inside the declared length, or cut short of it: never loaded.
    built, path, _ = saved
    body = built.to_bytes()
    for content in [body + b"\0", body + bytes(40), *(body[:cut] for cut in range(len(body)))]:
        path.write_bytes(content + struct.pack("<8sIIQI4s", b"TSLMIDX1", 1, 0, len(content), zlib.crc32(content),
                                               bytes(4)))
        with pytest.raises(ValueError, match="damaged: the checksum matches but the index does not decode"):
            load(path)


def test_no_single_byte_change_anywhere_loads(saved):
    _, path, data = saved
    for at in range(len(data)):
        for mask in (0x01, 0x80, 0xFF):
            damaged = bytearray(data)
            damaged[at] ^= mask
            path.write_bytes(damaged)
            with pytest.raises(ValueError):
                load(path)


class Boom(Exception):
    pass


def refuse(*args):
    raise Boom("refused")


@pytest.mark.parametrize("patch, chunks", [
    (None, [b"new", Boom]),  # the second chunk cannot be written: fails mid-write
    (("fsync", refuse), [b"new file"]),
    (("replace", refuse), [b"new file"]),
])
def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch, patch, chunks):
    target = tmp_path / "index.idx"
    target.write_bytes(b"old file")
    if patch:
        monkeypatch.setattr(os, *patch)
    with pytest.raises((Boom, TypeError)):
        write_atomically(target, chunks)
    assert target.read_bytes() == b"old file"
    assert os.listdir(tmp_path) == ["index.idx"]


@pytest.mark.parametrize("where, error", [("missing/v.idx", FileNotFoundError), ("folder", IsADirectoryError)])
def test_a_save_that_cannot_happen_names_the_file_and_leaves_nothing(tmp_path, where, error):
    (tmp_path / "folder").mkdir()
    with pytest.raises(error) as e:
        save(index(RECORDS), tmp_path / where)
    assert e.value.filename == str(tmp_path / where)
    assert os.listdir(tmp_path) == ["folder"] and os.listdir(tmp_path / "folder") == []


def test_save_replaces_a_file_with_the_permissions_of_a_new_one(saved, tmp_path):
    built, path, _ = saved
    mask = os.umask(0o022)
    os.umask(mask)
    save(index([("zebra", 9, 1)]), path)
    assert load(path).fuzzy_match("zebra", 0) == [("zebra", 1, 0)]
    assert os.stat(path).st_mode & 0o777 == 0o666 & ~mask
    assert os.listdir(tmp_path) == ["small.idx"]
    with pytest.raises(TypeError, match="index must be a PrefixSearch, not bytes"):
        save(built.to_bytes(), path)


KILLED_SAVE = r"""
import os, signal, sys
import tessaloom.persist as persist
from tessaloom import build_index, save
path, when, route = sys.argv[1:]
persist._use_unnamed = route == "unnamed"
real = getattr(os, when)
def killed(*args):
    os.kill(os.getpid(), signal.SIGKILL)
setattr(os, when, killed)  # fsync: while the data is written; replace: once the temporary is named
save(build_index([("cat", 1, 1)]), path)
"""


@pytest.mark.parametrize("route", ["unnamed", "named"])
def test_a_save_removes_what_killed_saves_left_and_nothing_live(tmp_path, monkeypatch, route):
    path = tmp_path / "v.idx"
    for when in ["fsync", "replace"] * 2:
        done = subprocess.run([sys.executable, "-c", KILLED_SAVE, str(path), when, route], timeout=60)
        assert done.returncode == -signal.SIGKILL
    left = os.listdir(tmp_path)
    assert left and all(len(name) < 40 for name in left)
    with subprocess.Popen(["sleep", "60"]) as live:
        # A temporary of a writer that is still running is left alone.
        writing = f".tessaloom-{zlib.crc32(b'v.idx'):08x}-{live.pid}-0.tmp"
        (tmp_path / writing).write_bytes(b"partial")
        monkeypatch.setattr(tessaloom.persist, "_use_unnamed", route == "unnamed")
        save(index(RECORDS), path)
        assert sorted(os.listdir(tmp_path)) == sorted([writing, "v.idx"])
        live.kill()
    save(index(RECORDS), path)
    assert os.listdir(tmp_path) == ["v.idx"] and load(path).to_bytes() == index(RECORDS).to_bytes()


def test_save_writes_through_symlinks_and_takes_any_legal_name(tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "real" / "v1.idx").write_bytes(b"old")
    (tmp_path / "current.idx").symlink_to("real/v1.idx")
    (tmp_path / "dangling.idx").symlink_to("real/v2.idx")
    longest = tmp_path / ("n" * 251 + ".idx")
    for path in (tmp_path / "current.idx", tmp_path / "dangling.idx", longest):
        save(index(RECORDS), path)
        assert load(path).to_bytes() == index(RECORDS).to_bytes()
    assert os.readlink(tmp_path / "current.idx") == "real/v1.idx"
    assert sorted(os.listdir(tmp_path / "real")) == ["v1.idx", "v2.idx"]
    assert sorted(os.listdir(tmp_path)) == sorted(["current.idx", "dangling.idx", longest.name, "real"])


def test_only_regular_files_are_read(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    for path in (tmp_path / "fifo", "/dev/zero", "/dev/null"):
        with pytest.raises(ValueError, match=f"^{path}: not a regular file"):
            load(path)
    with pytest.raises(IsADirectoryError):
        load(tmp_path)


TERM = st.text("abé日😀", min_size=1, max_size=4)
VIDEO = st.sampled_from([st.integers(0, 2**32 - 1), st.integers(0, 9).map(lambda v: uuid.UUID(int=v + 1))])


@settings(max_examples=100, deadline=None)
@given(records=VIDEO.flatmap(lambda video: st.lists(st.tuples(TERM, video, st.integers(0, 300)), max_size=20)),
       top_n=st.integers(0, 4))
# 300 videos for one term: propagated payloads list 300 videos, beyond the
# lengths written in one byte.
@example(records=[(f"w{i % 7}", i, i + 1) for i in range(300)] + [("w", 70000, 2**20)], top_n=1000)
def test_counts_of_an_index_match_its_arrays(records, top_n):
    arrays = tessaloom.build_arrays(records, top_n)
    kind = "integer" if arrays.video_index and len(arrays.video_index[0]) == 4 else "uuid"
    expected = (len(arrays.child_labels), sum(p is not None for p in arrays.payloads), len(arrays.video_index), kind)
    assert index_counts(PrefixSearch.from_internal_data_v2(*arrays)) == expected
    assert index_counts(build_index(records, top_n)) == expected
    with pytest.raises(TypeError, match="index must be a PrefixSearch, not bytes"):
        index_counts(b"")


@pytest.mark.parametrize("text, expected", [
    ("MP3 Crème-Brûlée", ["mp3", "crème", "brûlée"]),
    ("ΣΊΣΥΦΟΣ ὈΔΥΣΣΕΎΣ", ["σίσυφοσ", "ὀδυσσεύσ"]),  # casefold: final sigma folds to σ
    ("東京タワー、ｶﾀｶﾅ", ["東京タワー", "カタカナ"]),  # NFKC: half-width katakana to full width
    ("ＡＢＣ１２３ ﬁne ² Ⅻ straße", ["abc123", "fine", "2", "xii", "strasse"]),
    ("हिन्दी फिल्म_x", ["हिन्दी", "फिल्म", "x"]),  # combining vowel signs and virama stay in the word
])
def test_terms_rule(text, expected):
    assert terms(text) == expected


def reference_terms(text):
    """The rule, one character at a time."""
    found, run = [], []
    for ch in unicodedata.normalize("NFKC", text).casefold() + " ":
        if unicodedata.category(ch)[0] in "LNM":
            run.append(ch)
        elif run:
            found.append("".join(run))
            run = []
    return found


def test_terms_are_runs_of_letters_numbers_and_marks():
    # Every code point of this CPython's Unicode tables, alone between blanks
    # and side by side; and all of ASCII, which takes a shorter route.
    chars = [chr(c) for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF]
    for text in (" ".join(chars), "".join(chars), "".join(map(chr, range(128)))):
        assert terms(text) == reference_terms(text)
