// Time step: velocity Verlet with a Berendsen thermostat.
//
//   1. v += F dt / 2m                 (ekin of the half-step velocities)
//   2. v *= lambda                    (Berendsen, towards ekin0 = (3N-3)/2 kT)
//   3. x += v dt, dij += v dt         (dij: displacement since the last list build)
//   4. F, epot at the moved positions, over the current list
//   5. wrap x into the box, counting the crossings in images
//   6. rebuild the list if some particle moved more than shell/2
//   7. v += F dt / 2m                 (ekin of the full-step velocities)
//   8. etot = ekin + epot              (a non-finite total reports the run as unstable)
// Forces must be valid on entry (the constructor computes the first ones).
//
// The stages are public: the other integration methods (methods/) are made of
// the same kicks, drifts and force updates, with their own thermostat passes.
#include "cell.h"
#include "exact_sum.h"
#include "parallel.h"
#include "settings.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <boost/format.hpp>

namespace {

// CPU time of all threads of the process, for the team governor (team.h).
double process_cpu_seconds()
{
    timespec t;
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t) != 0)
        return 0.0;
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

void Cell::integrate(unsigned int step, double dt, bool verbose)
{
    const StepStart start = begin_step();
    update_velocities_half_dt(dt);
    apply_berendsen_thermostat(dt);
    update_positions(dt);
    update_forces();
    update_velocities_half_dt(dt);
    end_step(step, verbose, start);
}

Cell::StepStart Cell::begin_step() const
{
    return {std::chrono::steady_clock::now(), process_cpu_seconds()};
}

void Cell::update_forces()
{
    calculate_forces();
    apply_boundary_conditions();
    if (check_update_neighbor_list())
        build_neighbor_list();
}

void Cell::end_step(unsigned int step, bool verbose, const StepStart& start)
{
    etot = ekin + epot;
    steps_done = step + 1ull;
    if (!std::isfinite(etot)) {
        std::ostringstream msg;
        msg << "the total energy became " << etot << " at step " << step + 1ull
            << ": the simulation became unstable (time step too large, or particles overlapping)";
        throw std::range_error(msg.str());
    }
    governor.record(std::chrono::duration<double>(std::chrono::steady_clock::now() - start.wall).count(),
                    process_cpu_seconds() - start.cpu);

    if (step % 1000 == 0) {
        if (verbose) {
            const auto end = std::chrono::system_clock::now();
            const double elapsed_seconds =
                static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - ttime).count()) / 1e9;
            std::cout << boost::format("Step %04i  Ekin = %12.6f  Epot =  %12.6f  Etot = %12.6f  Time = %6.4f s") % step %
                             ekin % epot % etot % elapsed_seconds
                      << std::endl;
        }
        ttime = std::chrono::system_clock::now();
    }
}

template <typename Kick>
double Cell::kick_in_order(std::size_t count, Kick kick)
{
    // The kinetic energy is summed in particle order whatever the thread count, so
    // that the thermostat, and with it every trajectory, does not depend on it:
    // the first thread chains its own block into the sum as it goes, the others
    // leave their terms in ekin_terms, which are chained on afterwards in order.
    double ekinsum = 0.0;
    const int team_size = team();
    if (exact_sums) {  // each thread its block, the partial sums merged exactly
        ExactSum total;
#pragma omp parallel num_threads(team_size)
        {
            const Block b = static_block(count);
            const Kick mine = kick;
            ExactSum part;
            for (std::size_t i = b.begin; i < b.end; ++i)
                part.add(mine(i));
#pragma omp critical(vorlan_exact_kick)
            total.add(part);
        }
        reduce(&total, 1);
        return total.value();
    }
    if (team_size > 1 && ekin_terms.size() != count)
        ekin_terms.resize(count);
    std::size_t first_end = count;
#pragma omp parallel num_threads(team_size)
    {
        const Block b = static_block(count);
        const Kick mine = kick;  // a copy of the thread's own: its pointers stay in registers
        if (b.first) {
            first_end = b.end;
            for (std::size_t i = b.begin; i < b.end; ++i)
                ekinsum += mine(i);
        } else {
            for (std::size_t i = b.begin; i < b.end; ++i)
                ekin_terms[i] = mine(i);
        }
    }
    for (std::size_t i = first_end; i < count; ++i)
        ekinsum += ekin_terms[i];
    return ekinsum;
}

void Cell::update_velocities_half_dt(double dt)
{
    if (mixed()) {
        update_mixed_velocities_half_dt(dt);
        return;
    }
    const double m = settings::real(*params, "mass");
    const std::size_t count = particle_count();
    const double factor = (0.5 / m) * dt;
    vec3* v = pstate.velocities.data();
    const vec3* f = pstate.forces.data();
    const double ekinsum = kick_in_order(count, [=](std::size_t i) {
        v[i] += factor * f[i];
        return (v[i].x() * v[i].x() + v[i].y() * v[i].y()) + v[i].z() * v[i].z();
    });
    ekin = 0.5 * ekinsum * m;
}

