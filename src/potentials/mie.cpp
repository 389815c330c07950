// Registration of Mie (modes shift, none, force_shift). Mixing:
// Lorentz-Berthelot for eps and s, the exponents of the two species must agree,
// the cut-off the larger one.
#include "family.h"
#include "mie.h"

#include <cmath>

namespace potentials {

namespace {

void check_mie(const double* v, const std::vector<double>*, const std::string& pair)
{
    require(positive(v[0]), "epsilon", v[0], "positive", pair);
    require(positive(v[1]), "sigma", v[1], "positive", pair);
    require(positive(v[3]), "m", v[3], "positive", pair);
    require(std::isfinite(v[2]) && v[2] > v[3], "n", v[2], "larger than m", pair);
    require(positive(v[4]), "rcut", v[4], "positive", pair);
}

double mie_prefactor(double n, double m)
{
    return (n / (n - m)) * std::pow(n / m, m / (n - m));
}

void mie_coefficients(const double* v, const std::vector<double>*, PairCoefficients& c, std::vector<double>&)
{
    const double n = v[2], m = v[3];
    c.params[0] = v[1] * v[1];
    c.params[1] = 0.5 * n;
    c.params[2] = 0.5 * m;
    c.params[3] = n;
    c.params[4] = m;
    c.rcut = v[4];
    c.energy_factors[0] = mie_prefactor(n, m);
    c.energy_factors[1] = v[0];
    c.force_scale = c.energy_factors[0] * v[0];
}

void mie_tail(const double* v, double rcut, double& energy, double& virial)
{
    potentials::mie_tail(mie_prefactor(v[2], v[3]) * v[0], v[1], v[2], v[3], rcut, energy, virial);
}

}  // namespace

const PairFamily& mie_family()
{
    static const PairFamily f = with_evaluator<MieEvaluator>(
        {"mie", "C epsilon [(sigma/r)^n - (sigma/r)^m], C = n/(n-m) (n/m)^(m/(n-m))",
         {{"epsilon", "> 0"}, {"sigma", "> 0"}, {"n", "> m"}, {"m", "> 0"}, {"rcut", "> 0"}},
         {"shift", "none", "force_shift"}, "lorentz-berthelot", 0, MieEvaluator::shift_param, check_mie,
         mie_coefficients, nullptr, nullptr, {}, {}, mie_tail});
    return f;
}

}  // namespace potentials
