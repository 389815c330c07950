// The typed settings layer: one message format per rule, the cross-key rules, and
// check_settings agreeing with what the engine refuses.
#include <gtest/gtest.h>

#include <unordered_map>

#include "settings.h"
#include "support.h"

namespace {

using Map = std::unordered_map<std::string, std::string>;

Map good_set()
{
    return {{"nr_particles", "64"}, {"cell_length", "5"}, {"kT", "1"},    {"mass", "1"},
            {"sigma", "1"},         {"epsilon", "1"},     {"rcut", "2.5"}, {"shell", "0.3"},
            {"tau", "0.5"},         {"stepsize", "0.005"}, {"nrsteps", "5"}};
}

Map with(Map m, const Map& changes)
{
    for (const auto& kv : changes) {
        if (kv.second.empty())
            m.erase(kv.first);
        else
            m[kv.first] = kv.second;
    }
    return m;
}

std::vector<std::string> problem_keys(const Map& m)
{
    std::vector<std::string> keys;
    for (const auto& p : check_settings(Parameters(m)))
        keys.push_back(p.key);
    return keys;
}

struct BadSet {
    Map changes;
    std::string key;      // the key the problem is filed under
    std::string message;  // the start of its message
};

class CheckSettings : public ::testing::TestWithParam<BadSet> {};

TEST_P(CheckSettings, ReportsEachRuleUnderItsKey)
{
    const BadSet& bad = GetParam();
    const auto problems = check_settings(Parameters(with(good_set(), bad.changes)));
    ASSERT_EQ(problems.size(), 1u) << bad.message;
    EXPECT_EQ(problems[0].key, bad.key);
    EXPECT_EQ(problems[0].message.rfind(bad.message, 0), 0u) << problems[0].message;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CheckSettings,
    ::testing::Values(
        BadSet{{{"tau", ""}}, "tau", "Could not find parameter: tau"},
        BadSet{{{"nrsteps", "10.0"}}, "nrsteps", "nrsteps = 10.0 is not allowed: the number of time steps must be"},
        BadSet{{{"nr_particles", "-1"}}, "nr_particles", "nr_particles = -1 is not allowed: the particle count"},
        BadSet{{{"cell_length", "0"}}, "cell_length", "cell_length = 0 is not allowed: the box edge must be positive"},
        BadSet{{{"mass", "0"}}, "mass", "mass = 0 is not allowed: the particle mass must be positive"},
        BadSet{{{"tau", "inf"}}, "tau", "tau = inf is not allowed: the thermostat relaxation time must be finite"},
        BadSet{{{"rcut", "0"}, {"shell", "0"}}, "rcut", "rcut = 0 and shell = 0 are not allowed: the list radius"},
        BadSet{{{"rcut", "2.6"}}, "rcut", "rcut = 2.6 and cell_length = 5 are not allowed: the cutoff"},
        BadSet{{{"stepsize", "0.6"}}, "stepsize", "stepsize = 0.6 and tau = 0.5 are not allowed: the time step"},
        BadSet{{{"cell_length", "1e103"}}, "cell_length", "cell_length = 1e+103 and nr_particles = 64 are not allowed"},
        BadSet{{{"cell_length", "1e-320"}, {"rcut", "0"}}, "cell_length",
               "cell_length = 9.99989e-321 and nr_particles = 64 are not allowed"},
        BadSet{{{"kT", "1e300"}, {"mass", "1e-300"}}, "kT", "kT = 1e+300 and mass = 1e-300 are not allowed"}));

TEST(CheckSettings, PassesASoundSetAndTheLimitsThemselves)
{
    EXPECT_TRUE(problem_keys(good_set()).empty());
    // rcut at half the box, stepsize equal to tau, no particles at all
    EXPECT_TRUE(problem_keys(with(good_set(), {{"rcut", "2.5"}, {"stepsize", "0.5"}, {"nr_particles", "0"}})).empty());
}

TEST(CheckSettings, ListsEveryProblemInReadingOrder)
{
    const auto keys = problem_keys(with(good_set(), {{"stepsize", ""}, {"mass", "0"}, {"tau", ""}, {"rcut", "9"}}));
    EXPECT_EQ(keys, (std::vector<std::string>{"stepsize", "mass", "tau", "rcut"}));
}

TEST(Settings, ARuleOfTheTableIsTheOneTheEngineApplies)
{
    // the same text from check_settings and from a Cell built on the set
    const Map bad = with(good_set(), {{"cell_length", "0.0"}});
    const std::string checked = check_settings(Parameters(bad)).at(0).message;
    try {
        Cell cell(std::make_shared<Parameters>(bad));
        FAIL() << "built";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(checked, e.what());
    }
}

TEST(Settings, ListRadiusReadsRcutThenShell)
{
    const vec3 box(5, 5, 5);
    EXPECT_EQ(settings::list_radius(Parameters(good_set()), box), 2.5 + 0.3);
    try {
        settings::list_radius(Parameters(with(good_set(), {{"rcut", ""}, {"shell", ""}})), box);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not find parameter: rcut");
    }
}

}  // namespace
