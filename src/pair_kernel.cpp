// The Lennard-Jones pair terms over the neighbour runs of a block of particles.
//
// Per listed pair (r_ij the minimum image of r_i - r_j, distsq = x^2 + (y^2 + z^2))
// with distsq < rc^2, the terms of LJPairEvaluator (lj_pair.h):
//   epot term   (sr12 - sr6) - epot_cutoff
//   force term  ((sr12 + sr12) - sr6) / distsq * r_ij
//   virial term (sr12 + sr12) - sr6, that is r_ij . F_ij
// The terms are added to the particle's force, and to the energy sum, one pair
// after the other in list order, so that every variant gives the same bits. The
// virial terms of a particle's pairs within the cut-off are dealt in list order
// to four partial sums in turn (the k-th to sum k mod 4, each started from 0.0),
// and the particle's virial is (s0 + s1) + (s2 + s3): the order in which vector
// loops add them four at a time, here written out for every variant.
#include "kernels.h"

#include "lj_pair.h"
#include "simd.h"

#include <algorithm>
#include <vector>

// GCC 12 flags the intrinsics headers' own placeholder operands.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace kernels {

__attribute__((target_clones("avx2", "default")))
double pair_forces_scalar(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                          double epotsum)
{
    const double* pos = in.positions;
    const unsigned int* list = in.list;
    for (std::size_t i = begin; i < end; ++i) {
        const double xi = pos[4 * i], yi = pos[4 * i + 1], zi = pos[4 * i + 2];
        double fx = 0.0, fy = 0.0, fz = 0.0;
        double w[4] = {0.0, 0.0, 0.0, 0.0};
        unsigned int k = 0;
        for (std::size_t n = list[i]; n < in.list_size && list[n] != i; ++n) {
            const std::size_t j = list[n];
            const double rx = minimum_image(xi - pos[4 * j], in.box.half[0], in.box.side[0]);
            const double ry = minimum_image(yi - pos[4 * j + 1], in.box.half[1], in.box.side[1]);
            const double rz = minimum_image(zi - pos[4 * j + 2], in.box.half[2], in.box.side[2]);
            const double distsq = rx * rx + (ry * ry + rz * rz);
            if (distsq < in.rcutsq) {
                const LJPairEvaluator pair(in.sigmasq, distsq);
                epotsum += pair.energy(in.epot_cutoff);
                w[k++ & 3] += pair.virial();
                const double fr = pair.force_factor();
                fx += fr * rx;
                fy += fr * ry;
                fz += fr * rz;
            }
        }
        out.forces[3 * i] = fx;
        out.forces[3 * i + 1] = fy;
        out.forces[3 * i + 2] = fz;
        out.virials[i] = (w[0] + w[1]) + (w[2] + w[3]);
    }
    return epotsum;
}

namespace {

// Lanes [0, n) of a mask, n <= 8.
inline __mmask8 first_lanes(std::size_t n)
{
    return n >= 8 ? static_cast<__mmask8>(0xff) : static_cast<__mmask8>((1u << n) - 1);
}

}  // namespace

// The running sums of the vector loops: (epotsum, fx, fy, fz) in one register,
// the four partial sums of the current particle's virial in another.
struct Sums {
    __m256d rows;
    __m256d virial;
};

// The pairs of one run within the cut-off, packed in list order: separation and
// distsq, as four arrays with room for a whole register beyond `count`.
struct PackedRun {
    std::vector<double> store;
    std::size_t capacity = 0;
    std::size_t count = 0;
    double* x = nullptr;
    double* y = nullptr;
    double* z = nullptr;
    double* distsq = nullptr;

    void reserve(std::size_t n)
    {
        capacity = n;
        store.assign(4 * (n + 8), 0.0);
        x = store.data();
        y = x + n + 8;
        z = y + n + 8;
        distsq = z + n + 8;
    }
};

