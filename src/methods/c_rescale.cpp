#include "c_rescale.h"

#include <cmath>
#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "noise.h"
#include "parallel.h"

namespace {

[[noreturn]] void refuse(const char* name, double value, const char* rule)
{
    std::ostringstream msg;
    msg << name << " = " << value << " is not allowed: " << rule;
    throw std::invalid_argument(msg.str());
}

double volume(const vec3& box) { return box.x() * box.y() * box.z(); }

}  // namespace

CRescale::CRescale(double pressure_, double tau_, std::optional<double> compressibility_)
    : pressure(pressure_), tau(tau_), compressibility(compressibility_)
{
    if (!std::isfinite(pressure))
        refuse("pressure", pressure, "the target pressure must be finite");
    positive("tau", tau, "barostat's relaxation time");
    if (compressibility)
        positive("compressibility", *compressibility, "compressibility");
}

void CRescale::resolve(const Cell& cell, double kT)
{
    // an isotropic scaling would move the walls with the fluid
    if (cell.has_walls())
        throw std::invalid_argument("the barostat scales every axis of the box, and a wall closes one: "
                                    "run a box with walls at constant volume");
    if (compressibility)
        return;
    const double n = static_cast<double>(cell.particles());
    const double beta = volume(cell.get_dims()) / (n * kT);
    if (!(std::isfinite(beta) && beta > 0.0))
        refuse("kT", kT, "the barostat's default compressibility V / (N kT) needs kT > 0 and particles: give compressibility");
    compressibility = beta;
}

void CRescale::measure(const Cell& cell)
{
    const double w = cell.virial();
    // dU/dmu = -W(mu)/mu along the scaling: the trapezoid between the virial before
    // the move and the one after it
    if (pending_mu != 1.0)
        work -= (pending_mu - 1.0) * 0.5 * (virial_start + w / pending_mu);
    pending_mu = 1.0;
    ekin_start = cell.get_ekin();
    virial_start = w;
    have_measure = true;
}

double CRescale::measured_pressure(const Cell& cell) const
{
    return (2.0 * ekin_start + virial_start) / (3.0 * volume(cell.get_dims()));
}

void CRescale::plan(const Cell& cell, const StepContext& ctx)
{
    if (ctx.dt > tau) {
        std::ostringstream msg;
        msg << "tau = " << tau << " is not allowed with stepsize = " << ctx.dt
            << ": the barostat's relaxation time must not be shorter than the time step";
        throw std::invalid_argument(msg.str());
    }
    const double beta = *compressibility;
    const vec3 box = cell.get_dims();
    const double v = volume(box);
    if (!(start_volume > 0.0))
        start_volume = v;
    const double p = measured_pressure(cell);
    const double xi = noise::StepStream(ctx.seed, ctx.step, noise::Purpose::barostat).normal();
    const double deps = -(beta / tau) * (pressure - p) * ctx.dt + std::sqrt(2.0 * ctx.kT * beta * ctx.dt / (v * tau)) * xi;
    const double mu = std::exp(deps / 3.0);
    const vec3 new_box = mu * box;
    const double new_volume = volume(new_box);

    auto refuse_box = [&](const std::string& why) {
        std::ostringstream msg;
        msg << "at step " << ctx.count() << " the barostat would move the box from (" << box.x() << ", " << box.y()
            << ", " << box.z() << ") to (" << new_box.x() << ", " << new_box.y() << ", " << new_box.z() << "): " << why;
        throw std::range_error(msg.str());
    };
    if (!(std::isfinite(new_volume) && new_volume > 0.0)) {
        std::ostringstream why;
        why << "the box would not be finite: the pressure P = " << p << " is so far from the target pressure = "
            << pressure << " that one move overflows; raise the target pressure, or tau";
        refuse_box(why.str());
    }
    if (!(new_volume <= expansion_limit * start_volume)) {
        std::ostringstream why;
        why << "the volume " << new_volume << " is beyond " << expansion_limit
            << " times its volume when the barostat began (" << start_volume << "); the pressure P = " << p
            << " cannot reach the target pressure = " << pressure
            << " (a negative target beyond what the liquid sustains lets it evaporate): raise the target pressure";
        refuse_box(why.str());
    }
    const double rc = cell.cutoff();
    if (rc > 0.5 * new_box.minCoeff()) {
        std::ostringstream why;
        why << "its edge " << new_box.minCoeff() << " would be less than twice the "
            << (cell.mixed() ? "largest pair cut-off " : "cutoff rcut = ") << rc
            << " (the minimum image would miss pairs): simulate more particles, or a lower pressure";
        refuse_box(why.str());
    }
    planned_mu = mu;
}

void CRescale::rescale(Cell& cell, const StepContext& ctx)
{
    const vec3 box = cell.get_dims();
    const double v = volume(box);
    have_measure = false;
    const double mu = planned_mu, inv = 1.0 / mu;
    planned_mu = 1.0;

    // x, dij and L scaled by mu, v by 1/mu; m |v|^2 summed before the scaling (for
    // one species the mass is applied once, after the sum: a weight of 1 is exact)
    const MotionArrays a = cell.motion();
    const std::int32_t* type = ctx.mixture ? ctx.mixture->types.data() : nullptr;
    const double* mass = ctx.mixture ? ctx.mixture->masses.data() : nullptr;
    const double vsq = cell.exact() ? cell.exact_total(a.count, [&](std::size_t i) {
        vec3& vi = a.velocities[i];
        const double weight = type ? mass[type[i]] : 1.0;
        const double term = weight * ((vi.x() * vi.x() + vi.y() * vi.y()) + vi.z() * vi.z());
        vi *= inv;
        a.positions[i] *= mu;
        a.dij_list[i] *= mu;
        return term;
    }) : sum_in_chunks(a.count, cell.team(), 0.0, [&](std::size_t begin, std::size_t end) {
        double s = 0.0;
        for (std::size_t i = begin; i < end; ++i) {
            vec3& vi = a.velocities[i];
            const double weight = type ? mass[type[i]] : 1.0;
            s += weight * ((vi.x() * vi.x() + vi.y() * vi.y()) + vi.z() * vi.z());
            vi *= inv;
            a.positions[i] *= mu;
            a.dij_list[i] *= mu;
        }
        return s;
    });
    const vec3 new_box = mu * box;
    cell.set_box(new_box);
    const double ekin = type ? 0.5 * vsq : 0.5 * vsq * ctx.mass;
    cell.set_ekin(ekin * (inv * inv));
    work += ekin * (inv * inv - 1.0) + pressure * (volume(new_box) - v);
    pending_mu = mu;
}

double CRescale::extra_energy(const Cell& cell) const
{
    return pressure * volume(cell.get_dims()) - work;
}
