"""A grid of temperatures and box sizes of the Lennard-Jones liquid, three
replicas each, on a local process pool: the mean potential energy per particle
u and the pressure P of every point with their errors.

    python examples/sweep.py                          # examples/lj_liquid.par, 4000 steps, 3 replicas
    python examples/sweep.py --steps 200 --replicas 1 --workers 2

The pool's workers are fresh interpreters that import this file, so the sweep
runs under ``if __name__ == "__main__":``; without the guard every worker would
start the sweep again and die. Finished runs land in --out at once: running the
script again (after Ctrl-C, say) does only the runs that are missing. The
script exits with status 1 when any run failed.
"""

from __future__ import annotations

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main(argv=None) -> int:
    from vorlan import sweep
    from vorlan.sweeps import SweepFailed, average_replicas, executor_for

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--base", default=os.path.join(HERE, "lj_liquid.par"), help="base parameter file")
    parser.add_argument("--steps", type=int, default=4000, help="steps per run (default 4000)")
    parser.add_argument("--replicas", type=int, default=3, help="runs per point (default 3)")
    parser.add_argument("--workers", type=int, default=None, help="processes of the pool (default: one per core)")
    parser.add_argument("--out", default="sweep/", help="results directory (default sweep/)")
    args = parser.parse_args(argv)

    grid = {"kT": [1.0, 1.5, 2.0], "cell_length": [16.93, 18.0]}
    try:
        with executor_for(workers=args.workers) as executor:
            table = sweep(args.base, grid, steps=args.steps, replicas=args.replicas, seed=1, executor=executor,
                          results=args.out)
    except SweepFailed as e:
        print(f"sweep.py: {e}", file=sys.stderr)
        return 1
    print(table[["kT", "cell_length", "replica", "status", "T", "u", "u_err", "P", "P_err"]].to_string(index=False))
    print(average_replicas(table).to_string(index=False))
    return 0 if (table["status"] == "ok").all() else 1


if __name__ == "__main__":
    sys.exit(main())
