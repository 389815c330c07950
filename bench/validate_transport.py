#!/usr/bin/env python3
"""Transport and structure of the Lennard-Jones liquid, measured and drawn.

    python3 bench/validate_transport.py diffusion   # kT 1.0, rho 0.8: D from the MSD and from the VACF
    python3 bench/validate_transport.py profile     # a liquid slab beside its vapour: the density profile
    python3 bench/validate_transport.py viscosity   # kT 0.722, rho 0.8442: Green-Kubo shear viscosity

diffusion: N particles equilibrated under Bussi's thermostat, then an NVE run
written every 5 steps; D from the slope of the MSD and from the integral of the
VACF, each with its blocking error over 5 pieces of the run, should agree within
their errors. Both are over all time origins. It draws the MSD, the VACF and
S(k) (docs/howto/transport.png, docs/howto/structure_factor.png).

profile: a cube of liquid at density 0.8 in the middle of a box three times as
long in z, at kT 0.8 (below the critical temperature of the truncated and
shifted potential, about 1.08): the liquid stays a slab between two interfaces
with its vapour; the profile is averaged over the second half of the run
(docs/howto/density_profile.png).

viscosity: needs the pressure tensor of the engine (``Simulation.pressure_tensor``),
sampled every step through ``run(observe=...)``; without it the script says so.

Each run is short by default (a minute or two on one core); --steps scales it.
The figures printed depend on the run length: quote them with the machine's load.
"""

from __future__ import annotations

import argparse
import math
import os
import sys

import numpy as np

import vorlan
from vorlan import Simulation
from vorlan.analysis import density_profile, diffusion, green_kubo, structure_factor
from vorlan.io.gsd import read_gsd

HERE = os.path.dirname(os.path.abspath(__file__))
FIGURES = os.path.join(HERE, "..", "docs", "howto")


def settings(n: int, density: float, kT: float, box=None) -> dict:
    side = (n / density) ** (1 / 3)
    return dict(nr_particles=str(n), cell_length=repr(side), kT=repr(kT), mass="1", sigma="1", epsilon="1",
                rcut="2.5", shell="0.3", stepsize="0.005", tau="0.1", nrsteps="1000")


def _figure(panels: int):
    from vorlan.plot import _matplotlib

    fig = _matplotlib().figure.Figure(figsize=(4.3 * panels, 3.4), constrained_layout=True)
    return fig, fig.subplots(1, panels, squeeze=False)[0]


def _save(fig, name: str) -> None:
    import warnings

    from vorlan.plot import save_figure

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # mathtext's pyparsing calls
        print("figure:", save_figure(fig, os.path.join(FIGURES, name), dpi=110))


