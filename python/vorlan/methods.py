"""Integration methods and the barostat of a ``Simulation``: which ensemble it samples.

``Simulation(params, method=..., barostat=..., seed=...)`` and ``sim.method = ...``
take one of these; each is a small value object, checked when made (``ValueError``
naming the argument), handed to the engine (``vorlan._core``), where the step of
each method is its own class (``src/methods/``). The target temperature of every
method is the setting ``kT`` (``sim.set("kT", ...)`` between runs).

Every method keeps the total momentum at zero, so the kinetic energy has 3N - 3
degrees of freedom and ``sim.temperature = 2 ekin / (3N - 3)``.

The stochastic ones (``Langevin``, ``Bussi``, ``CRescale``) draw counter-based
random numbers (Philox, Random123) keyed by (seed, step, particle, purpose): a
seeded run gives the same positions to the last bit at any thread count, a run
continued from a checkpoint equals the unbroken one, and two seeds give
unrelated noise. They need ``seed``.
"""

from __future__ import annotations

import functools
from typing import Any, Dict, List, Optional, Tuple, Type, Union

__all__ = ["NVE", "Berendsen", "Langevin", "Bussi", "NoseHoover", "CRescale", "Method", "kinds", "method_class"]


@functools.lru_cache(maxsize=None)
def _registry() -> Tuple[Dict[str, Dict[str, Any]], Dict[str, Any]]:
    """The engine's methods by name and its barostat (``vorlan._core``), read
    on first use so that importing the package does not load the engine."""
    from . import _core

    return {k["name"]: k for k in _core.method_kinds()}, _core.barostat_kind()


def kinds() -> List[Dict[str, Any]]:
    """The engine's integration methods, the default first: dicts of name,
    summary, stochastic and parameters (name, rule, meaning, default, required,
    choices). The command line's options and the checkpoints derive from it."""
    return list(_registry()[0].values())


def _number(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
        raise TypeError(f"{name} = {value!r} is not allowed: give a number")
    return float(value)


def _counts(parameter: Dict[str, Any]) -> bool:
    return str(parameter["rule"]).startswith("an integer")


def _engine_value(parameter: Dict[str, Any], value: Any) -> float:
    """A parameter's number for the engine, its type checked here (its range by
    the engine): a choice's index, a count's integer."""
    name = parameter["name"]
    if parameter["choices"]:
        if value not in parameter["choices"]:
            raise ValueError(f"{name} = {value!r} is not allowed: it must be {parameter['rule']}")
        return float(parameter["choices"].index(value))
    if _counts(parameter):
        if isinstance(value, bool) or not isinstance(value, int) and not hasattr(value, "__index__"):
            raise TypeError(f"{name} = {value!r} is not allowed: give an integer")
        return float(int(value))
    return _number(name, value)


class _Method:
    """Common part: the parameters and their rules from the engine's registry,
    equality, repr. A subclass names its entry (``_name``) and takes its
    parameters by keyword (``_take``)."""

    _name = ""

    @classmethod
    def _kind(cls) -> Dict[str, Any]:
        return _registry()[0][cls._name]

    @property
    def stochastic(self) -> bool:
        """Whether it draws random numbers (then the simulation needs a seed)."""
        return bool(self._kind()["stochastic"])

    def _take(self, **given: Any) -> None:
        """Checks the parameters (TypeError, or ValueError with the engine's
        message naming the one at fault) and keeps them as attributes; one not
        given takes its default."""
        numbers: Dict[str, float] = {}
        for p in self._kind()["parameters"]:
            value = given.get(p["name"])
            if value is None and p["default"] is not None:
                value = p["choices"][int(p["default"])] if p["choices"] else p["default"]
            if value is None and p["required"]:
                raise TypeError(f"{type(self).__name__} needs {p['name']}")
            if value is not None:
                numbers[p["name"]] = _engine_value(p, value)
                if not p["choices"]:
                    value = int(numbers[p["name"]]) if _counts(p) else numbers[p["name"]]
            setattr(self, p["name"], value)
        self._check(numbers)

    def _check(self, numbers: Dict[str, float]) -> None:
        from . import _core

        _core.check_method(self._name, numbers)

    def _parameters(self) -> Dict[str, float]:
        """The engine's numbers (absent optional ones left out)."""
        return {p["name"]: _engine_value(p, getattr(self, p["name"]))
                for p in self._kind()["parameters"] if getattr(self, p["name"]) is not None}

    def _core(self) -> Tuple[str, Dict[str, float]]:
        return self._name, self._parameters()

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and other._core() == self._core()  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((self._name, tuple(sorted(self._parameters().items()))))

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self._shown().items())
        return f"{type(self).__name__}({args})"

    def _shown(self) -> Dict[str, Any]:
        return {p["name"]: getattr(self, p["name"]) for p in self._kind()["parameters"]}


