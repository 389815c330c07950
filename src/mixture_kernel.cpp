// The Lennard-Jones pair terms of a mixture over the neighbour runs of a block
// of particles: the loop of pair_kernel.cpp with the parameters of each pair
// looked up in the tables of its two types (index type_i * S + type_j). The
// vector loops read a neighbour's type from the fourth slot of its position row
// and hold small tables (two species, or up to four with AVX-512) in registers.
//
// Per listed pair with distsq < rc_ab^2 (sr2 = s_ab^2 / distsq, sr6 = (sr2 sr2) sr2,
// sr12 = sr6 sr6):
//   energy  ((sr12 - sr6) - epot_cutoff_ab) 4 eps_ab
//   force   (((sr12 + sr12) - sr6) / distsq) 24 eps_ab * r_ij
//   virial  ((sr12 + sr12) - sr6) 24 eps_ab = r_ij . F_ij
// The prefactors differ from pair to pair, so they are applied per pair here
// rather than once after the loop as for one species. Energy and forces are
// added one pair after the other in list order; the virial of a particle goes
// into four partial sums (interacting pair k into partial k mod 4), which is
// what four vector lanes do. Every variant gives the same bits.
#include "kernels.h"

#include "lj_pair.h"
#include "simd.h"

#include <algorithm>
#include <vector>

// GCC 12 flags the intrinsics headers' own placeholder operands.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace kernels {

