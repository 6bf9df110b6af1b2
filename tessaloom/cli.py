"""The command line, ``python -m tessaloom``: build an index file from a
catalogue, query it, and describe it.

Exit status: 0 on success (also when nothing matches), 1 when a file is
missing, unreadable, refused or damaged, or a catalogue line is bad, 2 for
usage errors. A failure prints one line on stderr.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import signal
import sys
import time
from typing import Optional, TextIO

import tessaloom
from tessaloom import _native, persist
from tessaloom._native import index_counts
from tessaloom.catalogue import ALL_VIDEOS, FORMATS, STDIN, BadLine, Catalogue, build, format_of
from tessaloom.searching import MAX_DIST, query_words, word_budget
from tessaloom.text import printable, terms
from tessaloom.texts import build_catalogue
from tessaloom.titles import count_titles
from tessaloom.video_ids import U32_MAX

_BAD_LINES_SHOWN = 10


class Failure(Exception):
    """A failure the command reports in one line and exits 1 for."""


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError(f"must be 0..{U32_MAX}, got {value}")
    return value


def _port(text: str) -> int:
    value = _count(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"must be 0..65535, got {value}")
    return value


def _score(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value >= 0.0):
        raise argparse.ArgumentTypeError(f"must be a number from 0 up, got {text}")
    return value


class _Version(argparse.Action):
    """--version: the version is read only when asked for."""

    def __call__(self, parser, namespace, values, option_string=None):
        parser.exit(message=f"{parser.prog} {tessaloom.__version__}\n")


def _top_n(text: str) -> int:
    return ALL_VIDEOS if text == "all" else _count(text)


def parser(prog: str = "python -m tessaloom") -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=prog,
        description="Typo-tolerant search over a video catalogue: build an index file, query it, describe it.")
    top.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    b = commands.add_parser(
        "build", help="build an index file from a catalogue",
        description="Build an index file from a catalogue: TSV or CSV rows of video id and text, or JSON Lines "
                    "objects with \"id\" and \"text\". A first row id, text is a header. Video ids are UUIDs or "
                    "integers 0..4294967295, all of one kind.")
    b.add_argument("catalogue", metavar="CATALOGUE", help="the catalogue file, or - for standard input (with --format)")
    b.add_argument("-o", "--output", metavar="INDEX", required=True,
                   help="the index file to write (replaced atomically)")
    b.add_argument("--format", choices=FORMATS, help="the catalogue's format (default: from its extension)")
    b.add_argument("--records", action="store_true",
                   help="the input is TSV of term, video id, count; terms are taken as they are")
    b.add_argument("--video-top-n", type=_top_n, default=ALL_VIDEOS, metavar="N",
                   help="videos kept per trie node, or all (default all; see Choosing parameters in the README)")
    b.add_argument("--progress", action="store_true", help="report progress on stderr even when it is not a terminal")
    b.add_argument("--skip-bad", action="store_true",
                   help="skip bad lines, and count them at the end, instead of stopping")
    b.add_argument("--no-titles", action="store_true",
                   help="leave the videos' titles (the first line of each text) out of the index file")
    b.set_defaults(run=_build, parser=b)

    q = commands.add_parser(
        "query", help="search the index for a text",
        description="The videos best matching TEXT, one line per hit: RANK SCORE WORDS VIDEO, best first (see "
                    "tessaloom.search). Each word may be off by its typo budget; the last also matches the "
                    "beginning of terms unless TEXT ends with a separator.")
    q.add_argument("index", metavar="INDEX", help="an index file written by build or tessaloom.save")
    q.add_argument("text", metavar="TEXT",
                   help="the text to look up, or - to read one text a line from standard input and answer each "
                        "as it comes (one JSON object a line with --json; a blank line after each answer without)")
    q.add_argument("-d", "--max-dist", type=_count, default=None, metavar="D",
                   help="edits allowed per word, 0 to 3 (default: 0 for words of 1-3 characters, 1 for 4-7, 2 for 8+)")
    q.add_argument("-n", "--limit", type=_count, default=10, metavar="N", help="hits shown (default 10)")
    q.add_argument("--no-prefix", dest="prefix", action="store_false",
                   help="the last word matches whole terms only (by default it also matches their beginnings)")
    q.add_argument("--terms", action="store_true", help="also show the indexed terms near each word")
    q.add_argument("--json", action="store_true", help="print one JSON object")
    q.set_defaults(run=_query, parser=q)

    s = commands.add_parser(
        "serve", help="serve a search page and a JSON search API",
        description="Serve a page with a search box that answers as you type (GET /) and the JSON API it asks "
                    "(GET /search?q=TEXT&limit=N), on several threads, until Ctrl-C.")
    s.add_argument("index", metavar="INDEX", help="an index file written by build or tessaloom.save")
    s.add_argument("--host", default="127.0.0.1",
                   help="the address to listen on (default 127.0.0.1, this machine only)")
    s.add_argument("--port", type=_port, default=8080, help="the port to listen on (default 8080; 0: any free port)")
    s.add_argument("--log", action="store_true", help="log each request on stderr")
    s.set_defaults(run=_serve)

    i = commands.add_parser("info", help="describe an index file and check it",
                            description="Print an index file's size, trailer version, checksum state and counts.")
    i.add_argument("index", metavar="INDEX", help="an index file")
    i.set_defaults(run=_info)
    return top


def main(argv: Optional[list[str]] = None, prog: str = "python -m tessaloom") -> int:
    args = parser(prog).parse_args(argv)
    try:
        return args.run(args)
    except (Failure, BadLine) as e:
        return _fail(str(e))
    except BrokenPipeError:
        raise  # the reader of the output went away: run() stops quietly
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        return _fail(f"{where}{e.strerror or e}")
    except MemoryError:
        return _fail("out of memory")
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except Exception as e:  # a fault of this program: still one line, not a traceback
        return _fail(f"unexpected {type(e).__name__}: {e}")


def _fail(message: str, status: int = 1) -> int:
    print(f"error: {message}", file=sys.stderr)
    return status


def _load_titled(path: str):
    try:
        return persist.load_titled(path)
    except ValueError as e:
        raise Failure(str(e)) from None


def _load(path: str):
    try:
        return persist.load(path)
    except ValueError as e:
        raise Failure(str(e)) from None


class _Reporter:
    """Progress lines on stderr: the time since the start, a phase and a count."""

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.started = time.monotonic()

    def __call__(self, phase: str, count: int) -> None:
        print(f"{time.monotonic() - self.started:7.1f} s  {phase}: {count:,}", file=self.stream, flush=True)


def _build(args: argparse.Namespace) -> int:
    stdin = args.catalogue == STDIN
    fmt = args.format or (None if stdin else format_of(args.catalogue)) or ("tsv" if args.records else None)
    if fmt is None and stdin:
        args.parser.error("reading the catalogue from standard input (-) needs --format")
    if fmt is None:
        args.parser.error(f"cannot tell the format of {args.catalogue!r} from its extension: give --format")
    if args.records and fmt != "tsv":
        args.parser.error("--records reads TSV only")
    if not stdin and _same_file(args.catalogue, args.output):
        raise Failure(f"{args.output}: this is the catalogue itself; write the index to another path")
    report = _Reporter(sys.stderr) if args.progress or sys.stderr.isatty() else None

    def show_bad(bad: BadLine) -> None:
        if catalogue.bad <= _BAD_LINES_SHOWN:
            print(f"warning: skipped {bad}", file=sys.stderr)

    catalogue = Catalogue(args.catalogue, fmt, records=args.records, skip_bad=args.skip_bad, on_bad=show_bad)
    name = catalogue.path  # "<stdin>" for -
    titles = None
    try:
        if args.records:
            counted = _Counted(catalogue.records())
            index = build(counted if report is None else _reported(counted, report), args.video_top_n, report)
            records = counted.count
        else:
            index, titles, records = _build_texts(args, fmt, catalogue, report)
    except BadLine:
        raise
    except ValueError as e:
        # Refused by the builder, such as a term's total count past
        # 2**32-1: in the record it read last, which came from the row
        # the catalogue read last.
        reason = re.sub(r"^(record|entry) \d+: ", "", str(e))
        raise Failure(f"{name}:{catalogue.line}: {reason}") from None
    if catalogue.bad:
        print(f"warning: skipped {catalogue.bad:,} bad lines of {name}", file=sys.stderr)
    if records == 0:
        # An empty index would replace a good one for nothing.
        what = "no rows" if catalogue.rows == 0 else f"no terms in its {catalogue.rows:,} rows"
        raise Failure(f"{name}: {what}; {args.output} was not written")
    persist.save_section(index, args.output, titles)
    size = os.path.getsize(args.output)
    if report is not None:
        report("saved bytes", size)
    print(f"wrote {args.output} ({size:,} bytes) from {catalogue.rows:,} rows of {name}")
    return 0


def _build_texts(args: argparse.Namespace, fmt: str, catalogue: Catalogue, report: Optional[_Reporter]):
    """The index of a catalogue's texts, its titles section (None with
    --no-titles) and the number of records: read natively, or, from the
    first line the native reader does not take, by the Python reader, with
    its messages for bad lines."""
    keep = not args.no_titles
    if fmt != "jsonl":
        built = build_catalogue(catalogue.read_all(), fmt, args.video_top_n, report, titles=keep)
        if built is not None:
            catalogue.rows = built.rows
            return built.index, built.titles, built.records
    return _native.build_texts(catalogue.entries(), args.video_top_n, report, keep)


def _same_file(a: str, b: str) -> bool:
    """Whether two paths name one file, through links of any kind."""
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return False


class _Counted:
    """An iterator that counts the items taken from it."""

    def __init__(self, items):
        self.items, self.count = iter(items), 0

    def __iter__(self):
        return self

    def __next__(self):
        item = next(self.items)
        self.count += 1
        return item


def _reported(records: _Counted, report: _Reporter):
    """The records, reporting how many were read once they are all read."""
    yield from records
    report("records read", records.count)


def _query(args: argparse.Namespace) -> int:
    stream = args.text == STDIN
    if not stream and not terms(args.text):
        args.parser.error(f"TEXT has no words to look up: {args.text!r}")
    if args.max_dist is not None and args.max_dist > MAX_DIST:
        args.parser.error(f"argument -d/--max-dist: must be 0..{MAX_DIST}, got {args.max_dist}")
    titled = _load_titled(args.index)
    if not stream:
        try:
            _answer(titled, args.text, args)
        except ValueError as e:
            args.parser.error(str(e))
        return 0
    # One query a line, each answered (and flushed) as it comes: a script can
    # ask, read the answer, then ask again, over one loaded index.
    refused = 0
    with open(0, encoding="utf-8", errors="replace", closefd=False) as lines:
        for line in iter(lines.readline, ""):
            text = line.rstrip("\n")
            try:
                _answer(titled, text, args)
            except ValueError as e:  # such as too many words: this line only
                refused += 1
                if args.json:
                    print(json.dumps({"query": text, "error": str(e)}))
                else:
                    print(f"error: {e}", file=sys.stderr, flush=True)
            if not args.json:
                print()  # a blank line ends each answer
            sys.stdout.flush()
    return 1 if refused else 0


def _answer(titled, text: str, args: argparse.Namespace) -> None:
    """Prints the answer to one query; ValueError for a refused text."""
    from tessaloom.server import hit_json

    try:
        hits = titled.search(text, args.limit, max_dist=args.max_dist, prefix=args.prefix)
        words, _ = query_words(text, args.prefix)
        found = {w: sorted(titled.index.fuzzy_match(w, word_budget(w, args.max_dist)), key=lambda h: h[2])[: args.limit]
                 for w in words} if args.terms else {}
    except tessaloom.PanicException as e:
        raise Failure(f"{args.index}: the index is damaged (an internal fault in a query: {e})") from None
    if args.json:
        out: dict = {"query": text, "hits": [hit_json(r, h) for r, h in enumerate(hits, 1)]}
        if args.terms:
            out["terms"] = [{"word": w, "terms": [{"term": t, "distance": d} for t, _, d in ts]}
                            for w, ts in found.items()]
        print(json.dumps(out))
        return
    for w, ts in found.items():
        shown = ", ".join(f"{printable(t)} ({d})" for t, _, d in ts)
        print(f"{printable(w)}: {shown or 'none'}")
    for rank, h in enumerate(hits, 1):
        title = "" if h.title is None else " " + printable(h.title)
        print(f"{rank} {h.score:.4f} {h.words} {printable(str(h.video))}{title}")


def _serve(args: argparse.Namespace) -> int:
    from tessaloom.server import serve

    titled = _load_titled(args.index)
    # Ctrl-C stops it even when started where SIGINT is ignored (a background
    # job of a script), and so does a polite kill (SIGTERM).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        serve(titled, args.host, args.port, log=args.log, name=args.index)
    except OSError as e:
        raise Failure(f"cannot serve on {args.host} port {args.port}: {e.strerror or e}") from None
    return 0


def _info(args: argparse.Namespace) -> int:
    try:
        data = persist.read_file(args.index)
    except ValueError as e:
        raise Failure(str(e)) from None
    check = persist.check_bytes(data)
    print(f"file:     {args.index}")
    print(f"size:     {check.size:,} bytes")
    if check.trailer is not None:
        print(f"trailer:  version {check.trailer.version}, flags {check.trailer.flags}, "
              f"index {check.trailer.length:,} bytes")
        if check.crc is not None:
            state = "ok" if check.crc == check.trailer.crc else f"mismatch (the bytes give {check.crc:08x})"
            print(f"checksum: crc32 {check.trailer.crc:08x}, {state}")
    else:
        print("trailer:  none")
    if check.problem is not None:
        raise Failure(f"{args.index}: {check.problem}")
    try:
        # Decoded too, as load does: a checksum cannot vouch for bytes that
        # were wrong when saved.
        nodes, n_terms, videos, id_kind = index_counts(persist.decode(args.index, data, check.trailer.length))
    except ValueError as e:
        raise Failure(str(e)) from None
    print(f"nodes:    {nodes:,}")
    print(f"terms:    {n_terms:,}")
    print(f"videos:   {videos:,}")
    print(f"id kind:  {id_kind}")
    if check.trailer.version == persist.VERSION_TITLES:
        section = memoryview(data)[check.trailer.length : check.size - persist.TRAILER.size]
        print(f"titles:   {count_titles(section):,}")
    else:
        print("titles:   none")
    return 0


def run() -> None:
    """Entry point of ``python -m tessaloom`` and of the ``tessaloom`` command."""
    # Terms and texts in any script print even where stdout cannot encode them.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    command = os.path.basename(sys.argv[0])
    try:
        status = main(prog="python -m tessaloom" if command == "__main__.py" else command)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        status = 1
    sys.exit(status)
