"""Files that appear whole or not at all: a writer fills a temporary file next to
the target, and one rename puts it in place.

The temporary file ``.NAME.XXXXXXXX.tmp`` is locked (``flock``) while its writer
lives. A writer killed outright (``kill -9``, a power cut) leaves it behind; the
next writer of the same target removes every such file that no process holds
locked any more and that is older than a minute (the lock is taken a moment
after the file is made).
"""

import contextlib
import fcntl
import os
import re
import secrets
import stat
import time
from typing import Iterator, Optional, Union

STALE_AFTER = 60.0  # seconds: an unlocked temporary file at least this old has lost its writer


def _remove_stale(folder: str, base: str) -> None:
    """Removes the temporary files of `base` in `folder` whose writers are gone."""
    pattern = re.compile(r"\." + re.escape(base) + r"\.[0-9a-f]{8}\.tmp")
    try:
        names = [n for n in os.listdir(folder) if pattern.fullmatch(n)]
    except OSError:
        return
    for name in names:
        path = os.path.join(folder, name)
        with contextlib.suppress(OSError):
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
            try:
                if time.time() - os.fstat(fd).st_mtime < STALE_AFTER:
                    continue
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # fails while its writer lives
                os.unlink(path)
            finally:
                os.close(fd)


def write_problem(path: Union[str, "os.PathLike[str]"]) -> Optional[str]:
    """Why a file could not be written at `path`, as far as can be told before
    writing it, or None: its folder is missing or not writable, or a directory,
    a device, a pipe or a socket stands in its place (a full disk shows only
    when writing)."""
    target = os.path.abspath(os.fspath(path))
    folder = os.path.dirname(target)
    if not os.path.isdir(folder):
        return f"the folder {folder} does not exist"
    with contextlib.suppress(OSError):
        mode = os.stat(target).st_mode
        if not stat.S_ISREG(mode):
            return "a directory is in its place" if stat.S_ISDIR(mode) else "it is not a regular file"
    if not os.access(folder, os.W_OK):
        return f"the folder {folder} is not writable"
    return None


@contextlib.contextmanager
def replace_atomically(path: Union[str, "os.PathLike[str]"]) -> Iterator[str]:
    """Yields the name of a new temporary file next to `path`; when the block ends
    normally the file replaces `path` in one rename, otherwise it is removed and
    `path` is left as it was (a reader never sees half a file). Temporary files
    of `path` left by writers that were killed are removed first."""
    target = os.path.abspath(os.fspath(path))
    folder, base = os.path.split(target)
    if os.path.isdir(target):
        raise IsADirectoryError(f"{target}: is a directory")
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"{target}: the folder {folder} does not exist")
    if os.path.exists(target) and not os.path.isfile(target):  # a device is never replaced
        raise OSError(f"{target}: is not a regular file; a file is written only in place of one")
    _remove_stale(folder, base)
    tmp = os.path.join(folder, f".{base}.{secrets.token_hex(4)}.tmp")
    # Created as open() would (mode 0666 less the umask), not 0600 as mkstemp.
    lock = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with contextlib.suppress(OSError):  # a file system without locks: the file is never taken as stale
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield tmp
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    finally:
        os.close(lock)
