#include "langevin.h"

#include <cmath>

#include "noise.h"
#include "particle_sums.h"

namespace {

// A O A of particle i: half a drift with the old velocity, the velocity made new
// by `o`, half a drift with the new one (positions and list displacements).
template <typename O>
inline const vec3& drift_around(const MotionArrays& a, std::size_t i, double half, O&& o)
{
    vec3& v = a.velocities[i];
    const vec3 first = half * v;
    v = o(v);
    const vec3 second = half * v;
    a.positions[i] += first;
    a.positions[i] += second;
    a.dij_list[i] += first;
    a.dij_list[i] += second;
    return v;
}

}  // namespace

Langevin::Langevin(double friction_) : friction(positive("friction", friction_, "friction (1/time)")) {}

void Langevin::step(StepStages& stages, const StepContext& ctx)
{
    const double dt = ctx.dt;
    const double c1 = std::exp(-friction * dt);
    const StepStages::Start start = stages.begin_step();

    stages.kick(dt);  // B
    const double ekin_before = stages.ekin();
    stages.set_ekin(ctx.mixture ? drift_and_noise_mixed(stages, ctx, c1) : drift_and_noise(stages, ctx, c1));  // A O A
    heat += stages.ekin() - ekin_before;

    ctx.after_drift(stages);
    stages.update_forces();
    stages.kick(dt);  // B
    stages.end_step(ctx.step, ctx.verbose, start);
}

double Langevin::drift_and_noise(StepStages& stages, const StepContext& ctx, double c1)
{
    const double half = 0.5 * ctx.dt;
    const double c2 = std::sqrt((1.0 - c1 * c1) * ctx.kT / ctx.mass);

    // the noise, and its mean over the particles
    const MotionArrays a = stages.motion();
    xi.resize(3 * a.count);
    double* x = xi.data();
    const auto sum = stages.sum_particles<3>(a.count, [&](std::size_t begin, std::size_t end, auto&& add) {
        noise::normal_triples(ctx.seed, ctx.step, noise::Purpose::langevin, begin, end, x, a.ids);
        for (std::size_t i = begin; i < end; ++i)
            add(x + 3 * i);
    });
    const std::size_t n = stages.particles();  // all of them, also when the box is divided
    const vec3 mean = n > 0 ? vec3(vec3(sum[0], sum[1], sum[2]) / static_cast<double>(n)) : vec3(vec3::Zero());

    // A O A, summing |v|^2 of the new velocities
    const double vsq = stages.sum_particles<1>(a.count, [&](std::size_t begin, std::size_t end, auto&& add) {
        for (std::size_t i = begin; i < end; ++i) {
            const vec3& v = drift_around(a, i, half, [&](const vec3& old) {
                return vec3(c1 * old + c2 * (vec3(x[3 * i], x[3 * i + 1], x[3 * i + 2]) - mean));
            });
            const double t = (v.x() * v.x() + v.y() * v.y()) + v.z() * v.z();
            add(&t);
        }
    })[0];
    return 0.5 * vsq * ctx.mass;
}

double Langevin::drift_and_noise_mixed(StepStages& stages, const StepContext& ctx, double c1)
{
    const double half = 0.5 * ctx.dt;
    const Species& mix = *ctx.mixture;
    const std::int32_t* type = mix.types.data();
    const double* mass = mix.masses.data();
    c2_of_type.resize(mix.nr_types());
    for (std::size_t t = 0; t < mix.nr_types(); ++t)
        c2_of_type[t] = std::sqrt((1.0 - c1 * c1) * ctx.kT / mass[t]);
    const double* c2 = c2_of_type.data();

    // the noise velocities c2_i xi_i, and the momentum and mass they sum to
    const MotionArrays a = stages.motion();
    xi.resize(3 * a.count);
    double* x = xi.data();
    const auto sum = stages.sum_particles<4>(a.count, [&](std::size_t begin, std::size_t end, auto&& add) {
        noise::normal_triples(ctx.seed, ctx.step, noise::Purpose::langevin, begin, end, x, a.ids);
        for (std::size_t i = begin; i < end; ++i) {
            const double c = c2[type[i]], m = mass[type[i]];
            for (int k = 0; k < 3; ++k)
                x[3 * i + k] *= c;
            const double t[4] = {m * x[3 * i], m * x[3 * i + 1], m * x[3 * i + 2], m};
            add(t);
        }
    });
    // the velocity of the centre of mass the noise would give, taken off every particle
    const vec3 drift = sum[3] > 0.0 ? vec3(vec3(sum[0], sum[1], sum[2]) / sum[3]) : vec3(vec3::Zero());

    // A O A, summing m |v|^2 of the new velocities
    const double mvsq = stages.sum_particles<1>(a.count, [&](std::size_t begin, std::size_t end, auto&& add) {
        for (std::size_t i = begin; i < end; ++i) {
            const vec3& v = drift_around(a, i, half, [&](const vec3& old) {
                return vec3(c1 * old + (vec3(x[3 * i], x[3 * i + 1], x[3 * i + 2]) - drift));
            });
            const double t = mass[type[i]] * ((v.x() * v.x() + v.y() * v.y()) + v.z() * v.z());
            add(&t);
        }
    })[0];
    return 0.5 * mvsq;
}

const MethodKind& Langevin::kind()
{
    static const MethodKind k{"langevin", "BAOAB Langevin dynamics: friction and noise on every particle",
                              {{"friction", ParameterRule::positive, "friction gamma, 1/time", std::nullopt, true, {}}},
                              true};
    return k;
}

Langevin Langevin::make(const Numbers& p) { return Langevin(p.at("friction")); }
Numbers Langevin::parameters() const { return {{"friction", friction}}; }
// the heat so far
std::vector<double> Langevin::state() const { return {heat}; }
void Langevin::restore(const std::vector<double>& s) { heat = s[0]; }
