// Berendsen's weak coupling (Berendsen et al., J. Chem. Phys. 81, 3684 (1984)):
// velocity Verlet whose half-step velocities are scaled towards the kinetic
// energy ekin0 = (3N - 3)/2 kT,
//
//   lambda = sqrt(1 + (ekin0 / ekin - 1) dt / tau),
//
// so that ekin relaxes to ekin0 with time constant tau. The same step as
// Cell::integrate (the default of every run); it damps the fluctuations of the
// kinetic energy, so it does not sample the canonical ensemble.
#pragma once

#include <optional>

#include "step_context.h"

class Berendsen {
public:
    // tau: relaxation time; none: the setting tau, read every step.
    explicit Berendsen(std::optional<double> tau = std::nullopt);

    // std::invalid_argument when the relaxation time is shorter than the time step.
    void check(const Cell& cell, const StepContext& ctx) const { relaxation_time(cell, ctx.dt); }
    void step(Cell& cell, const StepContext& ctx);
    // The conserved quantity beyond etot: minus the energy the scaling added.
    double extra_energy(const StepContext&) const { return -work; }

    std::optional<double> tau;  // relaxation time; none: the setting tau
    double work = 0.0;          // kinetic energy added by the scaling so far

private:
    // tau, or the setting tau, checked against the time step dt.
    double relaxation_time(const Cell& cell, double dt) const;
};
