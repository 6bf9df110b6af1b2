"""Indexes from texts: the native route (build_texts, the command line's
build) against terms() and build_index, the native catalogue reader against
the Python reader, and titles in index files."""

import random
import uuid
from collections import Counter

import pytest
from conftest import raises_exactly
from test_cli import cli

import tessaloom
from tessaloom import TitledIndex, build_index, build_texts, load, load_titled, save, terms
from tessaloom.catalogue import Catalogue
from tessaloom.titles import decode_titles, encode_titles, title_of

# Letters with combining marks, non-BMP letters, digits of other scripts,
# "_", compatibility forms NFKC changes (ligatures, superscripts, full-width
# letters, Roman numerals), case folds that change length, separators.
ALPHABET = list("aZ09_-., \t\n\r'\"éEßſİıΣσς") + [
    "\u0301", "\u0308", "\u0345", "\u093f", "\u094d", "\u0939", "\u09cd", "\u0bcd", "\u0e31",  # marks
    "\U00010428", "\U00010400", "\U0001d7ce", "\U0001d41a", "\U00020000",  # outside the BMP
    "\u0966", "\u0967", "\u0e51", "\u0661", "\u2167", "\u2460", "\u00b2", "\u00bd",  # numbers
    "\ufb01", "\uff21", "\uff41", "\u3392", "\u2126", "\u212b", "\u1e9e", "\u1100", "\u1161", "\u11a8",
    "\u00a0", "\u2028", "\u3000", "\u200b", "\u2014", "\U0001f600", "\x1c", "\x85",
]


def random_text(rng, n):
    out = []
    for _ in range(n):
        if rng.random() < 0.8:
            out.append(rng.choice(ALPHABET))
        else:  # any scalar value
            c = rng.randrange(0x110000 - 0x800)
            out.append(chr(c + 0x800 if c >= 0xD800 else c))
    return "".join(out)


def reference(entries, video_top_n=100):
    return build_index([(t, v, c) for v, text in entries for t, c in Counter(terms(text)).items()], video_top_n)


def test_unicode_terms_equal_terms(tmp_path):
    # On every CPython: the character table comes from the interpreter the
    # package was built for, the normalising and folding from the running one.
    rng = random.Random(20231)
    for round_ in range(150):
        entries = [(rng.randrange(12), random_text(rng, rng.randrange(30))) for _ in range(rng.randrange(1, 25))]
        entries.append((99, "anchor"))  # never an index without terms
        want = reference(entries, 1 + round_ % 4).to_bytes()
        assert build_texts(entries, 1 + round_ % 4).to_bytes() == want, entries
        # The same texts as a TSV catalogue: read natively or by the Python
        # reader, the same index.
        if all("\t" not in t and "\n" not in t and "\r" not in t for _, t in entries):
            path = tmp_path / "c.tsv"
            path.write_text("".join(f"{v}\t{t}\n" for v, t in entries), encoding="utf-8")
            built = tessaloom.texts.build_catalogue(path.read_bytes(), "tsv", 1 + round_ % 4)
            if built is not None:
                assert built.index.to_bytes() == want


@pytest.mark.parametrize("entries, exc, message", [
    ([(1, "a"), "ab"], TypeError, "entry 1: entry must be a (video id, text) pair, got str"),
    ([(1, "a", 2)], TypeError, "entry 0: entry must be a (video id, text) pair, got 3 items"),
    ([(1, b"a")], TypeError, "entry 0: text must be a str, got bytes"),
    ([(1.0, "a")], TypeError, "entry 0: video id must be a uuid.UUID, 16 bytes or an integer, got float"),
    ([(True, "a")], TypeError, "entry 0: video id must be a uuid.UUID, 16 bytes or an integer, got bool"),
    ([(2**32, "a")], ValueError, "entry 0: video id must be an integer in 0..4294967295, got 4294967296"),
    ([(b"short", "a")], ValueError, "entry 0: video id must be 16 bytes long, got 5 bytes"),
    ([(1, "a"), (uuid.UUID(int=1), "")], ValueError,
     "entry 1: video id is a UUID, but the ids before it are not: video ids must be all UUIDs or all integers"),
])
def test_refusals_name_the_entry(entries, exc, message):
    raises_exactly(exc, message, build_texts, entries)


