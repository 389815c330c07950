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

namespace {

// Eight candidates at a time: the same separations, minimum image and distsq
// lane by lane as scan_scalar, the same <= test; the kept indices are packed to
// the front of a register, which is stored whole, and `out` advances by their
// number. As in the AVX2 scan below, whole groups read with plain loads and the
// image test is chosen once per range.
struct Avx512Scan {
    __m512d x, y, z, hx, hy, hz, mhx, mhy, mhz, lx, ly, lz, rlistsq;
    __m256i me;

    AVX512 Avx512Scan(unsigned int self, const double xi[3], const ListGeometry& g)
    {
        const BoxGeometry& box = g.box;
        x = _mm512_set1_pd(xi[0]), y = _mm512_set1_pd(xi[1]), z = _mm512_set1_pd(xi[2]);
        hx = _mm512_set1_pd(box.half[0]), hy = _mm512_set1_pd(box.half[1]), hz = _mm512_set1_pd(box.half[2]);
        mhx = _mm512_set1_pd(-box.half[0]), mhy = _mm512_set1_pd(-box.half[1]), mhz = _mm512_set1_pd(-box.half[2]);
        lx = _mm512_set1_pd(box.side[0]), ly = _mm512_set1_pd(box.side[1]), lz = _mm512_set1_pd(box.side[2]);
        rlistsq = _mm512_set1_pd(g.rlistsq);
        me = _mm256_set1_epi32(static_cast<int>(self));
    }

    // The sorted entries [k, end) in groups of eight; the last, partial group
    // reads only its own entries (masked loads).
    template <bool image>
    AVX512 unsigned int* range(const SortedParticles& p, std::size_t k, std::size_t end, unsigned int* out) const
    {
        for (; k + 8 <= end; k += 8)
            out = group<image>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.id + k)), _mm512_loadu_pd(p.x + k),
                               _mm512_loadu_pd(p.y + k), _mm512_loadu_pd(p.z + k), 0xff, out);
        if (k < end) {
            const __mmask8 live = static_cast<__mmask8>((1u << (end - k)) - 1);
            out = group<image>(_mm256_maskz_loadu_epi32(live, p.id + k), _mm512_maskz_loadu_pd(live, p.x + k),
                               _mm512_maskz_loadu_pd(live, p.y + k), _mm512_maskz_loadu_pd(live, p.z + k), live, out);
        }
        return out;
    }

    // The candidates `id` at (px, py, pz), of which the lanes `live` are real.
    template <bool image>
    AVX512 unsigned int* group(__m256i id, __m512d px, __m512d py, __m512d pz, __mmask8 live, unsigned int* out) const
    {
        __m512d rx = _mm512_sub_pd(x, px), ry = _mm512_sub_pd(y, py), rz = _mm512_sub_pd(z, pz);
        if (image) {
            rx = minimum_image8(rx, hx, mhx, lx);
            ry = minimum_image8(ry, hy, mhy, ly);
            rz = minimum_image8(rz, hz, mhz, lz);
        }
        const __m512d distsq =
            _mm512_add_pd(_mm512_mul_pd(rx, rx), _mm512_add_pd(_mm512_mul_pd(ry, ry), _mm512_mul_pd(rz, rz)));
        const __mmask8 keep = static_cast<__mmask8>(_mm512_mask_cmp_pd_mask(live, distsq, rlistsq, _CMP_LE_OQ) &
                                                    ~_mm256_cmpeq_epi32_mask(id, me));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_maskz_compress_epi32(keep, id));
        return out + __builtin_popcount(keep);
    }
};

}  // namespace

AVX512 unsigned int* scan_avx512(const SortedParticles& p, const ScanRanges& r, unsigned int self, const double xi[3],
                                 const ListGeometry& g, unsigned int* out)
{
    const Avx512Scan scan(self, xi, g);
    for (unsigned int q = 0; q < r.count; ++q)
        out = r.same_image[q] ? scan.range<false>(p, r.begin[q], r.end[q], out)
                              : scan.range<true>(p, r.begin[q], r.end[q], out);
    return out;
}

