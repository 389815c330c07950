"""Files of vorlan: parameter files, run logs, trajectories (movie files, GSD,
extended XYZ) and their conversion, ASE export.

    parameter_file  read_params (the engine's reader), write_params, diagnose
    runlog          write_log, read_log: the CSV log of ``vorlan run --log``
    movie           read_movie (memory-mapped), write_movie: the engine's binary frames
    gsd             GSDWriter, read_gsd: HOOMD's format, with the exact doubles under log/
    xyz             write_xyz, read_xyz: extended XYZ
    trajectory      convert between the three by extension
    ase             atoms of one frame as ase.Atoms
    frames          Trajectory, the frames in memory
    atomic          replace_atomically: every writer's file appears whole or not at all
"""
