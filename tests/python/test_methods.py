"""Integration methods through Simulation: reproducible at any thread count and
across checkpoints, switchable between runs, bad input refused."""

import numpy as np
import pytest

import vorlan

LIQUID = dict(nr_particles=256, cell_length=6.8399, kT=1.0, mass=1, sigma=1, epsilon=1, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.005)

STOCHASTIC = [
    (vorlan.Langevin(friction=1.0), None),
    (vorlan.Bussi(tau=0.2), None),
    (vorlan.NoseHoover(tau=0.2), None),
    (vorlan.Bussi(tau=0.2), vorlan.CRescale(pressure=1.69, tau=1.0, compressibility=0.1)),
    (vorlan.NoseHoover(tau=0.2), vorlan.CRescale(pressure=1.69, tau=1.0, compressibility=0.1, couple="none")),
]


def sim(method, barostat, threads, seed=7):
    return vorlan.Simulation(LIQUID, method=method, barostat=barostat, seed=seed, threads=threads)


@pytest.mark.parametrize("method,barostat", STOCHASTIC)
def test_positions_are_the_same_at_one_and_two_threads(method, barostat):
    a = sim(method, barostat, 1).run(200)
    b = sim(method, barostat, 2).run(200)
    assert np.array_equal(a.positions, b.positions)


@pytest.mark.parametrize("method,barostat", STOCHASTIC)
def test_a_checkpoint_continues_as_the_unbroken_run(tmp_path, method, barostat):
    whole = sim(method, barostat, 1).run(120)
    part = sim(method, barostat, 1).run(50)
    part.save(tmp_path / "c.npz")
    part = vorlan.Simulation.load(tmp_path / "c.npz", threads=1).run(70)
    assert (part.method, part.barostat) == (whole.method, whole.barostat)
    assert np.array_equal(part.positions, whole.positions)
    assert np.array_equal(part.box, whole.box)
    np.testing.assert_array_equal(part.log["conserved"], whole.log["conserved"])


def test_seeds_give_different_noise_and_the_log_follows_the_ensemble():
    a = sim(vorlan.Langevin(1.0), None, 1, seed=1).run(20)
    b = sim(vorlan.Langevin(1.0), None, 1, seed=2).run(20)
    assert not np.array_equal(a.positions, b.positions)
    assert "pressure" not in a.log and np.all(a.log["volume"] == a.volume)
    fresh = sim(vorlan.Bussi(0.2), vorlan.CRescale(pressure=1.69, tau=1.0), 1).run(10)
    assert len(fresh.log["pressure"]) == 10 and fresh.log["volume"][-1] == pytest.approx(fresh.volume)
    assert fresh.barostat.compressibility == pytest.approx(6.8399**3 / 256)  # V / (N kT) at the start


def test_nve_after_equilibration_conserves_the_energy():
    s = sim(vorlan.Bussi(0.2), None, 1).run(200)
    s.method = vorlan.NVE()
    s.run(200)
    etot = s.log["etot"][-200:]
    assert np.ptp(etot) / 256 < 2e-3
    assert s.conserved == s.etot


@pytest.mark.parametrize(
    "make,message",
    [
        (lambda: vorlan.Langevin(friction=0), "friction = 0"),
        (lambda: vorlan.Bussi(tau=-1), "tau = -1"),
        (lambda: vorlan.NoseHoover(tau=1, chain=0), "chain = 0"),
        (lambda: vorlan.CRescale(pressure=1, tau=1, compressibility=0), "compressibility = 0"),
        (lambda: vorlan.CRescale(pressure=1, tau=1, couple="xz"), "couple = 'xz'"),
        (lambda: vorlan.Simulation(LIQUID, method=vorlan.Bussi(0.5)), "seed = None"),
        (lambda: vorlan.Simulation(LIQUID, barostat=vorlan.CRescale(1, 1), seed=1, method=vorlan.NVE()),
         "needs a thermostat"),
    ],
)
def test_bad_input_names_the_argument(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_a_chain_far_too_stiff_stops_the_run_instead_of_losing_the_conserved_quantity():
    # kT = 1e-150: the chain's masses are tiny against the lattice's kinetic energy, and its
    # momenta leave the range of a double within two steps.
    params = dict(LIQUID, nr_particles=64, cell_length=4.2, rcut=2.0, kT=1e-150)
    s = vorlan.Simulation(params, method=vorlan.NoseHoover(tau=0.5), seed=1, threads=1)
    with pytest.raises(ArithmeticError, match="Nose-Hoover chain diverged at step"):
        s.run(5)
