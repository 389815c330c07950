"""A Simulation keeps its particles in memory in subcell order: nothing of it shows.

Each particle's neighbours come in the same order either way and the global sums
are exact, so a sorted run gives the bits of an unsorted one, on one or two
threads, through edits, copies and callbacks.
"""

import numpy as np
import pytest

import vorlan
from conftest import DEFAULT_PARAMS
from vorlan import Simulation

N = 1000
PARAMS = dict(DEFAULT_PARAMS, nr_particles=str(N), cell_length="10.77", shell="0.2", stepsize="0.005")


def ka_mixture():
    box = (N / 1.2) ** (1 / 3)
    species, types = vorlan.composition(N, {"A": 0.8, "B": 0.2}, seed=2)
    x = vorlan.random_positions(N, [box] * 3, 0.75, seed=2)
    return dict(species=species, types=types, pairs=vorlan.mixture.KOB_ANDERSEN, positions=x, box=[box] * 3,
                masses={"B": 2.0}, method=vorlan.Langevin(friction=1.0))


CASES = {
    "nve": lambda: dict(method=vorlan.NVE()),
    "langevin": lambda: dict(method=vorlan.Langevin(friction=1.0)),
    "bussi-crescale": lambda: dict(method=vorlan.Bussi(tau=0.1), barostat=vorlan.CRescale(pressure=1.0, tau=0.5)),
    "ka-mixture": ka_mixture,
    "bussi-crescale-none": lambda: dict(method=vorlan.Bussi(tau=0.1),
                                        barostat=vorlan.CRescale(pressure=1.0, tau=0.5, couple="none")),
}
ARRAYS = ["positions", "velocities", "forces", "images", "types", "particle_energies", "particle_virials"]
SCALARS = ["ekin", "epot", "etot", "virial", "conserved", "pressure_tensor", "volume"]


def trace(case, threads, sort):
    sim = Simulation(PARAMS, seed=3, threads=threads, **CASES[case]())
    sim._engine.sort_particles = sort
    seen = []
    sim.run(30, every=10, callback=lambda s: seen.append(s.positions))
    sim.set_velocities(sim.velocities * 1.01)
    sim = sim.copy()
    sim._engine.sort_particles = sort
    sim.run(30, every=10, callback=lambda s: seen.append(s.velocities))
    # read in one order: the per-particle terms evaluate the forces anew at the wrapped positions
    return [getattr(sim, name) for name in ARRAYS + SCALARS] + list(sim.log.values()) + seen


@pytest.mark.parametrize("case", CASES)
def test_sorted_runs_give_the_bits_of_unsorted_ones(case):
    want = trace(case, 1, False)
    for threads in (1, 2):
        got = trace(case, threads, True)
        for name, a, b in zip(ARRAYS + SCALARS + ["log"] * 99, got, want):
            np.testing.assert_array_equal(a, b, err_msg=name, strict=True)
