// A tabulated potential: energy E and force F = -dE/dr given at n points r_k
// spaced evenly from r_0 to r_{n-1} = rc, linearly interpolated in r between
// them. For r_k <= r < r_{k+1}, t = (r - r_0) / dr - k:
//   e = E_k + t (E_{k+1} - E_k)
//   w = (F_k + t (F_{k+1} - F_k)) r            r . F
// A pair closer than r_0 gets NaN energy and force, which stops the run at the
// end of that step (Cell::end_step) naming it. The columns live in the table's
// data: E at [offset, offset + n), F at [offset + n, offset + 2n).
#pragma once

#include "kernels.h"
#include "pair_table.h"

#include <cmath>
#include <limits>

struct TableEvaluator {
    static constexpr int nr_params = 4;  // r_0, 1/dr, n, offset
    static constexpr int shift_param = -1;
    const double* data;
    explicit TableEvaluator(const kernels::PairTableView& t) : data(t.data) {}

    // The interpolated E and r F of one pair.
    void at(double r0, double inv_dr, double n, double offset, double distsq, double& e, double& w) const
    {
        const double r = std::sqrt(distsq);
        const double u = (r - r0) * inv_dr;
        if (!(u >= 0.0)) {
            e = w = std::numeric_limits<double>::quiet_NaN();
            return;
        }
        const double last = n - 2.0;
        const double k = std::floor(u) < last ? std::floor(u) : last;
        const double t = u - k;
        const double* energy = data + static_cast<std::size_t>(offset) + static_cast<std::size_t>(k);
        const double* force = energy + static_cast<std::size_t>(n);
        e = energy[0] + t * (energy[1] - energy[0]);
        w = (force[0] + t * (force[1] - force[0])) * r;
    }

    template <class V>
    VORLAN_INLINE void operator()(const V* p, V distsq, V& e, V& w) const
    {
        if constexpr (lanes_of<V> == 1) {
            at(p[0], p[1], p[2], p[3], distsq, e, w);
        } else {
            for (int k = 0; k < lanes_of<V>; ++k) {
                double ek, wk;
                at(p[0][k], p[1][k], p[2][k], p[3][k], distsq[k], ek, wk);
                e[k] = ek;
                w[k] = wk;
            }
        }
    }
};
