// Registration of the tabulated potential (mode none: the table as given, cut at
// its last point). No mixing rule: every pair of types has its table.
//
// A table is accepted when it has at least 2 points, r strictly increasing and
// evenly spaced (to 1e-6 of the spacing), r_0 > 0, every value finite, and fine
// enough that the force agrees with the energy: over every interval the
// trapezoid of F matches the drop of E to 1e-3 of the spread of E (or of 1).
#include "family.h"
#include "table.h"

#include <algorithm>
#include <cmath>

namespace potentials {

namespace {

void check_table(const double*, const std::vector<double>* array, const std::string& pair)
{
    const std::size_t n = array ? array->size() / 3 : 0;
    require(array && n >= 2 && array->size() == 3 * n, "points", static_cast<double>(n),
            "at least 2, with r, energy and force of equal length", pair);
    const double* r = array->data();
    const double* e = r + n;
    const double* f = e + n;
    for (std::size_t k = 0; k < 3 * n; ++k)
        require(std::isfinite(r[k]), k < n ? "r" : k < 2 * n ? "energy" : "force", r[k], "finite", pair);
    require(r[0] > 0.0, "r", r[0], "positive", pair);
    const double dr = (r[n - 1] - r[0]) / static_cast<double>(n - 1);
    double lo = e[0], hi = e[0];
    for (std::size_t k = 1; k < n; ++k) {
        require(r[k] > r[k - 1], "r", r[k], "increasing", pair);
        require(std::abs((r[k] - r[k - 1]) - dr) <= 1e-6 * dr, "r", r[k], "evenly spaced", pair);
        lo = std::min(lo, e[k]);
        hi = std::max(hi, e[k]);
    }
    const double tolerance = 1e-3 * std::max(1.0, hi - lo);
    for (std::size_t k = 1; k < n; ++k) {
        const double drop = e[k - 1] - e[k];
        const double work = 0.5 * (f[k - 1] + f[k]) * (r[k] - r[k - 1]);
        require(std::abs(drop - work) <= tolerance, "r", r[k],
                "on a grid fine enough that the force integrates to the energy (refine the table)", pair);
    }
}

void table_coefficients(const double*, const std::vector<double>* array, PairCoefficients& c,
                        std::vector<double>& data)
{
    const std::size_t n = array->size() / 3;
    const double* r = array->data();
    c.params[0] = r[0];
    c.params[1] = static_cast<double>(n - 1) / (r[n - 1] - r[0]);
    c.params[2] = static_cast<double>(n);
    c.params[3] = static_cast<double>(data.size());
    data.insert(data.end(), array->begin() + static_cast<std::ptrdiff_t>(n), array->end());
    c.rcut = r[n - 1];
}

}  // namespace

const PairFamily& table_family()
{
    static const PairFamily f = with_evaluator<TableEvaluator>(
        {"table", "E(r) and F(r) at evenly spaced r, interpolated linearly in r", {}, {"none"}, "explicit", 0,
         TableEvaluator::shift_param, check_table, table_coefficients, nullptr, nullptr, {}, {}, nullptr});
    return f;
}

}  // namespace potentials
