"""vorlan: molecular dynamics of Lennard-Jones fluids and mixtures.

A C++17/OpenMP engine behind a Python package and the ``vorlan`` command. One
species or several in a periodic box, six integration methods and a barostat,
results reproducible to the last bit. A map of the package:

Running
    ``Simulation(params, method=..., barostat=..., seed=...)``
        holds a simulation between calls: ``run(n)``, observables (temperature,
        pressure, density), the energy log, callbacks, trajectories, ``set``,
        ``save`` and ``Simulation.load`` (checkpoints), ``Simulation.from_file``.
    ``Vorlan().simulate(path)``
        one whole run from a parameter file, returning a dict of arrays.
    ``sweep(base, grid, ...)``
        many runs (a grid of settings, replicas) on a process pool or a Dask
        cluster; a pandas table (``vorlan.sweeps``).

Ensembles (``vorlan.methods``)
    ``NVE``, ``Berendsen`` (the default), ``Langevin``, ``Bussi``,
    ``NoseHoover``; the barostat ``CRescale``.

Starts (``vorlan.starts``, ``vorlan.io.start``)
    ``lattice`` (fcc, bcc, sc), ``random_positions``, ``composition`` (which
    particle is which species), ``read_start`` (a frame of a GSD, extended XYZ or
    LAMMPS data file). Mixtures and their pair tables: ``vorlan.mixture``.

Files (``vorlan.io``)
    ``read_params`` and ``write_params`` (parameter files as the engine reads
    them), trajectories (GSD, extended XYZ, movie), run logs, checkpoints.

Analysis and units
    ``analysis``: averages with blocking errors (``estimate``, ``block_error``),
    g(r) and partial g(r), ``msd``, ``unwrap``. ``units``: reduced Lennard-Jones
    numbers to laboratory units and back (``units.Units("argon")``).

``help(vorlan.Simulation)`` and the documentation site (docs/, ``make docs``)
tell the rest.
"""

import importlib.util
from typing import TYPE_CHECKING, Any, List

from .methods import NVE, Berendsen, Bussi, CRescale, Langevin, NoseHoover
from .vorlan import Vorlan

if TYPE_CHECKING:
    from . import analysis
    from .io.parameter_file import read_params, write_params
    from .simulation import Simulation
    from . import units
    from .io.start import read_start
    from .starts import composition, lattice, random_positions
    from .sweeps import sweep

__all__ = [
    "NVE",
    "Berendsen",
    "Bussi",
    "CRescale",
    "Langevin",
    "NoseHoover",
    "Simulation",
    "Vorlan",
    "analysis",
    "composition",
    "lattice",
    "random_positions",
    "read_params",
    "read_start",
    "sweep",
    "units",
    "write_params",
]

# Modules handed out on first use. Pair potentials are listed where the package
# has them (found without importing them, as the others).
_LAZY_MODULES = ["units", "analysis"]
if importlib.util.find_spec(f"{__name__}.pair") is not None:
    _LAZY_MODULES.append("pair")
    __all__.append("pair")
if importlib.util.find_spec(f"{__name__}.field") is not None:
    _LAZY_MODULES.append("field")
    __all__.append("field")


def _version() -> str:
    """The installed distribution's version; in a build tree (the package on
    PYTHONPATH, never installed) the one pyproject.toml states."""
    from importlib import metadata

    try:
        return metadata.version("vorlan")
    except metadata.PackageNotFoundError:
        import pathlib
        import re

        for folder in pathlib.Path(__file__).resolve().parents:
            project = folder / "pyproject.toml"
            if project.is_file():
                found = re.search(r'^version\s*=\s*"([^"]+)"', project.read_text(encoding="utf-8"), re.M)
                if found:
                    return found.group(1)
        return "0+unknown"


__version__ = _version()


def __dir__() -> List[str]:
    """The public names, the version and the submodules already imported (not
    the typing helpers this file uses)."""
    loaded = {name for name, obj in globals().items()
              if getattr(obj, "__name__", "").startswith(f"{__name__}.") and not name.startswith("_")}
    return sorted(set(__all__) | loaded | {"__version__"})


def __getattr__(name: str) -> Any:
    # Simulation (and with it the nanobind module vorlan._core), the sweeps
    # (pandas) and the parameter-file helpers load on first use, so that importing vorlan.vorlan
    # alone loads nothing else.
    if name == "Simulation":
        from .simulation import Simulation

        return Simulation
    if name in ("read_params", "write_params"):
        from .io import parameter_file

        return getattr(parameter_file, name)
    if name in ("lattice", "random_positions", "composition"):
        from . import starts

        return getattr(starts, name)
    if name == "read_start":
        from .io.start import read_start

        return read_start
    if name in _LAZY_MODULES:
        return importlib.import_module(f".{name}", __name__)
    if name == "sweep":
        from .sweeps import sweep

        return sweep
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