namespace {

// For each set of kept lanes (bit l: lane l), the permutation that moves those
// 32-bit lanes to the front in order (_mm_permutevar_ps); the rest repeat lane 0
// and are overwritten by the next store.
struct FrontLanes4 {
    alignas(16) int lanes[16][4];
};

constexpr FrontLanes4 make_front_lanes4()
{
    FrontLanes4 t{};
    for (int keep = 0; keep < 16; ++keep) {
        int k = 0;
        for (int l = 0; l < 4; ++l)
            if (keep & (1 << l))
                t.lanes[keep][k++] = l;
    }
    return t;
}

constexpr FrontLanes4 front_lanes4 = make_front_lanes4();

// Four candidates at a time, as scan_avx512 does eight: the same separations,
// minimum image and distsq lane by lane, the same <= test; the kept indices are
// moved to the front of a register, which is stored whole, and `out` advances
// by their number.
struct Avx2Scan {
    __m256d x, y, z, hx, hy, hz, mhx, mhy, mhz, lx, ly, lz, rlistsq;
    __m128i me;

    AVX2 Avx2Scan(unsigned int self, const double xi[3], const ListGeometry& g)
    {
        const BoxGeometry& box = g.box;
        x = _mm256_set1_pd(xi[0]), y = _mm256_set1_pd(xi[1]), z = _mm256_set1_pd(xi[2]);
        hx = _mm256_set1_pd(box.half[0]), hy = _mm256_set1_pd(box.half[1]), hz = _mm256_set1_pd(box.half[2]);
        mhx = _mm256_set1_pd(-box.half[0]), mhy = _mm256_set1_pd(-box.half[1]), mhz = _mm256_set1_pd(-box.half[2]);
        lx = _mm256_set1_pd(box.side[0]), ly = _mm256_set1_pd(box.side[1]), lz = _mm256_set1_pd(box.side[2]);
        rlistsq = _mm256_set1_pd(g.rlistsq);
        me = _mm_set1_epi32(static_cast<int>(self));
    }

    // The sorted entries [k, end) in groups of four; the last, partial group
    // reads only its own entries (masked loads).
    template <bool image>
    AVX2 unsigned int* range(const SortedParticles& p, std::size_t k, std::size_t end, unsigned int* out) const
    {
        for (; k + 4 <= end; k += 4) {
            const __m128i id = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.id + k));
            out = group<image>(id, _mm256_loadu_pd(p.x + k), _mm256_loadu_pd(p.y + k), _mm256_loadu_pd(p.z + k),
                               0xf, out);
        }
        if (k < end) {
            const __m128i live = first_lanes4(end - k);
            const __m256i live64 = _mm256_cvtepi32_epi64(live);
            const __m128i id = _mm_maskload_epi32(reinterpret_cast<const int*>(p.id + k), live);
            out = group<image>(id, _mm256_maskload_pd(p.x + k, live64), _mm256_maskload_pd(p.y + k, live64),
                               _mm256_maskload_pd(p.z + k, live64), (1 << (end - k)) - 1, out);
        }
        return out;
    }

    // The candidates `id` at (px, py, pz), of which the lanes `live` are real.
    template <bool image>
    AVX2 unsigned int* group(__m128i id, __m256d px, __m256d py, __m256d pz, int live, unsigned int* out) const
    {
        __m256d rx = _mm256_sub_pd(x, px), ry = _mm256_sub_pd(y, py), rz = _mm256_sub_pd(z, pz);
        if (image) {
            rx = minimum_image4(rx, hx, mhx, lx);
            ry = minimum_image4(ry, hy, mhy, ly);
            rz = minimum_image4(rz, hz, mhz, lz);
        }
        const __m256d distsq =
            _mm256_add_pd(_mm256_mul_pd(rx, rx), _mm256_add_pd(_mm256_mul_pd(ry, ry), _mm256_mul_pd(rz, rz)));
        const int keep = _mm256_movemask_pd(_mm256_cmp_pd(distsq, rlistsq, _CMP_LE_OQ)) & live &
                         ~_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(id, me)));
        const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(front_lanes4.lanes[keep]));
        const __m128i kept = _mm_castps_si128(_mm_permutevar_ps(_mm_castsi128_ps(id), order));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), kept);
        return out + __builtin_popcount(static_cast<unsigned int>(keep));
    }
};

}  // namespace

AVX2 unsigned int* scan_avx2(const SortedParticles& p, const ScanRanges& r, unsigned int self, const double xi[3],
                             const ListGeometry& g, unsigned int* out)
{
    const Avx2Scan scan(self, xi, g);
    for (unsigned int q = 0; q < r.count; ++q)
        out = r.same_image[q] ? scan.range<false>(p, r.begin[q], r.end[q], out)
                              : scan.range<true>(p, r.begin[q], r.end[q], out);
    return out;
}

bool have_avx512()
{
    static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("popcnt");
    return yes;
}

bool have_avx2()
{
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return yes;
}

ScanFn best_scan()
{
    if (have_avx512())
        return scan_avx512;
    return have_avx2() ? scan_avx2 : scan_scalar;
}

}  // namespace kernels
