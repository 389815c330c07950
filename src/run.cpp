#include "run.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "settings.h"

RunSettings read_run_settings(const Parameters& p)
{
    RunSettings s;
    s.stepsize = settings::real(p, "stepsize");
    s.nrsteps = settings::count(p, "nrsteps");
    s.nr_particles = settings::count(p, "nr_particles");
    return s;
}

Run::Run(Cell& c, std::shared_ptr<Parameters> p, unsigned int every_k, bool log, bool verbose_steps,
         unsigned int steps_done)
    : cell(c), params(std::move(p)), every(every_k), keep_log(log), verbose(verbose_steps), step(steps_done)
{
}

void Run::start_at(unsigned int steps)
{
    if (step != 0 || !energies.ekin.empty())
        throw std::logic_error("a run that has stepped cannot take over another step count");
    step = first_logged = steps;
}

void Run::restore_log(EnergyLog log, unsigned int log_start)
{
    if (log_start > step)
        throw std::invalid_argument("the energy log cannot start after the steps done");
    const std::size_t logged = step - log_start;
    if (log.ekin.size() != logged || log.epot.size() != logged || log.etot.size() != logged)
        throw std::invalid_argument("the energy log must hold one entry per step done");
    for (const std::vector<double>* series : {&log.ekin, &log.epot, &log.etot}) {
        if (!std::all_of(series->begin(), series->end(), [](double x) { return std::isfinite(x); }))
            throw std::invalid_argument("the energy log must hold finite energies, as every step leaves them");
    }
    for (const auto* extra : {&log.conserved, &log.volume, &log.pressure}) {
        if (!extra->empty() && extra->size() != logged)
            throw std::invalid_argument(
                "the log of conserved, volume and pressure must hold one entry per step done, or none");
    }
    energies = std::move(log);
    first_logged = log_start;
}

namespace {

// Room for `more` entries; at least doubling, so that runs of one step at a time
// (simulate's loop) do not copy the whole log at every step.
void grow(std::vector<double>& series, std::size_t more)
{
    if (series.capacity() < series.size() + more)
        series.reserve(std::max(series.size() + more, 2 * series.capacity()));
}

}  // namespace

void Run::record()
{
    energies.ekin.push_back(cell.get_ekin());
    energies.epot.push_back(cell.get_epot());
    energies.etot.push_back(cell.get_etot());
    if (!dynamics)
        return;
    // a log restored without these entries gets them for the steps before
    const std::size_t before = energies.ekin.size() - 1;
    for (auto* extra : {&energies.conserved, &energies.volume, &energies.pressure})
        extra->resize(before, std::numeric_limits<double>::quiet_NaN());
    const vec3& box = cell.get_dims();
    energies.conserved.push_back(dynamics->conserved(cell));
    energies.volume.push_back(box.x() * box.y() * box.z());
    const auto& barostat = dynamics->get_barostat();
    energies.pressure.push_back(barostat ? barostat->measured_pressure(cell.get_dims()) : std::numeric_limits<double>::quiet_NaN());
}

void Run::begin(unsigned int count)
{
    if (count > std::numeric_limits<unsigned int>::max() - step) {
        std::ostringstream msg;
        msg << "steps = " << count << " is not allowed: the step counter (now " << step
            << ") cannot go beyond " << std::numeric_limits<unsigned int>::max();
        throw std::overflow_error(msg.str());
    }
    was_stopped = false;
    if (keep_log) {
        // at most a million entries ahead: a huge count is not a reason to fail early
        const std::size_t more = std::min<std::size_t>(count, std::size_t(1) << 20);
        for (auto* series : {&energies.ekin, &energies.epot, &energies.etot})
            grow(*series, more);
        if (dynamics) {
            for (auto* series : {&energies.conserved, &energies.volume, &energies.pressure})
                grow(*series, more);
        }
    }
}

double Run::time_step() const { return settings::real(*params, "stepsize"); }

void Run::one_step(double dt)
{
    if (dynamics)
        dynamics->step(cell, step, dt, verbose);
    else
        cell.integrate(step, dt, verbose);
    ++step;
    if (keep_log)
        record();
}

unsigned int read_particle_count(const Parameters& p)
{
    if (p.entries().count("nrsteps"))
        return read_run_settings(p).nr_particles;
    settings::real(p, "stepsize");
    return settings::count(p, "nr_particles");
}

void check_start_rows(const CellOptions& o, unsigned int n)
{
    for (const auto& [what, rows] : {std::pair<const char*, std::size_t>{"positions", o.positions.size()},
                                     {"velocities", o.velocities.size()}}) {
        if (rows != 0 && rows != n) {
            std::ostringstream msg;
            msg << what << " has " << rows << " rows, but nr_particles = " << n;
            throw std::invalid_argument(msg.str());
        }
    }
}
