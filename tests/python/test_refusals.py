"""What a Simulation refuses, and what a refusal leaves: steps that cannot be
integrated or a box that runs away leave the state as it was, settings that
cannot run, checkpoints holding what no run saves; and the frames of a run
whose box moves."""

import numpy as np
import pytest

import vorlan
from vorlan.io import checkpoint
from vorlan.trajectory import convert, read_gsd, read_xyz

LIQUID = dict(nr_particles=256, cell_length=6.8399, kT=1.0, mass=1, sigma=1, epsilon=1, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.005)


def same_state(a, b):
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_array_equal(a[key], b[key], err_msg=key, strict=True)


@pytest.mark.parametrize(
    "method,barostat,error,message",
    [
        (vorlan.Berendsen(tau=0.001), None, ValueError, "tau = 0.001 .*Berendsen"),
        (vorlan.NoseHoover(tau=0.001), None, ValueError, "tau = 0.001 .*Nose-Hoover"),
        (vorlan.Bussi(0.2), vorlan.CRescale(pressure=1.0, tau=0.001), ValueError, "tau = 0.001 .*barostat"),
        (vorlan.Bussi(0.2), vorlan.CRescale(pressure=-1e6, tau=2.0), ArithmeticError, r"at step 4 .*box.*\(inf"),
    ],
    ids=["berendsen-tau", "nose-hoover-tau", "barostat-tau", "negative-pressure-explodes"],
)
def test_a_refused_step_leaves_the_simulation_as_it_was(method, barostat, error, message):
    sim = vorlan.Simulation(LIQUID, method=vorlan.Bussi(0.2), seed=3).run(3)
    sim.method, sim.barostat = method, barostat
    before = sim.__getstate__()
    with pytest.raises(error, match=message):
        sim.run(5)
    same_state(before, sim.__getstate__())
    # and it continues, with other settings, as if the refusal never happened
    sim.method, sim.barostat = vorlan.Bussi(0.2), None
    unrefused = vorlan.Simulation(LIQUID, method=vorlan.Bussi(0.2), seed=3).run(3)
    unrefused.method = vorlan.Bussi(0.2)
    np.testing.assert_array_equal(sim.run(4).positions, unrefused.run(4).positions)


def test_a_box_running_away_under_a_negative_pressure_is_refused():
    sim = vorlan.Simulation(LIQUID, method=vorlan.Langevin(1.0), barostat=vorlan.CRescale(-50.0, 0.5), seed=1)
    with pytest.raises(ArithmeticError, match=r"beyond 1e\+06 times .*target pressure = -50"):
        sim.run(15000)
    assert np.isfinite(sim.positions).all() and sim.volume <= 1e6 * 6.8399**3


def test_frames_under_a_barostat_carry_their_own_box(tmp_path):
    sim = vorlan.Simulation(LIQUID, method=vorlan.Bussi(0.2), barostat=vorlan.CRescale(3.0, 0.2), seed=2)
    boxes = []
    sim.run(30, every=10, callback=lambda s: boxes.append(s.box), trajectory=tmp_path / "npt.gsd")
    gsd = read_gsd(tmp_path / "npt.gsd")
    assert len(set(gsd.box[:, 0])) == 4  # the start and three different boxes
    np.testing.assert_allclose(gsd.box[1:], boxes, rtol=1e-15)
    convert(tmp_path / "npt.gsd", tmp_path / "npt.xyz")
    np.testing.assert_array_equal(read_xyz(tmp_path / "npt.xyz").box, gsd.box)


@pytest.mark.parametrize(
    "make,message",
    [
        (lambda: vorlan.Simulation(dict(LIQUID, stepsize=0)), "stepsize = 0 "),
        (lambda: vorlan.Simulation(dict(LIQUID, sigma=0.0)), "sigma = 0 "),
        (lambda: vorlan.Simulation(LIQUID).set("stepsize", 0), "stepsize = 0 "),
        (lambda: vorlan.Simulation(LIQUID).set("sigma", "0.0"), "sigma = 0.0 "),
    ],
    ids=["stepsize", "sigma", "set-stepsize", "set-sigma"],
)
def test_settings_that_cannot_run_are_refused_naming_the_key(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_settings_change_without_nrsteps():
    sim = vorlan.Simulation(LIQUID, seed=1)  # run() is told its step counts
    sim.set("kT", 1.5)
    assert sim.parameters["kT"] == "1.5" and "nrsteps" not in sim.parameters


def _mixture():
    species, types = vorlan.composition(256, {"A": 0.75, "B": 0.25}, seed=1)
    return vorlan.Simulation(LIQUID, species=species, types=types, method=vorlan.NoseHoover(0.2),
                             barostat=vorlan.CRescale(1.0, 1.0), seed=1).run(2)


def _set(key, value):
    def change(a):
        a[key] = np.asarray(value)
    return change


def _setting(key, value):
    def change(a):
        keys = a["parameter_keys"].tolist()
        values = a["parameter_values"].tolist()
        values[keys.index(key)] = value
        a["parameter_values"] = np.array(values, dtype=str)
    return change


def _entry(key, index, value):
    def change(a):
        a[key] = a[key].copy()
        a[key][index] = value
    return change


@pytest.mark.parametrize(
    "tamper,message",
    [
        (_set("species", ["A", "A"]), "species entry .*'A' twice"),
        (_set("species", ["A", "B C"]), "species entry .*'B C'"),
        (_set("species", ["A"]), "1 names for the 2 types"),
        (lambda a: a.pop("species"), "species names and types come together"),
        (_entry("method_state", 1, np.nan), "state of nose_hoover holds nan"),
        (_set("barostat_work", np.inf), "barostat work inf"),
        (_entry("rcut", (1, 1), 4.0), "largest pair cut-off 4 "),
        (_entry("images", (7, 2), 2**31 - 1), "image counter of particle 7 along z"),
        (_setting("stepsize", "0"), "stepsize = 0 "),
    ],
    ids=["species-twice", "species-blank", "species-count", "species-missing", "chain-nan", "work-inf",
         "cutoff-beyond-half-box", "image-at-int32-max", "stepsize-0"],
)
def test_load_refuses_what_save_never_writes(tmp_path, tamper, message):
    arrays = _mixture().__getstate__()
    tamper(arrays)
    checkpoint.write(str(tmp_path / "c.npz"), arrays)
    with pytest.raises(ValueError, match=message):
        vorlan.Simulation.load(tmp_path / "c.npz")
