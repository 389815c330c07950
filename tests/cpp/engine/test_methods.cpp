// The integration methods: their noise, reproducibility at any team size and
// across checkpoints, the default's identity with Cell::integrate, bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "methods/dynamics.h"
#include "noise.h"
#include "support.h"

namespace {

// A small liquid: 256 particles at density 0.8.
std::shared_ptr<Parameters> liquid(const std::string& extra = "")
{
    return lj_params(extra + "nr_particles = 256\ncell_length = 6.8399\nrcut = 2.5\n");
}

struct MethodCase {
    const char* name;
    std::string method;
    Numbers parameters;
    bool barostat;
    CRescale::Couple couple = CRescale::Couple::xyz;  // the barostat's axes
};

Dynamics dynamics_of(const MethodCase& s, std::uint64_t seed)
{
    Dynamics d;
    std::optional<CRescale> b;
    if (s.barostat)
        b = CRescale(1.69, 1.0, 0.1, s.couple);
    d.configure(make_method(s.method, s.parameters), b, seed);
    return d;
}

std::vector<double> run(const MethodCase& s, std::uint64_t seed, int threads, unsigned int steps)
{
    CellOptions o;
    o.threads = threads;
    o.seeded = true;
    o.seed = 5;
    Cell cell(liquid(), o);
    Dynamics d = dynamics_of(s, seed);
    for (unsigned int i = 0; i < steps; ++i)
        d.step(cell, i, 0.005, false);
    return cell.get_positions();
}

const MethodCase setups[] = {
    {"Langevin", "langevin", {{"friction", 1.0}}, false},
    {"Bussi", "bussi", {{"tau", 0.1}}, false},
    {"NoseHoover", "nose_hoover", {{"tau", 0.1}, {"chain", 3.0}}, false},
    {"BussiCRescale", "bussi", {{"tau", 0.1}}, true},
    {"BussiCRescaleXY", "bussi", {{"tau", 0.1}}, true, CRescale::Couple::xy},
    {"NoseHooverCRescaleAxes", "nose_hoover", {{"tau", 0.1}, {"chain", 3.0}}, true, CRescale::Couple::none},
    {"NVE", "nve", {}, false},
};

class Methods : public testing::TestWithParam<MethodCase> {};

TEST_P(Methods, CheckpointContinuationEqualsTheUnbrokenRun)
{
    const MethodCase& s = GetParam();
    CellOptions o;
    o.threads = 1;
    o.seeded = true;
    o.seed = 5;
    auto params = liquid();
    Cell cell(params, o);
    Dynamics d = dynamics_of(s, 9);
    for (unsigned int i = 0; i < 30; ++i)
        d.step(cell, i, 0.005, false);

    // what a checkpoint carries: the cell's state and the method's
    Cell restored(params, cell.save_state(), 1);
    Dynamics again = dynamics_of(s, 9);
    restore_method_state(again.get_method(), method_state(d.get_method()));
    if (s.barostat)
        again.get_barostat()->work = d.get_barostat()->work;
    for (unsigned int i = 30; i < 60; ++i) {
        d.step(cell, i, 0.005, false);
        again.step(restored, i, 0.005, false);
    }
    EXPECT_EQ(restored.get_positions(), cell.get_positions());
    EXPECT_EQ(restored.get_velocities(), cell.get_velocities());
    EXPECT_EQ(again.conserved(restored), d.conserved(cell));
    if (s.barostat) {
        const vec3 box = cell.get_dims();
        EXPECT_NE(box, vec3(6.8399, 6.8399, 6.8399));  // the box did move
        // the axes coupled together keep equal edges, the others move apart
        EXPECT_EQ(box.x() == box.y(), s.couple != CRescale::Couple::none);
        EXPECT_EQ(box.y() == box.z(), s.couple == CRescale::Couple::xyz);
    }
}

TEST_P(Methods, PositionsDoNotDependOnTheTeamSize)
{
    const MethodCase& s = GetParam();
    EXPECT_EQ(run(s, 3, 1, 40), run(s, 3, 2, 40));
}

INSTANTIATE_TEST_SUITE_P(All, Methods, testing::ValuesIn(setups),
                         [](const testing::TestParamInfo<MethodCase>& i) { return std::string(i.param.name); });

TEST(Methods, TheDefaultIsCellIntegrateBitForBit)
{
    Cell a(liquid()), b(liquid());
    CellTestAccess::velocities(b) = CellTestAccess::velocities(a);  // both from the process-wide sequence
    CellTestAccess::place(b, CellTestAccess::positions(a));
    Dynamics d;
    d.configure(Berendsen(), std::nullopt, std::nullopt);
    for (unsigned int i = 0; i < 40; ++i) {
        a.integrate(i, 0.005, false);
        d.step(b, i, 0.005, false);
    }
    EXPECT_EQ(a.get_positions(), b.get_positions());
    EXPECT_EQ(a.get_etot(), b.get_etot());
}

TEST(Methods, SeedsGiveDifferentNoise)
{
    const MethodCase& langevin = setups[0];
    EXPECT_NE(run(langevin, 3, 1, 5), run(langevin, 4, 1, 5));
}

TEST(Noise, ThePartitionOfTheParticlesChangesNothing)
{
    std::vector<double> whole(3 * 300), parts(3 * 300);
    noise::normal_triples(11, 7, noise::Purpose::langevin, 0, 300, whole.data());
    noise::normal_triples(11, 7, noise::Purpose::langevin, 0, 129, parts.data());
    noise::normal_triples(11, 7, noise::Purpose::langevin, 129, 300, parts.data());
    EXPECT_EQ(whole, parts);
}

TEST(Noise, BoxMullerMatchesTheLibraryFunctions)
{
    // the polynomial log, sin and cos against the library's, on words spread over
    // their range; quadrant q turns the angle t by (1, 0, 3, 2)[q] quarter turns
    for (std::uint32_t k = 0; k < 4096; ++k) {
        const std::uint32_t r = k * 1048573u, a = k * 2654435761u;
        double x, y;
        noise::box_muller(r, a, x, y);
        const double rho = std::sqrt(-2.0 * std::log((r + 0.5) * 0x1p-32));
        const double t = 1.5707963267948966 * ((a & 0x3fffffffU) * 0x1p-30 - 0.5);
        const int turns[4] = {1, 0, 3, 2};
        const double phi = t + 1.5707963267948966 * turns[a >> 30];
        EXPECT_NEAR(x, rho * std::sin(phi), 1e-13 * (1 + rho));
        EXPECT_NEAR(y, rho * std::cos(phi), 1e-13 * (1 + rho));
    }
}

TEST(Noise, StreamsOfTwoSeedsAreUncorrelated)
{
    constexpr std::size_t n = 20000;
    std::vector<double> a(3 * n), b(3 * n);
    noise::normal_triples(1, 0, noise::Purpose::langevin, 0, n, a.data());
    noise::normal_triples(2, 0, noise::Purpose::langevin, 0, n, b.data());
    double mean = 0, var = 0, cross = 0, shifted = 0;
    for (std::size_t i = 0; i < 3 * n; ++i) {
        mean += a[i];
        var += a[i] * a[i];
        cross += a[i] * b[i];
        shifted += i + 1 < 3 * n ? a[i + 1] * b[i] : 0.0;  // not one stream shifted by a draw
    }
    const double m = 3.0 * n;
    EXPECT_NEAR(mean / m, 0.0, 0.02);
    EXPECT_NEAR(var / m, 1.0, 0.02);
    EXPECT_NEAR(cross / m, 0.0, 0.02);
    EXPECT_NEAR(shifted / m, 0.0, 0.02);
}

TEST(MethodChoice, RefusesWhatCannotRun)
{
    auto message = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("nothing thrown");
    };
    Dynamics d;
    EXPECT_NE(message([&] { d.configure(Langevin(1.0), std::nullopt, std::nullopt); }).find("seed = None"),
              std::string::npos);
    EXPECT_NE(message([&] { d.configure(NVE(), CRescale(1.0, 1.0), 1); }).find("needs a thermostat"),
              std::string::npos);
    EXPECT_NE(message([&] { Langevin(0.0); }).find("friction = 0 "), std::string::npos);
    EXPECT_NE(message([&] { Bussi(-1.0); }).find("tau = -1 "), std::string::npos);
    EXPECT_NE(message([&] { CRescale(1.0, 1.0, 0.0); }).find("compressibility = 0 "), std::string::npos);
    EXPECT_NE(message([&] { make_method("nose_hoover", {{"tau", 1.0}, {"chain", 0.5}}); }).find("chain = 0.5 "),
              std::string::npos);
    EXPECT_NE(message([&] { make_method("bussi", {{"friction", 1.0}}); }).find("not a parameter of bussi"),
              std::string::npos);
}

}  // namespace
