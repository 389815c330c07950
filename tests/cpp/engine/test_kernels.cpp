// The fast list build and pair loop against plain reference loops written the
// straightforward way (if / else-if minimum image, vectors of vectors), on random
// configurations with the awkward cases mixed in: separations of exactly half a
// box, pairs exactly at the list radius and at the cut-off, coordinates equal to
// the box side or a little below zero, boxes with one, two and more subcells.
// Every comparison is on the bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernels.h"
#include "potential_cases.h"
#include "support.h"

namespace {

double image(double r, double side)
{
    if (r >= 0.5 * side)
        r -= side;
    else if (r < -0.5 * side)
        r += side;
    return r;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Random particles in a box of side L, with a few placed on purpose: a partner
// exactly half a box away, one exactly `radius` away along x, a coordinate equal
// to L and one a hair below zero.
std::vector<vec3> awkward_configuration(std::size_t n, double L, double radius, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, L);
    std::vector<vec3> p(n);
    for (auto& x : p)
        x = vec3(u(rng), u(rng), u(rng));
    if (n >= 8) {
        p[0] = vec3(0.375, 0.5, 0.75);
        p[1] = p[0] + vec3(0.5 * L, 0.0, 0.0);  // exactly half a box apart: the sums are exact
        p[3] = vec3(1.0, 2.0, 3.0);
        p[4] = vec3(1.0 + radius, 2.0, 3.0);
        p[5] = vec3(L, 0.25 * L, 0.0);
        p[6] = vec3(-1e-15, L, 0.5 * L);
        p[7] = vec3(0.5 * L, 0.5 * L, 0.5 * L);
    }
    return p;
}

// The list the build must produce, by the book: subcells as vectors of particle
// indices, the 27 neighbouring subcells in scan order with repeats along an axis
// dropped, then the flat layout.
std::vector<unsigned int> reference_list(const std::vector<vec3>& pos, double L, double rlist)
{
    const std::size_t n = pos.size();
    const unsigned int m = std::max(1u, static_cast<unsigned int>(L / rlist));
    const double edge = L / m;
    auto index = [&](double x) {
        long q = static_cast<long>(x / edge) % static_cast<long>(m);
        return static_cast<unsigned int>(q < 0 ? q + m : q);
    };
    std::vector<std::vector<unsigned int>> subcells(m * m * m);
    for (unsigned int i = 0; i < n; ++i)
        subcells[(index(pos[i].z()) * m + index(pos[i].y())) * m + index(pos[i].x())].push_back(i);
    auto around = [&](unsigned int c) {
        std::vector<unsigned int> out;
        for (unsigned int d : {(c + m - 1) % m, c, (c + 1) % m})
            if (std::find(out.begin(), out.end(), d) == out.end())
                out.push_back(d);
        return out;
    };
    std::vector<unsigned int> list(n);
    for (unsigned int i = 0; i < n; ++i) {
        list[i] = static_cast<unsigned int>(list.size());
        for (unsigned int cx : around(index(pos[i].x())))
            for (unsigned int cy : around(index(pos[i].y())))
                for (unsigned int cz : around(index(pos[i].z())))
                    for (unsigned int j : subcells[(cz * m + cy) * m + cx]) {
                        if (j == i)
                            continue;
                        const double rx = image(pos[i].x() - pos[j].x(), L);
                        const double ry = image(pos[i].y() - pos[j].y(), L);
                        const double rz = image(pos[i].z() - pos[j].z(), L);
                        if (rx * rx + (ry * ry + rz * rz) <= rlist * rlist)
                            list.push_back(j);
                    }
        list.push_back(i);
    }
    return list;
}

// The list radius rcut + shell is exactly 2.8 in every box; boxes under 5 get a
// cutoff of half their edge (the largest the engine accepts) and a wider shell.
std::shared_ptr<Parameters> box_params(std::size_t n, double L)
{
    const double rcut = std::min(2.5, 0.5 * L);
    const double shell = 2.8 - rcut;  // exact, so that rcut + shell gives 2.8 back
    std::ostringstream text;
    text.precision(17);
    text << "nr_particles = " << n << "\ncell_length = " << L << "\nrcut = " << rcut << "\nshell = " << shell << "\n";
    return lj_params(text.str());
}

// A pair-loop case: positions (moved since the build when `moved`), the
// reference list of the unmoved ones, and the pair sums by the plain loop over
// it: forces and virials before the prefactor, energy chained in list order.
struct PairCase {
    double L;
    bool moved;
    std::vector<vec3> pos;
    std::vector<unsigned int> list;
    std::vector<double> want_f;
    std::vector<double> want_w;
    double want_e = 0.0;
};

// (s/rc)^12 - (s/rc)^6 for s = 1, rc = 2.5, written out
const double ecut_as_computed = [] {
    const double sr2 = 1.0 / 6.25, sr6 = (sr2 * sr2) * sr2;
    return sr6 * sr6 - sr6;
}();

PairCase pair_case(double L, bool moved, double density = 0.85)
{
    PairCase c{L, moved, {}, {}, {}, {}};
    const std::size_t n = static_cast<std::size_t>(density * L * L * L) + 8;
    c.pos = awkward_configuration(n, L, 2.5, static_cast<unsigned>(L));
    c.list = reference_list(c.pos, L, 2.8);
    if (moved) {
        for (std::size_t k = 8; k < n; ++k)
            c.pos[k] += vec3(0.01, -0.02, 0.005);  // moved since the build, partly outside the box
    }
    c.want_f.assign(3 * n, 0.0);
    c.want_w.assign(n, 0.0);
    for (unsigned int i = 0; i < n; ++i) {
        double f[3] = {0.0, 0.0, 0.0}, w[4] = {0.0, 0.0, 0.0, 0.0};  // virial: pair k to w[k mod 4]
        int interacting = 0;
        for (std::size_t k = c.list[i]; c.list[k] != i; ++k) {
            const unsigned int j = c.list[k];
            const vec3& a = c.pos[i];
            const vec3& b = c.pos[j];
            const double r[3] = {image(a.x() - b.x(), L), image(a.y() - b.y(), L), image(a.z() - b.z(), L)};
            const double distsq = r[0] * r[0] + (r[1] * r[1] + r[2] * r[2]);
            if (distsq < 6.25) {
                const double sr2 = 1.0 / distsq, sr6 = (sr2 * sr2) * sr2, sr12 = sr6 * sr6;
                c.want_e += (sr12 - sr6) - ecut_as_computed;
                w[interacting++ % 4] += (sr12 + sr12) - sr6;
                const double fr = ((sr12 + sr12) - sr6) / distsq;
                for (int d = 0; d < 3; ++d)
                    f[d] += fr * r[d];
            }
        }
        for (int d = 0; d < 3; ++d)
            c.want_f[3 * i + d] = f[d];
        c.want_w[i] = (w[0] + w[1]) + (w[2] + w[3]);
    }
    return c;
}

// One kernel variant: the pair loop and the list scan of one instruction set.
struct Variant {
    const char* name;
    kernels::PairFn pair;
    kernels::ScanFn scan;
    kernels::MixedPairFn mixed;
    bool (*cpu_runs)();  // whether this CPU has the instruction set; null: every CPU
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

// Every variant is a test of its own, so that one the CPU cannot run shows as
// skipped rather than passing on the scalar code.
class EveryVariant : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override
    {
        if (GetParam().cpu_runs && !GetParam().cpu_runs())
            GTEST_SKIP() << "this CPU lacks the instruction set: the " << GetParam().name
                         << " kernels are not checked here";
    }
};

}  // namespace

