#!/usr/bin/env python3
"""The cost of the per-particle pair terms (virial tensor, particle energies and
virials) in one process: a Simulation (LJ liquid, exact sums, particles in
subcell order as Simulation keeps them) alternates every 20 steps between the
force loop with and without the pair terms, then with the pressure tensor
observed every step and every 10 steps (the kinetic part and the log included;
the force loop gives the terms on the observed steps only). Interleaving in
one process keeps a changing load on the machine out of the comparison. Given
two or more --package directories, each is timed in turn in its own process.

  python3 bench/pair_terms_cost.py                       # N = 32768, 1 and 2 threads
  python3 bench/pair_terms_cost.py --package old/python --package build/cmake/python --threads 1
"""

import argparse
import statistics
import subprocess
import sys
import time

CHILD = r"""
import statistics, sys, time
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import vorlan
n, threads, segments = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
side = (n / 0.8442) ** (1 / 3)
params = dict(nr_particles=n, cell_length=side, kT=1.44, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
              shell=0.3, tau=0.5, stepsize=0.005)
sim = vorlan.Simulation(params, seed=1, threads=threads)
sim.run(20)
times = {"plain": [], "terms": [], "observed": [], "observed10": []}
observe = {"observed": {"observe": {"pressure_tensor": 1}}, "observed10": {"observe": {"pressure_tensor": 10}}}
for _ in range(segments):
    for kind in times:
        sim._engine.set_pair_terms(kind == "terms")
        start = time.process_time()
        sim.run(20, **observe.get(kind, {}))
        times[kind].append((time.process_time() - start) / 20)
    sim._engine.set_pair_terms(False)
print(*(statistics.median(times[k]) for k in times))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--package", action="append", default=[], help="directory holding a vorlan package")
    ap.add_argument("--n", type=int, default=32768, help="particles (default %(default)s)")
    ap.add_argument("--segments", type=int, default=10, help="20-step segments per variant (default %(default)s)")
    ap.add_argument("--rounds", type=int, default=1, help="processes per package, alternating (default %(default)s)")
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    a = ap.parse_args()
    packages = a.package or [""]
    for threads in a.threads:
        got = {p: [] for p in packages}
        for _ in range(a.rounds):
            for p in packages:
                out = subprocess.run([sys.executable, "-c", CHILD, p, str(a.n), str(threads), str(a.segments)],
                                     check=True, capture_output=True, text=True)
                got[p].append([float(x) for x in out.stdout.split()])
        for p in packages:
            plain, terms, observed, observed10 = (statistics.median(r[k] for r in got[p]) for k in range(4))
            print(f"threads {threads}  {p or 'installed'}: plain {1e3 * plain:.2f} ms/step, pair terms "
                  f"{terms / plain - 1:+.1%}, pressure tensor observed every step {observed / plain - 1:+.1%}, "
                  f"every 10 steps {observed10 / plain - 1:+.1%}")


if __name__ == "__main__":
    main()
