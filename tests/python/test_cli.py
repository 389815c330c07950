"""The vorlan command: check, run, plot; write_params; the run log and g(r)."""

import argparse
import math
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import DEFAULT_PARAMS, PACKAGE_ROOT
from vorlan import Vorlan, read_params, write_params
from vorlan import params as P
from vorlan.cli import main
from vorlan._optional import MissingDependency
from vorlan.analysis import radial_distribution
from vorlan.io.runlog import read_log, write_log
from vorlan.methods import CRescale, NoseHoover
from vorlan.plot import pyplot


def need_matplotlib():
    try:
        pyplot()
    except MissingDependency:
        pytest.skip("matplotlib is not installed")


def params_text(changes=(), extra_lines=(), first=""):
    values = dict(DEFAULT_PARAMS)
    values.update(dict(changes))
    body = "".join(f"{k} = {v}\n" for k, v in values.items() if v is not None)
    return first + body + "".join(line + "\n" for line in extra_lines)


def vorlan(capsys, *argv):
    rc = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return rc, out, err


# A line of each kind the engine skips: (key it means, the line, a word of the
# reason, the line check suggests instead or None).
SKIPPED = [
    ("kT", "kT = 1.44 # liquid", "comment after the value", "kT = 1.44"),
    ("tau", "tau = 1e6", "exponent", "tau = 1000000"),
    ("stepsize", "stepsize = 5E-3", "exponent", "stepsize = 0.005"),
    ("epsilon", "epsilon = -1", "negative value", None),
    ("sigma", "sigma = +1", "'+' sign", "sigma = 1"),
    ("nr_particles", "nr-particles = 64", "characters other than", None),
    ("rcut", "rcut 2.5", "no '='", "rcut = 2.5"),
    ("shell", "shell = 0.3 = 0.4", "more than one '='", None),
    ("mass", "mass = one", "not a number", None),
    ("cell_length", "\ufeffcell_length = 5", "byte-order mark", "cell_length = 5"),
]


@pytest.mark.parametrize("key, line, reason, suggestion", SKIPPED, ids=[s[1] for s in SKIPPED])
def test_check_names_each_skipped_line_and_agrees_with_the_engine(tmp_path, capsys, key, line, reason, suggestion):
    first = line.startswith("\ufeff")
    text = (line + "\n" if first else "") + params_text({key: None}, () if first else ("# a comment", "", line))
    path = tmp_path / "bad.par"
    path.write_text(text, encoding="utf-8")
    number = 1 if first else len(DEFAULT_PARAMS) + 2

    rc, out, _ = vorlan(capsys, "check", path)
    assert rc == 1
    assert f"line {number}: " in out and reason in out
    assert "line %d:" % (number - 1) not in out and "line %d:" % (number - 2) not in out  # blank and comment lines
    assert f"{key} (" in out.split("Missing keys")[1]
    with pytest.raises(RuntimeError, match=f"Could not find parameter: {key}"):
        Vorlan().simulate(str(path))

    if suggestion is not None:
        assert f"write:   {suggestion}" in out
        path.write_text(text.replace(line, suggestion), encoding="utf-8")
        rc, out, _ = vorlan(capsys, "check", path)
        assert rc == 0, out
        assert Vorlan().simulate(str(path))["nrsteps"] == int(DEFAULT_PARAMS["nrsteps"])


def test_check_warns_about_duplicates_and_unknown_keys_but_passes(tmp_path, capsys):
    path = tmp_path / "run.par"
    path.write_text(params_text({}, ("sigam = 1.1", "mass = 2.0", "  ", "// note")), encoding="utf-8")
    rc, out, _ = vorlan(capsys, "check", path)
    assert rc == 0
    assert "mass: line 4 (mass = 1) is used; ignored: line 13 (mass = 2.0)" in out
    assert "line 12: sigam -- did you mean sigma?" in out
    assert "Lines the engine skips" not in out
    assert "density     N / L^3 = 64 / 5^3 = 0.512" in out
    assert "subcells    floor(L / (rcut + shell)) = 1 per axis" in out
    assert read_params(path)["mass"] == "1"
    assert vorlan(capsys, "check", "--strict", path)[0] == 1


