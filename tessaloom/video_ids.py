"""The video-id rule and its limits, in one place for the builder, catalogue
files, titles and the command line.

A video id is a UUID or an integer 0..2**32-1, and the ids of one index are
all of one kind. A UUID comes as a ``uuid.UUID``, its 16 bytes or its text;
an integer as an ``int`` (never a ``bool``) or the text of its decimal
digits. Counts and a term's total count have the same 32-bit limit.

Each public entry words its refusals as it always has, since callers match
on those texts: an entry's wording (``BUILD_ARRAYS``, ``TITLES``,
``CATALOGUE``) gives, for each reason a value names no id, the exception and
the text it raises.
"""

from __future__ import annotations

import operator
import uuid
from typing import Union

U32_MAX = 2**32 - 1  # the largest integer id, count and total count
VideoId = Union[int, uuid.UUID]

# Why a value names no video id.
KIND = "kind"  # no kind of value that names one
BOOL = "bool"  # a bool, which is no integer id
LENGTH = "length"  # bytes, but not 16 of them
RANGE = "range"  # an integer outside 0..U32_MAX
TEXT = "text"  # text that is neither decimal digits nor a UUID

# A wording maps a reason to (exception type, text); a reason it leaves out
# is worded as KIND. The texts take {value} (what was refused: the integer
# for RANGE), {shown} (that value cut short), {type} and {length}.
_OUT_OF_RANGE = f"an integer video id must be in 0..{U32_MAX}, got {{value}}"
BUILD_ARRAYS = {
    KIND: (TypeError, "a video id must be 16 bytes, a uuid.UUID or an int, not {type}"),
    LENGTH: (ValueError, "a video id given as bytes must be 16 bytes long, got {length}"),
    RANGE: (ValueError, _OUT_OF_RANGE),
}
TITLES = {
    KIND: (TypeError, "a video id must be an int, a uuid.UUID or their text, not {type}"),
    BOOL: (TypeError, "a video id must be an integer or a UUID, not bool"),
    RANGE: (ValueError, _OUT_OF_RANGE),
    TEXT: (ValueError, "a video id must be an integer or a UUID, got {value!r}"),
}
CATALOGUE = {KIND: (ValueError, f"video id must be a UUID or an integer 0..{U32_MAX}, got {{shown}}")}


def shown(value: object) -> str:
    """A value as a message shows it: its repr, cut to 60 characters."""
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def refused(wording: dict, reason: str, value: object) -> Exception:
    """The error ``wording`` gives for ``value``, which names no id for
    ``reason``."""
    error, text = wording.get(reason) or wording[KIND]
    length = len(value) if isinstance(value, (bytes, bytearray)) else None
    return error(text.format(value=value, shown=shown(value), type=type(value).__name__, length=length))


def parse(value: object, wording: dict, *, text: bool = True, index: bool = False) -> VideoId:
    """The video id that ``value`` names: an integer, or a ``uuid.UUID`` for a
    UUID. Takes an ``int``, a ``uuid.UUID``, 16 bytes, with ``text`` their text
    (blanks around it ignored; decimal digits are an integer id) and with
    ``index`` any integer with ``__index__`` (NumPy integers). Raises what
    ``wording`` gives for anything else.

    >>> parse(" 42 ", TITLES), parse("7d9f2c1e-0000-4000-8000-000000000001", TITLES)
    (42, UUID('7d9f2c1e-0000-4000-8000-000000000001'))
    """
    if isinstance(value, str) and text:
        digits = value.strip()
        if not (digits.isascii() and digits.isdigit()):
            try:
                return uuid.UUID(digits)
            except ValueError:
                raise refused(wording, TEXT, value) from None
        value = int(digits)
    elif isinstance(value, uuid.UUID):
        return value
    elif isinstance(value, (bytes, bytearray)):
        if len(value) != 16:
            raise refused(wording, LENGTH, value)
        return uuid.UUID(bytes=bytes(value))
    elif isinstance(value, bool):
        raise refused(wording, BOOL, value)
    elif not (isinstance(value, int) or (index and hasattr(type(value), "__index__"))):
        raise refused(wording, KIND, value)
    number = operator.index(value)
    if not 0 <= number <= U32_MAX:
        raise refused(wording, RANGE, number)
    return number


def key_bytes(video: VideoId) -> bytes:
    """How an index's id table keeps a parsed id: a UUID's 16 bytes, or an
    integer's 4 little-endian bytes."""
    return video.bytes if isinstance(video, uuid.UUID) else video.to_bytes(4, "little")
