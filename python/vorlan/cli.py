"""The ``vorlan`` command (also ``python -m vorlan``).

    vorlan check PARAMS        what the engine will read from a parameter file
    vorlan run PARAMS          run it, with a progress bar, a summary, a log, a plot
    vorlan plot LOG [GSD]      figures of a run (or of a sweep's results directory)
    vorlan convert IN OUT      trajectories between .movie, .gsd and .xyz

Other modules add subcommands through ``add_parser(subparsers)``: it adds its
parser and sets ``func`` (``set_defaults(func=f)``), a callable that takes the
parsed arguments and returns the exit status.

Exit status: 0 success, 1 the command failed (the message says why), 2 a bad
command line, 130 interrupted with Ctrl-C (what a run wrote so far is kept).
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import signal
import sys
import time
from typing import Dict, Optional, Sequence

import numpy as np

from . import params as P

__all__ = ["main", "build_parser", "CommandError", "UsageError"]

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Modules that add a subcommand when they are part of this installation.
PLUGINS = ("vorlan.sweeps",)


class CommandError(Exception):
    """A command that failed for a reason the message states (exit status 1)."""


class UsageError(CommandError):
    """Options that do not go together (exit status 2, as any bad command line)."""


def say(*args, file=None) -> None:
    print(*args, file=file or sys.stdout)


# ----------------------------------------------------------------------------- check


def cmd_check(args) -> int:
    try:
        report = P.diagnose(args.params)
    except OSError as e:
        raise CommandError(f"cannot read the parameter file {args.params}: {e.strerror or e}") from None
    problems, engine_rules = P.check_values(report.params)
    missing = set(report.missing)
    problems = [(k, m) for k, m in problems if k not in missing]
    warnings = 0

    say(f"{report.path}: {len(report.entries)} line(s) read, {len(report.params)} key(s) set")
    if report.skipped:
        say(f"\nLines the engine skips ({len(report.skipped)}):")
    for s in report.skipped:
        warnings += 1
        say(f"  line {s.number}: {s.text}")
        for reason in s.reasons:
            say(f"      skipped: {reason}")
        if s.suggestion:
            say(f"      write:   {s.suggestion}")

    if report.duplicates:
        say("\nKeys set more than once (the first occurrence wins):")
    for key, entries in report.duplicates.items():
        warnings += 1
        first, rest = entries[0], entries[1:]
        ignored = ", ".join(f"line {e.number} ({key} = {e.value})" for e in rest)
        say(f"  {key}: line {first.number} ({key} = {first.value}) is used; ignored: {ignored}")

    if report.unknown:
        say("\nKeys the engine never reads:")
    for entry, hint in report.unknown:
        warnings += 1
        say(f"  line {entry.number}: {entry.key}" + (f" -- did you mean {hint}?" if hint else ""))

    if missing:
        say("\nMissing keys (a run stops with 'Could not find parameter'):")
    for key in report.missing:
        near = [s.number for s in report.skipped if s.key == key]
        near += [e.number for e, hint in report.unknown if hint == key]
        near = sorted(set(near))
        where = ""
        if near:
            where = f" -- line {near[0]} means it" if len(near) == 1 else f" -- lines {', '.join(map(str, near))} mean it"
            where += " but the engine does not read " + ("it" if len(near) == 1 else "them")
        say(f"  {key} ({P.KEYS[key].meaning}){where}")

    if problems:
        say("\nValues not allowed:")
    for key, message in problems:
        say(f"  {message}" if key in message else f"  {key}: {message}")
    if not engine_rules:
        say("\nNote: this build of vorlan has no vorlan._core.check_settings, so only the conversion")
        say("of each value to its type was checked, not the ranges and the rules between keys.")

    derived = P.derived_quantities(report.params)
    if derived:
        say("\nDerived quantities:")
        width = max(len(label) for label, _ in derived)
        for label, text in derived:
            say(f"  {label:<{width}}  {text}")

    bad = len(missing) + len(problems)
    if bad:
        say(f"\nThe file is not accepted: {len(missing)} key(s) missing, {len(problems)} value(s) not allowed.")
        return EXIT_FAILED
    verdict = "The file would run" + (f" ({warnings} warning(s) above)." if warnings else ".")
    say("\n" + verdict)
    return EXIT_FAILED if args.strict and warnings else EXIT_OK


# ----------------------------------------------------------------------------- run


def _integer(text: str, low: int, high: Optional[int], allowed: str) -> int:
    """An argparse type: an integer in [low, high] (no upper end when high is None)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < low or (high is not None and value > high):
        raise argparse.ArgumentTypeError(f"{value} is not allowed: {allowed}")
    return value


def positive_int(text: str) -> int:
    return _integer(text, 1, None, "give a positive integer")


