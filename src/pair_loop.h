// The pair loop, written once per instruction set and templated over the pair
// evaluator (pair_table.h) and over how the loop reads the parameters: one
// species (`Factored`: the one parameter set held in registers, the scales left
// to the caller) or a mixture (the parameters of each pair looked up from the
// S x S tables by type_i * S + type_j, the scales applied per pair).
//
// Per listed pair (r_ij the minimum image of r_i - r_j, distsq = x^2 + (y^2 + z^2))
// with distsq < rc_ab^2, the evaluator gives e and w; then
//   energy term  e                      (mixture: e energy_scale)
//   force term   (w / distsq) r_ij      (mixture: ((w / distsq) force_scale) r_ij)
//   virial term  w                      (mixture: w force_scale), that is r_ij . F_ij
// The energy and force terms are added one pair after the other in list order;
// the energy runs on from particle to particle (one chain through the block),
// or starts from 0.0 at each particle when the output asks for each one's own.
// The virial terms of a particle go into four partial sums (interacting pair k
// into partial k mod 4, each from 0.0), its virial is (p0 + p1) + (p2 + p3): the
// order in which the vector loops add them four lanes at a time. When the output
// asks for them (`Extras`), the particle's energy terms and its six r_a F_b
// terms (F the force term) are summed the way the virial is. Every variant does
// the same operations in the same order lane by lane and returns identical bits
// (no fused multiply-adds: the build keeps -ffp-contract=off).
//
// Each potential's registration instantiates pair_kernels<Evaluator>() once
// (potentials/*.cpp); nothing here knows a potential.
#pragma once

#include "kernels.h"
#include "pair_table.h"
#include "simd.h"

#include <algorithm>
#include <vector>

// GCC 12 flags the intrinsics headers' own placeholder operands, and notes the
// vector calling convention of the evaluators, which are always inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kernels {
namespace pair_loop {

// The optional per-particle sums: energy, then xx yy zz xy xz yz.
constexpr int nr_extras = 7;

// ---- the scalar loop ------------------------------------------------------------

template <class Eval, bool Factored, bool Extras>
double scalar_pairs(const Eval& eval, const LoopInput& in, std::size_t begin, std::size_t end,
                    const PairOutput& out, double epotsum)
{
    constexpr int np = Eval::nr_params;
    const PairInput& g = in.pair;
    const PairTableView& t = in.table;
    const double* pos = g.positions;
    const unsigned int* list = g.list;
    double one_set[np];  // the parameters of one species, hoisted
    for (int k = 0; k < np; ++k)
        one_set[k] = t.params[k][0];
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t row = Factored ? 0 : static_cast<std::size_t>(in.types[i]) * t.nr_types;
        const double xi = pos[4 * i], yi = pos[4 * i + 1], zi = pos[4 * i + 2];
        double fx = 0.0, fy = 0.0, fz = 0.0;
        double w[4] = {0.0, 0.0, 0.0, 0.0};
        double x[nr_extras][4] = {};
        std::size_t k = 0;
        if (out.own_energies)
            epotsum = 0.0;
        for (std::size_t n = list[i]; n < g.list_size && list[n] != i; ++n) {
            const std::size_t j = list[n];
            const double rx = minimum_image(xi - pos[4 * j], g.box.half[0], g.box.side[0]);
            const double ry = minimum_image(yi - pos[4 * j + 1], g.box.half[1], g.box.side[1]);
            const double rz = minimum_image(zi - pos[4 * j + 2], g.box.half[2], g.box.side[2]);
            const double distsq = rx * rx + (ry * ry + rz * rz);
            const std::size_t ab = Factored ? 0 : row + static_cast<std::size_t>(in.types[j]);
            if (!(distsq < t.rcutsq[ab]))
                continue;
            double p[np];
            for (int q = 0; q < np; ++q)
                p[q] = Factored ? one_set[q] : t.params[q][ab];
            double e, wv;
            eval(p, distsq, e, wv);
            double fr;
            if constexpr (Factored) {
                fr = wv / distsq;
            } else {
                e = e * t.energy_scale[ab];
                fr = (wv / distsq) * t.force_scale[ab];
                wv = wv * t.force_scale[ab];
            }
            epotsum += e;
            w[k & 3] += wv;
            const double fxr = fr * rx, fyr = fr * ry, fzr = fr * rz;
            fx += fxr;
            fy += fyr;
            fz += fzr;
            if constexpr (Extras) {
                double* s = &x[0][0];
                const std::size_t q = k & 3;
                s[0 * 4 + q] += e;
                s[1 * 4 + q] += rx * fxr;
                s[2 * 4 + q] += ry * fyr;
                s[3 * 4 + q] += rz * fzr;
                s[4 * 4 + q] += rx * fyr;
                s[5 * 4 + q] += rx * fzr;
                s[6 * 4 + q] += ry * fzr;
            }
            ++k;
        }
        out.forces[3 * i] = fx;
        out.forces[3 * i + 1] = fy;
        out.forces[3 * i + 2] = fz;
        out.virials[i] = (w[0] + w[1]) + (w[2] + w[3]);
        if (out.own_energies)
            out.own_energies[i] = epotsum;
        if constexpr (Extras) {
            out.energies[i] = (x[0][0] + x[0][1]) + (x[0][2] + x[0][3]);
            for (int c = 0; c < 6; ++c)
                out.tensors[6 * i + c] = (x[c + 1][0] + x[c + 1][1]) + (x[c + 1][2] + x[c + 1][3]);
        }
    }
    return epotsum;
}