// Boxes of 1, 2, 3, 5 and 7 subcells per axis (rcut + shell = 2.8), on 1 and 2
// threads; particles plainly inside the box, with the awkward ones, and some
// lying whole box lengths outside it.
TEST(FastListBuild, MatchesTheReferenceScanOnAnyThreadCount)
{
    const double rlist = 2.8;
    for (const double L : {2.5, 4.0, 7.0, 8.5, 14.5, 20.0}) {
        const std::size_t n = static_cast<std::size_t>(0.8 * L * L * L) + 8;
        for (int variant = 0; variant < 3; ++variant) {
            Cell cell(box_params(n, L));
            auto pos = awkward_configuration(n, L, rlist, static_cast<unsigned>(L * 10) + variant);
            if (variant == 1) {
                std::mt19937_64 rng(variant);
                std::uniform_real_distribution<double> u(0.0, L);
                for (auto& p : pos)
                    p = vec3(u(rng), u(rng), u(rng));
            } else if (variant == 2) {
                for (std::size_t k = 8; k < n; k += 5)
                    pos[k] += vec3(-L, 2.0 * L, 0.0);
            }
            CellTestAccess::positions(cell) = pos;
            const auto want = reference_list(pos, L, rlist);
            for (int threads : {1, 2}) {
                ThreadCount use(threads);
                CellTestAccess::build_neighbor_list(cell);
                EXPECT_EQ(CellTestAccess::neighbor_list(cell), want)
                    << "L = " << L << ", variant " << variant << ", threads = " << threads;
            }
        }
    }
}