def cmd_diffusion(args) -> None:
    params = settings(args.n, 0.8, 1.0)
    sim = Simulation(params, seed=args.seed, threads=args.threads, method=vorlan.Bussi(0.1))
    sim.run(args.steps // 4)
    sim.method = vorlan.NVE()
    sim_start = sim.copy()
    path = os.path.join(args.workdir, "lj_nve.gsd")
    sim.run(args.steps, trajectory=path, trajectory_every=5)
    traj = read_gsd(path)
    d = diffusion(traj, blocks=5)
    gap = (d.msd.value - d.vacf.value) / math.hypot(d.msd.error, d.vacf.error)
    print(f"LJ liquid kT = 1.0, rho = 0.8, N = {args.n}, rcut 2.5 (shifted), NVE {args.steps} steps of 0.005, "
          f"frames every 5 steps")
    print(f"  D from the MSD   {d.msd}  (slope over t = {d.fit[0]:g} to {d.fit[1]:g})")
    print(f"  D from the VACF  {d.vacf}")
    print(f"  difference       {gap:+.1f} combined standard errors")
    sk = structure_factor(traj, 15.0, frames=range(traj.nr_frames - 20, traj.nr_frames), bins=100)
    peak = int(np.argmax(sk.s))
    print(f"  S(k) first peak  {sk.s[peak]:.3f} at k = {sk.k[peak]:.3f}")
    lammps = lammps_diffusion(sim_start, args)
    if lammps is not None:
        gap = (d.msd.value - lammps.msd.value) / math.hypot(d.msd.error, lammps.msd.error)
        print(f"  LAMMPS, same start and run, the same analysis of its dump: D from the MSD {lammps.msd}, "
              f"from the VACF {lammps.vacf} ({gap:+.1f} combined errors from vorlan's MSD value)")
    fig, (a, b) = _figure(2)
    a.loglog(d.msd_curve.time[1:], d.msd_curve.value[1:], label="MSD")
    t = d.msd_curve.time[1:]
    a.loglog(t, 6 * d.msd.value * t, "--", color="0.5", label=f"6 D t, D = {d.msd.value:.4f}")
    a.set_xlabel("t")
    a.set_ylabel("mean squared displacement")
    a.legend()
    b.plot(d.vacf_curve.time, d.vacf_curve.value / d.vacf_curve.value[0])
    b.axhline(0.0, color="0.7", lw=0.8)
    b.set_xlim(0, 1.5)
    b.set_xlabel("t")
    b.set_ylabel("VACF(t) / VACF(0)")
    b.set_title(f"D = {d.vacf.value:.4f} ± {d.vacf.error:.4f} from the VACF", fontsize=9)
    _save(fig, "transport.png")
    fig, (c,) = _figure(1)
    c.plot(sk.k, sk.s)
    c.axhline(1.0, color="0.7", lw=0.8)
    c.set_xlabel("k")
    c.set_ylabel("S(k)")
    c.set_title(f"LJ liquid, kT = 1.0, rho = 0.8, N = {args.n}", fontsize=9)
    _save(fig, "structure_factor.png")


def lammps_diffusion(sim, args):
    """D of LAMMPS's NVE run from the state of `sim` (velocity Verlet, the same
    potential, step and list settings), its dump read back and analysed by the
    same functions; None without LAMMPS (bench/setup-peer.sh)."""
    sys.path.insert(0, HERE)
    from ka_lammps import lammps_binary, run_lmp

    from vorlan.io.frames import Trajectory

    if lammps_binary() is None:
        print("  LAMMPS not installed (bench/setup-peer.sh): no comparison")
        return None
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        x, v, box = sim.positions, sim.velocities, sim.box
        with open(os.path.join(tmp, "start.data"), "w") as f:
            f.write(f"LJ liquid\n\n{len(x)} atoms\n1 atom types\n\n")
            for k, axis in enumerate("xyz"):
                f.write(f"0 {box[k]!r} {axis}lo {axis}hi\n")
            f.write("\nMasses\n\n1 1.0\n\nAtoms # atomic\n\n")
            f.writelines("%d 1 %r %r %r\n" % (i + 1, *map(float, r)) for i, r in enumerate(x))
            f.write("\nVelocities\n\n")
            f.writelines("%d %r %r %r\n" % (i + 1, *map(float, u)) for i, u in enumerate(v))
        run_lmp(tmp, ["units lj", "atom_style atomic", "boundary p p p", "read_data start.data",
                      "pair_style lj/cut 2.5", "pair_coeff 1 1 1.0 1.0 2.5", "pair_modify shift yes",
                      "neighbor 0.3 bin", "neigh_modify every 1 delay 0 check yes", "timestep 0.005",
                      "fix 1 all nve", "dump 1 all custom 5 traj.dump id xu yu zu vx vy vz",
                      "dump_modify 1 sort id", f"run {args.steps}"])
        n = len(x)
        rows = np.loadtxt((line for line in open(os.path.join(tmp, "traj.dump")) if line[:1].isdigit()
                           and len(line.split()) == 7), dtype=np.float64)
    frames = rows.reshape(-1, n, 7)
    k = len(frames)
    traj = Trajectory(np.arange(k, dtype=np.int64) * 5, np.tile(box, (k, 1)), frames[:, :, 1:4].copy(),
                      frames[:, :, 4:7].copy(), None, None, 0.005, ["A"], np.zeros(n, dtype=np.int32))
    return diffusion(traj, blocks=5)


def _slab(n_side: int, density: float, aspect: float) -> tuple:
    a = density ** (-1 / 3)
    side = n_side * a
    box = np.array([side, side, aspect * side])
    grid = (np.indices((n_side,) * 3).reshape(3, -1).T + 0.5) * a
    grid[:, 2] += 0.5 * (box[2] - side)
    return grid, box


def cmd_profile(args) -> None:
    x, box = _slab(10, 0.8, 3.0)
    n = len(x)
    params = settings(n, 0.8, 0.8)
    sim = Simulation(params, positions=x, box=box, seed=args.seed, threads=args.threads,
                     method=vorlan.Bussi(0.1))
    path = os.path.join(args.workdir, "slab.gsd")
    sim.run(args.steps, trajectory=path, trajectory_every=100)
    traj = read_gsd(path)
    half = range(traj.nr_frames // 2, traj.nr_frames)
    z, rho = density_profile(traj, "z", 120, frames=half)
    centre = np.abs(z - box[2] / 2) < box[2] / 12
    far = np.abs(z - box[2] / 2) > 0.4 * box[2]
    print(f"liquid slab: N = {n}, box {box.round(3).tolist()}, kT = 0.8, {args.steps} steps, profile over "
          f"{len(half)} frames")
    print(f"  density in the middle {rho[centre].mean():.4f}, far from the slab {rho[far].mean():.4f}")
    fig, (a,) = _figure(1)
    a.plot(z, rho)
    a.set_xlabel("z")
    a.set_ylabel("number density")
    a.set_title(f"LJ slab at kT = 0.8, N = {n}", fontsize=9)
    _save(fig, "density_profile.png")


def cmd_viscosity(args) -> None:
    if not hasattr(Simulation, "pressure_tensor"):
        print("viscosity: this build has no Simulation.pressure_tensor to sample; nothing measured")
        return
    params = settings(args.n, 0.8442, 0.722)
    sim = Simulation(params, seed=args.seed, threads=args.threads, method=vorlan.Bussi(0.1))
    sim.run(args.steps // 4)
    sim.method = vorlan.NVE()
    sim.observations.clear()
    sim.run(args.steps, observe={"pressure_tensor": 1})
    steps, tensors = sim.observations.arrays()["pressure_tensor"]
    eta, _ = green_kubo({"pressure_tensor": tensors, "step": steps}, dt=0.005, volume=sim.volume,
                        kT=float(np.mean(sim.log["temperature"][-args.steps:])), t_max=2.0)
    print(f"LJ kT = 0.722, rho = 0.8442, N = {args.n}, NVE {args.steps} steps: eta = {eta}")
    print("  beside it the full potential's value (Meier, Laesecke and Kabelac, J. Chem. Phys. 121, 3671 (2004)), "
          "about 3.2 at this state: the truncation at 2.5 sigma drops the attractive forces beyond it (the shift "
          "changes no force), so the fluid is not quite the full potential's; a few percent apart is expected")


def main(argv) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("what", choices=("diffusion", "profile", "viscosity"))
    p.add_argument("--n", type=int, default=864)
    p.add_argument("--steps", type=int, default=20000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--workdir", default=os.path.join(HERE, "..", "build"))
    args = p.parse_args(argv)
    os.makedirs(args.workdir, exist_ok=True)
    {"diffusion": cmd_diffusion, "profile": cmd_profile, "viscosity": cmd_viscosity}[args.what](args)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
