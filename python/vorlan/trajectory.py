"""Trajectories (GSD, extended XYZ, movie files) and their conversion, as
``vorlan.io`` provides them; kept under this name for existing callers."""

from .io.frames import Trajectory
from .io.gsd import GSDWriter, read_gsd
from .io.trajectory import FORMATS, convert
from .io.xyz import read_xyz

__all__ = ["GSDWriter", "Trajectory", "read_gsd", "read_xyz", "convert", "FORMATS"]