// The pair loop of each variant against the plain loop over the reference list;
// last a box crowded far beyond a liquid, whose runs hold some 400 pairs within
// the cut-off (more than the vector loops first make room for).
TEST_P(EveryVariant, PairLoopGivesTheReferenceBits)
{
    struct Shape {
        double L;
        bool moved;
        double density;
    };
    for (const Shape s : {Shape{4.0, false, 0.85}, Shape{4.0, true, 0.85}, Shape{9.0, false, 0.85},
                          Shape{9.0, true, 0.85}, Shape{12.0, false, 0.85}, Shape{12.0, true, 0.85},
                          Shape{5.0, true, 6.0}}) {
        const double L = s.L;
        const bool moved = s.moved;
        const PairCase c = pair_case(L, moved, s.density);
        const std::size_t n = c.pos.size();
        std::vector<double> padded;
        for (const auto& p : c.pos)
            padded.insert(padded.end(), {p.x(), p.y(), p.z(), 0.0});
        const double sides[3] = {L, L, L};
        kernels::PairInput in{padded.data(), c.list.data(), c.list.size(), kernels::box_geometry(sides),
                              6.25, 1.0, ecut_as_computed, {1.0, 1.0, 1.0}, {0.0, 0.0, 0.0}};
        if (!moved && L > 5.0) {
            // the particles far enough from every side skip the image rule
            for (int k = 0; k < 3; ++k) {
                in.central_lo[k] = 2.5 + 2e-9 * L;
                in.central_hi[k] = L - 2.5 - 2e-9 * L;
            }
        }
        const kernels::PairFn fn = GetParam().pair;
        std::vector<double> f(3 * n, -1.0), w(n, -1.0);
        const kernels::PairOutput out{f.data(), w.data()};
        // in two pieces, the energy chained through both
        const double e = fn(in, n / 3, n, out, fn(in, 0, n / 3, out, 0.0));
        EXPECT_TRUE(same_bits(e, c.want_e)) << e << " != " << c.want_e;
        for (std::size_t k = 0; k < 3 * n; ++k)
            ASSERT_TRUE(same_bits(f[k], c.want_f[k])) << "L = " << L << ", entry " << k;
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_TRUE(same_bits(w[i], c.want_w[i])) << "L = " << L << ", virial of " << i;
    }
}

// The forces of a whole Cell (the fastest variant this CPU runs) on 1 and 2
// threads: the reference times 24 eps; the virial the same bits on both.
TEST(FastPairLoop, EngineGivesTheReferenceBitsOnAnyThreadCount)
{
    for (const double L : {9.0, 12.0})
        for (const bool moved : {false, true}) {
            const PairCase c = pair_case(L, moved);
            Cell cell(box_params(c.pos.size(), L));
            CellTestAccess::positions(cell) = c.pos;
            CellTestAccess::neighbor_list(cell) = c.list;
            double virial = 0.0;
            for (int threads : {1, 2}) {
                ThreadCount use(threads);
                CellTestAccess::calculate_forces(cell);
                const auto& got = CellTestAccess::forces(cell);
                for (std::size_t i = 0; i < c.pos.size(); ++i)
                    for (int d = 0; d < 3; ++d)
                        ASSERT_TRUE(same_bits(got[i][d], c.want_f[3 * i + d] * 24.0)) << "threads " << threads;
                if (threads == 1)
                    virial = cell.virial();
                EXPECT_TRUE(same_bits(cell.virial(), virial)) << cell.virial() << " != " << virial;
            }
        }
}

