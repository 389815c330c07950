"""Settings as text: the one place that turns values into the text the engine
reads, and explains what the engine's rules make of them.

The keys, their types and their rules are the engine's own (``vorlan._core``:
the same table and the same checks that refuse a value when a run starts). A
parameter file keeps a line only if the whole line matches::

    ^\\s*([a-zA-Z0-9_]+)\\s*=\\s*([0-9.]+)\\s*$      (\\s: space, tab, VT, FF, CR, LF)

so a value is written without sign and without exponent, and a real number in
positional notation with as many digits as it takes to read back the same
double. Every front (``Simulation``, ``Simulation.set``, the command line, the
sweeps, ``write_params``) formats its values with ``format_value``, so a value
that a file cannot hold is refused everywhere alike.
"""

from __future__ import annotations

import decimal
import difflib
import math
import numbers
import re
import warnings
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _core

__all__ = [
    "KEYS", "Key", "format_value", "settings_text", "value_problem", "check", "setting_value",
    "suggest_key", "check_key", "UnknownSettingWarning", "derived_quantities", "check_change",
    "check_threads", "check_seed", "check_count", "check_positive", "check_simulation_settings",
    "SEED_MIN", "SEED_MAX", "STEP_MAX",
]

# Seeds of the per-simulation generator: std::default_random_engine, the minimal
# standard generator x -> 16807 x mod (2^31 - 1), whose states are 1 .. 2^31 - 2
# (it would take 0 as 1 and reduce larger seeds modulo 2^31 - 1).
SEED_MIN = 1
SEED_MAX = 2**31 - 2

STEP_MAX = 2**32 - 1  # the engine numbers its steps with 32-bit unsigned integers


class Key(NamedTuple):
    """One setting the engine reads, from its rules table."""

    name: str
    kind: str      # "real", "integer" (0 .. 2**31 - 1) or "unsigned integer" (0 .. 2**32 - 1)
    allowed: str   # the allowed values, as the engine states them
    meaning: str   # what the value is, e.g. "box edge"

    @property
    def limit(self) -> Optional[int]:
        """The largest value of an integer key, None for a real one."""
        return {"integer": 2**31 - 1, "unsigned integer": 2**32 - 1}.get(self.kind)


# The keys the engine reads, in the order a run reads them.
KEYS: Dict[str, Key] = {rule[0]: Key(*rule) for rule in _core.setting_rules()}


def suggest_key(name: str) -> Optional[str]:
    """The known key that `name` most likely meant, or None."""
    for known in KEYS:
        if known.lower() == name.lower():
            return known
    close = difflib.get_close_matches(name, list(KEYS), n=1, cutoff=0.6)
    return close[0] if close else None


def _positional(value: decimal.Decimal) -> str:
    text = "{:f}".format(value)
    return text.rstrip("0").rstrip(".") if "." in text else text


def format_value(key: str, value: Any) -> str:
    """The value text of `value` for the setting `key` in the syntax of a
    parameter file: digits and at most one full stop; a real number in the
    shortest positional form that reads back as the same double. A str is taken
    as value text and checked.

    Raises ValueError naming the key for a negative, non-finite or (for an
    integer key) fractional value, one out of range, or a text the engine would
    not read; TypeError for a value that is no number.
    """
    spec = KEYS.get(key)
    integer = spec is not None and spec.limit is not None
    what = spec.meaning if spec else "a setting"
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{key} = {value!r} is not allowed: a bool is not a value ({what})")
    if isinstance(value, str):
        text = value.strip()
        problem = value_problem(key, text)
        if problem:
            raise ValueError(problem)
        return text
    if isinstance(value, decimal.Decimal):
        if not value.is_finite():
            raise ValueError(f"{key} = {value} is not allowed: the value must be finite")
        if value < 0:
            raise ValueError(f"{key} = {value} is not allowed: the file format has no sign, values must be >= 0")
        if not integer:
            return _positional(abs(value))
        if value != value.to_integral_value():
            raise ValueError(f"{key} = {value} is not allowed: {key} is an integer")
        value = int(value)
    if isinstance(value, numbers.Integral):
        value = int(value)
        if value < 0:
            raise ValueError(f"{key} = {value} is not allowed: the file format has no sign, values must be >= 0")
        if integer and value > spec.limit:  # type: ignore[union-attr,operator]
            raise ValueError(f"{key} = {value} is not allowed: at most {spec.limit}")  # type: ignore[union-attr]
        return str(value)
    if isinstance(value, numbers.Real):
        x = float(value)
        if not np.isfinite(x):
            raise ValueError(f"{key} = {x} is not allowed: the value must be finite")
        if x < 0:
            raise ValueError(f"{key} = {x!r} is not allowed: the file format has no sign, values must be >= 0")
        if integer:
            if x != int(x):
                raise ValueError(f"{key} = {x!r} is not allowed: {key} is an integer")
            return format_value(key, int(x))
        return np.format_float_positional(abs(x), unique=True, trim="-")
    raise TypeError(f"{key} = {value!r} is not allowed: give a number or its text")


