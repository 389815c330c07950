// Registration of Lennard-Jones (modes shift, none, force_shift) and of WCA, the
// same evaluator cut at the minimum 2^(1/6) s and shifted (potentials/lj.h).
// Mixing: Lorentz-Berthelot, eps_ab = sqrt(eps_a eps_b), s_ab = (s_a + s_b) / 2,
// the cut-off the larger one (WCA: from s_ab).
#include "family.h"
#include "lj.h"

#include <cmath>

namespace potentials {

namespace {

void check_lj(const double* v, const std::vector<double>*, const std::string& pair)
{
    require(positive(v[0]), "epsilon", v[0], "positive", pair);
    require(positive(v[1]), "sigma", v[1], "positive", pair);
    require(positive(v[2]), "rcut", v[2], "positive", pair);
}

void lj_coefficients(const double* v, const std::vector<double>*, PairCoefficients& c, std::vector<double>&)
{
    c.params[0] = v[1] * v[1];
    c.rcut = v[2];
    c.energy_factors[0] = 4.0;
    c.energy_factors[1] = v[0];
    c.force_scale = 24.0 * v[0];
}

void lj_tail(const double* v, double rcut, double& energy, double& virial)
{
    mie_tail(4.0 * v[0], v[1], 12.0, 6.0, rcut, energy, virial);
}

void check_wca(const double* v, const std::vector<double>*, const std::string& pair)
{
    require(positive(v[0]), "epsilon", v[0], "positive", pair);
    require(positive(v[1]), "sigma", v[1], "positive", pair);
}

void wca_coefficients(const double* v, const std::vector<double>*, PairCoefficients& c, std::vector<double>& d)
{
    const double lj[3] = {v[0], v[1], std::pow(2.0, 1.0 / 6.0) * v[1]};
    lj_coefficients(lj, nullptr, c, d);
}

}  // namespace

const PairFamily& lj_family()
{
    static const PairFamily f = with_evaluator<LJEvaluator>(
        {"lj", "4 epsilon [(sigma/r)^12 - (sigma/r)^6]", {{"epsilon", "> 0"}, {"sigma", "> 0"}, {"rcut", "> 0"}},
         {"shift", "none", "force_shift"}, "lorentz-berthelot", 0, LJEvaluator::shift_param, check_lj,
         lj_coefficients, nullptr, nullptr, {}, {}, lj_tail});
    return f;
}

const PairFamily& wca_family()
{
    static const PairFamily f = with_evaluator<LJEvaluator>(
        {"wca", "4 epsilon [(sigma/r)^12 - (sigma/r)^6] + epsilon for r < 2^(1/6) sigma",
         {{"epsilon", "> 0"}, {"sigma", "> 0"}}, {"shift"}, "lorentz-berthelot", 0, LJEvaluator::shift_param,
         check_wca, wca_coefficients, nullptr, nullptr, {}, {}, nullptr});
    return f;
}

}  // namespace potentials
