"""GSD trajectories as other programs read them (gsd, MDAnalysis, ASE), and
conversion between movie files, GSD and extended XYZ."""

import mmap
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vorlan.movie import read_movie, to_ase
from vorlan.trajectory import GSDWriter, convert, read_gsd, read_xyz

BOX = np.array([4.0, 5.0, 6.5])
N = 5


def frames(count=3, seed=1):
    """Wrapped positions in [0, L), velocities with all 17 digits, image counts."""
    rng = np.random.default_rng(seed)
    pos = rng.random((count, N, 3)) * BOX
    pos[0, 0] = [0.0, 1e-300, np.nextafter(BOX[2], 0)]  # the box edges: shifting must not round
    vel = rng.normal(size=(count, N, 3))
    img = rng.integers(-3, 4, size=(count, N, 3)).astype(np.int32)
    return pos, vel, img


def write_gsd(path, steps=(0, 10, 25), times=None):
    pos, vel, img = frames(len(steps))
    with GSDWriter(path, BOX, N) as w:
        for k, step in enumerate(steps):
            w.write(step, pos[k], vel[k], img[k], time=None if times is None else times[k])
    return pos, vel, img


def movie_file(path, count=4, header=True):
    """A movie file in the engine's layout, with |v| computed as the engine does."""
    pos, vel, _ = frames(count)
    speed = np.sqrt(vel[..., 0] * vel[..., 0] + (vel[..., 1] * vel[..., 1] + vel[..., 2] * vel[..., 2]))
    body = np.concatenate([np.broadcast_to(BOX, (count, 3)),
                           np.concatenate([pos, vel, speed[..., None]], axis=2).reshape(count, -1)], axis=1)
    path.write_bytes((np.array([N], "<u4").tobytes() if header else b"") + body.astype("<f8").tobytes())
    return path


# ---------------------------------------------------------------- GSD


def test_gsd_read_by_gsd_mdanalysis_and_read_gsd(tmp_path):
    gsd_hoomd = pytest.importorskip("gsd.hoomd")
    path = tmp_path / "run.gsd"
    pos, vel, img = write_gsd(path, times=[0.0, 0.05, 0.125])

    with gsd_hoomd.open(str(path), "r") as traj:
        assert len(traj) == 3
        for k, step in enumerate((0, 10, 25)):
            f = traj[k]
            assert f.configuration.step == step and f.particles.N == N
            np.testing.assert_array_equal(f.configuration.box, np.float32([*BOX, 0, 0, 0]))
            assert f.particles.types == ["A"]
            # HOOMD's convention: the box centred on the origin.
            np.testing.assert_allclose(f.particles.position, pos[k] - BOX / 2, rtol=0, atol=1e-6)
            assert ((f.particles.position >= -BOX / 2) & (f.particles.position < BOX / 2)).all()
            np.testing.assert_array_equal(f.particles.velocity, np.float32(vel[k]))
            np.testing.assert_array_equal(f.particles.image, img[k])

    t = read_gsd(path)
    np.testing.assert_array_equal(t.steps, [0, 10, 25])
    np.testing.assert_array_equal(t.times, [0.0, 0.05, 0.125])
    np.testing.assert_array_equal(t.box, np.broadcast_to(BOX, (3, 3)))
    np.testing.assert_array_equal(t.positions, pos)  # every bit
    np.testing.assert_array_equal(t.velocities, vel)
    np.testing.assert_array_equal(t.images, img)

    mda = pytest.importorskip("MDAnalysis")
    u = mda.Universe(str(path))
    assert len(u.atoms) == N and len(u.trajectory) == 3
    for k, ts in enumerate(u.trajectory):
        assert ts.data["step"] == (0, 10, 25)[k]
        np.testing.assert_allclose(ts.dimensions, [*BOX, 90, 90, 90], rtol=1e-6)
        np.testing.assert_allclose(ts.positions, pos[k] - BOX / 2, rtol=0, atol=1e-5)