// ---- state shared by the vector loops ---------------------------------------------

// The interacting pairs of one run, packed in list order: separation, distsq
// and (mixtures) the table index as a double, with room for a whole register
// beyond `count`. Entries never written are 0, a valid table index.
struct PackedRun {
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

    // Room for `more` pairs behind the packed ones, keeping them (an unusually
    // crowded run): the test inline, the move out of the loop's way.
    void make_room(std::size_t more)
    {
        if (count + more > capacity)
            grow();
    }

    __attribute__((noinline)) void grow()
    {
        PackedRun bigger;
        bigger.reserve(2 * capacity + 8);
        for (int a = 0; a < 5; ++a)
            std::copy(store.data() + a * (capacity + 8), store.data() + a * (capacity + 8) + count,
                      bigger.store.data() + a * (bigger.capacity + 8));
        bigger.count = count;
        *this = std::move(bigger);
    }

    // The arrays and count as a loop keeps them in registers: the vector stores
    // may alias anything, so read through `this` they would be loaded again
    // after every store.
    struct View {
        double *x, *y, *z, *distsq, *index;
        std::size_t count, capacity;
    };
    View view() const { return {x, y, z, distsq, index, count, capacity}; }
};

// The running sums: (energy, fx, fy, fz) of the current pair chain in one
// register, the four virial partials of the current particle in another.
struct Sums {
    __m256d rows;
    __m256d virial;
};

// The optional per-particle sums, four partials each (the AVX2 loop; the
// AVX-512 loop holds the tensor's two components to a register).
struct ExtraSums {
    __m256d v[nr_extras];

    AVX2 void store(const PairOutput& out, std::size_t i) const
    {
        out.energies[i] = pairwise4(v[0]);
        for (int c = 0; c < 6; ++c)
            out.tensors[6 * i + c] = pairwise4(v[c + 1]);
    }
};

// The same sums in AVX-512 registers: the energy's four partials, then the
// tensor's xx|yy, zz|xy, xz|yz, the four partials of one component in each half.
struct ExtraSums8 {
    __m256d energy;
    __m512d tensor[3];

    AVX512 void store(const PairOutput& out, std::size_t i) const
    {
        out.energies[i] = pairwise4(energy);
        for (int c = 0; c < 3; ++c) {
            out.tensors[6 * i + 2 * c] = pairwise4(_mm512_castpd512_pd256(tensor[c]));
            out.tensors[6 * i + 2 * c + 1] = pairwise4(_mm512_extractf64x4_pd(tensor[c], 1));
        }
    }
};

// Positions, list, types and central region of one pass.
struct Geometry {
    const double* pos;
    const unsigned int* list;
    std::size_t list_size;
    const int* types;
    double nr_types;
    double central_lo[3], central_hi[3];

    explicit Geometry(const LoopInput& in)
        : pos(in.pair.positions), list(in.pair.list), list_size(in.pair.list_size), types(in.types),
          nr_types(static_cast<double>(in.table.nr_types))
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
    double row(std::size_t i) const { return types ? static_cast<double>(types[i]) * nr_types : 0.0; }
};

// The tables a vector loop reads, each in the form `Table` holds it (broadcast,
// registers or memory).
template <class Table, int np>
struct LoopTables {
    Table rcutsq, energy_scale, force_scale, params[np];

