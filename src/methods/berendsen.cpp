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

double Berendsen::relaxation_time(const Cell& cell, double dt) const
{
    const double time = tau ? *tau : settings::thermostat_time(cell.parameters(), dt);
    if (dt > time) {
        std::ostringstream msg;
        msg << "tau = " << time << " is not allowed with stepsize = " << dt
            << ": the Berendsen relaxation time must not be shorter than the time step";
        throw std::invalid_argument(msg.str());
    }
    return time;
}

void Berendsen::step(Cell& cell, const StepContext& ctx)
{
    const double dt = ctx.dt;
    const double time = relaxation_time(cell, dt);
    const Cell::StepStart start = cell.begin_step();
    cell.update_velocities_half_dt(dt);
    const double ekin = cell.get_ekin();
    const double lambda = cell.apply_berendsen_thermostat(dt, time);
    work += ekin * (lambda * lambda - 1.0);
    cell.update_positions(dt);
    ctx.after_drift(cell);
    cell.update_forces();
    cell.update_velocities_half_dt(dt);
    cell.end_step(ctx.step, ctx.verbose, start);
}
