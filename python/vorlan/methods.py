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

import math
from typing import Any, Dict, Optional, Tuple, Union

__all__ = ["NVE", "Berendsen", "Langevin", "Bussi", "NoseHoover", "CRescale", "Method"]


def _positive(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
        raise TypeError(f"{name} = {value!r} is not allowed: give a number")
    v = float(value)
    if not (math.isfinite(v) and v > 0.0):
        raise ValueError(f"{name} = {value!r} is not allowed: it must be positive")
    return v


class _Method:
    """Common part: the engine's name and parameters, equality, repr."""

    _name = ""
    stochastic = False  # draws random numbers (needs a seed)

    def _parameters(self) -> Dict[str, float]:
        return {}

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
        return self._parameters()


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

    def __init__(self, tau: Optional[float] = None) -> None:
        self.tau = None if tau is None else _positive("tau", tau)

    def _parameters(self) -> Dict[str, float]:
        return {} if self.tau is None else {"tau": self.tau}

    def _shown(self) -> Dict[str, Any]:
        return {"tau": self.tau}


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
    stochastic = True

    def __init__(self, friction: float) -> None:
        self.friction = _positive("friction", friction)

    def _parameters(self) -> Dict[str, float]:
        return {"friction": self.friction}


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
    stochastic = True

    def __init__(self, tau: float) -> None:
        self.tau = _positive("tau", tau)

    def _parameters(self) -> Dict[str, float]:
        return {"tau": self.tau}


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

    def __init__(self, tau: float, chain: int = 3) -> None:
        self.tau = _positive("tau", tau)
        if isinstance(chain, bool) or not isinstance(chain, int) and not hasattr(chain, "__index__"):
            raise TypeError(f"chain = {chain!r} is not allowed: give an integer")
        if not 1 <= int(chain) <= 1000:
            raise ValueError(f"chain = {chain!r} is not allowed: the chain has 1 to 1000 thermostats")
        self.chain = int(chain)

    def _parameters(self) -> Dict[str, float]:
        return {"tau": self.tau, "chain": float(self.chain)}

    def _shown(self) -> Dict[str, Any]:
        return {"tau": self.tau, "chain": self.chain}


class CRescale(_Method):
    """Isotropic stochastic cell rescaling (Bernetti & Bussi, J. Chem. Phys. 153,
    114107 (2020)): constant pressure, with any thermostat but ``NVE``.

    Each step the box, the positions (and inversely the velocities) are scaled so
    that eps = ln V follows d eps = -(beta/tau)(P0 - P) dt + sqrt(2 kT beta dt /
    (V tau)) xi, with P = (2K + W)/3V the instantaneous pressure. With a
    thermostat the volume samples the isothermal-isobaric distribution.

    pressure: P0. tau: relaxation time of the volume. compressibility: beta, the
    strength of the coupling (the volume relaxes in about tau times the true
    compressibility over beta); None: that of an ideal gas at the start density
    and kT, V/(N kT), larger than a liquid's, so the volume relaxes faster than tau.

    A negative P0 is allowed (a stretched liquid holds one). A target the system
    cannot reach expands the box without end; ``run`` raises ``ArithmeticError``
    naming the step and the box when a move would make the box not finite, or
    its volume more than 10**6 times the volume at the barostat's first step,
    and when an edge would fall below twice the largest pair cut-off. A tau
    shorter than the time step is refused (``ValueError``). Each refusal comes
    before the step changes anything.
    """

    _name = "c_rescale"
    stochastic = True

    def __init__(self, pressure: float, tau: float, compressibility: Optional[float] = None) -> None:
        if isinstance(pressure, bool) or not isinstance(pressure, (int, float)) and not hasattr(pressure, "__float__"):
            raise TypeError(f"pressure = {pressure!r} is not allowed: give a number")
        if not math.isfinite(float(pressure)):
            raise ValueError(f"pressure = {pressure!r} is not allowed: it must be finite")
        self.pressure = float(pressure)
        self.tau = _positive("tau", tau)
        self.compressibility = None if compressibility is None else _positive("compressibility", compressibility)

    def _parameters(self) -> Dict[str, float]:
        p = {"pressure": self.pressure, "tau": self.tau}
        if self.compressibility is not None:
            p["compressibility"] = self.compressibility
        return p

    def _shown(self) -> Dict[str, Any]:
        return {"pressure": self.pressure, "tau": self.tau, "compressibility": self.compressibility}


Method = Union[NVE, Berendsen, Langevin, Bussi, NoseHoover]

_BY_NAME = {cls._name: cls for cls in (NVE, Berendsen, Langevin, Bussi, NoseHoover)}


def from_core(name: str, parameters: Dict[str, float]) -> Method:
    """The method object of the engine's (name, parameters)."""
    cls = _BY_NAME[name]
    if cls is NoseHoover:
        return NoseHoover(parameters["tau"], int(parameters["chain"]))
    return cls(**parameters)  # type: ignore[arg-type]


def barostat_from_core(parameters: Optional[Dict[str, float]]) -> Optional[CRescale]:
    return None if parameters is None else CRescale(**parameters)


def check(method: Any, barostat: Any, seed: Optional[int]) -> None:
    """TypeError/ValueError for a method or barostat that is not one, a
    stochastic one without a seed, or a barostat with NVE."""
    if not isinstance(method, tuple(_BY_NAME.values())):
        raise TypeError(
            f"method = {method!r} is not allowed: give vorlan.NVE(), Berendsen(), Langevin(), Bussi() or NoseHoover()"
        )
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
