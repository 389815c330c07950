// FIRE 2.0 on the engine's forces: see minimize.h for the algorithm and the
// order of operations that makes the path independent of the team.
#include "minimize.h"
#include "settings.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

void positive(const char* name, double value)
{
    if (!(std::isfinite(value) && value > 0.0)) {
        std::ostringstream msg;
        msg << name << " = " << value << " is not allowed: it must be a finite positive number";
        throw std::invalid_argument(msg.str());
    }
}

}  // namespace

void check_fire_settings(const FireSettings& s)
{
    if (!(std::isfinite(s.fmax) && s.fmax >= 0.0)) {
        std::ostringstream msg;
        msg << "fmax = " << s.fmax << " is not allowed: the force tolerance is a finite number >= 0";
        throw std::invalid_argument(msg.str());
    }
    positive("dt_start", s.dt_start);
    positive("dt_max", s.dt_max);
    positive("dt_min", s.dt_min);
    positive("max_move", s.max_move);
    if (!(s.dt_min <= s.dt_start && s.dt_start <= s.dt_max)) {
        std::ostringstream msg;
        msg << "dt_start = " << s.dt_start << " is not allowed: it must lie between dt_min = " << s.dt_min
            << " and dt_max = " << s.dt_max;
        throw std::invalid_argument(msg.str());
    }
}

Fire::Fire(const FireSettings& s) : settings(s) { check_fire_settings(s); }

double Fire::largest_force(const Cell& cell) const
{
    double most = 0.0;
    for (const vec3& f : cell.pstate.forces)
        most = std::max(most, f.squaredNorm());
    return std::sqrt(most);
}

void Fire::move_and_evaluate(Cell& cell, double h)
{
    // timed like a step, so that the team governor drops to one thread while
    // other processes keep the cores busy (team.h)
    const Cell::StepStart start = cell.begin_step();
    for (std::size_t i = 0; i < velocity.size(); ++i) {
        const vec3 dx = h * velocity[i];
        cell.pstate.positions[i] += dx;
        cell.pstate.dij_list[i] += dx;
    }
    cell.apply_boundary_conditions();
    if (cell.check_update_neighbor_list())
        cell.build_neighbor_list();
    cell.calculate_forces();
    const Cell::StepStart end = cell.begin_step();
    cell.governor.record(std::chrono::duration<double>(end.wall - start.wall).count(), end.cpu - start.cpu);
}

FireResult Fire::minimize(Cell& cell)
{
    // the minimiser's own per-particle arrays follow the slots: no sorting meanwhile
    struct Keep {
        Cell& cell;
        bool sort;
        ~Keep() { cell.sort_particles = sort; }
    } keep{cell, cell.sort_particles};
    cell.sort_particles = false;
    const std::size_t n = cell.particle_count();
    velocity.assign(n, vec3::Zero());
    inv_mass.resize(n);
    const double one_mass = cell.mixed() ? 0.0 : settings::real(cell.parameters(), "mass");
    for (std::size_t i = 0; i < n; ++i)
        inv_mass[i] = 1.0 / (cell.mixed() ? cell.pstate.species.masses[static_cast<std::size_t>(cell.pstate.species.types[i])] : one_mass);

    FireResult result;
    double dt = settings.dt_start, alpha = settings.alpha_start, h_last = 0.0;
    unsigned int downhill = 0, uphill = 0;
    double fmax = largest_force(cell);
    result.reason = "max_steps";
    for (unsigned int step = 1; fmax > settings.fmax && step <= settings.max_steps; ++step) {
        if (!std::isfinite(fmax)) {
            std::ostringstream msg;
            msg << "the minimisation met a force of " << fmax << " at iteration " << step
                << " (particles overlapping, or a step too large: lower dt_max or max_move)";
            throw std::range_error(msg.str());
        }
        double power = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            power += cell.pstate.forces[i].dot(velocity[i]);
        if (power > 0.0) {
            ++downhill;
            uphill = 0;
            if (downhill > settings.delay) {
                dt = std::min(dt * settings.f_inc, settings.dt_max);
                alpha *= settings.f_alpha;
            }
        } else {
            downhill = 0;
            if (++uphill > settings.max_uphill) {
                result.reason = "uphill";
                break;
            }
            if (step >= settings.delay) {
                if (dt * settings.f_dec >= settings.dt_min)
                    dt *= settings.f_dec;
                alpha = settings.alpha_start;
            }
            // half of the last move taken back, then the motion stopped
            for (std::size_t i = 0; i < n; ++i) {
                const vec3 back = -0.5 * h_last * velocity[i];
                cell.pstate.positions[i] += back;
                cell.pstate.dij_list[i] += back;
                velocity[i] = vec3::Zero();
            }
        }
        // semi-implicit Euler: the kick, the turn towards the force, the drift
        double vsq = 0.0, fsq = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            velocity[i] += (dt * inv_mass[i]) * cell.pstate.forces[i];
            vsq += velocity[i].squaredNorm();
            fsq += cell.pstate.forces[i].squaredNorm();
        }
        const double turn = fsq > 0.0 ? alpha * std::sqrt(vsq / fsq) : 0.0;
        double vmaxsq = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            velocity[i] = (1.0 - alpha) * velocity[i] + turn * cell.pstate.forces[i];
            vmaxsq = std::max(vmaxsq, velocity[i].squaredNorm());
        }
        const double vmax = std::sqrt(vmaxsq);
        h_last = vmax * dt > settings.max_move ? settings.max_move / vmax : dt;
        move_and_evaluate(cell, h_last);
        fmax = largest_force(cell);
        result.steps = step;
    }
    if (!std::isfinite(fmax)) {
        std::ostringstream msg;
        msg << "the minimisation ended with a force of " << fmax << " after " << result.steps << " iterations";
        throw std::range_error(msg.str());
    }
    result.converged = fmax <= settings.fmax;
    if (result.converged)
        result.reason = "converged";
    result.fmax = fmax;
    result.epot = cell.epot;
    cell.etot = cell.ekin + cell.epot;
    return result;
}

FireSettings fire_settings(const std::map<std::string, double>& given)
{
    FireSettings s;
    const std::pair<const char*, double*> reals[] = {
        {"fmax", &s.fmax}, {"dt_start", &s.dt_start}, {"dt_max", &s.dt_max}, {"dt_min", &s.dt_min},
        {"max_move", &s.max_move}, {"f_inc", &s.f_inc}, {"f_dec", &s.f_dec}, {"alpha_start", &s.alpha_start},
        {"f_alpha", &s.f_alpha}};
    for (const auto& [key, value] : given) {
        bool known = false;
        for (const auto& [name, target] : reals) {
            if (key == name) {
                *target = value;
                known = true;
            }
        }
        if (key == "max_steps" || key == "delay" || key == "max_uphill") {
            if (!(value >= 0.0 && value <= 4294967295.0 && value == std::floor(value)))
                throw std::invalid_argument(key + " = " + std::to_string(value) +
                                            " is not allowed: it is a count of iterations >= 0");
            const unsigned int count = static_cast<unsigned int>(value);
            (key == "max_steps" ? s.max_steps : key == "delay" ? s.delay : s.max_uphill) = count;
            known = true;
        }
        if (!known)
            throw std::invalid_argument("'" + key + "' is not a setting of the FIRE minimiser");
    }
    return s;
}
