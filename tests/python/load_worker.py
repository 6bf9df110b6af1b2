"""Loads untrusted bytes in a process of its own, for the property tests: a
crash here ends this process only, and the test that fed it reports the
input.

Reads requests from stdin: one mode byte (b"L" load only, b"Q" load and
query), a 4-byte little-endian length, the bytes. Answers each with one
line: "refused", "loaded", "loaded queries=<...>" or "bad <reason>".
"""

import struct
import sys

from tessaloom import PrefixSearch

TERMS = ["", "a", "ab", "abc", "\u00e9", "\U0001f600x", "\x00"]


def is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def query(index: PrefixSearch) -> str:
    """Runs queries; each must answer with a list or raise PanicException."""
    outcomes = set()
    for term in TERMS:
        for max_dist in (0, 1, 2):
            calls = [
                lambda: index.fuzzy_match(term, max_dist, 16),
                lambda: index.fuzzy_match_video(term, max_dist, 8),
                lambda: index.fuzzy_match_video(term, max_dist, None, True, 0.0),
            ]
            for call in calls:
                try:
                    result = call()
                except NotImplementedError:
                    outcomes.add("notimpl")
                    continue
                except BaseException as exc:  # noqa: BLE001 - classified below
                    if is_panic(exc):
                        outcomes.add("panic")
                        continue
                    return f"bad query raised {type(exc).__name__}: {exc}"
                if not isinstance(result, list):
                    return f"bad query returned {type(result).__name__}"
                outcomes.add("answer")
    return "loaded queries=" + ",".join(sorted(outcomes))


def handle(mode: bytes, data: bytes) -> str:
    try:
        index = PrefixSearch.from_bytes(data)
    except ValueError as exc:
        if type(exc) is ValueError and str(exc).startswith("decode error: "):
            return "refused"
        return f"bad ValueError {exc}"
    except BaseException as exc:  # noqa: BLE001
        return f"bad load raised {type(exc).__name__}: {exc}"
    saved = index.to_bytes()
    if len(saved) > len(data) or PrefixSearch.from_bytes(saved).to_bytes() != saved:
        return "bad the loaded index does not save and load again"
    return query(index) if mode == b"Q" else "loaded"


def main() -> None:
    stdin, stdout = sys.stdin.buffer, sys.stdout
    while True:
        head = stdin.read(5)
        if len(head) < 5:
            return
        mode, size = head[:1], struct.unpack("<I", head[1:])[0]
        data = stdin.read(size)
        stdout.write(handle(mode, data).replace("\n", " ") + "\n")
        stdout.flush()


if __name__ == "__main__":
    main()
