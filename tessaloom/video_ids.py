"""The video-id rule and its limits, in one place for the builder, catalogue
files, titles and the command line.

A video id is a UUID or an integer 0..2**32-1, and the ids of one index are
all of one kind. A UUID comes as a ``uuid.UUID``, its 16 bytes or its text;
an integer as anything with ``__index__`` (``int``, NumPy integers; never a
``bool``) or the text of its decimal digits. Counts and a term's total count
have the same 32-bit limit.
"""

from __future__ import annotations

import operator
import uuid
from typing import Union

U32_MAX = 2**32 - 1  # the largest integer id, count and total count
RULE = f"a UUID or an integer 0..{U32_MAX}"  # what a video id is, as messages say it
VideoId = Union[int, uuid.UUID]


def shown(value: object) -> str:
    """A value as a message shows it: its repr, cut to 60 characters."""
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def refused(value: object) -> ValueError:
    """The error for a value that names no video id."""
    return ValueError(f"video id must be {RULE}, got {shown(value)}")


def parse(value: object, text: bool = True) -> VideoId:
    """The video id that ``value`` names: an integer, or a ``uuid.UUID`` for a
    UUID. Takes an integer, a ``uuid.UUID``, 16 bytes and, when ``text``,
    their text (blanks around it ignored; decimal digits are an integer id).
    Raises ValueError for a value of these kinds that names no id, TypeError
    for any other kind.

    >>> parse(" 42 "), parse("7d9f2c1e-0000-4000-8000-000000000001")
    (42, UUID('7d9f2c1e-0000-4000-8000-000000000001'))
    """
    if isinstance(value, str) and text:
        digits = value.strip()
        if not (digits.isascii() and digits.isdigit()):
            try:
                return uuid.UUID(digits)
            except ValueError:
                raise refused(value) from None
        value = int(digits)
    elif isinstance(value, uuid.UUID):
        return value
    elif isinstance(value, (bytes, bytearray)):
        if len(value) != 16:
            raise ValueError(f"video id must be 16 bytes long, got {len(value)} bytes")
        return uuid.UUID(bytes=bytes(value))
    elif isinstance(value, bool) or not hasattr(type(value), "__index__"):
        kinds = "a uuid.UUID, 16 bytes, an integer or the text of one" if text else \
            "a uuid.UUID, 16 bytes or an integer"
        raise TypeError(f"video id must be {kinds}, got {type(value).__name__}")
    number = operator.index(value)
    if not 0 <= number <= U32_MAX:
        raise refused(number)
    return number


def key_bytes(video: VideoId) -> bytes:
    """How an index's id table keeps a parsed id: a UUID's 16 bytes, or an
    integer's 4 little-endian bytes."""
    return video.bytes if isinstance(video, uuid.UUID) else video.to_bytes(4, "little")
