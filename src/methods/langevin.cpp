#include "langevin.h"

#include <algorithm>
#include <cmath>

#include "noise.h"
#include "parallel.h"

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

void Langevin::step(Cell& cell, const StepContext& ctx)
{
    const double dt = ctx.dt;
    const double c1 = std::exp(-friction * dt);
    const Cell::StepStart start = cell.begin_step();

    cell.update_velocities_half_dt(dt);  // B
    const double ekin_before = cell.get_ekin();
    cell.set_ekin(ctx.mixture ? drift_and_noise_mixed(cell, ctx, c1) : drift_and_noise(cell, ctx, c1));  // A O A
    heat += cell.get_ekin() - ekin_before;

    ctx.after_drift(cell);
    cell.update_forces();
    cell.update_velocities_half_dt(dt);  // B
    cell.end_step(ctx.step, ctx.verbose, start);
}

double Langevin::drift_and_noise(Cell& cell, const StepContext& ctx, double c1)
{
    const double half = 0.5 * ctx.dt;
    const double c2 = std::sqrt((1.0 - c1 * c1) * ctx.kT / ctx.mass);

    // the noise, and its mean over the particles
    const MotionArrays a = cell.motion();
    const int team = cell.team();
    xi.resize(3 * a.count);
    double* x = xi.data();
    if (cell.exact())
        return drift_and_noise_exact(cell, ctx, c1, c2, half);
    const vec3 sum = sum_in_chunks(a.count, team, vec3(vec3::Zero()), [&](std::size_t begin, std::size_t end) {
        noise::normal_triples(ctx.seed, ctx.step, noise::Purpose::langevin, begin, end, x);
        vec3 s = vec3::Zero();
        for (std::size_t i = begin; i < end; ++i)
            s += vec3(x[3 * i], x[3 * i + 1], x[3 * i + 2]);
        return s;
    });
    const vec3 mean = a.count > 0 ? vec3(sum / static_cast<double>(a.count)) : vec3(vec3::Zero());

    // A O A, summing |v|^2 of the new velocities
    const double vsq = sum_in_chunks(a.count, team, 0.0, [&](std::size_t begin, std::size_t end) {
        double s = 0.0;
        for (std::size_t i = begin; i < end; ++i) {
            const vec3& v = drift_around(a, i, half, [&](const vec3& old) {
                return vec3(c1 * old + c2 * (vec3(x[3 * i], x[3 * i + 1], x[3 * i + 2]) - mean));
            });
            s += (v.x() * v.x() + v.y() * v.y()) + v.z() * v.z();
        }
        return s;
    });
    return 0.5 * vsq * ctx.mass;
}

double Langevin::drift_and_noise_mixed(Cell& cell, const StepContext& ctx, double c1)
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
    const MotionArrays a = cell.motion();
    const int team = cell.team();
    xi.resize(3 * a.count);
    double* x = xi.data();
    if (cell.exact())
        return drift_and_noise_mixed_exact(cell, ctx, c1, c2, half);
    using vec4 = Eigen::Vector4d;
    const vec4 sum = sum_in_chunks(a.count, team, vec4(vec4::Zero()), [&](std::size_t begin, std::size_t end) {
        noise::normal_triples(ctx.seed, ctx.step, noise::Purpose::langevin, begin, end, x);
        vec4 s = vec4::Zero();
        for (std::size_t i = begin; i < end; ++i) {
            const double c = c2[type[i]], m = mass[type[i]];
            for (int k = 0; k < 3; ++k)
                x[3 * i + k] *= c;
            s += vec4(m * x[3 * i], m * x[3 * i + 1], m * x[3 * i + 2], m);
        }
        return s;
    });
    // the velocity of the centre of mass the noise would give, taken off every particle
    const vec3 drift = a.count > 0 ? vec3(sum.head<3>() / sum[3]) : vec3(vec3::Zero());

    // A O A, summing m |v|^2 of the new velocities
    const double mvsq = sum_in_chunks(a.count, team, 0.0, [&](std::size_t begin, std::size_t end) {
        double s = 0.0;
        for (std::size_t i = begin; i < end; ++i) {
            const vec3& v = drift_around(a, i, half, [&](const vec3& old) {
                return vec3(c1 * old + (vec3(x[3 * i], x[3 * i + 1], x[3 * i + 2]) - drift));
            });
            s += mass[type[i]] * ((v.x() * v.x() + v.y() * v.y()) + v.z() * v.z());
        }
        return s;
    });
    return 0.5 * mvsq;
}

