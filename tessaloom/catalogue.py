"""Catalogue files and the one route from their records to an index.

A catalogue lists videos with their text: TSV or CSV rows of (video id,
text), or JSON Lines objects with ``id`` and ``text`` fields. A records file
is TSV of (term, video id, count), for terms that were made elsewhere. Video
ids are UUID text or integers 0..2**32-1, all of one kind per file. Texts
become terms through ``tessaloom.terms``.
"""

from __future__ import annotations

import codecs
import io
import json
import uuid
from collections import Counter
from collections.abc import Callable, Iterator
from typing import BinaryIO, Optional

from tessaloom import video_ids
from tessaloom._native import build_index
from tessaloom._tessaloom import PrefixSearch
from tessaloom.text import terms
from tessaloom.video_ids import U32_MAX, VideoId
from tessaloom.video_ids import shown as _short

FORMATS = ("tsv", "csv", "jsonl")
Progress = Callable[[str, int], None]
STDIN = "-"  # the path that reads the catalogue from standard input
STDIN_NAME = "<stdin>"  # how errors name standard input
_HEADERS = {False: (("id", "text"),), True: (("term", "id", "count"), ("term", "video", "count"))}


# The command line's default video_top_n: every video kept at every node, so
# that a common word still finds all its videos (see the README's "Choosing
# parameters").
ALL_VIDEOS = 2**64 - 1


def build(records, video_top_n: int = ALL_VIDEOS, progress: Optional[Progress] = None) -> PrefixSearch:
    """Build an index from (term, video id, count) records: the one way the
    command line and the demo build. ``progress``, when given, is called with
    a phase name and a count (see ``tessaloom.build_index``)."""
    return build_index(records, video_top_n, progress)


class BadLine(ValueError):
    """A line of a catalogue that cannot be read: its file, number and why."""

    def __init__(self, path: str, line: int, reason: str):
        super().__init__(f"{path}:{line}: {reason}")
        self.path, self.line, self.reason = path, line, reason


def format_of(path: str) -> Optional[str]:
    """The catalogue format its file name's extension gives, if any."""
    suffix = path.rsplit(".", 1)[-1].lower() if "." in path else ""
    return suffix if suffix in FORMATS else None


def parse_video_id(value: object) -> VideoId:
    """A video id from catalogue text or a JSON value: decimal digits are an
    integer id, anything else must be a UUID."""
    if isinstance(value, (str, int)) and not isinstance(value, bool):
        return video_ids.parse(value, video_ids.CATALOGUE)
    raise video_ids.refused(video_ids.CATALOGUE, video_ids.KIND, value)


