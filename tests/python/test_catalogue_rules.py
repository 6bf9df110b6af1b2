"""The catalogue line rules, as one table run against every reader of
catalogue files (a route: a function from a file to its records and skipped
lines). Each case gives a file's bytes, and either the rows it holds with the
lines skipped under skip_bad, or the first bad line that stops a strict read.

Lines end at "\\n" and an "\\r" before it is dropped; line numbers count
"\\n" only. TSV splits at the first tab, without quoting. CSV is RFC 4180:
quoted fields hold commas, doubled quotes, line breaks and CR as text; an
"\\r" outside quotes makes the row bad; a parse never resumes inside a quoted
field; an unclosed quote names the line where it opened. In JSON Lines "\\r"
is whitespace. Only a good line decides the kind of the ids."""

import uuid
from collections import Counter

import pytest

from tessaloom import _native, terms
from tessaloom.catalogue import BadLine, Catalogue, parse_video_id
from tessaloom.texts import build_catalogue

U1, U2 = uuid.UUID(int=1), uuid.UUID(int=2)
UX = uuid.UUID("7d9f2c1e-0000-4000-8000-0000000000ab")


def python_route(path, fmt, records, skip_bad):
    """(records, [(line, reason)] skipped) through tessaloom.catalogue."""
    skipped = []
    catalogue = Catalogue(str(path), fmt, records=records, skip_bad=skip_bad,
                          on_bad=lambda bad: skipped.append((bad.line, bad.reason)))
    return list(catalogue.records()), skipped


def native_route(path, fmt, records, skip_bad):
    """The command line's route: the native reader takes the whole file, or
    the Python reader reads it."""
    data = path.read_bytes()
    if records or fmt == "jsonl" or build_catalogue(data, fmt) is None:
        return python_route(path, fmt, records, skip_bad)
    rows = [(parse_video_id(i), t) for _, i, t in _native.catalogue_rows(data, fmt)]
    return [(t, v, c) for v, text in rows for t, c in Counter(terms(text)).items()], []


ROUTES = {"python": python_route, "native": native_route}

LONG = "w" * 200_000  # past the csv module's field limit of 131,072 characters