    void load(const PairTableView& t, bool factored)
    {
        const std::size_t entries = static_cast<std::size_t>(t.nr_types) * t.nr_types;
        rcutsq.load(t.rcutsq, entries);
        if (!factored) {
            energy_scale.load(t.energy_scale, entries);
            force_scale.load(t.force_scale, entries);
        }
        for (int k = 0; k < np; ++k)
            params[k].load(t.params[k], entries);
    }
};

// ---- AVX-512 ----------------------------------------------------------------------

// One S x S table in eight lanes, read at table indices held as doubles
// (type_i S + type_j, exact). Kind 0: one species, the entry broadcast; 1: in
// two registers (S^2 <= 16), read by a permutation; 2: gathered from memory.
template <int Kind>
struct Avx512Table {
    __m512d lo, hi;
    const double* data;

    AVX512 void load(const double* table, std::size_t entries)
    {
        data = table;
        if (Kind == 0) {
            lo = _mm512_set1_pd(table[0]);
        } else if (Kind == 1) {
            alignas(64) double padded[16] = {};
            std::copy(table, table + entries, padded);
            lo = _mm512_load_pd(padded);
            hi = _mm512_load_pd(padded + 8);
        }
    }

    AVX512 __m512d at(__m512d index) const
    {
        if (Kind == 0)
            return lo;
        if (Kind == 1)
            return _mm512_permutex2var_pd(lo, _mm512_cvttpd_epi64(index), hi);
        return _mm512_i32gather_pd(_mm512_cvttpd_epi32(index), data, 8);
    }
};

// The AVX-512 loop, in two stages per particle. Stage 1 (pack) takes the run
// eight entries at a time (the neighbours' rows (x, y, z, type), minimum image,
// distsq, the pair's cut-off) and packs the interacting pairs in list order.
// Stage 2 (add) computes the terms of eight packed pairs, turns the lanes
// (energy, fx, fy, fz) of each pair into one row and adds the rows to the
// accumulator one after the other: one addition per pair, as in the scalar loop.
// Lanes without a pair add +0.0, which changes no sum (a sum started at +0.0 is
// never -0.0). The additions form one long chain (the energy runs through all
// particles), so stage 2 of particle i is interleaved with stage 1 of particle
// i + 1, one chunk of each in turn: the chain then overlaps with packing.
template <class Eval, int Kind, bool Extras>
struct Avx512Pairs {
    static constexpr bool factored = Kind == 0;
    static constexpr int np = Eval::nr_params;
    using Extra = ExtraSums8;
    const Eval& eval;
    Geometry geo;
    __m512d hx, hy, hz, mhx, mhy, mhz, lx, ly, lz, one;
    __m512i mix_lo, mix_hi, rows_lo, rows_hi, take_lo, take_hi;
    LoopTables<Avx512Table<Kind>, np> tables;

