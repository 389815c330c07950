#include "settings.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace settings {

const Rule* find_rule(const std::string& key)
{
    for (const Rule& r : rules()) {
        if (key == r.key)
            return &r;
    }
    return nullptr;
}

namespace {

const Rule& rule_of(const std::string& key, Type type)
{
    const Rule* r = find_rule(key);
    if (!r || (r->type == Type::Real) != (type == Type::Real))
        throw std::logic_error("no setting rule of this type for the key " + key);
    return *r;
}

template <typename T>
[[noreturn]] void refuse(const std::string& key, T value, const std::string& reason)
{
    std::ostringstream msg;
    msg << key << " = " << value << " is not allowed: " << reason;
    throw std::invalid_argument(msg.str());
}

}  // namespace

const std::vector<Rule>& rules()
{
    static const std::vector<Rule> table = {
        {"stepsize", Type::Real, Range::NonNegative, ">= 0, <= tau", "time step"},
        {"nrsteps", Type::Unsigned, Range::NonNegative, "0 .. 4294967295", "number of time steps"},
        {"nr_particles", Type::Count, Range::NonNegative, "0 .. 2147483647, the lattice must fit the box",
         "particle count"},
        {"cell_length", Type::Real, Range::Positive, "> 0, with a finite lattice spacing for nr_particles",
         "box edge"},
        {"kT", Type::Real, Range::NonNegative, ">= 0, sqrt(kT / mass) finite", "target temperature"},
        {"mass", Type::Real, Range::Positive, "> 0", "particle mass"},
        {"rcut", Type::Real, Range::Any, "<= cell_length / 2, rcut + shell > 0", "Lennard-Jones cutoff radius"},
        {"shell", Type::Real, Range::Any, ">= 0, rcut + shell > 0", "neighbour-list skin"},
        {"sigma", Type::Real, Range::Any, "finite", "Lennard-Jones length"},
        {"epsilon", Type::Real, Range::Any, "finite", "Lennard-Jones well depth"},
        {"tau", Type::Real, Range::Positive, "> 0, >= stepsize", "thermostat relaxation time"},
    };
    return table;
}

const char* type_name(Type t)
{
    switch (t) {
    case Type::Real:
        return "real";
    case Type::Count:
        return "integer";
    case Type::Unsigned:
        return "unsigned integer";
    }
    return "?";
}

double real(const Parameters& p, const std::string& key)
{
    const Rule& r = rule_of(key, Type::Real);
    const double v = p.get_param<double>(key);
    const char* rule = !std::isfinite(v)                                ? " must be finite"
                       : r.range == Range::Positive && !(v > 0.0)       ? " must be positive"
                       : r.range == Range::NonNegative && !(v >= 0.0) ? " must not be negative"
                                                                        : nullptr;
    if (rule)
        refuse(key, v, std::string("the ") + r.meaning + rule);
    return v;
}

unsigned int count(const Parameters& p, const std::string& key)
{
    const Rule& r = rule_of(key, Type::Count);
    if (r.type == Type::Unsigned)
        return p.get_param<unsigned int>(key);
    const int v = p.get_param<int>(key);
    if (v < 0)
        refuse(key, v, std::string("the ") + r.meaning + " must not be negative");
    return static_cast<unsigned int>(v);
}

std::string not_allowed(const std::string& key1, double value1, const std::string& key2, double value2,
                        const std::string& reason)
{
    std::ostringstream msg;
    msg << key1 << " = " << value1 << " and " << key2 << " = " << value2 << " are not allowed: " << reason;
    return msg.str();
}

ListRadius list_radius(const Parameters& p, const Eigen::Vector3d& dims)
{
    return list_radius(p, dims, real(p, "rcut"));
}

ListRadius list_radius(const Parameters& p, const Eigen::Vector3d& dims, double cutoff)
{
    const double shell = real(p, "shell");
    const double rlist = cutoff + shell;
    if (!(rlist > 0.0) || !(shell >= 0.0))
        throw std::invalid_argument(not_allowed(
            "rcut", cutoff, "shell", shell,
            "the list radius rcut + shell must be positive and shell must not be negative"));
    const double edge = dims.minCoeff();
    if (cutoff > 0.5 * edge)
        throw std::invalid_argument(not_allowed(
            "rcut", cutoff, "cell_length", edge,
            "the cutoff must not exceed half the box edge (the minimum image would miss pairs within it)"));
    return {shell, rlist};
}

double thermostat_time(const Parameters& p, double stepsize)
{
    const double tau = real(p, "tau");
    if (stepsize > tau)
        throw std::invalid_argument(not_allowed(
            "stepsize", stepsize, "tau", tau,
            "the time step must not exceed the thermostat relaxation time (the Berendsen factor "
            "1 + (ekin0/ekin - 1) stepsize/tau would turn negative)"));
    return tau;
}

