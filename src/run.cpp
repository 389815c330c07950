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

void Run::restore_log(EnergyLog log)
{
    if (log.ekin.size() != step || log.epot.size() != step || log.etot.size() != step)
        throw std::invalid_argument("the energy log must hold one entry per step done");
    for (const std::vector<double>* series : {&log.ekin, &log.epot, &log.etot}) {
        if (!std::all_of(series->begin(), series->end(), [](double x) { return std::isfinite(x); }))
            throw std::invalid_argument("the energy log must hold finite energies, as every step leaves them");
    }
    energies = std::move(log);
}

unsigned int Run::advance(unsigned int count, RunObserver& observer)
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
        energies.ekin.reserve(energies.ekin.size() + more);
        energies.epot.reserve(energies.epot.size() + more);
        energies.etot.reserve(energies.etot.size() + more);
    }
    observer.start(step);
    double dt = settings::real(*params, "stepsize");
    unsigned int done = 0;
    bool seen = false;  // every() saw the latest step
    while (done < count) {
        cell.integrate(step, dt, verbose);
        ++step;
        ++done;
        if (keep_log) {
            energies.ekin.push_back(cell.get_ekin());
            energies.epot.push_back(cell.get_epot());
            energies.etot.push_back(cell.get_etot());
        }
        seen = every != 0 && step % every == 0;
        if (seen) {
            observer.every(step);
            dt = settings::real(*params, "stepsize");
        }
        if (!observer.go_on(step)) {
            was_stopped = true;
            break;
        }
    }
    if (done > 0)
        observer.last(step, seen);
    return done;
}