    AVX512 Avx512Pairs(const Eval& e, const LoopInput& in) : eval(e), geo(in)
    {
        const BoxGeometry& box = in.pair.box;
        hx = _mm512_set1_pd(box.half[0]), hy = _mm512_set1_pd(box.half[1]), hz = _mm512_set1_pd(box.half[2]);
        mhx = _mm512_set1_pd(-box.half[0]), mhy = _mm512_set1_pd(-box.half[1]), mhz = _mm512_set1_pd(-box.half[2]);
        lx = _mm512_set1_pd(box.side[0]), ly = _mm512_set1_pd(box.side[1]), lz = _mm512_set1_pd(box.side[2]);
        one = _mm512_set1_pd(1.0);
        // interleave two registers lane by lane (first / second half), then pairs of lanes
        mix_lo = _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11);
        mix_hi = _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15);
        rows_lo = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
        rows_hi = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
        // lanes 0 1 of each 128-bit pair of two registers, in order (x, y), or lanes 2 3 (z, type)
        take_lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
        take_hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
        tables.load(in.table, factored);
    }

    template <bool image>
    AVX512 void pack_run(std::size_t i, PackedRun& run, const PackedRun* pending, Sums& sums, ExtraSums8& x) const
    {
        Sums acc = sums;  // in registers through the loop
        ExtraSums8 extra = x;
        std::size_t added = 0;
        const PackedRun::View before = pending ? pending->view() : PackedRun::View{};
        const std::size_t to_add = before.count;
        PackedRun::View out = run.view();
        out.count = 0;
        const __m512d xi = _mm512_set1_pd(geo.pos[4 * i]), yi = _mm512_set1_pd(geo.pos[4 * i + 1]),
                      zi = _mm512_set1_pd(geo.pos[4 * i + 2]);
        const __m256i me = _mm256_set1_epi32(static_cast<int>(i));
        const __m512d row_i = _mm512_set1_pd(factored ? 0.0 : geo.row(i));
        std::size_t n = geo.list[i];
        bool more = n < geo.list_size;
        while (more) {
            const __mmask8 avail = first_lanes8(geo.list_size - n);
            const __m256i j = _mm256_maskz_loadu_epi32(avail, geo.list + n);
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
            const unsigned int* jj = geo.list + n - 8;
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
            __m512d index = row_i;
            if (!factored)
                index = _mm512_add_pd(row_i, _mm512_permutex2var_pd(yt01, take_hi, yt23));
            if (image) {
                rx = minimum_image8(rx, hx, mhx, lx);
                ry = minimum_image8(ry, hy, mhy, ly);
                rz = minimum_image8(rz, hz, mhz, lz);
            }
            const __m512d distsq =
                _mm512_add_pd(_mm512_mul_pd(rx, rx), _mm512_add_pd(_mm512_mul_pd(ry, ry), _mm512_mul_pd(rz, rz)));
            const __mmask8 near = _mm512_mask_cmp_pd_mask(valid, distsq, tables.rcutsq.at(index), _CMP_LT_OQ);

            if (out.count + 8 > out.capacity) {  // an unusually crowded run
                run.count = out.count;
                run.grow();
                out = run.view();
            }
            const std::size_t count = out.count;
            _mm512_storeu_pd(out.x + count, _mm512_maskz_compress_pd(near, rx));
            _mm512_storeu_pd(out.y + count, _mm512_maskz_compress_pd(near, ry));
            _mm512_storeu_pd(out.z + count, _mm512_maskz_compress_pd(near, rz));
            _mm512_storeu_pd(out.distsq + count, _mm512_maskz_compress_pd(near, distsq));
            if (!factored)
                _mm512_storeu_pd(out.index + count, _mm512_maskz_compress_pd(near, index));
            out.count = count + static_cast<std::size_t>(__builtin_popcount(near));
            if (added < to_add) {
                add(before, added, acc, extra);
                added += 8;
            }
        }
        for (; added < to_add; added += 8)
            add(before, added, acc, extra);
        run.count = out.count;
        sums = acc;
        if constexpr (Extras)
            x = extra;
    }

    // Rows j and k of the padded positions, as the two halves of one register.
    AVX512 __m512d row_pair(unsigned int j, unsigned int k) const
    {
        return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(geo.pos + 4 * std::size_t(j))),
                                  _mm256_loadu_pd(geo.pos + 4 * std::size_t(k)), 1);
    }

    // Stage 2 for the packed pairs k .. k + 7: their terms, added to the sums in
    // list order (the partials: pairs k .. k+3, then k+4 .. k+7, k mod 4 = 0).
    AVX512 void add(const PackedRun& run, std::size_t k, Sums& s, ExtraSums8& x) const { add(run.view(), k, s, x); }

    AVX512 void add(const PackedRun::View& run, std::size_t k, Sums& s, ExtraSums8& x) const
    {
        const __mmask8 live = first_lanes8(run.count - k);
        const __m512d index = factored ? one : _mm512_loadu_pd(run.index + k);
        const __m512d distsq = _mm512_mask_loadu_pd(one, live, run.distsq + k);
        __m512d p[np];
        for (int q = 0; q < np; ++q)
            p[q] = tables.params[q].at(index);
        __m512d e, w;
        eval(p, distsq, e, w);
        __m512d fr;
        if (factored) {
            fr = _mm512_div_pd(w, distsq);
        } else {
            const __m512d fs = tables.force_scale.at(index);
            e = _mm512_mul_pd(e, tables.energy_scale.at(index));
            fr = _mm512_mul_pd(_mm512_div_pd(w, distsq), fs);
            w = _mm512_mul_pd(w, fs);
        }
        e = _mm512_maskz_mov_pd(live, e);
        w = _mm512_maskz_mov_pd(live, w);
        const __m512d rx = _mm512_loadu_pd(run.x + k), ry = _mm512_loadu_pd(run.y + k),
                      rz = _mm512_loadu_pd(run.z + k);
        const __m512d fx = _mm512_maskz_mul_pd(live, fr, rx);
        const __m512d fy = _mm512_maskz_mul_pd(live, fr, ry);
        const __m512d fz = _mm512_maskz_mul_pd(live, fr, rz);

        const __m512d efx_lo = _mm512_permutex2var_pd(e, mix_lo, fx);  // e0 fx0 e1 fx1 ...
        const __m512d fyz_lo = _mm512_permutex2var_pd(fy, mix_lo, fz);
        const __m512d efx_hi = _mm512_permutex2var_pd(e, mix_hi, fx);
        const __m512d fyz_hi = _mm512_permutex2var_pd(fy, mix_hi, fz);
        const __m512d row01 = _mm512_permutex2var_pd(efx_lo, rows_lo, fyz_lo);  // pair 0 | pair 1
        const __m512d row23 = _mm512_permutex2var_pd(efx_lo, rows_hi, fyz_lo);
        const __m512d row45 = _mm512_permutex2var_pd(efx_hi, rows_lo, fyz_hi);
        const __m512d row67 = _mm512_permutex2var_pd(efx_hi, rows_hi, fyz_hi);
        __m256d rows = s.rows;
        rows = _mm256_add_pd(rows, _mm512_castpd512_pd256(row01));
        rows = _mm256_add_pd(rows, _mm512_extractf64x4_pd(row01, 1));
        rows = _mm256_add_pd(rows, _mm512_castpd512_pd256(row23));
        rows = _mm256_add_pd(rows, _mm512_extractf64x4_pd(row23, 1));
        rows = _mm256_add_pd(rows, _mm512_castpd512_pd256(row45));
        rows = _mm256_add_pd(rows, _mm512_extractf64x4_pd(row45, 1));
        rows = _mm256_add_pd(rows, _mm512_castpd512_pd256(row67));
        s.rows = _mm256_add_pd(rows, _mm512_extractf64x4_pd(row67, 1));
        s.virial = partials(s.virial, w);
        if constexpr (Extras) {
            x.energy = partials(x.energy, e);
            x.tensor[0] = partials(x.tensor[0], _mm512_maskz_mul_pd(live, rx, fx), _mm512_maskz_mul_pd(live, ry, fy));
            x.tensor[1] = partials(x.tensor[1], _mm512_maskz_mul_pd(live, rz, fz), _mm512_maskz_mul_pd(live, rx, fy));
            x.tensor[2] = partials(x.tensor[2], _mm512_maskz_mul_pd(live, rx, fz), _mm512_maskz_mul_pd(live, ry, fz));
        }
    }

    // The same for two components at once, a's partials in the low half of p and
    // b's in the high half: p + (low four of a | low four of b), then + the high
    // fours. Lane by lane the additions of partials() above.
    AVX512 static __m512d partials(__m512d p, __m512d a, __m512d b)
    {
        return _mm512_add_pd(_mm512_add_pd(p, _mm512_shuffle_f64x2(a, b, 0x44)), _mm512_shuffle_f64x2(a, b, 0xee));
    }

    // Eight lanes into four partials: the low four, then the high four.
    AVX512 static __m256d partials(__m256d p, __m512d v)
    {
        return _mm256_add_pd(_mm256_add_pd(p, _mm512_castpd512_pd256(v)), _mm512_extractf64x4_pd(v, 1));
    }
};