// Two and three species with their own eps, sigma and cut-off per pair (the
// largest 2.5, so the list of radius 2.8 holds every interacting pair): the
// mixture loop of each variant against the plain loop, prefactors per pair,
// with the tables in registers (two species) and in memory (three, AVX2).
// Particle k has type k mod S, so that the awkward pairs (0, 1) and (3, 4) are
// of unlike types.
TEST_P(EveryVariant, MixturePairLoopGivesTheReferenceBits)
{
    const double eps3[9] = {1.0, 1.5, 0.7, 1.5, 0.5, 0.9, 0.7, 0.9, 2.0};
    const double sig3[9] = {1.0, 0.8, 1.1, 0.8, 0.88, 0.95, 1.1, 0.95, 1.2};
    const double rc3[9] = {2.5, 2.0, 2.2, 2.0, 2.2, 1.5, 2.2, 1.5, 2.5};
    struct MixtureCase {
        int S;
        double L;
        bool moved;
    };
    std::vector<MixtureCase> cases;
    for (const int S : {2, 3})
        for (const double L : {4.0, 9.0, 12.0})
            for (const bool moved : {false, true})
                cases.push_back({S, L, moved});
    for (const MixtureCase& mc : cases) {
        const int S = mc.S;
        const double L = mc.L;
        const bool moved = mc.moved;
        double sigmasq[9], rcutsq[9], cut[9], eps4[9], eps24[9];
        for (int a = 0; a < S; ++a)
            for (int b = 0; b < S; ++b) {
                const int k = a * S + b, k3 = a * 3 + b;
                sigmasq[k] = sig3[k3] * sig3[k3];
                rcutsq[k] = rc3[k3] * rc3[k3];
                const double sr2 = sigmasq[k] / rcutsq[k], sr6 = (sr2 * sr2) * sr2;
                cut[k] = sr6 * sr6 - sr6;
                eps4[k] = 4.0 * eps3[k3];
                eps24[k] = 24.0 * eps3[k3];
            }
        const PairCase c = pair_case(L, moved, L == 4.0 ? 6.0 : 0.85);
        const std::size_t n = c.pos.size();
        std::vector<int> types(n);
        for (std::size_t i = 0; i < n; ++i)
            types[i] = static_cast<int>(i % S);
        std::vector<double> want_f(3 * n), want_w(n);
        double want_e = 0.0;
        for (unsigned int i = 0; i < n; ++i) {
            double f[3] = {0.0, 0.0, 0.0}, w[4] = {0.0, 0.0, 0.0, 0.0};
            int interacting = 0;
            for (std::size_t k = c.list[i]; c.list[k] != i; ++k) {
                const unsigned int j = c.list[k];
                const int t = types[i] * S + types[j];
                const double r[3] = {image(c.pos[i].x() - c.pos[j].x(), L), image(c.pos[i].y() - c.pos[j].y(), L),
                                     image(c.pos[i].z() - c.pos[j].z(), L)};
                const double distsq = r[0] * r[0] + (r[1] * r[1] + r[2] * r[2]);
                if (distsq < rcutsq[t]) {
                    const double sr2 = sigmasq[t] / distsq, sr6 = (sr2 * sr2) * sr2, sr12 = sr6 * sr6;
                    want_e += ((sr12 - sr6) - cut[t]) * eps4[t];
                    w[interacting++ % 4] += ((sr12 + sr12) - sr6) * eps24[t];
                    const double fr = (((sr12 + sr12) - sr6) / distsq) * eps24[t];
                    for (int d = 0; d < 3; ++d)
                        f[d] += fr * r[d];
                }
            }
            for (int d = 0; d < 3; ++d)
                want_f[3 * i + d] = f[d];
            want_w[i] = (w[0] + w[1]) + (w[2] + w[3]);
        }
        std::vector<double> padded;  // rows (x, y, z, type)
        for (std::size_t i = 0; i < n; ++i)
            padded.insert(padded.end(), {c.pos[i].x(), c.pos[i].y(), c.pos[i].z(), double(types[i])});
        const double sides[3] = {L, L, L};
        kernels::MixedPairInput in{{padded.data(), c.list.data(), c.list.size(), kernels::box_geometry(sides),
                                    6.25, 0.0, 0.0, {1.0, 1.0, 1.0}, {0.0, 0.0, 0.0}},
                                   types.data(), static_cast<unsigned int>(S), sigmasq, rcutsq, cut, eps4,
                                   eps24};
        std::vector<double> f(3 * n, -1.0), w(n, -1.0);
        const kernels::PairOutput out{f.data(), w.data()};
        const kernels::MixedPairFn fn = GetParam().mixed;
        const double e = fn(in, n / 3, n, out, fn(in, 0, n / 3, out, 0.0));
        EXPECT_TRUE(same_bits(e, want_e)) << S << " species, L = " << L << ": " << e << " != " << want_e;
        for (std::size_t k = 0; k < 3 * n; ++k)
            ASSERT_TRUE(same_bits(f[k], want_f[k])) << "L = " << L << ", entry " << k;
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_TRUE(same_bits(w[i], want_w[i])) << "L = " << L << ", virial of " << i;
    }
}

