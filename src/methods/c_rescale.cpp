#include "c_rescale.h"

#include <cmath>
#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "noise.h"
#include "parallel.h"
#include "particle_sums.h"
#include "settings.h"

namespace {

[[noreturn]] void refuse(const char* name, double value, const char* rule)
{
    std::ostringstream msg;
    msg << name << " = " << value << " is not allowed: " << rule;
    throw std::invalid_argument(msg.str());
}

double volume(const vec3& box) { return box.x() * box.y() * box.z(); }

}  // namespace

CRescale::CRescale(double pressure_, double tau_, std::optional<double> compressibility_, Couple couple_)
    : pressure(pressure_), tau(tau_), compressibility(compressibility_), couple(couple_)
{
    if (!std::isfinite(pressure))
        refuse("pressure", pressure, "the target pressure must be finite");
    positive("tau", tau, "barostat's relaxation time");
    if (compressibility)
        positive("compressibility", *compressibility, "compressibility");
}

const MethodKind& CRescale::kind()
{
    static const MethodKind k{
        "c_rescale",
        "stochastic cell rescaling towards the pressure P0",
        {{"pressure", ParameterRule::finite, "target pressure P0", std::nullopt, true, {}},
         {"tau", ParameterRule::positive, "relaxation time of the volume", std::nullopt, true, {}},
         {"compressibility", ParameterRule::positive, "compressibility (none: V / (N kT), an ideal gas's)",
          std::nullopt, false, {}},
         {"couple", ParameterRule::choice, "axes scaled together", 0.0, true, {"xyz", "xy", "none"}}},
        true};
    return k;
}

CRescale CRescale::make(const Numbers& p)
{
    const double c = p.at("couple");
    if (!(c == 0.0 || c == 1.0 || c == 2.0))
        refuse("couple", c, "it is the index of one of xyz (0), xy (1), none (2)");
    const auto beta = p.find("compressibility");
    return CRescale(p.at("pressure"), p.at("tau"),
                    beta == p.end() ? std::nullopt : std::optional<double>(beta->second), static_cast<Couple>(c));
}

Numbers CRescale::parameters() const
{
    Numbers p{{"pressure", pressure}, {"tau", tau}, {"couple", static_cast<double>(couple)}};
    if (compressibility)
        p["compressibility"] = *compressibility;
    return p;
}

std::vector<std::vector<int>> CRescale::groups(const StepStages& stages) const
{
    if (couple == Couple::xyz)
        return {{0, 1, 2}};
    if (couple == Couple::none)
        return {{0}, {1}, {2}};
    if (stages.walled(2))
        return {{0, 1}};
    return {{0, 1}, {2}};
}

void CRescale::resolve(StepStages& stages, double kT)
{
    // a scaled axis would move its walls with the fluid; walls on z stay where
    // they are when only x and y are scaled
    if (stages.has_walls() && !(couple == Couple::xy && !stages.walled(0) && !stages.walled(1)))
        throw std::invalid_argument(
            "the barostat scales every axis of the box it couples, and a wall closes one: run a box with walls "
            "at constant volume, or with walls on z only and couple = xy (Lz fixed, x and y scaled)");
    if (couple != Couple::xyz)
        stages.set_pair_terms(true);
    if (compressibility)
        return;
    const double n = static_cast<double>(stages.particles());
    const double beta = volume(stages.box()) / (n * kT);
    if (!(std::isfinite(beta) && beta > 0.0))
        refuse("kT", kT, "the barostat's default compressibility V / (N kT) needs kT > 0 and particles: give compressibility");
    compressibility = beta;
}

void CRescale::measure(StepStages& stages)
{
    if (couple != Couple::xyz)
        measure_axes(stages);
    const double w = stages.virial();
    // dU/dmu = -W(mu)/mu along the scaling: the trapezoid between the virial before
    // the move and the one after it
    if (pending_mu != 1.0)
        work -= (pending_mu - 1.0) * 0.5 * (virial_start + w / pending_mu);
    pending_mu = 1.0;
    ekin_start = stages.ekin();
    virial_start = w;
    have_measure = true;
}

