// Registration of Yukawa (modes shift, none, force_shift). No mixing rule:
// every pair of types is given.
#include "family.h"
#include "yukawa.h"

#include <cmath>

namespace potentials {

namespace {

void check_yukawa(const double* v, const std::vector<double>*, const std::string& pair)
{
    require(std::isfinite(v[0]) && v[0] != 0.0, "epsilon", v[0], "finite and not zero", pair);
    require(std::isfinite(v[1]) && v[1] >= 0.0, "kappa", v[1], "zero or positive", pair);
    require(positive(v[2]), "rcut", v[2], "positive", pair);
}

void yukawa_coefficients(const double* v, const std::vector<double>*, PairCoefficients& c, std::vector<double>&)
{
    c.params[0] = v[1];
    c.rcut = v[2];
    c.energy_factors[1] = v[0];
    c.force_scale = v[0];
}

}  // namespace

const PairFamily& yukawa_family()
{
    static const PairFamily f = with_evaluator<YukawaEvaluator>(
        {"yukawa", "epsilon exp(-kappa r) / r", {{"epsilon", "!= 0"}, {"kappa", ">= 0"}, {"rcut", "> 0"}},
         {"shift", "none", "force_shift"}, "explicit", 0, YukawaEvaluator::shift_param, check_yukawa,
         yukawa_coefficients, nullptr, nullptr, {}, {}, nullptr});
    return f;
}

}  // namespace potentials