// ---- AVX2 -------------------------------------------------------------------------

// Table indices of four lanes, as 32-bit integers (the gather) and as pairs of
// 32-bit halves (2 t, 2 t + 1) (the permutation).
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

// One S x S table in four lanes. Kind 0: one species, the entry broadcast; 1: in
// one register (S^2 <= 4), read by a permutation; 2: gathered from memory.
template <int Kind>
struct Avx2Table {
    __m256 reg;
    const double* data;

    AVX2 void load(const double* table, std::size_t entries)
    {
        data = table;
        if (Kind == 0) {
            reg = _mm256_castpd_ps(_mm256_set1_pd(table[0]));
        } else if (Kind == 1) {
            alignas(32) double padded[4] = {};
            std::copy(table, table + entries, padded);
            reg = _mm256_castpd_ps(_mm256_load_pd(padded));
        }
    }

    AVX2 __m256d at(const Avx2Index& i) const
    {
        if (Kind == 0)
            return _mm256_castps_pd(reg);
        if (Kind == 1)
            return _mm256_castps_pd(_mm256_permutevar8x32_ps(reg, i.halves));
        return _mm256_i32gather_pd(data, i.index, 8);
    }
};

// The AVX2 loop: the two stages of the AVX-512 loop four lanes wide, the packing
// by the lane permutations of to_front (simd.h).
template <class Eval, int Kind, bool Extras>
struct Avx2Pairs {
    static constexpr bool factored = Kind == 0;
    static constexpr int np = Eval::nr_params;
    using Extra = ExtraSums;
    const Eval& eval;
    Geometry geo;
    __m256d hx, hy, hz, mhx, mhy, mhz, lx, ly, lz, one;
    LoopTables<Avx2Table<Kind>, np> tables;

