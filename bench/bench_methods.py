#!/usr/bin/env python3
"""Cost of a step of each integration method against a Berendsen step.

  python3 bench/bench_methods.py                       # N = 32768, one thread, 5 rounds
  python3 bench/bench_methods.py --threads 2 --steps 100 --rounds 3

The same liquid for every method (N = 32768 on a simple cubic start lattice at
density 0.8442, kT 1.44, rc 2.5, skin 0.3, dt 0.005), equilibrated once with
Berendsen and restored from that checkpoint for each measurement, so that every
method steps the same configurations. Each measurement runs `--steps` steps
after 10 warm-up steps; the methods take turns within a round, and the table
shows the median over the rounds of the wall time per step and, on one thread,
of the process CPU time per step (steadier when other processes share the
cores), and their ratio to Berendsen's.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

import vorlan

METHODS = [
    ("Berendsen", lambda: (vorlan.Berendsen(), None)),
    ("NVE", lambda: (vorlan.NVE(), None)),
    ("Langevin", lambda: (vorlan.Langevin(1.0), None)),
    ("Bussi", lambda: (vorlan.Bussi(0.5), None)),
    ("NoseHoover", lambda: (vorlan.NoseHoover(0.5), None)),
    ("Bussi+CRescale", lambda: (vorlan.Bussi(0.5), vorlan.CRescale(pressure=1.0, tau=2.0, compressibility=0.1))),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=32768, help="particles, a cube (default 32768)")
    ap.add_argument("--steps", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    side = round(args.n ** (1 / 3))
    params = dict(nr_particles=args.n, cell_length=side / 0.8442 ** (1 / 3), kT=1.44, mass=1.0, sigma=1.0,
                  epsilon=1.0, rcut=2.5, shell=0.3, tau=0.5, stepsize=0.005)
    wall = {name: [] for name, _ in METHODS}
    cpu = {name: [] for name, _ in METHODS}
    with tempfile.TemporaryDirectory() as tmp:
        start = os.path.join(tmp, "start.npz")
        vorlan.Simulation(params, seed=1, threads=args.threads).run(200).save(start)
        for _ in range(args.rounds):
            for name, make in METHODS:
                sim = vorlan.Simulation.load(start, threads=args.threads)
                method, barostat = make()
                # the checkpoint's seed keys the noise
                sim.method, sim.barostat = method, barostat
                sim.run(10)
                t0, c0 = time.perf_counter(), time.process_time()
                sim.run(args.steps)
                wall[name].append((time.perf_counter() - t0) / args.steps)
                cpu[name].append((time.process_time() - c0) / args.steps)
    base_w, base_c = statistics.median(wall["Berendsen"]), statistics.median(cpu["Berendsen"])
    print(f"N = {args.n}, {args.threads} thread(s), {args.steps} steps, median of {args.rounds} rounds; "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'method':16s} {'wall ms/step':>12s} {'x Berendsen':>12s} {'cpu ms/step':>12s} {'x Berendsen':>12s}")
    for name, _ in METHODS:
        w, c = statistics.median(wall[name]), statistics.median(cpu[name])
        print(f"{name:16s} {1e3 * w:12.2f} {w / base_w:12.3f} {1e3 * c:12.2f} {c / base_c:12.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