__attribute__((target_clones("avx2", "default")))
double mixed_pair_forces_scalar(const MixedPairInput& in, std::size_t begin, std::size_t end,
                                const PairOutput& out, double epotsum)
{
    const PairInput& p = in.pair;
    const double* pos = p.positions;
    const unsigned int* list = p.list;
    for (std::size_t i = begin; i < end; ++i) {
        const double xi = pos[4 * i], yi = pos[4 * i + 1], zi = pos[4 * i + 2];
        const std::size_t row = static_cast<std::size_t>(in.types[i]) * in.nr_types;
        double fx = 0.0, fy = 0.0, fz = 0.0;
        double w[4] = {0.0, 0.0, 0.0, 0.0};
        std::size_t k = 0;
        for (std::size_t n = list[i]; n < p.list_size && list[n] != i; ++n) {
            const std::size_t j = list[n];
            const double rx = minimum_image(xi - pos[4 * j], p.box.half[0], p.box.side[0]);
            const double ry = minimum_image(yi - pos[4 * j + 1], p.box.half[1], p.box.side[1]);
            const double rz = minimum_image(zi - pos[4 * j + 2], p.box.half[2], p.box.side[2]);
            const double distsq = rx * rx + (ry * ry + rz * rz);
            const std::size_t t = row + static_cast<std::size_t>(in.types[j]);
            if (distsq < in.rcutsq[t]) {
                const LJPairEvaluator pair(in.sigmasq[t], distsq);
                epotsum += pair.energy(in.epot_cutoff[t]) * in.eps4[t];
                const double fr = pair.force_factor() * in.eps24[t];
                fx += fr * rx;
                fy += fr * ry;
                fz += fr * rz;
                w[k & 3] += pair.virial() * in.eps24[t];
                ++k;
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

// The interacting pairs of one run, packed in list order: separation, distsq
// and the table index (as a double), with room for a whole register beyond
// `count`. Entries never written are 0, a valid table index.
struct MixedRun {
    std::vector<double> store;
    std::size_t capacity = 0;
    std::size_t count = 0;
    double* x = nullptr;
    double* y = nullptr;
    double* z = nullptr;
    double* distsq = nullptr;
    double* index = nullptr;

    void reserve(std::size_t n)
    {
        capacity = n;
        store.assign(5 * (n + 8), 0.0);
        x = store.data();
        y = x + n + 8;
        z = y + n + 8;
        distsq = z + n + 8;
        index = distsq + n + 8;
    }

    // Room for `more` pairs behind the packed ones, keeping them.
    void make_room(std::size_t more)
    {
        if (count + more <= capacity)
            return;
        MixedRun bigger;
        bigger.reserve(2 * capacity + 8);
        for (int a = 0; a < 5; ++a)
            std::copy(store.data() + a * (capacity + 8), store.data() + a * (capacity + 8) + count,
                      bigger.store.data() + a * (bigger.capacity + 8));
        bigger.count = count;
        *this = std::move(bigger);
    }
};

// The particle's sums as (energy, fx, fy, fz) and four virial partials.
struct Sums {
    __m256d acc;
    __m256d virial;
};

// Row sums of the particle just finished into the outputs; virial partials as
// (p0 + p1) + (p2 + p3). The energy lane runs on.
AVX2 inline void store_particle(std::size_t i, Sums& s, const PairOutput& out)
{
    alignas(32) double sums[4], w[4];
    _mm256_store_pd(sums, s.acc);
    _mm256_store_pd(w, s.virial);
    out.forces[3 * i] = sums[1];
    out.forces[3 * i + 1] = sums[2];
    out.forces[3 * i + 2] = sums[3];
    out.virials[i] = (w[0] + w[1]) + (w[2] + w[3]);
}

// The common part of both vector loops: list, central region, types.
struct MixedTables {
    const double* pos;
    const unsigned int* list;
    std::size_t list_size;
    const int* types;
    int nr_types;
    double central_lo[3], central_hi[3];

    explicit MixedTables(const MixedPairInput& in)
        : pos(in.pair.positions), list(in.pair.list), list_size(in.pair.list_size), types(in.types),
          nr_types(static_cast<int>(in.nr_types))
    {
        for (int k = 0; k < 3; ++k) {
            central_lo[k] = in.pair.central_lo[k];
            central_hi[k] = in.pair.central_hi[k];
        }
    }

    // Particle i lies where no pair needs the minimum image (forces.cpp).
    bool central(std::size_t i) const
    {
        const double* p = pos + 4 * i;
        return p[0] >= central_lo[0] && p[0] <= central_hi[0] && p[1] >= central_lo[1] && p[1] <= central_hi[1] &&
               p[2] >= central_lo[2] && p[2] <= central_hi[2];
    }

    // The type of i times S, the start of its row in the tables.
    double row(std::size_t i) const { return static_cast<double>(types[i] * nr_types); }
};

// One S x S parameter table in eight lanes: held in two registers (entries 0-7
// and 8-15) and read by a permutation when S^2 <= 16, else gathered from memory.
// Table indices come as doubles (type_i S + type_j, exact); every lane's index
// is a valid entry (lanes past a run carry earlier pairs' indices, or 0).
template <bool Registers>
struct Avx512Table {
    __m512d lo, hi;
    const double* data;

    AVX512 void load(const double* table, std::size_t entries)
    {
        data = table;
        if (Registers) {
            alignas(64) double padded[16] = {};
            std::copy(table, table + entries, padded);
            lo = _mm512_load_pd(padded);
            hi = _mm512_load_pd(padded + 8);
        }
    }

    AVX512 __m512d at(__m512d index) const
    {
        if (Registers)
            return _mm512_permutex2var_pd(lo, _mm512_cvttpd_epi64(index), hi);
        return _mm512_i32gather_pd(_mm512_cvttpd_epi32(index), data, 8);
    }
};

// The five parameter tables of the pairs, in the form `Table` reads them.
template <typename Table>
struct PairParameters {
    Table sigmasq, rcutsq, epot_cutoff, eps4, eps24;

    void load(const MixedPairInput& in)
    {
        const std::size_t entries = static_cast<std::size_t>(in.nr_types) * in.nr_types;
        sigmasq.load(in.sigmasq, entries);
        rcutsq.load(in.rcutsq, entries);
        epot_cutoff.load(in.epot_cutoff, entries);
        eps4.load(in.eps4, entries);
        eps24.load(in.eps24, entries);
    }
};

// The AVX-512 loop, the two stages of pair_kernel.cpp's: stage 1 (pack) takes a
// run eight entries at a time, reads the neighbours' types from the fourth slot
// of their rows, looks up their pairs' cut-offs and packs the interacting pairs
// with their table index; stage 2 (add) looks up the pair parameters of eight
// packed pairs, computes their terms and adds the (energy, fx, fy, fz) rows one
// after the other, the virial lanes into the four partials. Stage 2 of particle
// i is interleaved with stage 1 of particle i + 1, so that the chain of
// additions overlaps with packing.
template <bool Registers>
struct Avx512Mixed {
    MixedTables common;  // positions, list, types and central region of the pass
    __m512d hx, hy, hz, mhx, mhy, mhz, lx, ly, lz, one;
    __m512i mix_lo, mix_hi, rows_lo, rows_hi, take_lo, take_hi;
    PairParameters<Avx512Table<Registers>> table;

    AVX512 explicit Avx512Mixed(const MixedPairInput& in) : common(in)
    {
        const BoxGeometry& box = in.pair.box;
        hx = _mm512_set1_pd(box.half[0]), hy = _mm512_set1_pd(box.half[1]), hz = _mm512_set1_pd(box.half[2]);
        mhx = _mm512_set1_pd(-box.half[0]), mhy = _mm512_set1_pd(-box.half[1]), mhz = _mm512_set1_pd(-box.half[2]);
        lx = _mm512_set1_pd(box.side[0]), ly = _mm512_set1_pd(box.side[1]), lz = _mm512_set1_pd(box.side[2]);
        one = _mm512_set1_pd(1.0);
        mix_lo = _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11);
        mix_hi = _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15);
        rows_lo = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
        rows_hi = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
        take_lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
        take_hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
        table.load(in);
    }

    AVX512 void pack(std::size_t i, MixedRun& run, const MixedRun* pending, Sums& s) const
    {
        if (common.central(i))
            pack_run<false>(i, run, pending, s);
        else
            pack_run<true>(i, run, pending, s);
    }

    template <bool image>
    AVX512 void pack_run(std::size_t i, MixedRun& run, const MixedRun* pending, Sums& s) const
    {
        std::size_t added = 0;
        const std::size_t to_add = pending ? pending->count : 0;
        const __m512d xi = _mm512_set1_pd(common.pos[4 * i]), yi = _mm512_set1_pd(common.pos[4 * i + 1]),
                      zi = _mm512_set1_pd(common.pos[4 * i + 2]);
        const __m256i me = _mm256_set1_epi32(static_cast<int>(i));
        const __m512d row_i = _mm512_set1_pd(common.row(i));
        std::size_t n = common.list[i];
        bool more = n < common.list_size;
        run.count = 0;
        while (more) {
            const __mmask8 avail = first_lanes8(common.list_size - n);
            const __m256i j = _mm256_maskz_loadu_epi32(avail, common.list + n);
            const __mmask8 owner = _mm256_mask_cmpeq_epi32_mask(avail, j, me);
            __mmask8 valid = avail;
            if (owner) {  // the run ends before the first copy of i
                valid = static_cast<__mmask8>((owner & (0u - owner)) - 1);
                more = false;
            } else if (avail != 0xff) {
                more = false;  // a run without terminator stops at the end of the list
            }
            n += 8;

            // The eight neighbours' (x, y, z, type) rows, turned into registers.
            // Entries past the run are the next runs' particle indices, read but
            // masked out; only at the very end of the list are they replaced by 0.
            const unsigned int* jj = common.list + n - 8;
            alignas(32) unsigned int tail[8];
            if (avail != 0xff) {
                _mm256_store_si256(reinterpret_cast<__m256i*>(tail), j);
                jj = tail;
            }
            const __m512d p04 = row_pair(jj[0], jj[4]), p15 = row_pair(jj[1], jj[5]);
            const __m512d p26 = row_pair(jj[2], jj[6]), p37 = row_pair(jj[3], jj[7]);
            const __m512d xz01 = _mm512_unpacklo_pd(p04, p15);  // x0 x1 z0 z1 | x4 x5 z4 z5
            const __m512d yt01 = _mm512_unpackhi_pd(p04, p15);  // y0 y1 t0 t1 | y4 y5 t4 t5
            const __m512d xz23 = _mm512_unpacklo_pd(p26, p37);
            const __m512d yt23 = _mm512_unpackhi_pd(p26, p37);
            __m512d rx = _mm512_sub_pd(xi, _mm512_permutex2var_pd(xz01, take_lo, xz23));
            __m512d ry = _mm512_sub_pd(yi, _mm512_permutex2var_pd(yt01, take_lo, yt23));
            __m512d rz = _mm512_sub_pd(zi, _mm512_permutex2var_pd(xz01, take_hi, xz23));
            const __m512d index = _mm512_add_pd(row_i, _mm512_permutex2var_pd(yt01, take_hi, yt23));
            if (image) {
                rx = minimum_image8(rx, hx, mhx, lx);
                ry = minimum_image8(ry, hy, mhy, ly);
                rz = minimum_image8(rz, hz, mhz, lz);
            }
            const __m512d distsq =
                _mm512_add_pd(_mm512_mul_pd(rx, rx), _mm512_add_pd(_mm512_mul_pd(ry, ry), _mm512_mul_pd(rz, rz)));
            const __mmask8 near = _mm512_mask_cmp_pd_mask(valid, distsq, table.rcutsq.at(index), _CMP_LT_OQ);

            run.make_room(8);
            const std::size_t count = run.count;
            _mm512_storeu_pd(run.x + count, _mm512_maskz_compress_pd(near, rx));
            _mm512_storeu_pd(run.y + count, _mm512_maskz_compress_pd(near, ry));
            _mm512_storeu_pd(run.z + count, _mm512_maskz_compress_pd(near, rz));
            _mm512_storeu_pd(run.distsq + count, _mm512_maskz_compress_pd(near, distsq));
            _mm512_storeu_pd(run.index + count, _mm512_maskz_compress_pd(near, index));
            run.count = count + static_cast<std::size_t>(__builtin_popcount(near));
            if (added < to_add) {
                add_chunk(*pending, added, s);
                added += 8;
            }
        }
        for (; added < to_add; added += 8)
            add_chunk(*pending, added, s);
    }

    AVX512 __m512d row_pair(unsigned int j, unsigned int k) const
    {
        return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(common.pos + 4 * std::size_t(j))),
                                  _mm256_loadu_pd(common.pos + 4 * std::size_t(k)), 1);
    }

    // Stage 2 for the packed pairs k .. k + 7.
    AVX512 void add_chunk(const MixedRun& run, std::size_t k, Sums& s) const
    {
        const __mmask8 live = first_lanes8(run.count - k);
        const __m512d index = _mm512_loadu_pd(run.index + k);
        const __m512d distsq = _mm512_mask_loadu_pd(one, live, run.distsq + k);
        const __m512d sr2 = _mm512_div_pd(table.sigmasq.at(index), distsq);
        const __m512d sr6 = _mm512_mul_pd(_mm512_mul_pd(sr2, sr2), sr2);
        const __m512d sr12 = _mm512_mul_pd(sr6, sr6);
        const __m512d shifted = _mm512_sub_pd(_mm512_sub_pd(sr12, sr6), table.epot_cutoff.at(index));
        const __m512d e = _mm512_maskz_mul_pd(live, shifted, table.eps4.at(index));
        const __m512d vir = _mm512_sub_pd(_mm512_add_pd(sr12, sr12), sr6);
        const __m512d e24 = table.eps24.at(index);
        const __m512d w = _mm512_maskz_mul_pd(live, vir, e24);
        const __m512d fr = _mm512_mul_pd(_mm512_div_pd(vir, distsq), e24);
        const __m512d fx = _mm512_maskz_mul_pd(live, fr, _mm512_loadu_pd(run.x + k));
        const __m512d fy = _mm512_maskz_mul_pd(live, fr, _mm512_loadu_pd(run.y + k));
        const __m512d fz = _mm512_maskz_mul_pd(live, fr, _mm512_loadu_pd(run.z + k));

        const __m512d efx_lo = _mm512_permutex2var_pd(e, mix_lo, fx);
        const __m512d fyz_lo = _mm512_permutex2var_pd(fy, mix_lo, fz);
        const __m512d efx_hi = _mm512_permutex2var_pd(e, mix_hi, fx);
        const __m512d fyz_hi = _mm512_permutex2var_pd(fy, mix_hi, fz);
        const __m512d row01 = _mm512_permutex2var_pd(efx_lo, rows_lo, fyz_lo);
        const __m512d row23 = _mm512_permutex2var_pd(efx_lo, rows_hi, fyz_lo);
        const __m512d row45 = _mm512_permutex2var_pd(efx_hi, rows_lo, fyz_hi);
        const __m512d row67 = _mm512_permutex2var_pd(efx_hi, rows_hi, fyz_hi);
        __m256d acc = s.acc;
        acc = _mm256_add_pd(acc, _mm512_castpd512_pd256(row01));
        acc = _mm256_add_pd(acc, _mm512_extractf64x4_pd(row01, 1));
        acc = _mm256_add_pd(acc, _mm512_castpd512_pd256(row23));
        acc = _mm256_add_pd(acc, _mm512_extractf64x4_pd(row23, 1));
        acc = _mm256_add_pd(acc, _mm512_castpd512_pd256(row45));
        acc = _mm256_add_pd(acc, _mm512_extractf64x4_pd(row45, 1));
        acc = _mm256_add_pd(acc, _mm512_castpd512_pd256(row67));
        s.acc = _mm256_add_pd(acc, _mm512_extractf64x4_pd(row67, 1));
        // pairs k .. k+3, then k+4 .. k+7, into the partials (k mod 4 = 0)
        s.virial = _mm256_add_pd(_mm256_add_pd(s.virial, _mm512_castpd512_pd256(w)), _mm512_extractf64x4_pd(w, 1));
    }
};

