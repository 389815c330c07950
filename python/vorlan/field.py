"""External fields: ``vorlan.field.Constant`` and ``vorlan.field.Wall``.

``Simulation(params, ..., fields=[Wall("z", kind="lj93", epsilon=1, sigma=1, rcut=2.5),
Constant(force=(0.01, 0, 0))])``. Each field's force on a particle depends on
that particle alone and is added after the pair forces; its energy is part of
``epot`` and of ``particle_energies``. Field forces are left out of the virial,
so ``pressure`` and ``pressure_tensor`` remain the fluid's pair pressure.

- ``Constant(force)``: the body force F on every particle, energy -F . x of the
  unwrapped position, so that the work F does stays in the conserved total.
- ``Wall(axis, kind, ...)``: walls at 0 and L of one axis; r is the distance to
  a wall. ``"lj93"``: u = epsilon [2/15 (sigma/r)^9 - (sigma/r)^3], cut and
  shifted at rcut; ``"harmonic"``: u = k (r - rcut)^2 for r < rcut. The axis
  becomes non-periodic: no pair interacts across it, the wrap leaves it alone,
  and a particle that leaves [0, L] stops the run with ``ArithmeticError``. A
  box edge shorter than 2 rcut is a ``ValueError``; a barostat is refused.

The kinds and their parameters come from the engine (``vorlan._core.field_kinds()``).
"""

from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

from . import _core

__all__ = ["Constant", "Wall", "Field", "kinds", "engine_fields"]

_KINDS: Dict[str, Dict[str, Any]] = {k["name"]: k for k in _core.field_kinds()}
_AXES = {"x": 0, "y": 1, "z": 2}


def kinds() -> Dict[str, Dict[str, Any]]:
    """The engine's field kinds by name: summary (the energy) and parameters."""
    return {name: dict(k) for name, k in _KINDS.items()}


def _number(name: str, value: Any) -> float:
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} = {value!r} is not a number") from None
    if not math.isfinite(x):
        raise ValueError(f"{name} = {value!r} must be finite")
    return x


class Field:
    """An external field: its kind and the engine's dict of its parameters."""

    kind = ""

    def engine(self) -> Dict[str, Any]:
        raise NotImplementedError

    def record(self) -> Dict[str, Any]:
        """The parameters as a trajectory log or a system file names them."""
        return {"field": self.kind, **{k: v for k, v in self.engine().items() if k != "kind"}}


class Constant(Field):
    """A body force ``force = (fx, fy, fz)`` on every particle."""

    kind = "constant"

    def __init__(self, force: Sequence[float]) -> None:
        f = tuple(force)
        if len(f) != 3:
            raise ValueError(f"force = {force!r}: give three components (fx, fy, fz)")
        self.force: Tuple[float, float, float] = tuple(_number(f"force[{i}]", v) for i, v in enumerate(f))  # type: ignore

    def engine(self) -> Dict[str, Any]:
        return {"kind": "constant", "force": list(self.force)}

    def __repr__(self) -> str:
        return f"Constant(force={self.force})"


class Wall(Field):
    """Walls at both ends of ``axis`` ("x", "y" or "z"); ``kind`` "lj93" (epsilon,
    sigma, rcut) or "harmonic" (k, rcut). ``r_cut`` is accepted for ``rcut``."""

    kind = "wall"

    def __init__(self, axis: str, kind: str = "lj93", epsilon: float = 1.0, sigma: float = 1.0,
                 rcut: Optional[float] = None, k: float = 1.0, r_cut: Optional[float] = None) -> None:
        if axis not in _AXES:
            raise ValueError(f"axis = {axis!r} is not allowed: give 'x', 'y' or 'z'")
        if kind not in ("lj93", "harmonic"):
            raise ValueError(f"kind = {kind!r} is not allowed: give 'lj93' or 'harmonic'")
        if rcut is not None and r_cut is not None:
            raise ValueError("Wall: give rcut or r_cut, not both")
        reach = rcut if rcut is not None else r_cut
        if reach is None:
            reach = 2.5 if kind == "lj93" else 1.0
        self.axis, self.style = axis, kind
        self.epsilon, self.sigma = _number("epsilon", epsilon), _number("sigma", sigma)
        self.k, self.rcut = _number("k", k), _number("rcut", reach)
        if self.rcut <= 0:
            raise ValueError(f"rcut = {self.rcut} must be > 0")
        if kind == "lj93" and (self.sigma <= 0 or self.epsilon < 0):
            raise ValueError(f"sigma = {self.sigma}, epsilon = {self.epsilon}: need sigma > 0, epsilon >= 0")
        if kind == "harmonic" and self.k < 0:
            raise ValueError(f"k = {self.k} must be >= 0")

    def engine(self) -> Dict[str, Any]:
        d: Dict[str, Any] = {"kind": "wall", "style": self.style, "axis": _AXES[self.axis], "rcut": self.rcut}
        if self.style == "lj93":
            d.update(epsilon=self.epsilon, sigma=self.sigma)
        else:
            d["k"] = self.k
        return d

    def record(self) -> Dict[str, Any]:
        d = super().record()
        d["axis"] = self.axis
        return d

    def __repr__(self) -> str:
        extra = f"epsilon={self.epsilon}, sigma={self.sigma}" if self.style == "lj93" else f"k={self.k}"
        return f"Wall({self.axis!r}, kind={self.style!r}, {extra}, rcut={self.rcut})"


def engine_fields(fields: Optional[Sequence[Any]]) -> Optional[List[Dict[str, Any]]]:
    """The engine's list of field dicts, or None for no fields; anything not a
    vorlan.field object is a ValueError."""
    if fields is None:
        return None
    out = []
    for f in fields:
        if not isinstance(f, Field):
            raise ValueError(f"fields: {f!r} is not allowed: give vorlan.field.Wall(...) or vorlan.field.Constant(...)")
        out.append(f.engine())
    return out or None


def from_engine(rows: Any) -> List[Field]:
    """The fields of a checkpoint's rows (kind, style, axis, fx, fy, fz, epsilon, sigma, k, rcut)."""
    out: List[Field] = []
    for r in rows:
        if int(r[0]) == 0:
            out.append(Constant(force=(r[3], r[4], r[5])))
        else:
            out.append(Wall("xyz"[int(r[2])], kind="harmonic" if int(r[1]) else "lj93", epsilon=r[6], sigma=r[7],
                            k=r[8], rcut=r[9]))
    return out
