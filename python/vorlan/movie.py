"""Movie files, as ``vorlan.io.movie`` reads and writes them (with extended XYZ
and ASE export); kept under this name for existing callers.

``python -m vorlan.movie MOVIE OUT [--nr-particles N] [--species S]`` is
``vorlan convert --from movie --to xyz MOVIE OUT``.
"""

import sys
from typing import List, Optional

from .io.ase import atoms as atoms_from_arrays
from .io.ase import to_ase
from .io.movie import Movie, frame_bytes, read_movie, same_file
from .io.xyz import write_xyz

__all__ = ["Movie", "read_movie", "write_xyz", "to_ase", "atoms_from_arrays", "frame_bytes", "same_file", "main"]


def main(argv: Optional[List[str]] = None) -> int:
    """``vorlan convert`` with the arguments of this module's command line."""
    from .cli import main as vorlan

    args = list(sys.argv[1:] if argv is None else argv)
    return vorlan(["convert", "--from", "movie", "--to", "xyz", "--verbose", *args])


if __name__ == "__main__":
    sys.exit(main())
