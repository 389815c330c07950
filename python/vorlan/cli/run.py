"""``vorlan run PARAMS``: a run with a progress bar, a summary with error bars,
and on request a log, a trajectory and a figure. The run itself is
``Simulation.run`` with a callback that samples the pressure; this module adds
the checks before it and the printing after it."""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .. import params as P
from .._interrupts import Interrupts
from ..analysis import estimate, second_half
from ..io.files import PARAMETER_FILE_BYTES, open_regular
from ..io.parameter_file import diagnose
from .common import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, CommandError, Formatter, UsageError, add_ensemble_arguments,
                     check_files, count, ensemble, positive_int, say, say_rows, seed_value, speak_as, team_size,
                     world_communicator)


def cmd_run(args: argparse.Namespace) -> int:
    # under mpiexec the processes share one box; process 0 prints and writes
    comm = world_communicator()
    if comm is not None:
        speak_as(comm.Get_rank())
    elif args.domains is not None:
        raise UsageError("--domains divides the box among MPI processes: run under mpiexec with several of them")
    _check_outputs(args)
    sim, steps = _start(args, comm)
    writes = sim.rank == 0
    sample = args.sample or max(1, steps // 100)
    every = args.every or max(1, steps // 100)
    pressures: Dict[int, float] = {}
    # the diagonal of the pressure tensor where the axes differ: a barostat that
    # scales them apart, or external fields
    tensors: Dict[int, np.ndarray] = {}
    axes_differ = (sim.barostat is not None and sim.barostat.couple != "xyz") or len(sim._engine.fields) > 0
    errors: List[str] = []
    interrupted = False
    step0 = sim.step
    started = time.perf_counter()
    def sample_pressure(s: Any) -> None:
        pressures[s.step] = s.pressure
        if axes_differ:
            tensors[s.step] = np.asarray(s.pressure_tensor[:3], dtype=np.float64)

    try:
        sim.run(steps, every=sample, callback=sample_pressure, progress=not args.quiet,
                trajectory=args.trajectory, trajectory_every=every)
    except KeyboardInterrupt:
        interrupted = True
    except OSError as e:
        if not args.trajectory:
            raise
        # only the trajectory is written while the run goes on; the run stops with it
        errors.append(f"cannot write the trajectory {args.trajectory}: {e.strerror or e}; "
                      + _frames_held(args.trajectory))
    except Exception as e:
        errors.append(f"{args.params}: {e}")
    seconds = time.perf_counter() - started
    done = sim.step - step0
    columns, meta = run_log(sim, args.params, pressures, sample, args, tensors)
    if args.log and writes:
        _write_log(args.log, columns, meta, errors, done)
    if errors:
        for message in errors:
            say(f"vorlan run: error: {message}", file=sys.stderr)
        return EXIT_FAILED
    if interrupted:
        kept = [f for f in (args.log, args.trajectory) if f]
        say(f"\nvorlan run: interrupted after {done} of {steps} step(s)"
            + (f"; kept {', '.join(kept)}" if kept else ""), file=sys.stderr)
    frames = _frame_count(args.trajectory) if writes else 0
    if args.plot and writes:
        try:
            _plot(args, columns, meta, sim.nr_particles, done, frames)
        except OSError as e:
            raise CommandError(f"cannot write the plot {args.plot}: {e.strerror or e}") from None
    if not args.quiet:
        summary(sim, columns, meta, steps, done, seconds, sample, args, frames)
    return EXIT_INTERRUPTED if interrupted else EXIT_OK


def _write_log(path: str, columns: Dict[str, np.ndarray], meta: Dict[str, Any], errors: List[str], done: int) -> None:
    """The run log, written whole even if Ctrl-C comes meanwhile; a failure goes
    to `errors`, and after a failed run the log's place is named there too."""
    from ..io.runlog import write_log

    try:
        with Interrupts() as interrupts, interrupts.protected():
            write_log(path, columns, meta)
    except OSError as e:
        errors.append(f"cannot write the log {path}: {e.strerror or e}")
    else:
        if errors:
            errors.append(f"the log of the {done} step(s) done is in {path}")


def _check_outputs(args: argparse.Namespace) -> None:
    """Everything that can be found wrong before the run costs any time: the
    parameter file readable, every output a file of its own that can be
    written, in a format that fits it."""
    if args.every is not None and args.trajectory is None:
        raise UsageError("--every sets the frame interval of --trajectory; give --trajectory FILE.gsd too")
    try:
        open_regular(args.params, "parameter file", PARAMETER_FILE_BYTES).close()
    except OSError as e:
        raise CommandError(f"cannot open the parameter file {args.params}: {e.strerror or e}") from None
    except ValueError as e:
        raise CommandError(str(e)) from None
    check_files([("the parameter file", args.params)],
                [("--log", args.log), ("--plot", args.plot), ("--trajectory", args.trajectory)])
    if args.trajectory is not None and not args.trajectory.lower().endswith(".gsd"):
        raise UsageError(f"--trajectory {args.trajectory}: the trajectory is written as GSD; give a name ending in .gsd "
                         "(vorlan convert turns it into .xyz or .movie)")
    if args.plot is not None:
        from ..plot import figure_format

        try:
            figure_format(args.plot)  # also: a missing matplotlib should not cost a whole run
        except ValueError as e:
            raise UsageError(f"--plot {e}") from None


def _start(args: argparse.Namespace, comm: Any = None) -> Tuple[Any, int]:
    """The Simulation of the parameter file (its box divided among the
    processes of `comm`) and the steps to run; the engine's refusal explained
    with the lines of the file."""
    from ..simulation import Simulation

    path = args.params
    system: Dict[str, Any] = {}
    described: Any = None
    if args.system is not None:
        from .._core import read_parameter_file
        from ..io.system import read_system

        try:
            entries = read_parameter_file(path)
            n = int(P.setting_value(entries, "nr_particles")) if "nr_particles" in entries else None
            described = read_system(args.system)
            system = described.arguments(n)
        except (ValueError, RuntimeError, TypeError, ArithmeticError) as e:
            message = " ".join(str(e).split())  # one line
            raise CommandError(message if message.startswith(args.system) else f"{args.system}: {message}") from None
    try:
        method, barostat = ensemble(args)
    except ValueError as e:
        raise UsageError(str(e)) from None
    if described is not None and described.barostat is not None:
        if barostat is not None:
            raise UsageError(f"--pressure and the [barostat] of {args.system} both set the barostat: give one of them")
        barostat = described.barostat
        if args.seed is None:
            raise UsageError(f"the [barostat] of {args.system} draws random numbers keyed by the seed: give --seed S")
    try:
        sim = Simulation(path, seed=args.seed, threads=args.threads, method=method, barostat=barostat,
                         comm=comm, domains=args.domains, **system)
        steps = args.steps if args.steps is not None else int(P.setting_value(sim.parameters, "nrsteps"))
    except KeyboardInterrupt:
        raise
    except Exception as e:
        raise CommandError(f"{path}: {explain_failure(path, e)}") from None
    return sim, steps


def _frames_held(path: str) -> str:
    """What a trajectory that could not be finished holds, in words."""
    try:
        return f"it holds the first {_frame_count(path)} frame(s)"
    except (OSError, ValueError):
        return "it cannot be read back"


def _frame_count(path: Optional[str]) -> int:
    if not path or not os.path.exists(path):
        return 0
    from ..io.gsd import frame_count

    return frame_count(path)


def _plot(args: argparse.Namespace, columns: Dict[str, np.ndarray], meta: Dict[str, Any], n: int, done: int,
          frames: int) -> None:
    from ..plot import plot_run
    from .plot import trajectory_rdf

    rdf = trajectory_rdf(args.trajectory) if args.trajectory and frames else None
    plot_run(args.plot, columns, meta, rdf, title=f"{os.path.basename(args.params)}: N = {n}, {done} steps")


def explain_failure(path: str, error: BaseException) -> str:
    """The engine's message, and for a missing key the lines of the file that
    set it but are skipped."""
    message = str(error) or type(error).__name__
    prefix = "Could not find parameter: "
    if message.startswith(prefix):
        key = message[len(prefix):].strip()
        try:
            report = diagnose(path)
        except OSError:
            return message
        lines = [s for s in report.skipped if s.key == key]
        for s in lines:
            message += f"\n  line {s.number} ({s.text.strip()}) is skipped: {'; '.join(s.reasons)}"
            if s.suggestion:
                message += f"\n  write instead: {s.suggestion}"
        hints = [e for e, hint in report.unknown if hint == key]
        for e in hints:
            message += f"\n  line {e.number} sets {e.key}, which the engine never reads"
        message += f"\n  (vorlan check {path} lists every line the engine skips)"
    return message


def run_log(sim: Any, path: str, pressures: Dict[int, float], sample: int, args: argparse.Namespace,
            tensors: Optional[Dict[int, np.ndarray]] = None) -> Tuple[Dict[str, np.ndarray], Dict[str, Any]]:
    """The per-step columns of the log (pressure, and the pressure tensor's
    diagonal pxx, pyy, pzz when sampled, else NaN) and its header."""
    log = sim.log
    step = np.asarray(log.get("step", np.zeros(0)), dtype=np.int64)
    pressure = np.array([pressures.get(int(s), math.nan) for s in step], dtype=np.float64)
    params = sim.parameters
    stepsize = float(params.get("stepsize", "nan"))
    columns = {
        "step": step,
        "time": step * stepsize,
        "ekin": np.asarray(log.get("ekin", ()), dtype=np.float64),
        "epot": np.asarray(log.get("epot", ()), dtype=np.float64),
        "etot": np.asarray(log.get("etot", ()), dtype=np.float64),
        "temperature": np.asarray(log.get("temperature", ()), dtype=np.float64),
        "pressure": pressure,
        "conserved": np.asarray(log.get("conserved", ()), dtype=np.float64),
        "volume": np.asarray(log.get("volume", ()), dtype=np.float64),
    }
    if tensors:
        nan3 = np.full(3, math.nan)
        diagonal = np.array([tensors.get(int(s), nan3) for s in step], dtype=np.float64).reshape(-1, 3)
        for k, name in enumerate(("pxx", "pyy", "pzz")):
            columns[name] = diagonal[:, k]
    meta = {
        "vorlan run log": "one row per step; energies are totals, pressure every %d steps" % sample,
        "parameters": os.path.abspath(path),
        "nr_particles": sim.nr_particles,
        "volume": repr(float(sim.volume)),
        "density": repr(float(sim.density)),
        "kT": params.get("kT", ""),
        "stepsize": params.get("stepsize", ""),
        "seed": "" if args.seed is None else args.seed,
        "threads": "" if args.threads is None else args.threads,
        "method": repr(sim.method),
        "barostat": repr(sim.barostat) if sim.barostat is not None else "",
    }
    return columns, meta


def summary(sim: Any, columns: Dict[str, np.ndarray], meta: Dict[str, Any], steps: int, done: int,
            seconds: float, sample: int, args: argparse.Namespace, frames: int) -> None:
    """The table printed after a run: averages over the second half of the run
    with their blocking errors (vorlan.analysis.estimate)."""
    step = columns["step"]
    n = sim.nr_particles
    t = estimate(second_half(step, columns["temperature"]))
    u = estimate(second_half(step, columns["epot"] / n)) if n else None
    p = estimate(second_half(step, columns["pressure"]))
    rate = n * done / seconds if seconds > 0 else math.inf
    rows = [
        ("particles N", f"{n}"),
        ("ensemble", meta["method"] + (f" + {meta['barostat']}" if meta["barostat"] else "")),
        ("density N / V" + (" at the end" if sim.barostat is not None else ""), f"{sim.density:.6g}"),
    ]
    if len(sim.species) > 1:
        counts = np.bincount(sim.types, minlength=len(sim.species))
        rows.append(("species", ", ".join(f"{name} {c}" for name, c in zip(sim.species, counts))))
    rows += [
        ("steps", f"{done}" + (f" of {steps}" if done != steps else "") + f", dt = {meta['stepsize']}"),
    ]
    if len(step):
        start = int(step[len(step) // 2])
        rows.append(("averages over", f"steps {start} to {int(step[-1])} (second half), mean ± error (blocking)"))
        target = f"   (target kT = {meta['kT']})" if meta.get("kT") else ""
        rows.append(("temperature T", f"{t}{target}"))
        rows.append(("energy u = Epot / N", f"{u if u is not None else '-'}"))
        rows.append(("pressure P", f"{p}" + (f"   ({p.samples} samples, every {sample} steps)" if p.samples else "")))
        if sim.barostat is not None:
            rho = estimate(second_half(step, n / columns["volume"]))
            rows.append(("density N / V", f"{rho}   (target P = {sim.barostat.pressure})"))
    rows.append(("wall time", f"{seconds:.3f} s"))
    rows.append(("speed", f"{rate / 1e6:.3g} M atom-steps/s" if math.isfinite(rate) else "-"))
    for flag, label in ((args.log, "log"), (args.trajectory, "trajectory"), (args.plot, "plot")):
        if flag:
            rows.append((label, flag + (f" ({frames} frames)" if label == "trajectory" else "")))
    say("")
    say_rows(rows)


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "run",
        formatter_class=Formatter,
        help="run a simulation, with progress, summary, log and plot",
        description=(
            "Runs the simulation of a parameter file, shows a progress bar and prints a\n"
            "summary: temperature, potential energy per particle and pressure averaged\n"
            "over the second half of the run, wall time and speed."
        ),
        epilog=(
            "Examples:\n"
            "  vorlan run examples/lj_liquid.par --plot run.png\n"
            "  vorlan run examples/lj_liquid.par --steps 5000 --log run.csv --trajectory run.gsd --every 100\n"
            "  vorlan run examples/lj_liquid.par --method bussi --tau 0.5 --seed 7\n"
            "  vorlan run examples/lj_liquid.par --method langevin --friction 1 --pressure 1.69 --tau-p 2 --seed 7\n"
            "  vorlan run examples/lj_liquid.par --system examples/ka.toml --trajectory ka.gsd --plot ka.png\n"
            "\n"
            "Ctrl-C stops the run after the current step; the log and trajectory written so\n"
            "far are kept (exit status 130).\n"
            "\n"
            "Under mpiexec (mpiexec -n 4 vorlan run PARAMS) the processes share one box\n"
            "(mpi4py needed); process 0 prints and writes the files, the same as one process."
        ),
    )
    p.add_argument("params", metavar="PARAMS", help="the parameter file")
    p.add_argument("--system", metavar="FILE.toml",
                   help="species, pairs and start of a mixture, TOML or JSON (vorlan.io.system)")
    p.add_argument("--steps", type=count, metavar="N", help="number of steps (default: nrsteps of the file)")
    p.add_argument("--seed", type=seed_value, metavar="S",
                   help="seed the start velocities (1 to 2**31 - 2); default: the process-wide sequence, as vorlan-run")
    p.add_argument("--threads", type=team_size, metavar="T",
                   help="threads of the parallel loops, at most 4 per processor (default: all processors)")
    p.add_argument("--trajectory", metavar="FILE.gsd", help="write frames to a GSD trajectory")
    p.add_argument("--every", type=positive_int, metavar="K", help="a frame every K steps (default: nrsteps / 100)")
    p.add_argument("--sample", type=positive_int, metavar="K", help="sample the pressure every K steps (default: nrsteps / 100)")
    p.add_argument("--log", metavar="FILE.csv", help="write step, time, energies, temperature and pressure as CSV")
    p.add_argument("--plot", metavar="FILE.png", help="draw energies, temperature, pressure (and g(r) with --trajectory)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    p.add_argument("--domains", type=positive_int, nargs=3, metavar=("PX", "PY", "PZ"),
                   help="under mpiexec: domains per axis, their product the number of processes "
                        "(default: chosen to cut the fewest subcell faces)")
    add_ensemble_arguments(p)
    p.set_defaults(func=cmd_run)
