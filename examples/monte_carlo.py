"""Metropolis Monte Carlo written in Python over a live vorlan.Simulation.

Each trial move displaces one particle by a uniform step in a cube of side
2 delta, sets the positions (``sim.set_positions``, which rebuilds the list and
evaluates the energy), and accepts with probability min(1, exp(-dU / kT)); a
rejected move puts the old positions back. The engine's potential (truncated
and shifted Lennard-Jones) is the same as MD's, so the canonical average of the
potential energy per particle <u> must agree with that of a thermostatted MD
run at the same kT and density, within the error bars (blocking):

    python examples/monte_carlo.py                 # N = 108, rho = 0.8, kT = 1.0
    python examples/monte_carlo.py --sweeps 4000   # tighter error bars

Each trial costs a whole force evaluation (O(N)), so a sweep of N trials costs
O(N^2): this is a demonstration of the live edits, not a fast Monte Carlo code.
"""

from __future__ import annotations

import argparse
import math

import numpy as np

import vorlan
from vorlan import Simulation
from vorlan.analysis import estimate


def settings(n: int, density: float, kT: float) -> dict:
    return dict(nr_particles=str(n), cell_length=repr((n / density) ** (1 / 3)), kT=repr(kT), mass="1", sigma="1",
                epsilon="1", rcut="2.5", shell="0.3", stepsize="0.005", tau="0.1", nrsteps="1000")


def monte_carlo(sim: Simulation, sweeps: int, kT: float, delta: float, seed: int) -> tuple:
    """(u after every sweep, acceptance ratio) of `sweeps` sweeps of N trial moves."""
    rng = np.random.default_rng(seed)
    n = sim.nr_particles
    x, u = sim.positions, sim.epot
    accepted, energies = 0, []
    for _ in range(sweeps):
        for _ in range(n):
            i = rng.integers(n)
            trial = x.copy()
            trial[i] += rng.uniform(-delta, delta, 3)
            sim.set_positions(trial, check_overlap=False)  # the Boltzmann factor judges overlaps
            du = sim.epot - u
            if du <= 0.0 or rng.random() < math.exp(-du / kT):
                x, u = sim.positions, sim.epot
                accepted += 1
            else:
                sim.set_positions(x, check_overlap=False)
        energies.append(u / n)
    return np.array(energies), accepted / (sweeps * n)


def molecular_dynamics(params: dict, steps: int, seed: int) -> np.ndarray:
    """u after every step of a Bussi-thermostatted run, after equilibration."""
    sim = Simulation(params, seed=seed, threads=1, method=vorlan.Bussi(0.1))
    sim.run(steps // 4)
    sim.run(steps)
    return sim.log["epot"][-steps:] / sim.nr_particles


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=108)
    p.add_argument("--density", type=float, default=0.8)
    p.add_argument("--kT", type=float, default=1.0)
    p.add_argument("--sweeps", type=int, default=1000)
    p.add_argument("--delta", type=float, default=0.12, help="largest displacement per axis")
    p.add_argument("--md-steps", type=int, default=20000)
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()

    params = settings(args.n, args.density, args.kT)
    sim = Simulation(params, seed=args.seed, threads=1)  # small N: a team would only wait for itself
    u, acceptance = monte_carlo(sim, args.sweeps, args.kT, args.delta, args.seed)
    mc = estimate(u[len(u) // 5:])
    md = estimate(molecular_dynamics(params, args.md_steps, args.seed))
    print(f"N = {args.n}, rho = {args.density}, kT = {args.kT}")
    print(f"Monte Carlo   <u> = {mc}  ({args.sweeps} sweeps, acceptance {acceptance:.2f})")
    print(f"MD (Bussi)    <u> = {md}  ({args.md_steps} steps)")
    print(f"difference    {mc.mean - md.mean:+.4f} = {(mc.mean - md.mean) / math.hypot(mc.error, md.error):+.1f} "
          "combined standard errors")


if __name__ == "__main__":
    main()
