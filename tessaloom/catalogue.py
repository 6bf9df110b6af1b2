"""Catalogue files and the one route from their records to an index.

A catalogue lists videos with their text: TSV or CSV rows of (video id,
text), or JSON Lines objects with ``id`` and ``text`` fields. A records file
is TSV of (term, video id, count), for terms that were made elsewhere. Video
ids are UUID text or integers 0..2**32-1, all of one kind per file. Texts
become terms through ``tessaloom.terms``.
"""

from __future__ import annotations

import csv
import json
import uuid
from collections import Counter
from collections.abc import Callable, Iterator
from typing import Optional, Union

from tessaloom._native import build_index
from tessaloom._tessaloom import PrefixSearch
from tessaloom.text import terms

FORMATS = ("tsv", "csv", "jsonl")
VideoId = Union[int, uuid.UUID]
Progress = Callable[[str, int], None]
_U32_MAX = 0xFFFFFFFF
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
    if isinstance(value, str):
        text = value.strip()
        if text.isascii() and text.isdigit():
            value = int(text)
        else:
            try:
                return uuid.UUID(text)
            except ValueError:
                raise ValueError(f"video id must be a UUID or an integer 0..{_U32_MAX}, got {_short(value)}") from None
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= _U32_MAX:
        return value
    raise ValueError(f"video id must be a UUID or an integer 0..{_U32_MAX}, got {_short(value)}")


def _short(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


class Catalogue:
    """Reads one catalogue (or records) file as (term, video id, count)
    records, with line numbers for its errors.

    A bad line raises BadLine, unless ``skip_bad`` is set: then it is counted
    in ``bad`` and passed to ``on_bad``, and reading goes on.
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
        self._kind: Optional[tuple[type, int]] = None  # the first id's kind and line

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

    def _parsed(self) -> Iterator[tuple]:
        stdin = self.source == STDIN
        with open(0 if stdin else self.source, encoding="utf-8-sig", errors="surrogateescape", newline="",
                  closefd=not stdin) as f:
            for line, fields in self._rows(f):
                try:
                    parsed = self._parse(line, fields)
                except BadLine as bad:
                    self._skip(bad)
                    continue
                self.rows += 1
                yield parsed

    def _rows(self, f) -> Iterator[tuple[int, list]]:
        """(line number, fields) of every non-blank line but a header."""
        rows = {"tsv": self._tsv_rows, "csv": self._csv_rows, "jsonl": self._jsonl_rows}[self.format](f)
        first = True
        for line, fields in rows:
            if first:
                first = False
                if self.format != "jsonl" and tuple(str(x).strip().lower() for x in fields) in _HEADERS[self.is_records]:
                    continue
            yield line, fields

    def _tsv_rows(self, f):
        for self.lines, text in enumerate(f, 1):
            text = text.rstrip("\r\n")
            if not text.strip():
                continue
            if _undecodable(text):
                self._skip(BadLine(self.path, self.lines, "not valid UTF-8"))
                continue
            yield self.lines, text.split("\t") if self.is_records else text.split("\t", 1)

    def _csv_rows(self, f):
        reader = csv.reader(f)
        while True:
            start = reader.line_num + 1
            try:
                row = next(reader)
            except StopIteration:
                return
            except csv.Error as e:
                self._skip(BadLine(self.path, start, f"not valid CSV: {e}"))
                continue
            finally:
                self.lines = reader.line_num
            if not row or not "".join(row).strip():
                continue
            if any(_undecodable(field) for field in row):
                self._skip(BadLine(self.path, start, "not valid UTF-8"))
                continue
            yield start, row

    def _jsonl_rows(self, f):
        for self.lines, text in enumerate(f, 1):
            if not text.strip():
                continue
            if _undecodable(text):
                self._skip(BadLine(self.path, self.lines, "not valid UTF-8"))
                continue
            try:
                obj = json.loads(text)
            except (ValueError, RecursionError) as e:
                self._skip(BadLine(self.path, self.lines, f"not valid JSON: {e}"))
                continue
            if not isinstance(obj, dict) or "id" not in obj or "text" not in obj:
                self._skip(BadLine(self.path, self.lines, 'expected an object with "id" and "text" fields'))
                continue
            yield self.lines, [obj["id"], obj["text"]]

    def _parse(self, line: int, fields: list) -> tuple:
        """A record, or a catalogue's (video id, text), from a row's fields."""
        expected = 3 if self.is_records else 2
        if len(fields) != expected:
            what = "term, video id and count" if self.is_records else "video id and text"
            raise BadLine(self.path, line, f"expected {expected} fields ({what}), got {len(fields)}")
        if self.is_records:
            term, video, count = fields
            return self._term(line, term), self._video(line, video), self._count(line, count)
        video, text = self._video(line, fields[0]), fields[1]
        if not isinstance(text, str):
            raise BadLine(self.path, line, f"text must be a string, got {_short(text)}")
        return video, text

    def _video(self, line: int, value: object) -> VideoId:
        try:
            video = parse_video_id(value)
        except ValueError as e:
            raise BadLine(self.path, line, str(e)) from None
        kind = type(video)
        if self._kind is None:
            self._kind = (kind, line)
        elif kind is not self._kind[0]:
            names = {int: "an integer", uuid.UUID: "a UUID"}
            raise BadLine(self.path, line, f"video id is {names[kind]}, but the first id (line {self._kind[1]}) "
                                           f"is {names[self._kind[0]]}: ids must be all of one kind")
        return video

    def _term(self, line: int, term: str) -> str:
        if not term or "\0" in term:
            raise BadLine(self.path, line, f"a term must be non-empty text without U+0000, got {_short(term)}")
        return term

    def _count(self, line: int, text: str) -> int:
        text = text.strip()
        if not (text.isascii() and text.isdigit() and int(text) <= _U32_MAX):
            raise BadLine(self.path, line, f"count must be an integer 0..{_U32_MAX}, got {_short(text)}")
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


def _undecodable(text: str) -> bool:
    """Whether text read with errors="surrogateescape" held bytes that are
    not UTF-8."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False
