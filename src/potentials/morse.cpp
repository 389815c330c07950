// Registration of Morse (modes shift, none, force_shift). No mixing rule:
// every pair of types is given.
#include "family.h"
#include "morse.h"

namespace potentials {

namespace {

void check_morse(const double* v, const std::vector<double>*, const std::string& pair)
{
    require(positive(v[0]), "D0", v[0], "positive", pair);
    require(positive(v[1]), "alpha", v[1], "positive", pair);
    require(positive(v[2]), "r0", v[2], "positive", pair);
    require(positive(v[3]), "rcut", v[3], "positive", pair);
}

void morse_coefficients(const double* v, const std::vector<double>*, PairCoefficients& c, std::vector<double>&)
{
    c.params[0] = v[1];
    c.params[1] = v[2];
    c.rcut = v[3];
    c.energy_factors[1] = v[0];
    c.force_scale = v[0];
}

}  // namespace

const PairFamily& morse_family()
{
    static const PairFamily f = with_evaluator<MorseEvaluator>(
        {"morse", "D0 [exp(-2 alpha (r - r0)) - 2 exp(-alpha (r - r0))]",
         {{"D0", "> 0"}, {"alpha", "> 0"}, {"r0", "> 0"}, {"rcut", "> 0"}}, {"shift", "none", "force_shift"},
         "explicit", 0, MorseEvaluator::shift_param, check_morse, morse_coefficients, nullptr, nullptr, {}, {}, nullptr});
    return f;
}

}  // namespace potentials
