#!/usr/bin/env python3
"""The cost of exact global sums in one process: a Simulation (one species from
the lattice, NVE, particles unsorted) alternates between chained and exact sums
every 20 steps; the medians of the segments give the two rates. Interleaving in
one process keeps a changing load on the machine out of the comparison.

  python3 bench/exact_sum_cost.py                 # N = 32768, 16 segments each, 1 and 2 threads
  python3 bench/exact_sum_cost.py --n 4096 --segments 32 --threads 1
"""

import argparse
import statistics
import time

import vorlan


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--n", type=int, default=32768, help="particles (default %(default)s)")
    ap.add_argument("--segments", type=int, default=16, help="20-step segments per variant (default %(default)s)")
    ap.add_argument("--threads", default="1,2", help="thread counts (default %(default)s)")
    args = ap.parse_args()
    side = (args.n / 0.8442) ** (1 / 3)
    params = dict(nr_particles=args.n, cell_length=side, kT=1.44, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
                  shell=0.3, tau=0.5, stepsize=0.005)
    for threads in map(int, args.threads.split(",")):
        sim = vorlan.Simulation(params, seed=1, threads=threads, method=vorlan.NVE())
        sim._engine.sort_particles = False
        sim.run(20)
        times = {False: [], True: []}
        for _ in range(args.segments):
            for exact in (False, True):
                sim._engine.exact_sums = exact
                start = time.perf_counter()
                sim.run(20)
                times[exact].append(time.perf_counter() - start)
        chained, exact = (statistics.median(times[k]) for k in (False, True))
        rate = args.n * 20 / 1e6
        print(f"N = {args.n}, {threads} thread{'s' if threads > 1 else ' '}: chained {rate / chained:.2f}, "
              f"exact {rate / exact:.2f} M atom-steps/s; exact sums cost {exact / chained - 1:+.1%} of a step")


if __name__ == "__main__":
    main()
