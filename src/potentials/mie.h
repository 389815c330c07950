// Mie: u(r) = C eps [ (s/r)^n - (s/r)^m - shift ], C = n/(n-m) (n/m)^(m/(n-m)),
// n > m (Lennard-Jones is 12-6, C = 4).
//
// Reduced terms (energy and force scale C eps), with sr2 = s^2 / distsq:
//   e = (sr2^(n/2) - sr2^(m/2)) - shift
//   w = n sr2^(n/2) - m sr2^(m/2)          r . F / C eps
// When every pair has the same whole exponents (up to 64), the powers are
// products: of sr2 when n and m are even, else of sr = sqrt(sr2), by binary
// powering (lane_math.h), and (s/r)^n = ((s/r)^m)^2 when n = 2m (12-6 then gives
// Lennard-Jones' bits). Otherwise each power is exp((n/2) log sr2), the log shared.
#pragma once

#include "kernels.h"
#include "lane_math.h"
#include "pair_table.h"

#include <cmath>

struct MieEvaluator {
    static constexpr int nr_params = 6;  // s^2, n/2, m/2, n, m, shift
    static constexpr int shift_param = 5;
    int n = 0, m = 0;   // the whole exponents shared by every pair; 0: powers by exp and log
    bool even = false;  // n and m even: powers of sr2

    explicit MieEvaluator(const kernels::PairTableView& t)
    {
        const std::size_t entries = static_cast<std::size_t>(t.nr_types) * t.nr_types;
        if (entries == 0 || !t.params[3] || !t.params[4])
            return;
        const double n0 = t.params[3][0], m0 = t.params[4][0];
        bool whole = n0 == std::floor(n0) && m0 == std::floor(m0) && m0 >= 1.0 && n0 <= 64.0;
        for (std::size_t ab = 1; ab < entries && whole; ++ab)
            whole = t.params[3][ab] == n0 && t.params[4][ab] == m0;
        if (!whole)
            return;
        n = static_cast<int>(n0);
        m = static_cast<int>(m0);
        even = n % 2 == 0 && m % 2 == 0;
    }

    template <class V>
    VORLAN_INLINE void operator()(const V* p, V distsq, V& e, V& w) const
    {
        const V sr2 = p[0] / distsq;
        V srn, srm;
        if (n) {
            const V base = even ? sr2 : sqrt_lanes(sr2);
            const int kn = even ? n / 2 : n, km = even ? m / 2 : m;
            srm = lanes::pow_int(base, km);
            srn = n == 2 * m ? srm * srm : lanes::pow_int(base, kn);
        } else {  // pow(sr2, n/2) and pow(sr2, m/2) = exp(y log sr2), the log taken once
            const V log_sr2 = lanes::log(sr2);
            srn = lanes::exp(p[1] * log_sr2);
            srm = lanes::exp(p[2] * log_sr2);
        }
        e = (srn - srm) - p[5];
        w = p[3] * srn - p[4] * srm;
    }
};
