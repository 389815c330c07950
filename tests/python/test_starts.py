"""Start configurations, physical units, start files and system descriptions."""

import json

import numpy as np
import pytest

import vorlan
from vorlan.io.start import read_start
from vorlan.io.system import read_system
from vorlan.mixture import KOB_ANDERSEN, pair_table


def min_image_distances(x, box):
    r = x[:, None, :] - x[None, :, :]
    r -= box * np.round(r / box)
    d = np.sqrt((r**2).sum(-1))
    return d[np.triu_indices(len(x), 1)]


@pytest.mark.parametrize("kind, basis, nearest", [("fcc", 4, 2**-0.5), ("bcc", 2, 3**0.5 / 2), ("sc", 1, 1.0)])
def test_lattice_sites_density_and_spacing(kind, basis, nearest):
    x, box = vorlan.lattice(kind, (3, 2, 4), 0.9)
    assert x.shape == (basis * 24, 3) and np.allclose(box / box[0], [1, 2 / 3, 4 / 3])
    assert len(x) / np.prod(box) == pytest.approx(0.9)
    assert ((x >= 0) & (x < box)).all()
    a = box[0] / 3
    assert min_image_distances(x, box).min() == pytest.approx(nearest * a)


def test_random_positions_keep_their_distance_and_seed():
    x = vorlan.random_positions(300, (6.0, 7.0, 8.0), 0.8, seed=4)
    assert ((x >= 0) & (x < [6, 7, 8])).all()
    assert min_image_distances(x, np.array([6.0, 7.0, 8.0])).min() >= 0.8
    assert np.array_equal(x, vorlan.random_positions(300, (6.0, 7.0, 8.0), 0.8, seed=4))
    with pytest.raises(ValueError, match="no room for particle"):
        vorlan.random_positions(500, 6.0, 1.0, seed=1, max_attempts=50)


def test_composition_counts_add_up_and_shuffle():
    species, types = vorlan.composition(1001, {"A": 0.8, "B": 0.2}, seed=2)
    assert species == ["A", "B"] and np.bincount(types).tolist() == [801, 200]
    assert not np.array_equal(types, np.sort(types))
    assert np.array_equal(types, vorlan.composition(1001, {"A": 0.8, "B": 0.2}, seed=2)[1])
    with pytest.raises(ValueError, match="species 'B'"):
        vorlan.composition(10, {"A": 1.0, "B": -0.5})


def test_units_argon_and_round_trips():
    ar = vorlan.units.Units("argon")
    assert ar.to_physical("time", 1.0) == pytest.approx(2.156, rel=1e-3)  # ps
    assert ar.to_physical("pressure", 1.0) == pytest.approx(41.9, rel=1e-3)  # MPa
    assert ar.to_physical("density", 1.0) == pytest.approx(1.680, rel=1e-3)  # g/cm^3
    x = np.linspace(0.0, 3.0, 7)
    for q in vorlan.units.QUANTITIES:
        assert np.allclose(ar.to_reduced(q, ar.to_physical(q, x)), x)
    assert ar.relative("Kr")["mass"] == pytest.approx(83.798 / 39.948)
    with pytest.raises(ValueError, match="quantity"):
        ar.scale("colour")


def test_pair_table_mixing_rules_and_errors():
    t = pair_table(["A", "B", "C"], {("A", "A"): dict(epsilon=1.0, sigma=1.0), ("B", "B"): dict(epsilon=4.0, sigma=2.0),
                                     ("C", "C"): dict(epsilon=1.0, sigma=1.0, rcut=2.0),
                                     ("A", "C"): dict(epsilon=0.5, sigma=0.9, rcut=1.8)},
                   sigma=1.0, epsilon=1.0, rcut=2.5)
    assert t.epsilon[0, 1] == t.epsilon[1, 0] == 2.0 and t.sigma[0, 1] == 1.5 and t.rcut[1, 2] == 2.5
    assert t.rcut[0, 2] == t.rcut[2, 0] == 1.8
    for pairs, message in [({("A", "A"): dict(epsilon=1.0, sigma=1.0)}, "species 'B' has no parameters"),
                           ({("A", "X"): dict(epsilon=1.0, sigma=1.0)}, "'X'"),
                           ({("A", "A"): dict(epsilon=1.0, sigma=0.0)}, "sigma of pair")]:
        with pytest.raises(ValueError, match=message):
            pair_table(["A", "B"], pairs, sigma=1.0, epsilon=1.0, rcut=2.5)


