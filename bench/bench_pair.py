#!/usr/bin/env python3
"""Seconds per step of the force-loop-bound LJ liquid, N = 32768, 1 and 2 threads.

Each configuration runs in a fresh process: a Simulation at density 0.8442,
kT 1.44, LJ cut at 2.5 and shifted, skin 0.3, warmed up for 20 steps, then
timed over --steps steps; the median of --rounds rounds is printed. With
--package DIR the vorlan found in DIR is timed instead of the installed one
(two packages alternate round by round, so both see the same machine load).
With --pair the run uses that potential (Python expression over vorlan.pair),
with --tensor it records the pressure tensor after every step (the force loop
then also sums the tensor and the per-particle terms).
"""
import argparse
import json
import statistics
import subprocess
import sys

CHILD = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import vorlan
n, threads, steps, pair, tensor = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6] == "1"
side = (n / 0.8442) ** (1 / 3)
params = dict(nr_particles=n, cell_length=side, rcut=2.5, shell=0.3, kT=1.44, stepsize=0.005, tau=0.5,
              sigma=1, epsilon=1, mass=1, nrsteps=steps)
kw = {"pair": eval(pair, {"vorlan": vorlan})} if pair else {}
sim = vorlan.Simulation(params, seed=1, threads=threads, **kw)
sim.run(20)
t = time.perf_counter()
sim.run(steps, **({"observe": {"pressure_tensor": 1}} if tensor else {}))
print(json.dumps((time.perf_counter() - t) / steps))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--package", action="append", default=[], help="directory holding a vorlan package")
    ap.add_argument("--n", type=int, default=32768)
    ap.add_argument("--steps", type=int, default=100)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--pair", default="")
    ap.add_argument("--tensor", action="store_true")
    a = ap.parse_args()
    packages = a.package or [""]
    for threads in a.threads:
        times = {p: [] for p in packages}
        for _ in range(a.rounds):
            for p in packages:
                out = subprocess.run([sys.executable, "-c", CHILD, p, str(a.n), str(threads), str(a.steps), a.pair,
                                      "1" if a.tensor else "0"], check=True, capture_output=True, text=True)
                times[p].append(json.loads(out.stdout))
        for p in packages:
            print(f"threads {threads}  {p or 'installed'}  {1e3 * statistics.median(times[p]):.2f} ms/step"
                  f"  (min {1e3 * min(times[p]):.2f})")


if __name__ == "__main__":
    main()
