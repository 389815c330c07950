"""External fields (vorlan.field): walls and a constant force against their
closed forms, the walled axis without images, thread-count independence,
checkpoints, and the refusals."""

import numpy as np
import pytest

import vorlan
from vorlan import field

BOX = np.array([8.0, 8.0, 8.0])
PARAMS = dict(nr_particles=2, cell_length=8.0, kT=1.0, mass=1.0, sigma=1.0, epsilon=1.0, rcut=2.5, shell=0.3,
              tau=0.5, stepsize=0.002)


def wall_energy(w, r):
    """u(r) and -du/dr of one wall at distance r."""
    if r >= w.rcut:
        return 0.0, 0.0
    if w.style == "harmonic":
        return w.k * (r - w.rcut) ** 2, -2 * w.k * (r - w.rcut)
    u = lambda x: w.epsilon * (2 / 15 * (w.sigma / x) ** 9 - (w.sigma / x) ** 3)
    return u(r) - u(w.rcut), w.epsilon * (1.2 * (w.sigma / r) ** 9 - 3 * (w.sigma / r) ** 3) / r


@pytest.mark.parametrize("wall", [field.Wall("z", kind="lj93", epsilon=1.3, sigma=0.9, rcut=2.5),
                                  field.Wall("y", kind="harmonic", k=20.0, rcut=1.0)], ids=["lj93", "harmonic"])
