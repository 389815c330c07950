// Neighbour list: layout, scan order, boundary cases, and agreement with a
// brute-force pair search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <sstream>

#include "support.h"

namespace {

using A = CellTestAccess;
using List = std::vector<unsigned int>;

std::unique_ptr<Cell> two_particles(const std::string& extra = "")
{
    return std::make_unique<Cell>(lj_params(extra));
}

TEST(NeighborList, TwoParticlesLayout)
{
    auto cell = two_particles();
    A::place(*cell, {vec3(1, 1, 1), vec3(2, 1, 1)});
    EXPECT_EQ(A::neighbor_list(*cell), (List{2, 4, 1, 0, 0, 1}));
    A::place(*cell, {vec3(1, 1, 1), vec3(5, 1, 1)});
    EXPECT_EQ(A::neighbor_list(*cell), (List{2, 3, 0, 1}));
}

TEST(NeighborList, NoneAndOneParticle)
{
    auto none = std::make_unique<Cell>(lj_params("nr_particles = 0\n"));
    EXPECT_TRUE(A::neighbor_list(*none).empty());
    EXPECT_FALSE(A::stale(*none));
    auto one = std::make_unique<Cell>(lj_params("nr_particles = 1\n"));
    EXPECT_EQ(A::neighbor_list(*one), (List{1, 0}));
}

TEST(NeighborList, PairsAcrossTheBoundaryAndAtTheListRadius)
{
    auto cell = two_particles();
    A::place(*cell, {vec3(0.1, 1, 1), vec3(9.9, 1, 1)});
    EXPECT_EQ(A::neighbor_list(*cell), (List{2, 4, 1, 0, 0, 1}));

    auto wide = two_particles("shell = 0.5\n");  // list radius exactly 3
    A::place(*wide, {vec3(1, 1, 1), vec3(4, 1, 1)});
    EXPECT_EQ(A::neighbor_list(*wide), (List{2, 4, 1, 0, 0, 1}));
}

TEST(NeighborList, HalfABoxApartIsListedOnBothSides)
{
    // Box 5 < 2 (rcut + shell): a single subcell. The separation 2.5 is exactly
    // half the box: +2.5 becomes -2.5 on one side, -2.5 stays on the other.
    auto cell = two_particles("cell_length = 5\n");
    A::place(*cell, {vec3(0.5, 1, 1), vec3(3.0, 1, 1)});
    EXPECT_EQ(A::neighbor_list(*cell), (List{2, 4, 1, 0, 0, 1}));
}

TEST(NeighborList, RebuildTestNeedsMoreThanHalfTheShell)
{
    auto cell = two_particles("shell = 0.4\n");
    A::place(*cell, {vec3(1, 1, 1), vec3(5, 1, 1)});
    EXPECT_FALSE(A::stale(*cell));
    A::dij_list(*cell)[1] = vec3(0.2, 0, 0);
    EXPECT_FALSE(A::stale(*cell));
    A::dij_list(*cell)[1] = vec3(0.15, 0.1, 0.075);  // length 0.1952...
    EXPECT_FALSE(A::stale(*cell));
    A::dij_list(*cell)[1] = vec3(0.2, 1e-7, 0);
    EXPECT_TRUE(A::stale(*cell));
    A::dij_list(*cell)[1] = vec3(std::nan(""), 0, 0);
    EXPECT_TRUE(A::stale(*cell));
    EXPECT_THROW(A::build_neighbor_list(*cell), std::range_error);
    A::dij_list(*cell)[1] = vec3(0.3, 0, 0);
    A::build_neighbor_list(*cell);
    EXPECT_FALSE(A::stale(*cell));
    EXPECT_EQ(A::dij_list(*cell)[1], vec3(0, 0, 0));

    auto no_shell = two_particles("shell = 0\n");
    A::dij_list(*no_shell)[0] = vec3(0, 0, 1e-10);
    EXPECT_TRUE(A::stale(*no_shell));
}

TEST(NeighborList, RejectsAnEmptyListRadiusBeforeChangingAnything)
{
    auto cell = std::make_unique<Cell>(lj_params());
    const List before = A::neighbor_list(*cell);
    A::params(*cell)->override_param("rcut", "0");
    A::params(*cell)->override_param("shell", "0");
    try {
        A::build_neighbor_list(*cell);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("rcut = 0 and shell = 0"), std::string::npos) << e.what();
    }
    EXPECT_EQ(A::neighbor_list(*cell), before);
}

TEST(NeighborList, RefusesNonFinitePositions)
{
    auto cell = two_particles();
    A::positions(*cell)[1] = vec3(1, std::numeric_limits<double>::infinity(), 1);
    try {
        A::build_neighbor_list(*cell);
        FAIL();
    } catch (const std::range_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("particle 1"), std::string::npos) << what;
        EXPECT_NE(what.find("unstable"), std::string::npos) << what;
    }
}

