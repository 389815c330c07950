"""What a Simulation refuses: settings that cannot run, checkpoints holding what
no run saves; and the frames of a run whose box moves. (Refused steps are the
engine tests' test_step_guards.cpp.)"""

import numpy as np
import pytest

import vorlan
from vorlan.io import checkpoint
from vorlan.trajectory import convert, read_gsd, read_xyz

LIQUID = dict(nr_particles=256, cell_length=6.8399, kT=1.0, mass=1, sigma=1, epsilon=1, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.005)


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


def _tamper(key, value, index=None):
    """A change of the checkpoint's entry `key`: the whole entry, or one element;
    a key of the settings ("setting:KEY") changes that setting's text."""
    def change(a):
        if key.startswith("setting:"):
            values = a["parameter_values"].tolist()
            values[a["parameter_keys"].tolist().index(key[8:])] = value
            a["parameter_values"] = np.array(values)
        elif index is None:
            a[key] = np.asarray(value)
        else:
            a[key] = a[key].copy()
            a[key][index] = value
    return change


@pytest.mark.parametrize(
    "tamper,message",
    [
        (_tamper("species", ["A", "A"]), "species entry .*'A' twice"),
        (_tamper("species", ["A", "B C"]), "species entry .*'B C'"),
        (_tamper("species", ["A"]), "1 names for the 2 types"),
        (lambda a: a.pop("species"), "species names and types come together"),
        (_tamper("method_state", np.nan, 1), "state of nose_hoover holds nan"),
        (_tamper("barostat_work", np.inf), "barostat work inf"),
        (_tamper("rcut", 4.0, (1, 1)), "rcut of pair .1, 1. is 4 in its mixture tables"),
        (_tamper("images", 2**31 - 1, (7, 2)), "image counter of particle 7 along z"),
        (_tamper("setting:stepsize", "0"), "stepsize = 0 "),
    ],
    ids=["species-twice", "species-blank", "species-count", "species-missing", "chain-nan", "work-inf",
         "cutoff-beyond-half-box", "image-at-int32-max", "stepsize-0"],
)
def test_load_refuses_what_save_never_writes(tmp_path, tamper, message):
    species, types = vorlan.composition(256, {"A": 0.75, "B": 0.25}, seed=1)
    arrays = vorlan.Simulation(LIQUID, species=species, types=types, method=vorlan.NoseHoover(0.2),
                               barostat=vorlan.CRescale(1.0, 1.0), seed=1).run(2).__getstate__()
    tamper(arrays)
    checkpoint.write(str(tmp_path / "c.npz"), arrays)
    with pytest.raises(ValueError, match=message):
        vorlan.Simulation.load(tmp_path / "c.npz")