def test_gsd_killed_writer_leaves_frames_written(tmp_path):
    pytest.importorskip("gsd")
    path = tmp_path / "cut.gsd"
    code = textwrap.dedent(f"""
        import os, signal, numpy as np
        from vorlan.trajectory import GSDWriter
        w = GSDWriter({str(path)!r}, (3, 3, 3), 2)
        for step in range(4):
            w.write(step * 5, np.full((2, 3), 1.0 + step), np.zeros((2, 3)), np.zeros((2, 3), int))
        os.kill(os.getpid(), signal.SIGKILL)
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == -signal.SIGKILL, r.stderr
    t = read_gsd(path)
    np.testing.assert_array_equal(t.steps, [0, 5, 10, 15])
    np.testing.assert_array_equal(t.positions[:, :, 0], [[1, 1], [2, 2], [3, 3], [4, 4]])


@pytest.mark.parametrize("call, message", [
    (lambda w: w.write(-1, np.zeros((N, 3)), np.zeros((N, 3))), "step must be a non-negative integer"),
    (lambda w: w.write(0, np.zeros((N + 1, 3)), np.zeros((N, 3))), r"positions must have shape \(5, 3\)"),
    (lambda w: w.write(0, np.zeros((N, 3)), np.zeros((N, 3)), np.full((N, 3), 0.5)), "integer box crossings"),
    (lambda w: w.write(0, np.zeros((N, 3)), np.zeros((N, 3)), box=(1, 0, 1)), "positive box lengths"),
])
def test_gsd_writer_rejects_bad_frames(tmp_path, call, message):
    pytest.importorskip("gsd")
    with GSDWriter(tmp_path / "bad.gsd", BOX, N) as w:
        with pytest.raises(ValueError, match=message):
            call(w)
    with pytest.raises(ValueError, match="closed"):
        w.write(0, np.zeros((N, 3)), np.zeros((N, 3)))
    with pytest.raises(ValueError, match="three positive box lengths"):
        GSDWriter(tmp_path / "b.gsd", (1, 1), N)


# ---------------------------------------------------------------- extended XYZ and ASE


# ASE's Atoms.copy sets an array's shape, which NumPy 2.5 deprecates.
@pytest.mark.filterwarnings("ignore:Setting the shape on a NumPy array:DeprecationWarning")
def test_extxyz_read_by_ase(tmp_path):
    ase_io = pytest.importorskip("ase.io")
    pos, vel, _ = write_gsd(tmp_path / "run.gsd", times=[0.0, 0.05, 0.125])
    assert convert(tmp_path / "run.gsd", tmp_path / "run.extxyz", species="Kr") == 3
    images = ase_io.read(tmp_path / "run.extxyz", index=":")
    assert len(images) == 3
    for k, atoms in enumerate(images):
        assert atoms.get_chemical_symbols() == ["Kr"] * N and atoms.pbc.all()
        np.testing.assert_array_equal(atoms.cell.lengths(), BOX)
        np.testing.assert_array_equal(atoms.positions, pos[k])
        np.testing.assert_array_equal(atoms.get_velocities(), vel[k])  # exact: masses are 1
        assert atoms.info["step"] == (0, 10, 25)[k] and atoms.info["Time"] == (0.0, 0.05, 0.125)[k]

    # And back from a file that ASE wrote: its velocities are momenta over masses.
    for atoms in images:
        del atoms.arrays["velo"]
    ase_io.write(tmp_path / "ase.xyz", images, format="extxyz")
    t = read_xyz(tmp_path / "ase.xyz")
    np.testing.assert_array_equal(t.steps, [0, 10, 25])
    np.testing.assert_allclose(t.velocities, vel, rtol=0, atol=1e-8)  # ASE writes 8 decimals


def test_to_ase(tmp_path, monkeypatch):
    pytest.importorskip("ase")
    m = read_movie(movie_file(tmp_path / "m.movie"))
    atoms = to_ase(m)
    np.testing.assert_array_equal(atoms.cell.array, np.diag(BOX))
    assert atoms.pbc.all() and atoms.info["frame"] == 3
    np.testing.assert_array_equal(atoms.positions, m.positions[-1])
    np.testing.assert_array_equal(atoms.get_velocities(), m.velocities[-1])
    np.testing.assert_array_equal(to_ase(tmp_path / "m.movie", 0).get_velocities(), m.velocities[0])
    with pytest.raises(IndexError, match="frame = 4 is out of range for a movie of 4 frames"):
        to_ase(m, 4)
    monkeypatch.setitem(sys.modules, "ase", None)
    with pytest.raises(ImportError, match="pip install 'vorlan\\[ase\\]'"):
        to_ase(m)


# ---------------------------------------------------------------- conversion


@pytest.mark.parametrize("middle", ["gsd", "xyz", "extxyz"])
def test_convert_round_trips_bit_for_bit(tmp_path, middle):
    if middle == "gsd":
        pytest.importorskip("gsd")
    src = movie_file(tmp_path / "in.movie")
    assert convert(src, tmp_path / f"mid.{middle}") == 4
    assert convert(tmp_path / f"mid.{middle}", tmp_path / "out.movie") == 4
    assert (tmp_path / "out.movie").read_bytes() == src.read_bytes()
    steps = read_gsd(tmp_path / "mid.gsd").steps if middle == "gsd" else read_xyz(tmp_path / f"mid.{middle}").steps
    np.testing.assert_array_equal(steps, [0, 1, 2, 3])  # the frame index: a movie holds no steps


def test_convert_gsd_xyz_gsd_keeps_steps_and_times(tmp_path):
    pytest.importorskip("gsd")
    pos, vel, _ = write_gsd(tmp_path / "a.gsd", steps=(3, 7), times=[0.1 + 0.2, 0.7])
    convert(tmp_path / "a.gsd", tmp_path / "a.xyz")
    convert(tmp_path / "a.xyz", tmp_path / "b.gsd")
    t = read_gsd(tmp_path / "b.gsd")
    np.testing.assert_array_equal(t.steps, [3, 7])
    np.testing.assert_array_equal(t.times, [0.1 + 0.2, 0.7])
    np.testing.assert_array_equal(t.positions, pos)
    np.testing.assert_array_equal(t.velocities, vel)


def test_convert_refuses_its_input_and_bad_names(tmp_path):
    src = movie_file(tmp_path / "in.movie")
    before = src.read_bytes()
    os.link(src, tmp_path / "hard.movie")
    (tmp_path / "sub").mkdir()
    for out in [src, tmp_path / "sub" / ".." / "in.movie", tmp_path / "hard.movie"]:
        with pytest.raises(ValueError, match="is the input file"):
            convert(src, out)
    assert src.read_bytes() == before
    with pytest.raises(ValueError, match=r"unknown trajectory format '.dcd'; allowed: .movie, .gsd"):
        convert(src, tmp_path / "out.dcd")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hard.movie", "in.movie", "sub"]


def test_failed_convert_keeps_old_output(tmp_path):
    # Frame 3 is misaligned by a corrupted speed: found only when the conversion reaches it.
    src = movie_file(tmp_path / "in.movie", count=6)
    data = bytearray(src.read_bytes())
    data[4 + 3 * (24 + 56 * N) + 24 + 48: 4 + 3 * (24 + 56 * N) + 24 + 56] = np.float64(-1).tobytes()
    src.write_bytes(bytes(data))
    read_movie(src)
    out = tmp_path / "out.xyz"
    out.write_text("old\n")
    with pytest.raises(ValueError, match="frame 3, particle 0: stored speed -1.0"):
        convert(src, out)
    assert out.read_text() == "old\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.movie", "out.xyz"]


# ---------------------------------------------------------------- lazy reading


def test_read_movie_maps_the_file(tmp_path):
    path = movie_file(tmp_path / "m.movie")
    before = path.read_bytes()
    m = read_movie(path)
    for a in m:
        base = a
        while base is not None and not isinstance(base, mmap.mmap):
            base = base.base
        assert isinstance(base, mmap.mmap), "array not backed by the file's memory map"
    m.positions[-1] = 0.0  # copy on write: the file stays as it was
    assert path.read_bytes() == before


def test_read_gsd_of_another_program(tmp_path):
    """A HOOMD file without the double-precision copies: positions move from the
    centred box into [0, L); a tilted box is refused."""
    gsd_hoomd = pytest.importorskip("gsd.hoomd")
    path = str(tmp_path / "hoomd.gsd")
    with gsd_hoomd.open(path, "w") as f:
        frame = gsd_hoomd.Frame()
        frame.configuration.step = 42
        frame.configuration.box = [4, 5, 6.5, 0, 0, 0]
        frame.particles.N = 2
        frame.particles.position = [[-2, -2.5, -3.25], [1.5, 0, 3]]
        frame.particles.velocity = [[1, 2, 3], [4, 5, 6]]
        f.append(frame)
        frame.configuration.box = [4, 5, 6.5, 0.5, 0, 0]
        f.append(frame)
    with pytest.raises(ValueError, match=r"frame 1 has a tilted box \(xy, xz, yz = \[0.5, 0.0, 0.0\]\)"):
        read_gsd(path)
    with gsd_hoomd.open(path, "r+") as f:
        f.truncate()
        frame.configuration.box = [4, 5, 6.5, 0, 0, 0]
        f.append(frame)
    t = read_gsd(path)
    assert t.steps.tolist() == [42] and t.times is None
    np.testing.assert_array_equal(t.positions[0], [[0, 0, 0], [3.5, 2.5, 6.25]])
    np.testing.assert_array_equal(t.velocities[0], [[1, 2, 3], [4, 5, 6]])


@pytest.mark.parametrize("text, message", [
    ("2\nProperties=species:S:1:pos:R:3\nAr 0 0 0\nAr 1 1 1\n", "no Lattice="),
    ('1\nLattice="2 1 0 0 2 0 0 0 2"\nAr 0 0 0\n', "not an orthorhombic box"),
    ('3\nLattice="2 0 0 0 2 0 0 0 2"\nAr 0 0 0\n', "3 particles announced, 1 lines follow"),
    ('1\nLattice="2 0 0 0 2 0 0 0 2" Properties=species:S:1:pos:R:3:velo:R:3\nAr 0 0 0\n', "needs 7 columns"),
    ("x\n", "expected the particle count"),
])
def test_read_xyz_rejects_what_it_cannot_place(tmp_path, text, message):
    path = tmp_path / "bad.xyz"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        read_xyz(path)


@pytest.mark.parametrize("suffix", ["gsd", "xyz"])
def test_ovito_reads_velocities_and_step(tmp_path, suffix):
    """OVITO is large and not in the test extra: this runs where it is installed."""
    pytest.importorskip("gsd")
    ovito_io = pytest.importorskip("ovito.io")
    pos, vel, img = write_gsd(tmp_path / "run.gsd", steps=(7,), times=[0.035])
    if suffix == "xyz":
        convert(tmp_path / "run.gsd", tmp_path / "run.xyz")
    data = ovito_io.import_file(str(tmp_path / f"run.{suffix}")).compute()
    step = data.attributes["Timestep" if suffix == "gsd" else "step"]
    assert step == 7
    np.testing.assert_allclose(np.asarray(data.cell)[:, :3], np.diag(BOX))
    origin = np.asarray(data.cell)[:, 3]
    np.testing.assert_allclose(np.asarray(data.particles["Position"]) - origin, pos[0], rtol=0, atol=1e-6)
    np.testing.assert_allclose(data.particles["Velocity"], vel[0], rtol=1e-7)
