// How many threads the parallel loops of a time step use.
//
// Every step forks and joins about eight thread teams, each ending in a barrier
// at which the whole team waits for its slowest member. On a quiet machine a
// team of n threads is nearly n times faster than one thread. On a machine whose
// cores are busy with other processes a member is often descheduled, the others
// wait a scheduler time slice at every barrier, and two threads run several
// times slower than one. So the team shrinks to one thread while the cores are
// not there for it, and grows back when they are.
//
// The governor reads the wall time and the process's CPU time of every step and
// judges them in windows of `judge_after` seconds. CPU time over wall time is the number of
// cores the process had: about n for a team of n on free cores (a waiting member
// spins, which counts), about one when each member gets only half a core. A full
// team that had less than `share` of its n cores drops to one thread. On one
// thread the governor tries the full team again (one window, a probe) when this
// thread had a core to itself: `window` steps of the full team, kept only if they
// were clearly faster than one thread; a probe ends as soon as it cannot win, and
// one that fails doubles the wait before the next. On free cores no step is ever spent probing.
//
// Only the team size changes: positions, velocities and the kinetic energy do
// not depend on it (each particle is summed by one thread, ekin in particle
// order); the potential energy of a team of several threads may differ in its
// last bits, as it always could.
#pragma once

#include <algorithm>

class TeamGovernor {
public:
    static constexpr double judge_after = 0.05; // seconds of steps judged together
    static constexpr int window = 8;           // steps of a probe
    static constexpr double share = 0.7;       // a team needs this share of its cores
    static constexpr double margin = 0.85;     // a probe must be this much faster to win
    static constexpr int first_wait = 256;     // steps on one thread before a probe
    static constexpr int max_wait = 4096;      // longest wait between probes

    // Start over with `n` threads at most.
    void reset(int n)
    {
        *this = TeamGovernor();
        most = std::max(1, n);
        size = most;
    }

    // The team size asked for, and the one for the next step.
    int limit() const { return most; }
    int current() const { return probing ? most : size; }

    // Records the wall time and the process CPU time of a step run with current()
    // threads, in seconds.
    void record(double wall, double cpu)
    {
        if (most == 1)
            return;
        wall_sum += wall;
        cpu_sum += cpu;
        ++steps;
        if (probing) {
            // a probe that can no longer beat one thread ends at once: under load a
            // single step of the full team may cost as much as ten on one thread
            const bool lost = wall_sum >= margin * one_mean * window;
            if (!lost && steps < window)
                return;
            probing = false;
            if (!lost && wall_sum / steps < margin * one_mean) {
                size = most;
                wait = first_wait;
            } else {
                wait = std::min(2 * wait, max_wait);
            }
            waited = 0;
            clear();
            return;
        }
        // The CPU time of the other threads is brought up to date only at scheduler
        // ticks: a window must span many of them for the ratio to mean anything.
        if (wall_sum < judge_after)
            return;
        const double had = cores(), mean = wall_sum / steps;
        waited += steps;
        clear();
        if (size == most) {
            if (had < share * most) {
                size = 1;
                waited = 0;
            }
        } else {
            one_mean = mean;
            probing = waited >= wait && had > 0.9;
        }
    }

private:
    int most = 1;             // the team size asked for
    int size = 1;             // the size in use outside probes: most or 1
    bool probing = false;     // the current window tries the full team
    int wait = first_wait;    // steps on one thread before the next probe
    int waited = 0;
    int steps = 0;            // steps of the current window so far
    double wall_sum = 0.0;
    double cpu_sum = 0.0;
    double one_mean = 0.0;    // mean step time of the last window on one thread

    // Cores the process had during the window: CPU time over wall time.
    double cores() const { return wall_sum > 0.0 ? cpu_sum / wall_sum : static_cast<double>(current()); }
    void clear()
    {
        wall_sum = cpu_sum = 0.0;
        steps = 0;
    }
};