    AVX2 Avx2Pairs(const Eval& e, const LoopInput& in) : eval(e), geo(in)
    {
        const BoxGeometry& box = in.pair.box;
        hx = _mm256_set1_pd(box.half[0]), hy = _mm256_set1_pd(box.half[1]), hz = _mm256_set1_pd(box.half[2]);
        mhx = _mm256_set1_pd(-box.half[0]), mhy = _mm256_set1_pd(-box.half[1]), mhz = _mm256_set1_pd(-box.half[2]);
        lx = _mm256_set1_pd(box.side[0]), ly = _mm256_set1_pd(box.side[1]), lz = _mm256_set1_pd(box.side[2]);
        one = _mm256_set1_pd(1.0);
        tables.load(in.table, factored);
    }

    template <bool image>
    AVX2 void pack_run(std::size_t i, PackedRun& run, const PackedRun* pending, Sums& sums, ExtraSums& x) const
    {
        Sums acc = sums;  // in registers through the loop
        ExtraSums extra = x;
        std::size_t added = 0;
        const std::size_t to_add = pending ? pending->count : 0;
        const __m256d xi = _mm256_set1_pd(geo.pos[4 * i]), yi = _mm256_set1_pd(geo.pos[4 * i + 1]),
                      zi = _mm256_set1_pd(geo.pos[4 * i + 2]);
        const __m128i me = _mm_set1_epi32(static_cast<int>(i));
        const __m256d row_i = _mm256_set1_pd(factored ? 0.0 : geo.row(i));
        std::size_t n = geo.list[i];
        bool more = n < geo.list_size;
        run.count = 0;
        while (more) {
            // Four entries. Entries past the run are the next runs' particle
            // indices, read but masked out; only at the very end of the list are
            // they replaced by 0 (masked load).
            const std::size_t left = geo.list_size - n;
            const unsigned int* jj = geo.list + n;
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

            // the four neighbours' (x, y, z, type) rows, transposed
            const __m256d r0 = _mm256_loadu_pd(geo.pos + 4 * std::size_t(jj[0]));
            const __m256d r1 = _mm256_loadu_pd(geo.pos + 4 * std::size_t(jj[1]));
            const __m256d r2 = _mm256_loadu_pd(geo.pos + 4 * std::size_t(jj[2]));
            const __m256d r3 = _mm256_loadu_pd(geo.pos + 4 * std::size_t(jj[3]));
            const __m256d xz01 = _mm256_unpacklo_pd(r0, r1), yt01 = _mm256_unpackhi_pd(r0, r1);
            const __m256d xz23 = _mm256_unpacklo_pd(r2, r3), yt23 = _mm256_unpackhi_pd(r2, r3);
            __m256d rx = _mm256_sub_pd(xi, _mm256_permute2f128_pd(xz01, xz23, 0x20));
            __m256d ry = _mm256_sub_pd(yi, _mm256_permute2f128_pd(yt01, yt23, 0x20));
            __m256d rz = _mm256_sub_pd(zi, _mm256_permute2f128_pd(xz01, xz23, 0x31));
            __m256d index = row_i;
            if (!factored)
                index = _mm256_add_pd(row_i, _mm256_permute2f128_pd(yt01, yt23, 0x31));
            if (image) {
                rx = minimum_image4(rx, hx, mhx, lx);
                ry = minimum_image4(ry, hy, mhy, ly);
                rz = minimum_image4(rz, hz, mhz, lz);
            }
            const __m256d distsq =
                _mm256_add_pd(_mm256_mul_pd(rx, rx), _mm256_add_pd(_mm256_mul_pd(ry, ry), _mm256_mul_pd(rz, rz)));
            const __m256d rc = tables.rcutsq.at(factored ? Avx2Index{} : avx2_index(index));
            const int near = _mm256_movemask_pd(_mm256_cmp_pd(distsq, rc, _CMP_LT_OQ)) & valid;

            run.make_room(4);
            const std::size_t count = run.count;
            _mm256_storeu_pd(run.x + count, to_front(rx, near));
            _mm256_storeu_pd(run.y + count, to_front(ry, near));
            _mm256_storeu_pd(run.z + count, to_front(rz, near));
            _mm256_storeu_pd(run.distsq + count, to_front(distsq, near));
            if (!factored)
                _mm256_storeu_pd(run.index + count, to_front(index, near));
            run.count = count + static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned int>(near)));
            if (added < to_add) {
                add(*pending, added, acc, extra);
                added += 4;
            }
        }
        for (; added < to_add; added += 4)
            add(*pending, added, acc, extra);
        sums = acc;
        if constexpr (Extras)
            x = extra;
    }

    // Stage 2 for the packed pairs k .. k + 3.
    AVX2 __attribute__((always_inline)) void add(const PackedRun& run, std::size_t k, Sums& s, ExtraSums& x) const
    {
        if (k + 4 <= run.count)
            add_terms<true>(run, k, s, x);
        else
            add_terms<false>(run, k, s, x);
    }

    // Their terms, added row by row in list order. In the last, partial group of
    // a run the lanes past its pairs divide 1.0 and are then zeroed.
    template <bool whole>
    AVX2 __attribute__((always_inline)) void add_terms(const PackedRun& run, std::size_t k, Sums& s, ExtraSums& x) const
    {
        const __m256d live = whole ? _mm256_castsi256_pd(_mm256_set1_epi64x(-1)) : first_lanes4_pd(run.count - k);
        const Avx2Index index = factored ? Avx2Index{} : avx2_index(_mm256_loadu_pd(run.index + k));
        __m256d distsq = _mm256_loadu_pd(run.distsq + k);
        if (!whole)
            distsq = _mm256_blendv_pd(one, distsq, live);
        __m256d p[np];
        for (int q = 0; q < np; ++q)
            p[q] = tables.params[q].at(index);
        __m256d e, w;
        eval(p, distsq, e, w);
        __m256d fr;
        if (factored) {
            fr = _mm256_div_pd(w, distsq);
        } else {
            const __m256d fs = tables.force_scale.at(index);
            e = _mm256_mul_pd(e, tables.energy_scale.at(index));
            fr = _mm256_mul_pd(_mm256_div_pd(w, distsq), fs);
            w = _mm256_mul_pd(w, fs);
        }
        const __m256d rx = _mm256_loadu_pd(run.x + k), ry = _mm256_loadu_pd(run.y + k),
                      rz = _mm256_loadu_pd(run.z + k);
        __m256d fx = _mm256_mul_pd(fr, rx);
        __m256d fy = _mm256_mul_pd(fr, ry);
        __m256d fz = _mm256_mul_pd(fr, rz);
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
        __m256d rows = s.rows;
        rows = _mm256_add_pd(rows, _mm256_permute2f128_pd(efx02, fyz02, 0x20));  // pair 0: e0 fx0 fy0 fz0
        rows = _mm256_add_pd(rows, _mm256_permute2f128_pd(efx13, fyz13, 0x20));
        rows = _mm256_add_pd(rows, _mm256_permute2f128_pd(efx02, fyz02, 0x31));
        s.rows = _mm256_add_pd(rows, _mm256_permute2f128_pd(efx13, fyz13, 0x31));
        s.virial = _mm256_add_pd(s.virial, w);
        if constexpr (Extras) {
            // r_a F_b; in a partial group the lanes past the run add +0.0
            const __m256d terms[nr_extras] = {e,
                                              _mm256_mul_pd(rx, fx),
                                              _mm256_mul_pd(ry, fy),
                                              _mm256_mul_pd(rz, fz),
                                              _mm256_mul_pd(rx, fy),
                                              _mm256_mul_pd(rx, fz),
                                              _mm256_mul_pd(ry, fz)};
            for (int c = 0; c < nr_extras; ++c)
                x.v[c] = _mm256_add_pd(x.v[c], whole ? terms[c] : _mm256_and_pd(live, terms[c]));
        }
    }
};