@pytest.mark.parametrize(
    "changes, converts",
    [({"nr_particles": "64.0"}, False), ({"rcut": "1.2.3"}, False), ({"nrsteps": "4294967296"}, False),
     ({"rcut": "3"}, True), ({"mass": "0"}, True),
     # a box whose volume is beyond double precision: the derived quantities must not raise
     ({"cell_length": "0." + "0" * 199 + "1"}, True), ({"cell_length": "1" + "0" * 200}, True)],
    ids=["float-count", "two-points", "too-many-steps", "rcut-too-long", "no-mass", "tiny-box", "huge-box"],
)
def test_check_refuses_values_not_allowed(tmp_path, capsys, changes, converts):
    path = tmp_path / "run.par"
    path.write_text(params_text(changes), encoding="utf-8")
    rc, out, _ = vorlan(capsys, "check", path)
    assert rc == 1
    key = next(iter(changes))
    assert f"{key} = " in out.split("Values not allowed")[1]
    if not converts:
        with pytest.raises((TypeError, ValueError)):
            Vorlan().simulate(str(path))


AWKWARD = [0.1, 1 / 3, 2.0**-30, 1e-20, 5e-324, 1.7976931348623157e308, 16.929269, 2.5, 0.0, 123456789.125]


def test_write_params_reads_back_exactly(tmp_path, run_python):
    path = tmp_path / "p.par"
    for x in AWKWARD:
        write_params(path, sigma=x, nrsteps=4294967295, kT=np.float64(x))
        text = read_params(path)
        assert float(text["sigma"]) == x and float(text["kT"]) == x, text
        assert "e" not in text["sigma"].lower() and not text["sigma"].startswith(("-", "+"))
        assert text["nrsteps"] == "4294967295"

    # the engine reads the same doubles: a box of an awkward length gives the same run as its repr
    settings = {k: float(v) for k, v in DEFAULT_PARAMS.items()}
    settings.update(nr_particles=64, nrsteps=3, cell_length=5.000000000000001, kT=1 / 3)
    write_params(path, **settings)
    plain = tmp_path / "plain.par"
    plain.write_text("".join(f"{k} = {v!r}\n" for k, v in settings.items()))
    # each in a fresh process, where the random sequence starts anew
    code = "import vorlan; r = vorlan.Vorlan().simulate(%r); print(repr(r['etot']), r['positions'].tobytes().hex())"
    runs = [run_python(code % str(p)) for p in (path, plain)]
    assert runs[0].returncode == 0, runs[0].stderr
    assert runs[0].stdout == runs[1].stdout and runs[0].stdout.count(",") == 2
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize(
    "settings, error, message",
    [
        ({"epsilon": -1.0}, ValueError, "epsilon = -1.0 is not allowed"),
        ({"nrsteps": -5}, ValueError, "nrsteps = -5 is not allowed"),
        ({"nrsteps": 10.5}, ValueError, "nrsteps = 10.5 is not allowed: nrsteps is an integer"),
        ({"nr_particles": 2**31}, ValueError, "at most 2147483647"),
        ({"kT": math.inf}, ValueError, "must be finite"),
        ({"kT": "1e3"}, ValueError, "kT = 1e3 is not allowed: a value is digits"),
        ({"sigam": 1.0}, ValueError, "did you mean 'sigma'"),
        ({"tau": True}, TypeError, "tau = True is not allowed: a bool"),
    ],
)
def test_write_params_refuses_what_the_engine_would_not_read(tmp_path, settings, error, message):
    path = tmp_path / "p.par"
    path.write_text("kT = 2\n")
    with pytest.raises(error, match=message.replace("(", r"\(").replace("+", r"\+")):
        write_params(path, kT=1.0, **settings) if "kT" not in settings else write_params(path, **settings)
    assert path.read_text() == "kT = 2\n"  # left as it was
    assert len(list(tmp_path.iterdir())) == 1


