"""A simulation that Python advances step by step: ``vorlan.Simulation``.

``Vorlan().simulate(path)`` runs a whole simulation in one call. A ``Simulation``
holds the box between calls instead: ``run(n)`` advances it by ``n`` steps, as
often as wanted, and between runs the state, the observables and the energy log
can be read, settings changed, a checkpoint written.

The steps are the engine's own (the same loop as ``simulate`` and ``vorlan-run``),
numbered on from one run to the next, so that ``run(300); run(700)`` gives the same
numbers as ``run(1000)``, and ``Simulation(path).run(nrsteps)`` as the first run of
a fresh process the same numbers as ``simulate(path)``.
"""

from __future__ import annotations

import contextlib
import math
import os
from typing import Any, Callable, Dict, Mapping, Optional, Union

import numpy as np

from . import _core, methods
from . import params as settings
from .io import checkpoint
from ._interrupts import Interrupts
from .progress import StepProgress

__all__ = ["Simulation", "check_threads"]

PathLike = Union[str, "os.PathLike[str]"]

# Seeds of the per-simulation generator: std::default_random_engine, the minimal
# standard generator x -> 16807 x mod (2^31 - 1), whose states are 1 .. 2^31 - 2
# (it would take 0 as 1 and reduce larger seeds modulo 2^31 - 1).
SEED_MIN = 1
SEED_MAX = 2**31 - 2

STEP_MAX = 2**32 - 1  # the engine numbers its steps with 32-bit unsigned integers

def _start_array(name: str, value: Any) -> np.ndarray:
    """An (N, 3) finite float64 array from the caller's start positions or
    velocities (N is checked against nr_particles by the engine)."""
    a = np.ascontiguousarray(value, dtype=np.float64)
    if a.ndim != 2 or a.shape[1] != 3:
        raise ValueError(f"{name} has shape {a.shape}, expected (nr_particles, 3)")
    if not np.isfinite(a).all():
        i = int(np.argwhere(~np.isfinite(a))[0][0])
        raise ValueError(f"{name} of particle {i} is {a[i].tolist()}: start {name} must be finite")
    return a


