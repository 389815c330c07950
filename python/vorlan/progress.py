"""Progress bars: tqdm when it is installed (``pip install 'vorlan[progress]'``),
else a line on standard error. Steps of one run show atom-steps per second and
the time left; the runs of a sweep one line per finished run."""

from __future__ import annotations

import math
import sys
import time
from typing import Any, Optional

from ._optional import available

__all__ = ["StepProgress", "RunProgress"]


def _tqdm(**options: Any) -> Optional[Any]:
    if not available("tqdm"):
        return None
    from tqdm.auto import tqdm

    return tqdm(**options)


def _clock(seconds: float) -> str:
    s = int(round(seconds))
    return f"{s // 3600}:{s % 3600 // 60:02d}:{s % 60:02d}"


class StepProgress:
    """Steps done of one run, atom-steps per second and the time left."""

    def __init__(self, total: int, nr_particles: int) -> None:
        self.total = total          # steps of the run
        self.atoms = nr_particles   # N, for the rate in atom-steps per second
        self.done = 0               # steps done so far
        self.start = time.perf_counter()
        self.last_print = 0.0       # seconds into the run of the latest line printed
        self.bar = _tqdm(total=total, unit="step", dynamic_ncols=True)

    def update(self, done: int) -> None:
        """The run has done `done` steps."""
        steps, self.done = done - self.done, done
        elapsed = time.perf_counter() - self.start
        rate = self.done * self.atoms / elapsed if elapsed > 0 else 0.0
        if self.bar is not None:
            self.bar.set_postfix_str(f"{rate:.3g} atom-steps/s", refresh=False)
            self.bar.update(steps)
            return
        if elapsed - self.last_print < 0.2 and self.done < self.total:
            return
        self.last_print = elapsed
        left = (self.total - self.done) * elapsed / self.done if self.done else math.inf
        eta = "?" if math.isinf(left) else _clock(left)
        sys.stderr.write(
            f"\rstep {self.done}/{self.total}  {rate:.3g} atom-steps/s  elapsed {_clock(elapsed)}  ETA {eta} "
        )
        sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.done:
            sys.stderr.write("\n")
            sys.stderr.flush()


class RunProgress:
    """Runs of a sweep finished so far."""

    def __init__(self, total: int, done: int, enabled: bool) -> None:
        self.enabled = enabled  # show anything at all
        self.total = total      # runs of the sweep
        self.done = done        # runs finished, those of an earlier call included
        self.bar = _tqdm(total=total, initial=done, unit="run", desc="sweep") if enabled else None

    def update(self, name: str, status: str) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.update(1)
        elif self.enabled:
            print(f"sweep: {self.done}/{self.total} {name} {status}", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