// Table indices of four lanes, ready for Avx2Table::at: as 32-bit integers (the
// gather) and as pairs of 32-bit halves (2 t, 2 t + 1) (the permutation).
struct Avx2Index {
    __m128i index;
    __m256i halves;
};

AVX2 inline Avx2Index avx2_index(__m256d index)
{
    const __m128i t = _mm256_cvttpd_epi32(index);
    const __m256i twice = _mm256_slli_epi64(_mm256_cvtepu32_epi64(t), 1);
    return {t, _mm256_or_si256(twice, _mm256_slli_epi64(_mm256_add_epi64(twice, _mm256_set1_epi64x(1)), 32))};
}

// One S x S parameter table in four lanes: held in one register and read by a
// permutation when S^2 <= 4, else gathered from memory.
template <bool Registers>
struct Avx2Table {
    __m256 reg;
    const double* data;

    AVX2 void load(const double* table, std::size_t entries)
    {
        data = table;
        if (Registers) {
            alignas(32) double padded[4] = {};
            std::copy(table, table + entries, padded);
            reg = _mm256_castpd_ps(_mm256_load_pd(padded));
        }
    }

    AVX2 __m256d at(const Avx2Index& i) const
    {
        if (Registers)
            return _mm256_castps_pd(_mm256_permutevar8x32_ps(reg, i.halves));
        return _mm256_i32gather_pd(data, i.index, 8);
    }
};

