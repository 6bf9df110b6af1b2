"""tessaloom.search and search_many against the plain reference of the same
ranking (search_reference.py) on random small catalogues: every hit, score
(bit for bit) and order."""

import random
import uuid

import pytest
from conftest import raises_exactly
from search_reference import Reference, osa
from search_reference import query_words as reference_words
from shapes import ladder

import tessaloom
from tessaloom import PrefixSearch, search, search_many
from tessaloom.catalogue import text_records
from tessaloom.searching import query_words, word_budget

ALPHABETS = ["abc", "abcde", "aéü€😀"]


def catalogue(rng, alphabet, size, uuids=False):
    items = []
    for i in range(size):
        words = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 9))) for _ in range(rng.randint(1, 5))]
        video = uuid.UUID(int=rng.getrandbits(128)) if uuids else rng.randrange(10_000)
        items.append((video, " ".join(words)))
    return items


def typed(rng, alphabet, items):
    """A query like a person's: words of an item, with swaps, typos, cuts,
    repeats, and sometimes a separator at the end."""
    words = rng.choice(items)[1].split()
    words = rng.sample(words, rng.randint(1, len(words))) + rng.choice([[], [words[0]]])
    out = []
    for w in words:
        w = list(w)
        kind = rng.randrange(5)
        if kind == 0 and len(w) > 1:
            i = rng.randrange(len(w) - 1)
            w[i], w[i + 1] = w[i + 1], w[i]
        elif kind == 1:
            w[rng.randrange(len(w))] = rng.choice(alphabet)
        elif kind == 2 and len(w) > 2:
            w = w[: -rng.randint(1, 2)]
        out.append("".join(w))
    return " ".join(out) + rng.choice(["", "", " ", "-"])


@pytest.mark.parametrize("seed", range(12))
def test_random_catalogues_agree_with_the_reference(seed):
    rng = random.Random(seed)
    alphabet = ALPHABETS[seed % 3]
    items = catalogue(rng, alphabet, rng.randint(1, 40), uuids=seed % 4 == 3)
    top_n = rng.choice([1, 3, 100])
    index = tessaloom.build_index((r for v, t in items for r in text_records(v, t)), top_n)
    ref = Reference(index)
    texts = [typed(rng, alphabet, items) for _ in range(25)]
    for text in texts:
        options = rng.choice([{}, {"max_dist": rng.randint(0, 3)}, {"prefix": False}, {"transpositions": False}])
        limit = rng.choice([0, 1, 5, 1000])
        got = search(index, text, limit, **options)
        assert [tuple(h) for h in got] == ref.search(text, limit, **options), (text, options, limit)
        assert all(type(h) is tessaloom.Hit and hash(h) == hash(tuple(h)) for h in got)
    many = search_many(index, texts, 1000, workers=3)
    assert many == [search(index, t, 1000) for t in texts]


def test_typed_text_rules():
    index = tessaloom.build_index([("python", 1, 1), ("pythons", 2, 1), ("network", 3, 1), ("net", 4, 1)])
    table = [
        ("pyhton", {}, {1, 2}),  # a swap is one edit: whole word 1, prefix of "pythons" 2
        ("pyhton", {"transpositions": False}, set()),
        ("pyth", {}, {1, 2}),  # the last word is a prefix
        ("pyth ", {}, set()),  # ...unless a separator ends the text
        ("pyth", {"prefix": False}, set()),
        ("net", {}, {3, 4}),
        ("net.", {}, {4}),
        ("nte", {}, set()),  # three characters: no typo allowed
        ("nte", {"max_dist": 1}, {3, 4}),
        ("", {}, set()),
        ("!?", {}, set()),
    ]
    for text, options, videos in table:
        assert {h.video for h in search(index, text, **options)} == videos, (text, options)


def test_query_words_agree_with_splitting_the_whole_text():
    # Pieces that fold, compose, join or separate under NFKC and casefolding.
    pieces = ["ab", "X", "é", "e\u0301", "\u0301", "ß", "ﬁ", "Ⅻ", "_", " ", "-", "x", "가", "\u1100", "\u1161", "😀",
              "\ud800"]
    rng = random.Random(3)
    for n in list(range(12)) * 40:
        # Texts past 16,384 characters are split piece by piece.
        text = rng.choice(["", "", "", "", "", "", "", "ab x-" * 3300]) + "".join(rng.choice(pieces) for _ in range(n))
        for prefix in (True, False):
            words, open_end = query_words(text, prefix)
            assert [(w, open_end and i == len(words) - 1) for i, w in enumerate(words)] == reference_words(
                text, prefix), text