namespace {

// The AVX-512 pair loop, in two stages per particle. Stage 1 (pack) takes the run
// eight entries at a time (the neighbours' rows, minimum image, distsq) and packs
// the pairs within the cut-off, in list order. Stage 2 (add) computes their terms
// eight at a time, turns the four lanes (epot, fx, fy, fz) of each pair into one
// row and adds the rows to the accumulator (epotsum, fx, fy, fz) one after the
// other: one addition per pair, the same additions as the scalar loop. Lanes
// without a pair add +0.0, which changes no sum (a sum started at +0.0 is never
// -0.0). The additions form one long chain (the energy runs through all
// particles), so stage 2 of particle i is interleaved with stage 1 of particle
// i + 1, one chunk of each in turn: the chain then overlaps with packing.
struct Avx512Pairs {
    const double* pos;
    const unsigned int* list;
    std::size_t list_size;
    __m512d hx, hy, hz, mhx, mhy, mhz, lx, ly, lz;
    __m512d rcutsq, sigmasq, epot_cutoff, one;
    __m512i mix_lo, mix_hi, rows_lo, rows_hi, take_lo, take_hi;
    double central_lo[3], central_hi[3];

    AVX512 explicit Avx512Pairs(const PairInput& in)
        : pos(in.positions), list(in.list), list_size(in.list_size)
    {
        for (int k = 0; k < 3; ++k) {
            central_lo[k] = in.central_lo[k];
            central_hi[k] = in.central_hi[k];
        }
        const BoxGeometry& box = in.box;
        hx = _mm512_set1_pd(box.half[0]), hy = _mm512_set1_pd(box.half[1]), hz = _mm512_set1_pd(box.half[2]);
        mhx = _mm512_set1_pd(-box.half[0]), mhy = _mm512_set1_pd(-box.half[1]), mhz = _mm512_set1_pd(-box.half[2]);
        lx = _mm512_set1_pd(box.side[0]), ly = _mm512_set1_pd(box.side[1]), lz = _mm512_set1_pd(box.side[2]);
        rcutsq = _mm512_set1_pd(in.rcutsq), sigmasq = _mm512_set1_pd(in.sigmasq);
        epot_cutoff = _mm512_set1_pd(in.epot_cutoff), one = _mm512_set1_pd(1.0);
        // interleave two registers lane by lane (first / second half), then pairs of lanes
        mix_lo = _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11);
        mix_hi = _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15);
        rows_lo = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
        rows_hi = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
        // lanes 0 1 of each 128-bit pair of two registers, in order (x, y), or lanes 2 3 (z)
        take_lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
        take_hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    }

    // Stage 1 for particle i, with stage 2 of the particle before it (`pending`,
    // into acc) interleaved chunk by chunk, so that the chain of additions overlaps
    // with the independent work of packing.
    AVX512 void pack(std::size_t i, PackedRun& run, const PackedRun* pending, Sums& acc) const
    {
        const double* p = pos + 4 * i;
        if (p[0] >= central_lo[0] && p[0] <= central_hi[0] && p[1] >= central_lo[1] && p[1] <= central_hi[1] &&
            p[2] >= central_lo[2] && p[2] <= central_hi[2])
            pack_run<false>(i, run, pending, acc);
        else
            pack_run<true>(i, run, pending, acc);
    }

    template <bool image>
    AVX512 void pack_run(std::size_t i, PackedRun& run, const PackedRun* pending, Sums& sums) const
    {
        Sums acc = sums;  // in registers through the loop
        std::size_t added = 0;
        const std::size_t to_add = pending ? pending->count : 0;
        const __m512d xi = _mm512_set1_pd(pos[4 * i]), yi = _mm512_set1_pd(pos[4 * i + 1]),
                      zi = _mm512_set1_pd(pos[4 * i + 2]);
        const __m256i me = _mm256_set1_epi32(static_cast<int>(i));
        std::size_t n = list[i], count = 0;
        bool more = n < list_size;
        while (more) {
            const __mmask8 avail = first_lanes(list_size - n);
            const __m256i j = _mm256_maskz_loadu_epi32(avail, list + n);
            const __mmask8 owner = _mm256_mask_cmpeq_epi32_mask(avail, j, me);
            __mmask8 valid = avail;
            if (owner) {  // the run ends before the first copy of i
                valid = static_cast<__mmask8>((owner & (0u - owner)) - 1);
                more = false;
            } else if (avail != 0xff) {
                more = false;  // a run without terminator stops at the end of the list
            }
            n += 8;

            // The eight neighbours' (x, y, z, 0) rows, turned into x, y and z registers.
            // Entries past the run are the next runs' particle indices, read but
            // masked out; only at the very end of the list are they replaced by 0.
            const unsigned int* jj = list + n - 8;
            alignas(32) unsigned int tail[8];
            if (avail != 0xff) {
                _mm256_store_si256(reinterpret_cast<__m256i*>(tail), j);
                jj = tail;
            }
            const __m512d p04 = row_pair(jj[0], jj[4]), p15 = row_pair(jj[1], jj[5]);
            const __m512d p26 = row_pair(jj[2], jj[6]), p37 = row_pair(jj[3], jj[7]);
            const __m512d xz01 = _mm512_unpacklo_pd(p04, p15);  // x0 x1 z0 z1 | x4 x5 z4 z5
            const __m512d y01 = _mm512_unpackhi_pd(p04, p15);   // y0 y1 .. .. | y4 y5 .. ..
            const __m512d xz23 = _mm512_unpacklo_pd(p26, p37);
            const __m512d y23 = _mm512_unpackhi_pd(p26, p37);
            __m512d rx = _mm512_sub_pd(xi, _mm512_permutex2var_pd(xz01, take_lo, xz23));
            __m512d ry = _mm512_sub_pd(yi, _mm512_permutex2var_pd(y01, take_lo, y23));
            __m512d rz = _mm512_sub_pd(zi, _mm512_permutex2var_pd(xz01, take_hi, xz23));
            if (image) {
                rx = minimum_image8(rx, hx, mhx, lx);
                ry = minimum_image8(ry, hy, mhy, ly);
                rz = minimum_image8(rz, hz, mhz, lz);
            }
            const __m512d distsq =
                _mm512_add_pd(_mm512_mul_pd(rx, rx), _mm512_add_pd(_mm512_mul_pd(ry, ry), _mm512_mul_pd(rz, rz)));
            const __mmask8 near = _mm512_mask_cmp_pd_mask(valid, distsq, rcutsq, _CMP_LT_OQ);

            if (count + 8 > run.capacity) {  // an unusually crowded run: keep what is packed
                PackedRun bigger;
                bigger.reserve(2 * run.capacity + 8);
                std::copy(run.x, run.x + count, bigger.x);
                std::copy(run.y, run.y + count, bigger.y);
                std::copy(run.z, run.z + count, bigger.z);
                std::copy(run.distsq, run.distsq + count, bigger.distsq);
                run = std::move(bigger);
            }
            _mm512_storeu_pd(run.x + count, _mm512_maskz_compress_pd(near, rx));
            _mm512_storeu_pd(run.y + count, _mm512_maskz_compress_pd(near, ry));
            _mm512_storeu_pd(run.z + count, _mm512_maskz_compress_pd(near, rz));
            _mm512_storeu_pd(run.distsq + count, _mm512_maskz_compress_pd(near, distsq));
            count += static_cast<std::size_t>(__builtin_popcount(near));
            if (added < to_add) {
                acc = add_chunk(*pending, added, acc);
                added += 8;
            }
        }
        run.count = count;
        for (; added < to_add; added += 8)
            acc = add_chunk(*pending, added, acc);
        sums = acc;
    }

    // Rows j and k of the padded positions, as the two halves of one register.
    AVX512 __m512d row_pair(unsigned int j, unsigned int k) const
    {
        return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(pos + 4 * std::size_t(j))),
                                  _mm256_loadu_pd(pos + 4 * std::size_t(k)), 1);
    }

    // Stage 2 for the packed pairs k .. k + 7: their terms, added to acc row by
    // row in list order. The terms are those of LJPairEvaluator (lj_pair.h), lane
    // by lane, with the same operations in the same order.
    AVX512 Sums add_chunk(const PackedRun& run, std::size_t k, Sums acc) const
    {
        const __mmask8 live = first_lanes(run.count - k);
        const __m512d distsq = _mm512_mask_loadu_pd(one, live, run.distsq + k);
        const __m512d sr2 = _mm512_div_pd(sigmasq, distsq);
        const __m512d sr6 = _mm512_mul_pd(_mm512_mul_pd(sr2, sr2), sr2);
        const __m512d sr12 = _mm512_mul_pd(sr6, sr6);
        const __m512d e = _mm512_maskz_sub_pd(live, _mm512_sub_pd(sr12, sr6), epot_cutoff);
        const __m512d w = _mm512_sub_pd(_mm512_add_pd(sr12, sr12), sr6);
        const __m512d fr = _mm512_div_pd(w, distsq);
        const __m512d fx = _mm512_maskz_mul_pd(live, fr, _mm512_loadu_pd(run.x + k));
        const __m512d fy = _mm512_maskz_mul_pd(live, fr, _mm512_loadu_pd(run.y + k));
        const __m512d fz = _mm512_maskz_mul_pd(live, fr, _mm512_loadu_pd(run.z + k));

        const __m512d efx_lo = _mm512_permutex2var_pd(e, mix_lo, fx);  // e0 fx0 e1 fx1 ...
        const __m512d fyz_lo = _mm512_permutex2var_pd(fy, mix_lo, fz);
        const __m512d efx_hi = _mm512_permutex2var_pd(e, mix_hi, fx);
        const __m512d fyz_hi = _mm512_permutex2var_pd(fy, mix_hi, fz);
        const __m512d row01 = _mm512_permutex2var_pd(efx_lo, rows_lo, fyz_lo);  // pair 0 | pair 1
        const __m512d row23 = _mm512_permutex2var_pd(efx_lo, rows_hi, fyz_lo);
        const __m512d row45 = _mm512_permutex2var_pd(efx_hi, rows_lo, fyz_hi);
        const __m512d row67 = _mm512_permutex2var_pd(efx_hi, rows_hi, fyz_hi);
        __m256d rows = acc.rows;
        rows = _mm256_add_pd(rows, _mm512_castpd512_pd256(row01));
        rows = _mm256_add_pd(rows, _mm512_extractf64x4_pd(row01, 1));
        rows = _mm256_add_pd(rows, _mm512_castpd512_pd256(row23));
        rows = _mm256_add_pd(rows, _mm512_extractf64x4_pd(row23, 1));
        rows = _mm256_add_pd(rows, _mm512_castpd512_pd256(row45));
        rows = _mm256_add_pd(rows, _mm512_extractf64x4_pd(row45, 1));
        rows = _mm256_add_pd(rows, _mm512_castpd512_pd256(row67));
        rows = _mm256_add_pd(rows, _mm512_extractf64x4_pd(row67, 1));
        const __m512d live_w = _mm512_maskz_mov_pd(live, w);  // lanes without a pair add +0.0
        const __m256d w_lo = _mm256_add_pd(acc.virial, _mm512_castpd512_pd256(live_w));
        return Sums{rows, _mm256_add_pd(w_lo, _mm512_extractf64x4_pd(live_w, 1))};
    }
};

}  // namespace

