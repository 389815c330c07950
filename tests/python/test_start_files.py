"""Start files and system descriptions: what is read is what was written, and
every fault is a ValueError naming the file and the line or entry."""

import os
import re

import numpy as np
import pytest

import vorlan
from vorlan import Simulation
from vorlan.cli import main
from vorlan.io.start import read_start
from vorlan.io.system import read_system
from vorlan.io.trajectory import convert
from vorlan.units import Species, Units

P = dict(nr_particles=108, cell_length=5.0, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.0, shell=0.3, tau=0.5,
         stepsize=0.005, nrsteps=5)

DATA_HEAD = "start\n\n{n} atoms\n{t} atom types\n0 5 xlo xhi\n0 5 ylo yhi\n0 5 zlo zhi\n\n"


def data_file(path, atoms, masses="Masses\n\n1 1.0\n2 0.5\n", n=None, types=2, velocities=""):
    path.write_text(DATA_HEAD.format(n=len(atoms) if n is None else n, t=types) + masses
                    + "\nAtoms # atomic\n\n" + "".join(a + "\n" for a in atoms) + velocities)
    return path


def gsd_file(path, n_declared, rows):
    import gsd.fl

    with gsd.fl.open(str(path), "w", application="test", schema="hoomd", schema_version=[1, 4]) as f:
        f.write_chunk("configuration/box", np.array([5, 5, 5, 0, 0, 0], np.float32))
        f.write_chunk("particles/N", np.array([n_declared], np.uint32))
        f.write_chunk("particles/position", np.zeros((rows, 3), np.float32))
        f.end_frame()
    return path


GOOD_ATOMS = ["1 1 1.0 1.0 1.0", "2 2 3.0 3.0 3.0"]


@pytest.mark.parametrize("name, write, match", [
    ("huge.xyz", lambda p: p.write_text("1000000000000\nLattice=\"5 0 0 0 5 0 0 0 5\"\n" + "A 0 0 0\n" * 200),
     r"huge.xyz, frame 0 \(line 1\): 1000000000000 particles announced, 200 lines follow"),
    ("word.xyz", lambda p: p.write_text("2\nLattice=\"5 0 0 0 5 0 0 0 5\"\nA 0 0 0\nA 1 x 1\n"),
     r"word.xyz, frame 0 .*line 4 has pos '1 x 1'"),
    ("type.data", lambda p: data_file(p, ["1 3 1 1 1", "2 1 2 2 2"]), r"type.data, line 16: atom type 3 .*1 to 2"),
    ("zero.data", lambda p: data_file(p, ["1 0 1 1 1", "2 1 2 2 2"]), r"zero.data, line 16: atom type 0"),
    ("nomass.data", lambda p: data_file(p, GOOD_ATOMS, masses="Masses\n\n1 1.0\n"), r"no mass for type\(s\) \[2\]"),
    ("empty.data", lambda p: p.write_text(""), r"empty.data: the file is empty"),
    ("fewer.data", lambda p: data_file(p, GOOD_ATOMS, n=1), r"declares 1 atoms, the Atoms section has 2 lines"),
    ("tilt.data", lambda p: p.write_text(DATA_HEAD.format(n=0, t=1) + "1 0 0 xy xz yz\n"), r"line 9: the box is tilted"),
    ("vel.data", lambda p: data_file(p, GOOD_ATOMS, velocities="\nVelocities\n\n1 0 0 0\n3 0 0 0\n"),
     r"Velocities names atom id 3"),
    ("huge.gsd", lambda p: gsd_file(p, 2**31, 2), r"huge.gsd: frame 0: the chunk particles/position holds 6 values, "
                                                  r"but particles/N = 2147483648"),
    ("short.gsd", lambda p: gsd_file(p, 3, 2), r"particles/N = 3 needs 9"),
])
def test_a_faulty_start_file_is_refused_naming_file_and_line(tmp_path, name, write, match):
    write(tmp_path / name)
    with pytest.raises(ValueError, match=match):
        read_start(tmp_path / name)


