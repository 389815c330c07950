// Yukawa (screened Coulomb): u(r) = eps [ exp(-kappa r) / r - shift ].
//
// Reduced terms (energy and force scale eps), r = sqrt(distsq):
//   e = exp(-kappa r) / r - shift
//   w = exp(-kappa r) (1 + kappa r) / r        r . F / eps
// exp from lane_math.h, the square root correctly rounded: the same bits in
// every loop.
#pragma once

#include "kernels.h"
#include "lane_math.h"
#include "pair_table.h"

struct YukawaEvaluator {
    static constexpr int nr_params = 2;  // kappa, shift
    static constexpr int shift_param = 1;
    explicit YukawaEvaluator(const kernels::PairTableView&) {}

    template <class V>
    VORLAN_INLINE void operator()(const V* p, V distsq, V& e, V& w) const
    {
        const V r = sqrt_lanes(distsq);
        const V kr = p[0] * r;
        const V screened = lanes::exp(-kr) / r;
        e = screened - p[1];
        w = screened * (kr + 1.0);
    }
};
