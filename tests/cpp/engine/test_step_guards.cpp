// What a step refuses, and what the refusal leaves: a method or barostat that
// cannot integrate is refused before the state changes; a box that runs away, or
// a barostat box against the largest pair cut-off of a mixture; the wrap's image
// counters at their limit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "methods/dynamics.h"
#include "support.h"

namespace {

std::shared_ptr<Parameters> liquid(const std::string& extra = "")
{
    return lj_params(extra + "nr_particles = 256\ncell_length = 6.8399\n");
}

void expect_same_state(const CellState& a, const CellState& b)
{
    auto flat = [](const std::vector<vec3>& v) { return flatten(v); };
    EXPECT_EQ(flat(a.positions), flat(b.positions));
    EXPECT_EQ(flat(a.velocities), flat(b.velocities));
    EXPECT_EQ(flat(a.forces), flat(b.forces));
    EXPECT_EQ(flat(a.dij_list), flat(b.dij_list));
    EXPECT_EQ(a.neighbor_list, b.neighbor_list);
    EXPECT_EQ(a.images, b.images);
    EXPECT_EQ(a.box, b.box);
    EXPECT_EQ(a.list_box, b.list_box);
    EXPECT_EQ(a.ekin, b.ekin);
    EXPECT_EQ(a.epot, b.epot);
    EXPECT_EQ(a.virial, b.virial);
}

struct Refusal {
    const char* name;
    std::string settings;                // placed before the liquid's
    std::string method;
    Numbers parameters;
    std::optional<Numbers> barostat;
    bool arithmetic;                     // std::range_error, else std::invalid_argument
    const char* names;                   // what the message names
};

const Refusal refusals[] = {
    {"BerendsenTauBelowTheStep", "", "berendsen", {{"tau", 0.001}}, std::nullopt, false, "tau = 0.001 "},
    {"BerendsenSettingTauBelowTheStep", "tau = 0.001\n", "berendsen", {}, std::nullopt, false, "tau = 0.001"},
    {"NoseHooverTauBelowTheStep", "", "nose_hoover", {{"tau", 0.001}}, std::nullopt, false, "tau = 0.001 "},
    {"NoseHooverMassOverflowing", "", "nose_hoover", {{"tau", 1e200}}, std::nullopt, false, "tau = 1e+200 "},
    {"BarostatTauBelowTheStep", "", "bussi", {{"tau", 0.1}}, Numbers{{"pressure", 1.0}, {"tau", 0.001}}, false,
     "tau = 0.001 "},
    {"BarostatBoxBelowTwiceTheCutoff", "cell_length = 5.2\nnr_particles = 100\n", "bussi", {{"tau", 0.1}},
     Numbers{{"pressure", 500.0}, {"tau", 0.1}, {"compressibility", 1.0}}, true, "twice the cutoff"},
    {"BarostatBoxExplodingInOneStep", "", "bussi", {{"tau", 0.2}}, Numbers{{"pressure", -1e6}, {"tau", 2.0}}, true,
     "to (inf, inf, inf)"},
    {"BarostatBoxRunningAway", "", "langevin", {{"friction", 1.0}},
     Numbers{{"pressure", -50.0}, {"tau", 0.5}, {"compressibility", 1.0}}, true, "beyond 1e+06 times"},
};

class Refused : public testing::TestWithParam<Refusal> {};

// Steps until the refusal; the refused step must leave the cell and the barostat
// as they were, name the step as the run counts it (the steps done once it is
// done), and blame the box, not the thermostat, when the box is at fault.
TEST_P(Refused, LeavesTheStateAsItWasAndNamesTheStep)
{
    const Refusal& r = GetParam();
    CellOptions o;
    o.seeded = true;
    o.seed = 3;
    Cell cell(liquid(r.settings), o);
    Dynamics d;
    d.configure(make_method(r.method, r.parameters),
                r.barostat ? std::optional<CRescale>(make_barostat(*r.barostat)) : std::nullopt, 1);
    for (unsigned int step = 0; step < 2000; ++step) {
        const CellState before = cell.save_state();
        const std::optional<CRescale> barostat = d.get_barostat();
        try {
            d.step(cell, step, 0.005, false);
        } catch (const std::exception& e) {
            const std::string what = e.what();
            EXPECT_EQ(dynamic_cast<const std::range_error*>(&e) != nullptr, r.arithmetic) << what;
            EXPECT_EQ(dynamic_cast<const std::invalid_argument*>(&e) != nullptr, !r.arithmetic) << what;
            EXPECT_NE(what.find(r.names), std::string::npos) << what;
            if (r.arithmetic) {
                EXPECT_NE(what.find("at step " + std::to_string(step + 1) + " "), std::string::npos) << what;
                EXPECT_NE(what.find("box"), std::string::npos) << what;
            }
            expect_same_state(before, cell.save_state());
            ASSERT_EQ(barostat.has_value(), d.get_barostat().has_value());
            if (barostat) {
                EXPECT_EQ(barostat->work, d.get_barostat()->work);
                EXPECT_EQ(barostat->compressibility, d.get_barostat()->compressibility);
            }
            return;
        }
    }
    FAIL() << "no step was refused";
}

INSTANTIATE_TEST_SUITE_P(Steps, Refused, testing::ValuesIn(refusals),
                         [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// Two species whose B-B cut-off (3.0) exceeds the setting rcut (1.5).
Species b_b_reaching_further(std::size_t n)
{
    Species s;
    s.types.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        s.types[i] = static_cast<std::int32_t>(i % 3 == 0);
    s.masses = {1.0, 1.0};
    s.epsilon = {1.0, 1.0, 1.0, 1.0};
    s.sigma = {1.0, 1.0, 1.0, 1.0};
    s.rcut = {1.5, 1.5, 1.5, 3.0};
    return s;
}

// Two particles of one type `type`, `apart` along x and not listed; the box
// rescaled by s and each moved `step` towards the other since the build: whether
// the list is then stale.
bool stale_after_rescale(std::int32_t type, double apart, double s, double step)
{
    CellOptions o;
    o.species = b_b_reaching_further(2);
    o.species.types = {type, type};
    o.positions = {vec3(3.0, 5.0, 5.0), vec3(3.0 + apart, 5.0, 5.0)};
    Cell cell(lj_params("rcut = 1.5\n"), o);
    EXPECT_EQ(CellTestAccess::neighbor_list(cell), (std::vector<unsigned int>{2, 3, 0, 1}));  // no pair listed
    StepStages(cell).set_box(s * cell.get_dims());
    std::vector<vec3>& x = CellTestAccess::positions(cell);
    std::vector<vec3>& d = CellTestAccess::dij_list(cell);
    for (int i : {0, 1}) {
        d[i] = vec3(i == 0 ? step : -step, 0.0, 0.0);
        x[i] = s * x[i] + d[i];
    }
    return CellTestAccess::stale(cell);
}

// Two B particles 3.35 apart, beyond the list's reach 3.0 + shell; the box
// shrunk by 0.95 and each moved 0.1 towards the other puts them 2.98 apart,
// within their cut-off: the list must be stale.
TEST(MixtureUnderABarostat, ARescaleBringingAPairWithinTheLargestCutoffMakesTheListStale)
{
    EXPECT_TRUE(stale_after_rescale(1, 3.35, 0.95, 0.1));
}

// Two A particles 1.81 apart, just beyond their own list radius 1.5 + shell (the
// B-B pairs reach 3.0 + shell); the box grown by 1.05 and each moved 0.22 towards
// the other puts them 1.46 apart, within their cut-off: the list must be stale,
// though a bound from the largest cut-off would let it stand.
TEST(MixtureUnderABarostat, AGrownBoxBringingAShortPairWithinItsCutoffMakesTheListStale)
{
    EXPECT_TRUE(stale_after_rescale(0, 1.81, 1.05, 0.22));
}

// The barostat compressing that mixture stops the box at twice the B-B cut-off,
// not at twice the setting, before the step moves anything.
TEST(MixtureUnderABarostat, TheBoxStopsAtTwiceTheLargestPairCutoff)
{
    CellOptions o;
    o.seeded = true;
    o.seed = 4;
    o.species = b_b_reaching_further(216);
    Cell cell(lj_params("nr_particles = 216\ncell_length = 6.5\nrcut = 1.5\n"), o);
    Dynamics d;
    d.configure(Bussi(0.1), CRescale(40.0, 0.05, 0.02), 1);
    try {
        for (unsigned int step = 0; step < 400; ++step)
            d.step(cell, step, 0.005, false);
        FAIL() << "the barostat never brought the edge below twice the largest cut-off";
    } catch (const std::range_error& e) {
        EXPECT_NE(std::string(e.what()).find("largest pair cut-off 3"), std::string::npos) << e.what();
        EXPECT_GE(cell.get_dims().minCoeff(), 6.0);
    }
}

// A counter at the limit: the crossing is refused with the particle and axis
// named, the counter never overflows.
TEST(Wrap, AnImageCounterAtItsLimitIsRefusedNotOverflowed)
{
    for (const std::int32_t sign : {1, -1}) {
        Cell cell(lj_params());
        CellTestAccess::images(cell)[4] = sign * image_limit;  // particle 1, y
        CellTestAccess::positions(cell)[1].y() = sign > 0 ? 10.5 : -0.5;
        try {
            CellTestAccess::wrap(cell);
            FAIL() << "the crossing beyond the limit was counted";
        } catch (const std::range_error& e) {
            EXPECT_NE(std::string(e.what()).find("particle 1 has crossed the box"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("along y"), std::string::npos) << e.what();
        }
        EXPECT_EQ(cell.get_images()[4], sign * image_limit);
    }
}

}  // namespace
