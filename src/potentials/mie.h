// Mie: u(r) = C eps [ (s/r)^n - (s/r)^m - shift ], C = n/(n-m) (n/m)^(m/(n-m)),
// n > m (Lennard-Jones is 12-6, C = 4).
//
// Reduced terms (energy and force scale C eps), with sr2 = s^2 / distsq:
//   e = (sr2^(n/2) - sr2^(m/2)) - shift
//   w = n sr2^(n/2) - m sr2^(m/2)          r . F / C eps
// The powers are std::pow of each lane, as in the scalar loop.
#pragma once

#include "kernels.h"
#include "pair_table.h"

#include <cmath>

struct MieEvaluator {
    static constexpr int nr_params = 6;  // s^2, n/2, m/2, n, m, shift
    static constexpr int shift_param = 5;
    explicit MieEvaluator(const kernels::PairTableView&) {}

    template <class V>
    VORLAN_INLINE void operator()(const V* p, V distsq, V& e, V& w) const
    {
        const V sr2 = p[0] / distsq;
        const auto power = [](double x, double y) { return std::pow(x, y); };
        const V srn = lanewise(sr2, p[1], power);
        const V srm = lanewise(sr2, p[2], power);
        e = (srn - srm) - p[5];
        w = p[3] * srn - p[4] * srm;
    }
};