def test_titles_equal_title_of():
    rng = random.Random(5)
    texts = [random_text(rng, rng.randrange(400)) for _ in range(300)]
    texts += ["  \n  Sourdough bread \r\nfor beginners", "x" * 199 + " yz", "x" * 199 + "   \nz", "a\u2028b", " \n\t",
              "\u2028a\x1cb", "a\x1fb \xa0", "x" * 250, "\xe9" * 250]
    titled = build_texts(list(enumerate(texts)), titles=True)
    assert dict(titled.titles) == {k: title_of(t) for k, t in enumerate(texts) if title_of(t)}
    # A video's first text with a title gives it.
    assert build_texts([(1, " "), (1, "first"), (1, "second")], titles=True).titles == {1: "first"}
    with pytest.raises(ValueError, match="entry 0: text holds a lone surrogate"):
        build_texts([(1, "a\ud800é")], titles=True)
    assert build_texts([(1, "a\ud800é")]).to_bytes() == reference([(1, "a\ud800é")]).to_bytes()


def test_titles_in_index_files(tmp_path):
    u = uuid.UUID("7d9f2c1e-0000-4000-8000-000000000001")
    index = build_texts([(u, "Crème brûlée"), (uuid.UUID(int=2), "the easy way")])
    path = tmp_path / "t.idx"
    save(index, path, titles={str(u).upper(): "Crème brûlée\nsecond line", uuid.UUID(int=2): "   "})
    titled = load_titled(path)
    assert titled.titles == {str(u): "Crème brûlée"}
    assert titled.title(u) == titled.title(str(u)) == "Crème brûlée" and titled.title(3) is None
    assert load(path).to_bytes() == index.to_bytes()
    assert titled.search("crme brule") == [tessaloom.TitledHit(str(u), *tessaloom.search(index, "crme brule")[0][1:],
                                                               "Crème brûlée")]
    # The checksum covers the titles: one changed byte in them is refused.
    data = bytearray(path.read_bytes())
    data[len(index.to_bytes()) + 30] ^= 1
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="checksum mismatch"):
        load(path)
    # Without titles, version 1 as before, and no titles.
    save(index, path)
    assert path.read_bytes()[-24] == 1 and load_titled(path).titles == {}


@pytest.mark.parametrize("titles, exc, message", [
    ({1: "a", "2": "b", uuid.UUID(int=3): "c"}, ValueError, "the keys of titles must be all integer ids or all "
                                                           "UUIDs, not a mixture"),
    ({1: "a", "1": "b"}, ValueError, "two keys of titles name video 1"),
    ({1: 5}, TypeError, "the title of video 1 must be a str, not int"),
    # Video ids, in the words titles have always used.
    ({-1: "a"}, ValueError, "an integer video id must be in 0..4294967295, got -1"),
    ({"x": "a"}, ValueError, "a video id must be an integer or a UUID, got 'x'"),
    ({True: "a"}, TypeError, "a video id must be an integer or a UUID, not bool"),
    ({b"short": "a"}, TypeError, "a video id must be an int, a uuid.UUID or their text, not bytes"),
    ({1.0: "a"}, TypeError, "a video id must be an int, a uuid.UUID or their text, not float"),
    ([(1, "a")], TypeError, "titles must be a mapping of video id to text, not list"),
    # Keys of the other kind than the index's ids (integers here) could never meet a hit.
    ({str(uuid.UUID(int=1)): "a"}, ValueError, "the keys of titles are UUIDs, but the index's video ids are integers"),
])
def test_bad_titles_are_refused(tmp_path, titles, exc, message):
    path = tmp_path / "t.idx"
    raises_exactly(exc, message, save, build_texts([(1, "a")]), path, titles=titles)
    assert not path.exists()


