#!/usr/bin/env python3
"""Simulation.run against simulate, and the cost of a callback every 100 steps.

Each measurement runs in a fresh Python process (same start, same work), timed
around the run alone; rounds alternate between the variants and the table shows
the median. Variants:

  simulate        Vorlan().simulate(path)
  run             Simulation(path).run()
  run+callback    Simulation(path).run(every=100, callback=...) reading the
                  temperature and the pressure (a virial over all pairs) each time
  run+every       the same chunks of 100 steps with a callback that does nothing

  python3 bench/bench_simulation.py                 # N = 4096, 1000 steps, 3 rounds
  python3 bench/bench_simulation.py --n 32768 --steps 200 --rounds 2 --threads 2
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap

DENSITY = 0.8442

CODE = {
    "simulate": "from vorlan.vorlan import Vorlan\nrun = lambda: Vorlan().simulate(PATH)",
    "run": "from vorlan import Simulation\nrun = lambda: Simulation(PATH).run()",
    "run+every": "from vorlan import Simulation\nrun = lambda: Simulation(PATH).run(every=100, callback=lambda s: None)",
    "run+callback": (
        "from vorlan import Simulation\n"
        "seen = []\n"
        "run = lambda: Simulation(PATH).run(every=100, callback=lambda s: seen.append((s.temperature, s.pressure)))"
    ),
}


def write_params(folder, n, steps):
    side = round(n ** (1 / 3))
    if side**3 != n:
        raise SystemExit(f"--n {n} is not a cube")
    path = os.path.join(folder, "bench.par")
    with open(path, "w") as f:
        f.write(
            f"nr_particles = {n}\ncell_length = {side / DENSITY ** (1 / 3):.6f}\nkT = 1.44\nmass = 1.0\n"
            "sigma = 1.0\nepsilon = 1.0\nrcut = 2.5\nshell = 0.3\ntau = 0.5\nstepsize = 0.005\n"
            f"nrsteps = {steps}\n"
        )
    return path


def measure(variant, path, threads):
    script = CODE[variant].replace("PATH", repr(path)) + textwrap.dedent(
        """
        import time
        t = time.perf_counter()
        run()
        print(time.perf_counter() - t)
        """
    )
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=4096, help="particles, a cube (default 4096)")
    ap.add_argument("--steps", type=int, default=1000, help="steps per run (default 1000)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds of all variants (default 3)")
    ap.add_argument("--threads", type=int, default=1, help="OpenMP team size (default 1)")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = write_params(folder, args.n, args.steps)
        times = {v: [] for v in CODE}
        for _ in range(args.rounds):
            for variant in CODE:
                times[variant].append(measure(variant, path, args.threads))

    work = args.n * args.steps
    base = statistics.median(times["simulate"])
    print(f"N = {args.n}, {args.steps} steps, {args.threads} thread(s), median of {args.rounds} rounds")
    print(f"{'variant':<14}{'seconds':>10}{'M atom-steps/s':>16}{'vs simulate':>13}")
    for variant, ts in times.items():
        t = statistics.median(ts)
        print(f"{variant:<14}{t:>10.3f}{work / t / 1e6:>16.2f}{(t / base - 1) * 100:>+12.1f}%")
    per_call = (statistics.median(times["run+callback"]) - statistics.median(times["run"])) / (args.steps // 100 or 1)
    print(f"callback reading T and P: {per_call * 1e3:.2f} ms per call")


if __name__ == "__main__":
    main()
