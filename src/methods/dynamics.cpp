#include "dynamics.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "settings.h"

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

// The value of a required parameter; every name given must be one of `known`.
double required(const Numbers& given, const std::string& method, const char* key)
{
    const auto it = given.find(key);
    if (it == given.end())
        throw std::invalid_argument(method + " needs the parameter " + key);
    return it->second;
}

std::optional<double> optional(const Numbers& given, const char* key)
{
    const auto it = given.find(key);
    return it == given.end() ? std::nullopt : std::optional<double>(it->second);
}

void only(const Numbers& given, const std::string& method, std::initializer_list<const char*> known)
{
    for (const auto& entry : given) {
        bool found = false;
        for (const char* k : known)
            found = found || entry.first == k;
        if (!found) {
            std::string names;
            for (const char* k : known)
                names += std::string(names.empty() ? "" : ", ") + k;
            throw std::invalid_argument(entry.first + " is not a parameter of " + method +
                                        (names.empty() ? std::string(" (it has none)") : " (it has " + names + ")"));
        }
    }
}

int chain_length(double value)
{
    if (!(value >= 1.0 && value <= 1000.0 && value == static_cast<double>(static_cast<int>(value)))) {
        std::ostringstream msg;
        msg << "chain = " << value << " is not allowed: the chain has 1 to 1000 thermostats";
        throw std::invalid_argument(msg.str());
    }
    return static_cast<int>(value);
}

void check_size(const std::vector<double>& state, std::size_t size, const std::string& method)
{
    if (state.size() != size) {
        std::ostringstream msg;
        msg << "the saved state of " << method << " has " << state.size() << " numbers, expected " << size;
        throw std::invalid_argument(msg.str());
    }
}

}  // namespace

Method make_method(const std::string& name, const Numbers& p)
{
    if (name == "berendsen") {
        only(p, name, {"tau"});
        return Berendsen(optional(p, "tau"));
    }
    if (name == "nve") {
        only(p, name, {});
        return NVE();
    }
    if (name == "langevin") {
        only(p, name, {"friction"});
        return Langevin(required(p, name, "friction"));
    }
    if (name == "bussi") {
        only(p, name, {"tau"});
        return Bussi(required(p, name, "tau"));
    }
    if (name == "nose_hoover") {
        only(p, name, {"tau", "chain"});
        const std::optional<double> chain = optional(p, "chain");
        return NoseHoover(required(p, name, "tau"), chain ? chain_length(*chain) : 3);
    }
    throw std::invalid_argument("method '" + name +
                                "' is not allowed: use berendsen, nve, langevin, bussi or nose_hoover");
}

std::string method_name(const Method& m)
{
    return std::visit(Overload{[](const Berendsen&) { return "berendsen"; }, [](const NVE&) { return "nve"; },
                               [](const Langevin&) { return "langevin"; }, [](const Bussi&) { return "bussi"; },
                               [](const NoseHoover&) { return "nose_hoover"; }},
                      m);
}

Numbers method_parameters(const Method& m)
{
    return std::visit(Overload{[](const Berendsen& b) { return b.tau ? Numbers{{"tau", *b.tau}} : Numbers{}; },
                               [](const NVE&) { return Numbers{}; },
                               [](const Langevin& l) { return Numbers{{"friction", l.friction}}; },
                               [](const Bussi& b) { return Numbers{{"tau", b.tau}}; },
                               [](const NoseHoover& n) {
                                   return Numbers{{"tau", n.tau}, {"chain", static_cast<double>(n.chain)}};
                               }},
                      m);
}

// Berendsen, Langevin, Bussi: the work (or heat) so far; NoseHoover: xi then p.
std::vector<double> method_state(const Method& m)
{
    return std::visit(Overload{[](const Berendsen& b) { return std::vector<double>{b.work}; },
                               [](const NVE&) { return std::vector<double>{}; },
                               [](const Langevin& l) { return std::vector<double>{l.heat}; },
                               [](const Bussi& b) { return std::vector<double>{b.work}; },
                               [](const NoseHoover& n) {
                                   std::vector<double> s(n.xi);
                                   s.insert(s.end(), n.p.begin(), n.p.end());
                                   return s;
                               }},
                      m);
}

