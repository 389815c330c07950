// Distance tests of the list build: which candidates of a run of sorted
// particles lie within the list radius of one particle.
#include "kernels.h"

#include "simd.h"

// GCC 12 flags the intrinsics headers' own placeholder operands.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace kernels {

// The squared list radius of self and sorted entry k: its type pair's in a
// mixture, the one radius of one species.
inline double rlistsq_of(const SortedParticles& p, std::size_t k, const ScanSelf& self, const ListGeometry& g)
{
    return self.rlistsq_by_type ? self.rlistsq_by_type[p.type[k]] : g.rlistsq;
}

__attribute__((target_clones("avx2", "default")))
unsigned int* scan_scalar(const SortedParticles& p, const ScanRanges& r, const ScanSelf& self, const ListGeometry& g,
                          unsigned int* out)
{
    const double* xi = self.x;
    for (unsigned int q = 0; q < r.count; ++q) {
        for (std::size_t k = r.begin[q]; k < r.end[q] && r.same_image[q]; ++k) {
            const unsigned int pid = p.id[k];
            const double rx = xi[0] - p.x[k], ry = xi[1] - p.y[k], rz = xi[2] - p.z[k];
            const double distsq = rx * rx + (ry * ry + rz * rz);
            if (distsq <= rlistsq_of(p, k, self, g) && pid != self.id)
                *out++ = pid;
        }
        for (std::size_t k = r.begin[q]; k < r.end[q] && !r.same_image[q]; ++k) {
            const unsigned int pid = p.id[k];
            if (pid == self.id)
                continue;
            const double rx = minimum_image(xi[0] - p.x[k], g.box.half[0], g.box.side[0]);
            const double ry = minimum_image(xi[1] - p.y[k], g.box.half[1], g.box.side[1]);
            const double rz = minimum_image(xi[2] - p.z[k], g.box.half[2], g.box.side[2]);
            const double distsq = rx * rx + (ry * ry + rz * rz);
            if (distsq <= rlistsq_of(p, k, self, g))
                *out++ = pid;
        }
    }
    return out;
}

namespace {

// Eight candidates at a time: the same separations, minimum image and distsq
// lane by lane as scan_scalar, the same <= test against the same radius; the
// kept indices are packed to the front of a register, which is stored whole, and
// `out` advances by their number. As in the AVX2 scan below, whole groups read
// with plain loads and the image test is chosen once per range; a mixture's
// radii are picked per lane from self's row, by a permutation of the row held in
// a register when it has at most eight types, else by a gather.
struct Avx512Scan {
    __m512d x, y, z, hx, hy, hz, mhx, mhy, mhz, lx, ly, lz, rlistsq;
    __m256i me;
    const double* row;  // self's row of squared radii (mixture)
    bool row_in_register;  // at most eight types: rlistsq holds the row

