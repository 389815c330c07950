"""Optional dependencies: one way to import them, with the install hint.

vorlan needs NumPy and gsd (trajectories are a core feature); the rest is
optional, grouped in extras of ``pip install 'vorlan[EXTRA]'``: ``plot``
(matplotlib), ``sweep`` (pandas, tqdm, Dask), ``progress`` (tqdm), ``ase``,
``analysis`` (freud). A command checks what it needs with ``require`` before any
work starts, so that a missing package costs no run.
"""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import Optional

__all__ = ["require", "available", "MissingDependency"]

# The PyPI name of a package whose import name differs.
_PYPI = {"freud": "freud-analysis", "dask.distributed": "dask[distributed]"}


class MissingDependency(ImportError):
    """An optional package that a feature needs is not installed; the message
    says how to install it."""


def require(module: str, *, extra: Optional[str] = None, purpose: Optional[str] = None) -> ModuleType:
    """The module `module` (e.g. "pandas" or "dask.distributed"), or
    MissingDependency naming the package, the extra that brings it and what
    needs it."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        # a package that is present but fails inside is not a missing package
        if e.name is not None and not module.startswith(e.name) and not e.name.startswith(module.split(".")[0]):
            raise
        package = _PYPI.get(module, module.split(".")[0])
        hint = f"pip install 'vorlan[{extra}]' (or pip install '{package}')" if extra else f"pip install '{package}'"
        raise MissingDependency(f"{purpose or module} needs {package}: {hint}", name=module) from None


def available(module: str) -> bool:
    """True when `module` can be imported (it is imported to find out)."""
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True
