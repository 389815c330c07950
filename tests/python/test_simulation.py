"""vorlan.Simulation: the same numbers as simulate, split runs, seeds and thread
counts, interrupts and other Python threads, checkpoints, observables against a
direct pair sum, and the errors of bad input."""

import fcntl
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import DEFAULT_PARAMS, PACKAGE_ROOT, needs_plain_memory
from vorlan import Simulation
from vorlan.params import UnknownSettingWarning

FIELDS = ("positions", "velocities", "forces", "images")


def child(code, tmp_path, threads=1):
    """Runs `code` in a fresh interpreter (its own process-wide random sequence)
    with the OpenMP default team size `threads`; returns its standard output."""
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def snapshot(sim):
    """Everything a continued run must reproduce, as arrays."""
    state = {name: getattr(sim, name) for name in FIELDS}
    state.update(sim.log)
    return state


def assert_same(a, b, keys=None):
    for key in keys or a:
        np.testing.assert_array_equal(a[key], b[key], err_msg=key, strict=True)


@pytest.fixture
def params():
    return dict(DEFAULT_PARAMS)


# --------------------------------------------------------------------- same numbers


@pytest.mark.parametrize("seed", [None, 1], ids=["fresh-process", "seed-1"])
def test_first_run_is_simulate_to_rounding(param_file, tmp_path, seed):
    # simulate's first run in a fresh process against a Simulation either in its own
    # fresh process (seed None: the process-wide sequence) or here with seed 1 (the
    # process-wide generator's own seed), after other draws from that sequence.
    # more particles than one block of the pair loop, so that a team of two would
    # add the energy in another order
    path = param_file({"nrsteps": "40", "nr_particles": "1000", "cell_length": "11"})
    child(
        f"""
        import numpy as np
        from vorlan.vorlan import Vorlan
        r = Vorlan().simulate({path!r})
        np.savez("simulate.npz", **{{k: np.asarray(v) for k, v in r.items()}})
        """,
        tmp_path,
    )
    if seed is None:
        child(
            f"""
            import numpy as np
            from vorlan import Simulation
            sim = Simulation({path!r}, threads=1).run()
            np.savez("sim.npz", positions=sim.positions, velocities=sim.velocities, **sim.log)
            """,
            tmp_path,
        )
        got = dict(np.load(tmp_path / "sim.npz"))
    else:
        Simulation(path, threads=1)  # moves the process-wide sequence on
        sim = Simulation(path, seed=seed, threads=1).run()
        got = dict(positions=sim.positions, velocities=sim.velocities, **sim.log)
    want = np.load(tmp_path / "simulate.npz")
    # the same steps; a Simulation sums its energies exactly, simulate chains them
    # in particle order: the two differ in the last bits, and the thermostat
    # carries that on
    for key in ["ekin", "epot", "etot", "positions", "velocities"]:
        np.testing.assert_allclose(got[key], want[key], rtol=1e-10, atol=1e-10, err_msg=key)
    np.testing.assert_array_equal(got["step"], np.arange(1, 41))


@pytest.mark.parametrize(
    "pieces, every",
    [((7, 13), None), ((1, 1, 18), None), ((20,), 3), ((5, 15), 4)],
    ids=["two", "three", "every-3", "split-every-4"],
)
def test_split_runs_equal_unbroken(params, pieces, every):
    params["shell"] = "0.1"  # several list rebuilds within 20 steps
    whole = Simulation(params, seed=3, threads=1).run(20)
    split = Simulation(params, seed=3, threads=1)
    calls = []
    for n in pieces:
        split.run(n, every=every, callback=(lambda s: calls.append(s.step)) if every else None)
    assert split.step == 20 and split.time == pytest.approx(20 * 0.005)
    assert_same(snapshot(whole), snapshot(split))
    if every:
        assert calls == list(range(every, 21, every))


