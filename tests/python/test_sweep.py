"""vorlan.sweep: many runs on an executor, reproducible, resumable, nothing lost."""

import argparse
import concurrent.futures as cf
import functools
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import vorlan  # noqa: E402
import vorlan.sweeps.worker  # noqa: E402
from vorlan.analysis import block_error  # noqa: E402
from vorlan.cli.sweep import add_parser  # noqa: E402
from vorlan.sweeps import SweepFailed, executor_for, read_sweep, sweep  # noqa: E402
from vorlan.sweeps.plan import plan  # noqa: E402
from vorlan.sweeps.table import DamagedResultWarning  # noqa: E402

# 64 particles and 60 steps: each run takes a few milliseconds.
BASE = {
    "nr_particles": 64,
    "cell_length": 5.0,
    "kT": 1.0,
    "mass": 1.0,
    "sigma": 1.0,
    "epsilon": 1.0,
    "rcut": 2.0,
    "shell": 0.3,
    "tau": 0.5,
    "stepsize": 0.005,
    "nrsteps": 60,
}
GRID = {"kT": [1.0, 1.5], "cell_length": [4.5, 5.0]}


def same_numbers(a, b):
    """Tables equal to the last bit in everything but the wall times."""
    pd.testing.assert_frame_equal(a.drop(columns="wall_time"), b.drop(columns="wall_time"), check_exact=True)


class Recording(cf.ThreadPoolExecutor):
    """A thread pool that remembers which runs it was given."""

    def __init__(self):
        super().__init__(max_workers=2)
        self.names = []

    def submit(self, fn, task):
        self.names.append(task["name"])
        return super().submit(fn, task)