AVX512 double pair_forces_avx512(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                                 double epotsum)
{
    const Avx512Pairs pairs(in);
    PackedRun runs[2];
    runs[0].reserve(256);
    runs[1].reserve(256);

    Sums acc{_mm256_set_pd(0.0, 0.0, 0.0, epotsum), _mm256_setzero_pd()};
    if (begin < end)
        pairs.pack(begin, runs[begin & 1], nullptr, acc);
    for (std::size_t i = begin; i < end; ++i) {
        // new particle: force and virial from 0.0, the energy runs on
        acc = Sums{_mm256_blend_pd(_mm256_setzero_pd(), acc.rows, 0x1), _mm256_setzero_pd()};
        const PackedRun& mine = runs[i & 1];
        if (i + 1 < end) {
            pairs.pack(i + 1, runs[(i + 1) & 1], &mine, acc);
        } else {
            for (std::size_t k = 0; k < mine.count; k += 8)
                acc = pairs.add_chunk(mine, k, acc);
        }
        alignas(32) double sums[4];
        _mm256_store_pd(sums, acc.rows);
        out.forces[3 * i] = sums[1];
        out.forces[3 * i + 1] = sums[2];
        out.forces[3 * i + 2] = sums[3];
        out.virials[i] = pairwise4(acc.virial);
    }
    return _mm256_cvtsd_f64(acc.rows);
}

