"""Vorlan().simulate(filename): input checks, the result dictionary, the initial
configuration, failures and the module globals it goes through."""

import builtins
import pathlib
import types

import numpy as np
import pytest

from vorlan.vorlan import Vorlan
from conftest import needs_plain_memory

BAD_CAST = "bad lexical cast: source type value could not be interpreted as target"
RESULT_KEYS = [
    "ekin",
    "epot",
    "etot",
    "nrsteps",
    "nrparticles",
    "positions",
    "velocities",
    "positions_initial",
    "velocities_initial",
]
ARRAY_KEYS = RESULT_KEYS[5:]

# --------------------------------------------------------------------- input


def test_missing_file_raises_plain_exception():
    with pytest.raises(Exception) as info:
        Vorlan().simulate("/no/such/file")
    assert type(info.value) is Exception
    assert info.value.args == ("Cannot open file: /no/such/file",)


@pytest.mark.parametrize("name", [b"/no/such/file", pathlib.Path("/no/such/file")], ids=["bytes", "Path"])
def test_missing_file_with_non_str_name_fails_in_the_message(name):
    with pytest.raises(TypeError, match="can only concatenate str"):
        Vorlan().simulate(name)


def test_existing_bytes_name_has_no_encode(param_file):
    with pytest.raises(AttributeError, match="encode"):
        Vorlan().simulate(param_file().encode())


@pytest.mark.parametrize(
    "dropped, reported",
    [
        # the three run settings come first, in this order, before any Cell key
        (["stepsize", "nrsteps", "nr_particles", "cell_length", "kT", "rcut"], "stepsize"),
        (["nrsteps", "nr_particles", "cell_length"], "nrsteps"),
        (["nr_particles", "cell_length"], "nr_particles"),
        (["cell_length", "kT"], "cell_length"),
        (["tau"], "tau"),  # read by the first step only
    ],
)
def test_missing_key(param_file, dropped, reported):
    path = param_file(dict.fromkeys(dropped))
    with pytest.raises(RuntimeError) as info:
        Vorlan().simulate(path)
    assert str(info.value) == "Could not find parameter: " + reported
    assert type(info.value) is RuntimeError


@pytest.mark.parametrize("changes", [{"nrsteps": "10.0"}, {"nr_particles": "8."}, {"stepsize": "1.2.3"}])
def test_value_that_does_not_convert(param_file, changes):
    with pytest.raises(TypeError) as info:
        Vorlan().simulate(param_file(changes))
    assert str(info.value) == BAD_CAST


def test_non_ascii_file_name(param_file):
    path = param_file({"nrsteps": "1"}, name="paramètres-ü€.par")
    assert Vorlan().simulate(path)["nrsteps"] == 1
    missing = path + "-gone"
    with pytest.raises(Exception, match="^Cannot open file: .*paramètres-ü€.par-gone$"):
        Vorlan().simulate(missing)


@pytest.mark.parametrize(
    "changes, key",
    [
        ({"cell_length": "0"}, "cell_length"),
        ({"mass": "0"}, "mass"),
        ({"tau": "0"}, "tau"),
        ({"rcut": "0", "shell": "0"}, "rcut"),
    ],
)
def test_values_that_cannot_run_are_rejected_by_name(param_file, changes, key):
    with pytest.raises(ValueError, match=key):
        Vorlan().simulate(param_file(changes))


@pytest.mark.parametrize("stepsize, tau", [("0.2", "0.5"), ("1" + "0" * 200, "1" + "0" * 201)], ids=["0.2", "1e200"])
def test_exploding_run_raises_instead_of_returning_non_finite_values(param_file, stepsize, tau):
    with pytest.raises(ArithmeticError, match="unstable"):
        r = Vorlan().simulate(param_file({"stepsize": stepsize, "tau": tau, "nrsteps": "3"}))
        assert np.isfinite(r["etot"]).all()  # reached only when nothing was raised


