#!/usr/bin/env python3
"""Step speed of every pair potential against Lennard-Jones, N = 32768, 1 and 2 threads.

Each potential runs on the bench liquid (density 0.8442, kT 1.44, cut-offs 2.5,
skin 0.3, dt 0.005, Berendsen) as one species and as an 80:20 mixture of two
(Lennard-Jones: the Kob-Andersen pairs; the others: their like pair for A-A,
then B-B and A-B with the first parameter scaled by 0.9 and 0.95). Every run
is a fresh process, warmed up for 20 steps and timed over --steps; rounds
alternate over the potentials so that all see the same machine load. Printed:
the median atom-steps per second and its ratio to Lennard-Jones of the same
composition (a ratio below 1 is slower).

With --per-pair only the evaluator differs: one configuration of the liquid
(Lennard-Jones, 200 steps from the lattice) is held fixed (NVE from rest with dt 1e-9)
and every potential, one species, cut at 2.5 with the same skin,
evaluates its forces on it over --steps steps of the same neighbour list.
Printed: CPU nanoseconds per listed pair (CPU time holds up better than the
clock on a loaded machine; with 2 threads it is the sum over both) (the list holds each pair within
rc + skin once for each of its two particles) and the ratio of LJ's time to it.

    python3 bench/bench_potentials.py [--package build/cmake/python] [--rounds 3]
    python3 bench/bench_potentials.py --per-pair --threads 1
"""
import argparse
import json
import statistics
import subprocess
import sys

POTENTIALS = {
    "lj": "vorlan.pair.LJ(epsilon={a}, sigma=1, rcut=2.5)",
    "mie 14-7": "vorlan.pair.Mie(epsilon={a}, sigma=1, n=14, m=7, rcut=2.5)",
    "mie 12.5-6.5": "vorlan.pair.Mie(epsilon={a}, sigma=1, n=12.5, m=6.5, rcut=2.5)",
    "yukawa": "vorlan.pair.Yukawa(epsilon={a}, kappa=1.0, rcut=2.5)",
    "morse": "vorlan.pair.Morse(D0={a}, alpha=3.0, r0=1.1, rcut=2.5)",
    "table": "table({a})",
}

# the per-pair comparison adds the other Lennard-Jones modes and WCA
PER_PAIR = dict(POTENTIALS, **{
    "lj force_shift": "vorlan.pair.LJ(epsilon={a}, sigma=1, rcut=2.5, mode='force_shift')",
    "lj none": "vorlan.pair.LJ(epsilon={a}, sigma=1, rcut=2.5, mode='none')",
    "wca": "vorlan.pair.WCA(epsilon={a}, sigma=1)",
})

# The children's shared lines, in place of their @LIQUID@ line: the tabulated LJ
# and the bench liquid's settings (n and steps read from the command line first).
LIQUID = r"""
def table(a):
    r = np.linspace(0.5, 2.5, 4001)
    e = 4 * a * (r ** -12 - r ** -6 - (2.5 ** -12 - 2.5 ** -6))
    return vorlan.pair.Table(r, e, 4 * a * (12 * r ** -13 - 6 * r ** -7))

side = (n / 0.8442) ** (1 / 3)
params = dict(nr_particles=n, cell_length=side, rcut=2.5, shell=0.3, kT=1.44, stepsize=0.005, tau=0.5,
              sigma=1, epsilon=1, mass=1, nrsteps=steps)
"""

PER_PAIR_CHILD = r"""
import json, sys, time
import numpy as np
from scipy.spatial import cKDTree
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import vorlan
n, threads, steps, make = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]

@LIQUID@
liquid = vorlan.Simulation(params, seed=1, threads=threads)
liquid.run(200)
positions = liquid.positions
pair = eval(make.format(a=1.0), {"vorlan": vorlan, "table": table})
# WCA's cut-off is its own; the list's reach is rc + skin with the skin of the others
reach = (2 ** (1 / 6) if make.startswith("vorlan.pair.WCA") else 2.5) + 0.3
# at rest with a step of 1e-9 the particles move by F 1e-18: the list is never rebuilt
sim = vorlan.Simulation(dict(params, stepsize=1e-9), seed=1, threads=threads, positions=positions,
                        velocities=np.zeros_like(positions), method=vorlan.NVE(), pair=pair)
sim.run(5)
t = time.process_time()
sim.run(steps)
elapsed = (time.process_time() - t) / steps
listed = 2 * len(cKDTree(np.mod(positions, side), boxsize=side).query_pairs(reach, output_type="ndarray"))
print(json.dumps(elapsed / listed))
"""