namespace {

// For each set of kept lanes of four doubles (bit l: lane l), the permutation of
// 32-bit halves (_mm256_permutevar8x32_ps) that moves those lanes to the front in
// order; the rest repeat lane 0 and are overwritten by the next store.
struct FrontLanes4x64 {
    alignas(32) int halves[16][8];
};

constexpr FrontLanes4x64 make_front_lanes4x64()
{
    FrontLanes4x64 t{};
    for (int keep = 0; keep < 16; ++keep) {
        int k = 0;
        for (int l = 0; l < 4; ++l)
            if (keep & (1 << l)) {
                t.halves[keep][2 * k] = 2 * l;
                t.halves[keep][2 * k + 1] = 2 * l + 1;
                ++k;
            }
        for (; k < 4; ++k)
            t.halves[keep][2 * k + 1] = 1;
    }
    return t;
}

constexpr FrontLanes4x64 front_lanes4x64 = make_front_lanes4x64();

AVX2 inline __m256d to_front(__m256d v, int keep)
{
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(front_lanes4x64.halves[keep]));
    return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), order));
}

// The AVX2 pair loop: the two stages of the AVX-512 loop, four lanes wide.
// Stage 1 (pack) takes the run four entries at a time (the neighbours' rows,
// minimum image, distsq) and packs the pairs within the cut-off, in list order.
// Stage 2 (add) computes the terms of four packed pairs, turns the four lanes
// (epot, fx, fy, fz) of each pair into one row and adds the rows to the
// accumulator (epotsum, fx, fy, fz) one after the other: one addition per pair,
// the same additions as the scalar loop. Lanes without a pair add +0.0, which
// changes no sum (a sum started at +0.0 is never -0.0). As in the AVX-512 loop,
// stage 2 of particle i is interleaved with stage 1 of particle i + 1, one group
// of each in turn, so that the long chain of additions overlaps with packing.
struct Avx2Pairs {
    const double* pos;
    const unsigned int* list;
    std::size_t list_size;
    __m256d hx, hy, hz, mhx, mhy, mhz, lx, ly, lz;
    __m256d rcutsq, sigmasq, epot_cutoff, one;
    double central_lo[3], central_hi[3];

