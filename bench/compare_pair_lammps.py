#!/usr/bin/env python3
"""Every pair potential of vorlan.pair against LAMMPS on the same configuration.

For each potential (LJ in each mode, WCA, Mie 14-7, Yukawa, Morse, Table) on a
liquid of N = 1000 particles at density 0.8 and on a two-species mixture of the
same positions, vorlan evaluates forces, energy, per-particle energies, the
virial tensor and the per-particle virials at the start; LAMMPS (`lmp`, Debian's
build, `run 0`) evaluates the same with the matching pair style:

    LJ shift        lj/cut + pair_modify shift yes
    LJ none + tail  lj/cut + pair_modify tail yes
    LJ force_shift  lj/smooth/linear
    WCA             lj/cut at 2^(1/6) sigma + pair_modify shift yes
    Mie             mie/cut + pair_modify shift yes
    Yukawa          yukawa + pair_modify shift yes
    Morse           morse + pair_modify shift yes
    Table           table linear with the same points

(`compute pe/atom`, `compute stress/atom NULL virial`, `compute pressure NULL
virial`). The largest relative differences are printed per quantity: forces
(max |dF| / max |F|), energy, per-particle energies, the six components of the
virial tensor, the per-particle virials. Nothing is asserted; without `lmp`
the script says so and stops.

    PYTHONPATH=build/cmake/python python3 bench/compare_pair_lammps.py
"""

import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

import vorlan
from vorlan import pair

N = 1000
DENSITY = 0.8
SIDE = (N / DENSITY) ** (1 / 3)
BOX = np.array([SIDE, SIDE, SIDE])
PARAMS = dict(nr_particles=N, cell_length=SIDE, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.005)


def table_points():
    """LJ shifted at 2.5 as a table of 2000 evenly spaced points from 0.5."""
    r = np.linspace(0.5, 2.5, 2000)
    e = 4 * (r**-12 - r**-6) - 4 * (2.5**-12 - 2.5**-6)
    f = 4 * (12 * r**-13 - 6 * r**-7)
    return r, e, f


# name -> (vorlan potential of species k, LAMMPS pair_style, pair_coeff of a vorlan potential, pair_modify)
def cases():
    r, e, f = table_points()
    return {
        "lj shift": (lambda k: pair.LJ(epsilon=1 + 0.5 * k, sigma=1 - 0.1 * k), "lj/cut 2.5",
                     lambda p: f"{p.epsilon} {p.sigma} {p.rcut}", "shift yes"),
        "lj none + tail": (lambda k: pair.LJ(epsilon=1 + 0.5 * k, sigma=1 - 0.1 * k, mode="none",
                                             tail_correction=True), "lj/cut 2.5",
                           lambda p: f"{p.epsilon} {p.sigma} {p.rcut}", "tail yes"),
        "lj force_shift": (lambda k: pair.LJ(epsilon=1 + 0.5 * k, sigma=1 - 0.1 * k, mode="force_shift"),
                           "lj/smooth/linear 2.5", lambda p: f"{p.epsilon} {p.sigma} {p.rcut}", None),
        "wca": (lambda k: pair.WCA(epsilon=1 + 0.5 * k, sigma=1 - 0.1 * k), "lj/cut 1.2",
                lambda p: f"{p.epsilon} {p.sigma} {p.rcut!r}", "shift yes"),
        "mie 14-7": (lambda k: pair.Mie(epsilon=1 + 0.5 * k, sigma=1 - 0.1 * k, n=14, m=7), "mie/cut 2.5",
                     lambda p: f"{p.epsilon} {p.sigma} {p.n} {p.m} {p.rcut}", "shift yes"),
        "yukawa": (lambda k: pair.Yukawa(epsilon=2 + k, kappa=1.5), "yukawa 1.5 2.5",
                   lambda p: f"{p.epsilon} {p.rcut}", "shift yes"),
        "morse": (lambda k: pair.Morse(D0=1 + 0.5 * k, alpha=2.5, r0=1.1), "morse 2.5",
                  lambda p: f"{p.D0} {p.alpha} {p.r0} {p.rcut}", "shift yes"),
        "table": (lambda k: pair.Table(r, e * (1 + 0.5 * k), f * (1 + 0.5 * k)), "table linear 2000",
                  lambda p: None, None),
    }


