// Canonical sampling through velocity rescaling (Bussi, Donadio & Parrinello,
// J. Chem. Phys. 126, 014101 (2007)): velocity Verlet, then all velocities
// scaled by one factor alpha = sqrt(K' / K), where K' is drawn from the exact
// solution over dt of the stochastic equation
//
//   dK = (K0 - K) dt / tau + 2 sqrt(K K0 / (Nf tau)) dW,   K0 = Nf kT / 2,
//
// whose stationary distribution is the canonical one, Nf = 3N - 3:
//
//   K' = K + (1 - c)(K0 (R1^2 + S) / Nf - K) + 2 R1 sqrt(c (1 - c) K K0 / Nf),
//
// c = exp(-dt / tau), R1 standard normal, S chi-squared with Nf - 1 degrees of
// freedom (twice a gamma variate of shape (Nf - 1)/2). One velocity pass per
// step, like Berendsen's; the numbers are drawn from (seed, step).
#pragma once

#include <vector>

#include "verlet.h"

class Bussi : public VerletHooks {
public:
    // tau: relaxation time of the kinetic energy, positive.
    explicit Bussi(double tau);

    // The draw of K' is exact over any dt: every tau > 0 integrates, nothing to refuse.
    void check(const StepStages&, const StepContext&) const {}
    void step(StepStages& stages, const StepContext& ctx) { velocity_verlet(*this, stages, ctx); }
    // All velocities scaled to the drawn K'; the energy added kept as work.
    void after_second_kick(StepStages& stages, const StepContext& ctx);
    // The conserved quantity beyond etot: minus the energy the rescaling added.
    double extra_energy(const StepContext&) const { return -work; }

    // The registry's entry and the method from completed parameters (registry.h);
    // its parameters, and its state as checkpoints carry it.
    static const MethodKind& kind();
    static Bussi make(const Numbers& p);
    Numbers parameters() const;
    std::vector<double> state() const;
    // A state of state(), of its size (checked by the registry).
    void restore(const std::vector<double>& s);

    double tau;          // relaxation time
    double work = 0.0;   // kinetic energy added by the rescaling so far
};
