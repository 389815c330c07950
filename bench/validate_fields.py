#!/usr/bin/env python3
"""Physical checks of the external fields, printed as figures (nothing asserted).

A Lennard-Jones liquid (N = 1000, density 0.8 of the box, shifted LJ at 2.5)
between LJ 9-3 walls on z, and the same driven by a constant body force along
x, brought to kT 1.0 by a Bussi thermostat (--equilibrate steps), then NVE at
dt 0.005 (--steps steps): the drift of etot/N per 1000 steps (slope of a
straight-line fit) and its fluctuation (standard deviation of etot/N). Also the
density profile's peak next to the wall and the time per step on one thread. One
short run's slope scatters by more than these drifts differ: several runs at
two step sizes are bench/validate_drift.py's.

    PYTHONPATH=build/cmake/python python3 bench/validate_fields.py [--steps 5000]
"""

import argparse
import time

import numpy as np

import vorlan
from vorlan import field

N = 1000
DENSITY = 0.8
SIDE = (N / DENSITY) ** (1 / 3)
PARAMS = dict(nr_particles=N, cell_length=SIDE, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.005)

CASES = {
    "no field": [],
    "lj93 walls on z": [field.Wall("z", kind="lj93", epsilon=1.0, sigma=1.0, rcut=2.5)],
    "harmonic walls on z": [field.Wall("z", kind="harmonic", k=50.0, rcut=1.0)],
    "walls + body force 0.05 x": [field.Wall("z", kind="lj93", rcut=2.5), field.Constant(force=(0.05, 0.0, 0.0))],
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--equilibrate", type=int, default=2000)
    ap.add_argument("--steps", type=int, default=5000)
    args = ap.parse_args()
    print(f"{'case':28s} {'drift etot/N per 1000':>22s} {'std etot/N':>12s} {'ms/step':>8s}")
    for name, fields in CASES.items():
        sim = vorlan.Simulation(PARAMS, seed=1, threads=1, fields=fields, method=vorlan.Bussi(tau=0.5))
        sim.run(args.equilibrate)
        nve = vorlan.Simulation(PARAMS, seed=2, threads=1, fields=fields, method=vorlan.NVE(),
                                positions=sim.positions, velocities=sim.velocities, zero_momentum=False)
        t0 = time.perf_counter()
        nve.run(args.steps)
        ms = 1e3 * (time.perf_counter() - t0) / args.steps
        log = nve.log
        e = log["etot"] / N
        slope = np.polyfit(np.asarray(log["step"], dtype=float), e, 1)[0] * 1000
        print(f"{name:28s} {slope:22.3e} {e.std():12.3e} {ms:8.3f}")
        if fields:
            z = nve.positions[:, 2]
            hist, edges = np.histogram(z, bins=40, range=(0, SIDE))
            rho = hist / (SIDE * SIDE * (edges[1] - edges[0]))
            print(f"{'':28s} density by z: peak {rho.max():.3f} at z = {edges[rho.argmax()]:.2f}, "
                  f"middle {rho[15:25].mean():.3f}")


if __name__ == "__main__":
    main()
