#!/usr/bin/env python3
"""Pairs listed per particle, list-build share and speed: vorlan against LAMMPS.

Two systems at N = 32768 on a simple cubic start: the one-species bench liquid
of bench.py (density 0.8442, kT 1.44, rcut 2.5, shell 0.3) and the Kob-Andersen
80:20 mixture of ka_lammps.py (density 1.2, T 1, cut-offs 2.5 s_ab, shell 0.3).
For each, in alternating rounds: vorlan (one or more builds of the package, so
that a change can be timed before and after on the same machine state) on 1
and 2 threads, and Debian's ``lmp`` (``-sf opt``, on 1 rank and on 2 ranks).

    python3 bench/list_reach.py --builds before=/tmp/old/python,after=build/cmake/python
    python3 bench/list_reach.py --steps 100 --rounds 1 --threads 1

Printed per system and code: atom-steps/s (median of the rounds), the pairs
listed per particle, and the share of a step spent building the list. vorlan
lists every pair in both particles' runs (a full list): its count is the
list's entries less the N starts and N terminators, over N, after the run.
LAMMPS lists each pair once (a half list): its "Ave neighs/atom" is doubled to
compare. Beside the wall-clock rate, the rate per CPU second of the process
(LAMMPS: loop time times its reported CPU use), which other work on the
machine disturbs less. The build share is vorlan's perf samples in the build over those in
the engine (one thread, a run of its own; "-" without perf or without the
engine's symbols: the package's vorlan._core is linked stripped, so a build
to be profiled is relinked without -s), and LAMMPS's
"Neigh" share of its loop time. The load average stands beside each row: the
machine may be shared, and rates taken under load are not comparable.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench import LAMMPS_INPUT, find_debian_lammps, loadavg, vorlan_parameters  # noqa: E402
from ka_lammps import KA_PAIRS, setup_commands, write_data  # noqa: E402

SIDE = 32  # N = 32^3

# A child process times one system in one build of vorlan: argv system, steps,
# threads; prints the rate and the listed pairs per particle as JSON.
CHILD = r"""
import json, sys, time
import numpy as np
import vorlan
from vorlan.mixture import KOB_ANDERSEN
system, steps, threads, text = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
if system == "lj":
    params = {k.strip(): float(v) for k, v in (line.split("=") for line in text.strip().splitlines())}
    params["nr_particles"] = int(params["nr_particles"])
    sim = vorlan.Simulation(params, seed=87287, threads=threads)
else:
    side = int(text)
    n = side ** 3
    x, box = vorlan.lattice("sc", side, 1.2)
    species, types = vorlan.composition(n, {"A": 0.8, "B": 0.2}, seed=3)
    params = dict(nr_particles=n, cell_length=box[0], kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
                  shell=0.3, tau=0.5, stepsize=0.005)
    sim = vorlan.Simulation(params, species=species, types=types, pairs=KOB_ANDERSEN, positions=x, box=box,
                            seed=1, threads=threads)