    AVX2 explicit Avx2Pairs(const PairInput& in) : pos(in.positions), list(in.list), list_size(in.list_size)
    {
        for (int k = 0; k < 3; ++k) {
            central_lo[k] = in.central_lo[k];
            central_hi[k] = in.central_hi[k];
        }
        const BoxGeometry& box = in.box;
        hx = _mm256_set1_pd(box.half[0]), hy = _mm256_set1_pd(box.half[1]), hz = _mm256_set1_pd(box.half[2]);
        mhx = _mm256_set1_pd(-box.half[0]), mhy = _mm256_set1_pd(-box.half[1]), mhz = _mm256_set1_pd(-box.half[2]);
        lx = _mm256_set1_pd(box.side[0]), ly = _mm256_set1_pd(box.side[1]), lz = _mm256_set1_pd(box.side[2]);
        rcutsq = _mm256_set1_pd(in.rcutsq), sigmasq = _mm256_set1_pd(in.sigmasq);
        epot_cutoff = _mm256_set1_pd(in.epot_cutoff), one = _mm256_set1_pd(1.0);
    }

    // Stage 1 for particle i, with stage 2 of the particle before it (`pending`,
    // into acc) interleaved group by group.
    AVX2 void pack(std::size_t i, PackedRun& run, const PackedRun* pending, Sums& acc) const
    {
        const double* p = pos + 4 * i;
        if (p[0] >= central_lo[0] && p[0] <= central_hi[0] && p[1] >= central_lo[1] && p[1] <= central_hi[1] &&
            p[2] >= central_lo[2] && p[2] <= central_hi[2])
            pack_run<false>(i, run, pending, acc);
        else
            pack_run<true>(i, run, pending, acc);
    }

    template <bool image>
    AVX2 void pack_run(std::size_t i, PackedRun& run, const PackedRun* pending, Sums& sums) const
    {
        Sums acc = sums;  // in registers through the loop
        std::size_t added = 0;
        const std::size_t to_add = pending ? pending->count : 0;
        const __m256d xi = _mm256_set1_pd(pos[4 * i]), yi = _mm256_set1_pd(pos[4 * i + 1]),
                      zi = _mm256_set1_pd(pos[4 * i + 2]);
        const __m128i me = _mm_set1_epi32(static_cast<int>(i));
        std::size_t n = list[i];
        bool more = n < list_size;
        run.count = 0;
        while (more) {
            // Four entries. Entries past the run are the next runs' particle
            // indices, read but masked out; only at the very end of the list are
            // they replaced by 0 (masked load).
            const std::size_t left = list_size - n;
            const unsigned int* jj = list + n;
            alignas(16) unsigned int tail[4];
            __m128i j;
            int avail = 0xf;
            if (left >= 4) {
                j = _mm_loadu_si128(reinterpret_cast<const __m128i*>(jj));
            } else {
                j = _mm_maskload_epi32(reinterpret_cast<const int*>(jj), first_lanes4(left));
                _mm_store_si128(reinterpret_cast<__m128i*>(tail), j);
                jj = tail;
                avail = (1 << left) - 1;
            }
            const int owner = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(j, me))) & avail;
            int valid = avail;
            if (owner) {  // the run ends before the first copy of i
                valid = (owner & -owner) - 1;
                more = false;
            } else if (avail != 0xf) {
                more = false;  // a run without terminator stops at the end of the list
            }
            n += 4;