class Catalogue:
    """Reads one catalogue (or records) file as (term, video id, count)
    records, with line numbers for its errors.

    Lines end at "\\n"; an "\\r" before it is dropped, and line numbers count
    "\\n" only. A TSV row splits at its first tab (a records row at every
    tab), with no quoting: any other "\\r" is text. CSV follows RFC 4180:
    a quoted field may hold commas, doubled quotes, line breaks and "\\r" as
    text, and may be as long as the file; an "\\r" outside quotes, or text
    after a closing quote, makes the row bad. A bad row is always read to
    its end, so reading never resumes inside a quoted field; a quote left
    open at the end of the file is an error naming the line where it opened.
    In JSON Lines an "\\r" is whitespace.

    A bad line raises BadLine, unless ``skip_bad`` is set: then it is counted
    in ``bad`` and passed to ``on_bad``, and reading goes on. Only a good line
    decides the kind of the video ids. ``line`` is the line of the row read
    last: the row whose records the reader consumed last.
    """

    def __init__(self, path: str, fmt: str, *, records: bool = False, skip_bad: bool = False,
                 on_bad: Optional[Callable[[BadLine], None]] = None):
        if fmt not in FORMATS:
            raise ValueError(f"unknown catalogue format {fmt!r}; known: {', '.join(FORMATS)}")
        if records and fmt != "tsv":
            raise ValueError("a records file is TSV")
        self.source = path
        self.path = STDIN_NAME if path == STDIN else path  # the name in messages
        self.format, self.is_records = fmt, records
        self.skip_bad, self.on_bad = skip_bad, on_bad
        self.lines = self.rows = self.bad = 0  # lines read, rows taken, bad lines skipped
        self.line = 0
        self._kind: Optional[tuple[type, int]] = None  # the first good line's id kind and line
        # Under skip_bad, a records line whose count would take its term's
        # total past 2**32-1 is skipped like any bad line, so totals are kept.
        self._totals: Optional[dict[str, int]] = {} if records and skip_bad else None
        self._data: Optional[bytes] = None

    def records(self) -> Iterator[tuple[str, VideoId, int]]:
        """The file's records, read as they are consumed."""
        if self.is_records:
            return self._parsed()
        return (record for video, text in self._parsed() for record in text_records(video, text))

    def entries(self) -> Iterator[tuple[VideoId, str]]:
        """The (video id, text) rows of a catalogue, read as they are consumed."""
        if self.is_records:
            raise ValueError("a records file has no texts")
        return self._parsed()

    def read_all(self) -> bytes:
        """The whole file's bytes, read now. Reading the rows afterwards reads
        these bytes again, so that standard input too can be read twice."""
        if self._data is None:
            with self._open() as f:
                self._data = f.read()
        return self._data

    def _open(self) -> BinaryIO:
        if self._data is not None:
            return io.BytesIO(self._data)
        if self.source == STDIN:
            return open(0, "rb", closefd=False)
        return open(self.source, "rb")

    def _parsed(self) -> Iterator[tuple]:
        with self._open() as f:
            for line, fields in self._rows(self._lines(f)):
                try:
                    parsed = self._parse(line, fields)
                except BadLine as bad:
                    self._skip(bad)
                    continue
                self.rows += 1
                self.line = line
                yield parsed

    def _lines(self, f: BinaryIO) -> Iterator[tuple[int, str, bool]]:
        """(number, text, whether it is UTF-8) of each line, without its "\\n".
        Bytes that are not UTF-8 are kept as lone surrogates, so that the
        line's quotes and separators stay where they are."""
        for number, raw in enumerate(f, 1):
            self.lines = number
            if number == 1 and raw.startswith(codecs.BOM_UTF8):
                raw = raw[len(codecs.BOM_UTF8):]
            if raw.endswith(b"\n"):
                raw = raw[:-1]
            try:
                yield number, raw.decode("utf-8"), True
            except UnicodeDecodeError:
                yield number, raw.decode("utf-8", "surrogateescape"), False

    def _rows(self, lines: Iterator[tuple[int, str, bool]]) -> Iterator[tuple[int, list]]:
        """(line number, fields) of every non-blank line but a header."""
        rows = {"tsv": self._tsv_rows, "csv": self._csv_rows, "jsonl": self._jsonl_rows}[self.format](lines)
        first = True
        for line, fields in rows:
            if first:
                first = False
                names = tuple(str(x).strip().lower() for x in fields)
                if self.format != "jsonl" and names in _HEADERS[self.is_records]:
                    continue
            yield line, fields

    def _tsv_rows(self, lines):
        for number, text, utf8 in lines:
            text = text.removesuffix("\r")
            if not text.strip():
                continue
            if not utf8:
                self._skip(BadLine(self.path, number, "not valid UTF-8"))
                continue
            yield number, text.split("\t") if self.is_records else text.split("\t", 1)

    def _jsonl_rows(self, lines):
        for number, text, utf8 in lines:
            if not text.strip():
                continue
            if not utf8:
                self._skip(BadLine(self.path, number, "not valid UTF-8"))
                continue
            try:
                obj = json.loads(text)
            except (ValueError, RecursionError) as e:
                self._skip(BadLine(self.path, number, f"not valid JSON: {e}"))
                continue
            if not isinstance(obj, dict) or "id" not in obj or "text" not in obj:
                self._skip(BadLine(self.path, number, 'expected an object with "id" and "text" fields'))
                continue
            yield number, [obj["id"], obj["text"]]

    def _csv_rows(self, lines):
        for start, text, utf8 in lines:
            if '"' not in text:  # the common row: no quoting
                text = text.removesuffix("\r")
                problem = None if utf8 else "not valid UTF-8"
                if problem is None and "\r" in text:
                    problem = "not valid CSV: a CR outside quotes"
                fields = text.split(",")
            else:
                fields, problem, where = _csv_record(start, text, utf8, lines)
                if fields is None:  # the file ended inside a quoted field: nothing follows to read
                    self._skip(BadLine(self.path, where, problem))
                    return
            if problem is not None:
                self._skip(BadLine(self.path, start, problem))
            elif "".join(fields).strip():
                yield start, fields

    def _parse(self, line: int, fields: list) -> tuple:
        """A record, or a catalogue's (video id, text), from a row's fields."""
        expected = 3 if self.is_records else 2
        if len(fields) != expected:
            what = "term, video id and count" if self.is_records else "video id and text"
            raise BadLine(self.path, line, f"expected {expected} fields ({what}), got {len(fields)}")
        if self.is_records:
            term, video, count = fields
            term, video, count = self._term(line, term), self._video(line, video), self._count(line, count)
            if self._totals is not None:
                total = self._totals.get(term, 0) + count
                if total > U32_MAX:
                    raise BadLine(self.path, line, f"count {count} takes the total count of term {_short(term)} "
                                                   f"past 2**32-1")
            self._commit_kind(line, video)
            if self._totals is not None:
                self._totals[term] = total
            return term, video, count
        video, text = self._video(line, fields[0]), fields[1]
        if not isinstance(text, str):
            raise BadLine(self.path, line, f"text must be a string, got {_short(text)}")
        self._commit_kind(line, video)
        return video, text

    def _video(self, line: int, value: object) -> VideoId:
        try:
            return parse_video_id(value)
        except ValueError as e:
            raise BadLine(self.path, line, str(e)) from None

    def _commit_kind(self, line: int, video: VideoId) -> None:
        """Checks the id's kind against the first good line's; the last check
        of a line, so that a line refused for any reason decides nothing."""
        kind = type(video)
        if self._kind is None:
            self._kind = (kind, line)
        elif kind is not self._kind[0]:
            names = {int: "an integer", uuid.UUID: "a UUID"}
            raise BadLine(self.path, line, f"video id is {names[kind]}, but the first id (line {self._kind[1]}) "
                                           f"is {names[self._kind[0]]}: ids must be all of one kind")

    def _term(self, line: int, term: str) -> str:
        if not term or "\0" in term:
            raise BadLine(self.path, line, f"a term must be non-empty text without U+0000, got {_short(term)}")
        return term

    def _count(self, line: int, text: str) -> int:
        text = text.strip()
        if not (text.isascii() and text.isdigit() and int(text) <= U32_MAX):
            raise BadLine(self.path, line, f"count must be an integer 0..{U32_MAX}, got {_short(text)}")
        return int(text)

    def _skip(self, bad: BadLine) -> None:
        if not self.skip_bad:
            raise bad
        self.bad += 1
        if self.on_bad is not None:
            self.on_bad(bad)


