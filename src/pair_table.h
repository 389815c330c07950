// The per-type-pair tables a pair loop reads, and the contract of a pair
// evaluator.
//
// A pair potential is an evaluator: a small struct whose call operator takes the
// parameters of one type pair (nr_params values, precomputed when the tables are
// built) and the squared distance of one pair, and gives two reduced terms:
//   e  the pair energy divided by the pair's energy scale
//   w  the pair virial r_ij . F_ij = -r du/dr divided by the pair's force scale
// The loop forms the force factor w / distsq (F_ij = that times r_ij). Both are
// written once over a lane type V (double, or a GNU vector of 4 or 8 doubles:
// __m256d, __m512d), using only + - * / on lanes and `lanewise` for anything
// else, so the scalar and the vector loops do the same operations lane by lane.
//
// Scales: when the run is of one species (`factored`), the loop sums the reduced
// terms and the caller applies the scales once after it: energy ((sum f0) f1)/2,
// force scale times each force, virial (scale sum)/2. A mixture's loop applies
// them per pair: e energy_scale, (w / distsq) force_scale, w force_scale.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include <immintrin.h>

// The lane types pass by value only inside always-inlined code: no calling
// convention is involved.
#pragma GCC diagnostic ignored "-Wpsabi"

#define VORLAN_INLINE __attribute__((always_inline)) inline

// Number of doubles in a lane type.
template <class V>
constexpr int lanes_of = static_cast<int>(sizeof(V) / sizeof(double));

// f applied to every lane of x (sqrt, exp, pow, table look-ups): the same call
// on each lane as on the scalar, hence the same bits.
template <class V, class F>
VORLAN_INLINE V lanewise(V x, F f)
{
    if constexpr (lanes_of<V> == 1) {
        return f(x);
    } else {
        V r = x;
        for (int k = 0; k < lanes_of<V>; ++k)
            r[k] = f(x[k]);
        return r;
    }
}

// f(x, y) lane by lane.
template <class V, class F>
VORLAN_INLINE V lanewise(V x, V y, F f)
{
    if constexpr (lanes_of<V> == 1) {
        return f(x, y);
    } else {
        V r = x;
        for (int k = 0; k < lanes_of<V>; ++k)
            r[k] = f(x[k], y[k]);
        return r;
    }
}

// sqrt of every lane. Square roots are correctly rounded in every instruction
// set, so the vector forms give the bits of std::sqrt.
inline double sqrt_lanes(double x) { return std::sqrt(x); }
__attribute__((target("avx2"))) inline __m256d sqrt_lanes(__m256d x) { return _mm256_sqrt_pd(x); }
__attribute__((target("avx512f"))) inline __m512d sqrt_lanes(__m512d x) { return _mm512_sqrt_pd(x); }

// The tables of one potential over S types, entry ab = a S + b of each S x S table.
struct PairTable {
    static constexpr std::size_t max_params = 10;
    std::size_t nr_types = 1;                 // S
    std::size_t nr_params = 0;                // parameters per pair the evaluator reads
    std::vector<double> params[max_params];   // parameter k of pair ab: params[k][ab]
    std::vector<double> rcutsq;               // a pair interacts when distsq < rcutsq[ab]
    std::vector<double> rcut;                 // the cut-off rc_ab itself: the list lists pair ab to rc_ab + shell
    std::vector<double> energy_scale;         // the energy is e energy_scale
    std::vector<double> force_scale;          // the virial is w force_scale
    double energy_factors[2] = {1.0, 1.0};    // one species: energy_scale as two factors, applied in this order
    double rcut_max = 0.0;                    // the largest cut-off: the list radius is rcut_max + shell
    std::vector<double> data;                 // read-only data of tabulated potentials

    // Tables of S types with n parameters, every entry 0.
    void resize(std::size_t s, std::size_t n)
    {
        nr_types = s;
        nr_params = n;
        for (std::size_t k = 0; k < max_params; ++k)
            params[k].assign(k < n ? s * s : 0, 0.0);
        rcutsq.assign(s * s, 0.0);
        rcut.assign(s * s, 0.0);
        energy_scale.assign(s * s, 1.0);
        force_scale.assign(s * s, 1.0);
    }
};
