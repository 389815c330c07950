"""One simulation run by every process of MPI.COMM_WORLD (mpiexec -n K), or by
one process on its own with ``--alone``; rank 0 saves the final state to an
.npz file for the test to compare bit for bit.

    python divided_run.py CASE OUT [--threads T] [--alone] [--domains PX PY PZ]
                          [--save-at K CHECKPOINT] [--load CHECKPOINT] [--interrupt CHECKPOINT]

``--interrupt``: a run too long to end, stopped by Ctrl-C; each process prints
the step it stopped at, and the state is saved.
"""
import argparse
import os
import sys

import numpy as np

from mpi4py import MPI

import vorlan


def system(case: str, comm, threads: int, domains):
    """The simulation of `case`, on `comm` (None: undivided)."""
    kw = dict(seed=7, threads=threads, comm=comm)
    if domains is not None:
        kw["domains"] = domains
    if case == "gas":  # hot and dilute: particles cross domains and the box many times
        n, box = 200, 12.0
        params = {"stepsize": 0.002, "kT": 50.0, "rcut": 2.5, "shell": 0.3, "mass": 1.0, "sigma": 1.0,
                  "epsilon": 1.0, "nr_particles": n, "cell_length": box, "tau": 10000}
        x = vorlan.random_positions(n, box, 0.8, seed=3)
        return vorlan.Simulation(params, positions=x, box=box, method=vorlan.Langevin(friction=0.5), **kw)
    x, box = vorlan.lattice("fcc", 6, 1.2 if case == "ka" else 0.8)  # 864 particles
    params = {"stepsize": 0.004, "kT": 1.0, "rcut": 2.5, "shell": 0.3, "mass": 1.0, "sigma": 1.0,
              "epsilon": 1.0, "nr_particles": len(x), "cell_length": box[0], "tau": 10000}
    if case == "ka":
        species, types = vorlan.composition(len(x), {"A": 0.8, "B": 0.2}, seed=1)
        return vorlan.Simulation(params, positions=x, box=box, species=species, types=types,
                                 pairs=vorlan.mixture.KOB_ANDERSEN, method=vorlan.Langevin(friction=1.0), **kw)
    if case == "wall":  # a wall closes z, a body force pushes along x
        fields = [vorlan.field.Wall("z", kind="lj93", rcut=2.5), vorlan.field.Constant(force=(0.05, 0.0, 0.0))]
        return vorlan.Simulation(params, positions=x, box=box, method=vorlan.Langevin(friction=1.0),
                                 fields=fields, **kw)
    if case in ("npt", "npt-xy"):  # the box scales, the domains with it (z on its own in npt-xy)
        couple = "xyz" if case == "npt" else "xy"
        return vorlan.Simulation(params, positions=x, box=box, method=vorlan.Bussi(tau=0.2),
                                 barostat=vorlan.CRescale(pressure=0.3, tau=0.5, couple=couple), **kw)
    method = {"nve": vorlan.NVE(), "langevin": vorlan.Langevin(friction=1.0), "bussi": vorlan.Bussi(tau=0.2),
              "berendsen": vorlan.Berendsen(tau=0.2)}[case]
    return vorlan.Simulation(params, positions=x, box=box, method=method, **kw)


def main() -> None:
    a = argparse.ArgumentParser()
    a.add_argument("case")
    a.add_argument("out")
    a.add_argument("--threads", type=int, default=1)
    a.add_argument("--steps", type=int)
    a.add_argument("--alone", action="store_true")
    a.add_argument("--domains", type=int, nargs=3)
    a.add_argument("--fail-at", type=int, default=None)
    a.add_argument("--trajectory")
    a.add_argument("--save-at", nargs=2, metavar=("K", "CHECKPOINT"))
    a.add_argument("--load", metavar="CHECKPOINT")
    a.add_argument("--interrupt", metavar="CHECKPOINT")
    args = a.parse_args()
    comm = None if args.alone else MPI.COMM_WORLD
    steps = args.steps or (400 if args.case == "gas" else 120)
    if args.load:  # the run goes on from a checkpoint to the same last step
        sim = vorlan.Simulation.load(args.load, threads=args.threads, comm=comm, domains=args.domains)
        steps -= sim.step
    else:
        sim = system(args.case, comm, args.threads, args.domains)
    if args.save_at:
        sim.run(int(args.save_at[0]))
        sim.save(args.save_at[1])
        steps -= sim.step
    if comm is not None:  # a divided box keeps its own particles in ascending id
        try:
            sim._engine.sort_particles = True
        except ValueError:
            pass
        else:
            raise AssertionError("a divided box sorted its particles")
    if args.interrupt:
        print(f"running {os.getpid()}", flush=True)
        try:
            sim.run(10**7)
        except KeyboardInterrupt:
            pass
        else:
            raise AssertionError("the run was not interrupted")
        finite = bool(np.isfinite(sim.positions).all())
        print(f"stopped: rank {sim.rank} step {sim.step} finite {finite}", flush=True)
        sim.save(args.interrupt)
        return
    if args.fail_at is not None:
        # one process alone sees an impossible time step: its list build refuses
        sim.run(args.fail_at)
        if sim.rank == sim.ranks - 1:
            sim.set("stepsize", "1000")
        sim.run(5)
    sim.run(steps, trajectory=args.trajectory, every=40)
    out = dict(positions=sim.positions, velocities=sim.velocities, forces=sim.forces, images=sim.images,
               energies=np.array([sim.ekin, sim.epot, sim.etot, sim.virial, sim.conserved]),
               log=np.array(sim.log["etot"]), domains=np.array(sim.domains),
               pair_terms=np.concatenate([sim.particle_energies, sim.particle_virials.ravel(), sim.pressure_tensor]))
    if sim.rank == 0:
        np.savez(args.out, **out)


if __name__ == "__main__":
    try:
        main()
    except Exception as e:  # the same line from every process, for the test to count
        print(f"refused: {type(e).__name__}: {e}", flush=True)
        sys.exit(3)
