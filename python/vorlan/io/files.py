"""Files that a reader opens: regular files only, and no more bytes than their
kind ever holds.

A device such as /dev/zero never ends, a pipe without a writer never delivers,
and a file far larger than any of its kind is not one: each is refused before
its contents are read, as the engine's parameter reader refuses them. Every
reader of the package opens its input through `open_regular`.
"""

from __future__ import annotations

import io
import os
import stat
from typing import BinaryIO, Optional, Union

__all__ = ["NotRegularFileError", "open_regular", "read_regular", "PARAMETER_FILE_BYTES", "SUMMARY_BYTES",
           "LOG_BYTES"]

PathLike = Union[str, "os.PathLike[str]"]

PARAMETER_FILE_BYTES = 1 << 20  # a parameter file: a few key = value lines (the engine's own cap)
SUMMARY_BYTES = 1 << 20         # a sweep's run summary (JSON): a few kilobytes
LOG_BYTES = 1 << 30             # a run log: about 150 bytes a step, so some 7 million steps


class NotRegularFileError(OSError, ValueError):
    """A path that names a directory, a device, a pipe or a socket where a file
    is to be read (an OSError, and a ValueError as the readers raised before).
    `filename` is the path, `strerror` what it is instead."""

    def __init__(self, name: str, reason: str):
        super().__init__()
        self.filename, self.strerror = name, reason

    def __str__(self) -> str:
        return f"{self.filename}: {self.strerror}"


def _kind(mode: int) -> str:
    return ("a directory" if stat.S_ISDIR(mode) else "a character device" if stat.S_ISCHR(mode)
            else "a block device" if stat.S_ISBLK(mode) else "a pipe" if stat.S_ISFIFO(mode)
            else "a socket" if stat.S_ISSOCK(mode) else "not a regular file")


class _Capped(io.RawIOBase):
    """A file descriptor read up to `limit` bytes; one more is an error (a file
    that grows while it is read)."""

    def __init__(self, fd: int, name: str, what: str, limit: Optional[int]):
        self._file = io.FileIO(fd, "rb", closefd=True)
        self.name, self._what, self._limit, self._count = name, what, limit, 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> Optional[int]:  # type: ignore[override]
        got = self._file.readinto(buffer)
        self._count += got or 0
        if self._limit is not None and self._count > self._limit:
            raise _too_long(self.name, self._what, self._limit)
        return got

    def fileno(self) -> int:
        return self._file.fileno()

    def close(self) -> None:
        self._file.close()
        super().close()


def _too_long(name: str, what: str, limit: int) -> ValueError:
    return ValueError(f"{name}: longer than {limit} bytes, more than any {what} holds")


def open_regular(path: PathLike, what: str, limit: Optional[int] = None) -> BinaryIO:
    """`path` opened for reading bytes, when it is a regular file of at most
    `limit` bytes (None: any size); `what` names its kind in messages ("run
    log"). The open does not block (a pipe without a writer is refused at once).

    Without a limit the file is seekable and can be memory-mapped. Raises
    FileNotFoundError or PermissionError as open() does,
    NotRegularFileError for anything but a regular file, and ValueError for a
    file longer than `limit`, also one that grows past it while it is read."""
    name = os.fsdecode(os.fspath(path))
    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise NotRegularFileError(name, f"is {_kind(st.st_mode)}, not a {what} (a regular file is needed)")
        if limit is not None and st.st_size > limit:
            raise _too_long(name, what, limit)
        os.set_blocking(fd, True)
        if limit is None:
            return os.fdopen(fd, "rb")
        raw = _Capped(fd, name, what, limit)
    except BaseException:
        os.close(fd)
        raise
    return io.BufferedReader(raw)  # type: ignore[return-value]


def read_regular(path: PathLike, what: str, limit: Optional[int] = None) -> bytes:
    """The whole contents of `path`, checked as by `open_regular`."""
    with open_regular(path, what, limit) as f:
        return f.read()
