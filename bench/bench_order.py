#!/usr/bin/env python3
"""Atom-steps per second of a Simulation: chained or exact global sums, particles
in their own order or sorted by subcell, with or without the per-particle terms.

Each measurement runs in a fresh Python process (same start, same work), timed
around the run alone after 20 warm-up steps; rounds alternate between the
variants and the table shows the median. Systems: one species (LJ liquid,
density 0.8442, kT 1.44) from the lattice in its own order (lj) or with the
particles numbered at random (lj-shuffled: the memory order of a liquid long
after its start), and the Kob-Andersen mixture (density 1.2, random start).
Variants:

  chained        global sums chained in particle order, particles unsorted
  exact          exact global sums, particles unsorted
  exact+sorted   exact global sums, particles in subcell order (a Simulation's default)
  sorted+terms   the same with the per-particle terms and the tensor at every step

  python3 bench/bench_order.py                        # N = 32768, 200 steps, 1 and 2 threads, 3 rounds
  python3 bench/bench_order.py --n 4000 --steps 100 --rounds 1 --threads 1
"""

import argparse
import statistics
import subprocess
import sys
import textwrap

VARIANTS = {
    "chained": dict(exact=False, sort=False, terms=False),
    "exact": dict(exact=True, sort=False, terms=False),
    "exact+sorted": dict(exact=True, sort=True, terms=False),
    "sorted+terms": dict(exact=True, sort=True, terms=True),
}

SETUP = {
    "lj": """
        side = (N / 0.8442) ** (1 / 3)
        params = dict(nr_particles=N, cell_length=side, kT=1.44, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
                      shell=0.3, tau=0.5, stepsize=0.005)
        sim = vorlan.Simulation(params, seed=1, threads=THREADS, method=vorlan.NVE())
        """,
    "lj-shuffled": """
        import numpy as np
        side = (N / 0.8442) ** (1 / 3)
        m = round(N ** (1 / 3))
        grid = (np.indices((m, m, m)).reshape(3, -1).T + 0.5) * (side / m)
        x = grid[np.random.default_rng(1).permutation(N)]  # as in a liquid long after its start
        params = dict(nr_particles=N, cell_length=side, kT=1.44, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
                      shell=0.3, tau=0.5, stepsize=0.005)
        sim = vorlan.Simulation(params, seed=1, threads=THREADS, method=vorlan.NVE(), positions=x)
        """,
    "ka": """
        side = (N / 1.2) ** (1 / 3)
        params = dict(nr_particles=N, cell_length=side, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
                      shell=0.3, tau=0.5, stepsize=0.003)
        species, types = vorlan.composition(N, {"A": 0.8, "B": 0.2}, seed=1)
        x = vorlan.random_positions(N, [side] * 3, 0.7, seed=1)
        sim = vorlan.Simulation(params, seed=1, threads=THREADS, method=vorlan.NVE(), species=species, types=types,
                                pairs=vorlan.mixture.KOB_ANDERSEN, positions=x, box=[side] * 3)
        sim.minimize(fmax=1.0, max_steps=100)
        """,
}


def measure(system, variant, n, steps, threads):
    v = VARIANTS[variant]
    script = "import time, vorlan\nN, THREADS = %d, %d\n" % (n, threads) + textwrap.dedent(SETUP[system]) + (
        textwrap.dedent(
            f"""
            sim._engine.exact_sums = {v['exact']}
            sim._engine.sort_particles = {v['sort']}
            sim._engine.set_pair_terms({v['terms']})
            sim.run(20)
            t = time.perf_counter()
            sim.run({steps})
            print(time.perf_counter() - t)
            """
        )
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout
    return n * steps / float(out.split()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--n", type=int, default=32768, help="particles (default %(default)s)")
    ap.add_argument("--steps", type=int, default=200, help="timed steps (default %(default)s)")
    ap.add_argument("--threads", default="1,2", help="thread counts (default %(default)s)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds of alternating runs (default %(default)s)")
    ap.add_argument("--systems", default="lj,lj-shuffled,ka", help="(default %(default)s)")
    ap.add_argument("--variants", default=",".join(VARIANTS), help="(default %(default)s)")
    args = ap.parse_args()
    variants = args.variants.split(",")
    print(f"N = {args.n}, {args.steps} steps, median of {args.rounds} rounds; M atom-steps/s "
          "(in brackets: against chained)")
    for system in args.systems.split(","):
        for threads in map(int, args.threads.split(",")):
            rates = {v: [] for v in variants}
            for _ in range(args.rounds):
                for v in variants:
                    rates[v].append(measure(system, v, args.n, args.steps, threads))
            med = {v: statistics.median(r) for v, r in rates.items()}
            base = med.get("chained")
            cells = [f"{v} {med[v] / 1e6:.2f}" + (f" ({med[v] / base - 1:+.1%})" if base and v != "chained" else "")
                     for v in variants]
            print(f"{system:11s} {threads} thread{'s' if threads > 1 else ' '}  " + "  ".join(cells), flush=True)


if __name__ == "__main__":
    main()
