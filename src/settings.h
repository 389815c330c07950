// Typed settings: every key of a parameter set has one type and one rule, and is
// read through this layer at the moment an operation needs it (nothing is cached,
// so a value changed between runs takes effect at its next use).
//
// A value outside its rule throws std::invalid_argument with one message format:
//     "KEY = VALUE is not allowed: REASON"
//     "KEY1 = VALUE1 and KEY2 = VALUE2 are not allowed: REASON"   (rules over two keys)
// A missing key and a text that does not convert keep the errors of Parameters
// ("Could not find parameter: KEY", boost::bad_lexical_cast).
//
// check_settings applies every rule, single-key and cross-key, to a parameter set
// without building anything: the same functions the engine calls, so a set it
// passes is one the engine accepts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "parameters.h"

namespace settings {

enum class Type {
    Real,      // double, finite
    Count,     // int, not negative (particle numbers: the list stores 32-bit offsets)
    Unsigned,  // unsigned int (0 .. 4294967295)
};

enum class Range {
    Any,          // finite
    Positive,     // > 0
    NonNegative,  // >= 0
};

struct Rule {
    const char* key;
    Type type;
    Range range;
    const char* range_text;  // the allowed values, for people (cross-key rules included)
    const char* meaning;     // what the value is, e.g. "box edge"
};

// One row per key, in the order a run reads them.
const std::vector<Rule>& rules();
// The row of `key`, or null for a key without a rule.
const Rule* find_rule(const std::string& key);
const char* type_name(Type);

// The value of a Real key, checked against its rule.
double real(const Parameters&, const std::string& key);
// The value of a Count or Unsigned key, checked against its rule.
unsigned int count(const Parameters&, const std::string& key);

// Message of a value that breaks a rule over two keys.
std::string not_allowed(const std::string& key1, double value1, const std::string& key2, double value2,
                        const std::string& reason);

// The neighbour-list radius rcut + shell, reading rcut then shell: rcut + shell
// must be positive, shell not negative, and rcut at most half the shortest box
// edge (beyond it the minimum image misses pairs within the cutoff).
struct ListRadius {
    double shell;
    double rlist;  // rcut + shell
};
ListRadius list_radius(const Parameters&, const Eigen::Vector3d& dims);
// The same with the largest cut-off of a mixture in place of rcut (shell still read).
ListRadius list_radius(const Parameters&, const Eigen::Vector3d& dims, double cutoff);

// tau, checked against the time step: with stepsize > tau the Berendsen factor
// sqrt(1 + (ekin0/ekin - 1) dt/tau) has a negative radicand far above the target.
double thermostat_time(const Parameters&, double stepsize);

// sqrt(kT / mass), the spread of each start velocity component; reads kT then mass.
double velocity_scale(const Parameters&);
// The error for start velocities that are not finite.
std::string velocity_spread_message(double kT, double mass);

// The simple-cubic start lattice: nx x ny x nz sites of spacing (dx, dy, dz),
// cell-centred, at least n of them.
struct Lattice {
    std::size_t nx, ny, nz;
    double dx, dy, dz;
};
// Throws std::invalid_argument naming cell_length and nr_particles when the box
// cannot hold n sites with a finite, non-zero spacing (box volume over- or
// underflowing in double precision). With n = 0 the lattice has no sites.
Lattice lattice(const Eigen::Vector3d& dims, std::size_t n);

}  // namespace settings

struct SettingProblem {
    std::string key;
    std::string message;
};

// Every problem of a parameter set, in the order of the rules table: missing keys,
// texts that do not convert, values outside their rule, then the cross-key rules
// (list radius, time step against tau, start lattice, velocity spread), each
// checked only when the keys it involves are sound.
std::vector<SettingProblem> check_settings(const Parameters&);
