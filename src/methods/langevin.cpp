#include "langevin.h"

#include <cmath>

#include "noise.h"
#include "parallel.h"

Langevin::Langevin(double friction_) : friction(positive("friction", friction_, "friction (1/time)")) {}

void Langevin::step(Cell& cell, const StepContext& ctx)
{
    const double dt = ctx.dt, half = 0.5 * dt;
    const double c1 = std::exp(-friction * dt);
    const double c2 = std::sqrt((1.0 - c1 * c1) * ctx.kT / ctx.mass);
    const Cell::StepStart start = cell.begin_step();

    cell.update_velocities_half_dt(dt);  // B
    const double ekin_before = cell.get_ekin();

    // the noise, and its mean over the particles
    const MotionArrays a = cell.motion();
    const int team = cell.team();
    xi.resize(3 * a.count);
    double* x = xi.data();
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
            vec3& v = a.velocities[i];
            const vec3 first = half * v;
            v = c1 * v + c2 * (vec3(x[3 * i], x[3 * i + 1], x[3 * i + 2]) - mean);
            const vec3 second = half * v;
            a.positions[i] += first;
            a.positions[i] += second;
            a.dij_list[i] += first;
            a.dij_list[i] += second;
            s += (v.x() * v.x() + v.y() * v.y()) + v.z() * v.z();
        }
        return s;
    });
    cell.set_ekin(0.5 * vsq * ctx.mass);
    heat += cell.get_ekin() - ekin_before;

    ctx.after_drift(cell);
    cell.update_forces();
    cell.update_velocities_half_dt(dt);  // B
    cell.end_step(ctx.step, ctx.verbose, start);
}