void Cell::update_mixed_velocities_half_dt(double dt)
{
    // v += F dt / 2m with the mass of each particle's type; the kinetic energy
    // 0.5 sum m |v|^2, summed in particle order as in the one-species kick.
    const std::size_t count = particle_count();
    const std::size_t nr_types = pstate.species.nr_types();
    kick_factors.resize(nr_types);
    for (std::size_t a = 0; a < nr_types; ++a)
        kick_factors[a] = (0.5 / pstate.species.masses[a]) * dt;
    const double* f_of = kick_factors.data();
    const std::int32_t* type = pstate.species.types.data();
    const double* mass = pstate.species.masses.data();
    vec3* v = pstate.velocities.data();
    const vec3* f = pstate.forces.data();
    ekin = 0.5 * kick_in_order(count, [=](std::size_t i) {
        v[i] += f_of[type[i]] * f[i];
        return mass[type[i]] * ((v[i].x() * v[i].x() + v[i].y() * v[i].y()) + v[i].z() * v[i].z());
    });
}

void Cell::update_positions(double dt)
{
    const std::size_t nr_particles = particle_count();
    const long long count = static_cast<long long>(nr_particles);

#pragma omp parallel for schedule(static) num_threads(team())
    for (long long i = 0; i < count; ++i) {
        const vec3 inc = dt * pstate.velocities[i];
        pstate.positions[i] += inc;
        pstate.dij_list[i] += inc;
    }
}

namespace {

// f = floor(p / L); p <- p - f L; image += f for one block of coordinates, x y z
// interleaved; a separate function so that it is compiled with a rounding
// instruction for floor where the CPU has one (same result as the library call).
// A jump of 2^31 boxes or more in one step (only a run that has already blown up
// gets there, and the list build stops it) leaves its counter as it was; a
// crossing that would take a counter beyond +-image_limit leaves it too, and the
// first such coordinate (3 i + k) is returned, for the caller to refuse the step.
// Returns `none` when every counter took its crossings.
constexpr std::size_t none = static_cast<std::size_t>(-1);

__attribute__((target_clones("avx2", "default")))
std::size_t wrap_block(double* p, std::int32_t* image, std::size_t begin, std::size_t end, const double invL[3],
                       const double L[3])
{
    std::size_t full = none;
    for (std::size_t i = begin; i < end; ++i)
        for (int k = 0; k < 3; ++k) {
            const double f = std::floor(p[3 * i + k] * invL[k]);
            p[3 * i + k] -= f * L[k];
            if (f != 0.0 && std::fabs(f) < 2147483648.0) {
                // exact in a double: both terms are below 2^31
                const double count = static_cast<double>(image[3 * i + k]) + f;
                if (std::fabs(count) <= image_limit)
                    image[3 * i + k] = static_cast<std::int32_t>(count);
                else if (full == none)
                    full = 3 * i + k;
            }
        }
    return full;
}

}  // namespace

void Cell::apply_boundary_conditions()
{
    const std::size_t nr_particles = particle_count();
    const vec3 invL(1.0 / dims.x(), 1.0 / dims.y(), 1.0 / dims.z());
    // a walled axis is not wrapped (floor(x * 0) is 0): a particle past its wall is refused
    const double inv[3] = {terms.walled(0) ? 0.0 : invL.x(), terms.walled(1) ? 0.0 : invL.y(), terms.walled(2) ? 0.0 : invL.z()};
    const double L[3] = {dims.x(), dims.y(), dims.z()};
    double* p = ParticleState::coordinates(pstate.positions);
    std::int32_t* image = pstate.images.data();
    std::size_t full = none;
    // every coordinate on its own: the split over threads changes nothing
#pragma omp parallel num_threads(team()) reduction(min : full)
    {
        const Block b = static_block(nr_particles);
        full = std::min(full, wrap_block(p, image, b.begin, b.end, inv, L));
    }
    if (full != none) {
        std::ostringstream msg;
        msg << "particle " << pstate.ids[full / 3] << " has crossed the box " << pstate.images[full] << " times along "
            << "xyz"[full % 3] << ": its image counter holds at most " << image_limit
            << " crossings either way, so the unwrapped positions of this run cannot go on";
        throw std::range_error(msg.str());
    }
    if (has_walls())
        terms.check_inside_walls(pstate, dims, steps_done + 1);
}

void Cell::apply_berendsen_thermostat(double dt)
{
    particle_count();
    apply_berendsen_thermostat(dt, settings::thermostat_time(*params, dt));
}

double Cell::apply_berendsen_thermostat(double dt, double tau)
{
    particle_count();
    const std::size_t nr_particles = particles();
    const double kT = settings::real(*params, "kT");

    // (3N - 3)/2 kT: the equipartition value with the total momentum removed
    const double ekin0 = 1.5 * static_cast<double>(nr_particles - 1) * kT;
    // Nothing to rescale without motion; dt <= tau keeps the radicand positive, the
    // clamp only guards against rounding.
    double lambda = 1.0;
    if (ekin != 0.0) {
        const double radicand = 1 + (ekin0 / ekin - 1) * (dt / tau);
        lambda = std::sqrt(radicand > 0.0 ? radicand : 0.0);
    }
    multiply_velocities(lambda);
    return lambda;
}

void Cell::scale_velocities(double lambda)
{
    multiply_velocities(lambda);
    ekin *= lambda * lambda;
}

void Cell::multiply_velocities(double lambda)
{
    const long long count = static_cast<long long>(particle_count());
#pragma omp parallel for schedule(static) num_threads(team())
    for (long long i = 0; i < count; ++i)
        pstate.velocities[i] *= lambda;
}