class NVE(_Method):
    """Constant energy: velocity Verlet without a thermostat.

    Symplectic and time-reversible: the total energy fluctuates by O(dt^2) around
    a constant and does not drift. Use it to measure dynamics (diffusion,
    correlation functions) after equilibrating with a thermostat.
    """

    _name = "nve"


class Berendsen(_Method):
    """Berendsen's weak coupling (J. Chem. Phys. 81, 3684 (1984)), the default.

    The half-step velocities are scaled by lambda = sqrt(1 + (K0/K - 1) dt/tau),
    K0 = (3N - 3)/2 kT, so the kinetic energy relaxes to K0 with time constant tau.
    It suppresses the fluctuations of the kinetic energy: the averages of a
    liquid are right, the canonical ensemble is not sampled.

    ``tau=None`` uses the setting ``tau`` (then the step is exactly that of
    ``simulate``). A tau shorter than the time step is refused by ``run``
    (``ValueError``) before the step changes anything.
    """

    _name = "berendsen"
    tau: Optional[float]

    def __init__(self, tau: Optional[float] = None) -> None:
        self._take(tau=tau)


class Langevin(_Method):
    """Langevin dynamics, BAOAB splitting (Leimkuhler & Matthews, Appl. Math. Res.
    Express 2013, 34).

    dv = F/m dt - gamma v dt + sqrt(2 gamma kT / m) dW, split as a half kick, a
    half drift, the exact Ornstein-Uhlenbeck step v = c1 v + c2 xi (c1 = e^{-gamma
    dt}, c2 = sqrt((1 - c1^2) kT/m)), a half drift, a half kick. Configurations are
    sampled with errors O(dt^2). The mean of the noise over the particles is
    removed, so the total momentum stays zero.

    friction: gamma, in 1/time (1 is a gentle coupling for a LJ liquid).
    """

    _name = "langevin"
    friction: float

    def __init__(self, friction: float) -> None:
        self._take(friction=friction)


class Bussi(_Method):
    """Canonical sampling through velocity rescaling (Bussi, Donadio & Parrinello,
    J. Chem. Phys. 126, 014101 (2007)).

    After each velocity-Verlet step all velocities are scaled so that the kinetic
    energy follows the exact solution over dt of dK = (K0 - K) dt/tau +
    2 sqrt(K K0 / (Nf tau)) dW, whose stationary distribution is the canonical
    gamma distribution of K (Nf = 3N - 3). Global, gentle on the dynamics.

    tau: relaxation time of the kinetic energy.
    """

    _name = "bussi"
    tau: float

    def __init__(self, tau: float) -> None:
        self._take(tau=tau)


class NoseHoover(_Method):
    """Nose-Hoover chain (Martyna, Klein & Tuckerman, J. Chem. Phys. 97, 2635
    (1992)), integrated by the Trotter splitting of Martyna et al., Mol. Phys. 87,
    1117 (1996).

    A chain of ``chain`` thermostat variables with masses Q1 = Nf kT tau^2 and
    Q_j = kT tau^2: tau is the period of the thermostat's oscillation.
    Deterministic; the conserved quantity includes the chain's energy.

    A tau shorter than the time step cannot be integrated (the chain oscillates
    faster than the step resolves), nor one whose mass Nf kT tau^2 overflows:
    ``run`` refuses both (``ValueError`` naming tau) before the step changes
    anything.
    """

    _name = "nose_hoover"
    tau: float
    chain: int

    def __init__(self, tau: float, chain: int = 3) -> None:
        self._take(tau=tau, chain=chain)


