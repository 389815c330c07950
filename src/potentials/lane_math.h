// exp, log, pow, floor and table reads written once over the lane type (double,
// __m256d, __m512d), from + - * /, comparisons, selections and shifts of the
// bit patterns only. Every lane of every instruction set does the same
// operations in the same order as the scalar, so an evaluator built on these
// gives the same bits in every loop (the build keeps -ffp-contract=off: no
// fused multiply-adds).
//
// exp: x = k ln2 + r, k the nearest integer to x / ln2 (by the 1.5 2^52 rounding
// trick), r reduced in two steps (ln2 split so that k ln2_hi is exact), exp(r) =
// 1 + (r + r^2 P(r)) with P a degree-9 near-minimax fit of (exp(r) - 1 - r) / r^2
// on |r| <= ln2 / 2 (fit error 1.3e-17), then 2^k applied as two exact powers of
// two so that results down to the subnormals and up to the overflow come out
// right. Within 1 ulp of the correctly rounded exp for |x| < 708.
//
// log: x = 2^e m with sqrt(1/2) <= m < sqrt(2), f = m - 1 (exact), s = f / (2 + f),
// log(1 + f) = f - (hfsq - s (hfsq + z R(z))), hfsq = f^2 / 2, z = s^2, R a
// degree-6 near-minimax fit of (log((1+s)/(1-s)) - 2s) / s^3 (error 3e-16 relative
// on R, a few 1e-19 on the log). For positive normal x.
//
// pow(x, y) = exp(y log x) for positive normal x: its error is that of y log x
// times |y log x| ulp, a few ulp for the exponents and distances of pair
// potentials.
#pragma once

#include "pair_table.h"

#include <cstdint>
#include <cstring>