def test_word_budget_counts_characters():
    table = [("", None, 0), ("abc", None, 0), ("abcd", None, 1), ("abcdefg", None, 1), ("abcdefgh", None, 2),
             ("é€😀x", None, 1), ("a" * 100, None, 2), ("abcdefgh", 0, 0), ("a", 3, 3)]
    assert [word_budget(w, d) for w, d, _ in table] == [b for _, _, b in table]
    raises_exactly(ValueError, "max_dist must be None or an integer from 0 to 3", word_budget, "a", 4)


def test_ranking_orders():
    # Video 1 has both words; 2 only one of them. An exact match beats a
    # typo, a whole word beats a prefix, a rare term beats a common one.
    records = [("red", 1, 1), ("car", 1, 1), ("red", 2, 1), ("cart", 3, 1), ("care", 4, 1)]
    records += [("common", v, 1) for v in range(5, 30)] + [("rare", 30, 1), ("common", 30, 1), ("rare", 31, 1)]
    index = tessaloom.build_index(records)
    hits = search(index, "red car")
    assert [h.video for h in hits[:2]] == [1, 2] and hits[0].words == 2
    assert search(index, "car", prefix=True)[0].video == 1  # whole word first
    assert [h.video for h in search(index, "cxr", max_dist=1)][:1] == [1]
    # "rare" is rarer than "commom" (a typo's prefix): video 30 and 31 lead.
    assert {h.video for h in search(index, "rare common")[:1]} == {30}
    assert search(index, "zzz common")[0].words == 1
    assert all(isinstance(h.score, float) for h in hits)


def test_titled_index_and_bad_arguments(small_index):
    class Titled:
        index = small_index

    assert search(Titled(), "cat") == search(small_index, "cat") != []
    table = [
        (TypeError, "index must be a PrefixSearch or a TitledIndex, not str", ("x", "cat"), {}),
        (TypeError, "text must be a str, not bytes", (small_index, b"cat"), {}),
        (TypeError, "limit must be a non-negative integer, not float", (small_index, "cat", 1.0), {}),
        (ValueError, "limit must be a non-negative integer, got -1", (small_index, "cat", -1), {}),
        (ValueError, "max_dist must be None or an integer from 0 to 3, got 4", (small_index, "cat"), {"max_dist": 4}),
        (TypeError, "prefix must be True or False, not int", (small_index, "cat"), {"prefix": 1}),
        (ValueError, "text has more than 32 distinct words; search takes at most 32",
         (small_index, " ".join(f"w{i}" for i in range(33))), {}),
    ]
    for exc, message, args, kwargs in table:
        raises_exactly(exc, message, search, *args, **kwargs)
    raises_exactly(ValueError, "workers must be None or a positive integer, got 0", search_many, small_index, ["a"],
                   workers=0)
    raises_exactly(TypeError, "texts[1] must be a str, not int", search_many, small_index, ["a", 1])
    raises_exactly(TypeError, "texts must be an iterable of str, not a str", search_many, small_index, "cat")
    # Texts are checked in order, whichever the failure.
    too_many = " ".join(f"w{i}" for i in range(33))
    raises_exactly(ValueError, "texts[1]: text has more than 32 distinct words; search takes at most 32", search_many,
                   small_index, ["a", too_many, 1])
    raises_exactly(TypeError, "texts[1] must be a str, not bytes", search_many, small_index, ["a", b"a", too_many])
    assert search_many(small_index, []) == []


def test_damaged_index_raises_panic_and_stays_usable():
    index = PrefixSearch.from_internal_data_v2(*ladder(40))  # 2**40 paths
    with pytest.raises(tessaloom.PanicException):
        search_many(index, ["a", "a" * 40], max_dist=3)
    assert search(index, "b") == []


def test_long_text_is_answered_or_refused_quickly():
    index = tessaloom.build_index([("word", 1, 1)])
    assert search(index, "wordd" * 200_000)[:1] == []  # one word of a million characters
    with pytest.raises(ValueError):
        search(index, " ".join(str(i) for i in range(100_000)))
    assert osa("pyhton", "python") == 1
