"""Reference runs that every change to the engine must reproduce bit for bit.

    python make_golden.py               # (re)write tests/golden/<case>.npz, one fresh process per case
    python make_golden.py --run CASE OUT.npz

The initial velocities come from the process-wide random sequence, so a run only
reproduces when it is the first one of its process: every case runs in a
subprocess of its own. Record the files on one OpenMP thread (this script sets
OMP_NUM_THREADS=1 for the children); the test suite reruns each case the same
way and compares every bit.
"""

import os
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))

BASE = {
    "kT": "1.44", "mass": "1.0", "sigma": "1.0", "epsilon": "1.0", "rcut": "2.5",
    "shell": "0.3", "tau": "0.5", "stepsize": "0.005",
}


def lj_box(n_side, density=0.8442):
    """Box edge holding n_side**3 lattice sites at the given number density."""
    return "%.10f" % (n_side / density ** (1.0 / 3.0))


# name -> parameters; each name says what part of the engine the case exercises.
CASES = {
    # one subcell per axis: box edge 5.29 < 2 (rcut + shell)
    "n125_one_subcell": dict(BASE, nr_particles="125", cell_length=lj_box(5), nrsteps="300"),
    # two subcells per axis: neighbouring subcells repeat through the wrap
    "n216_two_subcells": dict(BASE, nr_particles="216", cell_length=lj_box(6), nrsteps="300"),
    # three subcells per axis, every parameter away from 1, thermostat strong
    "n1000_params": dict(BASE, nr_particles="1000", cell_length=lj_box(10), nrsteps="300", kT="2.0",
                         mass="1.5", sigma="1.05", epsilon="0.8", rcut="2.6", shell="0.4", tau="0.2"),
    # particle count below the lattice size: the last 197 sites stay empty
    "n2000_partial_lattice": dict(BASE, nr_particles="2000", cell_length="13.3360", nrsteps="200"),
    # the benchmark state point: six subcells per axis, about 30 rebuilds
    "n4096_liquid": dict(BASE, nr_particles="4096", cell_length=lj_box(16), nrsteps="300"),
}

KEYS = ("ekin", "epot", "etot", "positions", "velocities")


def run_case(name, out):
    """Runs one case in this process and saves its results (must be the process's first run)."""
    from vorlan import Vorlan

    with tempfile.NamedTemporaryFile("w", suffix=".par", delete=False) as f:
        f.write("".join("%s = %s\n" % kv for kv in CASES[name].items()))
    try:
        r = Vorlan().simulate(f.name)
    finally:
        os.unlink(f.name)
    np.savez(out, **{k: np.asarray(r[k], dtype="<f8") for k in KEYS})


def run_fresh(name, out, threads, env=None):
    """Runs one case in a fresh interpreter on the given number of OpenMP threads."""
    env = dict(os.environ if env is None else env, OMP_NUM_THREADS=str(threads))
    subprocess.run([sys.executable, os.path.abspath(__file__), "--run", name, out], check=True, env=env)


def main(argv):
    if len(argv) == 4 and argv[1] == "--run":
        run_case(argv[2], argv[3])
        return 0
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    for name in CASES:
        run_fresh(name, os.path.join(HERE, name + ".npz"), threads=1)
        print("wrote", name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
