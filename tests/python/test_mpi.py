"""One box divided among MPI processes gives the bits of one process.

Each case runs tests/python/mpi/divided_run.py under ``mpiexec -n K`` (the
machine's cores oversubscribed) and compares the final state, energies, energy
log and per-particle terms included, with the same script run by one undivided
Simulation; checkpoints cross process counts, ``vorlan run`` shares its box
under mpiexec, and Ctrl-C stops every process after the same step.
Skipped without mpiexec or mpi4py."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("mpi4py")
MPIEXEC = shutil.which("mpiexec.mpich") or shutil.which("mpiexec")
if MPIEXEC is None:
    pytest.skip("no mpiexec", allow_module_level=True)

SCRIPT = Path(__file__).parent / "mpi" / "divided_run.py"
KEYS = ("positions", "velocities", "forces", "images", "energies", "log", "pair_terms")


def launch(ranks, case, out, *extra, threads=1):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), PYTHONPATH=os.pathsep.join(sys.path))
    cmd = [MPIEXEC, "-n", str(ranks), sys.executable, str(SCRIPT), case, str(out), "--threads", str(threads), *extra]
    return subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=240)


def final_state(ranks, case, tmp_path, *extra, threads=1):
    out = tmp_path / f"{case}-{ranks}-{threads}-{len(extra)}.npz"
    done = launch(ranks, case, out, *extra, threads=threads)
    assert done.returncode == 0, done.stdout + done.stderr
    return np.load(out)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """The state after the run of one undivided Simulation, per case (and run length)."""
    cache = {}

    def get(case, *extra):
        if (case, extra) not in cache:
            cache[case, extra] = final_state(1, case, tmp_path_factory.mktemp(case), "--alone", *extra)
        return cache[case, extra]

    return get


# More processes than the machine's cores wait on each other at every exchange:
# those runs are kept short.
@pytest.mark.parametrize("case, ranks, threads, steps", [
    ("nve", 1, 1, None), ("nve", 3, 2, 500), ("langevin", 4, 1, 40), ("bussi", 2, 2, None),
    ("npt", 3, 1, None), ("npt-xy", 2, 2, None), ("ka", 3, 1, None), ("ka", 2, 2, 500), ("gas", 2, 1, None),
    ("wall", 3, 1, None),
    ("berendsen", 8, 1, 10),
])
def test_divided_run_is_bit_identical(reference, tmp_path, case, ranks, threads, steps):
    extra = () if steps is None else ("--steps", str(steps))
    got = final_state(ranks, case, tmp_path, *extra, threads=threads)
    want = reference(case, *extra)
    for key in KEYS:
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)


def test_empty_domain(reference, tmp_path):
    # four domains along an axis of three subcells: one holds no particle
    got = final_state(4, "nve", tmp_path, "--domains", "1", "4", "1")
    np.testing.assert_array_equal(got["domains"], [1, 4, 1])
    for key in KEYS:
        np.testing.assert_array_equal(got[key], reference("nve")[key], err_msg=key)


def test_refusal_on_one_rank_reaches_all(tmp_path):
    done = launch(3, "nve", tmp_path / "x.npz", "--fail-at", "10")
    # mpiexec forwards the processes' output in pieces: one message per "refused:"
    messages = [m.strip() for m in done.stdout.split("refused:")[1:]]
    assert done.returncode != 0
    assert len(messages) == 3 and len(set(messages)) == 1, done.stdout + done.stderr
    assert "unstable" in messages[0]


def test_trajectory_is_byte_identical(tmp_path):
    files = []
    for ranks in (1, 3):
        files.append(tmp_path / f"run{ranks}.gsd")
        final_state(ranks, "bussi", tmp_path, "--trajectory", str(files[-1]))
    assert files[0].read_bytes() == files[1].read_bytes()


@pytest.mark.parametrize("case", ["npt", "ka"])
def test_checkpoint_across_rank_counts(reference, tmp_path, case):
    # saved at 4 processes: the bytes one process saves; loaded at 1 and 3
    # processes and undivided, the run goes on with the uninterrupted bits
    saved = {}
    for ranks, alone in ((4, ()), (1, ("--alone",))):
        saved[ranks] = tmp_path / f"at{ranks}.npz"
        final_state(ranks, case, tmp_path, *alone, "--save-at", "50", str(saved[ranks]))
    assert saved[4].read_bytes() == saved[1].read_bytes()
    for ranks, alone in ((1, ()), (3, ()), (1, ("--alone",))):
        got = final_state(ranks, case, tmp_path, *alone, "--load", str(saved[4]))
        for key in KEYS:
            np.testing.assert_array_equal(got[key], reference(case)[key], err_msg=f"{key} at {ranks} {alone}")


def test_command_line_shares_the_box(tmp_path):
    # mpiexec -n 2 vorlan run: process 0 prints once and writes the files one process writes
    params = Path(__file__).parents[2] / "examples" / "lj_liquid.par"
    env = dict(os.environ, OMP_NUM_THREADS="1", PYTHONPATH=os.pathsep.join(sys.path))
    for ranks in (1, 2):
        cmd = [sys.executable, "-m", "vorlan", "run", str(params), "--steps", "40", "--seed", "3", "--method",
               "bussi", "--tau", "0.5", "--trajectory", f"{ranks}.gsd", "--every", "20", "--log", f"{ranks}.csv"]
        done = subprocess.run([MPIEXEC, "-n", "2", *cmd] if ranks > 1 else cmd, cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=240)
        assert done.returncode == 0, done.stdout + done.stderr
        assert done.stdout.count("particles N") == 1, done.stdout
    for name in ("gsd", "csv"):
        assert (tmp_path / f"1.{name}").read_bytes() == (tmp_path / f"2.{name}").read_bytes(), name


@pytest.mark.parametrize("extra", [("--load", "missing.npz"), ("--save-at", "5", "no/such/folder/x.npz")])
def test_checkpoint_failure_reaches_every_rank(tmp_path, extra):
    done = launch(2, "nve", tmp_path / "x.npz", *extra)
    messages = [m.strip() for m in done.stdout.split("refused:")[1:]]
    assert done.returncode != 0 and len(messages) == 2 and len(set(messages)) == 1, done.stdout + done.stderr


# Ctrl-C reaches every process through mpiexec; a signal to one process alone
# must stop the others at the same step too.
@pytest.mark.parametrize("target", ["mpiexec", "one rank"])
def test_interrupt_stops_every_rank_at_the_same_step(tmp_path, target):
    saved = tmp_path / "stopped.npz"
    env = dict(os.environ, OMP_NUM_THREADS="1", PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.Popen([MPIEXEC, "-n", "2", sys.executable, str(SCRIPT), "gas", str(tmp_path / "x.npz"),
                            "--interrupt", str(saved)], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True)
    pids = []
    while len(pids) < 2:  # both processes stepping
        line = run.stdout.readline()
        assert line, "the run ended before it was interrupted"
        pids += [int(pid) for pid in re.findall(r"running (\d+)", line)]
    time.sleep(1.0)
    if target == "mpiexec":
        run.send_signal(signal.SIGINT)  # forwarded to the processes
    else:
        os.kill(pids[1], signal.SIGINT)
    output = run.communicate(timeout=120)[0]
    # mpiexec may join the processes' lines: the pattern does not rely on line ends
    stops = re.findall(r"stopped: rank (\d) step (\d+) finite (True|False)", output)
    assert run.returncode == 0 and len(stops) == 2, output
    assert stops[0][1] == stops[1][1] and int(stops[0][1]) > 0, output
    assert {s[2] for s in stops} == {"True"}, output
    import vorlan

    assert vorlan.Simulation.load(saved).step == int(stops[0][1])
