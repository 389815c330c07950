#!/usr/bin/env python3
"""Validation of the integration methods: the figures each ensemble must reach.

  python3 bench/validate_ensembles.py                  # everything, one thread (~15 min on a quiet machine)
  python3 bench/validate_ensembles.py --only canonical --steps 100000
  python3 bench/validate_ensembles.py --figure docs/ensembles.png

Prints, with the error bars of blocking (vorlan.analysis):

  NVE        drift of etot/N per 1000 steps (least-squares slope) at dt = 0.005,
             N = 4000, rho 0.8, kT 1, after equilibration with Bussi; target
             |drift| < 1e-5.
  canonical  <T>/kT and Var(K) / ((3N - 3)/2 kT^2) at N = 256, kT 1, rho 0.8 for
             Langevin, Bussi, NoseHoover (targets: within 0.3 % and 10 %) and
             Berendsen (not canonical: its ratio is printed beside them).
  NPT        <rho> under CRescale with Bussi at (kT 1.0, P 1.690) and (kT 2.0,
             P 0.372), N = 500; the LJTS equation of state gives 0.800 and 0.200
             (targets: within 0.004).
  masses     equipartition in a 50:50 mixture whose A particles are twice as
             heavy as B (Wahnstrom's sizes s_AB = 11/12, s_BB = 5/6), N = 500,
             rho 0.8, kT 1: <T_a>/kT of each species for Langevin, Bussi,
             NoseHoover and Bussi + CRescale (target: 1 within the error).
  repro      for Langevin, Bussi, NoseHoover and Bussi + CRescale: positions
             after 1000 seeded steps at 1 and 2 threads identical, and a
             checkpoint at step 500 continued to 1000 identical to the unbroken run.

With --figure, draws the kinetic-energy distributions of the canonical runs
against the gamma distribution and an isobar (P = 1.0, kT from 0.9 to 2.0) from
one vorlan.sweep call.
"""

import argparse
import math
import os
import sys
import tempfile
import time

import numpy as np

import vorlan
from vorlan.analysis import estimate

LJ = dict(mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5, shell=0.3, tau=0.5, stepsize=0.005)


def box(n, rho, kT):
    return dict(LJ, nr_particles=n, cell_length=(n / rho) ** (1 / 3), kT=kT)


def fmt(e, digits=4):
    return f"{e.mean:.{digits}f} ± {e.error:.{digits}f}"


def nve(steps, threads):
    sim = vorlan.Simulation(box(4000, 0.8, 1.0), method=vorlan.Bussi(0.5), seed=11, threads=threads).run(3000)
    sim.method = vorlan.NVE()
    sim.run(steps)
    e = sim.log["etot"][-steps:] / sim.nr_particles
    t = np.arange(steps)
    slope = np.polyfit(t, e, 1)[0] * 1000
    print(f"NVE  N = 4000, dt = 0.005, {steps} steps: drift of etot/N = {slope:+.2e} per 1000 steps "
          f"(target |drift| < 1e-5), rms fluctuation {np.std(e):.1e}", flush=True)


CANONICAL = [
    ("Langevin(friction=1)", lambda: vorlan.Langevin(1.0)),
    ("Bussi(tau=0.5)", lambda: vorlan.Bussi(0.5)),
    ("NoseHoover(tau=0.5)", lambda: vorlan.NoseHoover(0.5)),
    ("Berendsen(tau=0.5)", lambda: vorlan.Berendsen(0.5)),
]


