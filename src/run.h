// A run: the settings read before the box exists, and the step loop.
//
// The three run settings are read first, in the order stepsize, nrsteps,
// nr_particles, so that they are the first keys whose absence is reported; the
// Cell reads its own keys afterwards. Step i of a run is integrate(i, stepsize,
// verbose); a driver that wants to look at the box between steps (energies, movie
// frames, an interrupt) does so in the observer.
#pragma once

#include "cell.h"
#include "methods/dynamics.h"
#include "parameters.h"

struct RunSettings {
    double stepsize;
    unsigned int nrsteps;
    unsigned int nr_particles;
};

// stepsize, nrsteps, nr_particles, in that order, each through its setting rule.
RunSettings read_run_settings(const Parameters&);

// Advances `count` steps numbered first, first+1, ...; after each step calls
// observer(step_number_done), which returns false to stop after that step.
// Returns the number of steps done. An exception from a step or from the
// observer propagates; the steps before it stay done.
template <typename Step, typename Observer>
unsigned int run_loop(Step&& take_step, unsigned int first, unsigned int count, Observer&& observer)
{
    unsigned int done = 0;
    while (done < count) {
        const unsigned int step = first + done;
        take_step(step);
        ++done;
        if (!observer(step))
            break;
    }
    return done;
}

template <typename Observer>
unsigned int run_steps(Cell& cell, unsigned int first, unsigned int count, double dt, bool verbose,
                       Observer&& observer)
{
    return run_loop([&](unsigned int step) { cell.integrate(step, dt, verbose); }, first, count, observer);
}

// The same with an integration method: step i is dynamics.step(cell, i, ...).
template <typename Observer>
unsigned int run_steps(Dynamics& dynamics, Cell& cell, unsigned int first, unsigned int count, double dt,
                       bool verbose, Observer&& observer)
{
    return run_loop([&](unsigned int step) { dynamics.step(cell, step, dt, verbose); }, first, count, observer);
}