def test_seeds_across_processes_and_thread_counts(params, tmp_path):
    # seed 11 on two threads in a fresh process against seed 11 on one thread here,
    # after the process-wide sequence and another seed have been drawn from
    child(
        f"""
        import numpy as np
        from vorlan import Simulation
        sim = Simulation({params!r}, seed=11, threads=2).run(30)
        np.savez("two.npz", positions=sim.positions, velocities=sim.velocities, **sim.log)
        """,
        tmp_path,
        threads=2,
    )
    Simulation(params)
    other = Simulation(params, seed=12, threads=1)
    one = Simulation(params, seed=11, threads=1)
    assert one.threads == 1
    assert not np.array_equal(one.velocities, other.velocities)
    one.run(30)
    two = np.load(tmp_path / "two.npz")
    # per-particle results and the kinetic energy (summed in particle order) exactly,
    # the potential energy up to the order of the threads' partial sums
    assert_same(two, snapshot(one), ["positions", "velocities", "ekin", "temperature"])
    np.testing.assert_allclose(two["epot"], one.log["epot"], rtol=1e-12)


def test_threads_do_not_change_the_trajectory(params):
    params["nr_particles"], params["cell_length"] = "1000", "11"  # enough particles to split
    runs = [Simulation(params, seed=5, threads=t).run(15) for t in (1, 2)]
    assert [r.threads for r in runs] == [1, 2]
    assert_same(*(snapshot(r) for r in runs), ["positions", "velocities", "forces", "images", "ekin"])


# --------------------------------------------------------------------- interrupts, other threads


@pytest.mark.parametrize("callback", [False, True], ids=["engine-polls", "callback-every-step"])
def test_ctrl_c_stops_after_a_whole_step_and_the_run_continues(tmp_path, callback):
    # The signal is sent from another thread while the engine steps, once 3 steps
    # are done. The run stops after a whole step, logged, and continues. With a
    # callback after every step the interpreter sees the signal at the next one:
    # the run stops at most one step after the count read right after the signal,
    # however loaded the machine. Without one the engine polls the signal every
    # 20 ms of stepping (its latency in seconds: bench/interrupt_latency.py).
    out = child(
        f"""
        import os, signal, threading, time
        from vorlan import Simulation
        sim = Simulation({{"nr_particles": 4000, "cell_length": 16.8, "kT": 1, "mass": 1, "sigma": 1,
                          "epsilon": 1, "rcut": 2.5, "shell": 0.3, "tau": 0.5, "stepsize": 0.001}}, seed=2)
        counted = []
        def interrupt():
            while sim.step < 3:
                time.sleep(0.001)
            os.kill(os.getpid(), signal.SIGINT)
            counted.append(sim.step)
        threading.Thread(target=interrupt).start()
        try:
            sim.run(10**6, **(dict(every=1, callback=lambda s: None) if {callback} else {{}}))
        except KeyboardInterrupt:
            pass
        done = sim.step
        print(*counted, done, len(sim.log["ekin"]), sim.log["step"][-1])
        sim.run(3)
        print(sim.step - done, len(sim.log["ekin"]) - done)
        """,
        tmp_path,
    )
    stopped, continued = out.splitlines()
    after, done, logged, last = map(int, stopped.split())
    assert 3 <= done < 10**6 and logged == done and last == done
    if callback:
        assert done <= after + 1
    assert continued.split() == ["3", "3"]


