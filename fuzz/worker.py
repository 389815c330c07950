"""Long-lived worker of the fuzzer: runs one input of a target for each path read
from standard input and answers with one JSON line per input.

Targets:

    simulate     the input is a parameter file: ``Vorlan().simulate(path)``
    checkpoint   the input is a checkpoint: ``Simulation.load(path)``, then ``run(2)``
    cli          the first byte picks a command of ``vorlan`` (check, run, plot,
                 convert; COMMANDS), the rest is its input file
    starts       the first byte picks a start format (STARTS: GSD, extended XYZ,
                 LAMMPS data, a system description in TOML or JSON), the rest is
                 the file: ``Simulation.from_file`` or ``read_system(...).arguments``,
                 then ``run(2)``
    methods      lines ``key = value`` naming a method, a barostat and their
                 parameters (METHOD_KEYS): the simulation they make runs a few steps

The engine runs here and not in the fuzzer's process, so that a segmentation fault,
an abort or a hang of the engine ends only this process: the fuzzer sees the signal
or the time-out, records the input and starts a new worker.

Replay files in the foreground (for a debugger: ``gdb --args python worker.py ...``):

    python fuzz/worker.py [--target simulate|checkpoint|cli] FILE...

and ``python fuzz/worker.py --seeds TARGET DIR`` writes the seed inputs of a
target (checkpoints and command inputs are made by the package itself).
"""
from __future__ import annotations

import contextlib
import faulthandler
import hashlib
import io
import json
import os
import sys
import tempfile
import warnings

faulthandler.enable()  # a fatal signal prints the Python stack to stderr

import numpy as np  # noqa: E402

from vorlan.vorlan import Vorlan  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import judge  # noqa: E402

RESULT_KEYS = ("ekin", "epot", "etot", "nrsteps", "nrparticles",
               "positions", "velocities", "positions_initial", "velocities_initial")

# The commands of the cli target: the input's suffix, then the command line with
# {input} and {out} (the folder of the outputs) filled in, and the outputs the
# command may leave.
COMMANDS = (
    (".par", ["check", "{input}"], ()),
    (".par", ["run", "{input}", "--steps", "2", "-q", "--threads", "1", "--log", "{out}/run.csv",
              "--trajectory", "{out}/run.gsd", "--every", "1"], ("run.csv", "run.gsd")),
    (".csv", ["plot", "{input}", "-o", "{out}/fig.png"], ("fig.png",)),
    (".gsd", ["plot", "{input}", "-o", "{out}/fig.png"], ("fig.png",)),
    (".gsd", ["convert", "{input}", "{out}/conv.xyz"], ("conv.xyz",)),
    (".xyz", ["convert", "{input}", "{out}/conv.gsd"], ("conv.gsd",)),
    (".movie", ["convert", "{input}", "{out}/conv.xyz"], ("conv.xyz",)),
    ("/p0000-r00.json", ["plot", "{input_dir}", "-o", "{out}/fig.png"], ("fig.png",)),
)


def raised(e: BaseException) -> dict:
    return {"raised": [c.__name__ for c in type(e).__mro__], "message": str(e)[:500]}


# ---------------------------------------------------------------- simulate


def check_result(r, cell_length=None) -> list:
    """What is wrong with a result of simulate(): an empty list when nothing is.
    The lattice sites (positions_initial) must lie inside the box of edge cell_length."""
    if not isinstance(r, dict):
        return ["result is a %s, not a dict" % type(r).__name__]
    if tuple(r) != RESULT_KEYS:
        return ["result keys %r, expected %r" % (tuple(r), RESULT_KEYS)]
    problems = []
    n, steps = r["nrparticles"], r["nrsteps"]
    if type(n) is not int or type(steps) is not int:
        problems.append("nrparticles %r, nrsteps %r are not both int" % (n, steps))
        return problems
    for key in ("ekin", "epot", "etot"):
        series = np.asarray(r[key], dtype=float)
        if series.shape != (steps,):
            problems.append("%s has shape %s, expected (%d,)" % (key, series.shape, steps))
        bad = np.flatnonzero(~np.isfinite(series))
        if bad.size:
            problems.append("non-finite %s: %r after step %d (%d of %d values)"
                            % (key, float(series[bad[0]]), bad[0] + 1, bad.size, series.size))
    for key in RESULT_KEYS[5:]:
        a = r[key]
        if not isinstance(a, np.ndarray) or a.dtype != np.float64 or a.shape != (n, 3):
            problems.append("%s is %s %s, expected float64 (%d, 3)"
                            % (key, type(a).__name__, getattr(a, "shape", "?"), n))
            continue
        bad = np.argwhere(~np.isfinite(a))
        if bad.size:
            i, c = bad[0]
            problems.append("non-finite %s: %r at particle %d, component %d (%d values)"
                            % (key, float(a[i, c]), i, c, len(bad)))
    sites = r["positions_initial"]
    if cell_length is not None and isinstance(sites, np.ndarray) and sites.size:
        outside = np.argwhere(~((sites > 0.0) & (sites < cell_length)))  # sites are cell-centred
        if outside.size:
            i, c = outside[0]
            problems.append("lattice site outside the box: positions_initial[%d, %d] = %r, "
                            "cell_length = %r (%d values)" % (i, c, float(sites[i, c]), cell_length, len(outside)))
    return problems


