"""Index files: an index's saved bytes (``PrefixSearch.to_bytes()``), in
version 2 followed by the titles section (``tessaloom.titles``), then a
32-byte trailer that says what the file is and lets a load check that the
bytes are the ones that were saved.

The trailer, all little-endian: the magic ``TSLMIDX1``, a u32 file version
(1 without titles, 2 with), a u32 of flags (0), the u64 length of the saved
index, the u32 CRC-32 (``zlib.crc32``) of every byte before the trailer, and
4 zero bytes. ``from_bytes`` ignores bytes after the index, so a load hands
it the whole file as read, uncopied.
"""

from __future__ import annotations

import os
import secrets
import struct
import zlib
from collections.abc import Iterable, Mapping
from typing import NamedTuple, Optional, Union

from tessaloom._tessaloom import PrefixSearch
from tessaloom.titles import TitledIndex, count_titles, encode_titles

PathLike = Union[str, "os.PathLike[str]"]

MAGIC = b"TSLMIDX1"
VERSION = 1
VERSION_TITLES = 2
TRAILER = struct.Struct("<8sIIQI4s")
assert TRAILER.size == 32

_RAW_HINT = "raw to_bytes() output loads with PrefixSearch.from_bytes(open(path, 'rb').read())"


class Trailer(NamedTuple):
    """The fields of an index file's trailer, as read."""

    version: int
    flags: int
    length: int
    crc: int
    reserved: bytes


class FileCheck(NamedTuple):
    """What checking an index file's bytes found.

    ``trailer`` is None when the file does not end in one. ``crc`` is the
    checksum computed over the saved index, when the trailer allowed it to be
    computed. ``problem`` is None for a sound file, else why it is refused.
    """

    size: int
    trailer: Optional[Trailer]
    crc: Optional[int]
    problem: Optional[str]


def save(index: PrefixSearch, path: PathLike, *, titles: Optional[Mapping] = None) -> None:
    """Write ``index`` to the file ``path``, replacing it atomically.

    The file holds ``index.to_bytes()``, then, when ``titles`` is given (a
    mapping of video id to text, see ``tessaloom.titles.encode_titles``),
    the titles section, and the trailer. It is written to a temporary file
    in the same folder, flushed and synced to disk, then renamed over
    ``path``: a reader sees the old file or the new one, never a part of
    either, and a failure leaves the old file as it was.
    """
    if not isinstance(index, PrefixSearch):
        raise TypeError(f"index must be a PrefixSearch, not {type(index).__name__}")
    save_section(index, path, None if titles is None else encode_titles(titles))


def save_section(index: PrefixSearch, path: PathLike, section: Optional[bytes]) -> None:
    """``save`` with the titles section already encoded (None: no titles)."""
    data = index.to_bytes()
    if section is None:
        version, chunks, crc = VERSION, (data,), zlib.crc32(data)
    else:
        version, chunks, crc = VERSION_TITLES, (data, section), zlib.crc32(section, zlib.crc32(data))
    trailer = TRAILER.pack(MAGIC, version, 0, len(data), crc, bytes(4))
    write_atomically(path, (*chunks, trailer))


def load(path: PathLike) -> PrefixSearch:
    """Load the index saved in the file ``path`` by ``save``, with or without
    titles (``load_titled`` gives them too).

    Raises ValueError, saying which, for a file that is not an index file
    (foreign, or raw ``to_bytes()`` output without the trailer), is
    truncated, or is damaged (trailer or checksum wrong); a file that fails
    its checks is never loaded. OSError (FileNotFoundError, ...) when the
    file cannot be read.
    """
    return _load(path)[0]


def load_titled(path: PathLike) -> TitledIndex:
    """Load the index file ``path`` with the titles it keeps: a
    ``TitledIndex``, whose ``titles`` are empty for a file saved without
    them. Raises as ``load`` does."""
    index, data, check = _load(path)
    if check.trailer.version != VERSION_TITLES:
        return TitledIndex(index)
    try:
        return TitledIndex._from_section(index, memoryview(data)[check.trailer.length : check.size - TRAILER.size])
    except ValueError as e:
        raise ValueError(f"{os.fspath(path)}: damaged: {e}") from None


def _load(path: PathLike) -> tuple[PrefixSearch, bytes, FileCheck]:
    data = read_file(path)
    check = check_bytes(data)
    if check.problem is not None:
        raise ValueError(f"{os.fspath(path)}: {check.problem}")
    try:
        # The whole file: the decoder stops at the index's end, before the
        # trailer, and the index keeps a reference to these bytes.
        return PrefixSearch.from_bytes(data), data, check
    except ValueError as e:
        raise ValueError(f"{os.fspath(path)}: damaged: the checksum matches but the index does not decode ({e})") from None