@pytest.mark.parametrize("style, rows", [
    ("atomic", ["1 2 0.5 1.5 2.5", "2 1 3.0 3.5 4.0"]),
    ("charge", ["2 1 -0.5 3.0 3.5 4.0 0 0 0", "1 2 0.5 0.5 1.5 2.5 1 0 -1"]),
    ("molecular", ["1 7 2 0.5 1.5 2.5", "2 7 1 3.0 3.5 4.0"]),
    ("full", ["1 7 2 0.1 0.5 1.5 2.5 0 0 0", "2 7 1 0.2 3.0 3.5 4.0 0 0 0"]),
    ("", ["1 7 2 0.1 0.5 1.5 2.5", "2 7 1 0.2 3.0 3.5 4.0"]),  # seven columns: full
])
def test_lammps_atom_styles_give_one_start_ordered_by_id(tmp_path, style, rows):
    path = data_file(tmp_path / "s.data", rows)
    path.write_text(path.read_text().replace("Atoms # atomic", f"Atoms # {style}" if style else "Atoms"))
    s = read_start(path)
    assert s.positions.tolist() == [[0.5, 1.5, 2.5], [3.0, 3.5, 4.0]]
    assert s.species == ["1", "2"] and s.types.tolist() == [1, 0] and s.masses.tolist() == [0.5, 1.0]


def test_own_mixture_xyz_starts_again_with_species_matched_by_name(tmp_path):
    x, box = vorlan.lattice("fcc", 3, 0.8)
    species, types = vorlan.composition(len(x), {"A": 0.5, "B": 0.5}, seed=1)
    sim = Simulation(P, positions=x, box=box, species=species, types=types).run(2, trajectory=tmp_path / "m.gsd")
    convert(tmp_path / "m.gsd", tmp_path / "m.xyz")
    back = Simulation.from_file(tmp_path / "m.xyz", P)
    assert back.epot == sim.epot and np.array_equal(back.positions, sim.positions)
    swapped = Simulation.from_file(tmp_path / "m.xyz", P, species=["B", "A", "C"],
                                   pairs={(s, s): dict(epsilon=1.0, sigma=1.0) for s in "ABC"})
    assert swapped.species == ["B", "A", "C"] and swapped.epot == sim.epot
    renamed = Simulation.from_file(tmp_path / "m.xyz", P, species={"A": "Ar"}, masses={"Ar": 2.0},
                                   zero_momentum=False)
    assert sorted(renamed.species) == ["Ar", "B"] and renamed.masses[types == 0].tolist() == [2.0] * 54
    for species, match in [(["X", "Y"], r"species \[.*\] are not among species = \['X', 'Y'\].*mapping"),
                           ({"Kr": "A"}, r"maps \['Kr'\], which the file does not hold"),
                           ({"A": "B"}, r"the one name 'B'")]:
        with pytest.raises(ValueError, match=match):
            Simulation.from_file(tmp_path / "m.xyz", P, species=species)


def test_lammps_numbers_as_written_and_masses_keyed_by_type_number(tmp_path):
    x, box = vorlan.lattice("fcc", 3, 0.8)
    v = np.random.default_rng(2).normal(size=x.shape)
    atoms = [f"{i + 1} 1 {float(a)!r} {float(b)!r} {float(c)!r}" for i, (a, b, c) in enumerate(x)]
    velocities = "\nVelocities\n\n" + "".join(f"{i + 1} {float(a)!r} {float(b)!r} {float(c)!r}\n" for i, (a, b, c) in enumerate(v))
    path = data_file(tmp_path / "one.data", atoms, masses="Masses\n\n1 1.0\n", types=1, velocities=velocities)
    path.write_text(path.read_text().replace("0 5 xlo", f"0 {float(box[0])!r} xlo").replace("0 5 ylo", f"0 {float(box[1])!r} ylo")
                    .replace("0 5 zlo", f"0 {float(box[2])!r} zlo"))
    sim = Simulation.from_file(path, P, zero_momentum=False).run(3)
    assert sim.species == ["A"]  # the one-species path
    assert sim.epot == Simulation(P, positions=x, velocities=v, box=box, zero_momentum=False).run(3).epot
    two = data_file(tmp_path / "two.data", GOOD_ATOMS)
    assert Simulation.from_file(two, dict(P, rcut=1.0), masses={2: 5.0}, zero_momentum=False).masses.tolist() == [1.0, 5.0]
    for masses, match in [("12", "masses = '12' is not allowed"), ({3: 1.0}, "names the species 3"),
                          ({1: 1.0, "1": 2.0}, "species '1' twice"), ({True: 1.0}, "key True")]:
        with pytest.raises(ValueError, match=match):
            Simulation.from_file(two, dict(P, rcut=1.0), masses=masses)