def cell_length_of(path: str):
    """cell_length as the engine reads it from the file, or None."""
    try:
        with open(path, "rb") as f:
            value = judge.read(f.read()).get("cell_length", (0, ""))[1]
        return float(value)
    except (OSError, ValueError):
        return None


def run_simulate(path: str) -> dict:
    try:
        r = Vorlan().simulate(path)
    except BaseException as e:  # every exception is reported; the fuzzer judges it
        return raised(e)
    return {"problems": check_result(r, cell_length_of(path)), "nrparticles": r.get("nrparticles") if isinstance(r, dict) else None}


# ---------------------------------------------------------------- checkpoint


def check_state(sim) -> list:
    """What is wrong with a simulation that loaded and ran: every number finite,
    the positions in the box, one log entry per step done."""
    problems = []
    for name in ("positions", "velocities", "forces"):
        a = getattr(sim, name)
        if not np.isfinite(a).all():
            problems.append("non-finite %s after load and run" % name)
    box = sim.box
    x = sim.positions
    if x.size and not ((x >= -1e-9 * box) & (x <= box * (1 + 1e-9))).all():
        problems.append("position outside the box after load and run")
    for name in ("ekin", "epot", "etot", "conserved"):
        if not np.isfinite(getattr(sim, name)):
            problems.append("non-finite %s after load and run" % name)
    if sim.images.size and np.abs(sim.images).max() > 2**31 - 2:
        problems.append("image counter at the 32-bit limit after load and run")
    names, masses = sim.species, sim._type_masses
    if masses is not None and (len(names) != len(masses) or len(set(names)) != len(names)):
        problems.append("species names %r for %d types after load" % (names[:4], len(masses)))
    # one entry per step done, numbered on from where the clock started (a restart
    # from a frame goes on counting from its step)
    steps = np.asarray(sim.log["step"])
    if len(steps) > sim.step or (len(steps) and (steps[-1] != sim.step or np.any(np.diff(steps) != 1))):
        problems.append("log of %d entries after %d steps" % (len(steps), sim.step))
    return problems


def run_checkpoint(path: str) -> dict:
    from vorlan import Simulation

    try:
        sim = Simulation.load(path)
    except BaseException as e:
        return dict(raised(e), stage="load")
    try:
        sim.run(2)
    except BaseException as e:
        return dict(raised(e), stage="run")
    return {"problems": check_state(sim)}


# ---------------------------------------------------------------- cli


def files_in(folder: str) -> dict:
    out = {}
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = hashlib.sha1(f.read()).hexdigest()
    return out


def run_cli(path: str) -> dict:
    """One command of `vorlan` on the input: its exit status, whether a traceback
    or an exception escaped, whether the input changed and what files it left."""
    from vorlan.cli import main

    with open(path, "rb") as f:
        data = f.read()
    if not data:
        return {"command": None}
    which = data[0] % len(COMMANDS)
    suffix, argv, outputs = COMMANDS[which]
    content = data[1:]
    if argv[0] == "run":
        content = judge.clamp(content, judge.read(content), 216, 20)[0]
    with tempfile.TemporaryDirectory(prefix="vorlan-fuzz-cli-") as tmp:
        inputs, out = os.path.join(tmp, "in"), os.path.join(tmp, "out")
        os.makedirs(inputs)
        os.makedirs(out)
        name = os.path.join(inputs, "input" + suffix) if not suffix.startswith("/") else inputs + suffix
        with open(name, "wb") as f:
            f.write(content)
        before = files_in(inputs)
        argv = [a.format(input=name, input_dir=inputs, out=out) for a in argv]
        stdout, stderr = io.StringIO(), io.StringIO()
        escaped = None
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            try:
                rc = main(argv)
            except BaseException as e:  # main() returns a status for everything it expects
                rc, escaped = None, raised(e)
        left = sorted(set(files_in(out)) - set(outputs))
        return {"command": " ".join(argv[:1]) + " " + suffix, "rc": rc, "escaped": escaped,
                "traceback": "Traceback" in stderr.getvalue(), "stderr": stderr.getvalue()[-500:],
                "input_changed": files_in(inputs) != before, "left": left}