n = sim.nr_particles if hasattr(sim, "nr_particles") else len(sim.positions)
t0, c0 = time.perf_counter(), time.process_time()
sim.run(steps)
seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
listed = len(sim._engine.state()["neighbor_list"]) - 2 * n
print(json.dumps({"rate": n * steps / seconds, "cpu_rate": n * steps / cpu, "pairs": listed / n}))
"""


def vorlan_run(path, system, steps, threads, perf=False):
    text = vorlan_parameters(SIDE, steps) if system == "lj" else str(SIDE)
    env = dict(os.environ, PYTHONPATH=path, OMP_NUM_THREADS=str(threads))
    cmd = [sys.executable, "-c", CHILD, system, str(steps), str(threads), text]
    if not perf:
        out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True)
        return json.loads(out.stdout.strip().splitlines()[-1])
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        rec = subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "997", "-o", data, "--"] + cmd,
                             env=env, capture_output=True, text=True)
        if rec.returncode != 0:
            return None
        rep = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", "symbol", "--stdio"],
                             capture_output=True, text=True).stdout
    build = engine = 0.0
    for share, symbol in re.findall(r"^\s*([\d.]+)%\s+\[\.\]\s+(.*)$", rep, re.M):
        if re.search(r"Cell::|kernels::|\(anonymous namespace\)::|GOMP|gomp", symbol):
            engine += float(share)
            if re.search(r"build_neighbor_list|kernels::scan_|list_block|sort_by_subcell|join_parts|"
                         r"check_stability|assemble_ranges", symbol):
                build += float(share)
    return build / engine if engine > 0 else None


def lammps_script(system, steps):
    if system == "lj":
        return LAMMPS_INPUT.format(density=0.8442, n=SIDE, steps=steps)
    import numpy as np

    box = np.full(3, SIDE / 1.2 ** (1.0 / 3.0))
    head = setup_commands(box)
    return "\n".join(head[:3] + ["read_data start.data"] + head[8:] + [
        "velocity all create 1.0 4928459 dist gaussian mom yes", "fix 1 all nve", "timestep 0.005",
        f"thermo {steps}", f"run {steps}"]) + "\n"


def lammps_run(lmp, workdir, system, steps, ranks):
    with open(os.path.join(workdir, "in.lmp"), "w") as f:
        f.write(lammps_script(system, steps))
    cmd = [lmp.lmp, "-in", "in.lmp", "-log", "log.lammps", "-screen", "none", "-sf", "opt"]
    if ranks > 1:
        cmd = lmp.mpi + ["-np", str(ranks)] + cmd
    subprocess.run(cmd, cwd=workdir, env=dict(os.environ, OMP_NUM_THREADS="1"), check=True, capture_output=True)
    log = open(os.path.join(workdir, "log.lammps")).read()
    loop = re.search(r"Loop time of ([\d.eE+-]+) on \d+ procs for (\d+) steps with (\d+) atoms", log)
    neigh = re.search(r"^Neigh\s*\|.*\|\s*([\d.]+)\s*$", log, re.M)
    half = float(re.search(r"Ave neighs/atom = ([\d.eE+-]+)", log).group(1))
    use = float(re.search(r"([\d.]+)% CPU use", log).group(1)) / 100.0
    rate = int(loop.group(3)) * steps / float(loop.group(1))
    return {"rate": rate, "cpu_rate": rate / use, "pairs": 2.0 * half,
            "share": float(neigh.group(1)) / 100.0 if neigh else None}


def ka_start_file(workdir):
    """The Kob-Andersen start of the child, as a LAMMPS data file (same lattice, same types)."""
    import vorlan

    x, box = vorlan.lattice("sc", SIDE, 1.2)
    _, types = vorlan.composition(SIDE ** 3, {"A": 0.8, "B": 0.2}, seed=3)
    write_data(os.path.join(workdir, "start.data"), x, types, box)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--builds", default="vorlan=" + os.environ.get("PYTHONPATH", ""),
                    help="name=path,... of vorlan packages to compare (default: the importable one)")
    ap.add_argument("--steps", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--systems", default="lj,ka")
    ap.add_argument("--no-lammps", action="store_true")
    args = ap.parse_args(argv)
    builds = [tuple(b.split("=", 1)) for b in args.builds.split(",")]
    threads = [int(t) for t in args.threads.split(",")]
    lmp = None if args.no_lammps else find_debian_lammps(None)
    print(f"N = {SIDE ** 3}, {args.steps} steps, median of {args.rounds} alternating round(s); "
          f"{'Debian lmp -sf opt' if lmp else 'no LAMMPS'}")
    for system in args.systems.split(","):
        name = "one species (bench liquid)" if system == "lj" else "Kob-Andersen (density 1.2, T 1)"
        rows = {}
        with tempfile.TemporaryDirectory() as tmp:
            if system == "ka" and lmp:
                sys.path.insert(0, os.path.abspath(builds[-1][1]))
                ka_start_file(tmp)
            for _ in range(args.rounds):
                for t in threads:
                    for tag, path in builds:
                        rows.setdefault((tag, t), []).append(vorlan_run(path, system, args.steps, t) | {
                            "load": loadavg()})
                    if lmp and (t == 1 or lmp.mpi):
                        rows.setdefault(("lmp -sf opt", t), []).append(
                            lammps_run(lmp, tmp, system, args.steps, t) | {"load": loadavg()})
        print(f"\n{name}")
        print(f"  {'code':<14}{'threads':>8}{'M a-steps/s':>13}{'per CPU s':>11}{'pairs/part':>12}{'build %':>9}"
              "   load average")
        for (tag, t), runs in rows.items():
            rate = statistics.median(r["rate"] for r in runs)
            cpu_rate = statistics.median(r["cpu_rate"] for r in runs)
            share = runs[-1].get("share")
            if share is None and t == 1 and tag != "lmp -sf opt":
                share = vorlan_run(dict(builds)[tag], system, args.steps, 1, perf=True)
            print(f"  {tag:<14}{t:>8}{rate / 1e6:13.2f}{cpu_rate / 1e6:11.2f}{runs[-1]['pairs']:12.1f}"
                  f"{'-' if share is None else '%.1f' % (100 * share):>9}   {', '.join(r['load'] for r in runs)}")


if __name__ == "__main__":
    main(sys.argv[1:])
