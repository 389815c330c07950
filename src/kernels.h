// Inner loops of the list build and of the force evaluation, in one portable
// variant, one for CPUs with AVX2 and one for CPUs with AVX-512; `best_*` picks
// the fastest variant the running CPU supports (or the one VORLAN_KERNELS names,
// kernel_set below), once per process.
//
// Every variant does the same floating-point operations in the same order as the
// plain scalar loop, lane by lane, and adds up the per-pair results one after the
// other in list order: they return identical bits. (No fused multiply-adds: the
// build keeps -ffp-contract=off, also for the vector code, which uses no fused
// multiply-add intrinsics either.)
#pragma once

#include <cstddef>

namespace kernels {

// The periodic box as the minimum-image rule needs it, per axis.
struct BoxGeometry {
    double half[3];  // half the box side
    double side[3];  // box side
};

inline BoxGeometry box_geometry(const double side[3])
{
    BoxGeometry box;
    for (int k = 0; k < 3; ++k) {
        box.half[k] = 0.5 * side[k];
        box.side[k] = side[k];
    }
    return box;
}

// Minimum image of one separation component: at most one box length, and a
// component of exactly +half a box becomes -half a box.
inline double minimum_image(double r, double half, double side)
{
    return r >= half ? r - side : (r < -half ? r + side : r);
}

// ---- list build ----------------------------------------------------------------

// Particles sorted by subcell: the members of subcell c are the entries
// [start[c], start[c + 1]) of x, y, z (coordinates), id (particle index) and
// type (type index of a mixture), in ascending particle index.
struct SortedParticles {
    const double* x;
    const double* y;
    const double* z;
    const unsigned int* id;
    const int* type;  // null for one species
};

struct ListGeometry {
    BoxGeometry box;
    double rlistsq;  // (rcut + shell)^2, the largest of a mixture; one species: a pair is listed when distsq <= rlistsq
};

// A mixture lists each pair of types (a, b) to its own radius: the pair is
// listed when distsq <= (rc_ab + shell)^2, row a of an S x S table, so that a
// type pair with a short cut-off carries no pairs that only the longest one
// reaches. One species passes a null row and every pair is tested against
// ListGeometry::rlistsq.
struct ScanSelf {
    unsigned int id;              // the particle whose run is listed, never listed itself
    double x[3];                  // its position
    const double* rlistsq_by_type;  // its type's row of (rc_ab + shell)^2; null: one species
    unsigned int nr_types;        // S, the length of that row
};

// Ranges [begin, end) of the sorted entries to scan, in order. With `same_image`
// false each separation gets the minimum-image rule; true asserts that the rule
// would change no separation of the range (the caller knows that none reaches
// half a box), and the test is made on the raw separations.
struct ScanRanges {
    std::size_t begin[27];
    std::size_t end[27];
    bool same_image[27];
    unsigned int count;
};

// Appends to `out`, in order, every particle of the given ranges that lies within
// the list radius of `self` (its type's radius against the candidate's type in a
// mixture), skipping `self`. `out` needs room for all entries of the ranges plus
// 8. Returns the new end of `out`.
using ScanFn = unsigned int* (*)(const SortedParticles& p, const ScanRanges& r, const ScanSelf& self,
                                 const ListGeometry& g, unsigned int* out);
unsigned int* scan_scalar(const SortedParticles& p, const ScanRanges& r, const ScanSelf& self, const ListGeometry& g,
                          unsigned int* out);
unsigned int* scan_avx512(const SortedParticles& p, const ScanRanges& r, const ScanSelf& self, const ListGeometry& g,
                          unsigned int* out);
unsigned int* scan_avx2(const SortedParticles& p, const ScanRanges& r, const ScanSelf& self, const ListGeometry& g,
                        unsigned int* out);
ScanFn best_scan();

// ---- forces --------------------------------------------------------------------

struct PairInput {
    const double* positions;   // x0 y0 z0 0 x1 y1 z1 0 ... (may lie outside the box)
    const unsigned int* list;  // the flat neighbour list: N starts, then runs ended by the owner's index
    std::size_t list_size;     // entries in `list`; a run is never read past it
    BoxGeometry box;
    double rcutsq;             // a pair interacts when distsq < rcutsq
    double sigmasq;
    double epot_cutoff;        // (s/rc)^12 - (s/rc)^6 (lj_epot_cutoff)
    // A particle with every coordinate k in [central_lo[k], central_hi[k]] has no
    // interacting pair that the minimum-image rule would change, and no pair that
    // the rule would bring within the cut-off (the caller makes sure): its pairs
    // may skip the rule. lo > hi: no particle may.
    double central_lo[3];
    double central_hi[3];
};

// Where the pair loop writes its per-particle sums. With `energies` and
// `tensors` (both or neither) it also writes each particle's energy terms and
// its r_ij (x) F_ij terms (xx yy zz xy xz yz), each added into four partial sums
// as the virial is; without them the loop does none of that work.
struct PairOutput {
    double* forces;              // 3 per particle: sum of the force terms F_ij
    double* virials;             // 1 per particle: sum of r_ij . F_ij
    double* energies = nullptr;  // 1 per particle: sum of its pairs' energy terms
    double* tensors = nullptr;   // 6 per particle: sums of rx Fx, ry Fy, rz Fz, rx Fy, rx Fz, ry Fz
    double* own_energies = nullptr;  // 1 per particle: its energy terms chained from 0.0 in list order
                                     //   (the energy chain then starts afresh at every particle)
};

// The parameters of a potential as a loop reads them (pair_table.h): each table
// S x S, entry type_i * S + type_j.
struct PairTableView {
    unsigned int nr_types;       // S
    bool factored;               // one species: scales applied by the caller, after the loop
    const double* params[10];    // the evaluator's parameter tables
    const double* rcutsq;        // a pair interacts when distsq < rcutsq
    const double* energy_scale;  // per pair: energy = e energy_scale (not read when factored)
    const double* force_scale;   //   virial = w force_scale, force = (w / distsq) force_scale
    const double* data;          // read-only data of the evaluator
};

// One pass of a pair loop: positions as rows (x, y, z, type) (types only when
// not factored), the list, box and central region; pair.rcutsq the largest
// cut-off squared (pair.sigmasq, pair.epot_cutoff are not read).
struct LoopInput {
    PairInput pair;
    const int* types;  // N type indices (read when not factored)
    PairTableView table;
};

// Sums for the particles [begin, end) one after the other the terms of their
// interacting pairs over each particle's run into `out` (each started from 0.0
// and added in list order; virials and the optional terms in four partials,
// pair k into partial k mod 4, then (p0 + p1) + (p2 + p3)). Adds to `epotsum`
// the energy terms of all these pairs one after the other in the same order and
// returns it.
using LoopFn = double (*)(const LoopInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                          double epotsum);

// The loop of one evaluator in each instruction set.
struct PairKernels {
    LoopFn scalar;
    LoopFn avx2;
    LoopFn avx512;
    LoopFn best() const;  // the fastest this CPU runs
};

// ---- Lennard-Jones through the loop above --------------------------------------

// One species (sigmasq, epot_cutoff, rcutsq of `in`): the terms in units of
// 4 eps (energy) and 24 eps (force, virial), as LJ in potentials/lj.h gives them
// (((sr12 - sr6) - epot_cutoff), (sr12 + sr12) - sr6, and that over distsq).
using PairFn = double (*)(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                          double epotsum);
double pair_forces_scalar(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                          double epotsum);
double pair_forces_avx512(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                          double epotsum);
double pair_forces_avx2(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                        double epotsum);

// A mixture: the parameters of each pair from tables indexed by
// type_i * nr_types + type_j, the prefactors applied per pair:
//   energy  ((sr12 - sr6) - epot_cutoff_ab) eps4_ab
//   force   (((sr12 + sr12) - sr6) / distsq) eps24_ab times r_ij
//   virial  ((sr12 + sr12) - sr6) eps24_ab
struct MixedPairInput {
    PairInput pair;             // positions as rows (x, y, z, type), list, box and central region (pair.rcutsq: the
                                //   largest cut-off squared; pair.sigmasq and pair.epot_cutoff are not read)
    const int* types;           // N type indices
    unsigned int nr_types;      // S
    const double* sigmasq;      // S x S tables: s_ab^2
    const double* rcutsq;       //   rc_ab^2, a pair interacts when distsq < rcutsq
    const double* epot_cutoff;  //   (s/rc)^12 - (s/rc)^6 at rc_ab
    const double* eps4;         //   4 eps_ab
    const double* eps24;        //   24 eps_ab
};
using MixedPairFn = double (*)(const MixedPairInput& in, std::size_t begin, std::size_t end,
                               const PairOutput& out, double epotsum);
double mixed_pair_forces_scalar(const MixedPairInput& in, std::size_t begin, std::size_t end,
                                const PairOutput& out, double epotsum);
double mixed_pair_forces_avx512(const MixedPairInput& in, std::size_t begin, std::size_t end,
                                const PairOutput& out, double epotsum);
double mixed_pair_forces_avx2(const MixedPairInput& in, std::size_t begin, std::size_t end,
                              const PairOutput& out, double epotsum);

bool have_avx512();  // what the CPU supports
bool have_avx2();

// The instruction set that `best()` and `best_scan()` pick: the best the CPU
// supports, or the one named by the environment variable VORLAN_KERNELS (auto,
// avx512, avx2, scalar), read once per process. A name that is not a set, or a
// set the CPU lacks, throws std::invalid_argument.
enum class KernelSet { scalar, avx2, avx512 };
KernelSet kernel_set();
KernelSet choose_kernels(const char* request, bool avx512, bool avx2);  // the rule, for a given CPU
const char* kernel_set_name(KernelSet set);

}  // namespace kernels
