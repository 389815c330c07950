// Nose-Hoover chain (Martyna, Klein & Tuckerman, J. Chem. Phys. 97, 2635
// (1992)): the particles' kinetic energy is coupled to thermostat variable 1,
// which is coupled to variable 2, and so on, M variables in all:
//
//   dv/dt      = F/m - p1 v                 (p_j: the thermostat velocities)
//   dp1/dt     = (2K - Nf kT)/Q1 - p2 p1
//   dp_j/dt    = (Q_{j-1} p_{j-1}^2 - kT)/Q_j - p_{j+1} p_j,   dp_M/dt = (Q_{M-1} p_{M-1}^2 - kT)/Q_M
//   dxi_j/dt   = p_j
//
// with masses Q1 = Nf kT tau^2 and Q_j = kT tau^2, so that tau is the period of
// the thermostat's oscillation. The step is the Trotter splitting of Martyna,
// Tuckerman, Tobias & Klein (Mol. Phys. 87, 1117 (1996)):
//
//   1. chain over dt/2 (ends in v *= exp(-p1 dt/2))
//   2. velocity Verlet
//   3. chain over dt/2
//
// The conserved quantity is etot + sum_j Q_j p_j^2 / 2 + Nf kT xi_1 + kT sum_{j>1} xi_j.
#pragma once

#include <vector>

#include "verlet.h"

class NoseHoover : public VerletHooks {
public:
    // tau: period of the thermostat, positive; chain: M, at least 1.
    NoseHoover(double tau, int chain);

    // std::invalid_argument when the chain cannot integrate: tau shorter than the
    // time step (the chain's oscillation, about 4.4 tau long, unresolved), or its
    // masses not finite and positive (kT, the degrees of freedom, tau^2 overflowing).
    void check(const StepStages& stages, const StepContext& ctx) const;
    void step(StepStages& stages, const StepContext& ctx) { velocity_verlet(*this, stages, ctx); }
    void before_first_kick(StepStages& stages, const StepContext& ctx) { half_chain(stages, ctx); }
    void after_second_kick(StepStages& stages, const StepContext& ctx) { half_chain(stages, ctx); }
    double extra_energy(const StepContext& ctx) const;

    // The registry's entry and the method from completed parameters (registry.h);
    // its parameters, and its state as checkpoints carry it.
    static const MethodKind& kind();
    static NoseHoover make(const Numbers& p);
    Numbers parameters() const;
    std::vector<double> state() const;
    // A state of state(), of its size (checked by the registry).
    void restore(const std::vector<double>& s);

    double tau;               // thermostat period
    int chain;                // number of thermostat variables M
    std::vector<double> xi;   // M thermostat positions
    std::vector<double> p;    // M thermostat velocities, 1/time

private:
    void half_chain(StepStages& stages, const StepContext& ctx);
    std::vector<double> masses(const StepContext& ctx) const;
    // std::range_error when the chain's state or energy is no longer finite.
    void check_finite(const StepContext& ctx, const std::vector<double>& q, double ekin) const;
};