            __m256d rx, ry, rz;
            separations(jj, xi, yi, zi, rx, ry, rz);
            if (image) {
                rx = minimum_image4(rx, hx, mhx, lx);
                ry = minimum_image4(ry, hy, mhy, ly);
                rz = minimum_image4(rz, hz, mhz, lz);
            }
            const __m256d distsq =
                _mm256_add_pd(_mm256_mul_pd(rx, rx), _mm256_add_pd(_mm256_mul_pd(ry, ry), _mm256_mul_pd(rz, rz)));
            const int near = _mm256_movemask_pd(_mm256_cmp_pd(distsq, rcutsq, _CMP_LT_OQ)) & valid;
            append(run, near, rx, ry, rz, distsq);
            if (added < to_add) {
                acc = add_group(*pending, added, acc);
                added += 4;
            }
        }
        for (; added < to_add; added += 4)
            acc = add_group(*pending, added, acc);
        sums = acc;
    }

    // xi - x_j, yi - y_j, zi - z_j for the four neighbours jj: their (x, y, z, 0)
    // rows, transposed into x, y and z registers.
    AVX2 void separations(const unsigned int* jj, __m256d xi, __m256d yi, __m256d zi, __m256d& rx, __m256d& ry,
                          __m256d& rz) const
    {
        const __m256d r0 = _mm256_loadu_pd(pos + 4 * std::size_t(jj[0]));
        const __m256d r1 = _mm256_loadu_pd(pos + 4 * std::size_t(jj[1]));
        const __m256d r2 = _mm256_loadu_pd(pos + 4 * std::size_t(jj[2]));
        const __m256d r3 = _mm256_loadu_pd(pos + 4 * std::size_t(jj[3]));
        const __m256d xz01 = _mm256_unpacklo_pd(r0, r1);  // x0 x1 | z0 z1
        const __m256d y01 = _mm256_unpackhi_pd(r0, r1);   // y0 y1 | .. ..
        const __m256d xz23 = _mm256_unpacklo_pd(r2, r3);
        const __m256d y23 = _mm256_unpackhi_pd(r2, r3);
        rx = _mm256_sub_pd(xi, _mm256_permute2f128_pd(xz01, xz23, 0x20));
        ry = _mm256_sub_pd(yi, _mm256_permute2f128_pd(y01, y23, 0x20));
        rz = _mm256_sub_pd(zi, _mm256_permute2f128_pd(xz01, xz23, 0x31));
    }

    // Packs the lanes `near` of one group behind the run's pairs, in lane order.
    AVX2 static void append(PackedRun& run, int near, __m256d rx, __m256d ry, __m256d rz, __m256d distsq)
    {
        const std::size_t count = run.count;
        if (count + 4 > run.capacity) {  // an unusually crowded run: keep what is packed
            PackedRun bigger;
            bigger.reserve(2 * run.capacity + 8);
            std::copy(run.x, run.x + count, bigger.x);
            std::copy(run.y, run.y + count, bigger.y);
            std::copy(run.z, run.z + count, bigger.z);
            std::copy(run.distsq, run.distsq + count, bigger.distsq);
            run = std::move(bigger);
        }
        _mm256_storeu_pd(run.x + count, to_front(rx, near));
        _mm256_storeu_pd(run.y + count, to_front(ry, near));
        _mm256_storeu_pd(run.z + count, to_front(rz, near));
        _mm256_storeu_pd(run.distsq + count, to_front(distsq, near));
        run.count = count + static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned int>(near)));
    }

    // Stage 2 for the packed pairs k .. k + 3: their terms, added to acc row by
    // row in list order.
    AVX2 Sums add_group(const PackedRun& run, std::size_t k, Sums acc) const
    {
        return k + 4 <= run.count ? add_terms<true>(run, k, acc) : add_terms<false>(run, k, acc);
    }

    // The terms are those of LJPairEvaluator (lj_pair.h), lane by lane, with the
    // same operations in the same order. In the last, partial group of a run the
    // lanes past its pairs divide 1.0 and are then zeroed.
    template <bool whole>
    AVX2 Sums add_terms(const PackedRun& run, std::size_t k, Sums acc) const
    {
        const __m256d live = whole ? _mm256_castsi256_pd(_mm256_set1_epi64x(-1)) : first_lanes4_pd(run.count - k);
        __m256d distsq = _mm256_loadu_pd(run.distsq + k);
        if (!whole)
            distsq = _mm256_blendv_pd(one, distsq, live);
        const __m256d sr2 = _mm256_div_pd(sigmasq, distsq);
        const __m256d sr6 = _mm256_mul_pd(_mm256_mul_pd(sr2, sr2), sr2);
        const __m256d sr12 = _mm256_mul_pd(sr6, sr6);
        __m256d e = _mm256_sub_pd(_mm256_sub_pd(sr12, sr6), epot_cutoff);
        __m256d w = _mm256_sub_pd(_mm256_add_pd(sr12, sr12), sr6);
        const __m256d fr = _mm256_div_pd(w, distsq);
        __m256d fx = _mm256_mul_pd(fr, _mm256_loadu_pd(run.x + k));
        __m256d fy = _mm256_mul_pd(fr, _mm256_loadu_pd(run.y + k));
        __m256d fz = _mm256_mul_pd(fr, _mm256_loadu_pd(run.z + k));
        if (!whole) {  // lanes without a pair add +0.0
            e = _mm256_and_pd(live, e);
            w = _mm256_and_pd(live, w);
            fx = _mm256_and_pd(live, fx);
            fy = _mm256_and_pd(live, fy);
            fz = _mm256_and_pd(live, fz);
        }

        const __m256d efx02 = _mm256_unpacklo_pd(e, fx);  // e0 fx0 | e2 fx2
        const __m256d efx13 = _mm256_unpackhi_pd(e, fx);  // e1 fx1 | e3 fx3
        const __m256d fyz02 = _mm256_unpacklo_pd(fy, fz);
        const __m256d fyz13 = _mm256_unpackhi_pd(fy, fz);
        __m256d rows = acc.rows;
        rows = _mm256_add_pd(rows, _mm256_permute2f128_pd(efx02, fyz02, 0x20));  // pair 0: e0 fx0 fy0 fz0
        rows = _mm256_add_pd(rows, _mm256_permute2f128_pd(efx13, fyz13, 0x20));
        rows = _mm256_add_pd(rows, _mm256_permute2f128_pd(efx02, fyz02, 0x31));
        rows = _mm256_add_pd(rows, _mm256_permute2f128_pd(efx13, fyz13, 0x31));
        return Sums{rows, _mm256_add_pd(acc.virial, w)};
    }
};

}  // namespace