def check_threads(threads: Optional[int]) -> int:
    """The team size asked for as the engine takes it (0 for None: the OpenMP
    default, at most ``vorlan._core.max_threads()``). ``ValueError`` outside 1 to
    4 threads per processor (or the OpenMP thread limit), ``RuntimeError`` when
    that many threads cannot be started here (memory or process limits); the
    command line's ``--threads`` goes through it too."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)):
        raise TypeError(f"threads = {threads!r} is not allowed: give a positive integer or None")
    if threads < 1:
        raise ValueError(f"threads = {threads} is not allowed: the team size must be a positive integer (or None)")
    return int(_core.check_threads(int(threads)))


def _check_seed(seed: Optional[int]) -> Optional[int]:
    if seed is None:
        return None
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed = {seed!r} is not allowed: give an integer or None")
    if not SEED_MIN <= seed <= SEED_MAX:
        raise ValueError(
            f"seed = {seed} is not allowed: seeds of the minimal standard generator are "
            f"{SEED_MIN} to {SEED_MAX}"
        )
    return int(seed)


def _check_count(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} = {value!r} is not allowed: give an integer")
    if value < minimum:
        raise ValueError(f"{name} = {value} is not allowed: it must be at least {minimum}")
    return int(value)


def _parameter_path(params: Any) -> str:
    path = os.fspath(params)
    return os.fsdecode(path) if isinstance(path, bytes) else path


class Simulation:
    """A Lennard-Jones box advanced step by step.

    Parameters
    ----------
    params:
        The settings: the path of a parameter file (``str`` or ``os.PathLike``), or
        a mapping ``{key: value}`` with numbers or their text as values (the keys
        of the parameter file; ``nrsteps`` is needed only by ``run()`` without a
        step count).
    seed:
        ``None`` draws the start velocities from the process-wide sequence, as
        ``simulate`` does (the first simulation of a fresh process starts as
        ``simulate``'s first run). An integer from 1 to 2**31 - 2 gives this
        simulation a generator of its own of the same kind (the minimal standard
        engine ``std::default_random_engine`` with a standard normal distribution),
        seeded with it: the same seed gives the same start in any process, in any
        order and with any thread count; different seeds give different starts.
        ``seed=1`` starts as a fresh process's first ``simulate``.
    threads:
        Team size of this simulation's parallel loops; ``None`` keeps the OpenMP
        runtime's default. At most 4 threads per processor (and the OpenMP thread
        limit): a larger team only waits for itself; ``ValueError`` above that, and
        ``RuntimeError`` when the threads cannot be started (``check_threads``).
        Positions, velocities and the kinetic energy do not depend on it; the
        potential energy may differ in its last bits with more than one thread.
    positions, velocities:
        Optional start state, arrays of shape (N, 3) with finite values. Positions
        replace the lattice and are wrapped into the box; velocities replace the
        drawn ones and are used as given (their mean is not removed). The first
        neighbour list and forces are built from them.

    method, barostat:
        The integration method (``vorlan.NVE()``, ``Berendsen(tau=None)`` - the
        default, ``simulate``'s step -, ``Langevin(friction)``, ``Bussi(tau)``,
        ``NoseHoover(tau, chain=3)``) and an optional ``CRescale(pressure, tau)``
        barostat; see ``vorlan.methods``. Langevin, Bussi and CRescale need
        ``seed``: their random numbers are keyed by it, so that a seeded run is the
        same at any thread count and across checkpoints.

    Errors are those of ``simulate``: a missing file raises ``Exception("Cannot
    open file: ...")``, a missing key ``RuntimeError``, an unconvertible value
    ``TypeError``, a value outside its range ``ValueError`` naming the key.
    """

    def __init__(
        self,
        params: Union[PathLike, Mapping[str, Any]],
        *,
        seed: Optional[int] = None,
        threads: Optional[int] = None,
        positions: Any = None,
        velocities: Any = None,
        method: Optional[methods.Method] = None,
        barostat: Optional[methods.CRescale] = None,
    ) -> None:
        seed = _check_seed(seed)
        team = check_threads(threads)
        method = methods.Berendsen() if method is None else method
        methods.check(method, barostat, seed)
        if isinstance(params, Mapping):
            source: Any = settings.settings_text(params, stacklevel=2)
            make = _core.Engine.from_dict
        else:
            source = _parameter_path(params)
            if not os.path.exists(source):
                raise Exception("Cannot open file: " + source)
            make = _core.Engine.from_file  # type: ignore[assignment]
        start_x = None if positions is None else _start_array("positions", positions)
        start_v = None if velocities is None else _start_array("velocities", velocities)
        self._engine = make(source, seed, team, start_x, start_v)
        self._seed = seed
        self._time_base = (0, 0.0)  # (step, time) at which the current stepsize took over
        self._set_dynamics(method, barostat)

    # ------------------------------------------------------------------ running

    def run(
        self,
        steps: Optional[int] = None,
        *,
        every: Optional[int] = None,
        callback: Optional[Callable[["Simulation"], Any]] = None,
        progress: bool = False,
        trajectory: Optional[PathLike] = None,
        trajectory_every: Optional[int] = None,
    ) -> "Simulation":
        """Advance ``steps`` time steps (default: the setting ``nrsteps``).

        ``every=K`` with ``callback=f`` calls ``f(self)`` after every step whose
        number ``self.step`` is a multiple of K (counted over the whole
        simulation, so that split runs call it at the same steps). An exception
        raised by the callback stops the run after that step and propagates.

        ``trajectory="run.gsd"`` writes frames to a GSD file (``vorlan.trajectory``):
        the state at the start of this run, every K steps (with ``every=K``) and
        the state at its end.

        ``trajectory_every=K`` writes the frames every K steps instead of every
        ``every`` steps (a callback and frames at different intervals).

        ``progress=True`` shows a progress bar with the steps, atom-steps per
        second and the time left (tqdm when installed, else a line on standard
        error); nothing is printed otherwise.

        The interpreter lock is released while the engine steps. Ctrl-C raises
        ``KeyboardInterrupt`` at the end of the step in progress: ``self.step``
        says how far the run got, the log holds every step done, and ``run`` can
        be called again. Returns ``self``.
        """
        steps = _check_count("steps", int(settings.setting_value(self._engine.parameters, "nrsteps"))
                             if steps is None else steps, 0)
        if every is not None:
            every = _check_count("every", every, 1)
        if callback is not None and not callable(callback):
            raise TypeError(f"callback = {callback!r} is not callable")
        if callback is not None and every is None:
            raise ValueError("a callback needs every=K, the number of steps between its calls")
        if self.step + steps > STEP_MAX:
            raise OverflowError(
                f"steps = {steps} is not allowed: the step counter (now {self.step}) cannot go beyond {STEP_MAX}"
            )

        if trajectory_every is not None:
            trajectory_every = _check_count("trajectory_every", trajectory_every, 1)
        frames = trajectory_every or every
        interval = math.gcd(every or 0, frames or 0) if trajectory is not None else (every or 0)
        with contextlib.ExitStack() as stack:
            interrupts = stack.enter_context(Interrupts())
            writer = None
            if trajectory is not None:
                from .io.gsd import GSDWriter

                writer = stack.enter_context(GSDWriter(os.fspath(trajectory), self.box, self.nr_particles,
                                                       dt=self._stepsize()))
            bar = StepProgress(steps, self.nr_particles) if progress else None
            if bar is not None:
                stack.callback(bar.close)
            first = self.step

            written = [-1]  # the step of the latest frame

            def observe(event: str, step: int) -> None:
                # "start", "every" K steps, "last" (the end, also of an interrupted run)
                if writer is not None and written[0] != step and (event != "every" or step % frames == 0):  # type: ignore[operator]
                    with interrupts.protected():
                        self._write_frame(writer)
                    written[0] = step
                if event == "every" and callback is not None and step % every == 0:  # type: ignore[operator]
                    callback(self)

            def report(step: int) -> None:
                bar.update(step - first)  # type: ignore[union-attr]

            self._engine.run(steps, interval, observe if writer or callback else None,
                             report if bar is not None else None)
            if bar is not None:
                bar.update(self.step - first)
        return self

    def _stepsize(self) -> float:
        return float(settings.setting_value(self._engine.parameters, "stepsize"))

    def _write_frame(self, writer: Any) -> None:
        writer.write(self.step, self.positions, self.velocities, self.images, time=self.time)

    # ------------------------------------------------------------------ observables

    @property
    def step(self) -> int:
        """Number of steps done; the next step has this number."""
        return self._engine.step

    @property
    def time(self) -> float:
        """Simulated time: the steps done times the step size (summed piecewise
        when the step size was changed with ``set``)."""
        step0, time0 = self._time_base
        return time0 + (self.step - step0) * self._stepsize()

    @property
    def nr_particles(self) -> int:
        """Number of particles N."""
        return self._engine.nr_particles

    @property
    def threads(self) -> int:
        """Most threads this simulation's parallel loops use: `threads`, or the
        OpenMP default. While other processes keep the cores busy the loops run on
        one thread, which gives the same positions and velocities."""
        return self._engine.threads

    @property
    def seed(self) -> Optional[int]:
        """The seed of this simulation's own generator, or None (process-wide sequence)."""
        return self._seed

    @property
    def box(self) -> np.ndarray:
        """Box edge lengths (Lx, Ly, Lz), shape (3,)."""
        return np.array(self._engine.box, dtype=np.float64)

    @property
    def volume(self) -> float:
        """Box volume V = Lx Ly Lz."""
        lx, ly, lz = self._engine.box
        return lx * ly * lz

    @property
    def density(self) -> float:
        """Number density N / V."""
        return self.nr_particles / self.volume

    @property
    def ekin(self) -> float:
        """Kinetic energy: after the latest step, or of the start velocities before the first."""
        return self._engine.ekin

    @property
    def epot(self) -> float:
        """Potential energy of the current configuration (truncated and shifted LJ)."""
        return self._engine.epot

    @property
    def etot(self) -> float:
        """Total energy ekin + epot."""
        return self._engine.etot

    @property
    def temperature(self) -> float:
        """Kinetic temperature 2 ekin / (3N - 3) in units of the energy (k_B = 1).

        3N - 3 degrees of freedom: the total momentum is removed at the start and
        every method keeps it at zero, so under a thermostat the temperature
        measured here settles at the setting ``kT``.
        """
        return 2.0 * self.ekin / self._degrees_of_freedom()

    @property
    def conserved(self) -> float:
        """The conserved quantity of the method: etot, minus the energy the
        thermostat put in (Berendsen, Bussi, Langevin) or plus the chain's energy
        (NoseHoover), plus P0 V minus the barostat's work. It stays constant up to
        the integration error: its drift measures the quality of the time step."""
        return self._engine.conserved

    # ------------------------------------------------------------------ ensemble

    @property
    def method(self) -> methods.Method:
        """The integration method of the next runs (``vorlan.NVE()``, ``Berendsen``,
        ``Langevin``, ``Bussi``, ``NoseHoover``). Assigning one switches between
        runs (equilibrate with ``Bussi``, then measure dynamics in ``NVE``); its
        state (chain variables, work) starts afresh, the barostat is kept."""
        name, parameters, _ = self._engine.dynamics
        return methods.from_core(name, parameters)

    @method.setter
    def method(self, method: methods.Method) -> None:
        self._set_dynamics(method, self.barostat)

    @property
    def barostat(self) -> Optional[methods.CRescale]:
        """The barostat (``vorlan.CRescale``) or None for constant volume;
        assignable between runs like ``method``. Its compressibility shows the
        value in use (the default is fixed at the first step)."""
        return methods.barostat_from_core(self._engine.dynamics[2])

    @barostat.setter
    def barostat(self, barostat: Optional[methods.CRescale]) -> None:
        self._set_dynamics(self.method, barostat)

    def _set_dynamics(self, method: Any, barostat: Any) -> None:
        methods.check(method, barostat, self._seed)
        name, parameters = method._core()
        self._engine.set_dynamics(name, parameters, None if barostat is None else barostat._core()[1])

    @property
    def virial(self) -> float:
        """Virial W = sum over distinct pairs within rcut of r_ij . F_ij (minimum image)
        of the current forces: the force evaluation sums it on the way, so reading it
        costs nothing."""
        return self._engine.virial

    @property
    def pressure(self) -> float:
        """Pressure P = (2 ekin + W) / (3V), with the virial W of the current forces."""
        return (2.0 * self.ekin + self.virial) / (3.0 * self.volume)

    def _degrees_of_freedom(self) -> int:
        dof = 3 * self.nr_particles - 3
        if dof <= 0:
            raise ValueError(f"nr_particles = {self.nr_particles} has no temperature: it needs at least 2 particles")
        return dof

    @property
    def positions(self) -> np.ndarray:
        """Positions, wrapped into the box: a float64 copy of shape (N, 3)."""
        return self._engine.positions

    @property
    def velocities(self) -> np.ndarray:
        """Velocities: a float64 copy of shape (N, 3)."""
        return self._engine.velocities

    @property
    def forces(self) -> np.ndarray:
        """Forces at the current positions: a float64 copy of shape (N, 3)."""
        return self._engine.forces

    @property
    def images(self) -> np.ndarray:
        """Box crossings per particle and axis, int32 (N, 3): the unwrapped
        positions are ``positions + images * box``."""
        return self._engine.images

    @property
    def log(self) -> Dict[str, np.ndarray]:
        """The energies after every step done, as NumPy arrays of equal length:
        ``step`` (1, 2, ...: the value of ``self.step`` after that step), ``ekin``,
        ``epot``, ``etot``, ``temperature`` (2 ekin / (3N - 3); left out when
        N < 2), ``conserved`` (see ``conserved``; NaN for steps of a checkpoint
        that did not record it), ``volume``, and ``pressure`` ((2 ekin + W)/3V) when
        every step done ran with a barostat."""
        ekin, epot, etot = self._engine.log()
        log = {
            "step": np.arange(1, len(ekin) + 1, dtype=np.int64),
            "ekin": ekin,
            "epot": epot,
            "etot": etot,
        }
        if self.nr_particles >= 2:
            log["temperature"] = 2.0 * ekin / (3 * self.nr_particles - 3)
        extras = self._engine.log_extras()
        log["conserved"] = extras["conserved"]
        log["volume"] = extras["volume"]
        if len(ekin) > 0 and not np.isnan(extras["pressure"]).any():
            log["pressure"] = extras["pressure"]
        return log

    # ------------------------------------------------------------------ settings

    @property
    def parameters(self) -> Dict[str, str]:
        """The settings as key -> value text (a copy)."""
        return dict(self._engine.parameters)

    def set(self, key: str, value: Any) -> None:
        """Change one setting between runs (steering), e.g. ``sim.set("kT", 1.5)``.

        The next step reads it. The whole set is checked first by the same rules
        as the engine's (``ValueError`` naming the key when it breaks one).
        ``nr_particles`` and ``cell_length`` belong to the box and cannot change.
        """
        settings.check_key(key, stacklevel=2)
        if key in ("nr_particles", "cell_length"):
            raise ValueError(f"{key} cannot change: it belongs to the box built at the start")
        text = settings.format_value(key, value)
        proposed = self.parameters
        proposed[key] = text
        problems = settings.check(proposed)
        if problems:
            raise ValueError("; ".join(message for _, message in problems))
        if key == "stepsize":
            self._time_base = (self.step, self.time)
        self._engine.set(key, text)

    # ------------------------------------------------------------------ checkpoints

    def save(self, path: PathLike) -> None:
        """Write a checkpoint (NumPy ``.npz``, ``vorlan.io.checkpoint``) from which
        ``Simulation.load`` continues bit for bit: settings, step, positions,
        velocities, forces, the neighbour list as built and the displacements
        since then, image counters and the log. The file appears whole or not at
        all, so an interrupted save leaves any earlier checkpoint intact."""
        checkpoint.write(_parameter_path(path), self.__getstate__())

    @classmethod
    def load(cls, path: PathLike, *, threads: Optional[int] = None) -> "Simulation":
        """A simulation restored from a checkpoint written by ``save``, ready to
        continue bit for bit (``threads`` as in the constructor).

        The file is held to what ``save`` writes before any step: ``ValueError``
        naming the file when it is not a vorlan checkpoint (an entry missing or of
        another kind), when a setting breaks a rule of the constructor, when a
        value is not finite or a position lies outside the box, or when the
        neighbour list breaks its layout in any entry. Loading runs no code from
        the file."""
        team = check_threads(threads)
        sim = cls.__new__(cls)
        sim._engine, sim._seed, sim._time_base = checkpoint.load(_parameter_path(path), team)
        return sim

    def __getstate__(self) -> Dict[str, Any]:
        """The checkpoint's arrays (pickling a Simulation, e.g. back from a process
        pool, carries the same state as ``save``)."""
        return checkpoint.arrays(self._engine, self._seed, self._time_base)

    def __setstate__(self, arrays: Dict[str, Any]) -> None:
        self._restore(arrays, 0)

    def _restore(self, arrays: Mapping[str, Any], team: int) -> None:
        self._engine, self._seed, self._time_base = checkpoint.restore(arrays, team)

    # ------------------------------------------------------------------ interop

    def to_ase(self) -> Any:
        """The current configuration as an ``ase.Atoms`` (needs ase): positions,
        the periodic box, masses and momenta, numbers as they are (reduced LJ
        units read as ASE's units)."""
        from .io.ase import atoms

        return atoms(self.box, self.positions, self.velocities, mass=float(self._engine.parameters["mass"]))

    def __repr__(self) -> str:
        barostat = self.barostat
        ensemble = f" method={self.method!r}" + ("" if barostat is None else f" barostat={barostat!r}")
        return (
            f"<Simulation N={self.nr_particles} step={self.step}{ensemble} "
            f"ekin={self.ekin:.6g} epot={self.epot:.6g}>"
        )
