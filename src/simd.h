// AVX-512 helpers shared by the vectorised pair loop and list build. Functions
// marked AVX512 are compiled for that instruction set only and are called after
// a run-time check of the processor (kernels::have_avx512).
#pragma once

#include <immintrin.h>

#define AVX512 __attribute__((target("avx512f,avx512vl,avx512dq,popcnt")))

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

}  // namespace kernels