class CRescale(_Method):
    """Stochastic cell rescaling (Bernetti & Bussi, J. Chem. Phys. 153, 114107
    (2020)): constant pressure, with any thermostat but ``NVE``.

    Each step the box, the positions (and inversely the velocities) are scaled so
    that eps = ln V follows d eps = -(beta/tau)(P0 - P) dt + sqrt(2 kT beta dt /
    (V tau)) xi, with P = (2K + W)/3V the instantaneous pressure. With a
    thermostat the volume samples the isothermal-isobaric distribution.

    pressure: P0. tau: relaxation time of the volume. compressibility: beta, the
    strength of the coupling (the volume relaxes in about tau times the true
    compressibility over beta); None: that of an ideal gas at the start density
    and kT, V/(N kT), larger than a liquid's, so the volume relaxes faster than tau.

    couple: which axes are scaled together. ``"xyz"`` (the default) is the
    isotropic step above; ``"xy"`` scales x and y together from (Pxx + Pyy)/2 and
    z alone from Pzz (interfaces and membranes normal to z); ``"none"`` scales
    each axis from its own diagonal element of the pressure tensor. Each group g
    of d_g axes moves its strains ln L_a by -(beta/3 tau)(P0 - P_g) dt +
    sqrt(2 d_g kT beta dt / (3 V tau)) xi_g / d_g. With walls on z only,
    ``"xy"`` keeps Lz (and the walls) fixed; other walls are refused.

    A negative P0 is allowed (a stretched liquid holds one). A target the system
    cannot reach expands the box without end; ``run`` raises ``ArithmeticError``
    naming the step and the box when a move would make the box not finite, or
    its volume more than 10**6 times the volume at the barostat's first step,
    and when an edge would fall below twice the largest pair cut-off. A tau
    shorter than the time step is refused (``ValueError``). Each refusal comes
    before the step changes anything.
    """

    _name = "c_rescale"
    pressure: float
    tau: float
    compressibility: Optional[float]
    couple: str

    def __init__(self, pressure: float, tau: float, compressibility: Optional[float] = None,
                 couple: str = "xyz") -> None:
        self._take(pressure=pressure, tau=tau, compressibility=compressibility, couple=couple)

    @classmethod
    def _kind(cls) -> Dict[str, Any]:
        return _registry()[1]

    def _check(self, numbers: Dict[str, float]) -> None:
        from . import _core

        _core.check_barostat(numbers)

    def _shown(self) -> Dict[str, Any]:
        shown = super()._shown()
        if shown["couple"] == "xyz":
            del shown["couple"]
        return shown


Method = Union[NVE, Berendsen, Langevin, Bussi, NoseHoover]

_CLASSES: Tuple[Type[_Method], ...] = (NVE, Berendsen, Langevin, Bussi, NoseHoover)


def _by_name() -> Dict[str, Type[_Method]]:
    """A class for every method of the engine: the ones above, and for a method
    registered without one a class made from its entry (keyword parameters)."""
    known = {cls._name: cls for cls in _CLASSES}
    for name, kind in _registry()[0].items():
        if name not in known:
            title = "".join(part.title() for part in name.split("_"))

            def init(self: _Method, **given: Any) -> None:
                self._take(**given)

            known[name] = type(title, (_Method,), {"_name": name, "__init__": init, "__doc__": kind["summary"]})
            globals()[title] = known[name]
    return known


def method_class(name: str) -> Type[_Method]:
    """The class of the engine's method ``name`` (``"nose_hoover"``: NoseHoover)."""
    return _by_name()[name]


def _restored(cls: Type[_Method], parameters: Dict[str, float]) -> Any:
    """An object of cls from the engine's numbers (a choice's index back to its word)."""
    given: Dict[str, Any] = {}
    for p in cls._kind()["parameters"]:
        if p["name"] in parameters:
            value = parameters[p["name"]]
            given[p["name"]] = p["choices"][int(value)] if p["choices"] else int(value) if _counts(p) else value
    made = cls.__new__(cls)
    made._take(**given)
    return made


def from_core(name: str, parameters: Dict[str, float]) -> Method:
    """The method object of the engine's (name, parameters)."""
    return _restored(_by_name()[name], parameters)  # type: ignore[no-any-return]


def barostat_from_core(parameters: Optional[Dict[str, float]]) -> Optional[CRescale]:
    return None if parameters is None else _restored(CRescale, parameters)  # type: ignore[no-any-return]


def check(method: Any, barostat: Any, seed: Optional[int]) -> None:
    """TypeError/ValueError for a method or barostat that is not one, a
    stochastic one without a seed, or a barostat with NVE."""
    classes = tuple(_by_name().values())
    if not isinstance(method, classes):
        names = ", ".join(f"{cls.__name__}()" for cls in classes)
        raise TypeError(f"method = {method!r} is not allowed: give one of vorlan.methods' {names}")
    if barostat is not None and not isinstance(barostat, CRescale):
        raise TypeError(f"barostat = {barostat!r} is not allowed: give vorlan.CRescale(...) or None")
    chosen: Tuple[Any, ...] = (method,) if barostat is None else (method, barostat)
    for who in chosen:
        if who.stochastic and seed is None:
            raise ValueError(
                f"seed = None is not allowed with {who!r}: it draws random numbers keyed by the seed; give seed=..."
            )
    if barostat is not None and isinstance(method, NVE):
        raise ValueError("barostat = CRescale(...) needs a thermostat: use it with Langevin, Bussi, NoseHoover or Berendsen, not NVE")
