"""Pair potentials (vorlan.pair): every family and mode against a NumPy double
loop, the mixing rules and their errors, and a checkpoint that continues."""

import math
import re

import numpy as np
import pytest

import vorlan
from vorlan import pair

N = 200
BOX = np.array([6.2, 6.5, 6.8])
PARAMS = dict(nr_particles=N, cell_length=6.2, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.005)


def soft_table(r0=0.01, rc=2.4, n=400):
    r = np.linspace(r0, rc, n)
    return pair.Table(r, 2.0 * (rc - r) ** 2 - 0.3 * (rc - r), 4.0 * (rc - r) - 0.3)


def textbook(p, r):
    """u(r) and du/dr of a potential object, without cut-off."""
    v = p.parameters
    if p.family in ("lj", "wca", "mie"):
        n, m = (v["n"], v["m"]) if p.family == "mie" else (12.0, 6.0)
        c = n / (n - m) * (n / m) ** (m / (n - m))
        s = v["sigma"] / r
        return c * v["epsilon"] * (s**n - s**m), c * v["epsilon"] * (-n * s**n + m * s**m) / r
    if p.family == "yukawa":
        e = v["epsilon"] * np.exp(-v["kappa"] * r)
        return e / r, -e * (v["kappa"] * r + 1.0) / r**2
    if p.family == "morse":
        x = np.exp(-v["alpha"] * (r - v["r0"]))
        return v["D0"] * (x * x - 2 * x), v["D0"] * 2 * v["alpha"] * (x - x * x)
    return np.interp(r, p.r, p.energy), -np.interp(r, p.r, p.force)


def with_mode(p, r):
    u, du = textbook(p, r)
    if p.mode == "none":
        return u, du
    uc, duc = textbook(p, np.array([p.rcut]))
    if p.mode == "shift":
        return u - uc, du
    return u - uc - (r - p.rcut) * duc, du - duc


def reference(x, box, types, matrix):
    """Forces, energy, virial tensor and per-particle energies by the textbook
    double loop over distinct pairs."""
    n = len(x)
    f = np.zeros_like(x)
    e_i = np.zeros(n)
    tensor = np.zeros(6)
    rows = [(0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2)]
    for i in range(n - 1):
        d = x[i] - x[i + 1:]
        d -= box * np.round(d / box)
        r = np.sqrt((d**2).sum(1))
        for b in range(len(matrix)):
            p = matrix[types[i]][b]
            near = (types[i + 1:] == b) & (r < p.rcut)
            if not near.any():
                continue
            u, du = with_mode(p, r[near])
            fij = (-du / r[near])[:, None] * d[near]
            f[i] += fij.sum(0)
            np.subtract.at(f, np.arange(i + 1, n)[near], fij)
            e_i[i] += 0.5 * u.sum()
            np.add.at(e_i, np.arange(i + 1, n)[near], 0.5 * u)
            tensor += [(d[near][:, a] * fij[:, c]).sum() for a, c in rows]
    return f, e_i, tensor


def mixed(a, b):
    """Lorentz-Berthelot, written out."""
    va, vb = a.parameters, b.parameters
    v = dict(va, epsilon=math.sqrt(va["epsilon"] * vb["epsilon"]), sigma=0.5 * (va["sigma"] + vb["sigma"]))
    if "rcut" in v:
        v["rcut"] = 0.5 * (va["rcut"] + vb["rcut"])
        return type(a)(**v, mode=a.mode)
    return type(a)(**v)


POTENTIALS = {
    "lj-shift": lambda k: pair.LJ(epsilon=1 + 0.5 * k, sigma=1 - 0.1 * k),
    "lj-none-tail": lambda k: pair.LJ(epsilon=1 + 0.5 * k, sigma=1 - 0.1 * k, rcut=2.8, mode="none",
                                      tail_correction=True),
    "lj-force_shift": lambda k: pair.LJ(epsilon=1 + 0.5 * k, r_cut=2.2 + 0.3 * k, mode="force_shift"),
    "wca": lambda k: pair.WCA(epsilon=1 + 0.5 * k, sigma=1 + 0.1 * k),
    "mie": lambda k: pair.Mie(epsilon=1 + 0.5 * k, n=14, m=7, mode="none"),
    "yukawa": lambda k: pair.Yukawa(epsilon=2 + k, kappa=1.5 - 0.5 * k, rcut=2.5, mode="force_shift"),
    "morse": lambda k: pair.Morse(D0=1 + 0.5 * k, alpha=2.5, r0=1.1 + 0.1 * k),
    "table": lambda k: soft_table(rc=2.4 + 0.05 * k),
}