namespace lanes {

// The unsigned 64-bit integer lanes of a lane type, for its bit patterns.
template <int lanes>
struct IntsOf;
template <>
struct IntsOf<1> {
    using type = unsigned long long;
};
template <>
struct IntsOf<4> {
    using type = __v4du;
};
template <>
struct IntsOf<8> {
    using type = __v8du;
};
template <class V>
using Ints = typename IntsOf<lanes_of<V>>::type;

template <class V>
VORLAN_INLINE Ints<V> bits(V x)
{
    return __builtin_bit_cast(Ints<V>, x);
}

template <class V>
VORLAN_INLINE V from_bits(Ints<V> i)
{
    return __builtin_bit_cast(V, i);
}

// a where c holds, else b (c a comparison of lanes).
template <class V, class C>
VORLAN_INLINE V select(C c, V a, V b)
{
    return c ? a : b;
}

// x with its lane type's shape, every lane the constant c.
template <class V>
VORLAN_INLINE V splat(double c)
{
    if constexpr (lanes_of<V> == 1) {
        return c;
    } else {
        V v = {};
        return v + c;
    }
}

constexpr double round_magic = 0x1.8p52;  // adding it rounds |x| < 2^51 to an integer

// 2^k for integer-valued k in [-1022, 1023]: 2^52 + 1023 + k holds the biased
// exponent in its low bits, which shifted to the exponent field give 2^k.
template <class V>
VORLAN_INLINE V pow2(V k)
{
    return from_bits<V>(bits<V>(k + (0x1p52 + 1023.0)) << 52);
}

// The largest integer not above x, for 0 <= x < 2^51.
template <class V>
VORLAN_INLINE V floor_nonneg(V x)
{
    const V t = (x + round_magic) - round_magic;
    return select(t > x, t - 1.0, t);
}

template <class V>
VORLAN_INLINE V exp(V x)
{
    constexpr double log2e = 0x1.71547652b82fep0;
    constexpr double ln2_hi = 0x1.62e42fee00000p-1;  // 21 significant bits: k ln2_hi is exact
    constexpr double ln2_lo = 0x1.a39ef35793c76p-33;
    constexpr double c[10] = {0.5000000000000001,    0.16666666666666669,    0.04166666666662413,
                              0.008333333333330062,  0.0013888888917213717,  0.00019841269863053618,
                              2.4801521295954376e-05, 2.7557268459997064e-06, 2.7620088445409746e-07,
                              2.510038549551032e-08};
    x = select(x < -746.0, splat<V>(-746.0), x);  // below: 0; above: inf (NaN passes)
    x = select(x > 710.0, splat<V>(710.0), x);
    const V k = (x * log2e + round_magic) - round_magic;
    const V r = (x - k * ln2_hi) - k * ln2_lo;
    const V r2 = r * r;
    const V r4 = r2 * r2;
    const V a0 = c[0] + c[1] * r, a1 = c[2] + c[3] * r, a2 = c[4] + c[5] * r, a3 = c[6] + c[7] * r,
            a4 = c[8] + c[9] * r;
    const V p = ((a0 + a1 * r2) + (a2 + a3 * r2) * r4) + a4 * (r4 * r4);
    const V er = 1.0 + (r + r2 * p);
    // 2^k as 2^k1 2^k2, both within the normal exponents for |k| <= 1076
    const V k1 = (k * 0.5 + round_magic) - round_magic;
    return (er * pow2(k1)) * pow2(k - k1);
}

template <class V>
VORLAN_INLINE V log(V x)
{
    constexpr double ln2_hi = 0x1.62e42fee00000p-1;
    constexpr double ln2_lo = 0x1.a39ef35793c76p-33;
    constexpr double sqrt2 = 0x1.6a09e667f3bcdp0;
    constexpr double c[7] = {0.666666666666667,   0.3999999999989938,  0.28571428626031065, 0.2222221112572281,
                             0.18182889786191042, 0.15331699633543858, 0.14616721179861816};
    using I = Ints<V>;
    const I b = bits(x);
    const I mantissa_bits = (b & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
    const I exponent_bits = (b >> 52) | 0x4330000000000000ULL;  // 2^52 + biased exponent
    V m = from_bits<V>(mantissa_bits);                                 // in [1, 2)
    V e = (from_bits<V>(exponent_bits) - 0x1p52) - 1023.0;
    const auto high = m > sqrt2;
    m = select(high, m * 0.5, m);
    e = select(high, e + 1.0, e);
    const V f = m - 1.0;
    const V s = f / (f + 2.0);
    const V z = s * s;
    const V z2 = z * z;
    const V rz = ((c[0] + c[1] * z) + (c[2] + c[3] * z) * z2) + (c[4] + c[5] * z + c[6] * z2) * (z2 * z2);
    const V hfsq = (f * f) * 0.5;
    return e * ln2_hi - ((hfsq - (s * (hfsq + z * rz) + e * ln2_lo)) - f);
}

template <class V>
VORLAN_INLINE V pow(V x, V y)
{
    return exp(y * log(x));
}

// x^k for a positive integer k, the same for every lane: binary powering from
// the lowest bit, the product order fixed by k alone.
template <class V>
VORLAN_INLINE V pow_int(V x, int k)
{
    V result = x;
    bool started = false;
    for (;;) {
        if (k & 1) {
            result = started ? result * x : x;
            started = true;
        }
        k >>= 1;
        if (!k)
            return result;
        x = x * x;
    }
}

// data[index] of every lane, index an integer-valued double in [0, 2^31). Not
// forced inline: the vector forms inline once the evaluator sits in its loop.
inline double gather(const double* data, double index) { return data[static_cast<std::size_t>(index)]; }
__attribute__((target("avx2"))) inline __m256d gather(const double* data, __m256d index)
{
    return _mm256_i32gather_pd(data, _mm256_cvttpd_epi32(index), 8);
}
__attribute__((target("avx512f"))) inline __m512d gather(const double* data, __m512d index)
{
    return _mm512_i32gather_pd(_mm512_cvttpd_epi32(index), data, 8);
}

}  // namespace lanes