class UnknownSettingWarning(UserWarning):
    """A setting that the engine never reads: it is kept, as a parameter file
    keeps such a line, and changes nothing."""


KEY_NAME = re.compile(r"[a-zA-Z0-9_]+")


def check_key(key: Any, stacklevel: int = 1) -> str:
    """`key` as a setting name: TypeError for a name that is no str, ValueError
    for one that a parameter file could not hold (ASCII letters, digits and _
    only), an UnknownSettingWarning with a suggestion for one the engine does
    not read, pointing at the `stacklevel`-th caller (1: the caller of check_key)."""
    if not isinstance(key, str):
        raise TypeError(f"setting names are str, got {key!r}")
    hint = suggest_key(key)
    maybe = f"; did you mean {hint!r}?" if hint else ""
    if not KEY_NAME.fullmatch(key):
        raise ValueError(f"{key!r} is not allowed as a setting name: a name is ASCII letters, digits and _{maybe}")
    if key not in KEYS:
        warnings.warn(f"{key!r} is not a setting the engine reads: it is kept but changes nothing{maybe}",
                      UnknownSettingWarning, stacklevel=stacklevel + 1)
    return key


def settings_text(params: Mapping[str, Any], stacklevel: int = 1) -> Dict[str, str]:
    """key -> value text of a mapping of settings, each key through check_key
    (a warning points at the `stacklevel`-th caller) and each value through
    format_value."""
    out = {}
    for key, value in params.items():
        out[check_key(key, stacklevel + 1)] = format_value(key, value)
    return out


def value_problem(key: str, text: str) -> Optional[str]:
    """Why the engine would not read the value text `text` of `key` (the file
    syntax, then the conversion to the key's type), or None when it reads it.
    Ranges and the rules between keys are `check`'s."""
    if _core.parse_parameter_line(f"k = {text}".encode("utf-8", "replace")) is None:
        return f"{key} = {text} is not allowed: a value is digits with at most one full stop (no sign, no exponent)"
    spec = KEYS.get(key)
    if spec is None:
        return None
    if spec.limit is not None and text.isdigit() and int(text) > spec.limit:
        return f"{key} = {text} is not allowed: at most {spec.limit}"
    try:
        _core.setting_value({key: text}, key)
    except TypeError:
        return f"{key} = {text} is not allowed: {key} is {'an' if spec.kind[0] in 'aeiou' else 'a'} {spec.kind}"
    except (ValueError, ArithmeticError):
        pass  # a range: check() tells, with the rules between keys
    return None


def check(params: Mapping[str, str]) -> List[Tuple[str, str]]:
    """The problems (key, message) of a set of settings (key -> value text), by
    every single-key and cross-key rule of the engine, without running anything;
    empty when the engine accepts the set."""
    return [(str(k), str(m)) for k, m in _core.check_settings(dict(params))]


def setting_value(params: Mapping[str, str], key: str) -> Union[int, float]:
    """The value of `key` in `params` (key -> value text) as the engine reads it:
    typed and checked by its rule. A missing key raises RuntimeError ("Could
    not find parameter: KEY"), a text that does not convert TypeError, a value
    outside its rule ValueError."""
    value = _core.setting_value(dict(params), key)
    assert isinstance(value, (int, float))
    return value


# Settings that a Simulation needs positive where the engine's own rules allow 0:
# a step of size 0 advances nothing, particles of size 0 do not interact.
POSITIVE_IN_SIMULATION = ("stepsize", "sigma")

# Settings a Simulation may lack: run() is told its step count.
OPTIONAL_IN_SIMULATION = ("nrsteps",)


