// Particles kept in subcell order: the permutation is undone wherever state
// leaves the cell (arrays, saved states) and comes back in (restores, edits),
// and a run with exact sums gives the same bits sorted or not.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "methods/dynamics.h"
#include "support.h"

namespace {

// A liquid of 500 particles at density 0.8, velocities of seed 5.
std::shared_ptr<Parameters> liquid() { return lj_params("nr_particles = 500\ncell_length = 8.5499\n"); }

CellOptions exact_options(bool sort)
{
    CellOptions o;
    o.threads = 1;
    o.seeded = true;
    o.seed = 5;
    o.exact_sums = true;
    o.sort_particles = sort;
    return o;
}

void steps(Cell& cell, Dynamics& d, unsigned int from, unsigned int to)
{
    for (unsigned int i = from; i < to; ++i)
        d.step(cell, i, 0.005, false);
}

Dynamics langevin()
{
    Dynamics d;
    d.configure(make_method("langevin", {{"friction", 1.0}}), std::nullopt, 7);
    return d;
}

}  // namespace

TEST(Sort, SavedStateRestoresAndContinuesAsTheSortedRun)
{
    auto params = liquid();
    Cell sorted(params, exact_options(true));
    Dynamics d = langevin();
    steps(sorted, d, 0, 30);
    std::vector<std::uint32_t> identity(sorted.particles());
    std::iota(identity.begin(), identity.end(), 0u);
    ASSERT_NE(sorted.get_ids(), identity);  // the subcell order is not the start's

    // the state comes out in the order of the ids; restored, the cell holds them in that order
    const CellState saved = sorted.save_state();
    EXPECT_EQ(flatten(saved.positions), sorted.get_positions());
    EXPECT_EQ(saved.images, sorted.get_images());
    Cell restored(params, saved, 1);
    restored.set_order(true, true);
    EXPECT_EQ(restored.get_ids(), identity);
    EXPECT_EQ(restored.get_forces(), sorted.get_forces());

    // both go on alike, also once the sorted one is put back into the order of the ids
    Dynamics again = langevin();
    steps(sorted, d, 30, 60);
    steps(restored, again, 30, 60);
    sorted.unsort();
    EXPECT_EQ(sorted.get_ids(), identity);
    steps(sorted, d, 60, 90);
    steps(restored, again, 60, 90);
    EXPECT_EQ(restored.get_positions(), sorted.get_positions());
    EXPECT_EQ(restored.get_velocities(), sorted.get_velocities());
    EXPECT_EQ(restored.get_epot(), sorted.get_epot());
}

TEST(Sort, SortedAndUnsortedRunsAgreeBitForBit)
{
    auto params = liquid();
    Cell sorted(params, exact_options(true)), plain(params, exact_options(false));
    Dynamics a = langevin(), b = langevin();
    steps(sorted, a, 0, 60);
    steps(plain, b, 0, 60);
    EXPECT_EQ(sorted.get_positions(), plain.get_positions());
    EXPECT_EQ(sorted.get_velocities(), plain.get_velocities());
    EXPECT_EQ(sorted.get_images(), plain.get_images());
    EXPECT_EQ(sorted.get_epot(), plain.get_epot());
    EXPECT_EQ(sorted.get_ekin(), plain.get_ekin());
    EXPECT_EQ(sorted.virial(), plain.virial());
    EXPECT_EQ(sorted.particle_energies(), plain.particle_energies());
}