# ---------------------------------------------------------------- starts

# The formats of the starts target, by the first byte of an input.
STARTS = (".gsd", ".xyz", ".data", ".toml", ".json")

# A valid start beside every system description, for [start] file = "beside.xyz".
BESIDE = (b"2\nLattice=\"6 0 0 0 6 0 0 0 6\" Properties=species:S:1:pos:R:3 pbc=\"T T T\"\n"
          b"A 1 1 1\nB 3 3 3\n")


def run_starts(path: str) -> dict:
    """A start file read, its simulation made and run two steps: refused with a
    ValueError (or ArithmeticError, MemoryError) or run to finite numbers."""
    from vorlan import Simulation
    from vorlan.io.system import read_system

    with open(path, "rb") as f:
        data = f.read()
    if not data:
        return {"format": None}
    suffix = STARTS[data[0] % len(STARTS)]
    with tempfile.TemporaryDirectory(prefix="vorlan-fuzz-start-") as tmp:
        name = os.path.join(tmp, "input" + suffix)
        with open(name, "wb") as f:
            f.write(data[1:])
        with open(os.path.join(tmp, "beside.xyz"), "wb") as f:
            f.write(BESIDE)
        params = dict(SMALL, rcut=1.0, shell=0.2)
        try:
            if suffix in (".toml", ".json"):
                sim = Simulation(params, threads=1, **read_system(name).arguments(params["nr_particles"]))
            else:
                sim = Simulation.from_file(name, params, threads=1)
        except BaseException as e:
            return dict(raised(e), format=suffix, stage="start")
        if sim.nr_particles > 4096:
            return {"format": suffix, "problems": [], "skipped": "large"}
        try:
            sim.run(2)
        except BaseException as e:
            return dict(raised(e), format=suffix, stage="run")
        return {"format": suffix, "problems": check_state(sim)}


# ---------------------------------------------------------------- methods

# The keys of a methods input, and the value each takes when it is not given.
METHOD_KEYS = {"method": "berendsen", "tau": None, "friction": None, "chain": None, "barostat": "none",
               "pressure": "1.0", "tau_p": "2.0", "compressibility": None, "kT": "1.0", "stepsize": "0.005",
               "steps": "10", "seed": "1"}
METHODS = ("berendsen", "nve", "langevin", "bussi", "nose-hoover")


def method_input(data: bytes) -> dict:
    """key -> value text of the lines ``key = value``; the first of a key wins."""
    out = {}
    for line in data.decode("utf-8", "replace").splitlines():
        key, sep, value = line.partition("=")
        key = key.strip()
        if sep and key in METHOD_KEYS and key not in out:
            out[key] = value.strip()
    return out


def _value(text, default):
    """A parameter as the fuzzer gives it: an int or a float (nan, inf, 1e400
    included); text that is no number gives `default` (passing a str where a
    number is meant is the caller's type error; the target is about values)."""
    for value in (text, default):
        if value is None:
            return None
        for kind in (int, float):
            try:
                return kind(value)
            except ValueError:
                pass
    return None


def run_methods(path: str) -> dict:
    """A simulation of 64 particles with the method and barostat of the input,
    run `steps` (at most 20) steps: refused with a ValueError or an
    ArithmeticError with a message, or run to finite numbers."""
    from vorlan import Simulation
    from vorlan import methods as m

    with open(path, "rb") as f:
        given = method_input(f.read())
    v = {k: _value(given.get(k, default), default) for k, default in METHOD_KEYS.items()}
    name = given.get("method", "berendsen")
    name = name if name in METHODS else "berendsen"
    label = name + (" + crescale" if given.get("barostat") == "crescale" else "")
    try:
        tau = 0.5 if v["tau"] is None else v["tau"]  # the coupling time the thermostats need
        method = {
            "berendsen": lambda: m.Berendsen(v["tau"]),
            "nve": m.NVE,
            "langevin": lambda: m.Langevin(1.0 if v["friction"] is None else v["friction"]),
            "bussi": lambda: m.Bussi(tau),
            "nose-hoover": lambda: m.NoseHoover(tau, v["chain"] if isinstance(v["chain"], int) else 3),
        }[name]()
        barostat = (m.CRescale(v["pressure"], v["tau_p"], v["compressibility"]) if given.get("barostat") == "crescale"
                    else None)
        steps = v["steps"] if isinstance(v["steps"], int) and 0 <= v["steps"] <= 20 else 10
        params = dict(SMALL, kT=v["kT"], stepsize=v["stepsize"])
        seed = v["seed"] if isinstance(v["seed"], int) else 1  # the seed's own checks are the simulate target's
        sim = Simulation(params, seed=seed, threads=1, method=method, barostat=barostat)
    except BaseException as e:
        return dict(raised(e), stage="start", method=label)
    try:
        sim.run(steps)
    except BaseException as e:
        return dict(raised(e), stage="run", method=label)
    problems = check_state(sim)
    if not np.isfinite(sim.box).all():
        problems.append("non-finite box after the run")
    return {"problems": problems, "method": label}


