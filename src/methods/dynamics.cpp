#include "dynamics.h"

#include "settings.h"

void Dynamics::configure(Method m, std::optional<CRescale> b, std::optional<std::uint64_t> s)
{
    const bool stochastic = method_kind(m).stochastic;
    if (!s && (stochastic || b)) {
        const std::string who = stochastic ? "the " + method_name(m) + " method" : std::string("the CRescale barostat");
        throw std::invalid_argument("seed = None is not allowed with " + who +
                                    ": it draws random numbers, keyed by the seed; give an integer seed");
    }
    if (b && std::holds_alternative<NVE>(m))
        throw std::invalid_argument(
            "the CRescale barostat needs a thermostat to hold the temperature it assumes: use it with "
            "langevin, bussi, nose_hoover or berendsen, not nve");
    method = std::move(m);
    barostat = std::move(b);
    seed = s;
}

void Dynamics::configure(const std::string& name, const Numbers& parameters, const std::optional<Numbers>& b)
{
    std::optional<CRescale> made;
    if (b)
        made = make_barostat(*b);
    configure(make_method(name, parameters), std::move(made), seed);
}

void Dynamics::state_changed()
{
    if (!barostat)
        return;
    CRescale fresh = make_barostat(barostat_parameters(*barostat));
    fresh.work = barostat->work;
    configure(method, std::move(fresh), seed);
}

DynamicsRecord Dynamics::record() const
{
    DynamicsRecord r;
    r.method = method_name(method);
    r.method_parameters = method_parameters(method);
    r.method_state = method_state(method);
    if (barostat) {
        r.has_barostat = true;
        r.barostat_parameters = barostat_parameters(*barostat);
        r.barostat_work = barostat->work;
        r.barostat_start_volume = barostat->start_volume;
    }
    return r;
}

void Dynamics::restore(const DynamicsRecord& r, std::optional<std::uint64_t> s)
{
    Method m = make_method(r.method, r.method_parameters);
    restore_method_state(m, r.method_state);
    std::optional<CRescale> b;
    if (r.has_barostat) {
        b = make_barostat(r.barostat_parameters);
        restore_barostat_state(*b, r.barostat_work, r.barostat_start_volume);
    }
    configure(std::move(m), std::move(b), s);
}

StepContext Dynamics::context(const Cell& cell, unsigned int step, double dt, bool verbose) const
{
    const Parameters& p = cell.parameters();
    const Species& mix = cell.get_species();
    const double n = static_cast<double>(cell.particles());
    return StepContext{step, dt, verbose, settings::real(p, "kT"),
                       mix.empty() ? settings::real(p, "mass") : 0.0, mix.empty() ? nullptr : &mix,
                       n > 1.0 ? 3.0 * n - 3.0 : 0.0, seed.value_or(0),
                       barostat ? const_cast<CRescale*>(&*barostat) : nullptr};
}

void Dynamics::step(Cell& cell, unsigned int step, double dt, bool verbose)
{
    const StepContext ctx = context(cell, step, dt, verbose);
    StepStages stages(cell);
    // A refused step leaves the run as it was: the method's time constants are
    // checked, and the barostat's move drawn and checked, before the step touches
    // the particles; what the barostat and the cell took on meanwhile is put back.
    std::visit([&](const auto& m) { m.check(stages, ctx); }, method);
    const double ekin = stages.ekin();
    const std::optional<CRescale> before = barostat;  // a few numbers: copied every step
    try {
        // Before its first step a cell has no kinetic energy of its own yet; the
        // chain and the barostat read it before the first kick.
        if (step == 0)
            stages.set_ekin(stages.kinetic_energy_of_velocities());
        if (barostat) {
            barostat->resolve(stages, ctx.kT);
            if (!barostat->measured())
                barostat->measure(stages);
            barostat->plan(stages, ctx);
        }
    } catch (...) {
        barostat = before;
        stages.set_ekin(ekin);
        throw;
    }
    std::visit([&](auto& m) { m.step(stages, ctx); }, method);
    if (barostat)
        barostat->measure(stages);
}

double Dynamics::conserved(const Cell& cell) const
{
    const StepContext ctx = context(cell, 0, 0.0, false);
    double extra = std::visit([&](const auto& m) { return m.extra_energy(ctx); }, method);
    if (barostat)
        extra += barostat->extra_energy(cell.get_dims());
    return cell.get_etot() + extra;
}
