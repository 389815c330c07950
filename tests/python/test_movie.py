"""Movie files: the reader and XYZ writer, the vorlan-run driver, and a round trip
from the driver through the reader to the result of simulate."""

import io
import os
import resource
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import vorlan
from vorlan.movie import Movie, read_movie, write_xyz
from conftest import needs_plain_memory

PARAMS = """\
nr_particles = {n}
cell_length = {length}
kT = 1.2
mass = 1
sigma = 1
epsilon = 1
rcut = {rcut}
shell = 0.3
tau = 0.5
stepsize = 0.005
nrsteps = {steps}
"""


def fill(n, length, steps):
    """The parameter text; the cutoff is at most half the box edge, as the engine requires."""
    return PARAMS.format(n=n, length=length, steps=steps, rcut=min(2.5, max(length, 0) / 2))


def params_file(tmp_path, n=27, length=4.0, steps=20, name="run.par"):
    path = tmp_path / name
    path.write_text(fill(n=n, length=length, steps=steps))
    return path


def frame_bytes(box, records):
    """One frame in the file layout, built independently of the reader."""
    out = struct.pack("<3d", *box)
    for x, v in records:
        speed = (v[0] * v[0] + (v[1] * v[1] + v[2] * v[2])) ** 0.5
        out += struct.pack("<7d", *x, *v, speed)
    return out


TWO = [((1.25, 2.5, 3.75), (3.0, 4.0, 0.0)), ((6.0, 7.0, 8.0), (0.0, 0.0, 0.0))]


def two_particle_movie(path, frames=3, header=True):
    data = struct.pack("<I", 2) if header else b""
    for k in range(frames):
        data += frame_bytes((10.0, 10.0, 10.0 + k), TWO)
    path.write_bytes(data)
    return path


# ---------------------------------------------------------------- reader


