// Lennard-Jones forces and potential energy over the neighbour list.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support.h"

namespace {

using A = CellTestAccess;
using List = std::vector<unsigned int>;

std::unique_ptr<Cell> pair_at(const vec3& a, const vec3& b, const std::string& extra = "")
{
    auto cell = std::make_unique<Cell>(lj_params(extra));
    A::place(*cell, {a, b});
    return cell;
}

TEST(Forces, UnitDistancePair)
{
    auto cell = pair_at(vec3(1, 1, 1), vec3(2, 1, 1));
    EXPECT_EQ(A::forces(*cell)[0], vec3(-24, 0, 0));
    EXPECT_EQ(A::forces(*cell)[1], vec3(24, 0, 0));
    // the whole energy is the shift: -4 ((1/2.5)^12 - (1/2.5)^6)
    EXPECT_NEAR(cell->get_epot(), 0.016316891136, 1e-12);
}

TEST(Forces, PairAtTheMinimumAndAtTheCutOff)
{
    const double rmin = std::pow(2.0, 1.0 / 6.0);
    auto at_min = pair_at(vec3(1, 1, 1), vec3(1 + rmin, 1, 1));
    EXPECT_NEAR(A::forces(*at_min)[0].norm(), 0.0, 1e-12);
    EXPECT_NEAR(at_min->get_epot(), -0.983683108864, 1e-12);

    // listed (within rcut + shell) but not within the strict cut-off test
    auto at_cut = pair_at(vec3(1, 1, 1), vec3(3.5, 1, 1));
    EXPECT_EQ(A::neighbor_list(*at_cut), (std::vector<unsigned int>{2, 4, 1, 0, 0, 1}));
    EXPECT_EQ(A::forces(*at_cut)[0], vec3(0, 0, 0));
    EXPECT_EQ(at_cut->get_epot(), 0.0);
}

TEST(Forces, PairThroughTheBoundaryPushesApart)
{
    auto cell = pair_at(vec3(0.5, 1, 1), vec3(9.5, 1, 1));
    EXPECT_EQ(A::forces(*cell)[0], vec3(24, 0, 0));
    EXPECT_EQ(A::forces(*cell)[1], vec3(-24, 0, 0));
}

TEST(Forces, EpsilonScalesForcesAndEnergyExactly)
{
    auto one = pair_at(vec3(1, 1, 1), vec3(2.1, 1.3, 0.8));
    auto two = pair_at(vec3(1, 1, 1), vec3(2.1, 1.3, 0.8), "epsilon = 2\n");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(A::forces(*two)[i], 2.0 * A::forces(*one)[i]);
    EXPECT_EQ(two->get_epot(), 2.0 * one->get_epot());
}

TEST(Forces, NoParticles)
{
    Cell cell(lj_params("nr_particles = 0\n"));
    EXPECT_EQ(cell.get_epot(), 0.0);
}

// A random liquid-like configuration: 500 particles in a box of 8.4 (density 0.84).
std::unique_ptr<Cell> liquid(unsigned seed, const std::string& extra = "")
{
    auto cell = std::make_unique<Cell>(lj_params(extra + "nr_particles = 500\ncell_length = 8.4\n"));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-0.1, 0.1);
    for (auto& p : A::positions(*cell))
        p += vec3(jitter(rng), jitter(rng), jitter(rng));
    A::build_neighbor_list(*cell);
    A::calculate_forces(*cell);
    return cell;
}

TEST(Forces, AgreeWithADirectPairSum)
{
    auto cell = liquid(3);
    const auto& pos = A::positions(*cell);
    const double L = 8.4, rc2 = 2.5 * 2.5, shift = std::pow(2.5, -12) - std::pow(2.5, -6);
    double energy = 0;
    vec3 total(0, 0, 0);
    for (std::size_t i = 0; i < pos.size(); ++i) {
        vec3 f(0, 0, 0);
        for (std::size_t j = 0; j < pos.size(); ++j) {
            if (i == j)
                continue;
            vec3 r = pos[i] - pos[j];
            for (int k = 0; k < 3; ++k)
                r[k] -= L * std::round(r[k] / L);
            const double r2 = r.squaredNorm();
            if (r2 >= rc2)
                continue;
            const double s6 = std::pow(r2, -3);
            f += 24 * (2 * s6 * s6 - s6) / r2 * r;
            energy += 0.5 * 4 * (s6 * s6 - s6 - shift);
        }
        EXPECT_LT((A::forces(*cell)[i] - f).norm(), 1e-9 * (1 + f.norm())) << "particle " << i;
        total += A::forces(*cell)[i];
    }
    EXPECT_NEAR(cell->get_epot(), energy, 1e-9 * std::abs(energy));
    EXPECT_LT(total.norm(), 1e-9);  // Newton's third law
}