def run_lammps(workdir, x, types, matrix, style, coeff, modify, table_files):
    """(forces, pe, pe/atom, virial tensor, per-atom virial) from `lmp`."""
    ntypes = len(matrix)
    with open(os.path.join(workdir, "data"), "w") as fh:
        fh.write(f"vorlan configuration\n\n{len(x)} atoms\n{ntypes} atom types\n\n")
        for k in range(3):
            fh.write(f"0 {BOX[k]!r} {'xyz'[k]}lo {'xyz'[k]}hi\n")
        fh.write("\nMasses\n\n" + "".join(f"{t + 1} 1.0\n" for t in range(ntypes)) + "\nAtoms # atomic\n\n")
        for i, (p, t) in enumerate(zip(x, types)):
            fh.write(f"{i + 1} {t + 1} {p[0]!r} {p[1]!r} {p[2]!r}\n")
    lines = ["units lj", "atom_style atomic", "boundary p p p", "read_data data", f"pair_style {style}"]
    for a in range(ntypes):
        for b in range(a, ntypes):
            p = matrix[a][b]
            if table_files:
                lines.append(f"pair_coeff {a + 1} {b + 1} {table_files[(a, b)]} T {p.rcut}")
            else:
                lines.append(f"pair_coeff {a + 1} {b + 1} {coeff(p)}")
    if modify:
        lines.append(f"pair_modify {modify}")
    lines += ["neighbor 0.3 bin", "compute pe all pe/atom", "compute st all stress/atom NULL virial",
              "compute p all pressure NULL virial",
              "thermo_style custom step pe c_p[1] c_p[2] c_p[3] c_p[4] c_p[5] c_p[6]",
              "thermo_modify norm no format float %.17g",
              "dump d all custom 1 dump.txt id fx fy fz c_pe c_st[1] c_st[2] c_st[3] c_st[4] c_st[5] c_st[6]",
              "dump_modify d sort id format float %.17g", "run 0"]
    with open(os.path.join(workdir, "in.lmp"), "w") as fh:
        fh.write("\n".join(lines) + "\n")
    out = subprocess.run(["lmp", "-in", "in.lmp", "-log", "log.lammps", "-screen", "none"], cwd=workdir,
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(open(os.path.join(workdir, "log.lammps")).read()[-2000:])
    log = open(os.path.join(workdir, "log.lammps")).read()
    row = re.search(r"\n\s*Step\s+PotEng.*\n\s*0\s+(.*)\n", log).group(1).split()
    pe, tensor = float(row[0]), np.array([float(v) for v in row[1:7]]) * BOX.prod()
    dump = np.loadtxt(os.path.join(workdir, "dump.txt"), skiprows=9)
    return dump[:, 1:4], pe, dump[:, 4], tensor, -dump[:, 5:11]


def write_table(path, p):
    with open(path, "w") as fh:
        fh.write(f"T\nN {len(p.r)} R {p.r[0]!r} {p.r[-1]!r}\n\n")
        for k, (r, e, f) in enumerate(zip(p.r, p.energy, p.force)):
            fh.write(f"{k + 1} {r!r} {e!r} {f!r}\n")


def rel(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return float(np.abs(a - b).max() / max(np.abs(b).max(), 1e-300))


def main():
    if shutil.which("lmp") is None:
        print("LAMMPS (lmp) is not installed: nothing to compare (bench/setup-peer.sh installs it)")
        return 1
    x = vorlan.random_positions(N, BOX, 0.88, seed=3)
    print(f"N = {N}, density {DENSITY}, box {SIDE:.6f}; largest relative differences vorlan - LAMMPS")
    print(f"{'potential':<16} {'species':>7} {'forces':>9} {'energy':>9} {'pe/atom':>9} {'tensor':>9} "
          f"{'stress/atom':>11}")
    for name, (make, style, coeff, modify) in cases().items():
        for species in (1, 2):
            types = np.arange(N) % species
            if species == 1:
                p = make(0)
                sim = vorlan.Simulation(PARAMS, pair=p, positions=x, box=BOX, seed=1)
                matrix = [[p]]
            else:
                like = [make(0), make(1)]
                explicit = pair.families()[like[0].family]["mixing"] == "explicit"
                cross = make(0.5) if explicit else pair.mixed(like[0], like[1], ("A", "B"))
                pairs = {("A", "A"): like[0], ("B", "B"): like[1], ("A", "B"): cross}
                sim = vorlan.Simulation(PARAMS, species=["A", "B"], types=types, pairs=pairs, positions=x, box=BOX,
                                        seed=1)
                matrix = [[like[0], cross], [cross, like[1]]]
            with tempfile.TemporaryDirectory() as work:
                tables = {}
                if matrix[0][0].family == "table":
                    for a in range(species):
                        for b in range(a, species):
                            tables[(a, b)] = f"t{a}{b}.table"
                            write_table(os.path.join(work, tables[(a, b)]), matrix[a][b])
                style_here = style
                if matrix[0][0].family == "wca":
                    style_here = f"lj/cut {max(p.rcut for row in matrix for p in row)!r}"
                f, pe, pe_atom, tensor, stress = run_lammps(work, sim.positions, types, matrix, style_here, coeff,
                                                            modify, tables)
            v = sim.velocities
            kinetic = np.array([(v[:, a] * v[:, b]).sum() for a, b in ((0, 0), (1, 1), (2, 2), (0, 1), (0, 2),
                                                                        (1, 2))])
            virial = np.array(sim.pressure_tensor) * BOX.prod() - kinetic
            print(f"{name:<16} {species:>7} {rel(sim.forces, f):9.1e} {abs(sim.epot - pe) / abs(pe):9.1e} "
                  f"{rel(sim.particle_energies, pe_atom):9.1e} {rel(virial, tensor):9.1e} "
                  f"{rel(sim.particle_virials, stress):11.1e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
