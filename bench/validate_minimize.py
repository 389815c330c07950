#!/usr/bin/env python3
"""Inherent structures of the Kob-Andersen glass former: FIRE in vorlan, and
LAMMPS's ``min_style fire`` from the same configurations when it is installed.

    python3 bench/validate_minimize.py                  # N = 1000, T = 2.0 .. 0.45, 3 configurations each
    python3 bench/validate_minimize.py --steps 20000    # longer equilibration at each temperature

A relaxed random start (ka_lammps.ka_start) is cooled step by step through the
temperatures under Bussi's thermostat; at each one, after `steps` steps, the
configuration is minimised every `steps / samples` steps (copies: the run goes
on undisturbed) to fmax 1e-8 (the largest force on a particle). It prints the
inherent-structure energy per particle against T with the FIRE iterations, and
checks on the first configuration that one and two threads give the same
minimum bit for bit. With LAMMPS (bench/setup-peer.sh) each configuration is
minimised there too (``min_modify norm max``: the same criterion) and the
energies and iterations are printed beside vorlan's.

The figure is docs/howto/inherent_structures.png. Below T of about 0.45 a run
of this length no longer equilibrates: the energies then depend on the cooling
rate, which is the point of a quench protocol, not a fault.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import vorlan  # noqa: E402
from ka_lammps import ka_start, lammps_binary, run_lmp, setup_commands, write_data  # noqa: E402
from vorlan.analysis import estimate, inherent_structures  # noqa: E402

TEMPERATURES = (2.0, 1.0, 0.8, 0.6, 0.5, 0.45)


def lammps_minimum(sim, fmax: float, max_steps: int) -> tuple:
    """(energy per particle, iterations) of LAMMPS's FIRE from the state of `sim`."""
    with tempfile.TemporaryDirectory() as tmp:
        write_data(os.path.join(tmp, "start.data"), sim.positions, sim.types, sim.box)
        script = [line for line in setup_commands(sim.box) if not line.startswith(("region", "create_box", "mass"))]
        script = (["units lj", "atom_style atomic", "boundary p p p", "atom_modify map array",
                   "read_data start.data"] + script[4:]
                  + ["thermo_modify norm yes", "min_style fire", "min_modify norm max",
                     f"minimize 0.0 {fmax!r} {max_steps} {10 * max_steps}"])
        log = run_lmp(tmp, script)
    energy = re.search(r"Energy initial, next-to-last, final =\s*\n\s*\S+\s+\S+\s+(\S+)", log)
    iterations = re.search(r"Iterations, force evaluations =\s*(\d+)", log)
    if energy is None or iterations is None:
        raise RuntimeError("LAMMPS's log has no minimisation summary:\n" + log[-2000:])
    return float(energy.group(1)), int(iterations.group(1))


def main(argv) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=1000)
    p.add_argument("--steps", type=int, default=4000, help="steps at each temperature")
    p.add_argument("--samples", type=int, default=3, help="configurations minimised at each temperature")
    p.add_argument("--fmax", type=float, default=1e-8)
    p.add_argument("--max-steps", type=int, default=100_000, help="FIRE iterations at most (LAMMPS: the same)")
    p.add_argument("--temperatures", default=",".join(map(str, TEMPERATURES)))
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args(argv)

    sim = ka_start(args.n, args.seed)
    sim.method = vorlan.Bussi(0.2)
    sim.set("stepsize", 0.005)
    have_lammps = lammps_binary() is not None
    print(f"Kob-Andersen N = {args.n}, density 1.2, Bussi, {args.steps} steps per temperature, "
          f"FIRE to fmax {args.fmax:g}" + ("" if have_lammps else "; LAMMPS not installed (bench/setup-peer.sh)"))

    with tempfile.TemporaryDirectory() as tmp:
        sim.save(os.path.join(tmp, "start.npz"))
        teams = [vorlan.Simulation.load(os.path.join(tmp, "start.npz"), threads=t) for t in (1, 2)]
    r = [s.minimize(fmax=args.fmax, max_steps=args.max_steps) for s in teams]
    same = np.array_equal(teams[0].positions, teams[1].positions) and r[0].steps == r[1].steps
    print(f"threads 1 and 2 from the same start: {r[0].steps} and {r[1].steps} iterations, minima "
          f"{'identical' if same else 'DIFFERENT'}; energy per particle {r[0].energy_per_particle:.12f} and "
          f"{r[1].energy_per_particle:.12f}, converged {r[0].converged}")

    header = f"{'T':>5} {'e_IS':>22} {'FIRE iterations':>16}" + (
        f" {'vorlan e_IS':>15} {'iterations':>10} {'LAMMPS e_IS':>15} {'iterations':>10} {'|de|':>9}"
        if have_lammps else "")
    print(header)
    rows = []
    for T in (float(t) for t in args.temperatures.split(",")):
        sim.set("kT", T)
        sim.run(args.steps // 2)
        every = max(1, args.steps // (2 * args.samples))
        quench = inherent_structures(sim, every * args.samples, every=every, fmax=args.fmax,
                                     max_steps=args.max_steps)
        e = estimate(quench.energy)
        line = f"{T:5.2f} {str(e):>22} {int(np.mean(quench.steps)):>16d}"
        if not quench.converged.all():
            line += f"  ({(~quench.converged).sum()} not converged)"
        if have_lammps:
            # both codes from the live state at the end of the run
            ours = sim.copy().minimize(fmax=args.fmax, max_steps=args.max_steps)
            lam, iters = lammps_minimum(sim, args.fmax, args.max_steps)
            line += (f" {ours.energy_per_particle:15.9f} {ours.steps:10d} {lam:15.9f} {iters:10d} "
                     f"{abs(lam - ours.energy_per_particle):9.2e}")
        print(line)
        rows.append((T, e.mean, e.error))
    draw(rows, args.n)
    return 0


def draw(rows, n: int) -> None:
    import warnings

    from vorlan.plot import _matplotlib, save_figure

    fig = _matplotlib().figure.Figure(figsize=(4.6, 3.4), constrained_layout=True)
    ax = fig.subplots()
    t, e, err = (np.array(c) for c in zip(*rows))
    ax.errorbar(t, e, yerr=err, marker="o", capsize=3)
    ax.set_xlabel("T of the configurations")
    ax.set_ylabel("inherent-structure energy per particle")
    ax.set_title(f"Kob-Andersen N = {n}, FIRE to fmax 1e-8", fontsize=9)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        print("figure:", save_figure(fig, os.path.join(HERE, "..", "docs", "howto", "inherent_structures.png"), 110))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
