// Vector helpers shared by the vectorised pair loops and list builds. Functions
// marked AVX512 (AVX2) are compiled for that instruction set only and are called
// after a run-time check of the processor (kernels::have_avx512, have_avx2).
// Only additions, subtractions, multiplications, divisions, compares, blends,
// permutes and loads: no fused multiply-add, so every lane rounds as the scalar
// code does.
#pragma once

#include <cstddef>

#include <immintrin.h>

#define AVX512 __attribute__((target("avx512f,avx512vl,avx512dq,popcnt")))
#define AVX2 __attribute__((target("avx2,popcnt")))

namespace kernels {

// Minimum image in eight lanes: both tests on the raw separation, at most one
// correction per lane, so exactly +half becomes -half as in the scalar rule.
AVX512 inline __m512d minimum_image8(__m512d r, __m512d half, __m512d minus_half, __m512d side)
{
    const __mmask8 above = _mm512_cmp_pd_mask(r, half, _CMP_GE_OQ);
    const __mmask8 below = _mm512_cmp_pd_mask(r, minus_half, _CMP_LT_OQ);
    r = _mm512_mask_sub_pd(r, above, r, side);
    return _mm512_mask_add_pd(r, below, r, side);
}

// The same rule in four lanes: r - side where r >= half, else r + side where
// r < -half, else r (the two tests are exclusive, both on the raw separation).
AVX2 inline __m256d minimum_image4(__m256d r, __m256d half, __m256d minus_half, __m256d side)
{
    const __m256d above = _mm256_cmp_pd(r, half, _CMP_GE_OQ);
    const __m256d below = _mm256_cmp_pd(r, minus_half, _CMP_LT_OQ);
    const __m256d low_fixed = _mm256_blendv_pd(r, _mm256_add_pd(r, side), below);
    return _mm256_blendv_pd(low_fixed, _mm256_sub_pd(r, side), above);
}

// All-ones in the 32-bit lanes [0, min(n, 4)) of four (masked loads, lane tests).
AVX2 inline __m128i first_lanes4(std::size_t n)
{
    return _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(n < 4 ? n : 4)), _mm_setr_epi32(0, 1, 2, 3));
}

// The same lanes as a mask of four doubles.
AVX2 inline __m256d first_lanes4_pd(std::size_t n)
{
    return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(first_lanes4(n)));
}

// (v0 + v1) + (v2 + v3) of four lanes.
AVX2 inline double pairwise4(__m256d v)
{
    const __m128d lo = _mm256_castpd256_pd128(v), hi = _mm256_extractf128_pd(v, 1);
    const __m128d sums = _mm_hadd_pd(lo, hi);  // v0 + v1, v2 + v3
    return _mm_cvtsd_f64(_mm_add_sd(sums, _mm_unpackhi_pd(sums, sums)));
}

}  // namespace kernels
