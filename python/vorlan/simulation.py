"""A simulation that Python advances step by step: ``vorlan.Simulation``.

``Vorlan().simulate(path)`` runs a whole simulation in one call. A ``Simulation``
holds the box between calls instead: ``run(n)`` advances it by ``n`` steps, as
often as wanted, and between runs the state, the observables and the energy log
can be read, settings changed, a checkpoint written.

The steps are the engine's own (the same loop as ``simulate`` and ``vorlan-run``),
numbered on from one run to the next, so that ``run(300); run(700)`` gives the same
numbers as ``run(1000)``, and ``Simulation(path).run(nrsteps)`` as the first run of
a fresh process the numbers of ``simulate(path)`` up to rounding: a ``Simulation``
sums its energies exactly (the same bits on any number of threads and in any order
of the particles, which it keeps in memory sorted by subcell), ``simulate`` in
particle order.

This module is the run object; its start (settings, positions, velocities,
box, a mixture's species and pairs, a start read from a file) is assembled in
``vorlan.starts``, its settings and arguments are checked in ``vorlan.params``,
its checkpoints are ``vorlan.io.checkpoint``'s.
"""

from __future__ import annotations

import contextlib
import math
import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import edits
from . import methods
from . import params as settings
from .io import checkpoint
from .params import STEP_MAX, check_count, check_seed, check_threads
from .starts import file_start, parameter_path, simulation_start
from ._interrupts import Interrupts
from .progress import StepProgress

__all__ = ["Simulation", "check_threads", "observables"]


def observables(cls: type) -> List[str]:
    """The names run(observe=...) can record: every property of `cls` but the
    whole log and the records themselves."""
    return sorted(name for name in dir(cls)
                  if isinstance(getattr(cls, name, None), property) and name not in ("log", "observations"))


# Observables the force loop gives on the way when asked for during a run.
PAIR_TERMS = {"pressure_tensor", "particle_energies", "particle_virials"}

PathLike = Union[str, "os.PathLike[str]"]


class _NoFrames(contextlib.AbstractContextManager):  # type: ignore[type-arg]
    """The trajectory writer of the processes other than 0 of a divided box: they
    gather each frame's arrays with process 0 and write nothing."""

    def __init__(self, last_step: Optional[int]) -> None:
        self.last_step = last_step
        self.pair: Any = None
        self.fields: Any = None
        self.barostat: Any = None

    def __exit__(self, *exc: Any) -> None:
        return None

    def write(self, *args: Any, **kwargs: Any) -> None:
        pass


def _division_arguments(comm: Any, domains: Optional[Sequence[int]]) -> Tuple[int, int, int]:
    """The domains per axis asked for (zeros: chosen), after checking `comm`."""
    if not hasattr(comm, "py2f"):
        raise TypeError(f"comm = {comm!r} is not allowed: give an mpi4py communicator (mpi4py.MPI.COMM_WORLD)")
    grid = (0, 0, 0) if domains is None else tuple(int(d) for d in domains)
    if len(grid) != 3:
        raise ValueError(f"domains = {domains!r} is not allowed: give three counts (px, py, pz)")
    return grid  # type: ignore[return-value]


