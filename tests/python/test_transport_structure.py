"""Transport and structure analysis against cases with exact answers: ballistic
motion, a direct sum over wave vectors, a synthetic exponential stress
correlation, and inherent structures that leave the live run alone."""

import numpy as np
import pytest

import vorlan
from vorlan import Simulation
from vorlan.analysis import density_profile, diffusion, green_kubo, inherent_structures, msd, structure_factor, vacf
from vorlan.io.frames import Trajectory

from conftest import DEFAULT_PARAMS


def _trajectory(positions, box, velocities=None, dt=0.1, types=None, species=None):
    k, n = positions.shape[:2]
    box = np.broadcast_to(np.asarray(box, dtype=np.float64), (k, 3)).copy()
    wrapped = positions % box[:, None, :]
    images = np.floor_divide(positions, box[:, None, :]).astype(np.int32)
    v = np.zeros_like(positions) if velocities is None else velocities
    return Trajectory(np.arange(k, dtype=np.int64), box, wrapped, v, images, None, dt, species, types)


@pytest.mark.parametrize("frames", [20, 100], ids=["direct", "fft"])
def test_ballistic_motion_gives_msd_v2t2_and_a_constant_vacf(frames):
    rng = np.random.default_rng(0)
    x0, v = rng.uniform(0, 4, (30, 3)), rng.normal(size=(30, 3))
    t = 0.1 * np.arange(frames)
    traj = _trajectory(x0 + t[:, None, None] * v, 4.0, np.broadcast_to(v, (frames, 30, 3)))
    m = msd(traj)
    np.testing.assert_allclose(m.value, np.mean(np.sum(v * v, axis=1)) * m.time**2, rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(vacf(traj).value, np.mean(np.sum(v * v, axis=1)), rtol=1e-9)
    # the first-frame form kept for existing callers
    np.testing.assert_allclose(msd(traj.positions, traj.images, [4.0] * 3), np.mean(np.sum(v * v, 1)) * t**2,
                               rtol=1e-9, atol=1e-9)


def _direct_sk(x, types, box, kmax, a, b):
    n = np.stack(np.meshgrid(*[np.arange(-int(kmax * L / (2 * np.pi)) - 1, int(kmax * L / (2 * np.pi)) + 2)
                               for L in box], indexing="ij"), -1).reshape(-1, 3)
    k = 2 * np.pi * n / box
    k = k[(np.linalg.norm(k, axis=1) <= kmax) & (np.linalg.norm(k, axis=1) > 0)]
    rho_a = np.exp(-1j * x[types == a] @ k.T).sum(0)
    rho_b = np.exp(-1j * x[types == b] @ k.T).sum(0)
    s = np.real(rho_a * np.conj(rho_b)) / np.sqrt((types == a).sum() * (types == b).sum())
    mags = np.round(np.linalg.norm(k, axis=1), 9)
    return np.unique(mags), np.array([s[mags == m].mean() for m in np.unique(mags)])


def test_structure_factor_against_a_direct_sum_over_wave_vectors():
    rng = np.random.default_rng(1)
    box = np.array([5.0, 5.5, 6.0])
    x = rng.uniform(0, 1, (2, 40, 3)) * box
    types = (rng.uniform(size=40) < 0.3).astype(np.int32)
    one = structure_factor(_trajectory(x, box), 6.0, frames=[0])
    k, s = _direct_sk(x[0], np.zeros(40, dtype=np.int32), box, 6.0, 0, 0)
    np.testing.assert_allclose(one.k, k, rtol=1e-12)
    np.testing.assert_allclose(one.s, s, rtol=0, atol=1e-8)
    mixed = structure_factor(_trajectory(x, box, types=types, species=["A", "B"]), 6.0)
    for a, b in [(0, 0), (0, 1), (1, 1)]:
        expected = np.mean([_direct_sk(x[f], types, box, 6.0, a, b)[1] for f in range(2)], axis=0)
        np.testing.assert_allclose(mixed.s["AB"[a], "AB"[b]], expected, rtol=0, atol=1e-8)


def test_green_kubo_recovers_the_integral_of_an_exponential_stress_correlation():
    # Ornstein-Uhlenbeck stresses: <P(0) P(t)> = s2 exp(-t/tau), integral s2 tau
    rng = np.random.default_rng(3)
    dt, tau, s2, n = 0.01, 0.2, 4.0, 200_000
    c = np.exp(-dt / tau)
    p = np.empty((n, 3))
    p[0] = rng.normal(scale=np.sqrt(s2), size=3)
    kicks = rng.normal(scale=np.sqrt(s2 * (1 - c * c)), size=(n, 3))
    for i in range(1, n):
        p[i] = c * p[i - 1] + kicks[i]
    log = {"pxy": p[:, 0], "pxz": p[:, 1], "pyz": p[:, 2], "time": dt * np.arange(n)}
    eta, acf = green_kubo(log, volume=2.0, kT=0.5, t_max=10 * tau)
    exact = 2.0 / 0.5 * s2 * tau * (1 - np.exp(-10))
    assert abs(eta.value - exact) < 4 * eta.error and eta.error < 0.05 * exact
    np.testing.assert_allclose(acf.value[:5], s2 * c ** np.arange(5), rtol=0.05)
    six = np.column_stack([np.zeros((n, 3)), p])
    assert green_kubo(six, dt=dt, volume=2.0, kT=0.5, t_max=10 * tau)[0].value == eta.value
    with pytest.raises(ValueError, match="volume"):
        green_kubo(log, kT=0.5)


def test_density_profile_of_a_slab():
    x = np.zeros((1, 100, 3))
    x[0, :, 2] = np.linspace(0.05, 4.95, 100)  # uniform in z over the lower half of a 10-box
    z, rho = density_profile(_trajectory(x, [2.0, 2.0, 10.0]), "z", bins=10)
    np.testing.assert_allclose(rho, [20 / 4.0] * 5 + [0.0] * 5)
    assert z[0] == 0.5


def test_inherent_structures_leave_the_run_as_it_was():
    params = dict(DEFAULT_PARAMS)
    live = Simulation(params, seed=4, threads=1)
    quenched = inherent_structures(live, 20, every=10, fmax=1e-6)
    plain = Simulation(params, seed=4, threads=1).run(20)
    np.testing.assert_array_equal(live.positions, plain.positions)
    np.testing.assert_array_equal(live.log["epot"], plain.log["epot"])
    assert quenched.step.tolist() == [10, 20] and quenched.converged.all()
    assert (quenched.energy < plain.log["epot"][[9, 19]] / 64).all()


def test_fft_and_direct_origin_sums_agree_on_a_random_walk():
    rng = np.random.default_rng(5)
    steps = rng.normal(scale=0.3, size=(80, 12, 3))
    x, v = np.cumsum(steps, axis=0), steps / 0.1
    types = np.array([0, 1] * 6, dtype=np.int32)
    traj = _trajectory(x + 10.0, 3.0, v, types=types, species=["A", "B"])
    for name, f in (("msd", msd), ("vacf", vacf)):
        fast, slow = f(traj, fft=True, species="B"), f(traj, fft=False, species="B")
        np.testing.assert_allclose(fast.value, slow.value, rtol=1e-10, atol=1e-10, err_msg=name)
        np.testing.assert_allclose(fast.error, slow.error, rtol=1e-8, atol=1e-10, err_msg=name)
    d = x[1:] - x[:-1]
    assert msd(traj, fft=True).value[1] == pytest.approx(np.mean(np.sum(d * d, axis=-1)), rel=1e-10)


@pytest.mark.parametrize("call, message", [
    (lambda t: msd(t, max_lag=100), "max_lag"),
    (lambda t: msd(t, species="C"), "species"),
    (lambda t: diffusion(t, blocks=50), "blocks"),
    (lambda t: structure_factor(t, 0.1), "below the smallest"),
    (lambda t: density_profile(t, "w"), "axis"),
    (lambda t: green_kubo(np.zeros((100, 4)), dt=0.1, volume=1.0, kT=1.0), "shape"),
    (lambda t: green_kubo(np.full((100, 3), np.nan), dt=0.1, volume=1.0, kT=1.0), "finite"),
    (lambda t: green_kubo({"pxy": [0] * 9, "pxz": [0] * 9, "pyz": [0] * 9}, volume=1.0, kT=1.0), "dt="),
], ids=["max-lag", "species", "blocks", "kmax", "axis", "tensor-shape", "nan-stress", "no-interval"])
def test_analysis_refuses_what_it_cannot_compute(call, message):
    x = np.random.default_rng(6).uniform(0, 4, (20, 10, 3))
    with pytest.raises(ValueError, match=message):
        call(_trajectory(x, 4.0))


def test_a_minimised_mixture_under_a_barostat_continues_bit_for_bit_from_its_checkpoint(tmp_path):
    from test_edits import _glass

    sim = Simulation(**_glass(), seed=3, threads=1, method=vorlan.Langevin(1.0), barostat=vorlan.CRescale(2.0, 2.0))
    sim.run(5)
    assert sim.minimize(fmax=1e-4).converged
    sim.save(tmp_path / "min.npz")
    back = Simulation.load(tmp_path / "min.npz", threads=1)
    sim.run(10)
    back.run(10)
    np.testing.assert_array_equal(sim.positions, back.positions)
    np.testing.assert_array_equal(sim.log["volume"], back.log["volume"])


def test_a_restarted_clock_survives_a_checkpoint(tmp_path):
    pytest.importorskip("gsd")
    params = dict(DEFAULT_PARAMS)
    Simulation(params, seed=2).run(12, trajectory=tmp_path / "a.gsd", trajectory_every=4)
    sim = Simulation.from_file(tmp_path / "a.gsd", params, seed=2).run(3)
    sim.save(tmp_path / "s.npz")
    back = Simulation.load(tmp_path / "s.npz").run(2)
    assert back.log["step"].tolist() == [13, 14, 15, 16, 17] and back.time == pytest.approx(17 * 0.005)
