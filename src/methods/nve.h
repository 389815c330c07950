// Constant energy: velocity Verlet without a thermostat.
//
//   1. v += F dt / 2m
//   2. x += v dt
//   3. F at the new positions; wrap; list
//   4. v += F dt / 2m
// Time-reversible and symplectic: the total energy fluctuates around a constant
// with an amplitude of order dt^2 and no drift beyond rounding.
#pragma once

#include "verlet.h"

class NVE : public VerletHooks {
public:
    // Any time step integrates: nothing to refuse before the step.
    void check(const StepStages&, const StepContext&) const {}
    void step(StepStages& stages, const StepContext& ctx) { velocity_verlet(*this, stages, ctx); }
    // The conserved quantity beyond etot: none.
    double extra_energy(const StepContext&) const { return 0.0; }

    static const MethodKind& kind()
    {
        static const MethodKind k{"nve", "velocity Verlet, constant energy", {}, false};
        return k;
    }
    static NVE make(const Numbers&) { return NVE(); }
    Numbers parameters() const { return {}; }
    std::vector<double> state() const { return {}; }
    void restore(const std::vector<double>&) {}
};
