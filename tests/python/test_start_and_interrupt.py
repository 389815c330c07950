"""Starts that cannot be finite, parameter paths that are not regular files, and
Ctrl-C during a run, for simulate and for the vorlan-run driver."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import DEFAULT_PARAMS
from test_movie import find_driver, package_env
from vorlan.vorlan import Vorlan


def digits(x):
    """x written in plain digits, as a parameter file must (no exponent)."""
    text = f"{x:.400f}".rstrip("0")
    return text + "0" if text.endswith(".") else text


@pytest.mark.parametrize(
    "changes, keys",
    [
        ({"cell_length": digits(1e103)}, ["cell_length", "nr_particles"]),  # the volume overflows
        ({"cell_length": digits(1e-109)}, ["cell_length", "nr_particles"]),  # the volume underflows
        ({"cell_length": digits(1e-111), "nr_particles": "0"}, ["cell_length", "nr_particles"]),
        ({"cell_length": digits(1e-320), "nr_particles": "1", "rcut": "0"}, ["cell_length", "nr_particles"]),
        ({"cell_length": digits(1e-100), "rcut": digits(4e-101)}, ["cell_length", "nr_particles"]),  # energy overflows
        ({"kT": digits(1e300), "mass": digits(1e-300), "nrsteps": "0"}, ["kT", "mass"]),
        ({"stepsize": "0.6"}, ["stepsize", "tau"]),  # the Berendsen factor would turn negative
        ({"rcut": "100"}, ["rcut", "cell_length"]),  # the minimum image would miss pairs
    ],
    ids=["huge box", "tiny box", "tiny empty box", "denormal box", "dense lattice", "hot and light", "step above tau",
         "cutoff beyond half the box"],
)
def test_a_start_that_cannot_be_finite_is_refused_by_name(param_file, changes, keys):
    with pytest.raises(ValueError) as info:
        Vorlan().simulate(param_file(changes))
    for key in keys:
        assert f"{key} = " in str(info.value)
    assert "is not allowed" in str(info.value) or "are not allowed" in str(info.value)


def special_file(kind, tmp_path):
    if kind == "directory":
        return str(tmp_path)
    if kind == "fifo":
        path = tmp_path / "fifo"
        os.mkfifo(path)
        return str(path)
    if kind == "unreadable":
        if os.geteuid() == 0:
            pytest.skip("root reads any file")
        path = tmp_path / "locked.par"
        path.write_text("stepsize = 0.005\n")
        path.chmod(0)
        return str(path)
    return kind  # a device


@pytest.mark.parametrize("kind", ["directory", "fifo", "unreadable", "/dev/urandom", "/dev/zero"])
def test_anything_but_a_readable_regular_file_cannot_be_opened(tmp_path, kind):
    # neither a FIFO without a writer nor an endless device may block or be read
    path = special_file(kind, tmp_path)
    with pytest.raises(Exception) as info:
        Vorlan().simulate(path)
    assert type(info.value) is Exception
    assert info.value.args == ("Cannot open file: " + path,)
    r = subprocess.run([str(find_driver()), path], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stderr) == (1, f"vorlan-run: Cannot open file: {path}\n")


def test_a_parameter_file_longer_than_one_mebibyte_is_refused(param_file):
    path = param_file({"padding": "0" * (1 << 20)})
    with pytest.raises(ValueError, match="longer than 1048576 bytes"):
        Vorlan().simulate(path)


def endless_run(param_file, **changes):
    return param_file({"nrsteps": "4000000000", **changes})


def wait_for(proc, predicate):
    """Polls until predicate() holds; fails if the child ends first."""
    deadline = time.monotonic() + 60
    while not predicate():
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "the child never got going"
        time.sleep(0.05)


def test_ctrl_c_interrupts_simulate_between_steps(param_file, tmp_path):
    started = tmp_path / "started"
    code = textwrap.dedent(
        """
        import sys
        from vorlan.vorlan import Vorlan
        open(sys.argv[2], "w").close()
        Vorlan().simulate(sys.argv[1])
        print("finished")
        """
    )
    proc = subprocess.Popen([sys.executable, "-c", code, endless_run(param_file), str(started)],
                            env=package_env(OMP_NUM_THREADS="1"), cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_for(proc, started.exists)
    time.sleep(0.5)  # well inside the step loop: the 64-particle box is built at once
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode != 0 and "finished" not in out
    assert err.rstrip().endswith("KeyboardInterrupt"), err


def test_ctrl_c_ends_vorlan_run_after_a_whole_frame(param_file, tmp_path):
    movie = tmp_path / "run.movie"
    n = int(DEFAULT_PARAMS["nr_particles"])
    frame = 24 + 56 * n
    proc = subprocess.Popen([str(find_driver()), endless_run(param_file), "--movie", str(movie), "--every", "3"],
                            env=package_env(OMP_NUM_THREADS="1"), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    wait_for(proc, lambda: movie.exists() and movie.stat().st_size >= 4 + 3 * frame)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert err.startswith("vorlan-run: interrupted after ")
    steps = int(err.split()[3])
    frames, rest = divmod(movie.stat().st_size - 4, frame)
    assert rest == 0
    # the first frame, one per 3 steps, and the state at the interrupt unless it was one of them
    assert frames == 1 + steps // 3 + (steps % 3 != 0)
