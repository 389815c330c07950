"""The supercritical isotherm kT = 2.0 of the truncated and shifted Lennard-Jones
fluid (rcut = 2.5 sigma) over the densities 0.1 ... 0.8, with 3 replicas per
density, and one liquid point kT = 1.0, rho = 0.8: potential energy per particle
u and pressure P against the published equation of state.

    python examples/isotherm.py                 # a process pool, one worker per core
    python examples/isotherm.py --workers 1     # one run at a time
    python examples/isotherm.py --scheduler tcp://host:8786   # a Dask cluster

Finished runs land in --out at once; running the script again reuses them.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import vorlan.sweeps as vs

N = 512  # 8^3 particles: the simple cubic start lattice is full
DENSITIES = [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8]

BASE = {
    "nr_particles": N,
    "cell_length": 10.0,  # replaced at every point
    "kT": 2.0,
    "mass": 1.0,
    "sigma": 1.0,
    "epsilon": 1.0,
    "rcut": 2.5,
    "shell": 0.3,
    "tau": 0.5,
    "stepsize": 0.005,
    "nrsteps": 20000,
}

# Published values for the LJTS fluid (rcut = 2.5 sigma), as (kT, rho, u, P).
REFERENCE = [(2.0, 0.2, -1.085, 0.372), (1.0, 0.8, -4.689, 1.690)]


def box(rho: float) -> float:
    """Box edge for N particles at number density rho, to 12 significant digits."""
    return float(f"{(N / rho) ** (1.0 / 3.0):.12g}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=None, help="processes of the local pool (default: one per core)")
    parser.add_argument("--scheduler", default=None, help="address of a Dask scheduler")
    parser.add_argument("--steps", type=int, default=BASE["nrsteps"], help="steps per run")
    parser.add_argument("--replicas", type=int, default=3)
    parser.add_argument("--out", default="isotherm/", help="results directory")
    parser.add_argument("--figure", default=os.path.join(os.path.dirname(__file__), "..", "docs", "isotherm.png"))
    args = parser.parse_args(argv)

    # cell_length first: the plot's abscissa is then the density, the curves are labelled by kT.
    grid = [{"cell_length": box(rho), "kT": 2.0} for rho in DENSITIES] + [{"cell_length": box(0.8), "kT": 1.0}]

    start = time.perf_counter()
    with vs.executor_for(args.scheduler, args.workers) as executor:
        table = vs.sweep(BASE, grid, steps=args.steps, replicas=args.replicas, seed=2026,
                         executor=executor, results=args.out, progress=True)
    minutes = (time.perf_counter() - start) / 60.0
    ran = table["wall_time"].sum() / 60.0

    mean = vs.average_replicas(table)
    print(f"{len(table)} runs of {N} particles and {args.steps} steps; {minutes:.2f} min for this call "
          f"({len(table) / minutes:.1f} runs/min if none was reused), {ran:.2f} run-minutes in total")
    print(mean[["kT", "rho", "replicas", "T", "T_err", "u", "u_err", "P", "P_err"]].to_string(index=False,
                                                                                           float_format="%.4f"))
    print("\nagainst the published LJTS equation of state:")
    for kT, rho, u_ref, p_ref in REFERENCE:
        row = mean[(mean["kT"] == kT) & ((mean["rho"] - rho).abs() < 1e-6)].iloc[0]
        print(f"  kT = {kT}, rho = {rho}: T = {row['T']:.4f}; "
              f"u = {row['u']:.4f} +- {row['u_err']:.4f} (ref {u_ref}, diff {row['u'] - u_ref:+.4f}); "
              f"P = {row['P']:.4f} +- {row['P_err']:.4f} (ref {p_ref}, diff {row['P'] - p_ref:+.4f})")

    os.makedirs(os.path.dirname(os.path.abspath(args.figure)), exist_ok=True)
    reference = {"rho": [r[1] for r in REFERENCE], "u": [r[2] for r in REFERENCE], "P": [r[3] for r in REFERENCE],
                 "label": "LJTS EOS, published"}
    vs.plot_sweep(args.out, args.figure, reference=reference)
    print(f"figure: {os.path.normpath(args.figure)}")
    return 0 if (table["status"] == "ok").all() else 1


if __name__ == "__main__":
    sys.exit(main())