AVX2 double pair_forces_avx2(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                             double epotsum)
{
    const Avx2Pairs pairs(in);
    PackedRun runs[2];
    runs[0].reserve(256);
    runs[1].reserve(256);

    Sums acc{_mm256_set_pd(0.0, 0.0, 0.0, epotsum), _mm256_setzero_pd()};
    if (begin < end)
        pairs.pack(begin, runs[begin & 1], nullptr, acc);
    for (std::size_t i = begin; i < end; ++i) {
        // new particle: force and virial from 0.0, the energy runs on
        acc = Sums{_mm256_blend_pd(_mm256_setzero_pd(), acc.rows, 0x1), _mm256_setzero_pd()};
        const PackedRun& mine = runs[i & 1];
        if (i + 1 < end) {
            pairs.pack(i + 1, runs[(i + 1) & 1], &mine, acc);
        } else {
            for (std::size_t k = 0; k < mine.count; k += 4)
                acc = pairs.add_group(mine, k, acc);
        }
        alignas(32) double sums[4];
        _mm256_store_pd(sums, acc.rows);
        out.forces[3 * i] = sums[1];
        out.forces[3 * i + 1] = sums[2];
        out.forces[3 * i + 2] = sums[3];
        out.virials[i] = pairwise4(acc.virial);
    }
    return _mm256_cvtsd_f64(acc.rows);
}

PairFn best_pair_forces()
{
    if (have_avx512())
        return pair_forces_avx512;
    return have_avx2() ? pair_forces_avx2 : pair_forces_scalar;
}

}  // namespace kernels
