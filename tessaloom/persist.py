"""Index files: an index's saved bytes (``PrefixSearch.to_bytes()``), in
version 2 followed by the titles section (``tessaloom.titles``), then a
32-byte trailer that says what the file is and lets a load check that the
bytes are the ones that were saved.

The trailer, all little-endian: the magic ``TSLMIDX1``, a u32 file version
(1 without titles, 2 with), a u32 of flags (0), the u64 length of the saved
index, the u32 CRC-32 (``zlib.crc32``) of every byte before the trailer, and
4 zero bytes. A load decodes exactly the declared length of the file as
read, uncopied.
"""

from __future__ import annotations

import errno
import itertools
import os
import re
import stat
import struct
import threading
import zlib
from collections.abc import Iterable, Mapping
from typing import NamedTuple, Optional, Union

from tessaloom._native import load_index
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
    the titles section, and the trailer; titles keyed by the other kind of
    video id than the index's are refused with ValueError, before anything
    is written. It is written to a temporary file
    in the same folder, flushed and synced to disk, then renamed over
    ``path``: a reader sees the old file or the new one, never a part of
    either, and a failure leaves the old file as it was.
    """
    if not isinstance(index, PrefixSearch):
        raise TypeError(f"index must be a PrefixSearch, not {type(index).__name__}")
    save_section(index, path, None if titles is None else encode_titles(titles, index))


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
    return decode(path, data, check.trailer.length), data, check


def decode(path: PathLike, data: bytes, length: int) -> PrefixSearch:
    """The index saved in exactly the first ``length`` bytes of a checked
    file's ``data``, decoded where it lies (the index keeps a reference to
    ``data``): an index that ends before ``length``, or needs bytes past it,
    is refused, so the trailer is never read as part of the index."""
    try:
        return load_index(data, length)
    except ValueError as e:
        where = os.fspath(path)
        raise ValueError(f"{where}: damaged: the checksum matches but the index does not decode ({e})") from None


def read_file(path: PathLike) -> bytes:
    """The bytes of the index file ``path``, read in one piece.

    An index file is a regular file, read up to the size it has when opened.
    Anything else (a FIFO, a device, a socket) is refused at once with
    ValueError, before a byte is read: such a file may never end, or never
    begin. A folder raises IsADirectoryError.
    """
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)  # a FIFO opens without waiting for a writer
    with open(fd, "rb", buffering=0) as f:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
        if not stat.S_ISREG(mode):
            where = os.fspath(path)
            raise ValueError(f"{where}: not a regular file ({_kind_of(mode)}): an index file is a regular file")
        os.set_blocking(fd, True)
        size = os.fstat(fd).st_size
        data = f.read(size)
        if len(data) < size:  # one read returns at most about 2 GiB
            parts, have = [data], len(data)
            while have < size and (part := f.read(size - have)):
                parts.append(part)
                have += len(part)
            data = b"".join(parts)
        return data


def _kind_of(mode: int) -> str:
    for test, kind in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "not a file"


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
        problem = (f"unknown flags 0x{flags:08x} in the trailer "
                   "(the file is damaged or was written by a newer tessaloom)")
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
    failure the temporary file is removed and ``path`` is left as it was.

    A symlink at ``path`` is followed: the file it names is replaced and the
    link stays. The new file has the permissions of any new file (0o666
    less the umask), whatever the replaced file had.

    The temporary file has no name while it is written, where the system
    can make such files (O_TMPFILE); it is named only to be renamed. Names of
    temporaries are short and carry the writer's process id, so that a save
    first removes those of its path left by writers that were killed, and
    never a live writer's."""
    given = os.fspath(path)
    target = os.path.realpath(given) if os.path.islink(given) else given
    folder = os.path.dirname(os.path.abspath(target))
    tag = f"{zlib.crc32(os.fsencode(os.path.basename(target))):08x}"
    temp = None
    try:
        _remove_stale_temporaries(folder, tag)
        fd, temp = _create_temporary(folder, tag)
        with open(fd, "wb", closefd=True) as f:
            for chunk in chunks:
                f.write(chunk)
            f.flush()
            os.fsync(f.fileno())
            if temp is None:
                temp = _name_temporary(fd, folder, tag)
        os.replace(temp, target)
        _forget(temp)
        temp = None
    except BaseException as e:
        if temp is not None:
            try:
                os.unlink(temp)
            except OSError:
                pass
            _forget(temp)
        if isinstance(e, OSError):
            raise _about(e, given) from None
        raise
    _sync_folder(folder)


