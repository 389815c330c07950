// Lennard-Jones: u(r) = 4 eps [ (s/r)^12 - (s/r)^6 - shift ].
//
// Reduced terms (energy scale 4 eps, force scale 24 eps), with sr2 = s^2 / distsq:
//   sr6 = (sr2 sr2) sr2,  sr12 = sr6 sr6
//   e = (sr12 - sr6) - shift                  shift: (s/rc)^12 - (s/rc)^6, or 0 unshifted
//   w = (sr12 + sr12) - sr6                   r . F / 24 eps
// Only r^2 is needed. The operations and their order are part of the results:
// every loop gets the same bits for the same pair. WCA is this evaluator with
// the cut-off at 2^(1/6) s.
#pragma once

#include "kernels.h"
#include "pair_table.h"

struct LJEvaluator {
    static constexpr int nr_params = 2;  // s^2, shift
    static constexpr int shift_param = 1;
    explicit LJEvaluator(const kernels::PairTableView&) {}
    LJEvaluator() = default;

    template <class V>
    VORLAN_INLINE void operator()(const V* p, V distsq, V& e, V& w) const
    {
        const V sr2 = p[0] / distsq;
        const V sr6 = (sr2 * sr2) * sr2;
        const V sr12 = sr6 * sr6;
        e = (sr12 - sr6) - p[1];
        w = (sr12 + sr12) - sr6;
    }
};

// The energy term at the cut-off, subtracted from every pair so that the pair
// energy vanishes there.
inline double lj_epot_cutoff(double sigmasq, double rcutsq)
{
    const double p[2] = {sigmasq, 0.0};
    double e, w;
    LJEvaluator()(p, rcutsq, e, w);
    return e;
}
