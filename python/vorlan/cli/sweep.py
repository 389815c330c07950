"""``vorlan sweep BASE --set KEY=V1,V2,...``: a grid of settings with replicas on
a local process pool or a Dask cluster (vorlan.sweeps), the table printed.
Exit status 0 when every run finished, 1 when some run failed or the sweep could
not start."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict, List, Tuple, Union

from .._optional import require
from .common import EXIT_INTERRUPTED, CommandError, UsageError, add_ensemble_arguments, ensemble, say


def _parse_set(text: str) -> Tuple[str, List[str]]:
    key, sep, values = text.partition("=")
    key = key.strip()
    if not sep or not key or not values.strip():
        raise argparse.ArgumentTypeError(f"--set {text!r} is not allowed: write KEY=V1,V2,... (e.g. kT=1.0,1.5)")
    items = [v.strip() for v in values.split(",")]
    if any(not v for v in items):
        raise argparse.ArgumentTypeError(f"--set {text!r} has an empty value: write KEY=V1,V2,...")
    return key, items


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    """Registers `vorlan sweep` with an argparse subparsers object."""
    p = subparsers.add_parser(
        "sweep",
        help="run a grid of settings with replicas in parallel",
        description="Runs every combination of the --set values over a base parameter file "
        "(with --pressure, --set pressure=... varies the barostat's pressure), "
        "each --replicas times, on a local process pool or a Dask cluster. Each finished run "
        "is written to --out at once; running the same command again skips finished runs.",
    )
    p.add_argument("base", help="base parameter file")
    p.add_argument("--set", dest="sets", metavar="KEY=V1,V2,...", type=_parse_set, action="append", default=[],
                   help="values of one setting (repeat for more settings; all combinations run)")
    p.add_argument("--system", metavar="FILE.toml", default=None,
                   help="species, pairs and start of every run (TOML or JSON); --set fraction.B=0.1,0.2 varies a share, "
                   "--set pair.kappa=1,2 (or pair.A-B.epsilon=...) a parameter of its pair potential")
    p.add_argument("--replicas", type=int, default=1, help="independent runs per point (default 1)")
    p.add_argument("--seed", type=int, default=0, help="sweep seed, from which every run's seed follows (default 0)")
    p.add_argument("--steps", type=int, default=None, help="number of steps (overrides nrsteps)")
    p.add_argument("--scheduler", metavar="ADDRESS", default=None,
                   help="address of a Dask scheduler (tcp://host:8786); default: a local process pool")
    p.add_argument("--workers", type=int, default=None, help="processes of the local pool (default: one per core)")
    p.add_argument("--out", default="sweep/", help="results directory (default sweep/)")
    add_ensemble_arguments(p)
    p.set_defaults(func=cmd_sweep)
    return p


def cmd_sweep(args: argparse.Namespace) -> int:
    pd = require("pandas", extra="sweep", purpose="vorlan sweep")  # before any run
    from ..sweeps import executor_for, sweep
    from ..sweeps.driver import SweepFailed

    grid: Dict[str, List[str]] = {}
    for key, values in args.sets:
        if key in grid:
            raise CommandError(f"--set {key}=... is given twice: list all its values in one --set")
        grid[key] = values
    if not grid:
        grid_points: Union[Dict[str, List[str]], List[Dict[str, str]]] = [{}]
    else:
        grid_points = grid
    try:
        method, barostat = ensemble(args)
    except ValueError as e:
        raise UsageError(str(e)) from None
    try:
        with executor_for(args.scheduler, args.workers) as executor:
            table = sweep(args.base, grid_points, steps=args.steps, replicas=args.replicas, seed=args.seed,
                          executor=executor, results=args.out, progress=True, method=method, barostat=barostat,
                          system=args.system)
    except SweepFailed as e:
        table = e.table
    except KeyboardInterrupt:
        say(f"\nvorlan sweep: interrupted; the finished runs are kept in {args.out} (the same command resumes)",
            file=sys.stderr)
        return EXIT_INTERRUPTED
    except (ValueError, KeyError, TypeError, OSError, ImportError) as e:
        raise CommandError(e.args[0] if isinstance(e, KeyError) and e.args else str(e)) from None

    with pd.option_context("display.width", 200, "display.max_columns", 30):
        print(table.drop(columns=["message"]).to_string(index=False))
    failed = table[table["status"] != "ok"]
    for _, row in failed.iterrows():
        print(f"failed: replica {row['replica']} " + " ".join(f"{k}={row[k]}" for k in grid) + f": {row['message']}",
              file=sys.stderr)
    print(f"{len(table) - len(failed)} of {len(table)} runs finished; results in {args.out}", file=sys.stderr)
    return 1 if len(failed) else 0
