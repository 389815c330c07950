#include "bussi.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "noise.h"

Bussi::Bussi(double tau_) : tau(positive("tau", tau_, "relaxation time")) {}

void Bussi::after_second_kick(StepStages& stages, const StepContext& ctx)
{
    const double dt = ctx.dt;
    const double K = stages.ekin(), nf = ctx.dof;
    if (nf >= 2.0) {
        if (!(K > 0.0)) {
            std::ostringstream msg;
            msg << "the kinetic energy is " << K << " at step " << ctx.count()
                << ": the Bussi thermostat scales velocities and cannot set a system at rest in motion "
                   "(give start velocities)";
            throw std::range_error(msg.str());
        }
        const double K0 = 0.5 * nf * ctx.kT;
        const double c = std::exp(-dt / tau);
        noise::StepStream draws(ctx.seed, ctx.step, noise::Purpose::bussi);
        const double r1 = draws.normal();
        const double s = 2.0 * draws.gamma(0.5 * (nf - 1.0));
        const double K_new =
            K + (1.0 - c) * (K0 * (r1 * r1 + s) / nf - K) + 2.0 * r1 * std::sqrt(c * (1.0 - c) * K * K0 / nf);
        stages.scale_velocities(std::sqrt(K_new / K));
        work += stages.ekin() - K;
    }
}

const MethodKind& Bussi::kind()
{
    static const MethodKind k{"bussi", "velocity Verlet, then a canonical rescaling of the kinetic energy",
                              {{"tau", ParameterRule::positive, "relaxation time of the kinetic energy", std::nullopt, true, {}}},
                              true};
    return k;
}

Bussi Bussi::make(const Numbers& p) { return Bussi(p.at("tau")); }
Numbers Bussi::parameters() const { return {{"tau", tau}}; }
// the work so far
std::vector<double> Bussi::state() const { return {work}; }
void Bussi::restore(const std::vector<double>& s) { work = s[0]; }