@pytest.mark.parametrize("species", [1, 2])
@pytest.mark.parametrize("name", sorted(POTENTIALS))
def test_every_potential_against_a_numpy_double_loop(name, species):
    x = vorlan.random_positions(N, BOX, 0.85, seed=11)
    make = POTENTIALS[name]
    if species == 1:
        p = make(0)
        sim = vorlan.Simulation(PARAMS, pair=p, positions=x, box=BOX, seed=1)
        types, matrix = np.zeros(N, dtype=int), [[p]]
    else:
        like = [make(0), make(1)]
        explicit = pair.families()[like[0].family]["mixing"] == "explicit"
        cross = make(0.5) if explicit else mixed(*like)
        pairs = {("A", "A"): like[0], ("B", "B"): like[1]}
        if explicit:
            pairs[("A", "B")] = cross
        types = np.arange(N) % 2
        sim = vorlan.Simulation(PARAMS, species=["A", "B"], types=types, pairs=pairs, positions=x, box=BOX,
                                masses={"B": 2.0}, seed=1)
        matrix = [[like[0], cross], [cross, like[1]]]
    f, e_i, tensor = reference(sim.positions, BOX, types, matrix)
    tail = 0.0
    if matrix[0][0].tail_correction:  # the analytic tail: E = 2 pi / V sum N_a N_b int r^2 u dr
        counts = np.bincount(types)
        for a in range(len(matrix)):
            for b in range(len(matrix)):
                p = matrix[a][b].parameters
                s3, rc = p["sigma"] ** 3, p["rcut"]
                tail += counts[a] * counts[b] * 4 * p["epsilon"] * s3 * ((p["sigma"] / rc) ** 9 / 9
                                                                        - (p["sigma"] / rc) ** 3 / 3)
        tail *= 2 * math.pi / BOX.prod()
    assert np.allclose(sim.forces, f, rtol=1e-10, atol=1e-10 * np.abs(f).max())
    assert sim.epot == pytest.approx(e_i.sum() + tail, rel=1e-10)
    assert np.allclose(sim.particle_energies, e_i + tail / N, rtol=1e-10, atol=1e-10 * np.abs(e_i).max())
    v = sim.velocities
    m = sim.masses
    kinetic = np.array([(m * v[:, a] * v[:, c]).sum() for a, c in ((0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2))])
    virial = np.array(sim.pressure_tensor) * BOX.prod() - kinetic
    if not matrix[0][0].tail_correction:
        assert sim.virial == pytest.approx(tensor[:3].sum(), rel=1e-10)
        assert np.allclose(virial, tensor, rtol=1e-10, atol=1e-10 * np.abs(tensor).max())
    assert np.allclose(sim.particle_virials.sum(0), tensor, rtol=1e-10, atol=1e-10 * np.abs(tensor).max())


@pytest.mark.parametrize("make, message", [
    (lambda: pair.LJ(sigma=0), "LJ: sigma = 0"),
    (lambda: pair.LJ(rcut=2.5, r_cut=3.0), "rcut or r_cut"),
    (lambda: pair.Mie(n=6, m=7), "n = 6"),
    (lambda: pair.Yukawa(kappa=-1), "kappa = -1"),
    (lambda: pair.Morse(mode="cubic"), "mode 'cubic'"),
    (lambda: pair.Yukawa(tail_correction=True), "unexpected keyword"),
    (lambda: pair.LJ(tail_correction=True), "tail_correction"),
    (lambda: pair.Table([1.0, 1.1, 1.3], [1.0, 0.5, 0.0], [5.0, 5.0, 5.0]), "evenly spaced"),
    (lambda: pair.Table([1.0, 2.0, 3.0], [1.0, 0.5, 0.0], [0.0, 0.0, 0.0]), "fine enough"),
    (lambda: pair.Table([1.0, 2.0], [1.0, np.nan], [0.0, 0.0]), "finite"),
    (lambda: vorlan.Simulation(PARAMS, pair=pair.LJ(rcut=3.5)), "half the shortest"),
    (lambda: vorlan.Simulation(PARAMS, species=["A", "B"], types=np.arange(N) % 2,
                               pairs={("A", "A"): pair.Morse(), ("B", "B"): pair.Morse()}),
     "pair (A, B) is not given and Morse has no mixing rule"),
    (lambda: vorlan.Simulation(PARAMS, species=["A", "B"], types=np.arange(N) % 2,
                               pairs={("A", "A"): pair.Mie(n=14, m=7), ("B", "B"): pair.Mie(n=12, m=6)}),
     "Mie exponents"),
    (lambda: vorlan.Simulation(PARAMS, species=["A", "B"], types=np.arange(N) % 2,
                               pairs={("A", "A"): pair.LJ(), ("B", "B"): pair.WCA()}), "one potential family"),
    (lambda: vorlan.Simulation(PARAMS, species=["A", "B"], types=np.arange(N) % 2,
                               pairs={("A", "A"): pair.LJ(), ("B", "B"): pair.LJ(mode="none")}), "one mode"),
    (lambda: vorlan.Simulation(PARAMS, species=["A", "B"], types=np.arange(N) % 2,
                               pairs={("B", "B"): pair.LJ()}), "species 'A' has no pair potential"),
])
def test_bad_potentials_are_refused_by_name(make, message):
    with pytest.raises((ValueError, TypeError), match=re.escape(message)):
        make()