def test_other_threads_run_while_the_engine_steps(params):
    params["nr_particles"], params["cell_length"] = "512", "8.5"
    sim = Simulation(params, seed=4)
    ticks, refused, stop = [], [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(sim.step)
            try:
                sim.positions
            except RuntimeError as e:
                refused.append(str(e))
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        started = time.perf_counter()
        while time.perf_counter() - started < 0.3:
            sim.run(50)
    finally:
        stop.set()
        t.join()
    # the ticker ran during the engine's steps (it saw runs in progress)
    assert len(ticks) > 20 and refused
    assert "running in another thread" in refused[0]


def test_callback_exception_stops_after_its_step(params):
    def fail(sim):
        if sim.step == 6:
            raise LookupError("enough")

    sim = Simulation(params, seed=1)
    with pytest.raises(LookupError, match="enough"):
        sim.run(20, every=3, callback=fail)
    assert sim.step == 6 and len(sim.log["etot"]) == 6


# --------------------------------------------------------------------- checkpoints


def test_checkpoint_continues_bit_for_bit(params, tmp_path):
    params["shell"] = "0.1"
    sim = Simulation(params, seed=9, threads=1).run(7)
    path = tmp_path / "state.npz"
    sim.save(path)
    sim.save(path)  # replacing an earlier checkpoint
    assert sorted(os.listdir(tmp_path)) == ["state.npz"]  # no temporary left behind
    virial = sim.virial
    sim.run(13)
    back = Simulation.load(path, threads=1)
    assert back.step == 7 and back.seed == 9 and back.parameters == sim.parameters
    assert back.virial == virial
    back.run(13)
    assert_same(snapshot(sim), snapshot(back))
    assert back.epot == sim.epot and back.time == sim.time and back.virial == sim.virial
    # a checkpoint written before the virial was kept: evaluated anew on loading
    older = dict(np.load(path))
    del older["virial"]
    np.savez(path, **older)
    assert Simulation.load(path).virial == pytest.approx(virial, rel=1e-12)


def test_pickled_simulation_continues_bit_for_bit(params):
    sim = Simulation(params, seed=9, threads=1).run(4)
    copy = pickle.loads(pickle.dumps(sim))
    assert_same(snapshot(sim.run(6)), snapshot(copy.run(6)))


def _setting(name, value):
    def change(d):
        keys = d["parameter_keys"].tolist()
        d["parameter_values"][keys.index(name)] = value
    return change


def _set(name, value):
    return lambda d: d.__setitem__(name, value)


@pytest.mark.parametrize("change, message", [
    # every list entry is checked: past the last run, inside a run, the start offsets
    (lambda d: d.__setitem__("neighbor_list", np.append(d["neighbor_list"], np.uint32(4000000000))),
     r"entry \d+ \(4000000000\) lies after the last run"),
    (lambda d: d.__setitem__("neighbor_list", np.append(d["neighbor_list"], np.full(7, 0x7FFFFFF0, np.uint32))),
     "lies after the last run"),
    (lambda d: d["neighbor_list"].__setitem__(70, 4000000000), r"entry 70 \(4000000000\) is not a particle index"),
    (lambda d: d["neighbor_list"].__setitem__(0, len(d["neighbor_list"]) + 5), "entry 0 .* is not where the run"),
    # the constructor's rules and finiteness, before any step
    (_setting("cell_length", "0"), "cell_length = 0 is not allowed"),
    (_setting("rcut", "100"), "rcut = 100 and cell_length = 5 are not allowed"),
    (_setting("shell", "-0.3"), "shell = -0.3 are not allowed"),
    (lambda d: d["positions"].__setitem__((3, 1), np.nan), "position of particle 3 is .*nan.*must be finite"),
    (lambda d: d["positions"].__setitem__((3, 1), 40.0), "particle 3 has coordinate 1 = 40, outside the box"),
    (lambda d: d["log_epot"].__setitem__(0, np.inf), "energy log must hold finite energies"),
    # not a checkpoint: each a ValueError that says why
    (lambda d: d.pop("seed"), "not a vorlan checkpoint: it has no entry 'seed'"),
    (lambda d: d.pop("log_volume"), "not a vorlan checkpoint: it has no entry 'log_volume'"),
    (_set("step", np.int64(-1)), r"not a vorlan checkpoint: its step -1 is outside 0 \.\. 4294967295"),
    (_set("step", np.int64(2**40)), "its step 1099511627776 is outside"),
    (_set("neighbor_list", np.zeros(3)), "'neighbor_list' holds float64 values"),
    (_set("positions", np.zeros(3)), "'positions' has 1 dimension"),
    (_set("parameter_values", np.frombuffer(np.uint32(0x110000).tobytes(), "<U1")), "not valid Unicode"),
])
def test_crafted_checkpoints_are_refused_before_any_step(params, tmp_path, change, message):
    path = tmp_path / "state.npz"
    Simulation(params, seed=9).run(2).save(path)
    data = dict(np.load(path))
    change(data)
    np.savez(path, **data)
    with pytest.raises(ValueError, match=message):
        Simulation.load(path)


@pytest.mark.parametrize("kind, message", [
    ("npy", "not a vorlan checkpoint: it holds a single array"),
    ("text", "is not a vorlan checkpoint: "),  # NumPy names the pickle it refuses
    ("truncated", "not a vorlan checkpoint: File is not a zip file"),
    ("/dev/zero", "is a character device, not a checkpoint"),
    ("directory", "is a directory, not a checkpoint"),
])
def test_files_that_are_no_checkpoints(params, tmp_path, kind, message):
    path = tmp_path / "state.npz"
    Simulation(params).save(path)
    if kind == "npy":
        np.save(tmp_path / "state.npy", np.zeros(3))
        path = tmp_path / "state.npy"
    elif kind == "text":
        path.write_text("nr_particles = 64\n")
    elif kind == "truncated":
        path.write_bytes(path.read_bytes()[:3000])
    else:
        path = "/dev/zero" if kind == "/dev/zero" else tmp_path
    with pytest.raises(ValueError, match=message):
        Simulation.load(path)


def test_a_save_clears_the_temporaries_of_killed_saves(params, tmp_path):
    path = tmp_path / "state.npz"
    stale, fresh, held = (tmp_path / f".state.npz.{token}.tmp" for token in ("0badf00d", "5ca1ab1e", "c0ffee00"))
    for f in (stale, fresh, held):
        f.write_bytes(b"x" * 100)
    for f in (stale, held):
        os.utime(f, (time.time() - 3600,) * 2)
    with open(held, "rb") as writer:  # a save in progress holds its file locked
        fcntl.flock(writer, fcntl.LOCK_EX)
        Simulation(params).save(path)
    assert sorted(os.listdir(tmp_path)) == sorted(["state.npz", fresh.name, held.name])


# --------------------------------------------------------------------- observables


def lj_reference(x, box, rcut, sigma=1.0, epsilon=1.0):
    """Forces, shifted potential energy and virial by a direct O(N^2) minimum-image sum."""
    d = x[:, None, :] - x[None, :, :]
    d -= box * np.round(d / box)
    r2 = np.einsum("ijk,ijk->ij", d, d)
    np.fill_diagonal(r2, 4 * rcut * rcut)  # no self-pair
    inside = r2 < rcut * rcut
    sr6 = np.where(inside, (sigma**2 / r2) ** 3, 0.0)
    fr = np.where(inside, 24 * epsilon * (2 * sr6 * sr6 - sr6) / r2, 0.0)  # F_ij = fr * r_ij
    shift = (sigma / rcut) ** 12 - (sigma / rcut) ** 6
    epot = 0.5 * np.sum(np.where(inside, 4 * epsilon * (sr6 * sr6 - sr6 - shift), 0.0))
    forces = np.einsum("ij,ijk->ik", fr, d)
    virial = 0.5 * np.sum(fr * r2)
    return forces, epot, virial


def test_observables_against_a_direct_pair_sum(params):
    # own start state: a jittered lattice, shifted partly out of the box, and given velocities
    n, box = 64, 5.0
    rng = np.random.default_rng(0)
    grid = (np.indices((4, 4, 4)).reshape(3, -1).T + 0.5) * (box / 4)
    x = grid + rng.uniform(-0.1, 0.1, grid.shape) + np.array([box, -box, 0.0])
    v = rng.normal(size=(n, 3))
    v -= v.mean(axis=0)  # no drift: used exactly as given
    params.update(rcut="2.4", cell_length=str(box))
    sim = Simulation(params, positions=x, velocities=v)
    wrapped = x % box
    np.testing.assert_allclose(sim.positions, wrapped, rtol=0, atol=1e-12)
    np.testing.assert_array_equal(sim.velocities, v)
    forces, epot, virial = lj_reference(sim.positions, box, 2.4)
    np.testing.assert_allclose(sim.forces, forces, rtol=1e-10, atol=1e-10)
    assert sim.epot == pytest.approx(epot, rel=1e-10)
    assert sim.virial == pytest.approx(virial, rel=1e-10)
    ekin = 0.5 * np.sum(v * v)
    assert sim.ekin == pytest.approx(ekin, rel=1e-13)
    assert sim.temperature == pytest.approx(2 * ekin / (3 * n - 3), rel=1e-13)
    assert sim.pressure == pytest.approx((2 * ekin + virial) / (3 * box**3), rel=1e-10)
    assert sim.density == n / box**3
    # after steps: the same relations at the new state, the log's temperature included
    sim.run(5)
    forces, epot, virial = lj_reference(sim.positions, box, 2.4)
    assert sim.virial == pytest.approx(virial, rel=1e-10)
    assert sim.log["temperature"][-1] == sim.temperature == 2 * sim.ekin / (3 * n - 3)
    unwrapped = sim.positions + sim.images * box
    assert np.abs(unwrapped - wrapped).max() < 0.5  # images count from the wrapped start


def test_virial_and_atoms_agree_with_ase(params):
    pytest.importorskip("ase")
    from ase.calculators.lj import LennardJones

    sim = Simulation(params, seed=6).run(10)
    atoms = sim.to_ase()
    np.testing.assert_array_equal(atoms.get_positions(), sim.positions)
    np.testing.assert_allclose(atoms.get_velocities(), sim.velocities, rtol=1e-14)
    atoms.calc = LennardJones(sigma=1.0, epsilon=1.0, rc=2.5, smooth=False)
    # ASE's stress holds the configurational part -W/V on its diagonal
    assert -np.trace(atoms.get_stress(voigt=False)) * sim.volume == pytest.approx(sim.virial, rel=1e-10)
    assert atoms.get_potential_energy() == pytest.approx(sim.epot, rel=1e-10)


def test_steering_a_setting_between_runs(params):
    steered, plain = (Simulation(params, seed=2, threads=1).run(5) for _ in range(2))
    steered.set("kT", 3.0)
    steered.set("stepsize", 0.002)
    steered.run(5)
    plain.run(5)
    assert steered.parameters["kT"] == "3"
    assert steered.time == pytest.approx(5 * 0.005 + 5 * 0.002)
    np.testing.assert_array_equal(steered.log["ekin"][:5], plain.log["ekin"][:5])
    assert steered.log["ekin"][5] > plain.log["ekin"][5]  # the thermostat heats towards the new kT


# --------------------------------------------------------------------- frames and progress


def test_trajectory_frames_first_every_and_last(params, monkeypatch, tmp_path):
    frames = []

    class Writer:
        def __init__(self, path, box, nr_particles, type_name, dt):
            assert dt == 0.005 and type_name == ["A"]
            assert path == str(tmp_path / "run.gsd") and nr_particles == 64
            np.testing.assert_array_equal(box, [5.0, 5.0, 5.0])

        def write(self, step, positions, velocities, images, time, box, typeid):
            assert positions.shape == velocities.shape == images.shape == (64, 3) and box.shape == (3,)
            assert time == pytest.approx(step * 0.005)
            frames.append(step)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            frames.append("closed")

    import vorlan.io.gsd

    monkeypatch.setattr(vorlan.io.gsd, "GSDWriter", Writer)
    sim = Simulation(params, seed=1)
    sim.run(2)
    sim.run(9, every=4, trajectory=tmp_path / "run.gsd")
    assert frames == [2, 4, 8, 11, "closed"]


def test_trajectory_file_holds_the_states_written(params, tmp_path):
    trajectory = pytest.importorskip("vorlan.trajectory")
    pytest.importorskip("gsd")
    sim = Simulation(params, seed=1)
    first = sim.positions
    sim.run(5, every=2, trajectory=tmp_path / "run.gsd")
    t = trajectory.read_gsd(tmp_path / "run.gsd")
    assert t.steps.tolist() == [0, 2, 4, 5] and t.dt == 0.005
    np.testing.assert_array_equal(t.positions[0], first)
    np.testing.assert_array_equal(t.positions[-1], sim.positions)

    def stop(s):
        if s.step == 8:
            raise KeyboardInterrupt
    # frames every 3 steps, a callback every 2 that stops the run at step 8: the
    # trajectory still ends with the state the run ends with
    with pytest.raises(KeyboardInterrupt):
        sim.run(10, every=2, callback=stop, trajectory=tmp_path / "stopped.gsd", trajectory_every=3)
    t = trajectory.read_gsd(tmp_path / "stopped.gsd")
    assert sim.step == 8 and t.steps.tolist() == [5, 6, 8]
    np.testing.assert_array_equal(t.positions[-1], sim.positions)
    np.testing.assert_array_equal(t.images[-1], sim.images)


def test_progress_only_when_asked(params, capsys):
    sim = Simulation(params, seed=1)
    sim.run(3)
    assert capsys.readouterr() == ("", "")
    sim.run(3, progress=True)
    err = capsys.readouterr().err
    assert "atom-steps/s" in err


# --------------------------------------------------------------------- bad input

@pytest.mark.parametrize(
    "kwargs, changes, error, message",
    [
        ({"threads": 0}, {}, ValueError, "threads = 0 is not allowed"),
        ({"threads": -2}, {}, ValueError, "threads = -2"),
        ({"threads": 100000}, {}, ValueError, "threads = 100000 is not allowed: the team size must be 1 to"),
        ({"positions": np.full((64, 3), 1e300)}, {}, ValueError, "at most 1e.06 box lengths"),
        ({"velocities": np.full((64, 3), 1e300)}, {}, ValueError, "kinetic energy .* is inf"),
        ({}, {"kT\nmass": "1"}, ValueError, "not allowed as a setting name.*did you mean 'mass'"),
        ({"seed": 0}, {}, ValueError, "seed = 0 is not allowed"),
        ({"positions": np.zeros((64, 2))}, {}, ValueError, r"positions has shape \(64, 2\)"),
        ({"positions": np.zeros((63, 3))}, {}, ValueError, "nr_particles = 64"),
        ({"velocities": np.full((64, 3), np.nan)}, {}, ValueError, "must be finite"),
        ({}, {"cell_length": None}, RuntimeError, "Could not find parameter: cell_length"),
        ({}, {"stepsize": None}, RuntimeError, "Could not find parameter: stepsize"),
        ({}, {"mass": "heavy"}, ValueError, "mass = heavy is not allowed"),
        ({}, {"nrsteps": -5}, ValueError, "nrsteps = -5 is not allowed: the file format has no sign"),
        ({}, {"mass": "0"}, ValueError, "mass = 0 is not allowed"),
    ],
)
def test_bad_construction(params, kwargs, changes, error, message):
    for key, value in changes.items():
        if value is None:
            del params[key]
        else:
            params[key] = value
    with pytest.raises(error, match=message):
        Simulation(params, **kwargs)


@needs_plain_memory
def test_a_team_that_cannot_start_is_an_exception(run_python, params):
    # too little address space for the threads' stacks: the OpenMP runtime would
    # end the process, the trial start reports it first
    r = run_python(f"""
        import resource
        from vorlan import Simulation, _core
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20),) * 2)
        try:
            Simulation({params!r}, threads=_core.max_threads())
        except RuntimeError as e:
            print(e)
    """)
    assert r.returncode == 0 and "threads cannot be started here" in r.stdout, r.stdout + r.stderr


def test_unknown_settings_are_kept_with_a_warning(params, tmp_path):
    with pytest.warns(UnknownSettingWarning, match="'kt' is not a setting the engine reads.*did you mean 'kT'"):
        sim = Simulation({**params, "kt": "2"})
    with pytest.warns(UnknownSettingWarning, match="'bogus'"):
        sim.set("bogus", 3)
    assert sim.parameters["kt"] == "2" and sim.parameters["bogus"] == "3"


def test_bad_file_and_run_arguments(params, param_file):
    with pytest.raises(Exception, match="Cannot open file: /no/such.par") as info:
        Simulation("/no/such.par")
    assert type(info.value) is Exception
    sim = Simulation(param_file(), seed=1)
    for kwargs, error, message in [
        ({"every": 0}, ValueError, "every = 0"),
        ({"steps": -1}, ValueError, "steps = -1"),
        ({"callback": 3, "every": 1}, TypeError, "not callable"),
        ({"callback": print}, ValueError, "needs every"),
        ({"steps": 2**32}, OverflowError, "cannot go beyond 4294967295"),
    ]:
        with pytest.raises(error, match=message):
            sim.run(**{"steps": 2, **kwargs})
    for key, value, message in [("nr_particles", 8, "cannot change"), ("tau", 0, "tau = 0 is not allowed")]:
        with pytest.raises(ValueError, match=message):
            sim.set(key, value)
    assert sim.step == 0 and sim.parameters["tau"] == "0.5"