def test_start_files_round_trip(tmp_path):
    ase = pytest.importorskip("ase")
    import ase.io
    import gsd.hoomd

    rng = np.random.default_rng(1)
    box = np.array([5.0, 6.0, 7.0])
    x = rng.random((12, 3)) * box
    v = rng.normal(size=(12, 3))
    types = np.array([0, 1] * 6)
    with gsd.hoomd.open(tmp_path / "s.gsd", "w") as f:
        for step in (0, 10):
            frame = gsd.hoomd.Frame()
            frame.configuration.step = step
            frame.configuration.box = [*box, 0, 0, 0]
            frame.particles.N = 12
            frame.particles.types = ["A", "B"]
            frame.particles.typeid = types
            frame.particles.position = (x - box / 2).astype(np.float32)
            f.append(frame)
    s = read_start(tmp_path / "s.gsd", frame=0)
    assert s.species == ["A", "B"] and np.array_equal(s.types, types) and s.step == 0
    assert np.allclose(s.positions, x, atol=1e-5) and s.velocities is None and s.masses is None

    atoms = ase.Atoms(symbols=["Ar", "Kr"] * 6, positions=x, cell=np.diag(box), pbc=True)
    atoms.set_masses([1.0, 2.0] * 6)
    atoms.set_velocities(v)
    ase.io.write(tmp_path / "s.xyz", atoms, format="extxyz")
    s = read_start(tmp_path / "s.xyz")
    assert s.species == ["Ar", "Kr"] and np.allclose(s.velocities, v) and s.masses.tolist() == [1.0, 2.0] * 6
    ase.io.write(tmp_path / "s.data", atoms, format="lammps-data", masses=True, velocities=True, units="metal")
    s = read_start(tmp_path / "s.data")
    assert s.species == ["1", "2"] and np.allclose(s.positions, x) and np.allclose(s.box, box)
    assert np.allclose(s.velocities, v * ase.units.fs * 1000)
    for bad, message in [(tmp_path / "none.gsd", "no such file"), (tmp_path / "s.pdb", "format")]:
        with pytest.raises(ValueError, match=message):
            read_start(bad)


def test_system_description_toml_and_json(tmp_path):
    (tmp_path / "ka.toml").write_text(
        '[species]\nA = { fraction = 0.8 }\nB = { fraction = 0.2, mass = 2.0 }\n'
        + "".join(f'[[pair]]\nbetween = ["{a}", "{b}"]\n' + "".join(f"{k} = {v}\n" for k, v in p.items())
                  for (a, b), p in KOB_ANDERSEN.items())
        + '[start]\nlattice = "fcc"\ncells = 3\ndensity = 1.2\nseed = 5\n')
    system = read_system(tmp_path / "ka.toml")
    args = system.arguments()
    assert args["species"] == ["A", "B"] and args["masses"] == {"B": 2.0} and args["pairs"] == KOB_ANDERSEN
    assert np.bincount(args["types"]).tolist() == [86, 22] and args["positions"].shape == (108, 3)
    assert np.bincount(system.with_fractions({"B": 0.5}).arguments()["types"]).tolist() == [54, 54]
    (tmp_path / "bad.json").write_text(json.dumps({"species": {"A": {}}, "start": {"lattice": "fcc", "random": 9}}))
    with pytest.raises(ValueError, match="give one of lattice, random or file"):
        read_system(tmp_path / "bad.json")