def test_lorentz_berthelot_completes_the_cross_pair():
    a, b = pair.Mie(epsilon=1.0, sigma=1.0, n=14, m=7, rcut=2.0), pair.Mie(epsilon=4.0, sigma=2.0, n=14, m=7, rcut=3.0)
    assert pair.mixed(a, b, ("A", "B")) == pair.Mie(epsilon=2.0, sigma=1.5, n=14, m=7, rcut=2.5)
    assert repr(pair.WCA(sigma=2)) == "WCA(epsilon=1.0, sigma=2.0)" and pair.WCA().rcut == 2 ** (1 / 6)


def test_checkpoint_of_a_tabulated_mixture_continues_bit_for_bit(tmp_path):
    x = vorlan.random_positions(N, BOX, 0.85, seed=5)
    pairs = {("A", "A"): soft_table(), ("A", "B"): soft_table(rc=2.3), ("B", "B"): soft_table(rc=2.2)}
    sim = vorlan.Simulation(PARAMS, species=["A", "B"], types=np.arange(N) % 2, pairs=pairs, positions=x,
                            box=BOX, seed=2, method=vorlan.Langevin(1.0))
    sim.run(20)
    sim.save(tmp_path / "c.npz")
    sim.run(30, observe={"pressure_tensor": 10})
    back = vorlan.Simulation.load(tmp_path / "c.npz")
    back.run(30)
    assert np.array_equal(back.positions, sim.positions) and back.epot == sim.epot
    tensor = sim.log["pressure_tensor"]
    assert tensor.shape == (50, 6) and np.isnan(tensor).sum() == 6 * 47
    assert np.allclose(tensor[-1], sim.pressure_tensor, rtol=1e-12)


@pytest.mark.parametrize("text, expect", [
    ('[pair]\npotential = "mie"\nn = 14\nm = 7\nrcut = 2.5\n', {("A", "A"): pair.Mie(n=14, m=7)}),
    ('[species]\nA = {}\nB = {}\n[[pair]]\nbetween = ["A", "A"]\npotential = "yukawa"\nkappa = 2\n'
     '[[pair]]\nbetween = ["A", "B"]\npotential = "yukawa"\nkappa = 1\n'
     '[[pair]]\nbetween = ["B", "B"]\npotential = "yukawa"\nkappa = 3\nmode = "none"\n',
     "one mode"),
    ('[pair]\npotential = "morse"\nsigma = 1\n', "unexpected keyword argument 'sigma'"),
])
def test_system_description_names_the_potential(tmp_path, text, expect):
    from vorlan.io.system import read_system

    path = tmp_path / "system.toml"
    path.write_text(text)
    if isinstance(expect, str):
        with pytest.raises(ValueError, match=re.escape(expect)):
            args = read_system(path).arguments(N)
            vorlan.Simulation(PARAMS, **args)
        return
    args = read_system(path).arguments(N)
    assert args["pairs"] == expect
    sim = vorlan.Simulation(PARAMS, **args)
    assert sim.parameters["rcut"] == "2.5" and np.isfinite(sim.epot)


def test_the_settings_lennard_jones_given_as_an_object_keeps_its_bits():
    runs = [vorlan.Simulation(PARAMS, seed=4, **kw).run(30) for kw in ({}, {"pair": pair.LJ()})]
    assert np.array_equal(runs[0].positions, runs[1].positions) and runs[0].epot == runs[1].epot


def test_pair_terms_given_on_the_observed_steps_alone_are_those_of_every_step():
    # the force loop gives the terms on the observed steps (and the last) only:
    # the same bits as with the terms on at every step, the trajectory untouched
    x = vorlan.random_positions(N, BOX, 0.85, seed=7)
    runs = [vorlan.Simulation(PARAMS, positions=x, box=BOX, seed=2, method=vorlan.Langevin(1.0)) for _ in range(2)]
    runs[1]._engine.set_pair_terms(True)
    for sim in runs:
        sim.run(23, observe={"pressure_tensor": 5, "particle_energies": 5})
    for name in ("pressure_tensor", "particle_energies"):
        (steps, got), (_, want) = runs[0].observations[name], runs[1].observations[name]
        assert list(steps) == [5, 10, 15, 20] and np.array_equal(np.asarray(got), np.asarray(want)), name
    assert np.array_equal(runs[0].positions, runs[1].positions)
    assert runs[0].pressure_tensor == runs[1].pressure_tensor  # the last step's, given on the way