// ---- the driver of both vector loops ----------------------------------------------

// The particles [begin, end) through the two stages of `Loop`, stage 1 of
// particle i + 1 interleaved with stage 2 of particle i; `width` pairs per group.
template <int width, bool Extras, typename Loop>
AVX2 __attribute__((always_inline)) inline double run_pairs(const Loop& loop, std::size_t begin, std::size_t end,
                                                            const PairOutput& out, double epotsum)
{
    PackedRun runs[2];
    runs[0].reserve(256);
    runs[1].reserve(256);
    Sums s{_mm256_set_pd(0.0, 0.0, 0.0, epotsum), _mm256_setzero_pd()};
    typename Loop::Extra x{};
    // stage 1 of particle i, stage 2 of `pending` interleaved
    const auto pack = [&](std::size_t i, const PackedRun* pending) {
        if (loop.geo.central(i))
            loop.template pack_run<false>(i, runs[i & 1], pending, s, x);
        else
            loop.template pack_run<true>(i, runs[i & 1], pending, s, x);
    };
    if (begin < end)
        pack(begin, nullptr);
    for (std::size_t i = begin; i < end; ++i) {
        // new particle: force and virial from 0.0, the energy runs on (or starts afresh)
        s = Sums{out.own_energies ? _mm256_setzero_pd() : _mm256_blend_pd(_mm256_setzero_pd(), s.rows, 0x1),
                 _mm256_setzero_pd()};
        if constexpr (Extras)
            x = typename Loop::Extra{};
        const PackedRun& mine = runs[i & 1];
        if (i + 1 < end) {
            pack(i + 1, &mine);
        } else {
            for (std::size_t k = 0; k < mine.count; k += width)
                loop.add(mine, k, s, x);
        }
        alignas(32) double sums[4];
        _mm256_store_pd(sums, s.rows);
        out.forces[3 * i] = sums[1];
        out.forces[3 * i + 1] = sums[2];
        out.forces[3 * i + 2] = sums[3];
        out.virials[i] = pairwise4(s.virial);
        if (out.own_energies)
            out.own_energies[i] = sums[0];
        if constexpr (Extras)
            x.store(out, i);
    }
    return _mm256_cvtsd_f64(s.rows);
}