def canonical(steps, threads, keep):
    n, kT = 256, 1.0
    nf = 3 * n - 3
    print(f"canonical  N = {n}, rho 0.8, kT {kT}, {steps} steps after 10000 (targets: <T>/kT within 0.3 %, "
          f"Var(K)/(Nf/2 kT^2) within 10 %)", flush=True)
    for name, make in CANONICAL:
        started = time.perf_counter()
        sim = vorlan.Simulation(box(n, 0.8, kT), method=make(), seed=5, threads=threads).run(10000 + steps)
        k = sim.log["ekin"][-steps:]
        t = estimate(2 * k / nf / kT)
        # the error of Var(K): the spread of the variances of 20 blocks
        blocks = k[: len(k) // 20 * 20].reshape(20, -1)
        ratios = blocks.var(axis=1) / (nf / 2 * kT**2)
        print(f"  {name:22s} <T>/kT = {fmt(t)}   Var(K) ratio = {k.var() / (nf / 2 * kT**2):.3f} "
              f"± {ratios.std(ddof=1) / math.sqrt(len(ratios)):.3f}   ({time.perf_counter() - started:.0f} s)",
              flush=True)
        keep[name] = k


def npt(steps, threads):
    print(f"NPT  CRescale(tau=2) with Bussi(tau=0.5), N = 500, {steps} steps after 10000 (target: within 0.004)",
          flush=True)
    for kT, p, rho0, target in ((1.0, 1.690, 0.8, 0.800), (2.0, 0.372, 0.2, 0.200)):
        sim = vorlan.Simulation(box(500, rho0, kT), method=vorlan.Bussi(0.5),
                                barostat=vorlan.CRescale(pressure=p, tau=2.0), seed=3, threads=threads)
        sim.run(10000 + steps)
        rho = estimate(500 / sim.log["volume"][-steps:])
        pressure = estimate(sim.log["pressure"][-steps:])
        print(f"  kT {kT}, P {p}: <rho> = {fmt(rho)} (LJTS {target:.3f}), <P> = {fmt(pressure, 3)}, "
              f"<T> = {fmt(estimate(sim.log['temperature'][-steps:]), 3)}, compressibility {sim.barostat.compressibility:.3g}",
              flush=True)


WAHNSTROM = {("A", "A"): dict(epsilon=1.0, sigma=1.0, rcut=2.5),
             ("A", "B"): dict(epsilon=1.0, sigma=11 / 12, rcut=2.5 * 11 / 12),
             ("B", "B"): dict(epsilon=1.0, sigma=5 / 6, rcut=2.5 * 5 / 6)}


def masses(steps, threads):
    n, kT, every = 500, 1.0, 10
    print(f"masses  50:50 mixture, m_A = 2 m_B, N = {n}, rho 0.8, kT {kT}, {steps} steps after 10000, "
          f"sampled every {every} (target: <T_a>/kT = 1 within the error)", flush=True)
    side = (n / 0.8) ** (1 / 3)
    species, types = vorlan.composition(n, {"A": 0.5, "B": 0.5}, seed=4)
    x = vorlan.random_positions(n, side, 0.8, seed=4)
    cases = [("Langevin(friction=1)", vorlan.Langevin(1.0), None), ("Bussi(tau=0.5)", vorlan.Bussi(0.5), None),
             ("NoseHoover(tau=0.5)", vorlan.NoseHoover(0.5), None),
             ("Bussi + CRescale(P=2)", vorlan.Bussi(0.5), vorlan.CRescale(pressure=2.0, tau=2.0))]
    for name, method, barostat in cases:
        sim = vorlan.Simulation(box(n, 0.8, kT), species=species, types=types, masses={"A": 2.0, "B": 1.0},
                                pairs=WAHNSTROM, positions=x, box=side, method=method, barostat=barostat,
                                seed=6, threads=threads).run(10000)
        m = sim.masses
        # the total momentum is held at zero: species a keeps 3 (N_a - M_a / M) degrees of freedom
        dof = {a: 3 * ((types == t).sum() - m[types == t].sum() / m.sum()) for t, a in enumerate(species)}
        samples = {a: [] for a in species}

        def sample(s):
            k = 0.5 * m * (s.velocities**2).sum(axis=1)
            for t, a in enumerate(species):
                samples[a].append(2 * k[types == t].sum() / dof[a] / kT)

        sim.run(steps, every=every, callback=sample)
        shown = "   ".join(f"<T_{a}>/kT = {fmt(estimate(np.array(samples[a])))}" for a in species)
        print(f"  {name:24s} {shown}", flush=True)


def repro():
    print("reproducibility  N = 256, 1000 seeded steps", flush=True)
    cases = [(vorlan.Langevin(1.0), None), (vorlan.Bussi(0.5), None), (vorlan.NoseHoover(0.5), None),
             (vorlan.Bussi(0.5), vorlan.CRescale(pressure=1.69, tau=2.0))]
    with tempfile.TemporaryDirectory() as tmp:
        for method, barostat in cases:
            def fresh(threads):
                return vorlan.Simulation(box(256, 0.8, 1.0), method=method, barostat=barostat, seed=9, threads=threads)
            one = fresh(1).run(1000)
            two = fresh(2).run(1000)
            half = fresh(1).run(500)
            half.save(os.path.join(tmp, "c.npz"))
            cont = vorlan.Simulation.load(os.path.join(tmp, "c.npz"), threads=1).run(500)
            name = repr(method) + ("" if barostat is None else " + CRescale")
            print(f"  {name:32s} 1 vs 2 threads identical: {np.array_equal(one.positions, two.positions)}   "
                  f"checkpoint continuation identical: {np.array_equal(one.positions, cont.positions)}", flush=True)


def gamma_pdf(x, shape, scale):
    """The canonical density of the kinetic energy: Gamma(Nf/2, kT)."""
    return np.exp((shape - 1) * np.log(x) - x / scale - math.lgamma(shape) - shape * math.log(scale))


def draw(path, keep):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n, kT = 256, 1.0
    nf = 3 * n - 3
    fig, (a, b) = plt.subplots(1, 2, figsize=(11, 4.2))
    x = np.linspace(0.8 * nf / 2 * kT, 1.2 * nf / 2 * kT, 300)
    a.plot(x / n, gamma_pdf(x, nf / 2, kT) * n, "k-", lw=2, label="canonical (gamma, Nf = 3N - 3)")
    for name, k in keep.items():
        a.hist(k / n, bins=60, density=True, histtype="step", lw=1.4, label=name)
    a.set_xlabel("kinetic energy per particle K / N")
    a.set_ylabel("probability density")
    a.set_title(f"N = {n}, rho = 0.8, kT = {kT}")
    a.legend(fontsize=8)

    temperatures = [0.9, 1.1, 1.3, 1.5, 1.7, 2.0]
    base = dict(box(500, 0.6, 1.0), nrsteps=20000)
    with tempfile.TemporaryDirectory() as tmp:
        table = vorlan.sweep(base, {"kT": temperatures}, method=vorlan.Bussi(0.5),
                             barostat=vorlan.CRescale(pressure=1.0, tau=2.0), seed=1, results=tmp)
    b.errorbar(table["kT"], table["rho"], yerr=table["rho_err"], fmt="o-", capsize=3)
    b.set_xlabel("kT")
    b.set_ylabel("density <N/V>")
    b.set_title("isobar P = 1.0, N = 500: one vorlan.sweep call")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"figure written to {path}", flush=True)
    print(table[["kT", "rho", "rho_err", "P", "P_err", "T"]].to_string(index=False))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", choices=["nve", "canonical", "npt", "masses", "repro"], action="append")
    ap.add_argument("--steps", type=int, default=200000, help="measured steps of the canonical runs")
    ap.add_argument("--nve-steps", type=int, default=30000)
    ap.add_argument("--npt-steps", type=int, default=50000)
    ap.add_argument("--masses-steps", type=int, default=50000)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--figure", metavar="PNG", help="draw the K distributions and an isobar")
    args = ap.parse_args()
    parts = args.only or ["repro", "nve", "canonical", "npt", "masses"]
    keep = {}
    if "repro" in parts:
        repro()
    if "nve" in parts:
        nve(args.nve_steps, args.threads)
    if "canonical" in parts or args.figure:
        canonical(args.steps, args.threads, keep)
    if "npt" in parts:
        npt(args.npt_steps, args.threads)
    if "masses" in parts:
        masses(args.masses_steps, args.threads)
    if args.figure:
        draw(args.figure, keep)
    return 0


if __name__ == "__main__":
    sys.exit(main())
