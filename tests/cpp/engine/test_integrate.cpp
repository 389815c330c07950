// The time step: wrap, thermostat, progress line, and the dynamics as a whole.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "support.h"

namespace {

using A = CellTestAccess;

double wrapped(double x, double side)
{
    Cell cell(lj_params("nr_particles = 1\ncell_length = " + std::to_string(side) + "\n"));
    A::positions(cell)[0] = vec3(x, x, x);
    A::wrap(cell);
    const vec3 p = A::positions(cell)[0];
    EXPECT_TRUE(p.x() == p.y() && p.y() == p.z());
    return p.x();
}

TEST(Wrap, BringsAnyCoordinateIntoTheBoxUpToRounding)
{
    EXPECT_EQ(wrapped(-0.25, 10), 9.75);
    EXPECT_EQ(wrapped(25, 10), 5);
    EXPECT_EQ(wrapped(-25, 10), 5);
    EXPECT_EQ(wrapped(10, 10), 0);
    EXPECT_EQ(wrapped(-10, 10), 0);
    EXPECT_EQ(wrapped(0, 10), 0);
    EXPECT_EQ(wrapped(-1e-20, 10), 10);  // rounds onto the far face
    EXPECT_EQ(wrapped(49, 49), 49);      // 49 * (1/49) is just below one
}

TEST(Wrap, CoordinatesOnTheFarFaceStillFindTheirNeighbours)
{
    Cell cell(lj_params());
    A::place(cell, {vec3(10, 1, 1), vec3(0.5, 1, 1)});  // x = side: subcell wraps to 0
    EXPECT_EQ(A::neighbor_list(cell), (std::vector<unsigned int>{2, 4, 1, 0, 0, 1}));
    EXPECT_EQ(A::forces(cell)[1], vec3(24 * (2 * std::pow(0.5, -12) - std::pow(0.5, -6)) / 0.25 * 0.5, 0, 0));
}

std::string progress_line(unsigned int step)
{
    Cell cell(lj_params());
    testing::internal::CaptureStdout();
    cell.integrate(step, 0.005, true);
    return testing::internal::GetCapturedStdout();
}

TEST(Progress, PrintedAtMultiplesOfAThousandOnly)
{
    const std::regex line(
        "Step (\\d{4,})  Ekin = [ -]{0,12}\\d+\\.\\d{6}  Epot =  [ -]*\\d+\\.\\d{6}  Etot = [ -]*\\d+\\.\\d{6}  "
        "Time = \\d+\\.\\d{4} s\n");
    std::smatch m;
    const std::string at0 = progress_line(0);
    ASSERT_TRUE(std::regex_match(at0, m, line)) << at0;
    EXPECT_EQ(m[1], "0000");
    EXPECT_EQ(progress_line(999), "");
    const std::string at1000 = progress_line(1000);
    ASSERT_TRUE(std::regex_match(at1000, m, line)) << at1000;
    EXPECT_EQ(m[1], "1000");
    const std::string at12000 = progress_line(12000);
    ASSERT_TRUE(std::regex_match(at12000, m, line)) << at12000;
    EXPECT_EQ(m[1], "12000");
    // fields are right-aligned in twelve characters
    EXPECT_EQ(at0.find("Ekin = ") + 7 + 12, at0.find("  Epot"));
}

TEST(Progress, SilentWithoutVerbose)
{
    Cell cell(lj_params());
    testing::internal::CaptureStdout();
    cell.integrate(0, 0.005, false);
    cell.integrate(1000, 0.005, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// --- thermostat ----------------------------------------------------------------

TEST(Thermostat, LeavesVelocitiesAloneAtTheTarget)
{
    Cell cell(lj_params("kT = 2\n"));  // two particles: ekin0 = 1.5 * 1 * 2 = 3
    A::velocities(cell) = {vec3(1, 2, 0), vec3(-1, -1, -0.4)};
    const auto before = A::velocities(cell);
    A::ekin(cell) = 3.0;
    A::thermostat(cell, 0.005);
    EXPECT_EQ(A::velocities(cell), before);
}

TEST(Thermostat, StepEqualToTauReachesTheTargetAtOnce)
{
    Cell cell(lj_params("kT = 2\ntau = 0.01\n"));
    A::velocities(cell) = {vec3(1, 2, 0), vec3(-1, -1, -0.4)};
    A::forces(cell) = {vec3(0, 0, 0), vec3(0, 0, 0)};
    A::half_kick(cell, 0.01);  // zero forces: computes ekin only
    A::thermostat(cell, 0.01);
    A::half_kick(cell, 0.01);
    EXPECT_NEAR(cell.get_ekin(), 3.0, 1e-12);
}

TEST(Thermostat, OneParticleDecaysAndAParticleAtRestStaysFinite)
{
    Cell cell(lj_params("nr_particles = 1\n"));
    EXPECT_EQ(A::velocities(cell)[0], vec3(0, 0, 0));  // mean removal leaves it at rest
    cell.integrate(1, 0.005, false);
    EXPECT_EQ(A::velocities(cell)[0], vec3(0, 0, 0));
    EXPECT_EQ(cell.get_ekin(), 0.0);

    // moving, the lone particle has target 0: lambda = sqrt(1 - dt/tau)
    A::velocities(cell)[0] = vec3(1, 0, 0);
    A::half_kick(cell, 0.005);
    A::thermostat(cell, 0.005);
    EXPECT_DOUBLE_EQ(A::velocities(cell)[0].x(), std::sqrt(1 - 0.005 / 0.5));
}

TEST(Thermostat, RefusesAStepAboveTauLeavingTheVelocities)
{
    Cell cell(lj_params("kT = 0.001\ntau = 0.001\n"));
    A::velocities(cell) = {vec3(10, 0, 0), vec3(-10, 0, 0)};
    A::forces(cell) = {vec3(0, 0, 0), vec3(0, 0, 0)};
    A::half_kick(cell, 0.01);
    const std::vector<vec3> before = A::velocities(cell);
    std::string message = "nothing thrown";
    try {
        A::thermostat(cell, 0.01);  // the radicand 1 + (tiny - 1) * 10 would be negative
    } catch (const std::invalid_argument& e) {
        message = e.what();
    }
    EXPECT_EQ(message.rfind("stepsize = 0.01 and tau = 0.001 are not allowed: ", 0), 0u) << message;
    EXPECT_EQ(A::velocities(cell), before);
}

TEST(Thermostat, RejectsTauOfZero)
{
    Cell cell(lj_params("tau = 0\n"));
    try {
        cell.integrate(0, 0.005, false);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("tau = 0"), std::string::npos) << e.what();
    }
}

TEST(Integrate, MissingTauFailsAfterTheFirstHalfKick)
{
    Cell cell(params_from("nr_particles = 2\ncell_length = 10\nkT = 1\nmass = 1\nsigma = 1\nepsilon = 1\n"
                          "rcut = 2.5\nshell = 0.3\n"));
    A::place(cell, {vec3(1, 1, 1), vec3(2, 1, 1)});
    const auto positions = A::positions(cell);
    const auto velocities = A::velocities(cell);
    const double epot = cell.get_epot();
    try {
        cell.integrate(0, 0.01, false);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not find parameter: tau");
    }
    EXPECT_EQ(A::positions(cell), positions);
    EXPECT_EQ(cell.get_epot(), epot);
    EXPECT_EQ(cell.get_etot(), 0.0);
    // v += F dt / 2m with F = -24 on particle 0
    EXPECT_EQ(A::velocities(cell)[0].x(), velocities[0].x() + (0.5 / 1.0) * 0.01 * -24.0);
    EXPECT_GT(cell.get_ekin(), 0.0);
}

TEST(Integrate, RefusesAParticleCountThatNoLongerMatches)
{
    Cell cell(lj_params());
    A::params(cell)->override_param("nr_particles", "3");
    EXPECT_THROW(cell.integrate(0, 0.005, false), std::logic_error);
}

// --- dynamics of a small liquid -------------------------------------------------

std::unique_ptr<Cell> liquid(const std::string& extra)
{
    return std::make_unique<Cell>(lj_params(extra + "nr_particles = 500\ncell_length = 8.39\nkT = 1.0\n"));
}

vec3 momentum(Cell& cell)
{
    vec3 p(0, 0, 0);
    for (const vec3& v : A::velocities(cell))
        p += v;
    return p;
}

TEST(Dynamics, ConservesEnergyAndMomentumWithoutTheThermostat)
{
    auto cell = liquid("tau = 1000000000\n");
    cell->integrate(0, 0.002, false);
    const double e0 = cell->get_etot();
    double worst = 0;
    for (unsigned int i = 1; i < 400; ++i) {
        cell->integrate(i, 0.002, false);
        worst = std::max(worst, std::abs(cell->get_etot() - e0));
        for (const vec3& p : A::positions(*cell))
            for (int k = 0; k < 3; ++k)
                ASSERT_TRUE(p[k] >= 0 && p[k] <= 8.39);
    }
    EXPECT_LT(worst / 500, 2e-3) << "energy per particle drifted by " << worst / 500;
    EXPECT_LT(momentum(*cell).norm(), 1e-10);
}

TEST(Dynamics, ThermostatHoldsTheTargetKineticEnergy)
{
    auto cell = liquid("tau = 0.05\nkT = 1.5\n");
    const double target = 1.5 * 499 * 1.5;
    double sum = 0;
    int n = 0;
    for (unsigned int i = 0; i < 600; ++i) {
        cell->integrate(i, 0.005, false);
        if (i >= 300) {
            sum += cell->get_ekin();
            ++n;
        }
    }
    EXPECT_NEAR(sum / n / target, 1.0, 0.02);
}

TEST(Dynamics, AnExplodingRunIsReportedWithinAFewSteps)
{
    for (const double dt : {0.05, 0.5}) {
        auto cell = liquid("");
        A::positions(*cell)[1] = A::positions(*cell)[0] + vec3(0.3, 0, 0);  // overlapping particles
        A::build_neighbor_list(*cell);
        A::calculate_forces(*cell);
        unsigned int step = 0;
        try {
            for (; step < 3; ++step)
                cell->integrate(step, dt, false);
            ADD_FAILURE() << "no error within three steps of " << dt;
        } catch (const std::range_error& e) {
            EXPECT_NE(std::string(e.what()).find("unstable"), std::string::npos) << e.what();
        }
    }
}

TEST(Dynamics, ReportsNonFiniteVelocities)
{
    auto cell = liquid("");
    A::velocities(*cell)[7].y() = std::nan("");
    EXPECT_THROW(cell->integrate(0, 0.005, false), std::range_error);
}

}  // namespace