def check_simulation_settings(params: Mapping[str, str]) -> None:
    """ValueError naming the key when a setting a Simulation needs positive
    (stepsize, sigma) is given as 0; ranges and other rules are `check`'s."""
    for key in POSITIVE_IN_SIMULATION:
        if key in params and value_problem(key, params[key]) is None and float(params[key]) == 0.0:
            raise ValueError(f"{key} = {params[key]} is not allowed in a Simulation: the "
                             f"{KEYS[key].meaning} must be positive")


def check_change(params: Mapping[str, str], key: str, value: Any, *, mixture: bool,
                 stacklevel: int = 1) -> str:
    """The value text of a change of one setting between runs (steering), checked
    with the whole set `params` (key -> value text) by the engine's rules:
    ``ValueError`` naming the key when it breaks one, or when the key belongs to
    the box (``nr_particles``, ``cell_length``) or, in a mixture, to its fixed
    pair tables and masses (``sigma``, ``epsilon``, ``rcut``, ``mass``)."""
    check_key(key, stacklevel + 1)
    if key in ("nr_particles", "cell_length"):
        raise ValueError(f"{key} cannot change: it belongs to the box built at the start")
    if mixture and key in ("sigma", "epsilon", "rcut", "mass"):
        raise ValueError(f"{key} cannot change in a mixture: its pair tables and masses are fixed at the start")
    text = format_value(key, value)
    proposed = dict(params)
    proposed[key] = text
    problems = [message for k, message in check(proposed)
                if not (k in OPTIONAL_IN_SIMULATION and k not in proposed)]
    if problems:
        raise ValueError("; ".join(problems))
    check_simulation_settings({key: text})
    return text


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


def check_seed(seed: Optional[int]) -> Optional[int]:
    """`seed` as a seed of the minimal standard generator (SEED_MIN .. SEED_MAX), or None."""
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


def check_count(name: str, value: Any, minimum: int) -> int:
    """`value` as an integer of at least `minimum` (a count of steps); `name` names it in the message."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} = {value!r} is not allowed: give an integer")
    if value < minimum:
        raise ValueError(f"{name} = {value} is not allowed: it must be at least {minimum}")
    return int(value)


def check_positive(name: str, value: Any) -> float:
    """`value` as a finite positive float (a length, a density, a mass, ...);
    `name` names it in the message. A NumPy scalar is a number; True, False
    and text are not."""
    if isinstance(value, (bool, np.bool_, str, bytes)):
        raise ValueError(f"{name} = {value!r} is not allowed: give a positive number")
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} = {value!r} is not allowed: give a positive number") from None
    if not (math.isfinite(x) and x > 0.0):
        raise ValueError(f"{name} = {value!r} is not allowed: it must be a finite positive number")
    return x


def derived_quantities(params: Mapping[str, str]) -> List[Tuple[str, str]]:
    """(label, text) of the quantities that follow from the settings: density,
    cut-off against half the box, subcells of the neighbour-list grid, expected
    neighbours per particle, simulated time. Quantities whose settings are
    missing or do not convert are left out; one beyond double precision reads
    inf (or 0)."""

    def get(key: str) -> Optional[np.float64]:
        text = params.get(key)
        if text is None or value_problem(key, text):
            return None
        return np.float64(text)

    out: List[Tuple[str, str]] = []
    n, length = get("nr_particles"), get("cell_length")
    rcut, shell = get("rcut"), get("shell")
    steps, dt = get("nrsteps"), get("stepsize")
    with np.errstate(all="ignore"):  # a quantity beyond double precision is shown as inf or 0
        rho = None
        if n is not None and length:
            rho = n / length**3
            out.append(("density", f"N / L^3 = {int(n)} / {length:g}^3 = {rho:.6g}"))
        if rcut is not None and length:
            half = length / 2
            verdict = "fits" if rcut <= half else "too long: a particle would meet two images of another"
            out.append(("cut-off", f"rcut = {rcut:g} against L / 2 = {half:.6g}: {verdict}"))
        if rcut is not None and shell is not None and length and rcut + shell > 0:
            reach = rcut + shell
            out.append(("subcells", f"floor(L / (rcut + shell)) = {np.floor(length / reach):.15g} per axis"))
            if rho is not None:
                out.append(("neighbours",
                            f"4/3 pi (rcut + shell)^3 rho = {4 / 3 * np.pi * reach**3 * rho:.4g} per particle"))
        if steps is not None and dt is not None:
            out.append(("run length", f"nrsteps * stepsize = {int(steps)} * {dt:g} = {steps * dt:.6g} time units"))
    return out