def read_file(path: PathLike) -> bytes:
    """The bytes of the file ``path``, read in one piece."""
    with open(path, "rb", buffering=0) as f:
        return f.readall()


def check_bytes(data: bytes) -> FileCheck:
    """Check the bytes of an index file: trailer, length and checksum.

    A file without a trailer at its end is examined further (only then) to
    say whether it is raw ``to_bytes()`` output, truncated or foreign.
    """
    size = len(data)
    if size < TRAILER.size or data[size - TRAILER.size : size - TRAILER.size + len(MAGIC)] != MAGIC:
        return FileCheck(size, None, None, _without_trailer(data))
    _, version, flags, length, crc, reserved = TRAILER.unpack_from(data, size - TRAILER.size)
    trailer = Trailer(version, flags, length, crc, reserved)
    if version not in (VERSION, VERSION_TITLES):
        problem = (f"index file version {version}, but this tessaloom reads versions {VERSION} and "
                   f"{VERSION_TITLES} (the file is damaged or was written by a newer tessaloom)")
    elif flags != 0:
        problem = f"unknown flags 0x{flags:08x} in the trailer (the file is damaged or was written by a newer tessaloom)"
    elif reserved != bytes(4):
        problem = "damaged: the trailer's reserved bytes are not zero"
    elif length != size - TRAILER.size if version == VERSION else length > size - TRAILER.size:
        problem = f"damaged: the trailer gives the index {length:,} bytes, but {size - TRAILER.size:,} precede it"
    else:
        computed = zlib.crc32(memoryview(data)[: size - TRAILER.size])
        problem = None if computed == crc else (
            f"damaged: checksum mismatch (the trailer says {crc:08x}, the bytes give {computed:08x})")
        if problem is None and version == VERSION_TITLES:
            try:
                count_titles(memoryview(data)[length : size - TRAILER.size])
            except ValueError as e:
                problem = f"damaged: {e}"
        return FileCheck(size, trailer, computed, problem)
    return FileCheck(size, trailer, None, problem)


def _without_trailer(data: bytes) -> str:
    """Why a file that does not end in a trailer is refused: raw saved bytes,
    a cut, damaged or followed trailer, a truncated index, or something else.
    Only refused files get here, so decoding them to tell these apart costs
    nothing on a sound load."""
    size = len(data)
    if size == 0:
        return "empty file, not a tessaloom index file"
    try:
        saved = len(PrefixSearch.from_bytes(data).to_bytes())
    except ValueError as e:
        if "UnexpectedEnd" in str(e):
            return f"truncated, or not a tessaloom index file: it has no trailer and ends inside an index; {_RAW_HINT}"
        return f"not a tessaloom index file: it has no trailer; {_RAW_HINT}"
    rest = size - saved
    if rest == 0:
        return ("raw PrefixSearch.to_bytes() output without the index file trailer; load such bytes with "
                "PrefixSearch.from_bytes(open(path, 'rb').read()), or write index files with tessaloom.save")
    after = data[saved : saved + len(MAGIC)]
    if after == MAGIC[: len(after)]:
        if rest < TRAILER.size:
            return f"truncated: the file ends {rest} bytes into its {TRAILER.size}-byte trailer"
        return f"damaged: {rest - TRAILER.size:,} bytes follow its trailer"
    if rest == TRAILER.size:
        return "damaged: its trailer does not start with the TSLMIDX1 magic"
    return f"not a tessaloom index file: it has no trailer; {_RAW_HINT}"


def write_atomically(path: PathLike, chunks: Iterable[bytes]) -> None:
    """Write ``chunks`` to ``path`` through a temporary file in the same
    folder, flushed and synced before it is renamed over ``path``. On any
    failure the temporary file is removed and ``path`` is left as it was."""
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    try:
        fd, temp = _create_temporary(folder, os.path.basename(target))
    except OSError as e:
        raise _about(e, target) from None
    try:
        with open(fd, "wb", closefd=True) as f:
            for chunk in chunks:
                f.write(chunk)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, target)
    except BaseException as e:
        try:
            os.unlink(temp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise _about(e, target) from None
        raise
    _sync_folder(folder)


def _about(error: OSError, target: str) -> OSError:
    """The error, naming the file the caller asked for rather than the
    temporary one."""
    if error.errno is None:
        return error
    return OSError(error.errno, error.strerror, target)


def _create_temporary(folder: str, name: str) -> tuple[int, str]:
    # Created with mode 0o666 so the umask gives the file the permissions any
    # new file would have (mkstemp would make it private to the owner).
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        temp = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
        try:
            return os.open(temp, flags, 0o666), temp
        except FileExistsError:
            continue


def _sync_folder(folder: str) -> None:
    """Make the rename durable; not every system can sync a folder."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