def quiet_drift(run):
    """`run` with the documented removal of a start's net momentum (a UserWarning
    that says so) taken as the normal outcome it is, not as a raised error."""
    def target(path: str) -> dict:
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message="the supplied velocities carry a net momentum",
                                    category=UserWarning)
            return run(path)
    return target


TARGETS = {name: quiet_drift(run) for name, run in
           {"simulate": run_simulate, "checkpoint": run_checkpoint, "cli": run_cli, "starts": run_starts,
            "methods": run_methods}.items()}


# ---------------------------------------------------------------- seeds


SMALL = {"nr_particles": 64, "cell_length": 4.2, "kT": 1.0, "mass": 1.0, "sigma": 1.0, "epsilon": 1.0,
         "rcut": 2.0, "shell": 0.3, "tau": 0.5, "stepsize": 0.005, "nrsteps": 10}


def write_seeds(target: str, folder: str) -> None:
    """The seed inputs of `target` (checkpoint, cli) made by the package."""
    from vorlan import Simulation
    from vorlan.io.gsd import GSDWriter
    from vorlan.io.runlog import write_log
    from vorlan.io.trajectory import convert

    os.makedirs(folder, exist_ok=True)
    if target == "starts":
        write_start_seeds(folder)
        return
    if target == "methods":
        write_method_seeds(folder)
        return
    if target == "checkpoint":
        rng = np.random.default_rng(1)
        made = [Simulation(dict(SMALL, nr_particles=8, cell_length=4.5), seed=3),
                Simulation(SMALL, seed=5).run(3),
                Simulation(dict(SMALL, nr_particles=27, cell_length=6.0),
                           positions=np.indices((3, 3, 3)).reshape(3, -1).T * 2.0 + rng.uniform(0, 0.2, (27, 3)),
                           velocities=rng.normal(size=(27, 3)), zero_momentum=False).run(5),
                Simulation(dict(SMALL, nr_particles=1)).run(1)]
        for k, sim in enumerate(made):
            sim.save(os.path.join(folder, "seed%d.npz" % k))
        return
    with tempfile.TemporaryDirectory() as tmp:
        par = os.path.join(tmp, "small.par")
        with open(par, "w") as f:
            f.writelines("%s = %s\n" % (k, v) for k, v in SMALL.items())
        sim = Simulation(par, seed=2, threads=1).run(6, every=2, trajectory=os.path.join(tmp, "t.gsd"))
        log = sim.log
        write_log(os.path.join(tmp, "run.csv"), dict(log, time=log["step"] * 0.005,
                                                      pressure=np.full(len(log["step"]), np.nan)),
                  {"parameters": par, "nr_particles": 64, "kT": "1"})
        with GSDWriter(os.path.join(tmp, "two.gsd"), (4.2, 4.2, 4.2), 2) as w:
            w.write(0, np.ones((2, 3)), np.zeros((2, 3)))
        convert(os.path.join(tmp, "t.gsd"), os.path.join(tmp, "t.xyz"))
        convert(os.path.join(tmp, "two.gsd"), os.path.join(tmp, "two.movie"))
        summary = {"name": "p0000-r00", "point": 0, "replica": 0, "seed": 7, "parameters": dict(
            (k, str(v)) for k, v in SMALL.items()), "varied": {"kT": "1.0"}, "status": "ok", "message": "",
            "wall_time": 0.1, "nr_particles": 64, "rho": 0.86, "T": 1.0, "T_err": 0.1, "u": -5.0,
            "u_err": 0.1, "P": 1.0, "P_err": 0.1, "e": -3.5, "e_err": 0.01}
        inputs = ["small.par", "small.par", "run.csv", "t.gsd", "two.gsd", "t.xyz", "two.movie", None]
        for which, name in enumerate(inputs):
            if name is None:
                content = json.dumps(summary).encode()
            else:
                with open(os.path.join(tmp, name), "rb") as f:
                    content = f.read()
            with open(os.path.join(folder, "seed%d" % which), "wb") as f:
                f.write(bytes([which]) + content)


