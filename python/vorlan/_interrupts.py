"""Ctrl-C held back while a file is written, so that every frame or log on disk
is whole: inside a ``protected()`` block a SIGINT is only noted, and raised as
KeyboardInterrupt when the block ends. Outside such blocks Ctrl-C behaves as
usual. Only the main thread can install a signal handler; elsewhere nothing
changes."""

from __future__ import annotations

import contextlib
import signal
import threading
from typing import Any, Iterator, Optional

__all__ = ["Interrupts"]


class Interrupts:
    """A context manager that installs the deferring SIGINT handler."""

    def __init__(self) -> None:
        self.depth = 0                    # protected blocks open
        self.pending = False              # a SIGINT arrived inside one
        self.previous: Optional[Any] = None  # the handler to restore; None: nothing installed

    def _handler(self, signum: int, frame: Any) -> None:
        if self.depth:
            self.pending = True
        elif callable(self.previous):
            self.previous(signum, frame)
        else:
            raise KeyboardInterrupt

    def __enter__(self) -> "Interrupts":
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: Any) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
            self.previous = None

    @contextlib.contextmanager
    def protected(self) -> Iterator[None]:
        """A block that Ctrl-C does not cut short; the interrupt follows it."""
        self.depth += 1
        try:
            yield
        finally:
            self.depth -= 1
        if not self.depth and self.pending:
            self.pending = False
            raise KeyboardInterrupt
