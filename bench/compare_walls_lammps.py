#!/usr/bin/env python3
"""vorlan's walls and body force against LAMMPS on the same configuration.

A Lennard-Jones liquid (N = 1000, LJ cut and shifted at 2.5) at density 0.8 in
the slab 0.8 < z < Lz - 0.8 of a box whose z axis is closed by walls at z = 0
and z = Lz (random start, no two particles closer than 0.88). vorlan evaluates
forces, energy, per-particle energies and the virial tensor at the start with
each set of fields; LAMMPS (`lmp`, Debian's build, `run 0`, `boundary p p f`,
`pair_style lj/cut 2.5`, `pair_modify shift yes`) with the matching fixes:

    lj93              Wall("z", kind="lj93", epsilon=1, sigma=1, rcut=2.5)
                      fix wall/lj93 zlo EDGE 1 1 2.5 zhi EDGE 1 1 2.5
    harmonic          Wall("z", kind="harmonic", k=50, rcut=1.5)
                      fix wall/harmonic zlo EDGE 50 1 1.5 zhi EDGE 50 1 1.5
                      (LAMMPS's epsilon K in K (r - rc)^2 is vorlan's k: no 1/2)
    lj93 + body force the lj93 walls and Constant(force=(0.05, 0, 0))
                      the same fix and fix addforce 0.05 0 0

every fix with `fix_modify energy yes`. Printed, as the largest relative
differences vorlan - LAMMPS: forces (max |dF| / max |F|); epot against LAMMPS's
pe (pair + fixes); the field energy, vorlan's per-particle energies less those
of the same box closed by walls of zero strength, against the fixes' scalars
(f_W, plus f_F); per-particle energies of the pair alone (LAMMPS's pe/atom has
no fix terms) against the zero-strength run; the force on each wall (LAMMPS's
f_W[1], f_W[2], the force the particles exert on it, from vorlan's wall forces);
the xx and zz virials. vorlan leaves field forces out of its virial, so W is
compared with LAMMPS's `compute pressure NULL pair`; what LAMMPS's wall virial
(`fix_modify virial yes`) would add to W_zz is printed beside it. Nothing is
asserted; without `lmp` the script says so and stops.

    PYTHONPATH=build/cmake/python python3 bench/compare_walls_lammps.py
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

import vorlan
from vorlan import field
from compare_pair_lammps import DENSITY, N, PARAMS, SIDE, rel

GAP = 0.8  # no particle closer than this to a wall at the start
BOX = np.array([SIDE, SIDE, SIDE + 2 * GAP])
FORCE = (0.05, 0.0, 0.0)


def cases():
    """name -> (vorlan fields, LAMMPS fix lines, the fixes' energy scalars)"""
    lj93 = field.Wall("z", kind="lj93", epsilon=1.0, sigma=1.0, rcut=2.5)
    harmonic = field.Wall("z", kind="harmonic", k=50.0, rcut=1.5)
    wall_lj93 = ["fix W all wall/lj93 zlo EDGE 1.0 1.0 2.5 zhi EDGE 1.0 1.0 2.5",
                 "fix_modify W energy yes virial yes"]
    wall_harmonic = ["fix W all wall/harmonic zlo EDGE 50.0 1.0 1.5 zhi EDGE 50.0 1.0 1.5",
                     "fix_modify W energy yes virial yes"]
    addforce = [f"fix F all addforce {FORCE[0]!r} {FORCE[1]!r} {FORCE[2]!r}", "fix_modify F energy yes"]
    return {
        "lj93": ([lj93], wall_lj93, ["f_W"]),
        "harmonic": ([harmonic], wall_harmonic, ["f_W"]),
        "lj93 + body force": ([lj93, field.Constant(force=FORCE)], wall_lj93 + addforce, ["f_W", "f_F"]),
    }


def run_lammps(workdir, x, fixes, scalars):
    """forces, pe, pe/atom, the fixes' energy, the force on each wall, the pair virial (xx, zz) and the
    whole virial (xx, zz, pair and fixes) from `lmp`"""
    with open(os.path.join(workdir, "data"), "w") as fh:
        fh.write(f"vorlan configuration\n\n{len(x)} atoms\n1 atom types\n\n")
        for k in range(3):
            fh.write(f"0 {BOX[k]!r} {'xyz'[k]}lo {'xyz'[k]}hi\n")
        fh.write("\nMasses\n\n1 1.0\n\nAtoms # atomic\n\n")
        for i, p in enumerate(x):
            fh.write(f"{i + 1} 1 {p[0]!r} {p[1]!r} {p[2]!r}\n")
    lines = ["units lj", "atom_style atomic", "boundary p p f", "read_data data", "pair_style lj/cut 2.5",
             "pair_coeff 1 1 1.0 1.0 2.5", "pair_modify shift yes", "neighbor 0.3 bin", *fixes,
             "compute pe all pe/atom", "compute pp all pressure NULL pair", "compute pv all pressure NULL virial",
             "thermo_style custom step pe c_pp[1] c_pp[3] c_pv[1] c_pv[3] f_W[1] f_W[2] " + " ".join(scalars),
             "thermo_modify norm no format float %.17g",
             "dump d all custom 1 dump.txt id fx fy fz c_pe", "dump_modify d sort id format float %.17g", "run 0"]
    with open(os.path.join(workdir, "in.lmp"), "w") as fh:
        fh.write("\n".join(lines) + "\n")
    out = subprocess.run(["lmp", "-in", "in.lmp", "-log", "log.lammps", "-screen", "none"], cwd=workdir,
                         capture_output=True, text=True, env=dict(os.environ, OMP_NUM_THREADS="1"))
    if out.returncode != 0:
        raise RuntimeError(open(os.path.join(workdir, "log.lammps")).read()[-2000:])
    log = open(os.path.join(workdir, "log.lammps")).read()
    row = [float(v) for v in re.search(r"\n\s*Step\s+PotEng.*\n\s*0\s+(.*)\n", log).group(1).split()]
    volume = BOX.prod()
    dump = np.loadtxt(os.path.join(workdir, "dump.txt"), skiprows=9)
    return (dump[:, 1:4], row[0], dump[:, 4], sum(row[7:]), np.array(row[5:7]), np.array(row[1:3]) * volume,
            np.array(row[3:5]) * volume)


def virial(sim):
    """vorlan's (W_xx, W_zz): the pressure tensor times V less the kinetic term"""
    v, m = sim.velocities, sim.masses
    p = np.array(sim.pressure_tensor)[[0, 2]] * sim.volume
    return p - np.array([(m * v[:, 0] ** 2).sum(), (m * v[:, 2] ** 2).sum()])


def main():
    if shutil.which("lmp") is None:
        print("LAMMPS (lmp) is not installed: nothing to compare (bench/setup-peer.sh installs it)")
        return 1
    x = vorlan.random_positions(N, [SIDE, SIDE, SIDE], 0.88, seed=3)
    x[:, 2] += GAP
    # the same box closed by walls that exert nothing: the pair terms alone
    bare = vorlan.Simulation(PARAMS, positions=x, box=BOX, seed=1, threads=1,
                             fields=[field.Wall("z", kind="lj93", epsilon=0.0, rcut=2.5)])
    lower = bare.positions[:, 2] < BOX[2] / 2
    print(f"N = {N}, density {DENSITY} in {GAP} < z < Lz - {GAP}, box {BOX[0]:.6f}^2 x {BOX[2]:.6f}, walls at "
          f"z = 0 and Lz; largest relative differences vorlan - LAMMPS")
    print(f"{'fields':<18} {'forces':>8} {'epot':>8} {'field E':>8} {'pe/atom':>8} {'wall F':>8} {'W_xx':>8} "
          f"{'W_zz':>8}   {'LAMMPS wall virial / W_zz':>25}")
    for name, (fields, fixes, scalars) in cases().items():
        sim = vorlan.Simulation(PARAMS, positions=x, box=BOX, seed=1, threads=1, fields=fields)
        with tempfile.TemporaryDirectory() as work:
            f, pe, pe_atom, e_field, f_wall, w_pair, w_all = run_lammps(work, sim.positions, fixes, scalars)
        e_mine = float((sim.particle_energies - bare.particle_energies).sum())
        push = sim.forces[:, 2] - bare.forces[:, 2]  # the walls' forces on the particles
        wall_mine = -np.array([push[lower].sum(), push[~lower].sum()])
        w = virial(sim)
        print(f"{name:<18} {rel(sim.forces, f):8.1e} {abs(sim.epot - pe) / abs(pe):8.1e} "
              f"{abs(e_mine - e_field) / abs(e_field):8.1e} {rel(bare.particle_energies, pe_atom):8.1e} "
              f"{rel(wall_mine, f_wall):8.1e} {abs(w[0] - w_pair[0]) / abs(w_pair[0]):8.1e} "
              f"{abs(w[1] - w_pair[1]) / abs(w_pair[1]):8.1e}   {(w_all[1] - w_pair[1]) / w_pair[1]:25.2e}")
    print("W: the pair virial in both (vorlan leaves field forces out of its virial; LAMMPS's compute pressure "
          "NULL pair);\nthe last column is what LAMMPS's wall virial (fix_modify virial yes) adds to W_zz, not "
          "comparable with vorlan.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