def seed_value(text: str) -> int:
    from .simulation import SEED_MAX, SEED_MIN

    return _integer(text, SEED_MIN, SEED_MAX, f"seeds are {SEED_MIN} to {SEED_MAX}")


def count(text: str) -> int:
    return _integer(text, 0, None, "give 0 or more")


class Interrupts:
    """Turns Ctrl-C into KeyboardInterrupt, but never inside a `protected()`
    block (writing a trajectory frame): there it is held until the block ends,
    so that every frame in the file is whole."""

    def __init__(self):
        self.depth = 0
        self.pending = False
        self.previous = None

    def handler(self, signum, frame):
        if self.depth:
            self.pending = True
        else:
            raise KeyboardInterrupt

    def __enter__(self):
        try:
            self.previous = signal.signal(signal.SIGINT, self.handler)
        except ValueError:  # not the main thread: leave Ctrl-C as it is
            self.previous = None
        return self

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
        return False

    def protected(self):
        outer = self

        class Block:
            def __enter__(self):
                outer.depth += 1

            def __exit__(self, *exc):
                outer.depth -= 1
                if not outer.depth and outer.pending and exc[0] is None:
                    outer.pending = False
                    raise KeyboardInterrupt

        return Block()


def load_simulation():
    try:
        from .simulation import Simulation
    except ImportError as e:
        raise CommandError(f"this installation of vorlan has no Simulation ({e}); reinstall it with pip") from None
    return Simulation


def explain_failure(path: str, error: BaseException) -> str:
    """The engine's message, and for a missing key the lines of the file that
    set it but are skipped."""
    message = str(error) or type(error).__name__
    prefix = "Could not find parameter: "
    if message.startswith(prefix):
        key = message[len(prefix):].strip()
        try:
            report = P.diagnose(path)
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


def half_stats(step: np.ndarray, values: np.ndarray, start: float):
    sel = values[(step >= start) & np.isfinite(values)]
    if len(sel) == 0:
        return None
    return float(np.mean(sel)), float(np.std(sel, ddof=1)) if len(sel) > 1 else 0.0, len(sel)


def fmt_stats(stats, digits: int = 5) -> str:
    if stats is None:
        return "-"
    mean, spread, n = stats
    return f"{mean:.{digits}g} +- {spread:.2g}"


def cmd_run(args) -> int:
    if args.every is not None and args.trajectory is None:
        raise UsageError("--every sets the frame interval of --trajectory; give --trajectory FILE.gsd too")
    path = args.params
    if not os.path.isfile(path):
        raise CommandError(f"cannot open the parameter file {path}: no such file")
    Simulation = load_simulation()
    for out, what in ((args.log, "log"), (args.plot, "plot"), (args.trajectory, "trajectory")):
        if out is not None:
            folder = os.path.dirname(os.path.abspath(out))
            if not os.path.isdir(folder):
                raise CommandError(f"cannot write the {what} {out}: the folder {folder} does not exist")
    if args.plot is not None:
        from .plot import pyplot

        pyplot()  # before the run: a missing matplotlib should not cost a whole run

    try:
        sim = Simulation(path, seed=args.seed, threads=args.threads)
        steps = args.steps
        if steps is None:
            text = sim.parameters.get("nrsteps")
            if text is None:
                raise RuntimeError("Could not find parameter: nrsteps")
            problem = P.value_problem("nrsteps", text)
            if problem:
                raise TypeError(problem)
            steps = int(text)
    except (KeyboardInterrupt, CommandError):
        raise
    except Exception as e:
        raise CommandError(f"{path}: {explain_failure(path, e)}") from None

    n = sim.nr_particles
    sample = args.sample or max(1, steps // 100)
    every = args.every or max(1, steps // 100)
    interval = math.gcd(sample, every) if args.trajectory else sample
    pressures: Dict[int, float] = {}
    writer = None
    frames = 0
    last_frame = None
    failure: Optional[BaseException] = None
    interrupted = False

    if args.trajectory:
        try:
            from .trajectory import GSDWriter

            writer = GSDWriter(args.trajectory, sim.box, n)
        except Exception as e:
            raise CommandError(f"cannot write the trajectory {args.trajectory}: {e}") from None

    with Interrupts() as interrupts:
        def write_frame():
            nonlocal frames, last_frame
            with interrupts.protected():
                writer.write(sim.step, sim.positions, sim.velocities, sim.images, time=sim.time)
                frames += 1
                last_frame = sim.step

        def observe(_sim=None):
            s = sim.step
            if s % sample == 0:
                pressures[s] = sim.pressure
            if writer is not None and s % every == 0:
                write_frame()

        started = time.perf_counter()
        step0 = sim.step
        try:
            if writer is not None:
                write_frame()
            sim.run(steps, every=interval, callback=observe, progress=not args.quiet)
            if writer is not None and last_frame != sim.step:
                write_frame()
        except KeyboardInterrupt:
            interrupted = True
            if writer is not None and last_frame is not None and last_frame != sim.step:
                write_frame()  # the trajectory ends where the log ends
        except Exception as e:
            failure = e
        finally:
            seconds = time.perf_counter() - started
            try:
                if writer is not None:
                    with interrupts.protected():
                        writer.close()
            finally:
                done = sim.step - step0
                columns, meta = run_log(sim, path, pressures, sample, args)
                if args.log:
                    from .plot import write_log

                    with interrupts.protected():
                        write_log(args.log, columns, meta)

    if failure is not None:
        say(f"vorlan run: error: {path}: {failure}", file=sys.stderr)
        if args.log:
            say(f"vorlan run: the log of the {done} step(s) done is in {args.log}", file=sys.stderr)
        return EXIT_FAILED
    if interrupted:
        kept = [f for f in (args.log, args.trajectory) if f]
        say(f"\nvorlan run: interrupted after {done} of {steps} step(s)"
            + (f"; kept {', '.join(kept)}" if kept else ""), file=sys.stderr)

    if args.plot:
        from .plot import plot_run, radial_distribution

        rdf = None
        if args.trajectory and frames:
            from .plot import gsd_frames

            positions, edge, fsteps = gsd_frames(args.trajectory)
            r, g = radial_distribution(positions, edge)
            rdf = (r, g, f"g(r), last {len(positions)} frame(s)")
        plot_run(args.plot, columns, meta, rdf, title=f"{os.path.basename(path)}: N = {n}, {done} steps")

    if not args.quiet:
        summary(sim, columns, meta, steps, done, seconds, sample, args, frames)
    return EXIT_INTERRUPTED if interrupted else EXIT_OK


def run_log(sim, path: str, pressures: Dict[int, float], sample: int, args):
    """The per-step columns of the log (pressure where sampled, else NaN) and its header."""
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
    }
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
    }
    return columns, meta


