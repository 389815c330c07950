// What one step of an integration method reads besides its StepStages: the step's
// number and size, the settings of this step, the masses, the seed of the random
// numbers and the barostat, if any, which acts between the drift and the force
// evaluation.
#pragma once

#include <cstdint>

#include "step_stages.h"

// `value` when finite and positive; else std::invalid_argument
// "NAME = VALUE is not allowed: the WHAT must be positive".
double positive(const char* name, double value, const char* what);

class CRescale;

struct StepContext {
    unsigned int step;          // number of this step (a key of the random numbers)
    double dt;                  // time step
    bool verbose;               // progress line at multiples of 1000
    double kT;                  // target temperature (the setting kT, read at the start of the step)
    double mass;                // particle mass of one species
    const Species* mixture;     // the mixture, whose masses are per type; null for one species
    double dof;                 // degrees of freedom 3N - 3 (the total momentum is conserved)
    std::uint64_t seed;         // key of the random numbers (checked present by Dynamics where needed)
    CRescale* barostat;         // null: constant volume

    // The step as error messages count it: the steps done once it is done (a run's
    // step counter after it).
    unsigned long long count() const { return step + 1ull; }
    // The barostat's move, right after the drift (c_rescale.cpp).
    void after_drift(StepStages& stages) const;
};