double CRescale::measured_pressure(const vec3& box) const
{
    return (2.0 * ekin_start + virial_start) / (3.0 * volume(box));
}

void CRescale::plan(const StepStages& stages, const StepContext& ctx)
{
    if (ctx.dt > tau) {
        std::ostringstream msg;
        msg << "tau = " << tau << " is not allowed with stepsize = " << ctx.dt
            << ": the barostat's relaxation time must not be shorter than the time step";
        throw std::invalid_argument(msg.str());
    }
    const double beta = *compressibility;
    const vec3 box = stages.box();
    const double v = volume(box);
    if (!(start_volume > 0.0))
        start_volume = v;
    const double p = measured_pressure(stages.box());
    double mu = 1.0;
    vec3 new_box;
    if (couple == Couple::xyz) {
        const double xi = noise::StepStream(ctx.seed, ctx.step, noise::Purpose::barostat).normal();
        const double deps =
            -(beta / tau) * (pressure - p) * ctx.dt + std::sqrt(2.0 * ctx.kT * beta * ctx.dt / (v * tau)) * xi;
        mu = std::exp(deps / 3.0);
        new_box = mu * box;
    } else {
        planned_mus = plan_axes(stages, ctx, v);
        new_box = box.cwiseProduct(planned_mus);
    }
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
    const double rc = stages.cutoff();
    if (rc > 0.5 * new_box.minCoeff()) {
        std::ostringstream why;
        why << "its edge " << new_box.minCoeff() << " would be less than twice the "
            << (stages.mixed() ? "largest pair cut-off " : "cutoff rcut = ") << rc
            << " (the minimum image would miss pairs): simulate more particles, or a lower pressure";
        refuse_box(why.str());
    }
    planned_mu = mu;
}

void CRescale::rescale(StepStages& stages, const StepContext& ctx)
{
    if (couple != Couple::xyz) {
        rescale_axes(stages, ctx);
        return;
    }
    const vec3 box = stages.box();
    const double v = volume(box);
    have_measure = false;
    const double mu = planned_mu, inv = 1.0 / mu;
    planned_mu = 1.0;

    // x, dij and L scaled by mu, v by 1/mu; m |v|^2 summed before the scaling (for
    // one species the mass is applied once, after the sum: a weight of 1 is exact)
    const MotionArrays a = stages.motion();
    const std::int32_t* type = ctx.mixture ? ctx.mixture->types.data() : nullptr;
    const double* mass = ctx.mixture ? ctx.mixture->masses.data() : nullptr;
    const auto sum = [&](std::size_t begin, std::size_t end, auto&& add) {
        for (std::size_t i = begin; i < end; ++i) {
            vec3& vi = a.velocities[i];
            const double weight = type ? mass[type[i]] : 1.0;
            const double t = weight * ((vi.x() * vi.x() + vi.y() * vi.y()) + vi.z() * vi.z());
            add(&t);
            vi *= inv;
            a.positions[i] *= mu;
            a.dij_list[i] *= mu;
        }
    };
    const double vsq = stages.sum_particles<1>(a.count, sum)[0];
    const vec3 new_box = mu * box;
    stages.set_box(new_box);
    const double ekin = type ? 0.5 * vsq : 0.5 * vsq * ctx.mass;
    stages.set_ekin(ekin * (inv * inv));
    work += ekin * (inv * inv - 1.0) + pressure * (volume(new_box) - v);
    pending_mu = mu;
}

double CRescale::extra_energy(const vec3& box) const
{
    return pressure * volume(box) - work;
}