// The distance test of each variant on the awkward pairs alone: the pair exactly
// at its list radius is kept (<=), the particle itself never is. One species
// (radius 2.8), and mixtures of 3 and of 9 types (the AVX-512 scan holds a row of
// up to 8 radii in a register, gathers beyond) whose pair (a, b) is listed
// within 2.75 - 0.25 |a - b|, the types dealt in turn.
TEST_P(EveryVariant, ScanKeepsEveryCandidateWithinItsPairsListRadius)
{
    const double L = 10.0;
    for (const unsigned int nr_types : {0u, 3u, 9u}) {
        auto radius = [&](int a, int b) { return nr_types ? 2.75 - 0.25 * std::abs(a - b) : 2.8; };
        const auto pos = awkward_configuration(200, L, radius(3 % 9, 4 % 9), 7);
        std::vector<double> x, y, z, rsq;
        std::vector<unsigned int> id;
        std::vector<int> type;
        for (unsigned int i = 0; i < pos.size(); ++i) {
            x.push_back(pos[i].x());
            y.push_back(pos[i].y());
            z.push_back(pos[i].z());
            id.push_back(i);
            type.push_back(nr_types ? static_cast<int>(i % nr_types) : 0);
        }
        for (unsigned int k = 0; k < nr_types * nr_types; ++k)
            rsq.push_back(radius(k / nr_types, k % nr_types) * radius(k / nr_types, k % nr_types));
        const kernels::SortedParticles sorted{x.data(), y.data(), z.data(), id.data(), nr_types ? type.data() : nullptr};
        const kernels::ListGeometry g{{{5.0, 5.0, 5.0}, {L, L, L}}, radius(0, 0) * radius(0, 0)};
        for (unsigned int i = 0; i < pos.size(); ++i) {
            const kernels::ScanSelf self{i, {pos[i].x(), pos[i].y(), pos[i].z()},
                                         nr_types ? rsq.data() + type[i] * nr_types : nullptr, nr_types};
            const double* xi = self.x;
            std::vector<unsigned int> want;
            for (unsigned int j = 0; j < pos.size(); ++j) {
                const double rx = image(xi[0] - x[j], L), ry = image(xi[1] - y[j], L), rz = image(xi[2] - z[j], L);
                const double r = radius(type[i], type[j]);
                if (j != i && rx * rx + (ry * ry + rz * rz) <= r * r)
                    want.push_back(j);
            }
            if (i == 3) {
                EXPECT_NE(std::find(want.begin(), want.end(), 4u), want.end());  // exactly at the radius
            }
            // raw separations: only for a particle whose separations need no image
            const bool central =
                std::abs(xi[0] - 5.0) < 0.5 && std::abs(xi[1] - 5.0) < 0.5 && std::abs(xi[2] - 5.0) < 0.5;
            for (const bool same_image : {false, central}) {
                // ragged sub-ranges, as the build passes them: an empty one, then 5 to
                // 17 entries, so that every vector width ends on each partial group
                std::vector<unsigned int> got(pos.size() + 16);
                kernels::ScanRanges ranges;
                ranges.count = 0;
                for (std::size_t b = 0, len = 0; b < pos.size();
                     len = len == 17 ? 5 : std::max<std::size_t>(len + 1, 5)) {
                    ranges.begin[ranges.count] = b;
                    b = std::min(b + len, pos.size());
                    ranges.end[ranges.count] = b;
                    ranges.same_image[ranges.count++] = same_image;
                }
                ASSERT_LE(ranges.count, 27u);
                unsigned int* out = GetParam().scan(sorted, ranges, self, g, got.data());
                got.resize(static_cast<std::size_t>(out - got.data()));
                ASSERT_EQ(got, want) << "types " << nr_types << ", particle " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryVariant,
                         ::testing::Values(Variant{"scalar", kernels::pair_forces_scalar, kernels::scan_scalar,
                                                   kernels::mixed_pair_forces_scalar, nullptr},
                                           Variant{"avx2", kernels::pair_forces_avx2, kernels::scan_avx2,
                                                   kernels::mixed_pair_forces_avx2, kernels::have_avx2},
                                           Variant{"avx512", kernels::pair_forces_avx512, kernels::scan_avx512,
                                                   kernels::mixed_pair_forces_avx512, kernels::have_avx512}),
                         [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

// Every potential and mode through each variant against the scalar loop: one
// type (scales left to the caller) and two (scales per pair, tables in
// registers) and three (tables in memory), with and without the per-particle
// terms, in two pieces with the energy chained. Also a table ending at 0.9,
// short of the distance the vector loops give lanes holding no pair.
TEST_P(EveryVariant, EveryPotentialGivesTheScalarBits)
{
    const PairCase c = pair_case(9.0, true);
    const std::size_t n = c.pos.size();
    std::vector<PotentialCase> cases = potential_cases();
    cases.push_back({"table", "none", {0.9}});
    for (const PotentialCase& pc : cases)
        for (const std::size_t s : {1, 2, 3})
            for (const bool extras : {false, true}) {
                const PairPotential p = potential_of(pc, s);
                const PairTable t = build_pair_table(p);
                const kernels::PairKernels& loops = pair_kernels_of(p);
                const std::string name = GetParam().name;
                const kernels::LoopFn fn =
                    name == "scalar" ? loops.scalar : name == "avx2" ? loops.avx2 : loops.avx512;
                std::vector<int> types(n);
                std::vector<double> padded;
                for (std::size_t i = 0; i < n; ++i) {
                    types[i] = static_cast<int>(i % s);
                    padded.insert(padded.end(), {c.pos[i].x(), c.pos[i].y(), c.pos[i].z(), double(types[i])});
                }
                const double sides[3] = {c.L, c.L, c.L};
                kernels::LoopInput in{{padded.data(), c.list.data(), c.list.size(), kernels::box_geometry(sides),
                                       t.rcut_max * t.rcut_max, 0.0, 0.0, {1.0, 1.0, 1.0}, {0.0, 0.0, 0.0}},
                                      types.data(),
                                      {}};
                in.table = {static_cast<unsigned int>(s), s == 1, {}, t.rcutsq.data(), t.energy_scale.data(),
                            t.force_scale.data(), t.data.data()};
                for (std::size_t k = 0; k < t.nr_params; ++k)
                    in.table.params[k] = t.params[k].data();
                struct Sums {
                    std::vector<double> f, w, e, x;
                    double epot;
                };
                auto run = [&](kernels::LoopFn loop) {
                    Sums r{std::vector<double>(3 * n, -1.0), std::vector<double>(n, -1.0),
                           std::vector<double>(n, -1.0), std::vector<double>(6 * n, -1.0), 0.0};
                    kernels::PairOutput out{r.f.data(), r.w.data()};
                    if (extras) {
                        out.energies = r.e.data();
                        out.tensors = r.x.data();
                    }
                    r.epot = loop(in, n / 3, n, out, loop(in, 0, n / 3, out, 0.0));
                    return r;
                };
                const Sums want = run(loops.scalar), got = run(fn);
                const std::string where = pc.family + " " + pc.mode + ", " + std::to_string(s) + " types";
                ASSERT_TRUE(std::isfinite(want.epot)) << where;
                EXPECT_TRUE(same_bits(got.epot, want.epot)) << where;
                for (std::size_t k = 0; k < 3 * n; ++k)
                    ASSERT_TRUE(same_bits(got.f[k], want.f[k])) << where << ", force entry " << k;
                for (std::size_t k = 0; k < n; ++k) {
                    ASSERT_TRUE(same_bits(got.w[k], want.w[k])) << where << ", virial of " << k;
                    ASSERT_TRUE(same_bits(got.e[k], want.e[k])) << where << ", energy of " << k;
                }
                for (std::size_t k = 0; k < 6 * n; ++k)
                    ASSERT_TRUE(same_bits(got.x[k], want.x[k])) << where << ", tensor entry " << k;
            }
}

// VORLAN_KERNELS may lower the set to time the slower loops, never raise it
// above what the CPU runs; a misspelt name is refused, not ignored.
TEST(KernelChoice, EnvironmentLowersTheSetOnly)
{
    using kernels::KernelSet;
    using kernels::choose_kernels;
    EXPECT_EQ(choose_kernels(nullptr, true, true), KernelSet::avx512);
    EXPECT_EQ(choose_kernels("auto", false, true), KernelSet::avx2);
    EXPECT_EQ(choose_kernels("", false, false), KernelSet::scalar);
    EXPECT_EQ(choose_kernels("avx2", true, true), KernelSet::avx2);
    EXPECT_EQ(choose_kernels("scalar", true, true), KernelSet::scalar);
    EXPECT_THROW(choose_kernels("avx512", false, true), std::invalid_argument);
    EXPECT_THROW(choose_kernels("avx2", false, false), std::invalid_argument);
    EXPECT_THROW(choose_kernels("AVX2", true, true), std::invalid_argument);
}