@needs_plain_memory
def test_list_too_large_for_memory_is_a_memory_error(param_file, run_python):
    # 100000 particles in a box smaller than the list radius: each one lists all
    # others. Under an address-space limit the growth of the list fails inside the
    # threads' region; it must come back as MemoryError, not end the process.
    path = param_file({"nr_particles": "100000", "cell_length": "1.4", "rcut": "0.7", "nrsteps": "1"})
    r = run_python(f"""
        import resource
        from vorlan.vorlan import Vorlan
        in_use = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (2 << 30),) * 2)
        try:
            Vorlan().simulate({path!r})
        except MemoryError as e:
            print("MemoryError:", e)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("MemoryError: not enough memory for the neighbour list of nr_particles = 100000")


# --------------------------------------------------------------------- result


def test_result_keys_types_and_shapes(param_file):
    r = Vorlan().simulate(param_file({"nrsteps": "4", "nr_particles": "27"}))
    assert list(r) == RESULT_KEYS
    assert type(r["nrsteps"]) is int and r["nrsteps"] == 4
    assert type(r["nrparticles"]) is int and r["nrparticles"] == 27
    for key in ("ekin", "epot", "etot"):
        assert type(r[key]) is list and len(r[key]) == 4
        assert all(type(x) is float for x in r[key])
    # etot is ekin + epot after every step: the three lists are not mixed up
    assert r["etot"] == [k + p for k, p in zip(r["ekin"], r["epot"])]
    for key in ARRAY_KEYS:
        a = r[key]
        assert type(a) is np.ndarray
        assert a.shape == (27, 3) and a.dtype == np.float64
        assert a.flags.c_contiguous
    for i, first in enumerate(ARRAY_KEYS):
        for second in ARRAY_KEYS[i + 1 :]:
            assert not np.shares_memory(r[first], r[second])


def test_no_steps_gives_empty_series_and_the_initial_lattice(param_file):
    r = Vorlan().simulate(param_file({"nrsteps": "0", "nr_particles": "1000", "cell_length": "10"}))
    assert r["ekin"] == r["epot"] == r["etot"] == []
    assert r["nrsteps"] == 0
    pos = r["positions_initial"]
    # rows are particles on a cell-centred lattice with z fastest
    np.testing.assert_array_equal(pos[0], [0.5, 0.5, 0.5])
    np.testing.assert_array_equal(pos[1], [0.5, 0.5, 1.5])
    np.testing.assert_array_equal(pos[10], [0.5, 1.5, 0.5])
    np.testing.assert_array_equal(pos[100], [1.5, 0.5, 0.5])
    np.testing.assert_array_equal(pos[999], [9.5, 9.5, 9.5])
    np.testing.assert_array_equal(r["positions"], pos)
    mean = r["velocities_initial"].mean(axis=0)
    np.testing.assert_allclose(r["velocities"], r["velocities_initial"] - mean, rtol=0, atol=1e-14)


def test_zero_particles(param_file):
    r = Vorlan().simulate(param_file({"nr_particles": "0", "nrsteps": "2"}))
    assert r["nrparticles"] == 0
    for key in ARRAY_KEYS:
        assert r[key].shape == (0, 3)


def test_velocities_lose_their_mean_but_the_drawn_ones_are_kept(param_file):
    r = Vorlan().simulate(param_file({"nrsteps": "3"}))
    np.testing.assert_allclose(r["velocities"].sum(axis=0), 0.0, atol=1e-12)
    drawn = r["velocities_initial"].sum(axis=0)
    assert np.abs(drawn).max() > 1e-3  # a sum of 64 normal draws is not zero
    assert not np.array_equal(r["positions"], r["positions_initial"])


def test_first_draws_of_a_fresh_process(param_file, run_python):
    path = param_file({"nr_particles": "8", "cell_length": "10", "kT": "1", "mass": "1", "nrsteps": "0"})
    code = f"""
        from vorlan.vorlan import Vorlan
        for run in range(2):
            print(repr(Vorlan().simulate({path!r})["velocities_initial"].tolist()))
    """
    first = run_python(code)
    assert first.returncode == 0, first.stderr
    run1, run2 = first.stdout.splitlines()
    assert eval(run1)[0] == [0.6842899437965548, -1.0868180442613573, -0.12196578414159691]
    assert run1 != run2  # the sequence continues within a process
    again = run_python(code)
    assert again.stdout == first.stdout  # and restarts in a new one


# --------------------------------------------------------------------- module globals


def test_rebinding_os_takes_effect(module, monkeypatch, param_file):
    seen = []

    def exists(name):
        seen.append(name)
        return False

    monkeypatch.setattr(module, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=exists)))
    path = param_file()
    with pytest.raises(Exception, match="^Cannot open file: "):
        Vorlan().simulate(path)
    assert seen == [path]


def test_rebinding_np_takes_effect(module, monkeypatch, param_file):
    calls = []

    class FakeArray:
        def __init__(self, values):
            self.values = values

        def reshape(self, *shape):
            calls.append(shape)
            return ("reshaped", len(self.values))

    monkeypatch.setattr(module, "np", types.SimpleNamespace(array=FakeArray))
    r = Vorlan().simulate(param_file({"nr_particles": "8", "nrsteps": "1"}))
    assert [r[key] for key in ARRAY_KEYS] == [("reshaped", 24)] * 4
    assert calls == [(8, 3)] * 4


@pytest.mark.parametrize("name", ["np", "os"])
def test_deleted_global_is_a_name_error_unless_a_builtin(module, monkeypatch, param_file, name):
    real = getattr(module, name)
    monkeypatch.delattr(module, name)
    with pytest.raises(NameError) as info:
        Vorlan().simulate(param_file({"nrsteps": "1"}))
    assert str(info.value) == f"name '{name}' is not defined"
    monkeypatch.setattr(builtins, name, real, raising=False)
    assert list(Vorlan().simulate(param_file({"nrsteps": "1"}))) == RESULT_KEYS
