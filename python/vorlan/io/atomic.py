"""Files that appear whole or not at all: a writer fills a temporary file next to
the target, and one rename puts it in place."""

import contextlib
import os
import secrets
from typing import Iterator, Union


@contextlib.contextmanager
def replace_atomically(path: Union[str, "os.PathLike[str]"]) -> Iterator[str]:
    """Yields the name of a new temporary file next to `path`; when the block ends
    normally the file replaces `path` in one rename, otherwise it is removed and
    `path` is left as it was (a reader never sees half a file)."""
    target = os.path.abspath(os.fspath(path))
    folder, base = os.path.split(target)
    if os.path.isdir(target):
        raise IsADirectoryError(f"{target}: is a directory")
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"{target}: the folder {folder} does not exist")
    tmp = os.path.join(folder, f".{base}.{secrets.token_hex(4)}.tmp")
    # Created as open() would (mode 0666 less the umask), not 0600 as mkstemp.
    os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    try:
        yield tmp
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
