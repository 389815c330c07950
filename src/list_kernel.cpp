// Distance tests of the list build: which candidates of a run of sorted
// particles lie within the list radius of one particle.
#include "kernels.h"

#include "simd.h"

// GCC 12 flags the intrinsics headers' own placeholder operands.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace kernels {

__attribute__((target_clones("avx2", "default")))
unsigned int* scan_scalar(const SortedParticles& p, const ScanRanges& r, unsigned int self, const double xi[3],
                          const ListGeometry& g, unsigned int* out)
{
    for (unsigned int q = 0; q < r.count; ++q) {
        for (std::size_t k = r.begin[q]; k < r.end[q] && r.same_image[q]; ++k) {
            const unsigned int pid = p.id[k];
            const double rx = xi[0] - p.x[k], ry = xi[1] - p.y[k], rz = xi[2] - p.z[k];
            const double distsq = rx * rx + (ry * ry + rz * rz);
            if (distsq <= g.rlistsq && pid != self)
                *out++ = pid;
        }
        for (std::size_t k = r.begin[q]; k < r.end[q] && !r.same_image[q]; ++k) {
            const unsigned int pid = p.id[k];
            if (pid == self)
                continue;
            const double rx = minimum_image(xi[0] - p.x[k], g.box.half[0], g.box.side[0]);
            const double ry = minimum_image(xi[1] - p.y[k], g.box.half[1], g.box.side[1]);
            const double rz = minimum_image(xi[2] - p.z[k], g.box.half[2], g.box.side[2]);
            const double distsq = rx * rx + (ry * ry + rz * rz);
            if (distsq <= g.rlistsq)
                *out++ = pid;
        }
    }
    return out;
}

// Eight candidates at a time; the kept indices are packed to the front of a
// register, which is stored whole, and `out` advances by their number.
AVX512 unsigned int* scan_avx512(const SortedParticles& p, const ScanRanges& r, unsigned int self, const double xi[3],
                                 const ListGeometry& g, unsigned int* out)
{
    const __m512d x = _mm512_set1_pd(xi[0]), y = _mm512_set1_pd(xi[1]), z = _mm512_set1_pd(xi[2]);
    const BoxGeometry& box = g.box;
    const __m512d hx = _mm512_set1_pd(box.half[0]), hy = _mm512_set1_pd(box.half[1]), hz = _mm512_set1_pd(box.half[2]);
    const __m512d mhx = _mm512_set1_pd(-box.half[0]), mhy = _mm512_set1_pd(-box.half[1]),
                  mhz = _mm512_set1_pd(-box.half[2]);
    const __m512d lx = _mm512_set1_pd(box.side[0]), ly = _mm512_set1_pd(box.side[1]), lz = _mm512_set1_pd(box.side[2]);
    const __m512d rlistsq = _mm512_set1_pd(g.rlistsq);
    const __m256i me = _mm256_set1_epi32(static_cast<int>(self));

    for (unsigned int q = 0; q < r.count; ++q) {
        const std::size_t end = r.end[q];
        const bool same_image = r.same_image[q];
        for (std::size_t k = r.begin[q]; k < end; k += 8) {
            const __mmask8 live = end - k >= 8 ? 0xff : static_cast<__mmask8>((1u << (end - k)) - 1);
            const __m256i id = _mm256_maskz_loadu_epi32(live, p.id + k);
            __m512d rx = _mm512_sub_pd(x, _mm512_maskz_loadu_pd(live, p.x + k));
            __m512d ry = _mm512_sub_pd(y, _mm512_maskz_loadu_pd(live, p.y + k));
            __m512d rz = _mm512_sub_pd(z, _mm512_maskz_loadu_pd(live, p.z + k));
            if (!same_image) {
                rx = minimum_image8(rx, hx, mhx, lx);
                ry = minimum_image8(ry, hy, mhy, ly);
                rz = minimum_image8(rz, hz, mhz, lz);
            }
            const __m512d distsq =
                _mm512_add_pd(_mm512_mul_pd(rx, rx), _mm512_add_pd(_mm512_mul_pd(ry, ry), _mm512_mul_pd(rz, rz)));
            const __mmask8 keep = static_cast<__mmask8>(_mm512_mask_cmp_pd_mask(live, distsq, rlistsq, _CMP_LE_OQ) &
                                                        ~_mm256_cmpeq_epi32_mask(id, me));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_maskz_compress_epi32(keep, id));
            out += __builtin_popcount(keep);
        }
    }
    return out;
}

bool have_avx512()
{
    static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("popcnt");
    return yes;
}

ScanFn best_scan()
{
    return have_avx512() ? scan_avx512 : scan_scalar;
}

}  // namespace kernels