def test_log_round_trip_and_plot(tmp_path, capsys):
    step = np.arange(1, 21)
    columns = {
        "step": step,
        "time": step * 0.005,
        "ekin": 90.0 + np.sin(step),
        "epot": -300.0 + np.cos(step),
        "etot": -210.0 + 0.0 * step,
        "temperature": 1.0 + 0.01 * np.sin(step),
        "pressure": np.where(step % 5 == 0, 0.1 * step, np.nan),
        "pzz": np.where(step % 5 == 0, 0.2 * step, np.nan),
        "work_wall": 0.01 * step,
    }
    log = write_log(tmp_path / "run.csv", columns, {"nr_particles": 64, "kT": "1"})
    back, meta = read_log(log)
    assert meta == {"nr_particles": "64", "kT": "1"}
    for key, value in columns.items():
        np.testing.assert_array_equal(back[key], value)

    need_matplotlib()
    rc, out, _ = vorlan(capsys, "plot", log, "-o", tmp_path / "run.png")
    assert rc == 0 and (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_msd_follows_a_particle_across_the_box():
    from vorlan.analysis import msd

    # one particle moving 0.5 a frame through a box of 2: wrapped at 2, one image on
    x = np.array([[[1.0, 0, 0]], [[1.5, 0, 0]], [[0.0, 0, 0]], [[0.5, 0, 0]]])
    images = np.array([[[0, 0, 0]], [[0, 0, 0]], [[1, 0, 0]], [[1, 0, 0]]])
    np.testing.assert_array_equal(msd(x, images, [2.0, 2.0, 2.0]), [0.0, 0.25, 1.0, 2.25])


def test_radial_distribution_of_a_lattice_and_of_a_gas():
    # simple cubic lattice, spacing 1, in a periodic box of 5: six neighbours at
    # r = 1 (also across the faces), twelve at sqrt(2), none closer
    g1 = np.stack(np.meshgrid(*[np.arange(5.0)] * 3, indexing="ij"), -1).reshape(-1, 3) + 0.25
    r, g = radial_distribution([g1], 5.0, bins=100)
    dr = r[1] - r[0]
    shells = 4 / 3 * np.pi * ((r + dr / 2) ** 3 - (r - dr / 2) ** 3) * (len(g1) - 1) / 125.0
    neighbours = np.cumsum(g * shells)
    assert neighbours[r < 0.95][-1] == pytest.approx(0, abs=1e-9)
    assert neighbours[r < 1.2][-1] == pytest.approx(6, rel=1e-6)
    assert neighbours[r < 1.5][-1] == pytest.approx(18, rel=1e-6)

    rng = np.random.default_rng(5)
    r, g = radial_distribution([rng.uniform(0, 8, (400, 3)) for _ in range(4)], 8.0, bins=20)
    assert np.mean(g[r > 1.5]) == pytest.approx(1.0, abs=0.05)


@pytest.mark.parametrize(
    "argv, rc",
    [
        ([], 2),
        (["frobnicate"], 2),
        (["run"], 2),
        (["run", "{par}", "--steps", "-3"], 2),
        (["run", "{par}", "--threads", "0"], 2),
        (["run", "{par}", "--every", "5"], 2),
        (["run", "{par}", "--seed", "0"], 2),
        (["run", "{par}", "--method", "bussi", "--tau", "0.5"], 2),  # no --seed
        (["run", "{par}", "--method", "langevin", "--seed", "1"], 2),  # no --friction
        (["run", "{par}", "--method", "nve", "--friction", "1"], 2),
        (["run", "{par}", "--method", "langevin", "--friction", "-1", "--seed", "1"], 2),
        (["run", "{par}", "--method", "nve", "--pressure", "1", "--seed", "1"], 2),
        (["run", "{missing}"], 1),
        (["check", "{missing}"], 1),
        (["plot", "{missing}"], 1),
        (["--help"], 0),
    ],
)
def test_exit_codes(tmp_path, capsys, argv, rc):
    par = tmp_path / "ok.par"
    par.write_text(params_text())
    argv = [a.format(par=par, missing=tmp_path / "nope.par") for a in argv]
    got, out, err = vorlan(capsys, *argv)
    assert got == rc
    if rc == 1:
        assert "nope.par" in err and "Traceback" not in err


@pytest.fixture
def simulation():
    return pytest.importorskip("vorlan.simulation").Simulation


def test_run_end_to_end_with_log_trajectory_and_plot(tmp_path, capsys, param_file, simulation):
    from vorlan.trajectory import read_gsd

    par = param_file({"nrsteps": "40"})
    log, png, gsd = tmp_path / "run.csv", tmp_path / "run.png", tmp_path / "run.gsd"
    try:
        pyplot()
        plot = ["--plot", png]
    except MissingDependency:
        plot = []
    rc, out, err = vorlan(capsys, "run", par, "--seed", 7, "--threads", 1, "--sample", 10, "--log", log,
                          "--trajectory", gsd, "--every", 15, *plot)
    assert rc == 0, err
    for row in ("particles N", "density N / V", "temperature T", "energy u = Epot / N", "pressure P", "atom-steps/s"):
        assert row in out
    assert "2 samples, every 10 steps" in out  # steps 30 and 40 of the second half
    for row in ("temperature T", "energy u = Epot / N", "pressure P"):  # with error bars
        assert " ± " in next(line for line in out.splitlines() if row in line)

    columns, meta = read_log(log)
    ref = simulation(par, seed=7, threads=1)
    ref.run(40)
    np.testing.assert_array_equal(columns["step"], np.arange(1, 41))
    for key in ("ekin", "epot", "etot", "temperature"):
        np.testing.assert_array_equal(columns[key], ref.log[key])  # one thread: bit for bit
    assert columns["pressure"][39] == ref.pressure
    assert np.isfinite(columns["pressure"]).sum() == 4
    assert meta["nr_particles"] == "64" and meta["kT"] == "1"
    frames = read_gsd(str(gsd))
    assert list(frames.steps) == [0, 15, 30, 40]
    np.testing.assert_array_equal(frames.positions[-1], ref.positions)

    if plot:
        assert png.read_bytes()[:4] == b"\x89PNG"
        rc, out, err = vorlan(capsys, "plot", log, gsd, "-o", tmp_path / "again.png")
        assert rc == 0, err
        assert (tmp_path / "again.png").read_bytes()[:4] == b"\x89PNG"


def test_run_reports_a_failed_run_without_traceback(tmp_path, capsys, param_file, simulation):
    par = tmp_path / "bad.par"
    par.write_text(params_text({"kT": None}, ("kT = 1.44 # warm",)))
    rc, out, err = vorlan(capsys, "run", par)
    assert rc == 1 and "Traceback" not in err
    assert "Could not find parameter: kT" in err and "line 11" in err and "write instead: kT = 1.44" in err


def test_ctrl_c_keeps_a_valid_log_and_trajectory(tmp_path, param_file, simulation):
    pytest.importorskip("gsd.hoomd")
    trajectory = pytest.importorskip("vorlan.trajectory")
    par = param_file({"nrsteps": "100000000"})
    log, gsd = tmp_path / "run.csv", tmp_path / "run.gsd"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")])))
    child = subprocess.Popen(
        [sys.executable, "-m", "vorlan", "run", par, "--threads", "1", "--log", log,
         "--trajectory", gsd, "--every", "10", "--sample", "5", "--quiet"],
        cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        # interrupt once the file has grown by a second frame
        deadline = time.monotonic() + 60
        sizes = {0}
        while len(sizes) < 3 and time.monotonic() < deadline and child.poll() is None:
            sizes.add(gsd.stat().st_size if gsd.exists() else 0)
            time.sleep(0.02)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 130, err
    assert "interrupted after" in err and "Traceback" not in err
    columns, _ = read_log(log)
    done = len(columns["step"])
    assert done > 0
    np.testing.assert_array_equal(columns["step"], np.arange(1, done + 1))
    assert np.isfinite(columns["etot"]).all()
    frames = trajectory.read_gsd(str(gsd))
    assert frames.steps[0] == 0 and frames.steps[-1] == done and len(frames.steps) >= 2


def test_run_in_an_ensemble_prints_it_and_the_density(tmp_path, capsys, param_file, simulation):
    log = tmp_path / "npt.csv"
    rc, out, err = vorlan(capsys, "run", param_file({"nrsteps": 40, "rcut": 2.0}), "--method", "langevin", "--friction", "1",
                          "--pressure", "1.0", "--tau-p", "1", "--couple", "xy", "--seed", "3", "--log", log, "-q")
    assert rc == 0, err
    text = log.read_text()
    assert "# method = Langevin(friction=1.0)" in text and "conserved,volume,pxx,pyy,pzz" in text
    assert "couple='xy'" in text


def test_a_system_description_carries_the_barostat(tmp_path, capsys, param_file, simulation):
    system, log = tmp_path / "npt.toml", tmp_path / "npt.csv"
    system.write_text('[barostat]\npressure = 1.0\ntau = 1.0\ncouple = "none"\n')
    params = param_file({"nrsteps": 20, "rcut": 2.0})
    rc, _, err = vorlan(capsys, "run", params, "--system", system, "--method", "bussi", "--tau", "0.5", "--seed", "3",
                        "--log", log, "-q")
    assert rc == 0, err
    assert "couple='none'" in log.read_text() and ",pxx,pyy,pzz" in log.read_text()
    rc, _, err = vorlan(capsys, "run", params, "--system", system, "--pressure", "1", "--seed", "3", "-q")
    assert rc == 2 and "both set the barostat" in err


@pytest.mark.parametrize("pair, rc, words", [
    ('potential = "yukawa"\nepsilon = 2.0\nkappa = 1.0\nrcut = 2.5', 0, "pair potential: yukawa, mode shift"),
    ('potential = "yukawa"\nepsilon = 2.0\nkappa = -1.0\nrcut = 2.5', 1, "kappa = -1"),
    ('potential = "mie"\nn = 6\nm = 12', 1, "not accepted"),
])
def test_check_reports_the_force_terms_of_a_system(tmp_path, capsys, pair, rc, words):
    path = tmp_path / "s.toml"
    path.write_text(f"[pair]\n{pair}\n[[field]]\nfield = \"wall\"\naxis = \"z\"\n")
    code, out, _ = vorlan(capsys, "check", path)
    assert code == rc and words in out
    assert code == 1 or "field: Wall(" in out


@pytest.mark.parametrize("options, rc, message", [
    (["--log", "{par}"], 1, "--log {par} is the parameter file {par}"),
    (["--trajectory", "{tmp}/link.gsd"], 1, "--trajectory {tmp}/link.gsd is the parameter file"),
    (["--log", "{tmp}/a.csv", "--plot", "{tmp}/a.csv"], 1, "--plot {tmp}/a.csv is --log {tmp}/a.csv"),
    (["--log", "{tmp}"], 1, "cannot write --log {tmp}: a directory is in its place"),
    (["--log", "{tmp}/nowhere/a.csv"], 1, "the folder {tmp}/nowhere does not exist"),
    (["--log", "/dev/null"], 1, "it is not a regular file"),
    (["--plot", "{tmp}/run.par"], 2, "'.par' names no image format"),
    (["--trajectory", "{tmp}/run.xyz"], 2, "the trajectory is written as GSD"),
    (["--threads", "100000"], 2, "threads = 100000 is not allowed: the team size must be 1 to"),
])
def test_run_refuses_its_outputs_before_it_starts(tmp_path, capsys, options, rc, message):
    if "--plot" in options:
        need_matplotlib()
    par = tmp_path / "ok.par"
    par.write_text(params_text())
    before = par.read_bytes()
    os.symlink(par, tmp_path / "link.gsd")
    fill = dict(par=par, tmp=tmp_path)
    got, out, err = vorlan(capsys, "run", par, "--steps", 5, *[o.format(**fill) for o in options])
    assert got == rc and message.format(**fill) in err and "Traceback" not in err
    assert par.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["link.gsd", "ok.par"]


@pytest.mark.parametrize("argv, message", [
    (["check", "/dev/zero"], "/dev/zero: is a character device, not a parameter file"),
    (["run", "/dev/zero"], "/dev/zero: is a character device, not a parameter file"),
    (["plot", "/dev/zero"], "/dev/zero: is a character device, not a run log"),
    (["check", "{tmp}/big.par"], "longer than 1048576 bytes"),
    (["plot", "{tmp}/nul.csv"], "nul.csv, line 2: "),
    (["plot", "{tmp}/empty.gsd"], "empty.gsd: cannot be read as a GSD trajectory"),
    (["plot", "{tmp}/garbage.gsd"], "garbage.gsd: cannot be read as a GSD trajectory"),
    (["convert", "{tmp}/cut.gsd", "{tmp}/out.xyz"], "cut.gsd: cannot be read as a GSD trajectory"),
    (["convert", "{tmp}/negative.xyz", "{tmp}/out.gsd"], "expected the particle count, got '-1'"),
    (["convert", "{tmp}/garbage.gsd", "{tmp}/garbage.gsd"], "the output {tmp}/garbage.gsd is the input file {tmp}/garbage.gsd"),
])
def test_inputs_that_are_no_files_of_their_kind_are_errors(tmp_path, capsys, param_file, argv, message):
    pytest.importorskip("gsd.hoomd")
    from vorlan.io.gsd import GSDWriter

    (tmp_path / "big.par").write_text(params_text() + "#" * (1 << 20))
    (tmp_path / "nul.csv").write_text("step,ekin\n1,\x002\n")
    (tmp_path / "empty.gsd").write_bytes(b"")
    (tmp_path / "garbage.gsd").write_bytes(bytes(range(256)) * 20)
    (tmp_path / "negative.xyz").write_text("-1\n\n")
    with GSDWriter(tmp_path / "whole.gsd", (5, 5, 5), 2) as w:
        for step in range(3):
            w.write(step, np.ones((2, 3)), np.zeros((2, 3)))
    (tmp_path / "cut.gsd").write_bytes((tmp_path / "whole.gsd").read_bytes()[:700])
    rc, out, err = vorlan(capsys, *[a.format(tmp=tmp_path) for a in argv])
    assert rc == 1 and message.format(tmp=tmp_path) in err and "Traceback" not in err
    assert not (tmp_path / "out.xyz").exists()


def test_outputs_that_cannot_be_finished_are_reported(tmp_path, param_file):
    # A file-size limit stands in for a full disk: every write past it fails.
    pytest.importorskip("gsd.hoomd")
    import resource

    par = param_file()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")])))

    def vorlan_run(*options):
        return subprocess.run(
            [sys.executable, "-m", "vorlan", "run", par, "-q", *options], cwd=tmp_path, env=env, text=True,
            capture_output=True, timeout=120,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (30000, 30000)))

    r = vorlan_run("--steps", "200", "--trajectory", "run.gsd", "--every", "1")
    assert r.returncode == 1 and "Traceback" not in r.stderr, r.stderr
    assert "vorlan run: error: cannot write the trajectory run.gsd: File too large; it holds the first" in r.stderr
    r = vorlan_run("--steps", "2000", "--log", "run.csv")
    assert r.returncode == 1 and "Traceback" not in r.stderr, r.stderr
    assert "vorlan run: error: cannot write the log run.csv: File too large" in r.stderr
    assert not (tmp_path / "run.csv").exists() and not [f for f in os.listdir(tmp_path) if f.endswith(".tmp")]


@pytest.mark.parametrize("argv, outcome", [
    (["--method", "nose-hoover", "--tau", "0.5", "--pressure", "1", "--couple", "none", "--seed", "1"],
     (NoseHoover(0.5, 3), CRescale(1.0, 2.0, couple="none"))),
    (["--method", "bussi", "--tau", "0.5", "--friction", "1", "--seed", "1"], "--friction does not apply to --method bussi"),
    (["--method", "langevin", "--seed", "1"], "--method langevin needs --friction"),
    (["--couple", "xy"], "--couple does not apply to --method berendsen without --pressure"),
    (["--method", "bussi", "--tau", "0.5"], "give --seed"),
    (["--method", "nose-hoover", "--tau", "0.5", "--chain", "0"], "chain = 0 is not allowed"),
])
def test_ensemble_options_follow_the_registry(argv, outcome):
    from vorlan.cli.common import UsageError, add_ensemble_arguments, ensemble

    parser = argparse.ArgumentParser()
    add_ensemble_arguments(parser)
    parser.add_argument("--seed", type=int)
    args = parser.parse_args(argv)
    if isinstance(outcome, tuple):
        assert ensemble(args) == outcome
    else:
        with pytest.raises((UsageError, ValueError), match=re.escape(outcome)):
            ensemble(args)
