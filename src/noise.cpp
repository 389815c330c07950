// Gaussian numbers from Philox words: Box-Muller with polynomial log, sin, cos.
//
//   x = rho sin(phi), y = rho cos(phi),  rho = sqrt(-2 ln u),  phi uniform on [0, 2 pi)
//
// u = (r + 1/2) 2^-32 lies in (0, 1). The angle: the top two bits of the word `a`
// choose a quadrant, the other 30 an angle t in [-pi/4, pi/4) within it, where
// the Taylor series of sin and cos converge to double precision in a few terms.
// ln u: u = 2^e m with m in [sqrt(1/2), sqrt(2)), ln m = 2 atanh(s) with
// s = (m - 1)/(m + 1), |s| < 0.172, summed to s^21 (relative error < 1e-15).
//
// Written without calls and without branches, the loop over a block of particles
// is vectorised; every lane does the same operations in the same order as the
// scalar code, so all CPUs give the same bits. This file is compiled with
// -fno-trapping-math and -fno-math-errno, which change no value: they let the
// compiler evaluate both sides of a select and use the vector square root.
#include "noise.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace noise {

namespace {

// ln u for u in (0, 1].
inline double log_unit(double u)
{
    std::uint64_t bits;
    std::memcpy(&bits, &u, sizeof bits);
    const std::uint64_t mantissa_bits = (bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
    const std::uint64_t exponent_bits = (bits >> 52) | 0x4330000000000000ULL;  // 2^52 + biased exponent
    double m, e;
    std::memcpy(&m, &mantissa_bits, sizeof m);
    std::memcpy(&e, &exponent_bits, sizeof e);
    e = (e - 4503599627370496.0) - 1023.0;
    const bool high = m > 1.4142135623730951;
    m = high ? 0.5 * m : m;
    e = high ? e + 1.0 : e;
    const double s = (m - 1.0) / (m + 1.0);
    const double z = s * s;
    double p = 1.0 / 21;
    p = p * z + 1.0 / 19;
    p = p * z + 1.0 / 17;
    p = p * z + 1.0 / 15;
    p = p * z + 1.0 / 13;
    p = p * z + 1.0 / 11;
    p = p * z + 1.0 / 9;
    p = p * z + 1.0 / 7;
    p = p * z + 1.0 / 5;
    p = p * z + 1.0 / 3;
    p = p * z + 1.0;
    return e * 0.6931471805599453 + 2.0 * (s * p);
}

inline void gaussian_pair(std::uint32_t r, std::uint32_t a, double& x, double& y)
{
    const double u = (static_cast<double>(r) + 0.5) * 2.3283064365386963e-10;  // 2^-32
    const double rho = std::sqrt(-2.0 * log_unit(u));

    const std::uint32_t quadrant = a >> 30;
    const double f = static_cast<double>(static_cast<std::int32_t>(a & 0x3fffffffU)) * 9.313225746154785e-10 - 0.5;
    const double t = f * 1.5707963267948966;  // in [-pi/4, pi/4)
    const double t2 = t * t;
    double sp = 1.0 / 355687428096000;  // sin t = t + t^3 (-1/3! + t^2 (1/5! - ...)), to t^17
    sp = sp * t2 - 1.0 / 1307674368000;
    sp = sp * t2 + 1.0 / 6227020800;
    sp = sp * t2 - 1.0 / 39916800;
    sp = sp * t2 + 1.0 / 362880;
    sp = sp * t2 - 1.0 / 5040;
    sp = sp * t2 + 1.0 / 120;
    sp = sp * t2 - 1.0 / 6;
    const double sin_t = t + t * (t2 * sp);
    double cp = 1.0 / 6402373705728000;  // cos t = 1 - t^2 (1/2! - t^2 (1/4! - ...)), to t^18
    cp = cp * t2 - 1.0 / 20922789888000;
    cp = cp * t2 + 1.0 / 87178291200;
    cp = cp * t2 - 1.0 / 479001600;
    cp = cp * t2 + 1.0 / 3628800;
    cp = cp * t2 - 1.0 / 40320;
    cp = cp * t2 + 1.0 / 720;
    cp = cp * t2 - 1.0 / 24;
    cp = cp * t2 + 0.5;
    const double cos_t = 1.0 - t2 * cp;
    // the four quadrants: phi = t, pi/2 + t, pi + t, 3 pi/2 + t (in the order 1, 0, 3, 2)
    const bool odd = (quadrant & 1U) != 0;
    const double s1 = odd ? sin_t : cos_t;
    const double c1 = odd ? cos_t : sin_t;
    x = rho * ((quadrant & 2U) ? -s1 : s1);
    y = rho * (((quadrant + 1U) & 2U) ? c1 : -c1);
}

// Four normal numbers per particle from its four words; the first three kept.
__attribute__((target_clones("avx2", "default")))
void transform_block(const std::uint32_t* w, std::size_t count, double* out)
{
    for (std::size_t j = 0; j < count; ++j) {
        double x, y, z, unused;
        gaussian_pair(w[4 * j], w[4 * j + 1], x, y);
        gaussian_pair(w[4 * j + 2], w[4 * j + 3], z, unused);
        out[3 * j] = x;
        out[3 * j + 1] = y;
        out[3 * j + 2] = z;
    }
}

}  // namespace

void box_muller(std::uint32_t r, std::uint32_t a, double& x, double& y)
{
    gaussian_pair(r, a, x, y);
}

void normal_triples(std::uint64_t seed, std::uint32_t step, Purpose purpose, std::size_t begin, std::size_t end,
                    double* out, const std::uint64_t* ids)
{
    constexpr std::size_t block = 128;  // particles whose words wait in L1 for the transform
    std::uint32_t w[4 * block];
    for (std::size_t from = begin; from < end; from += block) {
        const std::size_t count = std::min(block, end - from);
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t i = ids ? static_cast<std::size_t>(ids[from + j]) : from + j;
            const auto r = words(seed, step, static_cast<std::uint32_t>(i), purpose, 0);
            for (int k = 0; k < 4; ++k)
                w[4 * j + k] = r[k];
        }
        transform_block(w, count, out + 3 * from);
    }
}

std::uint32_t StepStream::word()
{
    if (used == 4) {
        block = words(seed, step, 0, purpose, draw++);
        used = 0;
    }
    return block[used++];
}

double StepStream::uniform()
{
    return (static_cast<double>(word()) + 0.5) * 2.3283064365386963e-10;
}

double StepStream::normal()
{
    double x, y;
    const std::uint32_t r = word();
    gaussian_pair(r, word(), x, y);
    return x;
}

double StepStream::gamma(double k)
{
    const double d = k - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
        const double x = normal();
        double v = 1.0 + c * x;
        if (v <= 0.0)
            continue;
        v = v * v * v;
        const double u = uniform();
        if (std::log(u) < 0.5 * x * x + d - d * v + d * std::log(v))
            return d * v;
    }
}

}  // namespace noise