def text_records(video: VideoId, text: str) -> Iterator[tuple[str, VideoId, int]]:
    """The records of one video's text: each of its terms with the number of
    times it occurs."""
    for term, count in Counter(terms(text)).items():
        yield term, video, count


def _csv_record(start: int, text: str, utf8: bool,
                lines: Iterator[tuple[int, str, bool]]) -> tuple[Optional[list[str]], Optional[str], int]:
    """The fields of the CSV record that begins with ``text`` (line
    ``start``), reading more lines while a quoted field goes on; the first
    problem found, or None; and the line to name for it. The fields are None
    when the file ends inside a quoted field: then the line named is the
    one where its quote opened."""
    fields: list[str] = []
    problem = None if utf8 else "not valid UTF-8"
    number, pos = start, 0
    while True:
        if text.startswith('"', pos):
            opened, parts, pos = number, [], pos + 1
            while True:
                q = text.find('"', pos)
                if q < 0:  # the field goes on, line break included, on the next line
                    parts += (text[pos:], "\n")
                    following = next(lines, None)
                    if following is None:
                        return None, "not valid CSV: the quoted field that opens on this line is never closed", opened
                    number, text, utf8 = following
                    pos = 0
                    if not utf8 and problem is None:
                        problem = "not valid UTF-8"
                elif text.startswith('"', q + 1):  # a doubled quote stands for one
                    parts.append(text[pos : q + 1])
                    pos = q + 2
                else:
                    parts.append(text[pos:q])
                    pos = q + 1
                    break
            fields.append("".join(parts))
            if pos == len(text) or text[pos:] == "\r":
                return fields, problem, start
            if text[pos] == ",":
                pos += 1
                continue
            if problem is None:
                problem = "not valid CSV: text after a closing quote"
            # The rest of the field is read as unquoted text.
            comma = text.find(",", pos)
            if comma < 0:
                return fields, problem, start
            pos = comma + 1
            continue
        comma = text.find(",", pos)
        field = text[pos:] if comma < 0 else text[pos:comma]
        if comma < 0 and field.endswith("\r"):
            field = field[:-1]
        if "\r" in field and problem is None:
            problem = "not valid CSV: a CR outside quotes"
        fields.append(field)
        if comma < 0:
            return fields, problem, start
        pos = comma + 1