// The AVX2 loop: the same two stages four lanes wide, the packing by the lane
// permutations of to_front (simd.h).
template <bool Registers>
struct Avx2Mixed {
    MixedTables common;  // positions, list, types and central region of the pass
    __m256d hx, hy, hz, mhx, mhy, mhz, lx, ly, lz, one;
    PairParameters<Avx2Table<Registers>> table;

    AVX2 explicit Avx2Mixed(const MixedPairInput& in) : common(in)
    {
        const BoxGeometry& box = in.pair.box;
        hx = _mm256_set1_pd(box.half[0]), hy = _mm256_set1_pd(box.half[1]), hz = _mm256_set1_pd(box.half[2]);
        mhx = _mm256_set1_pd(-box.half[0]), mhy = _mm256_set1_pd(-box.half[1]), mhz = _mm256_set1_pd(-box.half[2]);
        lx = _mm256_set1_pd(box.side[0]), ly = _mm256_set1_pd(box.side[1]), lz = _mm256_set1_pd(box.side[2]);
        one = _mm256_set1_pd(1.0);
        table.load(in);
    }

    AVX2 void pack(std::size_t i, MixedRun& run, const MixedRun* pending, Sums& s) const
    {
        if (common.central(i))
            pack_run<false>(i, run, pending, s);
        else
            pack_run<true>(i, run, pending, s);
    }

