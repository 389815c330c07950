#!/usr/bin/env python3
"""Validation of the barostat's couplings: the LJ liquid at (kT 1.0, P 1.690),
where the truncated and shifted potential's equation of state gives rho 0.800,
under Bussi + CRescale with couple "xyz", "xy" and "none".

  python3 bench/validate_couple.py                    # N = 500, 20000 steps each (a few minutes)
  python3 bench/validate_couple.py --steps 50000 --threads 2
  python3 bench/validate_couple.py --dt 0.0025 --steps 40000   # how the drift follows the time step

Prints for each coupling, with the error bars of blocking (vorlan.analysis):
  <Pxx>, <Pyy>, <Pzz> of the pressure tensor (target: each P0 within the error),
  <rho> (target 0.800 within 0.004),
  the drift of the conserved quantity per particle per 1000 steps (least-squares
  slope over the production run; target |drift| < 1e-4, the time step's own),
  and the box edges at the end (xy: Lx = Ly; none: three edges of their own).
"""

import argparse

import numpy as np

import vorlan
from vorlan.analysis import estimate

P0 = 1.690
LJ = dict(mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5, shell=0.3, tau=0.5, stepsize=0.005, kT=1.0)


def run(couple, n, steps, threads, dt):
    params = dict(LJ, nr_particles=n, cell_length=(n / 0.8) ** (1 / 3), stepsize=dt)
    sim = vorlan.Simulation(params, method=vorlan.Bussi(0.5), barostat=vorlan.CRescale(P0, 2.0, couple=couple),
                            seed=3, threads=threads)
    sim.run(steps // 4)
    start = len(sim.log["step"])
    sim.run(steps, observe={"pressure_tensor": 10})
    tensor = sim.log["pressure_tensor"][start:]
    tensor = tensor[~np.isnan(tensor[:, 0])]
    rho = n / sim.log["volume"][start:]
    conserved = sim.log["conserved"][start:] / n
    drift = np.polyfit(np.arange(len(conserved)), conserved, 1)[0] * 1000
    diag = "  ".join(f"<P{a}{a}> = {e.mean:.3f} ± {e.error:.3f}" for a, e in zip("xyz", map(estimate, tensor[:, :3].T)))
    r = estimate(rho)
    print(f"couple={couple!r:7} {diag}  <rho> = {r.mean:.4f} ± {r.error:.4f}  "
          f"conserved drift {drift:+.1e} /N per 1000 steps  box ({', '.join(f'{b:.3f}' for b in sim.box)})", flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=500)
    p.add_argument("--steps", type=int, default=20000)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--dt", type=float, default=0.005)
    a = p.parse_args()
    print(f"N = {a.n}, kT 1.0, P0 = {P0} (rho 0.800 expected), Bussi(0.5) + CRescale(tau 2), dt {a.dt}, "
          f"{a.steps} steps after {a.steps // 4}")
    for couple in ("xyz", "xy", "none"):
        run(couple, a.n, a.steps, a.threads, a.dt)


if __name__ == "__main__":
    main()
