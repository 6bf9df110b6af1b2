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
import sys
import time
from typing import Optional, TextIO

from tessaloom import __version__, persist
from tessaloom._native import index_counts
from tessaloom._tessaloom import PrefixSearch
from tessaloom.catalogue import FORMATS, STDIN, BadLine, Catalogue, build, format_of
from tessaloom.text import terms

_U32_MAX = 0xFFFFFFFF
_BAD_LINES_SHOWN = 10


class Failure(Exception):
    """A failure the command reports in one line and exits 1 for."""


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= _U32_MAX:
        raise argparse.ArgumentTypeError(f"must be 0..{_U32_MAX}, got {value}")
    return value


def _score(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value >= 0.0):
        raise argparse.ArgumentTypeError(f"must be a number from 0 up, got {text}")
    return value


def parser(prog: str = "python -m tessaloom") -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=prog,
        description="Typo-tolerant search over a video catalogue: build an index file, query it, describe it.")
    top.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    b = commands.add_parser(
        "build", help="build an index file from a catalogue",
        description="Build an index file from a catalogue: TSV or CSV rows of video id and text, or JSON Lines "
                    "objects with \"id\" and \"text\". A first row id, text is a header. Video ids are UUIDs or "
                    "integers 0..4294967295, all of one kind.")
    b.add_argument("catalogue", metavar="CATALOGUE", help="the catalogue file, or - for standard input (with --format)")
    b.add_argument("-o", "--output", metavar="INDEX", required=True, help="the index file to write (replaced atomically)")
    b.add_argument("--format", choices=FORMATS, help="the catalogue's format (default: from its extension)")
    b.add_argument("--records", action="store_true",
                   help="the input is TSV of term, video id, count; terms are taken as they are")
    b.add_argument("--video-top-n", type=_count, default=100, metavar="N",
                   help="videos kept per trie node (default 100)")
    b.add_argument("--progress", action="store_true", help="report progress on stderr even when it is not a terminal")
    b.add_argument("--skip-bad", action="store_true", help="skip bad lines, and count them at the end, instead of stopping")
    b.set_defaults(run=_build, parser=b)

    q = commands.add_parser(
        "query", help="look up each word of a text",
        description="For each word of TEXT (as tessaloom.terms splits it): the indexed terms within the distance, "
                    "closest first, and the videos they rank best.")
    q.add_argument("index", metavar="INDEX", help="an index file written by build or tessaloom.save")
    q.add_argument("text", metavar="TEXT", help="the text to look up")
    q.add_argument("-d", "--max-dist", type=_count, default=1, metavar="D", help="edits allowed per word (default 1)")
    q.add_argument("-n", "--limit", type=_count, default=10, metavar="N",
                   help="terms and videos shown per word (default 10)")
    q.add_argument("--min-score", type=_score, default=0.0, metavar="S",
                   help="drop videos scoring below S (default 0.0, so that common words find their videos)")
    q.add_argument("--prefix", action="store_true",
                   help="also match trie nodes that only begin terms (search as you type)")
    q.add_argument("--json", action="store_true", help="print one JSON object")
    q.set_defaults(run=_query, parser=q)

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
    report = _Reporter(sys.stderr) if args.progress or sys.stderr.isatty() else None

    def show_bad(bad: BadLine) -> None:
        if catalogue.bad <= _BAD_LINES_SHOWN:
            print(f"warning: skipped {bad}", file=sys.stderr)

    catalogue = Catalogue(args.catalogue, fmt, records=args.records, skip_bad=args.skip_bad, on_bad=show_bad)
    name = catalogue.path  # "<stdin>" for -
    records = catalogue.records() if report is None else _reported(catalogue.records(), report)
    try:
        index = build(records, args.video_top_n, report)
    except BadLine:
        raise
    except ValueError as e:  # refused by the builder, such as a term's total count past 2**32-1
        raise Failure(f"{name}: {e}") from None
    persist.save(index, args.output)
    size = os.path.getsize(args.output)
    if report is not None:
        report("saved bytes", size)
    if catalogue.bad:
        print(f"warning: skipped {catalogue.bad:,} bad lines of {name}", file=sys.stderr)
    print(f"wrote {args.output} ({size:,} bytes) from {catalogue.rows:,} rows of {name}")
    return 0


def _reported(records, report: _Reporter):
    """The records, reporting how many were read once they are all read."""
    count = 0
    for count, record in enumerate(records, 1):
        yield record
    report("records read", count)


def _query(args: argparse.Namespace) -> int:
    words = list(dict.fromkeys(terms(args.text)))
    if not words:
        args.parser.error(f"TEXT has no words to look up: {args.text!r}")
    index = _load(args.index)
    prefix = True if args.prefix else None
    answers = []
    for word in words:
        try:
            found = index.fuzzy_match(word, args.max_dist)
            videos = index.fuzzy_match_video(word, args.max_dist, args.limit, prefix, args.min_score)
        except BaseException as e:
            if type(e).__name__ != "PanicException":
                raise
            raise Failure(f"{args.index}: the index is damaged (an internal fault in a query: {e})") from None
        # Closest first; sorting is stable, so equal distances stay in index order.
        found.sort(key=lambda hit: hit[2])
        answers.append({"word": word,
                        "terms": [{"term": t, "distance": d} for t, _, d in found[: args.limit]],
                        "videos": [{"id": key, "score": score} for key, score in videos]})
    if args.json:
        print(json.dumps({"query": args.text, "words": answers}))
        return 0
    for answer in answers:
        print(answer["word"])
        shown = ", ".join(f"{t['term']} ({t['distance']})" for t in answer["terms"])
        print(f"  terms: {shown or 'none'}")
        if not answer["videos"]:
            print("  videos: none")
            continue
        print("  videos:")
        for video in answer["videos"]:
            print(f"    {video['score']:.4f}  {video['id']}")
    return 0


def _info(args: argparse.Namespace) -> int:
    data = persist.read_file(args.index)
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
        # Decoded too: a checksum cannot vouch for bytes that were wrong when saved.
        nodes, terms, videos, id_kind = index_counts(PrefixSearch.from_bytes(data))
    except ValueError as e:
        raise Failure(f"{args.index}: damaged: the checksum matches but the index does not read ({e})") from None
    print(f"nodes:    {nodes:,}")
    print(f"terms:    {terms:,}")
    print(f"videos:   {videos:,}")
    print(f"id kind:  {id_kind}")
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
