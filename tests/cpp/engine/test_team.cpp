// The team governor, fed with the step times of a quiet and of a busy machine.
#include <gtest/gtest.h>

#include "team.h"

namespace {

// A machine: the wall time of a step on one thread and on the full team, and the
// cores the process gets with each.
struct Machine {
    double one_wall, team_wall, one_cores, team_cores;
};

// Runs `steps` steps; returns how many of them ran on one thread.
int run(TeamGovernor& g, int steps, const Machine& m)
{
    int on_one = 0;
    for (int s = 0; s < steps; ++s) {
        const bool one = g.current() == 1;
        on_one += one;
        const double wall = one ? m.one_wall : m.team_wall;
        g.record(wall, wall * (one ? m.one_cores : m.team_cores));
    }
    return on_one;
}

// seconds per step of 4096 particles
const Machine quiet{1e-3, 0.55e-3, 1.0, 2.0};
const Machine busy{1.5e-3, 20e-3, 0.67, 1.0};  // two other processes on two cores

}  // namespace

TEST(TeamGovernor, KeepsTheFullTeamOnFreeCoresWithoutProbing)
{
    TeamGovernor g;
    g.reset(2);
    EXPECT_EQ(run(g, 20000, quiet), 0);
}

TEST(TeamGovernor, DropsToOneThreadUnderLoadAndComesBack)
{
    TeamGovernor g;
    g.reset(2);
    // the first window, TeamGovernor::judge_after seconds, to notice
    EXPECT_GE(run(g, 4000, busy), 4000 - static_cast<int>(TeamGovernor::judge_after / busy.team_wall) - 1);
    EXPECT_EQ(g.current(), 1);
    run(g, 4 * TeamGovernor::first_wait, quiet);  // the load went away: back after a probe
    EXPECT_EQ(g.current(), 2);
}

TEST(TeamGovernor, ProbesFailingOnAFullMachineComeLessOften)
{
    // one thread gets a core to itself, but two threads still stall
    const Machine lopsided{1e-3, 5e-3, 1.0, 1.0};
    TeamGovernor g;
    g.reset(2);
    const int steps = 20000;
    const int on_team = steps - run(g, steps, lopsided);
    EXPECT_EQ(g.current(), 1);
    EXPECT_LT(on_team, steps / 100);
}

TEST(TeamGovernor, OneThreadAskedIsOneThreadAlways)
{
    TeamGovernor g;
    g.reset(1);
    EXPECT_EQ(run(g, 1000, quiet), 1000);
}
