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
#include <vector>

#include "verlet.h"

class Berendsen : public VerletHooks {
public:
    // tau: relaxation time; none: the setting tau, read every step.
    explicit Berendsen(std::optional<double> tau = std::nullopt);

    // std::invalid_argument when the relaxation time is shorter than the time step.
    void check(const StepStages& stages, const StepContext& ctx) const { relaxation_time(stages, ctx.dt); }
    void step(StepStages& stages, const StepContext& ctx);
    // The half-step velocities scaled towards ekin0, the energy added kept as work.
    void after_first_kick(StepStages& stages, const StepContext& ctx);
    // The conserved quantity beyond etot: minus the energy the scaling added.
    double extra_energy(const StepContext&) const { return -work; }

    // The registry's entry and the method from completed parameters (registry.h);
    // its parameters, and its state as checkpoints carry it.
    static const MethodKind& kind();
    static Berendsen make(const Numbers& p);
    Numbers parameters() const;
    std::vector<double> state() const;
    // A state of state(), of its size (checked by the registry).
    void restore(const std::vector<double>& s);

    std::optional<double> tau;  // relaxation time; none: the setting tau
    double work = 0.0;          // kinetic energy added by the scaling so far

private:
    // tau, or the setting tau, checked against the time step dt.
    double relaxation_time(const StepStages& stages, double dt) const;

    double step_time = 0.0;     // the relaxation time of the step in progress
};