def _dies_once(marker, victim, task):
    """Stands in for vorlan.sweeps.worker.run_one in the driver: the run `victim` kills
    its worker process after it ran, before its result leaves, the first time
    only (the marker file remembers). Workers are fresh processes, so there
    vorlan.sweeps.worker.run_one is the real one."""
    import vorlan.sweeps.worker

    result = vorlan.sweeps.worker.run_one(task)
    if task["name"] == victim and not os.path.exists(marker):
        open(marker, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return result


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """The sweep on the default process pool: 4 points, 2 replicas."""
    return sweep(BASE, GRID, replicas=2, seed=7, results=tmp_path_factory.mktemp("pool"))


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("dask.distributed")
    # dashboard_address=None still tries port 8787 (and warns, an error here, when
    # another suite's cluster holds it): a free port of the system's choosing
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=50
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def test_table_has_a_row_per_run_and_physical_averages(reference):
    assert list(reference[["kT", "cell_length", "replica"]].itertuples(index=False, name=None)) == [
        (kT, L, r) for kT in GRID["kT"] for L in GRID["cell_length"] for r in range(2)
    ]
    assert (reference["status"] == "ok").all()
    assert reference["seed"].is_unique
    np.testing.assert_allclose(reference["rho"], 64 / reference["cell_length"] ** 3)
    # The thermostat holds the temperature near kT; the ideal-gas part makes P grow with T.
    np.testing.assert_allclose(reference["T"], reference["kT"], rtol=0.25)
    errors = reference[["T_err", "u_err", "P_err", "e_err"]].to_numpy()
    assert np.isfinite(errors).all() and (errors > 0).all()
    # Replicas of one point start from different velocities.
    assert not np.array_equal(reference["u"][::2].to_numpy(), reference["u"][1::2].to_numpy())


def test_dask_cluster_gives_the_pool_table(reference, dask_client, tmp_path):
    table = sweep(BASE, GRID, replicas=2, seed=7, executor=dask_client.get_executor(), results=tmp_path)
    same_numbers(table, reference)
    assert read_sweep(tmp_path).equals(table)


@pytest.mark.parametrize("where", ["pool", "dask"])
def test_killed_worker_loses_no_run(where, reference, request, tmp_path, monkeypatch):
    executor = request.getfixturevalue("dask_client").get_executor() if where == "dask" else None
    marker = tmp_path / "killed-p0001-r00"
    monkeypatch.setattr(vorlan.sweeps.worker, "run_one", functools.partial(_dies_once, str(marker), "p0001-r00"))
    table = sweep(BASE, GRID, replicas=2, seed=7, executor=executor, results=tmp_path)
    assert marker.exists()
    same_numbers(table, reference)


def test_failing_runs_become_rows_and_the_rest_go_on(tmp_path):
    # 512 particles in a box of 5: the lattice start overlaps them and the run blows up.
    grid = [{"kT": 1.0}, {"nr_particles": 512}, {"kT": 2.0}]
    table = sweep(BASE, grid, executor=cf.ThreadPoolExecutor(2), results=tmp_path)
    assert list(table["status"]) == ["ok", "failed", "ok"]
    assert "unstable" in table.loc[1, "message"]
    assert table.loc[[1], ["u", "P"]].isna().all().all()
    assert np.isfinite(table.loc[[0, 2], ["u", "P", "u_err", "P_err"]].to_numpy()).all()
    # Every run, failed or not, has its summary on disk.
    assert sorted(p.name for p in tmp_path.glob("p*.json")) == [f"p000{i}-r00.json" for i in range(3)]
    # A value that no parameter file can hold is refused before any run.
    with pytest.raises(ValueError, match="nr_particles = six is not allowed"):
        sweep(BASE, [{"nr_particles": "six"}], results=tmp_path / "bad")


def test_sweep_over_the_composition_of_a_mixture(tmp_path):
    (tmp_path / "ab.toml").write_text('[species]\nA = { fraction = 0.5 }\nB = { fraction = 0.5, mass = 2.0 }\n'
                                      '[start]\nseed = 3\n')
    table = sweep(BASE, {"fraction.B": [0.25, 0.5]}, executor=cf.ThreadPoolExecutor(2), results=tmp_path / "s",
                  system=tmp_path / "ab.toml")
    assert list(table["status"]) == ["ok", "ok"] and list(table["fraction.B"].astype(float)) == [0.25, 0.5]
    # a heavier B at the same temperature: the same kinetic, another potential energy
    assert table.loc[0, "u"] != table.loc[1, "u"]
    with pytest.raises(KeyError, match="give the system description"):
        sweep(BASE, {"fraction.B": [0.5]}, results=tmp_path / "t")


def test_sweep_over_a_pair_parameter(tmp_path):
    (tmp_path / "y.toml").write_text('[pair]\npotential = "yukawa"\nepsilon = 2.0\nkappa = 1.0\nrcut = 2.0\n')
    table = sweep(BASE, {"pair.kappa": [0.5, 2.0]}, executor=cf.ThreadPoolExecutor(2), results=tmp_path / "s",
                  system=tmp_path / "y.toml")
    assert list(table["status"]) == ["ok", "ok"] and list(table["pair.kappa"].astype(float)) == [0.5, 2.0]
    assert table.loc[0, "u"] > table.loc[1, "u"]  # a longer screening length, more repulsion
    (tmp_path / "ab.toml").write_text(
        '[species]\nA = {}\nB = {}\n' + "".join(f'[[pair]]\nbetween = ["{a}", "{b}"]\nepsilon = 1.0\nsigma = 1.0\n'
                                              for a, b in ("AA", "AB", "BB")))
    tasks, varied = plan(BASE, {"pair.B-A.epsilon": [0.5], "pair.sigma": [0.9]}, None, 1, 0, system=tmp_path / "ab.toml")
    pairs = tasks[0]["system"].pairs
    assert varied == ["pair.B-A.epsilon", "pair.sigma"] and pairs[("A", "B")] == {"epsilon": 0.5, "sigma": 0.9}
    assert pairs[("A", "A")] == {"epsilon": 1.0, "sigma": 0.9}
    with pytest.raises(ValueError, match="kappa = -1"):
        sweep(BASE, {"pair.kappa": [-1.0]}, results=tmp_path / "t", system=tmp_path / "y.toml")
    with pytest.raises(KeyError, match="varies a pair potential"):
        sweep(BASE, {"pair.epsilon": [1.0]}, results=tmp_path / "u")


def test_a_missing_extra_is_reported_before_any_run(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    ran = Recording()
    with pytest.raises(ImportError, match=r"pip install 'vorlan\[sweep\]'"):
        sweep(BASE, GRID, executor=ran, results=tmp_path)
    assert ran.names == []


def test_resume_runs_only_what_is_missing(tmp_path):
    first = sweep(BASE, {"kT": [1.0, 1.5]}, replicas=2, seed=3, executor=Recording(), results=tmp_path)
    (tmp_path / "p0001-r00.json").unlink()  # as if interrupted before this run ended

    again = Recording()
    same_numbers(sweep(BASE, {"kT": [1.0, 1.5]}, replicas=2, seed=3, executor=again, results=tmp_path), first)
    assert again.names == ["p0001-r00"]

    # More replicas later: the earlier runs keep their seeds and are not run again.
    more = Recording()
    table = sweep(BASE, {"kT": [1.0, 1.5]}, replicas=3, seed=3, executor=more, results=tmp_path)
    assert more.names == ["p0000-r02", "p0001-r02"]
    same_numbers(table[table["replica"] < 2].reset_index(drop=True), first)

    # Another sweep in the same directory is refused, not mixed in.
    with pytest.raises(ValueError, match="kT = 1 there, 1.25 now"):
        sweep(BASE, {"kT": [1.25]}, seed=3, results=tmp_path)


@pytest.mark.parametrize("damage, why", [
    (lambda text: "", "Expecting value"),
    (lambda text: text[: len(text) // 2], "Unterminated string|Expecting"),
    (lambda text: "{}", "no str 'name'"),
    (lambda text: "[1, 2]", "a JSON list, not an object"),
    (lambda text: text.replace('"nrsteps": "60"', '"nrsteps": 60'), "not a mapping of setting names"),
    (lambda text: re.sub(r'"u": [^,]+', '"u": NaN', text), "holds NaN"),
    (lambda text: re.sub(r'"P_err": [^,]+', '"P_err": Infinity', text), "holds Infinity"),
    (lambda text: re.sub(r'"T": [^,]+', '"T": 1e999', text), "'T' is not a number"),
])
def test_a_damaged_summary_is_named_and_its_run_done_again(tmp_path, damage, why):
    first = sweep(BASE, {"kT": [1.0, 1.5]}, seed=3, executor=Recording(), results=tmp_path)
    summary = tmp_path / "p0001-r00.json"
    summary.write_text(damage(summary.read_text()))
    with pytest.warns(DamagedResultWarning, match=f"p0001-r00.json is not a run summary \\(.*({why}).*left out"):
        assert list(read_sweep(tmp_path)["kT"]) == [1.0]
    again = Recording()
    with pytest.warns(DamagedResultWarning, match="p0001-r00.json .* its run is done again"):
        same_numbers(sweep(BASE, {"kT": [1.0, 1.5]}, seed=3, executor=again, results=tmp_path), first)
    assert again.names == ["p0001-r00"]


@pytest.mark.parametrize(
    "grid, options, error, match",
    [
        ({"kt": [1.0]}, {}, KeyError, "'kt' is not a setting"),
        ({"kT": []}, {}, ValueError, "grid\\['kT'\\] is empty"),
        ({"kT": 1.0}, {}, TypeError, "give a list of values"),
        ({"nrsteps": [10]}, {"steps": 20}, ValueError, "steps and a grid over nrsteps"),
        ({"kT": [1.0]}, {"steps": 3}, ValueError, "steps = 3 is not allowed"),
        ({"kT": [1.0]}, {"replicas": 0}, ValueError, "replicas = 0"),
        ({"kT": [float("nan")]}, {}, ValueError, "kT = nan is not allowed"),
    ],
)
def test_bad_sweeps_are_refused_before_any_run(grid, options, error, match, tmp_path):
    with pytest.raises(error, match=match):
        sweep(BASE, grid, results=tmp_path / "out", **options)
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


def test_block_error_sees_correlation():
    # AR(1) series x_i = phi x_(i-1) + noise: the standard error of the mean is
    # sqrt((1 + phi) / (1 - phi)) times the naive one for long series.
    rng = np.random.default_rng(5)
    phi, n = 0.9, 1 << 16
    noise = rng.normal(size=n)
    x = np.empty(n)
    x[0] = noise[0]
    for i in range(1, n):
        x[i] = phi * x[i - 1] + noise[i]
    naive = x.std(ddof=1) / np.sqrt(n)
    assert block_error(x) == pytest.approx(naive * np.sqrt((1 + phi) / (1 - phi)), rel=0.25)
    white = rng.normal(size=n)
    assert block_error(white) == pytest.approx(white.std(ddof=1) / np.sqrt(n), rel=0.25)


def test_command_line_sweep_and_plot(tmp_path):
    base = tmp_path / "base.par"
    base.write_text("".join(f"{k} = {v}\n" for k, v in BASE.items()))
    parser = argparse.ArgumentParser(prog="vorlan")
    add_parser(parser.add_subparsers(dest="command"))
    out = tmp_path / "out"
    args = parser.parse_args(
        ["sweep", str(base), "--set", "kT=1.0,1.5", "--set", "cell_length=5", "--replicas", "2", "--workers", "1",
         "--out", str(out)]
    )
    assert args.func(args) == 0
    table = read_sweep(out)
    assert list(table["kT"]) == [1.0, 1.0, 1.5, 1.5] and (table["status"] == "ok").all()
    pytest.importorskip("matplotlib")
    from vorlan.sweeps import plot_sweep

    png = tmp_path / "eos.png"
    plot_sweep(out, png)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_an_isobar_is_one_call_with_the_density_and_its_error(tmp_path):
    table = sweep(BASE, {"pressure": [0.5, 3.0]}, method=vorlan.Bussi(0.1),
                  barostat=vorlan.CRescale(pressure=1.0, tau=0.5), seed=3, executor=Recording(),
                  results=tmp_path)
    assert list(table["status"]) == ["ok", "ok"]
    assert table["rho"].iloc[1] > table["rho"].iloc[0] and (table["rho_err"] > 0).all()
    with pytest.raises(KeyError, match="barostat"):
        sweep(BASE, {"pressure": [1.0]}, results=tmp_path / "none")


def test_resume_refuses_a_changed_system_and_reads_only_its_own_runs(tmp_path):
    system = tmp_path / "sys.toml"
    system.write_text('[species]\nA = { mass = 1.0 }\n')
    sweep(BASE, {"kT": [1.0]}, seed=3, system=system, executor=Recording(), results=tmp_path / "out")
    system.write_text('[species]\nA = { mass = 2.0 }\n')
    with pytest.raises(ValueError, match="run p0000-r00 started from a system description .* changed"):
        sweep(BASE, {"kT": [1.0]}, seed=3, system=system, executor=Recording(), results=tmp_path / "out")
    # a summary of another sweep dropped into the directory does not join its table
    sweep(BASE, {"kT": [1.0, 1.5]}, seed=4, executor=Recording(), results=tmp_path / "other")
    os.replace(tmp_path / "other" / "p0001-r00.json", tmp_path / "out" / "p0001-r00.json")
    with pytest.warns(DamagedResultWarning, match="p0001-r00.json is not a run of the sweep"):
        assert len(read_sweep(tmp_path / "out")) == 1


def test_a_sweep_whose_every_run_failed_raises_naming_the_first(tmp_path):
    with pytest.raises(SweepFailed, match="every run of the sweep failed .*p0000-r00: .*unstable") as failed:
        sweep(BASE, [{"nr_particles": 512}, {"nr_particles": 512, "kT": 2.0}], executor=Recording(), results=tmp_path)
    assert list(failed.value.table["status"]) == ["failed", "failed"]


def test_the_example_sweep_script_runs_on_a_process_pool(tmp_path):
    base = tmp_path / "base.par"
    base.write_text("".join(f"{k} = {v}\n" for k, v in dict(BASE, cell_length=16.93).items()))
    script = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "sweep.py")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(vorlan.__file__)))
    done = subprocess.run([sys.executable, script, "--base", str(base), "--steps", "8", "--replicas", "1",
                           "--workers", "2", "--out", str(tmp_path / "out")], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (read_sweep(tmp_path / "out")["status"] == "ok").sum() == 6


def _interrupts_the_driver(driver, results, marker, task):
    """Stands in for run_one: runs p0000 and p0001; p0002 waits until both are on
    disk, sends Ctrl-C to the driver and goes on as a long run would."""
    import vorlan.sweeps.worker

    if task["name"] != "p0002-r00":
        return vorlan.sweeps.worker.run_one(task)
    for _ in range(6000):
        if all(os.path.exists(os.path.join(results, f"p000{i}-r00.json")) for i in (0, 1)):
            break
        time.sleep(0.01)
    os.kill(driver, signal.SIGINT)
    time.sleep(60)
    open(marker, "w").close()  # reached only when the driver waits for the run instead of stopping it


def test_ctrl_c_stops_the_pool_and_keeps_the_finished_runs(tmp_path, monkeypatch):
    marker = tmp_path / "waited"
    monkeypatch.setattr(vorlan.sweeps.worker, "run_one",
                        functools.partial(_interrupts_the_driver, os.getpid(), str(tmp_path / "out"), str(marker)))
    with pytest.raises(KeyboardInterrupt):
        with executor_for(workers=2) as executor:
            sweep(BASE, {"kT": [1.0, 1.2, 1.4, 1.6]}, seed=3, executor=executor, results=tmp_path / "out")
    assert not marker.exists()
    assert {"p0000-r00.json", "p0001-r00.json"} <= {p.name for p in (tmp_path / "out").glob("p*.json")}
    monkeypatch.undo()
    again = Recording()
    sweep(BASE, {"kT": [1.0, 1.2, 1.4, 1.6]}, seed=3, executor=again, results=tmp_path / "out")
    assert "p0000-r00" not in again.names and "p0002-r00" in again.names