def last_step_of(path: str) -> Optional[int]:
    from .io.gsd import last_step

    return last_step(path)  # type: ignore[no-any-return]


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
        drawn ones. The first neighbour list and forces are built from them.
        ``vorlan.lattice`` and ``vorlan.random_positions`` make such starts.
    zero_momentum:
        True (the default): a net momentum of the supplied velocities is removed
        (the mass-weighted centre-of-mass velocity subtracted), with a warning
        saying how much, since every method keeps the total momentum at zero and
        counts 3N - 3 degrees of freedom (the thermostats would otherwise heat
        the drift and cool the rest). A drift at the level of rounding (below
        1e-10 of the rms speed) is left alone, so that velocities read from a run
        restart bit for bit. False keeps the velocities exactly as given; the
        ``temperature`` property then still reports the thermal temperature (the
        drift's kinetic energy taken out), while the log's ``temperature``
        counts the whole kinetic energy.
    box:
        The box sides (Lx, Ly, Lz), or one side of a cube; by default a cube of
        side ``cell_length``. With a box, N is the number of ``positions`` (or
        ``nr_particles`` without them), and the settings' ``nr_particles`` and
        ``cell_length`` are replaced by N and the shortest side, so that the rule
        rcut <= L/2 is checked against it.
    pair:
        The pair potential of one species, a ``vorlan.pair`` object (``LJ``,
        ``WCA``, ``Mie``, ``Yukawa``, ``Morse``, ``Table``); by default the
        truncated and shifted Lennard-Jones of the settings (sigma, epsilon,
        rcut). The setting ``rcut`` becomes the potential's cut-off. A mixture
        gives ``pairs={("A", "A"): vorlan.pair.Mie(...), ...}`` instead: one
        family and mode for all pairs, cross pairs not given mixed by the
        family's rule (``vorlan.pair``).
    fields:
        External fields, a list of ``vorlan.field`` objects (``Wall``,
        ``Constant``): their forces added to the pair forces, their energy in
        ``epot``; a wall makes its axis non-periodic (``vorlan.field``).
    species, types, masses, pairs:
        A mixture (``vorlan.mixture``): ``species`` the names (e.g. ``["A",
        "B"]``), ``types`` an integer array of N indices into them, ``masses``
        a mapping name -> mass (species left out: the setting ``mass``) or one
        mass per species, ``pairs`` a mapping ``(a, b) -> dict(epsilon=...,
        sigma=..., rcut=...)``: each like pair is needed, cross pairs not given
        follow the Lorentz-Berthelot rules with the setting ``rcut``; without
        ``pairs`` every pair takes the settings' sigma, epsilon and rcut. Each
        pair's potential is shifted to zero at its own cut-off, and the
        neighbour list reaches the largest cut-off plus ``shell``. The
        Kob-Andersen glass former::

            species, types = vorlan.composition(1000, {"A": 0.8, "B": 0.2}, seed=1)
            x = vorlan.random_positions(1000, box, 0.75, seed=1)
            Simulation(params, species=species, types=types, pairs=vorlan.mixture.KOB_ANDERSEN,
                       positions=x, box=box)

        Without ``species`` the box holds one species with the settings' sigma,
        epsilon and mass, on the one-species code path.

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
        box: Any = None,
        species: Optional[Sequence[str]] = None,
        types: Any = None,
        masses: Any = None,
        pairs: Optional[Mapping[Any, Any]] = None,
        zero_momentum: bool = True,
        pair: Any = None,
        fields: Optional[Sequence[Any]] = None,
        comm: Any = None,
        domains: Optional[Sequence[int]] = None,
    ) -> None:
        from . import field as external_fields

        engine_fields = external_fields.engine_fields(fields)
        seed = check_seed(seed)
        team = check_threads(threads)
        method = methods.Berendsen() if method is None else method
        methods.check(method, barostat, seed)
        start = simulation_start(params, positions, velocities, box, species, types, masses, pairs, stacklevel=2,
                                 pair=pair)
        settings.check_simulation_settings(start.settings())
        self._species: Optional[List[str]] = start.species
        self._type_masses: Optional[np.ndarray] = None if start.mixture is None else start.mixture["masses"]
        self._engine = start.engine(seed, team, engine_fields, divided=comm is not None)
        self._seed = seed
        self._time_base = (0, 0.0)  # (step, time) at which the current stepsize took over
        self._set_dynamics(method, barostat)
        if velocities is not None and zero_momentum:
            free = edits.momentum_free(self.velocities, self.masses, stacklevel=2)
            if free is not None:
                self._engine.edit(None, free, None, 0.0)
        if comm is not None:
            self._divide(comm, domains)
        elif domains is not None:
            raise ValueError("domains is only allowed with comm: the box is divided among the processes of comm")

    def _divide(self, comm: Any, domains: Optional[Sequence[int]], keep_list: bool = False) -> None:
        """The box divided among the processes of the mpi4py communicator `comm`
        (`keep_list`: a loaded box goes on with its saved neighbour list)."""
        grid = _division_arguments(comm, domains)
        self._engine.divide(comm.py2f(), grid, keep_list)
        self._comm = comm

    _comm: Any = None  # the mpi4py communicator of a divided box

    @classmethod
    def from_file(cls, path: PathLike, params: Union[PathLike, Mapping[str, Any]], frame: int = -1, *,
                  species: Union[Sequence[str], Mapping[str, str], None] = None, masses: Any = None,
                  pairs: Optional[Mapping[Any, Mapping[str, Any]]] = None, velocities: bool = True,
                  seed: Optional[int] = None, threads: Optional[int] = None,
                  method: Optional[methods.Method] = None, barostat: Optional[methods.CRescale] = None,
                  zero_momentum: bool = True, step: Optional[int] = None,
                  stepsize: Optional[float] = None, pair: Any = None, comm: Any = None,
                  domains: Optional[Sequence[int]] = None) -> "Simulation":
        """A simulation started from frame `frame` (default the last) of a GSD,
        extended XYZ or LAMMPS data file (``vorlan.io.start.read_start``), with
        the settings `params` for everything else.

        The file gives the positions, the box (N and the box replace
        ``nr_particles`` and ``cell_length``), the species (GSD type names, XYZ
        symbols, LAMMPS type numbers "1", "2", ...), their masses and the
        velocities where it holds them (``velocities=False`` draws them at the
        setting kT instead). Species are matched by name: `species` is the list
        of the simulation's species (it must name every species of the file, in
        the order the type tables follow; names the file lacks are species
        without particles), or a mapping from the file's names to the
        simulation's (``{"Ar": "A"}``; names not mapped are kept). A name that
        matches nothing is a ValueError naming it. `masses` (keyed by the
        simulation's names; an integer key 1 stands for species "1", the type
        numbers of a LAMMPS start) and `pairs` are as in the constructor
        (masses given here win over the file's). A file of one species whose
        mass is the setting's (or not given) runs on the one-species path;
        numbers are taken as written, as reduced units (convert with
        ``vorlan.units`` first). Every fault of the file is a ValueError naming
        the file and its line, or its frame and chunk.

        The clock goes on from the frame: ``step`` (default the frame's step, 0
        when the file records none) is counted as done, so that callbacks, frames
        and trajectories (``run(trajectory=..., append=True)`` onto the same file)
        continue its numbering and the log starts after it; ``stepsize`` (default
        the time step a vorlan GSD frame records, else the setting) replaces the
        setting, and the simulated time goes on from the frame's. ``step=0``
        starts the clock afresh. Every other keyword is the constructor's
        (seed, threads, method, barostat, zero_momentum, pair, comm, domains).
        """
        if comm is None and domains is not None:
            raise ValueError("domains is only allowed with comm: the box is divided among the processes of comm")
        arguments = file_start(path, params, frame, species, masses, pairs, velocities)
        frame_step, frame_dt, frame_time = arguments.pop("clock")
        step = check_count("step", (frame_step or 0) if step is None else step, 0)
        dt = frame_dt if stepsize is None else stepsize
        if dt is not None:
            entries = dict(arguments["params"])
            entries["stepsize"] = repr(float(dt))
            arguments["params"] = entries
        sim = cls(**arguments, seed=seed, threads=threads, method=method, barostat=barostat,
                  zero_momentum=zero_momentum, pair=pair)
        if step > 0:
            sim._engine.start_at(step)
            sim._time_base = (step, frame_time if frame_time is not None and step == frame_step
                              else step * sim._stepsize())
        if comm is not None:  # the clock set on the whole box, then shared out
            sim._divide(comm, domains)
        return sim

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
        observe: Optional[Mapping[str, int]] = None,
        append: bool = False,
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

        ``observe={"velocities": 10, "pressure": 1}`` records the named
        properties of this simulation (any property: positions, velocities,
        forces, images, pressure, virial, box, ...; ``observables(Simulation)``
        lists them) after every step whose number is a multiple of its k,
        counted over the whole simulation like ``every``; they gather in
        ``self.observations`` (name -> (steps, values)) across runs, where a
        callback can read them too (the observations come first).

        ``append=True`` adds the frames to an existing GSD `trajectory` (a
        restart's, ``from_file``) instead of replacing it; the start frame is
        left out when the file ends at this step already.

        Observing ``pressure_tensor``, ``particle_energies`` or
        ``particle_virials`` has the force loop give them on the way (no second
        pass); ``log["pressure_tensor"]`` then holds the tensor.

        ``progress=True`` shows a progress bar with the steps, atom-steps per
        second and the time left (tqdm when installed, else a line on standard
        error); nothing is printed otherwise.

        The interpreter lock is released while the engine steps. Ctrl-C raises
        ``KeyboardInterrupt`` at the end of the step in progress: ``self.step``
        says how far the run got, the log holds every step done, and ``run`` can
        be called again. Returns ``self``.
        """
        steps, every, trajectory_every = self._run_counts(steps, every, callback, trajectory_every)
        observing = edits.observe_counts(observe, observables(type(self)))
        frames = trajectory_every or every
        interval = math.gcd(every or 0, frames or 0) if trajectory is not None else (every or 0)
        for k in observing.values():
            interval = math.gcd(interval, k)
        # the steps whose pair terms an observation reads: the force loop gives
        # them on those steps alone (a callback reading them gets them evaluated then)
        terms_every = 0
        for name in set(observing) & PAIR_TERMS:
            terms_every = math.gcd(terms_every, observing[name])
        with contextlib.ExitStack() as stack:
            interrupts = stack.enter_context(Interrupts())
            writer = None
            if trajectory is not None:
                from .io.gsd import GSDWriter

                writer = stack.enter_context(self._trajectory_writer(GSDWriter, trajectory, append))
                writer.pair = self._pair_record()  # recorded in every frame's log
                writer.fields = self._engine.fields
                writer.barostat = self.barostat
            bar = StepProgress(steps, self.nr_particles) if progress and self.rank == 0 else None
            if bar is not None:
                stack.callback(bar.close)
            first = self.step

            def report(step: int) -> None:
                bar.update(step - first)  # type: ignore[union-attr]

            self._engine.run(steps, interval, self._observer(writer, interrupts, frames, callback, every, observing),
                             report if bar is not None else None, terms_every)
            if bar is not None:
                bar.update(self.step - first)
        return self

    def _run_counts(self, steps: Optional[int], every: Optional[int], callback: Any,
                    trajectory_every: Optional[int]) -> Tuple[int, Optional[int], Optional[int]]:
        """run()'s step counts checked: (steps, every, trajectory_every)."""
        steps = check_count("steps", int(settings.setting_value(self._engine.parameters, "nrsteps"))
                            if steps is None else steps, 0)
        if every is not None:
            every = check_count("every", every, 1)
        if callback is not None and not callable(callback):
            raise TypeError(f"callback = {callback!r} is not callable")
        if callback is not None and every is None:
            raise ValueError("a callback needs every=K, the number of steps between its calls")
        if self.step + steps > STEP_MAX:
            raise OverflowError(
                f"steps = {steps} is not allowed: the step counter (now {self.step}) cannot go beyond {STEP_MAX}"
            )
        if trajectory_every is not None:
            trajectory_every = check_count("trajectory_every", trajectory_every, 1)
        return steps, every, trajectory_every

    def _observer(self, writer: Any, interrupts: Interrupts, frames: Optional[int],
                  callback: Optional[Callable[["Simulation"], Any]],
                  every: Optional[int], observing: Optional[Dict[str, int]] = None) -> Optional[Callable[[str, int], None]]:
        """The engine's observer(event, step) of a run: a frame at the start, every
        `frames` steps and at the end (once per step), the observations and then
        the callback every `every` steps; None when there is nothing to do
        between steps."""
        if writer is None and callback is None and not observing:
            return None
        written = [-1 if writer is None or getattr(writer, "last_step", None) is None else writer.last_step]

        def observe(event: str, step: int) -> None:
            # "start", "every" K steps, "last" (the end, also of an interrupted run)
            if writer is not None and written[0] != step and (event != "every" or step % frames == 0):  # type: ignore[operator]
                with interrupts.protected():
                    self._write_frame(writer)
                written[0] = step
            if event == "every":
                for name, k in (observing or {}).items():
                    if step % k == 0:
                        self.observations.record(name, step, getattr(self, name))
            if event == "every" and callback is not None and step % every == 0:  # type: ignore[operator]
                callback(self)

        return observe

    def _trajectory_writer(self, writer_class: Any, trajectory: PathLike, append: bool) -> Any:
        """The GSD writer of a run: a new file, or with `append` the frames added to
        an existing one (its last step noted, so that the start frame is not
        written twice)."""
        path = os.fspath(trajectory)
        if self.rank != 0:  # process 0 writes what every process gathers
            return _NoFrames(last_step_of(path) if append and os.path.exists(path) else None)
        if not append or not os.path.exists(path):
            return writer_class(path, self.box, self.nr_particles, type_name=self.species, dt=self._stepsize())
        from .io.gsd import last_step

        last = last_step(path)
        writer = writer_class(path, self.box, self.nr_particles, type_name=self.species, dt=self._stepsize(),
                              mode="a")
        writer.last_step = last
        return writer

    def _pair_record(self) -> Dict[str, Any]:
        """The pair potential as the trajectory records it (the settings'
        Lennard-Jones as family lj, mode shift, epsilon, sigma, rcut)."""
        record = self._engine.pair_potential
        if record is None:
            entries = self._engine.parameters
            values = [float(settings.setting_value(entries, k)) for k in ("epsilon", "sigma", "rcut")]
            record = dict(family="lj", mode="shift", nr_types=1, values=np.array(values), tail=False)
        return dict(record)

    def _stepsize(self) -> float:
        return float(settings.setting_value(self._engine.parameters, "stepsize"))

    def _write_frame(self, writer: Any) -> None:
        # each frame its own box: a barostat moves it from step to step
        writer.write(self.step, self.positions, self.velocities, self.images, time=self.time, box=self.box,
                     typeid=self.types)

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
    def rank(self) -> int:
        """This process's number among those sharing the box (0 for one process)."""
        return int(self._engine.division[0])

    @property
    def ranks(self) -> int:
        """Number of processes sharing the box (1 unless divided with ``comm``)."""
        return int(self._engine.division[1])

    @property
    def domains(self) -> Tuple[int, int, int]:
        """Domains per axis (px, py, pz) of a box divided among processes."""
        return tuple(self._engine.division[2])  # type: ignore[return-value]

    @property
    def local(self) -> Dict[str, Any]:
        """This process's own particles, without gathering: ``ids`` (their global
        numbers, ascending), ``positions``, ``velocities``, ``forces``, ``images``,
        and ``ghosts`` (copies held of other processes' particles)."""
        return dict(self._engine.local())

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
        """Box edge lengths (Lx, Ly, Lz), shape (3,). Assignable between runs
        (``set_box``: the positions stay where they are; ``scale_box`` strains)."""
        return np.array(self._engine.box, dtype=np.float64)

    @box.setter
    def box(self, box: Any) -> None:
        self.set_box(box)

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
        """Thermal kinetic temperature 2 (ekin - K_cm) / (3N - 3) in units of the
        energy (k_B = 1), ``K_cm = |P|^2 / 2M`` the kinetic energy of the
        centre-of-mass motion.

        3N - 3 degrees of freedom: the total momentum is removed at the start and
        every method keeps it at zero, so under a thermostat the temperature
        measured here settles at the setting ``kT`` (and K_cm is zero up to
        rounding). Velocities kept with a drift (``zero_momentum=False``) have
        their drift left out here: this is the temperature of the motion about
        the centre of mass.
        """
        drift = 0.0
        if self.nr_particles >= 2:
            m = self.masses
            p = m @ self.velocities
            drift = 0.5 * float(p @ p) / float(m.sum())
        return 2.0 * (self.ekin - drift) / self._degrees_of_freedom()

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

    @property
    def pressure_tensor(self) -> Tuple[float, float, float, float, float, float]:
        """Pressure tensor (xx, yy, zz, xy, xz, yz) = (sum_i m_i v_i (x) v_i + W) / V
        of the current state, W the virial tensor sum over pairs of r_ij (x) F_ij
        (with the tail correction on the diagonal when the potential has one);
        its trace / 3 is ``pressure`` to rounding (the kinetic part is taken from
        the current velocities). The pair loop gives W alongside the forces."""
        kinetic = self._engine.kinetic_tensor  # summed in the engine, as the energies are
        w = self._engine.virial_tensor
        volume = self.volume
        return tuple((k + x) / volume for k, x in zip(kinetic, w))  # type: ignore[return-value]

    @property
    def particle_energies(self) -> np.ndarray:
        """Potential energy per particle (N,): half of each of its pairs'
        energies (plus its share of a tail correction); they sum to ``epot``
        to rounding."""
        return self._engine.particle_energies

    @property
    def particle_virials(self) -> np.ndarray:
        """Virial per particle (N, 6): xx yy zz xy xz yz of half of each of its
        pairs' r_ij (x) F_ij; summed over the particles they give the virial
        tensor without its tail correction."""
        return self._engine.particle_virials

    def _degrees_of_freedom(self) -> int:
        dof = 3 * self.nr_particles - 3
        if dof <= 0:
            raise ValueError(f"nr_particles = {self.nr_particles} has no temperature: it needs at least 2 particles")
        return dof

    @property
    def positions(self) -> np.ndarray:
        """Positions, wrapped into the box: a float64 copy of shape (N, 3).
        Assignable between runs (``set_positions``)."""
        return self._engine.positions

    @positions.setter
    def positions(self, positions: Any) -> None:
        self.set_positions(positions)

    @property
    def velocities(self) -> np.ndarray:
        """Velocities: a float64 copy of shape (N, 3). Assignable between runs
        (``set_velocities``)."""
        return self._engine.velocities

    @velocities.setter
    def velocities(self, velocities: Any) -> None:
        self.set_velocities(velocities)

    @property
    def forces(self) -> np.ndarray:
        """Forces at the current positions: a float64 copy of shape (N, 3)."""
        return self._engine.forces

    @property
    def species(self) -> List[str]:
        """Names of the species; ``["A"]`` for one species."""
        return list(self._species) if self._species is not None else ["A"]

    @property
    def types(self) -> np.ndarray:
        """Species index of each particle, int32 (N,) (all 0 for one species)."""
        return self._engine.types

    @property
    def masses(self) -> np.ndarray:
        """Mass of each particle, float64 (N,)."""
        if self._type_masses is None:
            return np.full(self.nr_particles, float(settings.setting_value(self._engine.parameters, "mass")))
        return self._type_masses[self.types]

    @property
    def images(self) -> np.ndarray:
        """Box crossings per particle and axis, int32 (N, 3): the unwrapped
        positions are ``positions + images * box``."""
        return self._engine.images

    @property
    def log(self) -> Dict[str, np.ndarray]:
        """The energies after every step done, as NumPy arrays of equal length:
        ``step`` (1, 2, ...: the value of ``self.step`` after that step; after a
        restart that took over a frame's step k, k + 1, k + 2, ...), ``ekin``,
        ``epot``, ``etot``, ``temperature`` (2 ekin / (3N - 3); left out when
        N < 2), ``conserved`` (see ``conserved``; NaN for steps of a checkpoint
        that did not record it), ``volume``, and ``pressure`` ((2 ekin + W)/3V) when
        every step done ran with a barostat; ``pressure_tensor`` (steps, 6) when a
        run recorded it (``run(observe=...)``), NaN rows at the steps it did not."""
        ekin, epot, etot = self._engine.log()
        first = self._engine.log_start  # steps taken over from a restart's frame
        log = {
            "step": np.arange(first + 1, first + len(ekin) + 1, dtype=np.int64),
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
        observed = self.observations.get("pressure_tensor")
        if observed is not None:
            tensor = np.full((len(ekin), 6), np.nan)
            for step, values in zip(*observed):
                if first < step <= first + len(ekin):
                    tensor[step - first - 1] = values
            log["pressure_tensor"] = tensor
        return log

    # ------------------------------------------------------------------ edits

    # Each edit is held to the checks of a start (vorlan.edits), after which the
    # list is built anew and the forces evaluated at the edited state; a refused
    # edit changes nothing. What the next steps carry on with: the step count and
    # the log, the method's state (Nose-Hoover chain positions and velocities,
    # the work or heat of Berendsen, Bussi, Langevin), the barostat's work and
    # compressibility (it measures the pressure of the edited state at the next
    # step, as after a load), the image counters (crossings of the wrap are
    # added to them), the random streams (keyed by seed, step and particle). The
    # conserved quantity jumps by the energy the edit puts in. A checkpoint
    # written after an edit holds the edited state and continues bit for bit.

    def set_positions(self, positions: Any, *, check_overlap: bool = True) -> None:
        """New positions (N, 3), wrapped into the box. The image counters go on:
        a particle moved out across a side counts the crossing, so that
        ``positions + images * box`` continues through small moves of the wrapped
        positions. Refused (ValueError, nothing changed) when a row is not finite,
        lies more than 10^6 box lengths out, or two particles come closer than
        ``edits.OVERLAP_LIMIT`` (0.5) times the sigma of their pair; with
        ``check_overlap=False`` only a non-finite energy is refused (e.g. a
        Monte Carlo trial move, judged by its energy)."""
        x = edits.rows(positions, self.nr_particles, "positions")
        self._engine.edit(x, None, None, edits.OVERLAP_LIMIT if check_overlap else 0.0)

    def set_velocities(self, velocities: Any) -> None:
        """New velocities (N, 3), used as given (``zero_momentum()`` removes a
        drift). Refused when a row is not finite or the kinetic energy overflows."""
        v = edits.rows(velocities, self.nr_particles, "velocities")
        self._engine.edit(None, v, None, 0.0)

    def set_box(self, box: Any, *, affine: bool = False, check_overlap: bool = True) -> None:
        """New box sides (Lx, Ly, Lz), or one side of a cube. With ``affine`` the
        positions are scaled with the box (a strain), else they stay where they
        are and are wrapped into the new box. Each side must be finite and at
        least twice the largest cut-off; overlaps as in ``set_positions``.
        Velocities are kept."""
        new = edits.box_edges(box)
        x = self.positions * (new / self.box) if affine else None
        self._engine.edit(x, None, new, edits.OVERLAP_LIMIT if check_overlap else 0.0)

    def scale_box(self, factor: Any, *, affine: bool = True, check_overlap: bool = True) -> None:
        """Box sides times `factor` (one number, or three for the three axes),
        the positions with them unless ``affine=False`` (``set_box``)."""
        f = edits.box_edges(factor)
        self.set_box(self.box * f, affine=affine, check_overlap=check_overlap)

    def zero_momentum(self) -> None:
        """Removes the centre-of-mass velocity sum(m v) / sum(m) from every particle."""
        v = self.velocities
        self._engine.edit(None, v - edits.centre_of_mass_velocity(v, self.masses), None, 0.0)

    def minimize(self, fmax: float = 1e-8, max_steps: int = 10_000, **fire: float) -> edits.MinimizeResult:
        """Moves the particles to a nearby minimum of the potential energy by FIRE
        2.0 (Bitzek et al., Phys. Rev. Lett. 97, 170201 (2006); Guenole et al.,
        Comput. Mater. Sci. 175, 109584 (2020)), on the engine's forces (every
        species and pair), until no particle feels a force above `fmax` or
        `max_steps` iterations are done. The box is held fixed (no cell degrees
        of freedom), the velocities are left as they are, the step count does not
        move; the method's state is kept as for an edit.

        Further settings by name (defaults): dt_start (0.005), dt_max (0.05),
        dt_min (1e-4), max_move (0.1: the largest move of one particle per
        iteration), delay (20), max_uphill (2000), f_inc (1.1), f_dec (0.5),
        alpha_start (0.25), f_alpha (0.99).

        Returns a ``MinimizeResult`` (energy, fmax, steps, converged, reason).
        Not reaching `fmax` is no error: ``converged`` is False and ``reason``
        says why. The path and the final positions are the same at any thread
        count. ArithmeticError when a force stops being finite."""
        fire.update(fmax=fmax, max_steps=max_steps)
        for key, value in fire.items():
            if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
                raise TypeError(f"{key} = {value!r} is not allowed: give a number")
        r = self._engine.minimize({k: float(v) for k, v in fire.items()})
        return edits.MinimizeResult(float(r["energy"]), float(r["fmax"]), int(r["steps"]), bool(r["converged"]),
                                    str(r["reason"]), self.nr_particles)

    @property
    def observations(self) -> edits.Observations:
        """What runs with ``observe=`` recorded: name -> (steps, values) lists;
        ``arrays()`` gives them as arrays. Not part of a checkpoint; ``clear()``
        empties it."""
        if getattr(self, "_observations", None) is None:
            self._observations = edits.Observations()
        return self._observations

    def copy(self) -> "Simulation":
        """An independent simulation in the same state (the checkpoint's arrays),
        continuing bit for bit as this one would."""
        other = Simulation.__new__(Simulation)
        other.__setstate__(self.__getstate__())
        return other

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
        text = settings.check_change(self._engine.parameters, key, value, mixture=self._species is not None,
                                     stacklevel=2)
        if key == "stepsize":
            self._time_base = (self.step, self.time)
        self._engine.set(key, text)

    # ------------------------------------------------------------------ checkpoints

    def save(self, path: PathLike) -> None:
        """Write a checkpoint (NumPy ``.npz``, ``vorlan.io.checkpoint``) from which
        ``Simulation.load`` continues bit for bit: settings, step, positions,
        velocities, forces, the neighbour list as built and the displacements
        since then, image counters and the log. The file appears whole or not at
        all, so an interrupted save leaves any earlier checkpoint intact.

        A box divided among processes gathers its state on process 0, which
        writes one file, the same bytes as one process writes at that step; every
        process calls it, and a failure to write raises on all of them."""
        name = parameter_path(path)
        data = checkpoint.arrays(self._engine, self._seed, self._time_base, self._species)
        if self._comm is None:
            checkpoint.write(name, data)
            return
        failure = None
        if self.rank == 0:
            try:
                checkpoint.write(name, data)
            except Exception as e:  # told to the others, raised as it is here
                failure = e
        told = self._comm.bcast(failure, root=0)
        if failure is not None:
            raise failure
        if told is not None:
            raise told

    @classmethod
    def load(cls, path: PathLike, *, threads: Optional[int] = None, comm: Any = None,
             domains: Optional[Sequence[int]] = None) -> "Simulation":
        """A simulation restored from a checkpoint written by ``save``, ready to
        continue bit for bit (``threads`` as in the constructor).

        With ``comm`` (and ``domains``, as in the constructor) every process of
        the communicator calls it: each reads the file, keeps its share of the
        box, and the run goes on with the bits of one process, whatever the
        number of processes that saved it. An error raises on every process.

        The file is held to what ``save`` writes before any step: ``ValueError``
        naming the file when it is not a vorlan checkpoint (an entry missing or of
        another kind), when a setting breaks a rule of the constructor, when a
        value is not finite or a position lies outside the box, or when the
        neighbour list breaks its layout in any entry. Loading runs no code from
        the file."""
        team = check_threads(threads)
        if comm is None:
            if domains is not None:
                raise ValueError("domains is only allowed with comm: the box is divided among the processes of comm")
            return cls._load(parameter_path(path), team)
        grid = _division_arguments(comm, domains)
        sim, failure = None, None
        try:
            sim = cls._load(parameter_path(path), team)
        except Exception as e:  # the first process's failure is raised on all
            failure = e
        failures = comm.allgather(failure)
        first = next((f for f in failures if f is not None), None)
        if first is not None:
            raise failure if failure is not None else first
        sim._divide(comm, grid, keep_list=True)  # type: ignore[union-attr]
        return sim  # type: ignore[return-value]

    @classmethod
    def _load(cls, name: str, team: int) -> "Simulation":
        data = checkpoint.read(name)
        try:
            settings.check_simulation_settings(checkpoint.settings(data))
        except ValueError as e:
            raise ValueError(f"{name}: the checkpoint's settings are not allowed: {e}") from None
        sim = cls.__new__(cls)
        sim._engine, sim._seed, sim._time_base = checkpoint.load(name, team, data)
        sim._species, sim._type_masses = checkpoint.mixture(data)
        return sim

    def __getstate__(self) -> Dict[str, Any]:
        """The checkpoint's arrays (pickling a Simulation, e.g. back from a process
        pool, carries the same state as ``save``)."""
        if self._comm is not None:
            raise TypeError("a Simulation divided among processes cannot be copied or pickled: save() it "
                            "and load() it")
        return checkpoint.arrays(self._engine, self._seed, self._time_base, self._species)

    def __setstate__(self, arrays: Dict[str, Any]) -> None:
        self._engine, self._seed, self._time_base = checkpoint.restore(arrays, 0)
        self._species, self._type_masses = checkpoint.mixture(arrays)

    # ------------------------------------------------------------------ interop

    def to_ase(self) -> Any:
        """The current configuration as an ``ase.Atoms`` (needs ase): positions,
        the periodic box, masses and momenta, numbers as they are (reduced LJ
        units read as ASE's units). One species is argon ("Ar"); the species of
        a mixture keep their names where they are chemical symbols, else they
        become ASE's dummy "X" with the names in ``atoms.arrays["species"]``."""
        from .io.ase import atoms

        if self._species is None:  # one species: argon's symbol, as always
            return atoms(self.box, self.positions, self.velocities, mass=self.masses)
        return atoms(self.box, self.positions, self.velocities, species=[self.species[t] for t in self.types],
                     mass=self.masses)

    def __repr__(self) -> str:
        barostat = self.barostat
        ensemble = f" method={self.method!r}" + ("" if barostat is None else f" barostat={barostat!r}")
        return (
            f"<Simulation N={self.nr_particles} step={self.step}{ensemble} "
            f"ekin={self.ekin:.6g} epot={self.epot:.6g}>"
        )
