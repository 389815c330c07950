// The potentials the engine tests run through: every family and mode, each
// with the parameters of one type and of two (the second type's first parameter
// larger, so that the pairs differ), all with cut-offs within 2.5.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "pair_potential.h"

struct PotentialCase {
    std::string family;
    std::string mode;
    std::vector<double> values;  // the like pair of type 0
};

inline std::vector<PotentialCase> potential_cases()
{
    return {{"lj", "shift", {1.0, 1.0, 2.5}},         {"lj", "none", {1.0, 1.0, 2.5}},
            {"lj", "force_shift", {1.0, 1.0, 2.5}},   {"wca", "shift", {1.0, 1.0}},
            {"mie", "shift", {1.0, 1.0, 14.0, 7.0, 2.5}}, {"mie", "force_shift", {1.0, 1.0, 9.5, 6.0, 2.2}},
            {"yukawa", "shift", {2.0, 1.5, 2.5}},     {"yukawa", "none", {-1.0, 0.5, 2.0}},
            {"morse", "shift", {1.0, 2.0, 1.1, 2.5}}, {"morse", "force_shift", {0.7, 3.0, 1.0, 2.0}},
            {"table", "none", {}}};
}

// A soft tabulated pair, E = (rc - r)^2, F = 2 (rc - r), from r = 0.01 to rc:
// finite at every distance the tests place particles.
inline std::vector<double> soft_table(double rc = 2.5)
{
    const int n = 250;
    std::vector<double> r(n), e(n), f(n);
    for (int k = 0; k < n; ++k) {
        r[k] = 0.01 + (rc - 0.01) * k / (n - 1);
        e[k] = (rc - r[k]) * (rc - r[k]);
        f[k] = 2.0 * (rc - r[k]);
    }
    std::vector<double> columns(r);
    columns.insert(columns.end(), e.begin(), e.end());
    columns.insert(columns.end(), f.begin(), f.end());
    return columns;
}

// The case over S types: pair (a, b) takes the values with the first times
// 1 + (a + b) / 4. A table's one value, if given, is its cut-off (2.5 if not).
inline PairPotential potential_of(const PotentialCase& c, std::size_t s)
{
    PairPotential p;
    p.family = c.family;
    p.mode = c.mode;
    p.nr_types = s;
    for (std::size_t a = 0; a < s; ++a)
        for (std::size_t b = 0; b < s; ++b) {
            if (c.family == "table") {
                p.arrays.push_back(soft_table(c.values.empty() ? 2.5 : c.values[0]));
                continue;
            }
            for (std::size_t k = 0; k < c.values.size(); ++k)
                p.values.push_back(k == 0 ? c.values[k] * (1.0 + 0.25 * static_cast<double>(a + b)) : c.values[k]);
        }
    return p;
}