    AVX512 Avx512Scan(const ScanSelf& self, const ListGeometry& g)
        : row(self.rlistsq_by_type), row_in_register(row && self.nr_types <= 8)
    {
        const BoxGeometry& box = g.box;
        const double* xi = self.x;
        x = _mm512_set1_pd(xi[0]), y = _mm512_set1_pd(xi[1]), z = _mm512_set1_pd(xi[2]);
        hx = _mm512_set1_pd(box.half[0]), hy = _mm512_set1_pd(box.half[1]), hz = _mm512_set1_pd(box.half[2]);
        mhx = _mm512_set1_pd(-box.half[0]), mhy = _mm512_set1_pd(-box.half[1]), mhz = _mm512_set1_pd(-box.half[2]);
        lx = _mm512_set1_pd(box.side[0]), ly = _mm512_set1_pd(box.side[1]), lz = _mm512_set1_pd(box.side[2]);
        rlistsq = row_in_register ? _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << self.nr_types) - 1), row)
                                  : _mm512_set1_pd(g.rlistsq);
        me = _mm256_set1_epi32(static_cast<int>(self.id));
    }

    // The sorted entries [k, end) in groups of eight; the last, partial group
    // reads only its own entries (masked loads).
    template <bool image, bool by_type>
    AVX512 unsigned int* range(const SortedParticles& p, std::size_t k, std::size_t end, unsigned int* out) const
    {
        for (; k + 8 <= end; k += 8) {
            const __m256i type = by_type ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.type + k))
                                         : _mm256_setzero_si256();
            out = group<image, by_type>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.id + k)), type,
                                        _mm512_loadu_pd(p.x + k), _mm512_loadu_pd(p.y + k), _mm512_loadu_pd(p.z + k),
                                        0xff, out);
        }
        if (k < end) {
            const __mmask8 live = static_cast<__mmask8>((1u << (end - k)) - 1);
            const __m256i type = by_type ? _mm256_maskz_loadu_epi32(live, p.type + k) : _mm256_setzero_si256();
            out = group<image, by_type>(_mm256_maskz_loadu_epi32(live, p.id + k), type,
                                        _mm512_maskz_loadu_pd(live, p.x + k), _mm512_maskz_loadu_pd(live, p.y + k),
                                        _mm512_maskz_loadu_pd(live, p.z + k), live, out);
        }
        return out;
    }

    // The squared radii of self's pairs with candidates of the given types (dead
    // lanes hold type 0, a valid index).
    AVX512 __m512d radii(__m256i type) const
    {
        return row_in_register ? _mm512_permutexvar_pd(_mm512_cvtepu32_epi64(type), rlistsq)
                               : _mm512_i32gather_pd(type, row, 8);
    }

    // The candidates `id` of types `type` at (px, py, pz), of which the lanes
    // `live` are real.
    template <bool image, bool by_type>
    AVX512 unsigned int* group(__m256i id, __m256i type, __m512d px, __m512d py, __m512d pz, __mmask8 live,
                               unsigned int* out) const
    {
        __m512d rx = _mm512_sub_pd(x, px), ry = _mm512_sub_pd(y, py), rz = _mm512_sub_pd(z, pz);
        if (image) {
            rx = minimum_image8(rx, hx, mhx, lx);
            ry = minimum_image8(ry, hy, mhy, ly);
            rz = minimum_image8(rz, hz, mhz, lz);
        }
        const __m512d distsq =
            _mm512_add_pd(_mm512_mul_pd(rx, rx), _mm512_add_pd(_mm512_mul_pd(ry, ry), _mm512_mul_pd(rz, rz)));
        const __m512d limit = by_type ? radii(type) : rlistsq;
        const __mmask8 keep = static_cast<__mmask8>(_mm512_mask_cmp_pd_mask(live, distsq, limit, _CMP_LE_OQ) &
                                                    ~_mm256_cmpeq_epi32_mask(id, me));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_maskz_compress_epi32(keep, id));
        return out + __builtin_popcount(keep);
    }

    template <bool by_type>
    AVX512 unsigned int* ranges(const SortedParticles& p, const ScanRanges& r, unsigned int* out) const
    {
        for (unsigned int q = 0; q < r.count; ++q)
            out = r.same_image[q] ? range<false, by_type>(p, r.begin[q], r.end[q], out)
                                  : range<true, by_type>(p, r.begin[q], r.end[q], out);
        return out;
    }
};

}  // namespace

