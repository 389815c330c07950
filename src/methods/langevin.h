// Langevin dynamics in the BAOAB splitting (Leimkuhler & Matthews, Appl. Math.
// Res. Express 2013, 34 (2013)):
//
//   B  v += F dt / 2m
//   A  x += v dt / 2
//   O  v = c1 v + c2 xi,   c1 = exp(-gamma dt),  c2 = sqrt((1 - c1^2) kT / m)
//   A  x += v dt / 2
//      F at the new positions; wrap; list
//   B  v += F dt / 2m
//
// O is the exact solution of dv = -gamma v dt + sqrt(2 gamma kT / m) dW over dt,
// so the configurations are sampled with an error of order dt^2 only (the
// splitting's strength). The noise xi of particle i at step n is the normal
// triple keyed by (seed, n, i): the same at any thread count. Its mean over the
// particles is subtracted, so that the total momentum stays zero and the
// kinetic energy has the 3N - 3 degrees of freedom of the other methods (O then
// samples the Maxwell distribution on that subspace exactly). In a mixture each
// particle has the c2 of its mass, and the velocity of the centre of mass that
// the noise would give, sum m_i c2_i xi_i / sum m_i, is what is subtracted: the
// projection of the noise onto zero total momentum in the metric of the masses.
#pragma once

#include <cstdint>
#include <vector>

#include "method_kind.h"
#include "step_context.h"

class Langevin {
public:
    // friction gamma in 1/time, positive.
    explicit Langevin(double friction);

    // O is exact over any dt (c1 = exp(-gamma dt) in [0, 1]): every friction integrates.
    void check(const StepStages&, const StepContext&) const {}
    void step(StepStages& stages, const StepContext& ctx);
    // The conserved quantity beyond etot: minus the heat the bath gave.
    double extra_energy(const StepContext&) const { return -heat; }

    // The registry's entry and the method from completed parameters (registry.h);
    // its parameters, and its state as checkpoints carry it.
    static const MethodKind& kind();
    static Langevin make(const Numbers& p);
    Numbers parameters() const;
    std::vector<double> state() const;
    // A state of state(), of its size (checked by the registry).
    void restore(const std::vector<double>& s);

    double friction;                  // gamma, 1/time
    double heat = 0.0;                // kinetic energy the O steps added so far
    std::vector<double> xi;           // 3N noise of the current step (scratch)
    std::vector<double> c2_of_type;   // sqrt((1 - c1^2) kT / m) per type of a mixture (scratch)

private:
    // A O A over all particles; returns the new kinetic energy. One species, or a
    // mixture with the mass of each particle's type.
    double drift_and_noise(StepStages& stages, const StepContext& ctx, double c1);
    double drift_and_noise_mixed(StepStages& stages, const StepContext& ctx, double c1);
};
