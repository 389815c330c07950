// Helpers shared by the registrations of potentials/*.cpp: the rule checks and
// the family entries derived from an evaluator.
#pragma once

#include "force_shift.h"
#include "pair_loop.h"
#include "pair_potential.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

namespace potentials {

// Throws std::invalid_argument "name = value of pair is not allowed: it must be rule".
inline void require(bool ok, const char* name, double value, const char* rule, const std::string& pair)
{
    if (ok)
        return;
    std::ostringstream msg;
    msg << name << " = " << value << " of " << pair << " is not allowed: it must be " << rule;
    throw std::invalid_argument(msg.str());
}

inline bool positive(double x) { return std::isfinite(x) && x > 0.0; }

// The scalar reduced terms of an evaluator, over the given data.
template <class Eval>
void reduced(const double* params, const double* data, double distsq, double& e, double& w)
{
    kernels::PairTableView view{};
    view.nr_types = 1;  // the one pair given
    for (int k = 0; k < Eval::nr_params; ++k)
        view.params[k] = params + k;
    view.data = data;
    const Eval eval(view);
    eval(params, distsq, e, w);
}

// A family entry's evaluator-derived fields: nr_params, reduced terms and loops.
template <class Eval>
PairFamily with_evaluator(PairFamily f)
{
    f.nr_params = Eval::nr_params;
    f.reduced = reduced<Eval>;
    f.reduced_force_shifted = reduced<ForceShifted<Eval>>;
    f.plain = kernels::pair_kernels<Eval>();
    f.force_shifted = kernels::pair_kernels<ForceShifted<Eval>>();
    return f;
}

// Tail integrals of C eps [(s/r)^n - (s/r)^m] beyond rc: int r^2 u dr and int r^3 u' dr.
inline void mie_tail(double c_eps, double sigma, double n, double m, double rcut, double& energy, double& virial)
{
    const double s3 = sigma * sigma * sigma;
    const double an = std::pow(sigma / rcut, n - 3.0) / (n - 3.0);
    const double am = std::pow(sigma / rcut, m - 3.0) / (m - 3.0);
    energy = c_eps * s3 * (an - am);
    virial = c_eps * s3 * (-n * an + m * am);
}

}  // namespace potentials