def _about(error: OSError, target: str) -> OSError:
    """The error, naming the file the caller asked for rather than the
    temporary one."""
    if error.errno is None:
        return error
    return OSError(error.errno, error.strerror, target)


# Temporaries: ".tessaloom-<crc32 of the target's name>-<pid>-<n>.tmp".
_TEMPORARY = re.compile(r"\.tessaloom-([0-9a-f]{8})-([0-9]{1,10})-[0-9]+\.tmp")
_numbers = itertools.count()
_ours: set[str] = set()  # this process's temporaries that are being written
_use_unnamed = hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd")
_FLAGS = os.O_WRONLY | getattr(os, "O_CLOEXEC", 0)
_lock = threading.Lock()


def _temporary_name(folder: str, tag: str) -> str:
    temp = os.path.join(folder, f".tessaloom-{tag}-{os.getpid()}-{next(_numbers)}.tmp")
    with _lock:
        _ours.add(temp)
    return temp


def _forget(temp: str) -> None:
    with _lock:
        _ours.discard(temp)


def _create_temporary(folder: str, tag: str) -> tuple[int, Optional[str]]:
    """A new file to write, and its name: None while it has none."""
    # Mode 0o666, so that the umask gives the file the permissions any new
    # file would have (mkstemp would make it private to the owner).
    if _use_unnamed:
        try:
            return os.open(folder, os.O_TMPFILE | _FLAGS, 0o666), None
        except OSError as e:
            if e.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise
            # This filesystem (or kernel) has no unnamed files: named ones.
    while True:
        temp = _temporary_name(folder, tag)
        try:
            return os.open(temp, _FLAGS | os.O_CREAT | os.O_EXCL, 0o666), temp
        except FileExistsError:
            _forget(temp)
        except BaseException:
            _forget(temp)
            raise


def _name_temporary(fd: int, folder: str, tag: str) -> str:
    """Gives the unnamed file open as ``fd`` a temporary name."""
    # os.link follows the /proc link (linkat with AT_SYMLINK_FOLLOW) only
    # when it is given a folder descriptor.
    dir_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        while True:
            temp = _temporary_name(folder, tag)
            try:
                os.link(f"/proc/self/fd/{fd}", os.path.basename(temp), dst_dir_fd=dir_fd, follow_symlinks=True)
                return temp
            except FileExistsError:
                _forget(temp)
            except BaseException:
                _forget(temp)
                raise
    finally:
        os.close(dir_fd)


def _remove_stale_temporaries(folder: str, tag: str) -> None:
    """Removes the temporaries of this target left by writers that are gone."""
    me = os.getpid()
    try:
        with os.scandir(folder) as entries:
            names = [e.name for e in entries if e.name.startswith(".tessaloom-" + tag)]
    except OSError:
        return  # the save itself will say what is wrong with the folder
    for name in names:
        match = _TEMPORARY.fullmatch(name)
        if match is None or match[1] != tag:
            continue
        temp = os.path.join(folder, name)
        pid = int(match[2])
        with _lock:
            live = temp in _ours if pid == me else _alive(pid)
        if not live:
            try:
                os.unlink(temp)
            except OSError:
                pass


def _alive(pid: int) -> bool:
    if pid <= 0:
        return True  # not a name this module gives: left alone
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):
        return True  # another user's process, or not a process id: left alone
    return True


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