# (name, format, file bytes, rows (video, text) or records, skipped [(line, reason start)], strict failure)
# A strict failure of None: the file reads the same without skip_bad.
CASES = [
    # Line ends.
    ("tsv lone CR is text", "tsv", b"1\tcooking show\r99\tinjected words\n",
     [(1, "cooking show\r99\tinjected words")], [], None),
    ("tsv CRLF", "tsv", b"1\ta b\r\n2\tc\r\n", [(1, "a b"), (2, "c")], [], None),
    ("tsv last line without LF", "tsv", b"1\ta\n2\tb\r", [(1, "a"), (2, "b")], [], None),
    ("line numbers count LF only", "tsv", b"1\ta\r2\tb\nno tab\n3\tc\n", [(1, "a\r2\tb"), (3, "c")],
     [(2, "expected 2 fields")], (2, "expected 2 fields")),
    ("tsv splits at the first tab, no quoting", "tsv", b'1\t"a\tb\n2\t"c""\n', [(1, '"a\tb'), (2, '"c""')], [],
     None),
    ("tsv BOM and header", "tsv", b"\xef\xbb\xbfID\tText\r\n1\ta\n", [(1, "a")], [], None),
    ("tsv not UTF-8", "tsv", b"1\t\xff\n2\tb\n", [(2, "b")], [(1, "not valid UTF-8")], (1, "not valid UTF-8")),
    ("blank lines", "tsv", b"\n \r\n1\ta\n\r\n", [(1, "a")], [], None),
    # CSV.
    ("csv quoting", "csv", b'id,text\n1,"a, ""b"""\n2,12" single\n', [(1, 'a, "b"'), (2, '12" single')], [], None),
    ("csv line breaks and CR inside quotes", "csv", b'1,"one\r\ntwo\rthree\n"\n2,x\nno comma\n',
     [(1, "one\r\ntwo\rthree\n"), (2, "x")], [(5, "expected 2 fields")], (5, "expected 2 fields")),
    ("csv UUID forms", "csv", f"{U1},a\n{UX.hex.upper()},b\n{{{U1}}},c\n".encode(), [(U1, "a"), (UX, "b"), (U1, "c")],
     [], None),
    ("csv CRLF", "csv", b'1,a\r\n2,"b"\r\n', [(1, "a"), (2, "b")], [], None),
    ("csv CR outside quotes", "csv", b'1,a\rb\n2,"c"\rx\n3,d\n', [(3, "d")],
     [(1, "not valid CSV: a CR outside quotes"), (2, "not valid CSV: text after a closing quote")],
     (1, "not valid CSV: a CR outside quotes")),
    ("csv bad row read to its end, never resumed inside quotes", "csv", b'1,"a"x,"b\n9,fake"\n4,real\n',
     [(4, "real")], [(1, "not valid CSV: text after a closing quote")], (1, "not valid CSV")),
    ("csv field past the csv module's limit", "csv", f'1,"{LONG}"\n2,"{LONG}"\n'.encode(),
     [(1, LONG), (2, LONG)], [], None),
    ("csv unclosed quote names the line it opened on", "csv", b'1,a\n2,"x\n",\n3,"open\n4,c\n5,d\n',
     [(1, "a")], [(2, "expected 2 fields"), (4, "not valid CSV: the quoted field that opens on this line")],
     (2, "expected 2 fields")),
    ("csv unclosed quote on a row's first line", "csv", b'1,a\n2,"open\n', [(1, "a")],
     [(2, "not valid CSV: the quoted field that opens on this line is never closed")], (2, "not valid CSV")),
    ("csv not UTF-8 inside a quoted field", "csv", b'1,"a\n\xff"\n2,b\n', [(2, "b")], [(1, "not valid UTF-8")],
     (1, "not valid UTF-8")),
    # JSON Lines.
    ("jsonl CR is whitespace", "jsonl", b'{"id": 1,\r"text": "a"}\r\n', [(1, "a")], [], None),
    ("jsonl lone CR does not end a line", "jsonl", b'{"id": 1, "text": "a"}\r{"id": 2, "text": "b"}\n',
     [], [(1, "not valid JSON")], (1, "not valid JSON")),
    # Id kinds: a refused line decides nothing.
    ("jsonl refused line does not fix the id kind", "jsonl",
     f'{{"id": 5, "text": 3}}\n{{"id": "{U1}", "text": "a"}}\n{{"id": 6, "text": "b"}}\n'.encode(),
     [(U1, "a")], [(1, "text must be a string"), (3, "video id is an integer, but the first id (line 2)")],
     (1, "text must be a string")),
    ("records refused line does not fix the id kind", "records", f"cat\t5\t-1\ndog\t{U2}\t1\n".encode(),
     [("dog", U2, 1)], [(1, "count must be an integer")], (1, "count must be an integer")),
    ("records total past 2**32-1 is a bad line", "records", b"cat\t1\t4294967295\ncat\t2\t1\ndog\t3\t1\n",
     [("cat", 1, 2**32 - 1), ("dog", 3, 1)], [(2, "count 1 takes the total count of term 'cat' past 2**32-1")],
     "builder"),
]


def as_records(rows):
    if rows and len(rows[0]) == 3:
        return rows
    return [(t, video, c) for video, text in rows for t, c in Counter(terms(text)).items()]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name, fmt, data, rows, skipped, strict", CASES, ids=[c[0] for c in CASES])
def test_catalogue_line_rules(tmp_path, route, name, fmt, data, rows, skipped, strict):
    path = tmp_path / f"cat.{'tsv' if fmt == 'records' else fmt}"
    path.write_bytes(data)
    read = ROUTES[route]
    kind = "tsv" if fmt == "records" else fmt
    got, got_skipped = read(path, kind, fmt == "records", True)
    assert got == as_records(rows)
    assert len(got_skipped) == len(skipped)
    for (line, reason), (want_line, want_start) in zip(got_skipped, skipped):
        assert line == want_line and reason.startswith(want_start), (line, reason)
    if strict == "builder":  # the strict read leaves this refusal to the builder
        return
    if strict is None:
        assert read(path, kind, fmt == "records", False) == (got, [])
        return
    with pytest.raises(BadLine) as e:
        read(path, kind, fmt == "records", False)
    assert (e.value.line, e.value.reason[: len(strict[1])]) == strict