def summary(sim, columns, meta, steps, done, seconds, sample, args, frames) -> None:
    step = columns["step"]
    n = sim.nr_particles
    start = float(step[len(step) // 2]) if len(step) else 0.0
    t = half_stats(step, columns["temperature"], start)
    u = half_stats(step, columns["epot"] / n, start) if n else None
    p = half_stats(step, columns["pressure"], start)
    rate = n * done / seconds if seconds > 0 else math.inf
    rows = [
        ("particles N", f"{n}"),
        ("density N / V", f"{sim.density:.6g}"),
        ("steps", f"{done}" + (f" of {steps}" if done != steps else "") + f", dt = {meta['stepsize']}"),
    ]
    if len(step):
        rows.append(("averages over", f"steps {int(start)} to {int(step[-1])} (second half), mean +- spread"))
        target = f"   (target kT = {meta['kT']})" if meta.get("kT") else ""
        rows.append(("temperature T", fmt_stats(t) + target))
        rows.append(("energy u = Epot / N", fmt_stats(u)))
        rows.append(("pressure P", fmt_stats(p) + (f"   ({p[2]} samples, every {sample} steps)" if p else "")))
    rows.append(("wall time", f"{seconds:.3f} s"))
    rows.append(("speed", f"{rate / 1e6:.3g} M atom-steps/s" if math.isfinite(rate) else "-"))
    for flag, label in ((args.log, "log"), (args.trajectory, "trajectory"), (args.plot, "plot")):
        if flag:
            rows.append((label, flag + (f" ({frames} frames)" if label == "trajectory" else "")))
    width = max(len(a) for a, _ in rows)
    say("")
    for a, b in rows:
        say(f"  {a:<{width}}  {b}")


# ----------------------------------------------------------------------------- plot, convert


def cmd_plot(args) -> int:
    from .plot import PlotError, plot_files

    if len(args.inputs) > 2:
        raise CommandError("give a run log, a trajectory, or one of each")
    try:
        out = plot_files(args.inputs, args.output)
    except (PlotError, OSError, ValueError) as e:
        raise CommandError(str(e)) from None
    say(out)
    return EXIT_OK


def cmd_convert(args) -> int:
    try:
        from .trajectory import convert
    except ImportError as e:
        raise CommandError(f"this installation of vorlan cannot convert trajectories ({e})") from None
    try:
        convert(args.input, args.output)
    except (OSError, ValueError, TypeError) as e:
        raise CommandError(str(e)) from None
    return EXIT_OK


# ----------------------------------------------------------------------------- the parser


class Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog):
        super().__init__(prog, max_help_position=30)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vorlan",
        formatter_class=Formatter,
        description="Molecular dynamics of a Lennard-Jones fluid from a key = value parameter file.",
        epilog=(
            "Start here:\n"
            "  vorlan check examples/lj_liquid.par        is every line read as you meant it?\n"
            "  vorlan run examples/lj_liquid.par --plot run.png\n"
            "\n"
            "'vorlan COMMAND --help' tells more about each command. Exit status: 0 success,\n"
            "1 failure (the message says why), 2 bad command line, 130 interrupted (Ctrl-C)."
        ),
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")

    p = sub.add_parser(
        "check",
        formatter_class=Formatter,
        help="show what the engine reads from a parameter file, and what it skips",
        description=(
            "Reads a parameter file line by line exactly as the engine does and reports:\n"
            "lines it skips without a word (a comment after a value, an exponent such as\n"
            "1e-3, a sign, characters other than letters, digits and _ in a key, a\n"
            "byte-order mark), keys set twice (the first line wins), keys it never reads,\n"
            "missing keys, values out of range, and derived quantities. Changes nothing."
        ),
        epilog="Exit status 0 when the file would run, 1 when it would not.",
    )
    p.add_argument("params", metavar="PARAMS", help="the parameter file")
    p.add_argument("--strict", action="store_true", help="exit 1 on warnings too (skipped lines, duplicate or unknown keys)")
    p.set_defaults(func=cmd_check)

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
            "\n"
            "Ctrl-C stops the run after the current step; the log and trajectory written so\n"
            "far are kept (exit status 130)."
        ),
    )
    p.add_argument("params", metavar="PARAMS", help="the parameter file")
    p.add_argument("--steps", type=count, metavar="N", help="number of steps (default: nrsteps of the file)")
    p.add_argument("--seed", type=seed_value, metavar="S",
                   help="seed the start velocities (1 to 2**31 - 2); default: the process-wide sequence, as vorlan-run")
    p.add_argument("--threads", type=positive_int, metavar="T", help="threads of the parallel loops (default: all)")
    p.add_argument("--trajectory", metavar="FILE.gsd", help="write frames to a GSD trajectory")
    p.add_argument("--every", type=positive_int, metavar="K", help="a frame every K steps (default: nrsteps / 100)")
    p.add_argument("--sample", type=positive_int, metavar="K", help="sample the pressure every K steps (default: nrsteps / 100)")
    p.add_argument("--log", metavar="FILE.csv", help="write step, time, energies, temperature and pressure as CSV")
    p.add_argument("--plot", metavar="FILE.png", help="draw energies, temperature, pressure (and g(r) with --trajectory)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    p.set_defaults(func=cmd_run)

    p = sub.add_parser(
        "plot",
        formatter_class=Formatter,
        help="draw a run log (energies, temperature, pressure), g(r) of a trajectory, or a sweep",
        description=(
            "Draws a PNG from a run log written by 'vorlan run --log' (energies per particle,\n"
            "temperature with its target, pressure against the step), from a GSD trajectory\n"
            "(the radial distribution function g(r) of its last frames), or both; a\n"
            "directory is a sweep's results. Needs matplotlib: pip install 'vorlan[plot]'."
        ),
        epilog="Example:\n  vorlan plot run.csv run.gsd -o run.png",
    )
    p.add_argument("inputs", nargs="+", metavar="LOG_OR_GSD", help="run log (.csv), trajectory (.gsd) or sweep directory")
    p.add_argument("-o", "--output", metavar="OUT.png", help="the figure (default: the first input with .png)")
    p.set_defaults(func=cmd_plot)

    p = sub.add_parser(
        "convert",
        formatter_class=Formatter,
        help="convert a trajectory between .movie, .gsd and .xyz",
        description="Converts a trajectory; the formats follow from the extensions (.movie, .gsd, .xyz, .extxyz).",
        epilog="Example:\n  vorlan convert lj.movie lj.gsd",
    )
    p.add_argument("input", metavar="IN")
    p.add_argument("output", metavar="OUT")
    p.set_defaults(func=cmd_convert)

    for name in PLUGINS:
        try:
            module = importlib.import_module(name)
        except ImportError as e:
            if e.name == name:  # not part of this installation
                continue
            raise
        add = getattr(module, "add_parser", None)
        if add is not None:
            add(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help (0) or a bad command line (2)
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    if getattr(args, "func", None) is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        return int(args.func(args) or 0)
    except CommandError as e:
        say(f"vorlan {args.command}: error: {e}", file=sys.stderr)
        return EXIT_USAGE if isinstance(e, UsageError) else EXIT_FAILED
    except KeyboardInterrupt:
        say(f"\nvorlan {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