// K_a and W_aa of the cell as it is; completes the work of the step's move per axis.
void CRescale::measure_axes(StepStages& stages)
{
    const double* t = stages.virial_tensor();
    const vec3 w(t[0], t[1], t[2]);
    if (pending_mus != vec3::Ones())
        for (int a = 0; a < 3; ++a)
            work -= (pending_mus[a] - 1.0) * 0.5 * (virial_axes[a] + w[a] / pending_mus[a]);
    pending_mus = vec3::Ones();
    const MotionArrays m = stages.motion();
    const Species& mix = stages.species();
    const double mass = mix.empty() ? settings::real(stages.parameters(), "mass") : 1.0;
    const auto sums = stages.sum_particles<3>(m.count, [&](std::size_t begin, std::size_t end, auto&& add) {
        for (std::size_t i = begin; i < end; ++i) {
            const double weight = mix.empty() ? 1.0 : mix.masses[static_cast<std::size_t>(mix.types[i])];
            const vec3 t = weight * m.velocities[i].cwiseProduct(m.velocities[i]);
            add(t.data());
        }
    });
    const vec3 mvsq(sums[0], sums[1], sums[2]);
    ekin_axes = 0.5 * mass * mvsq;
    virial_axes = w;
}

// The scale factor of each axis for this step, one normal draw per group in the
// order of the groups.
vec3 CRescale::plan_axes(const StepStages& stages, const StepContext& ctx, double v)
{
    const double beta = *compressibility;
    noise::StepStream draws(ctx.seed, ctx.step, noise::Purpose::barostat);
    vec3 mus = vec3::Ones();
    for (const std::vector<int>& g : groups(stages)) {
        const double d = static_cast<double>(g.size());
        double p = 0.0;
        for (int a : g)
            p += (2.0 * ekin_axes[a] + virial_axes[a]) / v;
        p /= d;
        const double xi = draws.normal();
        const double deps = -(beta / (3.0 * tau)) * (pressure - p) * ctx.dt +
                            std::sqrt(2.0 * d * ctx.kT * beta * ctx.dt / (3.0 * v * tau)) * xi / d;
        for (int a : g)
            mus[a] = std::exp(deps);
    }
    return mus;
}

void CRescale::rescale_axes(StepStages& stages, const StepContext& ctx)
{
    const vec3 box = stages.box();
    const double v = volume(box);
    have_measure = false;
    const vec3 mu = planned_mus, inv = mu.cwiseInverse();
    planned_mus = vec3::Ones();

    // x, dij and L scaled by mu_a per axis, v_a by 1/mu_a; m v_a^2 summed per axis
    // before the scaling
    const MotionArrays a = stages.motion();
    const std::int32_t* type = ctx.mixture ? ctx.mixture->types.data() : nullptr;
    const double* mass = ctx.mixture ? ctx.mixture->masses.data() : nullptr;
    const auto sums = stages.sum_particles<3>(a.count, [&](std::size_t begin, std::size_t end, auto&& add) {
        for (std::size_t i = begin; i < end; ++i) {
            vec3& vi = a.velocities[i];
            const double weight = type ? mass[type[i]] : 1.0;
            const vec3 t = weight * vi.cwiseProduct(vi);
            add(t.data());
            vi = vi.cwiseProduct(inv);
            a.positions[i] = a.positions[i].cwiseProduct(mu);
            a.dij_list[i] = a.dij_list[i].cwiseProduct(mu);
        }
    });
    const vec3 mvsq(sums[0], sums[1], sums[2]);
    const vec3 new_box = box.cwiseProduct(mu);
    stages.set_box(new_box);
    const vec3 ekin = type ? vec3(0.5 * mvsq) : vec3(0.5 * ctx.mass * mvsq);
    const vec3 after = ekin.cwiseProduct(inv.cwiseProduct(inv));
    stages.set_ekin(after.x() + after.y() + after.z());
    work += (after - ekin).sum() + pressure * (volume(new_box) - v);
    pending_mus = mu;
}
