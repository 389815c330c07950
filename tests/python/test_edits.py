"""Live edits of a Simulation, FIRE minimisation, restarts that keep the clock,
and observations recorded by a run."""

import numpy as np
import pytest

import vorlan
from vorlan import Simulation

from conftest import DEFAULT_PARAMS
from test_simulation import assert_same, snapshot


@pytest.fixture
def params():
    return dict(DEFAULT_PARAMS, rcut="2.0", shell="0.3")


def _overlap(x):
    x = x.copy()
    x[1] = x[0] + [0.2, 0.0, 0.0]
    return x


@pytest.mark.parametrize("edit, message", [
    (lambda s: s.set_positions(s.positions[:-1]), "shape"),
    (lambda s: s.set_positions(np.where(np.arange(64)[:, None] == 3, np.nan, s.positions)), "particle 3"),
    (lambda s: s.set_positions(s.positions + 1e9), "box lengths"),
    (lambda s: s.set_positions(_overlap(s.positions)), "closer than the limit 0.5"),
    (lambda s: s.set_velocities(np.full((64, 3), np.inf)), "finite"),
    (lambda s: s.set_velocities(np.full((64, 3), 1e200)), "kinetic energy"),
    (lambda s: s.set_box((3.9, 5.0, 5.0)), "half the box edge"),
    (lambda s: s.set_box((-5.0, 5.0, 5.0)), "finite positive"),
    (lambda s: s.scale_box(0.5), "half the box edge"),
    (lambda s: s.scale_box(0.85, affine=False), "closer than the limit"),
], ids=["count", "nan", "far", "overlap", "inf-velocity", "ekin-overflow", "box-below-2rcut", "negative-box",
        "shrunk-strain", "shrunk-not-affine"])
def test_refused_edits_change_nothing(params, edit, message):
    sim = Simulation(params, seed=2, method=vorlan.Bussi(0.1), barostat=vorlan.CRescale(1.0, 2.0)).run(3)
    sim._engine.set_pair_terms(True)  # the refused state's per-particle terms must not be left behind
    before = snapshot(sim)
    box, epot, energies = sim.box, sim.epot, sim.particle_energies
    with pytest.raises(ValueError, match=message):
        edit(sim)
    assert_same(before, snapshot(sim))
    assert np.array_equal(sim.box, box) and sim.epot == epot
    assert np.array_equal(sim.particle_energies, energies)


def test_an_edited_state_is_a_start_and_its_checkpoint_continues_bit_for_bit(params, tmp_path):
    sim = Simulation(params, seed=5, threads=1, method=vorlan.NoseHoover(0.2),
                     barostat=vorlan.CRescale(1.0, 2.0)).run(6)
    x = sim.positions + 0.05 * np.random.default_rng(1).normal(size=(64, 3))
    x[0] += [5.0, 0.0, 0.0]  # out across a side: the crossing is counted
    images = sim.images
    sim.positions = x
    assert np.array_equal(sim.images[0], images[0] + [1, 0, 0])
    forces = sim.forces
    sim.velocities = 1.1 * sim.velocities
    assert np.array_equal(sim.forces, forces)  # the configuration stays, bit for bit
    sim.scale_box([1.01, 1.0, 0.99])
    # forces and energy are those of a fresh start at the edited state
    fresh = Simulation(params, positions=sim.positions, velocities=sim.velocities, box=sim.box, zero_momentum=False)
    np.testing.assert_array_equal(sim.forces, fresh.forces)
    assert sim.epot == fresh.epot
    sim.save(tmp_path / "edited.npz")
    back = Simulation.load(tmp_path / "edited.npz", threads=1)
    assert_same(snapshot(sim.run(20)), snapshot(back.run(20)))
    assert sim.conserved == back.conserved


def test_supplied_drift_is_removed_with_a_warning_or_kept_and_left_out_of_the_temperature(params):
    v = np.random.default_rng(3).normal(size=(64, 3)) + [0.5, 0.0, 0.0]
    with pytest.warns(UserWarning, match="net momentum"):
        sim = Simulation(params, velocities=v)
    np.testing.assert_allclose(sim.velocities, v - v.mean(axis=0), atol=1e-14)
    kept = Simulation(params, velocities=v, zero_momentum=False)
    np.testing.assert_array_equal(kept.velocities, v)
    assert kept.temperature == pytest.approx(sim.temperature, rel=1e-12)
    kept.zero_momentum()
    np.testing.assert_allclose(kept.masses @ kept.velocities, 0.0, atol=1e-12)


def _glass(n=160, seed=4):
    box = (n / 1.2) ** (1 / 3)
    species, types = vorlan.composition(n, {"A": 0.8, "B": 0.2}, seed=seed)
    x = vorlan.random_positions(n, [box] * 3, 0.7, seed=seed)
    return dict(params=dict(DEFAULT_PARAMS, nr_particles=str(n)), species=species, types=types,
                pairs=vorlan.mixture.KOB_ANDERSEN, positions=x, box=[box] * 3)