// With exact sums (a divided box): the noise keyed by the particles' numbers, its
// mean and the kinetic energy summed exactly over all processes.
double Langevin::drift_and_noise_exact(Cell& cell, const StepContext& ctx, double c1, double c2, double half)
{
    const MotionArrays a = cell.motion();
    double* x = xi.data();
    const std::uint64_t* ids = cell.get_ids().empty() ? nullptr : cell.get_ids().data();
    const long long n = static_cast<long long>(a.count);
#pragma omp parallel for schedule(static) num_threads(cell.team())
    for (long long c = 0; c < n; c += 1024)
        noise::normal_triples(ctx.seed, ctx.step, noise::Purpose::langevin, static_cast<std::size_t>(c),
                              std::min(a.count, static_cast<std::size_t>(c) + 1024), x, ids);
    ExactSum sums[3];
    for (std::size_t i = 0; i < a.count; ++i)
        for (int k = 0; k < 3; ++k)
            sums[k].add(x[3 * i + k]);
    cell.reduce(sums, 3);
    const double total = static_cast<double>(cell.particles());
    const vec3 mean = total > 0 ? vec3(vec3(sums[0].value(), sums[1].value(), sums[2].value()) / total)
                                : vec3(vec3::Zero());
    return 0.5 * cell.exact_total(a.count, [&](std::size_t i) {
               const vec3& v = drift_around(a, i, half, [&](const vec3& old) {
                   return vec3(c1 * old + c2 * (vec3(x[3 * i], x[3 * i + 1], x[3 * i + 2]) - mean));
               });
               return (v.x() * v.x() + v.y() * v.y()) + v.z() * v.z();
           }) * ctx.mass;
}

double Langevin::drift_and_noise_mixed_exact(Cell& cell, const StepContext& ctx, double c1, const double* c2,
                                            double half)
{
    const Species& mix = *ctx.mixture;
    const std::int32_t* type = mix.types.data();
    const double* mass = mix.masses.data();
    const MotionArrays a = cell.motion();
    double* x = xi.data();
    const std::uint64_t* ids = cell.get_ids().empty() ? nullptr : cell.get_ids().data();
    const long long n = static_cast<long long>(a.count);
#pragma omp parallel for schedule(static) num_threads(cell.team())
    for (long long c = 0; c < n; c += 1024) {
        const std::size_t end = std::min(a.count, static_cast<std::size_t>(c) + 1024);
        noise::normal_triples(ctx.seed, ctx.step, noise::Purpose::langevin, static_cast<std::size_t>(c), end, x, ids);
        for (std::size_t i = static_cast<std::size_t>(c); i < end; ++i)
            for (int k = 0; k < 3; ++k)
                x[3 * i + k] *= c2[type[i]];
    }
    ExactSum sums[4];
    for (std::size_t i = 0; i < a.count; ++i) {
        const double m = mass[type[i]];
        for (int k = 0; k < 3; ++k)
            sums[k].add(m * x[3 * i + k]);
        sums[3].add(m);
    }
    cell.reduce(sums, 3);
    cell.reduce(sums + 3, 1);
    const double m_total = sums[3].value();
    const vec3 drift = m_total > 0 ? vec3(vec3(sums[0].value(), sums[1].value(), sums[2].value()) / m_total)
                                   : vec3(vec3::Zero());
    return 0.5 * cell.exact_total(a.count, [&](std::size_t i) {
               const vec3& v = drift_around(a, i, half, [&](const vec3& old) {
                   return vec3(c1 * old + (vec3(x[3 * i], x[3 * i + 1], x[3 * i + 2]) - drift));
               });
               return mass[type[i]] * ((v.x() * v.x() + v.y() * v.y()) + v.z() * v.z());
           });
}