def test_wall_closed_form_without_images(wall):
    # one particle near each wall of the axis: 1.0 apart through the periodic
    # boundary, which a closed axis must not see
    a = "xyz".index(wall.axis)
    x = np.full((2, 3), 4.0)
    x[0, a], x[1, a] = 0.6, BOX[a] - 0.4
    sim = vorlan.Simulation(PARAMS, positions=x, velocities=np.zeros((2, 3)), box=BOX, fields=[wall],
                            zero_momentum=False)
    (u0, f0), (u1, f1) = wall_energy(wall, 0.6), wall_energy(wall, 0.4)
    expected_f = np.zeros((2, 3))
    expected_f[0, a], expected_f[1, a] = f0, -f1
    np.testing.assert_allclose(sim.forces, expected_f, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(sim.particle_energies, [u0, u1], rtol=1e-12)
    assert sim.epot == pytest.approx(u0 + u1, rel=1e-12)
    assert sim.virial == 0.0  # field forces stay out of the virial


def test_constant_force_energy_of_unwrapped_positions():
    f = (0.3, -0.2, 0.1)
    x = np.array([[1.0, 1.0, 1.0], [5.0, 5.0, 5.0]])
    v = np.array([[30.0, 0.0, 0.0], [0.0, 0.0, -25.0]])
    sim = vorlan.Simulation(PARAMS, positions=x, velocities=v, box=BOX, fields=[field.Constant(force=f)],
                            method=vorlan.NVE(), zero_momentum=False)
    sim.run(200)  # both particles cross the box
    assert np.abs(sim.images).max() > 0
    unwrapped = sim.positions + sim.images * BOX
    np.testing.assert_allclose(sim.forces, np.tile(f, (2, 1)), atol=1e-12)
    assert sim.epot == pytest.approx(-(unwrapped @ np.array(f)).sum(), rel=1e-12)


def liquid(threads, fields, **kw):
    p = dict(PARAMS, nr_particles=256, cell_length=6.8)
    return vorlan.Simulation(p, seed=3, threads=threads, fields=fields, **kw)


def test_fields_thread_independent_and_checkpoint(tmp_path):
    fields = [field.Wall("z", kind="lj93", rcut=2.5), field.Constant(force=(0.05, 0.0, 0.0))]
    one, two = liquid(1, fields), liquid(2, fields)
    one.run(300)
    two.run(300)
    assert np.array_equal(one.positions, two.positions) and one.epot == two.epot
    assert (one.positions[:, 2] > 0).all() and (one.positions[:, 2] < 6.8).all()
    one.save(tmp_path / "c.npz")
    back = vorlan.Simulation.load(tmp_path / "c.npz")
    back.run(50)
    one.run(50)
    assert np.array_equal(back.positions, one.positions)


def test_body_force_shifts_the_conserved_total_by_a_constant():
    # velocity Verlet integrates a uniform acceleration exactly and -F . x of the
    # unwrapped positions books its work: the same start with and without the
    # force differs in H by -F . sum x(0) alone, walls or not
    walls = [field.Wall("z", kind="lj93", rcut=2.5)]
    start = liquid(1, walls)
    h = []
    for f in (0.0, 0.5):
        sim = liquid(1, walls + [field.Constant(force=(f, 0.0, 0.0))], method=vorlan.NVE(),
                     positions=start.positions, velocities=start.velocities, zero_momentum=False)
        sim.run(200)
        assert np.abs(sim.images[:, 0]).max() > 0
        h.append(sim.log["conserved"])
    shift = h[1] - h[0]
    assert shift[0] == pytest.approx(-0.5 * start.positions[:, 0].sum(), rel=1e-12)
    assert np.ptp(shift) < 1e-8


@pytest.mark.parametrize("make, error, words", [
    (lambda: liquid(1, [field.Wall("x", rcut=3.5)]), ValueError, "box edge of at least 2 rcut"),
    (lambda: liquid(1, [field.Wall("x", kind="soft")]), ValueError, "kind = 'soft'"),
    (lambda: liquid(1, [field.Wall("z")], barostat=vorlan.CRescale(pressure=1.0, tau=1.0)).run(1), ValueError,
     "a wall closes one"),
    (lambda: liquid(1, [field.Wall("x")], barostat=vorlan.CRescale(1.0, 1.0, couple="xy")).run(1), ValueError,
     "walls on z only and couple = xy"),
    (lambda: liquid(1, [{"kind": "wall"}]), ValueError, "vorlan.field"),
])
def test_refusals(make, error, words):
    with pytest.raises(error, match=words):
        make()


def test_lateral_barostat_between_walls_keeps_them_in_place():
    sim = liquid(1, [field.Wall("z", rcut=2.5)], method=vorlan.Bussi(0.5),
                 barostat=vorlan.CRescale(0.5, 1.0, compressibility=0.1, couple="xy")).run(100)
    assert sim.box[2] == 6.8 and sim.box[0] == sim.box[1] != 6.8
    assert (sim.positions[:, 2] > 0).all() and (sim.positions[:, 2] < 6.8).all()


def test_particle_past_a_wall_names_it_and_the_step():
    # a wall of zero stiffness holds nothing back
    x = np.array([[4.0, 4.0, 0.51], [1.0, 1.0, 4.0]])
    v = np.array([[0.0, 0.0, -10.0], [0.0, 0.0, 0.0]])
    sim = vorlan.Simulation(PARAMS, positions=x, velocities=v, box=BOX, method=vorlan.NVE(), zero_momentum=False,
                            fields=[field.Wall("z", kind="harmonic", k=0.0, rcut=1.0)])
    with pytest.raises(ArithmeticError, match=r"particle 0 passed the wall at z = 0 in step 26"):
        sim.run(100)


def test_system_file_fields_reach_the_run_and_its_trajectory(tmp_path):
    gsd_hoomd = pytest.importorskip("gsd.hoomd")
    from vorlan.io.system import read_system

    path = tmp_path / "walls.toml"
    path.write_text('[[field]]\nfield = "wall"\naxis = "z"\nkind = "harmonic"\nk = 10.0\nrcut = 1.0\n\n'
                    '[[field]]\nfield = "constant"\nforce = [0.1, 0.0, 0.0]\n')
    args = read_system(path).arguments(256)
    sim = liquid(1, args.pop("fields"), **args)
    sim.run(4, trajectory=str(tmp_path / "run.gsd"), trajectory_every=2)
    with gsd_hoomd.open(str(tmp_path / "run.gsd"), "r") as traj:
        rows = traj[-1].log["vorlan/fields"].reshape(-1, 10)
    np.testing.assert_array_equal(rows, [[1, 1, 2, 0, 0, 0, 0, 0, 10.0, 1.0], [0, 0, -1, 0.1, 0, 0, 0, 0, 0, 0]])
    path.write_text('[[field]]\nfield = "gravity"\n')
    with pytest.raises(ValueError, match="entry 1 must name its kind"):
        read_system(path)
