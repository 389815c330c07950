// A tabulated potential: energy E and force F = -dE/dr given at n points r_k
// spaced evenly from r_0 to r_{n-1} = rc, linearly interpolated in r between
// them. For r_k <= r < r_{k+1}, t = (r - r_0) / dr - k:
//   e = E_k + t (E_{k+1} - E_k)
//   w = (F_k + t (F_{k+1} - F_k)) r            r . F
// A pair closer than r_0 gets NaN energy and force, which stops the run at the
// end of that step (Cell::end_step) naming it. The columns live in the table's
// data: E at [offset, offset + n), F at [offset + n, offset + 2n).
// Every lane's index is kept within the table (a lane holding no pair included)
// before the columns are read, so the vector loops gather only inside them.
#pragma once

#include "kernels.h"
#include "lane_math.h"
#include "pair_table.h"

#include <limits>

struct TableEvaluator {
    static constexpr int nr_params = 4;  // r_0, 1/dr, n, offset
    static constexpr int shift_param = -1;
    const double* data;
    explicit TableEvaluator(const kernels::PairTableView& t) : data(t.data) {}

    template <class V>
    VORLAN_INLINE void operator()(const V* p, V distsq, V& e, V& w) const
    {
        const V r = sqrt_lanes(distsq);
        const V u = (r - p[0]) * p[1];
        const V last = p[2] - 2.0;
        const auto inside = u >= 0.0;  // false for r < r_0 (and NaN)
        // k = min(floor(u), last), taken from u kept to [0, last]
        V kept = lanes::select(inside, u, lanes::splat<V>(0.0));
        kept = lanes::select(kept > last, last, kept);
        const V k = lanes::floor_nonneg(kept);
        const V t = u - k;
        const V at = p[3] + k;
        const V e0 = lanes::gather(data, at), e1 = lanes::gather(data, at + 1.0);
        const V f0 = lanes::gather(data, at + p[2]), f1 = lanes::gather(data, (at + p[2]) + 1.0);
        const V nan = lanes::splat<V>(std::numeric_limits<double>::quiet_NaN());
        e = lanes::select(inside, e0 + t * (e1 - e0), nan);
        w = lanes::select(inside, (f0 + t * (f1 - f0)) * r, nan);
    }
};