TEST(NeighborList, FarCoordinatesLandInASubcell)
{
    // however far out a finite coordinate lies, its subcell index is taken
    // without an integer conversion that cannot hold it (UBSan checks the casts)
    auto cell = two_particles();
    for (double x : {1e300, -1e300, 3e19, -15.0}) {
        A::place(*cell, {vec3(1, 1, 1), vec3(x, 1, 1)});
        EXPECT_EQ(A::neighbor_list(*cell).size(), 4u) << x;
    }
}

// --- agreement with a brute-force search ---------------------------------------

struct Box {
    double side, rcut, shell;
    int n;
};

std::unique_ptr<Cell> random_cell(const Box& b, unsigned seed)
{
    auto cell = std::make_unique<Cell>(params_from(
        "nr_particles = " + std::to_string(b.n) + "\ncell_length = " + std::to_string(b.side) +
        "\nrcut = " + std::to_string(b.rcut) + "\nshell = " + std::to_string(b.shell) +
        "\nkT = 1\nmass = 1\nsigma = 1\nepsilon = 1\ntau = 1\n"));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, b.side);
    auto& pos = A::positions(*cell);
    for (auto& p : pos)
        p = vec3(u(rng), u(rng), u(rng));
    // coordinates the periodic wrap can produce: exactly the side, a hair below zero
    pos[0].x() = b.side;
    pos[1].y() = -2.8e-14;
    pos[2].z() = std::nextafter(b.side, 0.0);
    A::build_neighbor_list(*cell);
    return cell;
}

// Pairs within the list radius, scaled by `tolerance` to stay clear of rounding.
std::vector<std::set<unsigned int>> brute_force(Cell& cell, double rlist, double side, double tolerance)
{
    const auto& pos = A::positions(cell);
    std::vector<std::set<unsigned int>> near(pos.size());
    for (unsigned int i = 0; i < pos.size(); ++i)
        for (unsigned int j = 0; j < pos.size(); ++j) {
            if (i == j)
                continue;
            double distsq = 0;
            for (int k = 0; k < 3; ++k) {
                double r = pos[i][k] - pos[j][k];
                r -= side * std::round(r / side);
                distsq += r * r;
            }
            if (distsq <= rlist * rlist * tolerance)
                near[i].insert(j);
        }
    return near;
}

TEST(NeighborList, MatchesBruteForceForLargeAndSmallGrids)
{
    const Box boxes[] = {
        {10.0, 2.5, 0.3, 400},  // 3 subcells per axis
        {16.0, 2.5, 0.3, 600},  // 5 subcells
        {6.0, 2.5, 0.3, 150},   // 2 subcells: neighbours below and above coincide
        {4.0, 2.0, 0.8, 60},    // 1 subcell
        {10.0, 1e-4, 0.0, 50},  // tiny list radius: the grid is capped, not 10^15 subcells
    };
    for (const Box& b : boxes) {
        auto cell = random_cell(b, 42);
        const auto near = brute_force(*cell, b.rcut + b.shell, b.side, 1 - 1e-12);
        const auto maybe = brute_force(*cell, b.rcut + b.shell, b.side, 1 + 1e-12);
        const List& list = A::neighbor_list(*cell);
        ASSERT_GE(list.size(), 2u * b.n);
        std::size_t start = b.n;  // runs follow the start table without gaps
        for (unsigned int i = 0; i < static_cast<unsigned int>(b.n); ++i) {
            ASSERT_EQ(list[i], start) << "run " << i;
            std::vector<unsigned int> run;
            for (std::size_t p = list[i]; list[p] != i; ++p)
                run.push_back(list[p]);
            start += run.size() + 1;
            const std::set<unsigned int> listed(run.begin(), run.end());
            EXPECT_EQ(listed.size(), run.size()) << "pair listed twice, particle " << i << " box " << b.side;
            for (unsigned int j : near[i])
                EXPECT_TRUE(listed.count(j)) << i << "-" << j << " missing, box " << b.side;
            for (unsigned int j : listed)
                EXPECT_TRUE(maybe[i].count(j)) << i << "-" << j << " listed too far apart, box " << b.side;
        }
        EXPECT_EQ(list.size(), start);
    }
}

TEST(NeighborList, SameListWithOneAndTwoThreads)
{
    const Box boxes[] = {{10.0, 2.5, 0.3, 700}, {6.0, 2.5, 0.3, 150}};
    for (const Box& b : boxes) {
        auto cell = random_cell(b, 7);
        List one;
        {
            ThreadCount use(1);
            A::build_neighbor_list(*cell);
            one = A::neighbor_list(*cell);
        }
        ThreadCount use(2);
        A::build_neighbor_list(*cell);
        EXPECT_EQ(A::neighbor_list(*cell), one);
        A::build_neighbor_list(*cell);
        EXPECT_EQ(A::neighbor_list(*cell), one);
    }
}