std::string velocity_spread_message(double kT, double mass)
{
    return not_allowed("kT", kT, "mass", mass,
                       "the start velocities, normal with spread sqrt(kT / mass), and their kinetic energy "
                       "must be finite");
}

double velocity_scale(const Parameters& p)
{
    const double kT = real(p, "kT");
    const double m = real(p, "mass");
    const double s = std::sqrt(kT / m);
    if (!std::isfinite(s))
        throw std::invalid_argument(velocity_spread_message(kT, m));
    return s;
}

Lattice lattice(const Eigen::Vector3d& dims, std::size_t n)
{
    const double volume = dims.x() * dims.y() * dims.z();
    auto refuse_lattice = [&](const char* why) {
        throw std::invalid_argument(not_allowed("cell_length", dims.x(), "nr_particles", static_cast<double>(n),
                                                std::string("no start lattice fits: ") + why));
    };
    if (!std::isfinite(volume) || !(volume > 0.0))
        refuse_lattice("the box volume cell_length^3 is not a finite positive number in double precision");
    if (n == 0)
        return Lattice{0, 0, 0, 0.0, 0.0, 0.0};

    // Simple cubic lattice with cell-centred sites, at least n of them.
    const double dl = std::pow(volume / static_cast<double>(n), 0.3333333333333333);
    const double q[3] = {std::ceil(dims.x() / dl), std::ceil(dims.y() / dl), std::ceil(dims.z() / dl)};
    // Beyond n sites along one axis the spacing is not what the volume gives.
    const double most = static_cast<double>(n) + 1.0;
    for (double qk : q) {
        if (!(qk >= 1.0 && qk <= most))
            refuse_lattice("the lattice spacing (cell_length^3 / nr_particles)^(1/3) is not a finite positive number "
                           "in double precision");
    }
    Lattice l;
    l.nx = static_cast<std::size_t>(q[0]);
    l.ny = static_cast<std::size_t>(q[1]);
    l.nz = static_cast<std::size_t>(q[2]);
    l.dx = dims.x() / static_cast<double>(l.nx);
    l.dy = dims.y() / static_cast<double>(l.ny);
    l.dz = dims.z() / static_cast<double>(l.nz);
    if (static_cast<double>(l.nx) * static_cast<double>(l.ny) * static_cast<double>(l.nz) < static_cast<double>(n) ||
        !(l.dx > 0.0) || !(l.dy > 0.0) || !(l.dz > 0.0))
        refuse_lattice("the box holds fewer lattice sites than particles in double precision");
    return l;
}

}  // namespace settings

namespace {

// Runs one read or rule; a failure becomes a problem of `key`. True when it passed.
template <typename F>
bool try_rule(std::vector<SettingProblem>& problems, const std::string& key, const Parameters& p, F&& rule)
{
    try {
        rule();
        return true;
    } catch (const boost::bad_lexical_cast&) {
        // (the engine itself reports the conversion failure of Parameters)
        const settings::Rule* r = settings::find_rule(key);
        const char* form = r->type == settings::Type::Real       ? "a number written in digits"
                           : r->type == settings::Type::Count ? "a whole number written in digits, at most 2147483647"
                                                              : "a whole number written in digits, at most 4294967295";
        problems.push_back(
            {key, key + " = " + p.entries().at(key) + " is not allowed: the " + r->meaning + " must be " + form});
    } catch (const std::exception& e) {
        problems.push_back({key, e.what()});
    }
    return false;
}

}  // namespace

std::vector<SettingProblem> check_settings(const Parameters& p)
{
    using settings::Type;
    std::vector<SettingProblem> problems;
    std::vector<std::string> sound;  // keys that passed their own rule
    for (const auto& r : settings::rules()) {
        const std::string key = r.key;
        const bool ok = try_rule(problems, key, p, [&] {
            if (r.type == Type::Real)
                settings::real(p, key);
            else
                settings::count(p, key);
        });
        if (ok)
            sound.push_back(key);
    }
    auto have = [&](std::initializer_list<const char*> keys) {
        for (const char* k : keys)
            if (std::find(sound.begin(), sound.end(), k) == sound.end())
                return false;
        return true;
    };

    if (have({"cell_length", "nr_particles"})) {
        try_rule(problems, "cell_length", p, [&] {
            const double l = settings::real(p, "cell_length");
            settings::lattice(Eigen::Vector3d(l, l, l), settings::count(p, "nr_particles"));
        });
    }
    if (have({"kT", "mass"}))
        try_rule(problems, "kT", p, [&] { settings::velocity_scale(p); });
    if (have({"rcut", "shell", "cell_length"})) {
        try_rule(problems, "rcut", p, [&] {
            const double l = settings::real(p, "cell_length");
            settings::list_radius(p, Eigen::Vector3d(l, l, l));
        });
    }
    if (have({"stepsize", "tau"}))
        try_rule(problems, "stepsize", p, [&] { settings::thermostat_time(p, settings::real(p, "stepsize")); });
    return problems;
}
