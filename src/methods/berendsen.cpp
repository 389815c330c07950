#include "berendsen.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "settings.h"

Berendsen::Berendsen(std::optional<double> tau_) : tau(tau_)
{
    if (tau)
        positive("tau", *tau, "relaxation time");
}

double Berendsen::relaxation_time(const StepStages& stages, double dt) const
{
    const double time = tau ? *tau : settings::thermostat_time(stages.parameters(), dt);
    if (dt > time) {
        std::ostringstream msg;
        msg << "tau = " << time << " is not allowed with stepsize = " << dt
            << ": the Berendsen relaxation time must not be shorter than the time step";
        throw std::invalid_argument(msg.str());
    }
    return time;
}

void Berendsen::step(StepStages& stages, const StepContext& ctx)
{
    step_time = relaxation_time(stages, ctx.dt);
    velocity_verlet(*this, stages, ctx);
}

void Berendsen::after_first_kick(StepStages& stages, const StepContext& ctx)
{
    const double ekin = stages.ekin();
    const double lambda = stages.berendsen(ctx.dt, step_time);
    work += ekin * (lambda * lambda - 1.0);
}

const MethodKind& Berendsen::kind()
{
    static const MethodKind k{"berendsen",
                              "velocity Verlet, half-step velocities scaled towards kT (weak coupling)",
                              {{"tau", ParameterRule::positive, "relaxation time (none: the setting tau)",
                                std::nullopt, false, {}}},
                              false};
    return k;
}

Berendsen Berendsen::make(const Numbers& p)
{
    const auto tau = p.find("tau");
    return Berendsen(tau == p.end() ? std::nullopt : std::optional<double>(tau->second));
}

Numbers Berendsen::parameters() const { return tau ? Numbers{{"tau", *tau}} : Numbers{}; }
// the work so far
std::vector<double> Berendsen::state() const { return {work}; }
void Berendsen::restore(const std::vector<double>& s) { work = s[0]; }