    template <bool image>
    AVX2 void pack_run(std::size_t i, MixedRun& run, const MixedRun* pending, Sums& s) const
    {
        std::size_t added = 0;
        const std::size_t to_add = pending ? pending->count : 0;
        const __m256d xi = _mm256_set1_pd(common.pos[4 * i]), yi = _mm256_set1_pd(common.pos[4 * i + 1]),
                      zi = _mm256_set1_pd(common.pos[4 * i + 2]);
        const __m128i me = _mm_set1_epi32(static_cast<int>(i));
        const __m256d row_i = _mm256_set1_pd(common.row(i));
        std::size_t n = common.list[i];
        bool more = n < common.list_size;
        run.count = 0;
        while (more) {
            // Four entries; past the run they are the next runs' particle indices
            // (read, then masked out), at the very end of the list zeros.
            const std::size_t left = common.list_size - n;
            const unsigned int* jj = common.list + n;
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
            if (owner) {
                valid = (owner & -owner) - 1;
                more = false;
            } else if (avail != 0xf) {
                more = false;
            }
            n += 4;

            // the four neighbours' (x, y, z, type) rows, transposed
            const __m256d r0 = _mm256_loadu_pd(common.pos + 4 * std::size_t(jj[0]));
            const __m256d r1 = _mm256_loadu_pd(common.pos + 4 * std::size_t(jj[1]));
            const __m256d r2 = _mm256_loadu_pd(common.pos + 4 * std::size_t(jj[2]));
            const __m256d r3 = _mm256_loadu_pd(common.pos + 4 * std::size_t(jj[3]));
            const __m256d xz01 = _mm256_unpacklo_pd(r0, r1), yt01 = _mm256_unpackhi_pd(r0, r1);
            const __m256d xz23 = _mm256_unpacklo_pd(r2, r3), yt23 = _mm256_unpackhi_pd(r2, r3);
            __m256d rx = _mm256_sub_pd(xi, _mm256_permute2f128_pd(xz01, xz23, 0x20));
            __m256d ry = _mm256_sub_pd(yi, _mm256_permute2f128_pd(yt01, yt23, 0x20));
            __m256d rz = _mm256_sub_pd(zi, _mm256_permute2f128_pd(xz01, xz23, 0x31));
            const __m256d index = _mm256_add_pd(row_i, _mm256_permute2f128_pd(yt01, yt23, 0x31));
            if (image) {
                rx = minimum_image4(rx, hx, mhx, lx);
                ry = minimum_image4(ry, hy, mhy, ly);
                rz = minimum_image4(rz, hz, mhz, lz);
            }
            const __m256d distsq =
                _mm256_add_pd(_mm256_mul_pd(rx, rx), _mm256_add_pd(_mm256_mul_pd(ry, ry), _mm256_mul_pd(rz, rz)));
            const __m256d rc = table.rcutsq.at(avx2_index(index));
            const int near = _mm256_movemask_pd(_mm256_cmp_pd(distsq, rc, _CMP_LT_OQ)) & valid;

            run.make_room(4);
            const std::size_t count = run.count;
            _mm256_storeu_pd(run.x + count, to_front(rx, near));
            _mm256_storeu_pd(run.y + count, to_front(ry, near));
            _mm256_storeu_pd(run.z + count, to_front(rz, near));
            _mm256_storeu_pd(run.distsq + count, to_front(distsq, near));
            _mm256_storeu_pd(run.index + count, to_front(index, near));
            run.count = count + static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned int>(near)));
            if (added < to_add) {
                add_group(*pending, added, s);
                added += 4;
            }
        }
        for (; added < to_add; added += 4)
            add_group(*pending, added, s);
    }

    // Stage 2 for the packed pairs k .. k + 3. Lanes past the run's pairs divide
    // 1.0 and are then zeroed.
    AVX2 void add_group(const MixedRun& run, std::size_t k, Sums& s) const
    {
        const __m256d live = first_lanes4_pd(run.count - k);
        const Avx2Index index = avx2_index(_mm256_loadu_pd(run.index + k));
        const __m256d distsq = _mm256_blendv_pd(one, _mm256_loadu_pd(run.distsq + k), live);
        const __m256d sr2 = _mm256_div_pd(table.sigmasq.at(index), distsq);
        const __m256d sr6 = _mm256_mul_pd(_mm256_mul_pd(sr2, sr2), sr2);
        const __m256d sr12 = _mm256_mul_pd(sr6, sr6);
        const __m256d shifted = _mm256_sub_pd(_mm256_sub_pd(sr12, sr6), table.epot_cutoff.at(index));
        const __m256d e = _mm256_and_pd(live, _mm256_mul_pd(shifted, table.eps4.at(index)));
        const __m256d vir = _mm256_sub_pd(_mm256_add_pd(sr12, sr12), sr6);
        const __m256d e24 = table.eps24.at(index);
        const __m256d w = _mm256_and_pd(live, _mm256_mul_pd(vir, e24));
        const __m256d fr = _mm256_mul_pd(_mm256_div_pd(vir, distsq), e24);
        const __m256d fx = _mm256_and_pd(live, _mm256_mul_pd(fr, _mm256_loadu_pd(run.x + k)));
        const __m256d fy = _mm256_and_pd(live, _mm256_mul_pd(fr, _mm256_loadu_pd(run.y + k)));
        const __m256d fz = _mm256_and_pd(live, _mm256_mul_pd(fr, _mm256_loadu_pd(run.z + k)));

        const __m256d efx02 = _mm256_unpacklo_pd(e, fx), efx13 = _mm256_unpackhi_pd(e, fx);
        const __m256d fyz02 = _mm256_unpacklo_pd(fy, fz), fyz13 = _mm256_unpackhi_pd(fy, fz);
        __m256d acc = s.acc;
        acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(efx02, fyz02, 0x20));
        acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(efx13, fyz13, 0x20));
        acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(efx02, fyz02, 0x31));
        s.acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(efx13, fyz13, 0x31));
        s.virial = _mm256_add_pd(s.virial, w);
    }
};

