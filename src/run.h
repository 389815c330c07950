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
// N of a box that runs step by step, read as simulate reads it (stepsize,
// nrsteps, nr_particles); nrsteps only when the set has it, since such a box is
// told its step counts by each call.
unsigned int read_particle_count(const Parameters&);
// std::invalid_argument naming the array when given start positions or
// velocities do not hold N rows.
void check_start_rows(const CellOptions&, unsigned int n);

// What a driver does between steps: an observer is any type with the four hooks
// below (the run loop is a template over it), each called between two whole
// steps with the number of steps done so far. NoObserver has them all doing
// nothing; an observer that needs only some of them writes the others as the
// same one-line no-ops.
//   start(steps_done)        before the first step of an advance() call (the
//                            first frame of a trajectory)
//   every(steps_done)        after each step that makes the steps done a multiple
//                            of the run's `every`
//   last(steps_done, seen)   after the last step of an advance() call that did at
//                            least one step (after every() when that step is a
//                            multiple of K): the state the run ends with, also
//                            when it was stopped; `seen`: every() was just called
//   go_on(steps_done)        after every step; false stops the run after this
//                            step (Ctrl-C)
struct NoObserver {
    void start(unsigned int /*steps_done*/) {}
    void every(unsigned int /*steps_done*/) {}
    void last(unsigned int /*steps_done*/, bool /*seen*/) {}
    bool go_on(unsigned int /*steps_done*/) { return true; }
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
    template <typename Observer>
    unsigned int advance(unsigned int count, Observer& observer);

    unsigned int steps_done() const { return step; }
    // A run that takes over the clock of an earlier one (a start from a frame of
    // its trajectory): `steps` counted as done, the log starting after them.
    // std::logic_error once this run has stepped.
    void start_at(unsigned int steps);
    // Steps done before the log's first entry: entry k is the energies after step
    // log_start() + k + 1.
    unsigned int log_start() const { return first_logged; }
    // True when the latest advance() was stopped by the observer.
    bool stopped() const { return was_stopped; }
    unsigned int every_steps() const { return every; }
    void set_every(unsigned int k) { every = k; }
    // The per-particle terms and the tensor asked for after every k-th step (the
    // steps whose end an observer reads them at) and after the last step of each
    // advance(): the force loop gives them on those steps only; 0: on no step
    // beyond what the Cell asks for itself.
    void set_terms_every(unsigned int k) { terms_every = k; }

    // The integration method of the steps to come; null: Cell::integrate.
    void set_dynamics(Dynamics* d) { dynamics = d; }

    const EnergyLog& log() const { return energies; }
    // Replaces the log (a run restored from a checkpoint); one finite entry per step
    // done after `log_start`, else std::invalid_argument.
    void restore_log(EnergyLog log, unsigned int log_start = 0);

private:
    // The start of advance(): the counter guarded, the log grown for `count` more steps.
    void begin(unsigned int count);
    double time_step() const;  // the setting stepsize, read now
    void one_step(double dt);  // the next step, counted and logged
    void record();             // the log entries of the step just done

    Cell& cell;                          // the box the steps advance
    std::shared_ptr<Parameters> params;  // the settings, read for the time step
    unsigned int every;                  // steps between every() calls; 0: never
    unsigned int terms_every = 0;        // steps between those that give the pair terms; 0: none
    bool keep_log;                       // record the energies after each step
    bool verbose;                        // the Cell's progress line every 1000 steps
    unsigned int step;                   // steps done; the next step has this number
    unsigned int first_logged = 0;       // steps done before the log's first entry
    bool was_stopped = false;            // the latest advance() ended at the observer's request
    EnergyLog energies;                  // the energies after each step done (when kept)
    Dynamics* dynamics = nullptr;        // the integration method; null: Cell::integrate
};

template <typename Observer>
unsigned int Run::advance(unsigned int count, Observer& observer)
{
    begin(count);
    observer.start(step);
    double dt = time_step();
    unsigned int done = 0;
    bool seen = false;  // every() saw the latest step
    // the pair terms of the steps an observer reads them after, from those steps'
    // own force evaluation (the forces are the same bits with or without them)
    const bool terms_always = cell.pair_terms();
    struct Restore {
        Cell& cell;
        bool on;
        ~Restore() { cell.set_pair_terms(on); }
    } restore{cell, terms_always};
    while (done < count) {
        if (terms_every != 0 && !terms_always)
            cell.set_pair_terms((step + 1) % terms_every == 0 || done + 1 == count);
        one_step(dt);
        ++done;
        seen = every != 0 && step % every == 0;
        if (seen) {
            observer.every(step);
            dt = time_step();
        }
        if (!observer.go_on(step)) {
            was_stopped = true;
            break;
        }
    }
    if (done > 0)
        observer.last(step, seen);
    return done;
}
