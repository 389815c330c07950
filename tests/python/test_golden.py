"""Recorded runs (tests/golden/*.npz) reproduced bit for bit.

Each case runs in a fresh interpreter, because the initial velocities continue a
process-wide random sequence. On one thread every recorded number must come back
with the same bits. On two threads the per-particle results must too: forces,
and with them positions and velocities, do not depend on the thread count; only
the potential energy is a reduction whose last bits may change.
"""

import os
import sys

import numpy as np
import pytest

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden")
sys.path.insert(0, GOLDEN)
import make_golden  # noqa: E402  (the generator holds the cases and runs them)


def rerun(name, threads, tmp_path):
    out = str(tmp_path / (name + ".npz"))
    make_golden.run_fresh(name, out, threads)
    return np.load(out), np.load(os.path.join(GOLDEN, name + ".npz"))


def bits(a):
    return np.ascontiguousarray(a, dtype="<f8").view("<u8")


def first_difference(got, want):
    diff = np.flatnonzero(bits(got).ravel() != bits(want).ravel())
    return "first differing entry %d of %d: %r != %r" % (
        diff[0], diff.size, got.ravel()[diff[0]], want.ravel()[diff[0]]) if diff.size else ""


@pytest.mark.parametrize("name", sorted(make_golden.CASES))
def test_one_thread_reproduces_every_bit(name, tmp_path):
    got, want = rerun(name, 1, tmp_path)
    for key in make_golden.KEYS:
        assert got[key].shape == want[key].shape, key
        assert np.array_equal(bits(got[key]), bits(want[key])), key + ": " + first_difference(got[key], want[key])


@pytest.mark.parametrize("name", sorted(make_golden.CASES))
def test_two_threads_change_only_the_last_bits_of_epot(name, tmp_path):
    got, want = rerun(name, 2, tmp_path)
    for key in ("positions", "velocities", "ekin"):
        assert np.array_equal(bits(got[key]), bits(want[key])), key + ": " + first_difference(got[key], want[key])
    # the potential energy is summed in per-thread partials, then added up
    scale = np.abs(want["epot"]).max()
    for key in ("epot", "etot"):
        assert np.abs(got[key] - want[key]).max() <= 1e-12 * scale, key