// W = sum over distinct pairs within the cut-off of r_ij . F_ij, with sigma and
// epsilon away from 1 so that a missing factor shows.
TEST(Forces, VirialAgreesWithADirectPairSum)
{
    auto cell = liquid(4, "sigma = 1.05\nepsilon = 0.7\n");
    const auto& pos = A::positions(*cell);
    const double L = 8.4, rc2 = 2.5 * 2.5, s2 = 1.05 * 1.05;
    double w = 0;
    for (std::size_t i = 0; i < pos.size(); ++i)
        for (std::size_t j = i + 1; j < pos.size(); ++j) {
            vec3 r = pos[i] - pos[j];
            for (int k = 0; k < 3; ++k)
                r[k] -= L * std::round(r[k] / L);
            const double r2 = r.squaredNorm();
            if (r2 < rc2) {
                const double s6 = std::pow(s2 / r2, 3);
                w += r.dot(24 * 0.7 * (2 * s6 * s6 - s6) / r2 * r);
            }
        }
    EXPECT_NEAR(cell->virial(), w, 1e-10 * std::abs(w));
}

TEST(Forces, IndependentOfThreadsAndOfUnwrappedImages)
{
    auto cell = liquid(5);
    std::vector<vec3> serial;
    double epot;
    {
        ThreadCount use(1);
        A::calculate_forces(*cell);
        serial = A::forces(*cell);
        epot = cell->get_epot();
    }
    ThreadCount use(2);
    A::calculate_forces(*cell);
    EXPECT_EQ(A::forces(*cell), serial);
    EXPECT_NEAR(cell->get_epot(), epot, 1e-12 * std::abs(epot));

    // the same configuration with the particles near the faces x = 0 and y = 0
    // moved just outside the far faces, as a drift before the wrap leaves them
    int moved = 0;
    for (auto& p : A::positions(*cell))
        for (int k = 0; k < 2; ++k)
            if (p[k] < 0.5) {
                p[k] += 8.4;
                ++moved;
            }
    ASSERT_GT(moved, 20);
    A::calculate_forces(*cell);
    for (std::size_t i = 0; i < serial.size(); ++i)
        EXPECT_LT((A::forces(*cell)[i] - serial[i]).norm(), 1e-9 * (1 + serial[i].norm()));
    EXPECT_NEAR(cell->get_epot(), epot, 1e-9 * std::abs(epot));
}

// The cell's own team size, larger than the runtime's default: the per-thread
// buffers must follow it, and the results are those of one thread.
TEST(Forces, CellTeamLargerThanTheRuntimeDefault)
{
    ThreadCount use(1);
    auto cell = liquid(6);
    const List serial_list = A::neighbor_list(*cell);
    const auto serial = A::forces(*cell);
    const double virial = cell->virial();
    cell->set_threads(3);
    A::build_neighbor_list(*cell);
    A::calculate_forces(*cell);
    EXPECT_EQ(A::neighbor_list(*cell), serial_list);
    EXPECT_EQ(A::forces(*cell), serial);
    EXPECT_NEAR(cell->virial(), virial, 1e-12 * std::abs(virial));
}

TEST(Forces, SwappingTwoParticlesSwapsTheirForces)
{
    auto cell = liquid(9);
    const auto before = A::forces(*cell);
    std::swap(A::positions(*cell)[10], A::positions(*cell)[200]);
    A::build_neighbor_list(*cell);
    A::calculate_forces(*cell);
    EXPECT_LT((A::forces(*cell)[10] - before[200]).norm(), 1e-10 * (1 + before[200].norm()));
    EXPECT_LT((A::forces(*cell)[200] - before[10]).norm(), 1e-10 * (1 + before[10].norm()));
}

}  // namespace

// The list and the force terms work on plain particle arrays, without a Cell:
// the build zeroes the displacements, and the pair comes out as through a Cell.
TEST(Forces, ListAndForceTermsOverParticleStateAlone)
{
    const auto params = lj_params();
    const vec3 box(10, 10, 10);
    ParticleState p;
    p.positions = {vec3(1, 1, 1), vec3(2, 1, 1)};
    p.velocities = p.dij_list = {vec3(0.1, 0, 0), vec3(-0.1, 0, 0)};
    p.forces.resize(2);
    p.number_in_order(2);
    NeighborList list;
    list.build(p, ListSpec{box, box, 2.8, 0.3, nullptr, 1, 2, 1, false, nullptr, {}});
    EXPECT_EQ(list.entries, (List{2, 4, 1, 0, 0, 1}));
    EXPECT_EQ(p.dij_list[0], vec3::Zero());
    EXPECT_EQ(list.box, box);

    ForceTerms terms;
    terms.set_potential(PairPotential{}, Species{});
    const ForceSums sums = terms.compute(p, list, ForceContext{params.get(), box, 1, false, nullptr, 2});
    EXPECT_EQ(p.forces[0], vec3(-24, 0, 0));
    EXPECT_EQ(p.forces[1], vec3(24, 0, 0));
    EXPECT_EQ(sums.epot, pair_at(vec3(1, 1, 1), vec3(2, 1, 1))->get_epot());
    EXPECT_DOUBLE_EQ(sums.virial, 24.0);  // r . F of the one pair at unit distance
}
