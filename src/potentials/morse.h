// Morse: u(r) = D0 [ exp(-2 a (r - r0)) - 2 exp(-a (r - r0)) - shift ].
//
// Reduced terms (energy and force scale D0), r = sqrt(distsq), x = exp(-a (r - r0)):
//   e = (x x - (x + x)) - shift
//   w = ((a + a) r) (x x - x)            r . F / D0
// exp from lane_math.h: the same bits in every loop.
#pragma once

#include "kernels.h"
#include "lane_math.h"
#include "pair_table.h"

struct MorseEvaluator {
    static constexpr int nr_params = 3;  // a, r0, shift
    static constexpr int shift_param = 2;
    explicit MorseEvaluator(const kernels::PairTableView&) {}

    template <class V>
    VORLAN_INLINE void operator()(const V* p, V distsq, V& e, V& w) const
    {
        const V r = sqrt_lanes(distsq);
        const V x = lanes::exp(-(p[0] * (r - p[1])));
        const V xx = x * x;
        e = (xx - (x + x)) - p[2];
        w = ((p[0] + p[0]) * r) * (xx - x);
    }
};
