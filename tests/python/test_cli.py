"""The command line, end to end: ``python -m tessaloom`` run in subprocesses
against the installed package, from catalogue files to answers."""

import csv
import json
import shlex
import subprocess
import sys
import uuid
from collections import Counter
from pathlib import Path

import pytest
from conftest import index

from tessaloom import PrefixSearch, build_arrays, load, save, search, terms
from tessaloom.catalogue import ALL_VIDEOS

TEXTS = ["MP3 player review", "Crème brûlée, the easy way", "the mp3 tags, part 2", "Σίσυφος ΚΑΙ μύθος",
         "sourdough bread, part 1", "the best sourdough"]
UUIDS = [uuid.UUID(f"7d9f2c1e-0000-4000-8000-00000000000{i}") for i in range(len(TEXTS))]


def cli(*args, cwd, timeout=120):
    """Runs the command line; returns (exit status, stdout, stderr lines)."""
    done = subprocess.run([sys.executable, "-m", "tessaloom", *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr.splitlines()


def expected_index(ids, texts, video_top_n=ALL_VIDEOS):
    records = [(t, v, c) for v, text in zip(ids, texts) for t, c in Counter(terms(text)).items()]
    return index(records, video_top_n)


def write_catalogue(path, fmt, ids, texts):
    rows = list(zip(ids, texts))
    with path.open("w", encoding="utf-8", newline="") as f:
        if fmt == "jsonl":
            f.writelines(json.dumps({"id": i, "text": t}) + "\n" for i, t in rows)
        else:
            writer = csv.writer(f, delimiter="\t" if fmt == "tsv" else ",", lineterminator="\n")
            writer.writerows([("id", "text")] + rows)


@pytest.fixture
def saved(tmp_path):
    """The index of the UUID catalogue, saved as v.idx."""
    built = expected_index(UUIDS, TEXTS)
    save(built, tmp_path / "v.idx")
    return built


@pytest.mark.parametrize("fmt, ids, name", [
    ("tsv", UUIDS, "videos.tsv"),
    ("csv", list(range(10, 10 + len(TEXTS))), "videos.csv"),
    ("jsonl", list(range(len(TEXTS))), "videos.jsonl"),
    ("csv", UUIDS, "videos.txt"),  # the format from --format
])
def test_each_catalogue_format_builds_the_reference_index(tmp_path, fmt, ids, name):
    write_catalogue(tmp_path / name, fmt, ids, TEXTS)
    extra = ["--format", fmt] if not name.endswith(fmt) else []
    status, out, err = cli("build", name, "-o", "v.idx", *extra, cwd=tmp_path)
    assert (status, err) == (0, []) and out.startswith(f"wrote v.idx ({(tmp_path / 'v.idx').stat().st_size:,} bytes)")
    assert load(tmp_path / "v.idx").to_bytes() == expected_index(ids, TEXTS).to_bytes()


@pytest.mark.parametrize("args, options, limit", [
    ([], {}, 10),
    (["-d", "0", "-n", "1"], {"max_dist": 0}, 1),
    (["--no-prefix", "-d", "2", "--terms"], {"max_dist": 2, "prefix": False}, 10),
])
def test_query_answers_are_the_search_answers(saved, tmp_path, args, options, limit):
    text = "The MP3 sourdogh bru"
    status, out, err = cli("query", "v.idx", text, "--json", *args, cwd=tmp_path)
    assert (status, err) == (0, [])
    answer = json.loads(out)
    hits = search(saved, text, limit, **options)
    assert hits and answer["query"] == text
    assert answer["hits"] == [{"rank": r, "video": h.video, "score": h.score, "words": h.words}
                              for r, h in enumerate(hits, 1)]
    assert ("terms" in answer) == ("--terms" in args)
    status, out, err = cli("query", "v.idx", text, *args, cwd=tmp_path)
    lines = out.splitlines()
    assert lines[-len(hits):] == [f"{r} {h.score:.4f} {h.words} {h.video}" for r, h in enumerate(hits, 1)]


def test_query_escapes_control_characters_and_shows_titles(tmp_path):
    index = PrefixSearch.from_internal_data_v2(*build_arrays([("a\x1bb\u202e", 1, 1), ("ab", 2, 1), ("ab", 3, 1)]))
    save(index, tmp_path / "c.idx", titles={1: "Red \x1b[31mtext\r", 2: "Two\nlines"})
    status, out, err = cli("query", "c.idx", "ab", "-d", "2", "--terms", cwd=tmp_path)
    assert status == 0 and "\x1b" not in out and "\u202e" not in out and "a\\x1bb\\u202e (2)" in out, out
    # RANK SCORE WORDS VIDEO TITLE; a video without a title shows its id alone.
    assert [line.split(" ", 3)[3] for line in out.splitlines()[1:]] == ["2 Two", "3", "1 Red \\x1b[31mtext"]
    status, out, err = cli("query", "c.idx", "ab", "-d", "2", "--json", cwd=tmp_path)
    assert [h.get("title") for h in json.loads(out)["hits"]] == ["Two", None, "Red \x1b[31mtext"]


GOOD = f"{UUIDS[0]}\tfirst video\n"
BAD_LINES = [
    # (format, bad line, the reason printed)
    ("tsv", "no tab here\n", "expected 2 fields (video id and text), got 1"),
    ("tsv", "not-a-uuid\ttext\n", "video id must be a UUID or an integer 0..4294967295, got 'not-a-uuid'"),
    ("jsonl", '{"id": 1}\n', 'expected an object with "id" and "text" fields'),
    ("records", "cat\t1\t-1\n", "count must be an integer 0..4294967295, got '-1'"),
]
@pytest.mark.parametrize("fmt, line, reason", BAD_LINES)
def test_a_bad_line_stops_the_build_or_is_skipped(tmp_path, fmt, line, reason):
    first = {"jsonl": '{"id": 7, "text": "first video"}\n', "csv": "7,first video\n",
             "records": "first\t7\t1\nvideo\t7\t1\n"}.get(fmt, GOOD)
    name = "cat." + ("tsv" if fmt == "records" else fmt)
    line = line.encode() if isinstance(line, str) else line
    (tmp_path / name).write_bytes(first.encode() + line + first.replace("first", "last").encode())
    options = ["--records"] if fmt == "records" else []
    bad_at = first.count("\n") + 1

    status, out, err = cli("build", name, "-o", "v.idx", *options, cwd=tmp_path)
    assert (status, out) == (1, "") and len(err) == 1
    assert err[0].startswith(f"error: {name}:{bad_at}: {reason}")
    assert not (tmp_path / "v.idx").exists()

    status, out, err = cli("build", name, "-o", "v.idx", "--skip-bad", *options, cwd=tmp_path)
    assert status == 0 and f" from {2 * first.count(chr(10))} rows of " in out
    assert err[0].startswith(f"warning: skipped {name}:{bad_at}: {reason}")
    assert err[1:] == [f"warning: skipped 1 bad lines of {name}"]
    ids = [7, 7] if fmt != "tsv" else [UUIDS[0]] * 2
    assert load(tmp_path / "v.idx").to_bytes() == expected_index(ids, ["first video", "last video"]).to_bytes()


@pytest.mark.parametrize("args, status, message", [
    (["build", "big.tsv", "--records", "-o", "v.idx"], 1,
     "error: big.tsv:2: count 1 takes the total count of term 'cat' past 2**32-1"),
    (["build", "small.tsv", "--records", "-o", "missing/v.idx"], 1, "error: missing/v.idx: No such file or directory"),
    (["build", "v.txt", "-o", "v.idx"], 2, "cannot tell the format of 'v.txt' from its extension: give --format"),
    (["query", "v.idx", "word", "-d", "-1"], 2, "argument -d/--max-dist: must be 0..4294967295, got -1"),
    (["query", "v.idx", "word", "-d", "4"], 2, "argument -d/--max-dist: must be 0..3, got 4"),
    (["query", "v.idx", "?!"], 2, "TEXT has no words to look up: '?!'"),
])
def test_failures_say_why_in_one_line_with_the_exit_status(tmp_path, args, status, message):
    (tmp_path / "big.tsv").write_text("cat\t1\t4294967295\ncat\t2\t1\n")
    (tmp_path / "small.tsv").write_text("cat\t1\t1\n")
    got, out, err = cli(*args, cwd=tmp_path)
    assert got == status and out == ""
    assert err[-1].endswith(message)
    assert len(err) == 1 or status == 2  # argparse prints its usage first


@pytest.mark.parametrize("name, content, output, options, message", [
    ("empty.tsv", b"", "v.idx", [], "error: empty.tsv: no rows; v.idx was not written"),
    ("bad.tsv", b"x\ty\nz\n", "v.idx", ["--skip-bad"], "error: bad.tsv: no rows; v.idx was not written"),
    ("words.tsv", b"1\t?!\n", "v.idx", [], "error: words.tsv: no terms in its 1 rows; v.idx was not written"),
    ("open.csv", b'1,a\n2,"b\n3,c\n', "v.idx", [],
     "error: open.csv:2: not valid CSV: the quoted field that opens on this line is never closed"),
    ("self.csv", b"1,a\n", "self.csv", [], "error: self.csv: this is the catalogue itself"),
    ("self.csv", b"1,a\n", "./sub/../self.csv", [], "error: ./sub/../self.csv: this is the catalogue itself"),
    ("self.csv", b"1,a\n", "link.idx", [], "error: link.idx: this is the catalogue itself"),
    ("self.csv", b"1,a\n", "hard.idx", [], "error: hard.idx: this is the catalogue itself"),
])
def test_a_build_that_would_lose_data_writes_nothing(tmp_path, name, content, output, options, message):
    (tmp_path / "sub").mkdir()
    (tmp_path / name).write_bytes(content)
    (tmp_path / "link.idx").symlink_to(name)
    if output == "hard.idx":
        (tmp_path / "hard.idx").hardlink_to(tmp_path / name)
    save(expected_index([1], ["old index"]), tmp_path / "v.idx")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    status, out, err = cli("build", name, "-o", output, *options, cwd=tmp_path)
    assert (status, out) == (1, "") and err[-1].startswith(message), err
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before


def test_a_damaged_file_is_refused_by_every_command_in_one_line(saved, tmp_path):
    # Which part of a file is refused, and why, is for load's tests; here,
    # that every command stops with one error line and prints no counts or answers.
    data = (tmp_path / "v.idx").read_bytes()
    flipped = bytearray(data)
    flipped[40] ^= 0x10
    damaged = {"flipped byte": flipped, "truncated": data[:-5], "raw to_bytes": data[:-32]}
    for name, content in damaged.items():
        (tmp_path / "bad.idx").write_bytes(content)
        for args in (["info", "bad.idx"], ["query", "bad.idx", "sourdough"]):
            status, out, err = cli(*args, cwd=tmp_path)
            assert (status, len(err)) == (1, 1) and err[0].startswith("error: bad.idx: "), (name, args, err)
            assert "nodes" not in out and "sourdough" not in out, (name, out)


ROOT = Path(__file__).resolve().parents[2]


def test_the_readme_worked_example_reproduces(tmp_path):
    # The shell session under "The command line": `cat` shows a file to
    # create, every other command runs and must print what is shown.
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    session = text.split("### The command line", 1)[1].split("```sh\n", 1)[1].split("```", 1)[0]
    steps = [step.split("\n", 1) for step in session.split("$ ")[1:]]
    assert len(steps) >= 4
    for command, shown in steps:
        if command.startswith("cat "):
            (tmp_path / command[4:]).write_text(shown, encoding="utf-8")
            continue
        args = shlex.split(command)
        assert args[:3] == ["python", "-m", "tessaloom"]
        status, out, err = cli(*args[3:], cwd=tmp_path)
        assert (status, out, err) == (0, shown, []), command


def test_standard_input_and_the_console_command_build_what_a_file_builds(tmp_path):
    write_catalogue(tmp_path / "v.csv", "csv", UUIDS, TEXTS)
    catalogue = (tmp_path / "v.csv").read_text(encoding="utf-8")
    command = Path(sys.executable).with_name("tessaloom")  # installed beside the interpreter
    assert cli("build", "v.csv", "-o", "file.idx", cwd=tmp_path)[0] == 0
    for prefix, out in ([sys.executable, "-m", "tessaloom"], "a.idx"), ([str(command)], "b.idx"):
        done = subprocess.run([*prefix, "build", "-", "--format", "csv", "-o", out], cwd=tmp_path,
                              input=catalogue, capture_output=True, text=True, encoding="utf-8", timeout=60)
        assert (done.returncode, done.stderr) == (0, "")
        assert done.stdout.endswith(f"from {len(TEXTS)} rows of <stdin>\n")
        assert (tmp_path / out).read_bytes() == (tmp_path / "file.idx").read_bytes()
    version = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=60).stdout
    assert version == cli("--version", cwd=tmp_path)[1].replace("python -m tessaloom", "tessaloom")

    # Without --format: a usage error before reading; a bad line is named <stdin>:N.
    done = subprocess.run([sys.executable, "-m", "tessaloom", "build", "-", "-o", "c.idx"], cwd=tmp_path,
                          input=catalogue, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stderr.endswith("standard input (-) needs --format\n")
    done = subprocess.run([sys.executable, "-m", "tessaloom", "build", "-", "--format", "tsv", "-o", "c.idx"],
                          cwd=tmp_path, input=GOOD + "oops\n", capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (1, "error: <stdin>:2: expected 2 fields (video id and text), got 1\n")
    assert not (tmp_path / "c.idx").exists()


def test_query_from_standard_input_answers_each_line_as_it_comes(saved, tmp_path):
    texts = ["The MP3 sourdogh bru", "crème brulee", "?!", " ".join(f"w{i}" for i in range(40)), "mp3"]
    proc = subprocess.Popen([sys.executable, "-m", "tessaloom", "query", "v.idx", "-", "--json", "-n", "3"],
                            cwd=tmp_path, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, encoding="utf-8")
    answers = []
    for text in texts:  # each answer is read before the next text is written
        proc.stdin.write(text + "\n")
        proc.stdin.flush()
        answers.append(json.loads(proc.stdout.readline()))
    proc.stdin.close()
    assert (proc.wait(60), proc.stdout.read(), proc.stderr.read()) == (1, "", "")  # 1: a line was refused
    for text, answer in zip(texts, answers):
        if text.startswith("w0 "):  # more words than a query may have: that line alone is refused
            assert set(answer) == {"query", "error"} and answer["query"] == text
            continue
        expected = cli("query", "v.idx", text, "--json", "-n", "3", cwd=tmp_path)[1] if terms(text) else None
        assert answer == (json.loads(expected) if expected else {"query": text, "hits": []})

    # Without --json: each answer's lines, then a blank line.
    done = subprocess.run([sys.executable, "-m", "tessaloom", "query", "v.idx", "-"], cwd=tmp_path,
                          input="mp3\nbrulee\n", capture_output=True, text=True, encoding="utf-8", timeout=60)
    single = [cli("query", "v.idx", text, cwd=tmp_path)[1] for text in ("mp3", "brulee")]
    assert (done.returncode, done.stdout) == (0, "".join(out + "\n" for out in single))
    # A reader that goes away (| head) stops it quietly, once the pipe is full.
    done = subprocess.run(f"{shlex.quote(sys.executable)} -m tessaloom query v.idx - | head -1", shell=True,
                          cwd=tmp_path, input="mp3\n" * 20000, capture_output=True, text=True, timeout=120)
    assert (done.stdout, done.stderr) == (single[0].splitlines()[0] + "\n", "")
