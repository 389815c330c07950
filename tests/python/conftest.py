import os
import signal
import subprocess
import sys
import textwrap

import pytest

import vorlan.vorlan

# Ctrl-C as a terminal delivers it: a suite started in the background of a
# non-interactive shell inherits SIGINT ignored, and so would every process it
# starts (a child's ignored signal stays ignored across exec). Python's own
# handler here makes the children start with the default disposition again.
signal.signal(signal.SIGINT, signal.default_int_handler)

# A small liquid: 64 particles, a few steps, fast enough to run many times.
DEFAULT_PARAMS = {
    "nr_particles": "64",
    "cell_length": "5",
    "kT": "1",
    "mass": "1",
    "sigma": "1",
    "epsilon": "1",
    "rcut": "2.5",
    "shell": "0.3",
    "tau": "0.5",
    "stepsize": "0.005",
    "nrsteps": "5",
}

# The directory holding the imported package, so that subprocesses load the same build.
# An address-space limit leaves AddressSanitizer's shadow memory and thread stacks
# no room (the sanitizer job preloads it): the out-of-memory tests need a plain build.
needs_plain_memory = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                        reason="an address-space limit does not combine with AddressSanitizer")

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(vorlan.__file__)))


@pytest.fixture
def module():
    return vorlan.vorlan


@pytest.fixture
def param_file(tmp_path):
    """Writes a parameter file: the defaults updated by `changes`, a value of
    None dropping the key. Returns the path as a str."""
    count = 0

    def write(changes=None, name=None, defaults=True):
        nonlocal count
        values = dict(DEFAULT_PARAMS) if defaults else {}
        values.update(changes or {})
        count += 1
        path = tmp_path / (name or f"run{count}.par")
        path.write_text("".join(f"{k} = {v}\n" for k, v in values.items() if v is not None), encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def run_python(tmp_path):
    """Runs `code` in a fresh interpreter (the first random draws of a process
    are only seen there) and returns the finished process."""

    def run(code, *args):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
        return subprocess.run(
            [sys.executable, *args, "-c", textwrap.dedent(code)],
            cwd=tmp_path,  # keep a source checkout's vorlan/ off sys.path[0]
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )

    return run