// The particles [begin, end) through the two stages of `Loop`, stage 1 of
// particle i + 1 interleaved with stage 2 of particle i; `width` pairs per group.
template <typename Loop>
AVX2 inline __attribute__((always_inline)) double run_mixed(const Loop& loop, std::size_t width, std::size_t begin, std::size_t end,
                      const PairOutput& out, double epotsum)
{
    MixedRun runs[2];
    runs[0].reserve(256);
    runs[1].reserve(256);
    Sums s{_mm256_set_pd(0.0, 0.0, 0.0, epotsum), _mm256_setzero_pd()};
    if (begin < end)
        loop.pack(begin, runs[begin & 1], nullptr, s);
    for (std::size_t i = begin; i < end; ++i) {
        s.acc = _mm256_blend_pd(_mm256_setzero_pd(), s.acc, 0x1);  // new particle: force from 0.0, energy runs on
        s.virial = _mm256_setzero_pd();
        const MixedRun& mine = runs[i & 1];
        if (i + 1 < end) {
            loop.pack(i + 1, runs[(i + 1) & 1], &mine, s);
        } else {
            for (std::size_t k = 0; k < mine.count; k += width)
                add(loop, mine, k, s);
        }
        store_particle(i, s, out);
    }
    return _mm256_cvtsd_f64(s.acc);
}