// ---- the kernels of one evaluator -------------------------------------------------

template <class Eval>
double scalar_kernel(const LoopInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                     double epotsum)
{
    const Eval eval(in.table);
    if (in.table.factored)
        return out.energies ? scalar_pairs<Eval, true, true>(eval, in, begin, end, out, epotsum)
                            : scalar_pairs<Eval, true, false>(eval, in, begin, end, out, epotsum);
    return out.energies ? scalar_pairs<Eval, false, true>(eval, in, begin, end, out, epotsum)
                        : scalar_pairs<Eval, false, false>(eval, in, begin, end, out, epotsum);
}

template <class Eval, template <class, int, bool> class Loop, int width, int registers>
AVX2 __attribute__((always_inline)) inline double vector_kernel(const LoopInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                                 double epotsum)
{
    const Eval eval(in.table);
    const unsigned int s = in.table.nr_types;
    const bool extras = out.energies != nullptr;
    if (in.table.factored)
        return extras ? run_pairs<width, true>(Loop<Eval, 0, true>(eval, in), begin, end, out, epotsum)
                      : run_pairs<width, false>(Loop<Eval, 0, false>(eval, in), begin, end, out, epotsum);
    if (s * s <= registers)  // the tables fit in registers
        return extras ? run_pairs<width, true>(Loop<Eval, 1, true>(eval, in), begin, end, out, epotsum)
                      : run_pairs<width, false>(Loop<Eval, 1, false>(eval, in), begin, end, out, epotsum);
    return extras ? run_pairs<width, true>(Loop<Eval, 2, true>(eval, in), begin, end, out, epotsum)
                  : run_pairs<width, false>(Loop<Eval, 2, false>(eval, in), begin, end, out, epotsum);
}

template <class Eval>
AVX2 double avx2_kernel(const LoopInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                        double epotsum)
{
    return vector_kernel<Eval, Avx2Pairs, 4, 4>(in, begin, end, out, epotsum);
}

template <class Eval>
AVX512 double avx512_kernel(const LoopInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                            double epotsum)
{
    return vector_kernel<Eval, Avx512Pairs, 8, 16>(in, begin, end, out, epotsum);
}

}  // namespace pair_loop

// The three loops of one evaluator.
template <class Eval>
PairKernels pair_kernels()
{
    return {pair_loop::scalar_kernel<Eval>, pair_loop::avx2_kernel<Eval>, pair_loop::avx512_kernel<Eval>};
}

}  // namespace kernels
