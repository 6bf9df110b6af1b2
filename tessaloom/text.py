"""The one tokenizing rule, used both to build indexes from text and to query
them, so that a word typed by a user meets the terms its video was indexed
under; and the escaping of text from an index for a terminal."""

from __future__ import annotations

import functools
import re
import sys
import unicodedata

# Python's \w is exactly str.isalnum() plus "_" for str patterns, and
# str.isalnum() holds exactly for the characters of categories L* and N*:
# for ASCII text this class is the whole rule.
_ALNUM_RUN = re.compile(r"[^\W_]+")


@functools.cache
def _term_run() -> re.Pattern[str]:
    """Runs of letters, numbers and combining marks (categories L*, N*, M*),
    as this CPython's Unicode tables give them. "_" is the one character of
    \\w outside them; terms() turns it into a blank first."""
    category = unicodedata.category
    marks = [c for c in range(sys.maxunicode + 1) if category(chr(c))[0] == "M"]
    ranges, first = [], None
    for k, c in enumerate(marks):
        if first is None:
            first = c
        if k + 1 == len(marks) or marks[k + 1] != c + 1:
            ranges.append(f"{chr(first)}-{chr(c)}" if c > first else chr(first))
            first = None
    return re.compile(f"[\\w{''.join(ranges)}]+")


def terms(text: str) -> list[str]:
    """The terms of ``text``, in order, repeats kept.

    The text is normalised to NFKC, then case-folded with ``str.casefold()``;
    the terms are its maximal runs of letters, numbers and combining marks
    (Unicode categories L*, N* and M*). Everything else (blanks,
    punctuation, symbols, "_") separates terms.

    >>> terms("MP3 Crème-Brûlée")
    ['mp3', 'crème', 'brûlée']
    >>> terms("हिन्दी फिल्म")
    ['हिन्दी', 'फिल्म']
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    folded = unicodedata.normalize("NFKC", text).casefold()
    if folded.isascii():
        return _ALNUM_RUN.findall(folded)
    return _term_run().findall(folded.replace("_", " "))


# What a terminal would act on rather than show: C0 and C1 controls, DEL,
# line and paragraph separators, the bidirectional formatting characters,
# and lone surrogates.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069\ud800-\udfff]")


def printable(text: str) -> str:
    """``text`` with the characters a terminal would act on escaped as
    ``\\xNN`` or ``\\uNNNN``: for printing text that came from an index or a
    catalogue, such as terms and titles.

    >>> printable("red\\x1b[2Jalert")
    'red\\\\x1b[2Jalert'
    """
    return _CONTROL.sub(_escape, text)


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"