AVX512 unsigned int* scan_avx512(const SortedParticles& p, const ScanRanges& r, const ScanSelf& self,
                                 const ListGeometry& g, unsigned int* out)
{
    const Avx512Scan scan(self, g);
    return self.rlistsq_by_type ? scan.ranges<true>(p, r, out) : scan.ranges<false>(p, r, out);
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
// minimum image and distsq lane by lane, the same <= test against the same
// radius (a mixture's gathered from self's row); the kept indices are moved to
// the front of a register, which is stored whole, and `out` advances by their
// number.
struct Avx2Scan {
    __m256d x, y, z, hx, hy, hz, mhx, mhy, mhz, lx, ly, lz, rlistsq;
    __m128i me;
    const double* row;  // self's row of squared radii (mixture)

    AVX2 Avx2Scan(const ScanSelf& self, const ListGeometry& g) : row(self.rlistsq_by_type)
    {
        const BoxGeometry& box = g.box;
        const double* xi = self.x;
        x = _mm256_set1_pd(xi[0]), y = _mm256_set1_pd(xi[1]), z = _mm256_set1_pd(xi[2]);
        hx = _mm256_set1_pd(box.half[0]), hy = _mm256_set1_pd(box.half[1]), hz = _mm256_set1_pd(box.half[2]);
        mhx = _mm256_set1_pd(-box.half[0]), mhy = _mm256_set1_pd(-box.half[1]), mhz = _mm256_set1_pd(-box.half[2]);
        lx = _mm256_set1_pd(box.side[0]), ly = _mm256_set1_pd(box.side[1]), lz = _mm256_set1_pd(box.side[2]);
        rlistsq = _mm256_set1_pd(g.rlistsq);
        me = _mm_set1_epi32(static_cast<int>(self.id));
    }

    // The sorted entries [k, end) in groups of four; the last, partial group
    // reads only its own entries (masked loads; dead lanes get type 0).
    template <bool image, bool by_type>
    AVX2 unsigned int* range(const SortedParticles& p, std::size_t k, std::size_t end, unsigned int* out) const
    {
        for (; k + 4 <= end; k += 4) {
            const __m128i id = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.id + k));
            const __m128i type = by_type ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.type + k))
                                         : _mm_setzero_si128();
            out = group<image, by_type>(id, type, _mm256_loadu_pd(p.x + k), _mm256_loadu_pd(p.y + k),
                                        _mm256_loadu_pd(p.z + k), 0xf, out);
        }
        if (k < end) {
            const __m128i live = first_lanes4(end - k);
            const __m256i live64 = _mm256_cvtepi32_epi64(live);
            const __m128i id = _mm_maskload_epi32(reinterpret_cast<const int*>(p.id + k), live);
            const __m128i type = by_type ? _mm_maskload_epi32(p.type + k, live) : _mm_setzero_si128();
            out = group<image, by_type>(id, type, _mm256_maskload_pd(p.x + k, live64),
                                        _mm256_maskload_pd(p.y + k, live64), _mm256_maskload_pd(p.z + k, live64),
                                        (1 << (end - k)) - 1, out);
        }
        return out;
    }

    // The candidates `id` of types `type` at (px, py, pz), of which the lanes
    // `live` are real.
    template <bool image, bool by_type>
    AVX2 unsigned int* group(__m128i id, __m128i type, __m256d px, __m256d py, __m256d pz, int live,
                             unsigned int* out) const
    {
        __m256d rx = _mm256_sub_pd(x, px), ry = _mm256_sub_pd(y, py), rz = _mm256_sub_pd(z, pz);
        if (image) {
            rx = minimum_image4(rx, hx, mhx, lx);
            ry = minimum_image4(ry, hy, mhy, ly);
            rz = minimum_image4(rz, hz, mhz, lz);
        }
        const __m256d distsq =
            _mm256_add_pd(_mm256_mul_pd(rx, rx), _mm256_add_pd(_mm256_mul_pd(ry, ry), _mm256_mul_pd(rz, rz)));
        const __m256d limit = by_type ? _mm256_i32gather_pd(row, type, 8) : rlistsq;
        const int keep = _mm256_movemask_pd(_mm256_cmp_pd(distsq, limit, _CMP_LE_OQ)) & live &
                         ~_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(id, me)));
        const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(front_lanes4.lanes[keep]));
        const __m128i kept = _mm_castps_si128(_mm_permutevar_ps(_mm_castsi128_ps(id), order));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), kept);
        return out + __builtin_popcount(static_cast<unsigned int>(keep));
    }

    template <bool by_type>
    AVX2 unsigned int* ranges(const SortedParticles& p, const ScanRanges& r, unsigned int* out) const
    {
        for (unsigned int q = 0; q < r.count; ++q)
            out = r.same_image[q] ? range<false, by_type>(p, r.begin[q], r.end[q], out)
                                  : range<true, by_type>(p, r.begin[q], r.end[q], out);
        return out;
    }
};

}  // namespace

AVX2 unsigned int* scan_avx2(const SortedParticles& p, const ScanRanges& r, const ScanSelf& self,
                             const ListGeometry& g, unsigned int* out)
{
    const Avx2Scan scan(self, g);
    return self.rlistsq_by_type ? scan.ranges<true>(p, r, out) : scan.ranges<false>(p, r, out);
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
    switch (kernel_set()) {
    case KernelSet::avx512:
        return scan_avx512;
    case KernelSet::avx2:
        return scan_avx2;
    default:
        return scan_scalar;
    }
}

}  // namespace kernels