def test_fire_reaches_fmax_on_a_glass_the_same_at_any_thread_count():
    results, positions = [], []
    for threads in (1, 2):
        sim = Simulation(**_glass(), seed=1, threads=threads)
        velocities, step = sim.velocities, sim.step
        results.append(sim.minimize(fmax=1e-8))
        positions.append(sim.positions)
        assert sim.step == step and np.array_equal(sim.velocities, velocities)
        assert np.abs(sim.forces).max() <= 1e-8
    assert results[0].converged and results[0].fmax <= 1e-8 and results[0].reason == "converged"
    assert results[0].steps == results[1].steps
    np.testing.assert_array_equal(positions[0], positions[1])
    assert results[0].energy == pytest.approx(results[1].energy, rel=1e-13)
    # a minimum stays put; a budget too small is reported, not raised
    again = Simulation(**_glass(), seed=1)
    short = again.minimize(fmax=1e-8, max_steps=5)
    assert (short.converged, short.steps, short.reason) == (False, 5, "max_steps") and short.fmax > 1e-8
    assert again.minimize(fmax=1e-8).converged


@pytest.mark.parametrize("settings, message", [
    (dict(fmax=-1.0), "fmax"), (dict(dt_start=1.0), "dt_start"), (dict(max_steps=1.5), "max_steps"),
    (dict(alpha=0.1), "not a setting"), (dict(max_move=float("nan")), "max_move"),
])
def test_fire_settings_out_of_range(params, settings, message):
    with pytest.raises(ValueError, match=message):
        Simulation(params).minimize(**settings)


def test_a_restart_from_a_frame_keeps_the_clock(params, tmp_path):
    pytest.importorskip("gsd")
    traj = tmp_path / "run.gsd"
    sim = Simulation(params, seed=3, method=vorlan.Bussi(0.1))
    sim.set("stepsize", 0.004)
    sim.run(30, trajectory=traj, trajectory_every=10)
    params["stepsize"] = "0.001"
    back = Simulation.from_file(traj, params, seed=3, method=vorlan.Bussi(0.1), threads=1)
    assert back.step == 30 and back.time == pytest.approx(sim.time) and back.parameters["stepsize"] == "0.004"
    assert back.ekin == pytest.approx(sim.ekin, rel=1e-12) and back.etot == pytest.approx(sim.etot, rel=1e-9)
    assert back.method == sim.method
    np.testing.assert_array_equal(back.positions, sim.positions)
    back.run(20, trajectory=traj, trajectory_every=10, append=True)
    assert back.log["step"].tolist() == list(range(31, 51))
    assert vorlan.io.gsd.read_gsd(traj).steps.tolist() == [0, 10, 20, 30, 40, 50]
    assert Simulation.from_file(traj, params, step=0).step == 0


def test_observe_records_properties_at_their_own_intervals(params):
    sim = Simulation(params, seed=1)
    seen = []
    sim.run(12, observe={"pressure": 3, "velocities": 4}, every=6, callback=lambda s: seen.append(
        len(s.observations["pressure"][0])))
    obs = sim.observations.arrays()
    assert obs["pressure"][0].tolist() == [3, 6, 9, 12] and obs["velocities"][1].shape == (3, 64, 3)
    assert obs["pressure"][1][-1] == sim.pressure and seen == [2, 4]
    with pytest.raises(ValueError, match="not a quantity"):
        sim.run(1, observe={"run": 1})


def test_command_line_minimize_and_analyze(params, tmp_path, capsys):
    pytest.importorskip("gsd")
    from test_cli import need_matplotlib, params_text, vorlan as command

    need_matplotlib()
    par = tmp_path / "liquid.par"
    par.write_text(params_text({"rcut": "2.0", "nrsteps": "200"}))
    assert command(capsys, "run", par, "--method", "nve", "--trajectory", tmp_path / "run.gsd", "--every", "2",
                   "-q")[0] == 0
    rc, out, _ = command(capsys, "minimize", tmp_path / "run.gsd", "--params", par, "-o", tmp_path / "min.gsd")
    assert rc == 0 and "converged            yes" in out
    minimum = Simulation.from_file(tmp_path / "min.gsd", str(par))
    assert np.abs(minimum.forces).max() <= 1e-8
    rc, out, _ = command(capsys, "minimize", tmp_path / "run.gsd", "--params", par, "--max-steps", "2")
    assert rc == 1 and "no (max_steps)" in out
    rc, out, _ = command(capsys, "analyze", tmp_path / "run.gsd", "--blocks", "2", "--profile", "z", "--msd",
                         "--vacf", "--sk", "--plot", tmp_path / "a.png")
    assert rc == 0 and "D from the MSD" in out and "D from the VACF" in out and (tmp_path / "a.png").stat().st_size


def test_the_monte_carlo_example_keeps_the_engine_energy_of_its_configuration():
    import importlib.util
    import pathlib

    path = pathlib.Path(__file__).resolve().parents[2] / "examples" / "monte_carlo.py"
    found = importlib.util.spec_from_file_location("monte_carlo", path)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    params = dict(example.settings(64, 0.8, 1.0), rcut="2.0")
    sim = Simulation(params, seed=1, threads=1)
    u, acceptance = example.monte_carlo(sim, 3, 1.0, 0.12, seed=2)
    assert len(u) == 3 and 0.2 < acceptance < 0.8
    fresh = Simulation(params, positions=sim.positions)
    assert sim.epot == pytest.approx(fresh.epot, rel=1e-12) and u[-1] * 64 == pytest.approx(sim.epot, rel=1e-12)