@pytest.mark.parametrize("text, match", [
    ('[start]\nrandom = 10\ndensity = 0\n', r"density = 0 is not allowed"),
    ('[start]\nrandom = 10\ndensity = -1\n', r"density = -1 is not allowed: give a positive number"),
    ('[start]\nfile = "s.gsd"\nframe = 0.7\n', r"frame = 0.7 is not allowed: give a whole number"),
    ('[start]\nrandom = true\n', r"random = True is not allowed"),
    ('[start]\nlattice = "fcc"\ncells = 2.5\n', r"cells = 2.5 is not allowed"),
    ('[species]\nA = { mass = true }\n', r"mass of species 'A' = True"),
    ('[species]\nA = {}\nB = {}\n' + '[[pair]]\nbetween = ["A", "B"]\nepsilon = 1\nsigma = 1\n'
     '[[pair]]\nbetween = ["B", "A"]\nepsilon = 2\nsigma = 1\n', r"the pair \(B, A\) is given by two \[\[pair\]\]"),
    ('[start]\nfile = "none.gsd"\n', r"sys.toml: .*none.gsd: no such file"),
])
def test_a_faulty_system_description_names_key_and_value(tmp_path, text, match):
    (tmp_path / "sys.toml").write_text(text)
    with pytest.raises(ValueError, match=match):
        read_system(tmp_path / "sys.toml").arguments(8)


@pytest.mark.parametrize("make, match", [
    (lambda p: os.mkfifo(p), "is a pipe"),
    (lambda p: os.symlink("/dev/zero", p), "is a character device"),
    (lambda p: p.write_bytes(b"#" * ((1 << 20) + 1)), "longer than 1048576 bytes"),
])
def test_a_system_description_is_a_regular_file_of_bounded_size(tmp_path, make, match):
    make(tmp_path / "sys.toml")
    with pytest.raises(ValueError, match=match):
        read_system(tmp_path / "sys.toml")


@pytest.mark.parametrize("species, match", [
    (Species("X", 1e-200, 1.0, 1.0), "beyond the range of a double"),
    (Species("X", 1e200, 1e200, 1.0), "beyond the range of a double"),
    (Species("X", True, 1.0, 1.0), "sigma = True"),
    (Species("X", 3.4, "120", 1.0), "epsilon = '120'"),
])
def test_units_refuse_what_a_double_cannot_hold_and_take_numpy_numbers(species, match):
    with pytest.raises(ValueError, match=match):
        Units(species)
    assert Units(Species("X", np.float32(3.4), np.int64(120), 39.948)).scale("length") == float(np.float32(3.4))


@pytest.mark.parametrize("system, match", [
    ('[start]\nrandom = 10\ndensity = 0\n', "density = 0 is not allowed"),
    ('[start]\nfile = "few.data"\n', r"few.data: the header declares 1 atoms, the Atoms section has 2 lines"),
    ('[start]\nfile = "empty.data"\n', "empty.data: the file is empty"),
])
def test_command_line_reports_a_faulty_start_in_one_line(tmp_path, capsys, system, match):
    data_file(tmp_path / "few.data", GOOD_ATOMS, n=1)
    (tmp_path / "empty.data").write_text("")
    (tmp_path / "lj.par").write_text("".join(f"{k} = {v}\n" for k, v in P.items()))
    (tmp_path / "sys.toml").write_text(system)
    assert main(["run", str(tmp_path / "lj.par"), "--system", str(tmp_path / "sys.toml"), "-q"]) == 1
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and "Traceback" not in err
    assert err.startswith(f"vorlan run: error: {tmp_path / 'sys.toml'}:")
    assert re.search(match, err)