def write_start_seeds(folder: str) -> None:
    """A GSD trajectory of a mixture and its XYZ, a LAMMPS data file with masses
    and velocities, and system descriptions (lattice, random and file starts)."""
    from vorlan import Simulation, composition, lattice
    from vorlan.io.trajectory import convert

    x, box = lattice("fcc", 2, 0.5)
    species, types = composition(len(x), {"A": 0.75, "B": 0.25}, seed=1)
    seeds = {}
    with tempfile.TemporaryDirectory() as tmp:
        Simulation(dict(SMALL, rcut=1.0, shell=0.2), positions=x, box=box, species=species, types=types,
                   masses={"B": 2.0}).run(2, every=1, trajectory=os.path.join(tmp, "m.gsd"))
        convert(os.path.join(tmp, "m.gsd"), os.path.join(tmp, "m.xyz"))
        for suffix in (".gsd", ".xyz"):
            with open(os.path.join(tmp, "m" + suffix), "rb") as f:
                seeds[suffix] = f.read()
    atoms = "".join("%d %d %r %r %r 0 0 0\n" % (i + 1, t + 1, *p) for i, (t, p) in enumerate(zip(types, x)))
    velocities = "".join("%d 0.1 -0.2 0.3\n" % (i + 1) for i in range(len(x)))
    seeds[".data"] = ("vorlan start\n\n%d atoms\n2 atom types\n\n0 %r xlo xhi\n0 %r ylo yhi\n0 %r zlo zhi\n\n"
                      "Masses\n\n1 1.0\n2 2.0\n\nAtoms # atomic\n\n%s\nVelocities\n\n%s"
                      % (len(x), *box, atoms, velocities)).encode()
    seeds[".toml"] = (b'[species]\nA = { fraction = 0.8, mass = 1.0 }\nB = { fraction = 0.2 }\n'
                      b'[[pair]]\nbetween = ["A", "A"]\nepsilon = 1.0\nsigma = 1.0\nrcut = 1.0\n'
                      b'[[pair]]\nbetween = ["A", "B"]\nepsilon = 1.5\nsigma = 0.8\n'
                      b'[[pair]]\nbetween = ["B", "B"]\nepsilon = 0.5\nsigma = 0.88\n'
                      b'[start]\nlattice = "fcc"\ncells = 2\ndensity = 0.5\nseed = 7\n')
    seeds[".json"] = json.dumps({"species": {"A": {"mass": 1.0}}, "start": {"random": 32, "density": 0.3,
                                                                          "min_distance": 0.9, "seed": 3}}).encode()
    file_start = b'[species]\nA = {}\nB = { mass = 2.0 }\n[start]\nfile = "beside.xyz"\nframe = -1\n'
    for k, (suffix, content) in enumerate(list(seeds.items()) + [(".toml", file_start)]):
        with open(os.path.join(folder, "seed%d" % k), "wb") as f:
            f.write(bytes([STARTS.index(suffix)]) + content)


def write_method_seeds(folder: str) -> None:
    """Every method, with and without the barostat."""
    lines = ["method = nve", "method = berendsen\ntau = 0.5", "method = langevin\nfriction = 1.0",
             "method = bussi\ntau = 0.5", "method = nose-hoover\ntau = 0.5\nchain = 3"]
    k = 0
    for text in lines:
        for barostat in ("", "\nbarostat = crescale\npressure = 1.0\ntau_p = 2.0"):
            with open(os.path.join(folder, "seed%d" % k), "w") as f:
                f.write(text + barostat + "\nsteps = 10\nkT = 1.0\nstepsize = 0.005\nseed = 3\n")
            k += 1


def serve(target: str) -> None:
    # The answers go to a private copy of the standard output; whatever the engine
    # or a library prints to file descriptor 1 goes to standard error instead.
    out = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    run = TARGETS[target]
    out.write('{"ready": true}\n')
    for line in sys.stdin:
        out.write(json.dumps(run(line.rstrip("\n"))) + "\n")


if __name__ == "__main__":
    args = sys.argv[1:]
    target = "simulate"
    if args[:1] == ["--seeds"]:
        write_seeds(args[1], args[2])
        sys.exit(0)
    if args[:1] == ["--target"]:
        target, args = args[1], args[2:]
    if args:
        for name in args:
            print(name, json.dumps(TARGETS[target](name)))
    else:
        serve(target)