def test_reads_frames_with_header(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie")
    assert path.stat().st_size == 412
    m = read_movie(path)
    assert isinstance(m, Movie)
    assert (m.nr_frames, m.nr_particles) == (3, 2)
    assert m.box.shape == (3, 3) and m.positions.shape == (3, 2, 3)
    assert m.velocities.shape == (3, 2, 3) and m.speeds.shape == (3, 2)
    np.testing.assert_array_equal(m.box[:, 2], [10.0, 11.0, 12.0])
    np.testing.assert_array_equal(m.positions[1, 0], [1.25, 2.5, 3.75])
    np.testing.assert_array_equal(m.velocities[2, 0], [3.0, 4.0, 0.0])
    np.testing.assert_array_equal(m.speeds[:, 0], 5.0)
    np.testing.assert_array_equal(m.speeds[:, 1], 0.0)
    # Native float64 arrays that the caller may change.
    assert m.positions.dtype == np.float64 and m.positions.flags.writeable
    # Passing the count that the header holds is accepted.
    np.testing.assert_array_equal(read_movie(path, nr_particles=2).positions, m.positions)


def test_reads_headerless_file_with_count(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie", frames=2, header=False)
    assert path.stat().st_size == 272
    m = read_movie(str(path), nr_particles=2)
    assert (m.nr_frames, m.nr_particles) == (2, 2)
    np.testing.assert_array_equal(m.positions[0, 1], [6.0, 7.0, 8.0])
    with pytest.raises(ValueError, match="no particle-count header; pass nr_particles"):
        read_movie(path)


def test_no_particles_and_empty_files(tmp_path):
    path = tmp_path / "zero.movie"
    path.write_bytes(struct.pack("<I", 0) + struct.pack("<3d", 5, 5, 5) * 3)
    assert path.stat().st_size == 28 + 2 * 24
    m = read_movie(path)
    assert m.positions.shape == (3, 0, 3) and m.speeds.shape == (3, 0)
    np.testing.assert_array_equal(m.box, 5.0)

    empty = tmp_path / "empty.movie"
    empty.write_bytes(b"")
    assert read_movie(empty, nr_particles=4).positions.shape == (0, 4, 3)


@pytest.mark.parametrize("cut", [1, 8, 56, 135])
def test_truncated_file_names_the_sizes(tmp_path, cut):
    path = two_particle_movie(tmp_path / "m.movie")
    path.write_bytes(path.read_bytes()[:-cut])
    with pytest.raises(ValueError, match="m.movie") as err:
        read_movie(path)
    if (412 - cut) % 8 == 4:
        # The header survives: the message gives the frame size and the sizes expected.
        assert "136-byte frames for 2 particles" in str(err.value)
        assert f"expected 276 or 412 bytes, got {412 - cut}" in str(err.value)
    else:
        assert f"{412 - cut} bytes is neither" in str(err.value)


def test_inconsistent_particle_count(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie")
    with pytest.raises(ValueError, match="header says 2 particles, but nr_particles = 3"):
        read_movie(path, nr_particles=3)

    # Headerless: 3 frames of 2 particles are 408 bytes = 17 groups of 24; read as N = 0
    # the sizes fit, but the "box" of frame 2 is the first velocity, (3, 4, 0).
    headerless = two_particle_movie(tmp_path / "h.movie", header=False)
    with pytest.raises(ValueError, match=r"frame 2 has box lengths \[3.0, 4.0, 0.0\]"):
        read_movie(headerless, nr_particles=0)

    # A header of 1 on two frames' worth of bytes: the sizes fit, the second
    # "record" is misaligned and its speed is not the length of its velocity.
    wrong = tmp_path / "n1.movie"
    wrong.write_bytes(struct.pack("<I", 1) + (frame_bytes((10.0, 10.0, 10.0), TWO) * 2)[:160])
    with pytest.raises(ValueError, match=r"frame 1, particle 0: stored speed .* is not the length"):
        read_movie(wrong)


def test_bad_count_argument(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie", header=False)
    with pytest.raises(ValueError, match="between 0 and"):
        read_movie(path, nr_particles=-1)
    with pytest.raises(TypeError):
        read_movie(path, nr_particles=2.0)


# ---------------------------------------------------------------- XYZ


def parse_xyz(text):
    lines = text.splitlines()
    frames = []
    while lines:
        n = int(lines[0])
        comment, rows, lines = lines[1], lines[2:2 + n], lines[2 + n:]
        frames.append((comment, [r.split() for r in rows]))
    return frames


def test_xyz_frames_round_trip(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie")
    out = tmp_path / "m.xyz"
    write_xyz(path, out)
    frames = parse_xyz(out.read_text())
    assert len(frames) == 3
    comment, rows = frames[2]
    assert comment == ('Lattice="10.0 0 0 0 10.0 0 0 0 12.0" '
                       'Properties=species:S:1:pos:R:3:velo:R:3:masses:R:1:momenta:R:3 pbc="T T T" frame=2')
    assert [r[0] for r in rows] == ["Ar", "Ar"]
    m = read_movie(path)
    back = np.array([[float(x) for x in r[1:]] for r in rows])
    v = m.velocities[2]
    np.testing.assert_array_equal(back, np.hstack([m.positions[2], v, np.ones((2, 1)), v]))

    # Exact digits for values that need all 17, into an open text stream.
    m.positions[0, 0, 0] = 0.1 + 0.2
    buf = io.StringIO()
    write_xyz(m, buf, species="X")
    row = parse_xyz(buf.getvalue())[0][1][0]
    assert row[0] == "X" and float(row[1]) == 0.1 + 0.2
    with pytest.raises(ValueError, match="species"):
        write_xyz(m, io.StringIO(), species="A r")


def test_xyz_command_line(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie", header=False)
    out = tmp_path / "m.xyz"
    cmd = [sys.executable, "-m", "vorlan.movie", str(path), str(out)]
    bad = subprocess.run(cmd, capture_output=True, text=True, env=package_env(), cwd=tmp_path)
    assert bad.returncode == 1 and "pass nr_particles" in bad.stderr
    ok = subprocess.run(cmd + ["--nr-particles", "2"], capture_output=True, text=True,
                        env=package_env(), cwd=tmp_path)
    assert ok.returncode == 0, ok.stderr
    assert len(parse_xyz(out.read_text())) == 3


def test_truncated_at_multiple_of_8_gives_both_readings(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie")
    path.write_bytes(path.read_bytes()[:-4])  # 408 bytes: no longer looks like a file with header
    with pytest.raises(ValueError) as err:
        read_movie(path)
    assert "pass nr_particles" in str(err.value)
    assert "2 particles in 136-byte frames and ends in a partial one: expected 276 or 412 bytes, got 408" in str(err.value)
    with pytest.raises(ValueError) as err:
        read_movie(path, nr_particles=3)
    assert "not a whole number of 192-byte frames for 3 particles without header" in str(err.value)
    assert "expected 384 or 576 bytes, got 408" in str(err.value)


def run_tool(tmp_path, *args):
    return subprocess.run([sys.executable, "-m", "vorlan.movie", *map(str, args)], capture_output=True,
                          text=True, env=package_env(), cwd=tmp_path)


def test_tool_refuses_its_input_and_non_regular_files(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie")
    before = path.read_bytes()
    os.link(path, tmp_path / "link.movie")
    for out in (path, tmp_path / "link.movie"):
        r = run_tool(tmp_path, path, out)
        assert r.returncode == 1 and "is the input file" in r.stderr, r.stderr
    assert path.read_bytes() == before
    for special, kind in [("/dev/zero", "a character device"), (tmp_path, "a directory")]:
        r = run_tool(tmp_path, special, tmp_path / "out.xyz")
        assert r.returncode == 1 and "Traceback" not in r.stderr, r.stderr
        assert kind in r.stderr or "Is a directory" in r.stderr
    assert not (tmp_path / "out.xyz").exists()


def test_failed_xyz_write_leaves_no_partial_file(tmp_path):
    path = two_particle_movie(tmp_path / "m.movie")
    out = tmp_path / "m.xyz"
    with pytest.raises(ValueError, match="ASCII name"):
        write_xyz(path, out, species="\u00c4r")
    # Frame 4 of 5 misaligned: found only when the writer reaches it, after 3 frames.
    data = bytearray(two_particle_movie(tmp_path / "m.movie", frames=5).read_bytes())
    data[4 + 3 * 136 + 24 + 48:4 + 3 * 136 + 24 + 56] = struct.pack("<d", 9.0)
    path.write_bytes(bytes(data))
    out.write_text("previous\n")
    with pytest.raises(ValueError, match="frame 3, particle 0: stored speed 9.0"):
        write_xyz(path, out)
    assert out.read_text() == "previous\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.movie", "m.xyz"]


# ---------------------------------------------------------------- driver


def package_env(**extra):
    """Environment for a child process that imports the vorlan under test."""
    env = dict(os.environ)
    root = str(Path(vorlan.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [root, env.get("PYTHONPATH")] if p)
    env.update(extra)
    return env


def find_driver():
    """vorlan-run from $VORLAN_RUN, next to the imported package (a CMake build
    dir), or the interpreter's scripts directory (pip install)."""
    if os.environ.get("VORLAN_RUN"):
        path = Path(os.environ["VORLAN_RUN"])
        if not os.access(path, os.X_OK):
            pytest.fail(f"VORLAN_RUN={path} is not an executable file")
        return path
    places = [Path(vorlan.__file__).resolve().parent.parent]
    places += [Path(sysconfig.get_path("scripts", scheme)) for scheme in
               (sysconfig.get_default_scheme() if hasattr(sysconfig, "get_default_scheme")
                else sysconfig._get_default_scheme(), f"{os.name}_user")
               if scheme in sysconfig.get_scheme_names()]
    for place in places:
        candidate = place / "vorlan-run"
        if os.access(candidate, os.X_OK):
            return candidate
    pytest.skip("vorlan-run not found (set VORLAN_RUN, build with CMake, or pip install); looked in "
                + ", ".join(str(p) for p in places))


@pytest.fixture(scope="module")
def driver():
    return find_driver()


def run_driver(driver, *args, cwd=None):
    return subprocess.run([str(driver), *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          env=package_env(OMP_NUM_THREADS="1"), timeout=120)


@pytest.mark.parametrize("args, message", [
    ((), "no parameter file given"),
    (("a.par", "b.par"), "only one parameter file"),
    (("a.par", "--every", "2"), "--every needs --movie"),
    (("a.par", "--movie", "m", "--every", "0"), "positive integer, got '0'"),
    (("a.par", "--movie", "m", "--every", "2x"), "positive integer, got '2x'"),
    (("a.par", "--movie", "m", "--every", "99999999999"), "positive integer"),
    (("a.par", "--movie"), "--movie needs a value"),
    (("a.par", "--fast"), "unknown option '--fast'"),
])
def test_driver_bad_arguments(driver, tmp_path, args, message):
    r = run_driver(driver, *args, cwd=tmp_path)
    assert r.returncode == 2
    assert message in r.stderr and "usage: vorlan-run PARAMS" in r.stderr
    assert r.stdout == ""


def test_driver_help(driver):
    r = run_driver(driver, "--help")
    assert r.returncode == 0 and r.stdout.startswith("usage: vorlan-run PARAMS") and r.stderr == ""


def test_driver_run_errors(driver, tmp_path):
    missing = run_driver(driver, tmp_path / "none.par")
    assert missing.returncode == 1
    assert missing.stderr == f"vorlan-run: Cannot open file: {tmp_path / 'none.par'}\n"

    no_steps = tmp_path / "no_steps.par"
    no_steps.write_text(fill(n=8, length=3, steps=1).replace("nrsteps = 1\n", ""))
    r = run_driver(driver, no_steps)
    assert r.returncode == 1 and r.stderr == "vorlan-run: Could not find parameter: nrsteps\n"

    bad_box = tmp_path / "bad_box.par"
    bad_box.write_text(fill(n=8, length=0, steps=1))
    r = run_driver(driver, bad_box)
    assert r.returncode == 1 and "cell_length" in r.stderr

    unwritable = tmp_path / "no" / "such" / "dir.movie"
    r = run_driver(driver, params_file(tmp_path), "--movie", unwritable)
    assert r.returncode == 1
    assert r.stderr == f"vorlan-run: cannot open movie file '{unwritable}': No such file or directory\n"
    assert not unwritable.parent.exists()


@needs_plain_memory
def test_driver_out_of_memory_exits_with_a_message(driver, tmp_path):
    def limit_address_space():
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30,) * 2)

    r = subprocess.run([str(driver), str(params_file(tmp_path, n=100000, length=1.4, steps=1))],
                       capture_output=True, text=True, env=package_env(), preexec_fn=limit_address_space,
                       timeout=120)
    assert r.returncode == 1
    assert r.stderr.startswith("vorlan-run: not enough memory for the neighbour list of nr_particles = 100000")


@pytest.mark.parametrize("steps, every, frames", [(5, 2, 4), (6, 2, 4), (5, 5, 2), (3, 10, 2), (0, 1, 1)])
def test_driver_frame_count(driver, tmp_path, steps, every, frames):
    # Frames: the initial state, every `every` steps, and the final state once.
    movie = tmp_path / "m.movie"
    r = run_driver(driver, params_file(tmp_path, n=8, length=3.0, steps=steps),
                   "--movie", movie, "--every", every)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "" and r.stderr == ""
    assert movie.stat().st_size == 4 + frames * (24 + 56 * 8)
    assert read_movie(movie).nr_frames == frames


def test_driver_without_movie_and_verbose(driver, tmp_path):
    quiet = run_driver(driver, params_file(tmp_path, n=8, length=3.0, steps=3), cwd=tmp_path)
    assert quiet.returncode == 0 and quiet.stdout == "" and quiet.stderr == ""
    assert list(tmp_path.iterdir()) == [tmp_path / "run.par"]

    loud = run_driver(driver, params_file(tmp_path, n=8, length=3.0, steps=1001), "--verbose")
    assert loud.returncode == 0, loud.stderr
    lines = loud.stdout.splitlines()
    assert [line[:10] for line in lines] == ["Step 0000 ", "Step 1000 "]
    assert all("  Ekin = " in line and line.endswith(" s") for line in lines)


SIMULATE = """
import sys, numpy as np
from vorlan import Vorlan
r = Vorlan().simulate(sys.argv[1])
np.savez(sys.argv[2], **{k: np.asarray(r[k]) for k in
         ("positions", "velocities", "positions_initial", "velocities_initial")})
"""


def test_driver_movie_matches_simulate(driver, tmp_path):
    """The last frame is the final configuration of the same run under simulate;
    both start the random sequence afresh in their own process."""
    par = params_file(tmp_path, n=64, length=4.4, steps=57)
    movie = tmp_path / "run.movie"
    r = run_driver(driver, par, "--movie", movie, "--every", 10)
    assert r.returncode == 0, r.stderr

    ref = tmp_path / "ref.npz"
    sim = subprocess.run([sys.executable, "-c", SIMULATE, str(par), str(ref)], capture_output=True,
                         text=True, cwd=tmp_path, env=package_env(OMP_NUM_THREADS="1"), timeout=120)
    assert sim.returncode == 0, sim.stderr
    expected = np.load(ref)

    m = read_movie(movie)
    assert (m.nr_frames, m.nr_particles) == (7, 64)  # steps 0, 10, ..., 50 and 57
    np.testing.assert_array_equal(m.box, 4.4)
    np.testing.assert_array_equal(m.positions[-1], expected["positions"])
    np.testing.assert_array_equal(m.velocities[-1], expected["velocities"])
    np.testing.assert_array_equal(m.positions[0], expected["positions_initial"])
    v0 = expected["velocities_initial"]
    np.testing.assert_allclose(m.velocities[0], v0 - v0.mean(axis=0), rtol=0, atol=1e-12)
    # The particles moved between frames, and stayed in the box.
    assert not np.array_equal(m.positions[1], m.positions[0])
    assert ((m.positions >= 0) & (m.positions < 4.4)).all()
