// A run: the settings read before the box exists, and the step loop that every
// driver (simulate, vorlan-run, vorlan._core) goes through.
//
// The three run settings are read first, in the order stepsize, nrsteps,
// nr_particles, so that they are the first keys whose absence is reported; the
// Cell reads its own keys afterwards.
//
// Run owns the policy of a run, whatever a step does inside the Cell: steps are
// numbered on from one call of advance() to the next (step i is the Cell's step
// i), the energies after each step go to the log, an observer is told about the
// start, every K steps done and the last step, and it may stop the run between
// two whole steps (an interrupt). The time step is read from the settings at the
// start of advance() and again after each observer call, so that a setting
// changed by an observer takes effect at the next step.
#pragma once

#include <memory>
#include <vector>

#include "cell.h"
#include "methods/dynamics.h"
#include "parameters.h"

struct RunSettings {
    double stepsize;            // time step dt
    unsigned int nrsteps;       // steps of a whole run
    unsigned int nr_particles;  // N
};

// stepsize, nrsteps, nr_particles, in that order, each through its setting rule.
RunSettings read_run_settings(const Parameters&);

// What a driver does between steps; every hook is called between two whole
// steps, with the number of steps done so far. The defaults do nothing.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    // Before the first step of an advance() call (the first frame of a trajectory).
    virtual void start(unsigned int /*steps_done*/) {}
    // After each step that makes the steps done a multiple of the run's `every`.
    virtual void every(unsigned int /*steps_done*/) {}
    // After the last step of an advance() call that did at least one step (after
    // every() when that step is a multiple of K): the state the run ends with,
    // also when it was stopped. `seen`: every() was just called for it.
    virtual void last(unsigned int /*steps_done*/, bool /*seen*/) {}
    // After every step; false stops the run after this step (Ctrl-C).
    virtual bool go_on(unsigned int /*steps_done*/) { return true; }
};

// The energies after each step done, one entry per step in step order.
struct EnergyLog {
    std::vector<double> ekin;  // kinetic energy
    std::vector<double> epot;  // potential energy
    std::vector<double> etot;  // total energy
    // With an integration method (set_dynamics), also one entry per step, or none
    // at all (a run without one):
    std::vector<double> conserved;  // the method's conserved quantity
    std::vector<double> volume;     // box volume
    std::vector<double> pressure;   // (2 ekin + W) / 3V as the barostat measured it; NaN: no barostat at that step
};

class Run {
public:
    // A run of `cell` from step `steps_done` on. every: steps between the
    // observer's every() calls, 0 for none. keep_log: record the energies
    // (24 bytes a step). verbose: the Cell's progress line every 1000 steps.
    Run(Cell& cell, std::shared_ptr<Parameters> params, unsigned int every, bool keep_log, bool verbose,
        unsigned int steps_done = 0);

    // Advances at most `count` steps and returns the steps done by this call;
    // fewer when the observer stopped the run. Throws std::overflow_error when
    // the step counter would pass its 32-bit range. An exception from a step or
    // an observer propagates; the steps before it stay done and logged.
    unsigned int advance(unsigned int count, RunObserver& observer);

    unsigned int steps_done() const { return step; }
    // True when the latest advance() was stopped by the observer.
    bool stopped() const { return was_stopped; }
    unsigned int every_steps() const { return every; }
    void set_every(unsigned int k) { every = k; }

    // The integration method of the steps to come; null: Cell::integrate.
    void set_dynamics(Dynamics* d) { dynamics = d; }

    const EnergyLog& log() const { return energies; }
    // Replaces the log (a run restored from a checkpoint); one finite entry per step
    // done, else std::invalid_argument.
    void restore_log(EnergyLog log);

private:
    void record();  // the log entries of the step just done

    Cell& cell;                          // the box the steps advance
    std::shared_ptr<Parameters> params;  // the settings, read for the time step
    unsigned int every;                  // steps between every() calls; 0: never
    bool keep_log;                       // record the energies after each step
    bool verbose;                        // the Cell's progress line every 1000 steps
    unsigned int step;                   // steps done; the next step has this number
    bool was_stopped = false;            // the latest advance() ended at the observer's request
    EnergyLog energies;                  // the energies after each step done (when kept)
    Dynamics* dynamics = nullptr;        // the integration method; null: Cell::integrate
};