def test_titles_must_be_keyed_by_the_index_s_kind_of_id(tmp_path):
    by_uuid = build_texts([(uuid.UUID(int=1), "a")])
    message = "the keys of titles are integer ids, but the index's video ids are UUIDs"
    raises_exactly(ValueError, message, save, by_uuid, tmp_path / "t.idx", titles={1: "a"})
    raises_exactly(ValueError, message, TitledIndex, by_uuid, {1: "a"})
    assert not (tmp_path / "t.idx").exists()
    # An index without videos has no kind to miss; empty titles fit any index.
    for index, titles in ((build_texts([]), {1: "a"}), (build_texts([]), {uuid.UUID(int=1): "a"}), (by_uuid, {})):
        save(index, tmp_path / "t.idx", titles=titles)
        assert load_titled(tmp_path / "t.idx").titles == TitledIndex(index, titles).titles


def test_titles_section_decoding_refuses_damage():
    section = encode_titles({5: "five", 7: "seven"})
    assert decode_titles(section) == {5: "five", 7: "seven"}
    swapped = section[:8] + section[20:] + section[8:20]
    for bad, why in [(section[:-1], "wrong length"), (section + b"x", "follow the titles"),
                     (swapped, "ascending"), (section[:12] + b"\xff" + section[13:], "wrong length"),
                     (b"\xff\xff\xff\x7f" + section[4:], "more than its bytes hold")]:
        with pytest.raises(ValueError, match=why):
            decode_titles(bad)


def test_cli_build_by_the_python_reader_keeps_titles(tmp_path):
    # " 0": a good id that only the Python reader takes. (The README's session
    # builds natively and shows info's titles line.)
    texts = ["Sourdough bread, part 1\nfor beginners", "Crème brûlée", "हिन्दी फिल्म", "the mp3 tags"]
    source = tmp_path / "slow.csv"
    source.write_text("id,text\n" + "".join(f' {k},"{t}"\n' for k, t in enumerate(texts)), encoding="utf-8")
    status, out, err = cli("build", source, "-o", tmp_path / "i.idx", cwd=tmp_path)
    assert status == 0 and out.endswith(f" from 4 rows of {source}\n"), err
    titled = load_titled(tmp_path / "i.idx")
    assert titled.index.to_bytes() == reference(list(enumerate(texts))).to_bytes()
    assert titled.titles == {0: "Sourdough bread, part 1", 1: "Crème brûlée", 2: "हिन्दी फिल्म", 3: "the mp3 tags"}
    assert cli("build", source, "-o", tmp_path / "n.idx", "--no-titles", cwd=tmp_path)[0] == 0
    assert load_titled(tmp_path / "n.idx").titles == {}
    assert "titles:   none" in cli("info", tmp_path / "n.idx", cwd=tmp_path)[1].splitlines()


def test_native_reader_random_files(tmp_path):
    # Random small files of the characters that matter to the line rules:
    # whatever file the native route takes, the Python reader reads without
    # a bad line, into the same rows, index and titles.
    rng = random.Random(7)
    pieces = [b"1", b"22", b"a", b" ", b",", b"\t", b'"', b'""', b"\r", b"\n", b"\r\n", "é".encode(), b"\xff",
              b"id", b"text", b"\x00", b"7d9f2c1e-0000-4000-8000-000000000001"]
    for fmt in ("tsv", "csv"):
        path = tmp_path / f"c.{fmt}"
        for _ in range(500):
            data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(14)))
            built = tessaloom.texts.build_catalogue(data, fmt, titles=True)
            if built is None:
                continue
            path.write_bytes(data)
            entries = list(Catalogue(str(path), fmt).entries())
            assert built.rows == len(entries), data
            assert built.index.to_bytes() == reference(entries).to_bytes(), data
            titles = {}
            for video, text in entries:
                if title_of(text):
                    titles.setdefault(video, title_of(text))
            assert TitledIndex._from_section(built.index, built.titles).titles == titles, data