CHILD = r"""
import json, sys, time
import numpy as np
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import vorlan
from vorlan.mixture import KOB_ANDERSEN
n, threads, steps, make, species = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], int(sys.argv[6])

@LIQUID@
pair = lambda a: eval(make.format(a=a), {"vorlan": vorlan, "table": table})
if species == 1:
    kw = dict(pair=pair(1.0))
else:
    names, types = vorlan.composition(n, {"A": 0.8, "B": 0.2}, seed=3)
    if make.startswith("vorlan.pair.LJ"):
        pairs = KOB_ANDERSEN
    else:
        pairs = {("A", "A"): pair(1.0), ("B", "B"): pair(0.9), ("A", "B"): pair(0.95)}
    kw = dict(species=names, types=types, pairs=pairs)
sim = vorlan.Simulation(params, seed=1, threads=threads, **kw)
sim.run(20)
t = time.perf_counter()
sim.run(steps)
print(json.dumps(n * steps / (time.perf_counter() - t)))
"""
PER_PAIR_CHILD, CHILD = (c.replace("@LIQUID@\n", LIQUID) for c in (PER_PAIR_CHILD, CHILD))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--package", default="", help="directory holding the vorlan package to time")
    ap.add_argument("--n", type=int, default=32768)
    ap.add_argument("--steps", type=int, default=100)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--only", nargs="+", default=None, help="potentials to time (lj always)")
    ap.add_argument("--per-pair", action="store_true", help="time per listed pair on one fixed configuration")
    a = ap.parse_args()
    if a.per_pair:
        per_pair(a)
        return
    a.only = a.only or list(POTENTIALS)
    names = ["lj"] + [p for p in a.only if p != "lj"]
    print(f"N = {a.n}, {a.steps} steps, median of {a.rounds} rounds: M atom-steps/s (ratio to LJ)")
    print(f"{'potential':<14}" + "".join(f"{f'{s} species, {t} thr':>22}" for s in (1, 2) for t in a.threads))
    rates = {(p, s, t): [] for p in names for s in (1, 2) for t in a.threads}
    for _ in range(a.rounds):
        for key in rates:
            p, s, t = key
            out = subprocess.run([sys.executable, "-c", CHILD, a.package, str(a.n), str(t), str(a.steps),
                                  POTENTIALS[p], str(s)], check=True, capture_output=True, text=True)
            rates[key].append(json.loads(out.stdout))
    for p in names:
        cells = []
        for s in (1, 2):
            for t in a.threads:
                m = statistics.median(rates[(p, s, t)])
                cells.append(f"{m / 1e6:.2f} ({m / statistics.median(rates[('lj', s, t)]):.2f})")
        print(f"{p:<14}" + "".join(f"{c:>22}" for c in cells))


def per_pair(a):
    names = ["lj"] + [p for p in (a.only or list(PER_PAIR)) if p != "lj"]
    print(f"N = {a.n}, one fixed configuration, {a.steps} force evaluations, median of {a.rounds} rounds: "
          "ns per listed pair (LJ time / time)")
    print(f"{'potential':<14}" + "".join(f"{f'{t} thr':>18}" for t in a.threads))
    times = {(p, t): [] for p in names for t in a.threads}
    for _ in range(a.rounds):
        for key in times:
            p, t = key
            out = subprocess.run([sys.executable, "-c", PER_PAIR_CHILD, a.package, str(a.n), str(t), str(a.steps),
                                  PER_PAIR[p]], check=True, stdout=subprocess.PIPE, text=True)
            times[key].append(json.loads(out.stdout))
    for p in names:
        cells = []
        for t in a.threads:
            m = statistics.median(times[(p, t)])
            cells.append(f"{1e9 * m:.2f} ({statistics.median(times[('lj', t)]) / m:.2f})")
        print(f"{p:<14}" + "".join(f"{c:>18}" for c in cells))


if __name__ == "__main__":
    main()