void restore_method_state(Method& m, const std::vector<double>& s)
{
    const std::string name = method_name(m);
    for (std::size_t k = 0; k < s.size(); ++k) {
        if (!std::isfinite(s[k])) {
            std::ostringstream msg;
            msg << "the saved state of " << name << " holds " << s[k] << " at entry " << k
                << ": a state the steps leave is finite";
            throw std::invalid_argument(msg.str());
        }
    }
    std::visit(Overload{[&](Berendsen& b) { check_size(s, 1, name), b.work = s[0]; },
                        [&](NVE&) { check_size(s, 0, name); },
                        [&](Langevin& l) { check_size(s, 1, name), l.heat = s[0]; },
                        [&](Bussi& b) { check_size(s, 1, name), b.work = s[0]; },
                        [&](NoseHoover& n) {
                            const std::size_t m = n.xi.size();
                            check_size(s, 2 * m, name);
                            n.xi.assign(s.begin(), s.begin() + static_cast<long>(m));
                            n.p.assign(s.begin() + static_cast<long>(m), s.end());
                        }},
               m);
}

CRescale make_barostat(const Numbers& p)
{
    only(p, "CRescale", {"pressure", "tau", "compressibility"});
    return CRescale(required(p, "CRescale", "pressure"), required(p, "CRescale", "tau"),
                    optional(p, "compressibility"));
}

Numbers barostat_parameters(const CRescale& b)
{
    Numbers p{{"pressure", b.pressure}, {"tau", b.tau}};
    if (b.compressibility)
        p["compressibility"] = *b.compressibility;
    return p;
}

void restore_barostat_state(CRescale& b, double work, double start_volume)
{
    if (!std::isfinite(work)) {
        std::ostringstream msg;
        msg << "the saved barostat work " << work << " is not allowed: the work of the moves is finite";
        throw std::invalid_argument(msg.str());
    }
    if (!(std::isfinite(start_volume) && start_volume >= 0.0)) {
        std::ostringstream msg;
        msg << "the saved barostat start volume " << start_volume
            << " is not allowed: it is a finite positive volume, or 0 before the barostat began";
        throw std::invalid_argument(msg.str());
    }
    b.work = work;
    b.start_volume = start_volume;
}

void Dynamics::configure(Method m, std::optional<CRescale> b, std::optional<std::uint64_t> s)
{
    const bool stochastic = std::holds_alternative<Langevin>(m) || std::holds_alternative<Bussi>(m);
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
    // A refused step leaves the run as it was: the method's time constants are
    // checked, and the barostat's move drawn and checked, before the step touches
    // the particles; what the barostat and the cell took on meanwhile is put back.
    std::visit([&](const auto& m) { m.check(cell, ctx); }, method);
    const double ekin = cell.get_ekin();
    const std::optional<CRescale> before = barostat;  // a few numbers: copied every step
    try {
        // Before its first step a cell has no kinetic energy of its own yet; the
        // chain and the barostat read it before the first kick.
        if (step == 0)
            cell.set_ekin(cell.kinetic_energy_of_velocities());
        if (barostat) {
            barostat->resolve(cell, ctx.kT);
            if (!barostat->measured())
                barostat->measure(cell);
            barostat->plan(cell, ctx);
        }
    } catch (...) {
        barostat = before;
        cell.set_ekin(ekin);
        throw;
    }
    std::visit([&](auto& m) { m.step(cell, ctx); }, method);
    if (barostat)
        barostat->measure(cell);
}

double Dynamics::conserved(const Cell& cell) const
{
    const StepContext ctx = context(cell, 0, 0.0, false);
    double extra = std::visit([&](const auto& m) { return m.extra_energy(ctx); }, method);
    if (barostat)
        extra += barostat->extra_energy(cell);
    return cell.get_etot() + extra;
}