TEST(NeighborList, RunsFollowTheSubcellScanOrder)
{
    // Box 10 with list radius 2.8: 3 x 3 x 3 subcells of edge 10/3. Neighbours of
    // particle 0 (own subcell (1,1,1)) lie in subcells visited in the order
    // (cx outer, cy, cz inner): x-lower first, then y-lower, z-lower, its own
    // subcell, z-upper, whatever the particle indices.
    auto cell = std::make_unique<Cell>(lj_params("nr_particles = 6\n"));
    A::place(*cell, {vec3(5, 5, 5), vec3(5, 5, 7.5), vec3(5, 3.2, 5), vec3(3.2, 5, 5), vec3(5, 5, 3.2), vec3(5, 5.4, 5)});
    const List& list = A::neighbor_list(*cell);
    const List run0(list.begin() + list[0], list.begin() + list[1] - 1);
    EXPECT_EQ(run0, (List{3, 2, 4, 5, 1}));
}

}  // namespace

// A dense Kob-Andersen-like mixture (cut-offs 2.5, 2.0, 2.2): each type pair is
// listed to its own cut-off + shell. Every run is the run of the one-radius list
// (every pair to 2.5 + shell, built by the same cell with all cut-offs 2.5) less
// the pairs beyond their own radius, in the same order; so forces and virial
// over the two lists agree bit for bit on one and two threads, and the energy
// on one.
TEST(NeighborList, MixtureListsEachTypePairToItsOwnRadius)
{
    const std::size_t n = 1500;
    const double L = std::cbrt(n / 1.2);
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> jitter(-0.15, 0.15);
    Species ka;
    for (std::size_t i = 0; i < n; ++i)
        ka.types.push_back(rng() % 5 == 0);
    ka.masses = {1.0, 1.0};
    ka.epsilon = {1.0, 1.5, 1.5, 0.5};
    ka.sigma = {1.0, 0.8, 0.8, 0.88};
    ka.rcut = {2.5, 2.0, 2.0, 2.2};
    Species one_radius = ka;
    one_radius.rcut = {2.5, 2.5, 2.5, 2.5};
    std::ostringstream text;
    text.precision(17);
    text << "nr_particles = " << n << "\ncell_length = " << L << "\n";
    CellOptions o;
    o.seeded = true;
    o.species = ka;
    Cell cell(lj_params(text.str()), o);
    o.species = one_radius;
    Cell reach(lj_params(text.str()), o);
    std::vector<vec3> at = A::positions(cell);
    for (vec3& x : at) {  // jittered, and back in the box so that the build culls far subcells
        x += vec3(jitter(rng), jitter(rng), jitter(rng));
        x = x.unaryExpr([L](double c) { return c - L * std::floor(c / L); });
    }
    for (int threads : {1, 2}) {
        ThreadCount use(threads);
        A::place(cell, at);
        A::place(reach, at);
        const List own = A::neighbor_list(cell), wide = A::neighbor_list(reach);
        const std::vector<vec3> forces = A::forces(cell);
        const double epot = cell.get_epot(), virial = cell.virial();
        EXPECT_LT(own.size(), wide.size());
        for (unsigned int i = 0; i < n; ++i) {
            List want;
            for (std::size_t k = wide[i]; wide[k] != i; ++k) {
                const unsigned int j = wide[k];
                vec3 r = at[i] - at[j];
                for (int d = 0; d < 3; ++d)
                    r[d] -= L * std::round(r[d] / L);
                const double radius = ka.rcut[2 * ka.types[i] + ka.types[j]] + 0.3;
                if (r.squaredNorm() <= radius * radius * (1.0 - 1e-12))
                    want.push_back(j);
                else if (r.squaredNorm() <= radius * radius * (1.0 + 1e-12))
                    ADD_FAILURE() << "pair " << i << ", " << j << " too close to its radius for this test";
            }
            ASSERT_EQ(List(own.begin() + own[i], own.begin() + own[i] + want.size()), want) << "particle " << i;
            ASSERT_EQ(own[own[i] + want.size()], i) << "particle " << i;
        }
        A::neighbor_list(cell) = wide;
        A::calculate_forces(cell);
        EXPECT_EQ(A::forces(cell), forces);
        if (threads == 1) {  // on a team the threads' energy partials are reduced in arrival order
            EXPECT_EQ(cell.get_epot(), epot);
        }
        EXPECT_EQ(cell.virial(), virial);
    }
}
