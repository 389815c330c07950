// exp, log and pow of lane_math.h: within 2 ulp of the C library (pow: within
// its error bound) over the arguments the pair potentials give them, and the
// same bits from the scalar, AVX2 and AVX-512 forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "kernels.h"
#include "potentials/lane_math.h"

namespace {

long long ulps(double a, double b)
{
    std::int64_t x, y;
    std::memcpy(&x, &a, 8);
    std::memcpy(&y, &b, 8);
    return x > y ? x - y : y - x;
}

// f of 8 arguments in each instruction set the CPU has; the scalar first.
struct Forms {
    double scalar[8], avx2[8], avx512[8];
};

enum class Fn { exp, log, pow };

__attribute__((target("avx2"))) void run_avx2(Fn f, const double* x, const double* y, double* out)
{
    for (int h = 0; h < 8; h += 4) {
        const __m256d a = _mm256_loadu_pd(x + h), b = _mm256_loadu_pd(y + h);
        _mm256_storeu_pd(out + h, f == Fn::exp ? lanes::exp(a) : f == Fn::log ? lanes::log(a) : lanes::pow(a, b));
    }
}

__attribute__((target("avx512f"))) void run_avx512(Fn f, const double* x, const double* y, double* out)
{
    const __m512d a = _mm512_loadu_pd(x), b = _mm512_loadu_pd(y);
    _mm512_storeu_pd(out, f == Fn::exp ? lanes::exp(a) : f == Fn::log ? lanes::log(a) : lanes::pow(a, b));
}

Forms forms(Fn f, const double* x, const double* y)
{
    Forms r;
    for (int k = 0; k < 8; ++k)
        r.scalar[k] = f == Fn::exp ? lanes::exp(x[k]) : f == Fn::log ? lanes::log(x[k]) : lanes::pow(x[k], y[k]);
    std::copy(r.scalar, r.scalar + 8, r.avx2);
    std::copy(r.scalar, r.scalar + 8, r.avx512);
    if (kernels::have_avx2())
        run_avx2(f, x, y, r.avx2);
    if (kernels::have_avx512())
        run_avx512(f, x, y, r.avx512);
    return r;
}

struct Range {
    Fn fn;
    double lo, hi;       // x uniform in [lo, hi]
    double ylo, yhi;     // pow: y uniform in [ylo, yhi]
    double tolerance;    // ulp (exp, log) or relative (pow)
};

}  // namespace

// exp over the screening and Morse arguments and out to the ends of the
// doubles, log and pow over sr2 and the Mie exponents.
TEST(LaneMath, AccurateAndTheSameBitsInEveryInstructionSet)
{
    for (const Range& g : {Range{Fn::exp, -60.0, 12.0, 0, 0, 2}, Range{Fn::exp, -708.0, 709.0, 0, 0, 2},
                           Range{Fn::log, 0.01, 40.0, 0, 0, 2}, Range{Fn::log, 1e-300, 1e300, 0, 0, 2},
                           Range{Fn::pow, 0.05, 4.0, 2.5, 25.0, 2e-14}}) {
        std::mt19937_64 rng(7);
        std::uniform_real_distribution<double> ux(g.lo, g.hi), uy(g.ylo, g.yhi);
        const bool logarithmic = g.hi / g.lo > 1e10;
        for (int round = 0; round < 20000; ++round) {
            double x[8], y[8];
            for (int k = 0; k < 8; ++k) {
                x[k] = logarithmic ? std::exp(std::log(g.lo) + (std::log(g.hi) - std::log(g.lo)) * (ux(rng) - g.lo) /
                                                                   (g.hi - g.lo))
                                   : ux(rng);
                y[k] = uy(rng);
            }
            const Forms r = forms(g.fn, x, y);
            for (int k = 0; k < 8; ++k) {
                ASSERT_EQ(ulps(r.scalar[k], r.avx2[k]), 0) << "avx2 at " << x[k];
                ASSERT_EQ(ulps(r.scalar[k], r.avx512[k]), 0) << "avx512 at " << x[k];
                if (g.fn == Fn::pow) {
                    const double want = std::pow(x[k], y[k]);
                    ASSERT_LE(std::abs(r.scalar[k] - want), g.tolerance * want) << x[k] << "^" << y[k];
                } else {
                    const double want = g.fn == Fn::exp ? std::exp(x[k]) : std::log(x[k]);
                    ASSERT_LE(ulps(r.scalar[k], want), g.tolerance) << (g.fn == Fn::exp ? "exp " : "log ") << x[k];
                }
            }
        }
    }
}

// The ends: exp underflows to the subnormals and to 0, overflows to inf, passes
// NaN; x^k by products equals the product written out.
TEST(LaneMath, EndsOfTheRange)
{
    EXPECT_EQ(lanes::exp(-740.0), std::exp(-740.0));
    EXPECT_EQ(lanes::exp(-800.0), 0.0);
    EXPECT_EQ(lanes::exp(800.0), HUGE_VAL);
    EXPECT_TRUE(std::isnan(lanes::exp(std::nan(""))));
    EXPECT_EQ(lanes::exp(0.0), 1.0);
    const double b = 1.1;
    EXPECT_EQ(lanes::pow_int(b, 7), (b * (b * b)) * ((b * b) * (b * b)));
    EXPECT_EQ(lanes::pow_int(b, 1), b);
}