template <bool Registers>
AVX512 inline void add(const Avx512Mixed<Registers>& loop, const MixedRun& run, std::size_t k, Sums& s)
{
    loop.add_chunk(run, k, s);
}

template <bool Registers>
AVX2 inline void add(const Avx2Mixed<Registers>& loop, const MixedRun& run, std::size_t k, Sums& s)
{
    loop.add_group(run, k, s);
}

}  // namespace

AVX512 double mixed_pair_forces_avx512(const MixedPairInput& in, std::size_t begin, std::size_t end,
                                       const PairOutput& out, double epotsum)
{
    if (in.nr_types * in.nr_types <= 16)  // the tables fit in two registers each
        return run_mixed(Avx512Mixed<true>(in), 8, begin, end, out, epotsum);
    return run_mixed(Avx512Mixed<false>(in), 8, begin, end, out, epotsum);
}

AVX2 double mixed_pair_forces_avx2(const MixedPairInput& in, std::size_t begin, std::size_t end,
                                   const PairOutput& out, double epotsum)
{
    if (in.nr_types * in.nr_types <= 4)  // the tables fit in one register each
        return run_mixed(Avx2Mixed<true>(in), 4, begin, end, out, epotsum);
    return run_mixed(Avx2Mixed<false>(in), 4, begin, end, out, epotsum);
}

MixedPairFn best_mixed_pair_forces()
{
    if (have_avx512())
        return mixed_pair_forces_avx512;
    return have_avx2() ? mixed_pair_forces_avx2 : mixed_pair_forces_scalar;
}

}  // namespace kernels
