"""Many runs at once: a grid of settings times replicas, on any executor.

``sweep(base, grid, ...)`` expands a grid of settings over a base parameter set,
runs every combination ``replicas`` times on a ``concurrent.futures`` executor
(a local process pool by default, a Dask cluster or an MPI pool when given) and
returns one table row per run: the settings that vary, the replica and its seed,
the status, the wall time, and the means and standard errors over the second
half of the run of the temperature T, the potential energy per particle
u = epot/N, the pressure P and the total energy per particle e = etot/N (errors
by blocking, ``vorlan.analysis``).

    plan     the runs: grid points, replicas, seeds (run_seed)
    worker   one run and its averages
    table    results on disk, the table, average_replicas
    driver   sweep(), the executors, Ctrl-C and lost workers
"""

from __future__ import annotations

import os
from typing import Any, Mapping, Optional, Union

from ..analysis import block_error
from .driver import SweepFailed, executor_for, sweep
from .plan import run_seed
from .table import average_replicas, read_sweep

__all__ = ["sweep", "SweepFailed", "read_sweep", "average_replicas", "plot_sweep", "run_seed", "executor_for", "block_error"]


def plot_sweep(results_dir: Union[str, "os.PathLike[str]"], out_png: Union[str, "os.PathLike[str]"], *,
               reference: Optional[Mapping[str, Any]] = None) -> str:
    """Draws u and P (replica means with error bars) against the varied setting
    of the sweep in `results_dir` and saves the figure to `out_png`
    (``vorlan.plot.plot_sweep_table``). Returns the path written."""
    from ..plot import plot_sweep_table

    mean = average_replicas(read_sweep(results_dir))
    if mean.empty:
        raise ValueError(f"No finished runs in {os.fspath(results_dir)!r} to plot: every run failed")
    return plot_sweep_table(mean, out_png, reference)
