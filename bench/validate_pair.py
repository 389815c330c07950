#!/usr/bin/env python3
"""Lennard-Jones with tail corrections against LAMMPS, printed as figures (nothing asserted).

Lennard-Jones truncated at 2.5 with the tail corrections at kT 1.0, density
0.8 (Bussi thermostat): <u> = <epot>/N and <P> with their standard errors from
10 blocks; beside it the same state in LAMMPS (`lmp`, lj/cut 2.5 with
pair_modify tail yes, fix nvt, sampled the same way) when installed. The
potentials' energy conservation is bench/validate_drift.py's, over POTENTIALS.

    PYTHONPATH=build/cmake/python python3 bench/validate_pair.py [--steps 5000]
"""

import argparse
import os
import re
import shutil
import subprocess
import tempfile

import numpy as np

import vorlan
from vorlan import pair

N = 1000
DENSITY = 0.8
SIDE = (N / DENSITY) ** (1 / 3)
PARAMS = dict(nr_particles=N, cell_length=SIDE, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.005)


def tabulated_lj():
    r = np.linspace(0.6, 2.5, 4000)
    e = 4 * (r**-12 - r**-6) - 4 * (2.5**-12 - 2.5**-6)
    return pair.Table(r, e, 4 * (12 * r**-13 - 6 * r**-7))


POTENTIALS = {
    "LJ shift": pair.LJ(),
    "LJ none": pair.LJ(mode="none"),
    "LJ force_shift": pair.LJ(mode="force_shift"),
    "WCA": pair.WCA(),
    "Mie 14-7": pair.Mie(n=14, m=7),
    "Yukawa": pair.Yukawa(epsilon=5.0, kappa=2.0, rcut=2.5),
    "Morse": pair.Morse(D0=1.0, alpha=3.0, r0=1.12, rcut=2.5),
    "Table (LJ)": tabulated_lj(),
}


def blocks(values, n=10):
    b = np.array([v.mean() for v in np.array_split(values, n)])
    return values.mean(), b.std(ddof=1) / np.sqrt(n)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--equilibrate", type=int, default=2000)
    ap.add_argument("--steps", type=int, default=5000)
    a = ap.parse_args()
    sim = vorlan.Simulation(PARAMS, pair=pair.LJ(mode="none", tail_correction=True), seed=9,
                            method=vorlan.Bussi(0.5))
    sim.run(a.equilibrate)
    u, p = [], []
    for _ in range(a.steps // 10):
        sim.run(10)
        u.append(sim.epot / N)
        p.append(sim.pressure)
    (mu, eu), (mp, ep) = blocks(np.array(u)), blocks(np.array(p))
    print(f"LJ rc 2.5 with tail corrections, kT 1.0, density 0.8, {a.steps} steps after {a.equilibrate}:")
    print(f"  vorlan  <u> = {mu:.4f} +- {eu:.4f}    <P> = {mp:.4f} +- {ep:.4f}")
    if shutil.which("lmp") is None:
        print("  LAMMPS (lmp) is not installed: no comparison")
        return
    (lu, leu), (lp, lep) = lammps_tail(a.equilibrate, a.steps)
    print(f"  LAMMPS  <u> = {lu:.4f} +- {leu:.4f}    <P> = {lp:.4f} +- {lep:.4f}")
    print(f"  difference in combined standard errors: u {(mu - lu) / np.hypot(eu, leu):.2f}, "
          f"P {(mp - lp) / np.hypot(ep, lep):.2f}")


def lammps_tail(equilibrate, steps):
    """<u> and <P> of the same state in LAMMPS, sampled every 10 steps."""
    script = f"""units lj
atom_style atomic
lattice sc {DENSITY}
region box block 0 10 0 10 0 10
create_box 1 box
create_atoms 1 box
mass 1 1.0
velocity all create 1.0 7 mom yes dist gaussian
pair_style lj/cut 2.5
pair_coeff 1 1 1.0 1.0 2.5
pair_modify tail yes
neighbor 0.3 bin
timestep 0.005
fix 1 all nvt temp 1.0 1.0 0.5
thermo_style custom step pe press
thermo_modify norm yes format float %.10g
thermo 10
run {equilibrate}
run {steps}
"""
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "in.lmp"), "w") as fh:
            fh.write(script)
        subprocess.run(["lmp", "-in", "in.lmp", "-log", "log.lammps", "-screen", "none"], cwd=work, check=True)
        log = open(os.path.join(work, "log.lammps")).read()
    last = log.split("Step PotEng Press")[-1]
    rows = np.array([[float(v) for v in line.split()] for line in last.splitlines()[1:]
                     if re.match(r"\s*\d+\s+\S+\s+\S+\s*$", line)])
    return blocks(rows[1:, 1]), blocks(rows[1:, 2])


if __name__ == "__main__":
    main()
