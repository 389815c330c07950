#include "berendsen.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "settings.h"

namespace {

void check_tau(double tau)
{
    if (!(std::isfinite(tau) && tau > 0.0)) {
        std::ostringstream msg;
        msg << "tau = " << tau << " is not allowed: the relaxation time must be positive";
        throw std::invalid_argument(msg.str());
    }
}

}  // namespace

Berendsen::Berendsen(std::optional<double> tau_) : tau(tau_)
{
    if (tau)
        check_tau(*tau);
}

void Berendsen::step(Cell& cell, const StepContext& ctx)
{
    const double dt = ctx.dt;
    const Cell::StepStart start = cell.begin_step();
    cell.update_velocities_half_dt(dt);
    const double ekin = cell.get_ekin();
    const double time = tau ? *tau : settings::thermostat_time(cell.parameters(), dt);
    if (dt > time) {
        std::ostringstream msg;
        msg << "tau = " << time << " is not allowed with stepsize = " << dt
            << ": the Berendsen relaxation time must not be shorter than the time step";
        throw std::invalid_argument(msg.str());
    }
    const double lambda = cell.apply_berendsen_thermostat(dt, time);
    work += ekin * (lambda * lambda - 1.0);
    cell.update_positions(dt);
    ctx.after_drift(cell);
    cell.update_forces();
    cell.update_velocities_half_dt(dt);
    cell.end_step(ctx.step, ctx.verbose, start);
}
