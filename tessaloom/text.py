"""The one tokenizing rule, used both to build indexes from text and to query
them, so that a word typed by a user meets the terms its video was indexed
under."""

from __future__ import annotations

import re
import unicodedata

# Python's \w is exactly str.isalnum() plus "_" for str patterns, so this
# class matches the characters for which str.isalnum() is true.
_ALNUM_RUN = re.compile(r"[^\W_]+")


def terms(text: str) -> list[str]:
    """The terms of ``text``, in order, repeats kept.

    The text is normalised to NFKC, then case-folded with ``str.casefold()``;
    the terms are its maximal runs of characters for which ``str.isalnum()``
    is true. Everything else (blanks, punctuation, symbols, "_") separates
    terms.

    >>> terms("MP3 Crème-Brûlée")
    ['mp3', 'crème', 'brûlée']
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    return _ALNUM_RUN.findall(unicodedata.normalize("NFKC", text).casefold())
