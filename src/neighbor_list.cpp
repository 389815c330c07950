// Verlet neighbour list built with a grid of subcells.
//
// Layout of neighbor_list (32-bit unsigned):
//   [0, N)                  start_i: where the run of particle i begins
//   start_i .. start_i+n_i-1  neighbours of i, in scan order
//   start_i + n_i           i itself, terminating the run
// The list is full (j in run i <=> i in run j), so the force loop can give each
// particle its own accumulator and needs no atomics.
//
// A pair is listed when its distance is at most its list radius rc + shell,
// where a mixture takes each type pair's own cut-off rc_ab (a one-species list
// is the special case of one type); every particle's run is thus the
// subsequence of the one-radius list (rlist = largest cut-off + shell) that
// its pairs' own radii admit, in the same order. Subcell edges are at least
// that largest rlist, so the 27 subcells around a particle hold every particle
// within reach. Scan order: cx over (lx, ix, hx)
// outermost, then cy, then cz; within a subcell, ascending particle index. With
// fewer than three subcells along an axis a neighbouring subcell repeats; it is
// visited only at its first place in that order so that no pair is listed twice.
//
// A build sorts the particles by subcell (counting sort, z index fastest, each
// subcell in ascending index) into contiguous coordinate arrays, so that the
// subcells (cx, cy, lz..hz) of a scan are mostly one contiguous range. Each thread
// lists its block of particles into its own buffer, the first thread straight into
// neighbor_list; the buffers are then joined in particle order. All build buffers
// are members and keep their memory from one build to the next.
//
// A build, step by step (the functions below, in this order): the list radius
// from the parameters, the instability check, the grid sizing, the counting
// sort, the shortcut flags and the axis tables, then per particle the range assembly, the buffer
// growth and the distance scan; last the overflow check and the parallel join.
#include "neighbor_list.h"
#include "cell.h"
#include "kernels.h"
#include "list_clock.h"
#include "parallel.h"
#include "settings.h"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <sstream>
#include <stdexcept>

namespace {

// Subcell index of a coordinate along one axis: integer part of x / edge, wrapped
// into [0, n). Coordinates equal to the box side, or a rounding error below zero,
// come back from the periodic wrap and still land in a valid subcell. The
// remainder is taken in floating point (exact), so that no coordinate, however
// far out, is converted to an integer type that cannot hold it.
inline unsigned int subcell_index(double x, double edge, unsigned int n)
{
    const double f = x / edge;
    if (f >= 0.0 && f < static_cast<double>(n))
        return static_cast<unsigned int>(f);
    double q = std::fmod(std::trunc(f), static_cast<double>(n));  // only then the (slow) remainder
    if (q < 0.0)
        q += n;
    return q >= 0.0 && q < static_cast<double>(n) ? static_cast<unsigned int>(q) : 0;  // NaN: refused before
}

// x / d for 32-bit x by a multiplication; the estimate is corrected by one where
// the rounding of the reciprocal made it off.
struct Divider {
    unsigned int d;
    double inverse;

    explicit Divider(unsigned int d_) : d(d_), inverse(1.0 / d_) {}
    unsigned int operator()(unsigned int x) const
    {
        std::uint64_t q = static_cast<std::uint64_t>(x * inverse);
        if (q * d > x)
            --q;
        else if ((q + 1) * d <= x)
            ++q;
        return static_cast<unsigned int>(q);
    }
};

// The distinct subcells below, at and above `i` along one axis, periodic, in
// first-occurrence order. Returns how many there are (1, 2 or 3).
inline unsigned int axis_neighbours(unsigned int i, unsigned int n, unsigned int out[3])
{
    const unsigned int lo = (i == 0) ? n - 1 : i - 1;
    const unsigned int hi = (i == n - 1) ? 0 : i + 1;
    const unsigned int cand[3] = {lo, i, hi};
    unsigned int k = 0;
    for (unsigned int c : cand) {
        if (std::find(out, out + k, c) == out + k)
            out[k++] = c;
    }
    return k;
}

// Lower bound of the distance, along one axis, between x and any coordinate that
// the binning puts in subcell c (nominally [c edge, (c + 1) edge), or one box
// length away), over the three periodic images. `slack` covers the rounding of
// the binning and coordinates a hair outside the box.
inline double subcell_gap(double x, unsigned int c, double edge, double side, double slack)
{
    double gap = std::numeric_limits<double>::infinity();
    for (int m = -1; m <= 1; ++m) {
        const double lo = c * edge - slack + m * side, hi = (c + 1) * edge + slack + m * side;
        gap = std::min(gap, x < lo ? lo - x : (x > hi ? x - hi : 0.0));
    }
    return gap;
}

// ---- instability check -----------------------------------------------------------

// An exploding run shows up here first, since a particle that jumps is stale at
// once: refuse non-finite coordinates, and displacements since the last build
// beyond half the box (and beyond the shell) that no valid list can follow.
// The first such particle is named.
void check_stability(const std::vector<vec3>& positions, const std::vector<vec3>& dij_list, const vec3& dims,
                     double shell, int team, const std::vector<std::uint32_t>& ids)
{
    const std::size_t nr_particles = positions.size();
    const double jump = std::max(0.5 * std::min({dims.x(), dims.y(), dims.z()}), shell);
    auto sane = [&](std::size_t i) {
        const vec3& p = positions[i];
        const vec3& d = dij_list[i];
        return std::isfinite(p.x()) && std::isfinite(p.y()) && std::isfinite(p.z()) &&
               d.x() * d.x() + (d.y() * d.y() + d.z() * d.z()) <= jump * jump;
    };
    bool all_sane = true;
    const long long count = static_cast<long long>(nr_particles);
#pragma omp parallel for schedule(static) reduction(&& : all_sane) num_threads(team)
    for (long long i = 0; i < count; ++i)
        all_sane = all_sane && sane(static_cast<std::size_t>(i));
    for (std::size_t i = 0; !all_sane && i < nr_particles; ++i) {
        if (!sane(i)) {
            const vec3& p = positions[i];
            const vec3& d = dij_list[i];
            std::ostringstream msg;
            msg << "particle " << ids[i] << " is at (" << p.x() << ", " << p.y() << ", " << p.z() << ") after moving by ("
                << d.x() << ", " << d.y() << ", " << d.z()
                << ") since the last neighbour-list build: the simulation became unstable "
                   "(time step too large, or particles overlapping)";
            throw std::range_error(msg.str());
        }
    }
}

// ---- grid sizing -----------------------------------------------------------------

struct SubcellGrid {
    unsigned int n[3];  // subcells per axis
    double edge[3];     // subcell edge per axis, at least rlist
    double slack[3];    // allowance for the rounding of the binning, per axis
    std::size_t count;  // subcells in all
};

// Subcells along each axis: floor(L / rlist), at least one, and in total at most
// max(8 N, 2^16) so that a tiny list radius cannot exhaust memory. Shrinking the
// count only widens the subcells, which keeps every edge >= rlist.
SubcellGrid size_grid(const vec3& dims, double rlist, std::size_t nr_particles)
{
    const double cap = static_cast<double>(std::max<std::size_t>(8 * nr_particles, 65536));
    double q[3];
    for (int k = 0; k < 3; ++k)
        q[k] = std::max(1.0, std::min(std::floor(dims[k] / rlist), cap));
    const double total = q[0] * q[1] * q[2];
    if (total > cap) {
        const double shrink = std::cbrt(total / cap);
        for (int k = 0; k < 3; ++k)
            q[k] = std::max(1.0, std::floor(q[k] / shrink));
        while (q[0] * q[1] * q[2] > cap) {
            double* largest = std::max_element(q, q + 3);
            *largest -= 1.0;
        }
    }
    SubcellGrid grid;
    for (int k = 0; k < 3; ++k) {
        grid.n[k] = static_cast<unsigned int>(q[k]);
        grid.edge[k] = dims[k] / grid.n[k];
        grid.slack[k] = 1e-9 * dims[k];
    }
    grid.count = static_cast<std::size_t>(grid.n[0]) * grid.n[1] * grid.n[2];
    return grid;
}

// ---- counting sort ----------------------------------------------------------------

// Per axis: some coordinate lies outside the box beyond rounding (untidy), or at
// its upper side so that its subcell index wraps to 0 (wrapped).
struct Spread {
    bool untidy[3];
    bool wrapped[3];
};

// After every thread has counted its block: the slots, subcell by subcell, and
// within one the threads in order.
void assign_slots(ListBuffers& buf, std::size_t nr_subcells, std::size_t nr_threads)
{
    unsigned int next = 0;
    for (std::size_t c = 0; c < nr_subcells; ++c) {
        buf.subcell_start[c] = next;
        for (std::size_t u = 0; u < nr_threads; ++u) {
            unsigned int& slot = buf.subcell_fill[u * nr_subcells + c];
            const unsigned int members = slot;
            slot = next;
            next += members;
        }
    }
    buf.subcell_start[nr_subcells] = next;
}

// Counting sort by subcell, key (ix ny + iy) nz + iz: each thread counts its
// block, the slots go to the blocks in thread order within every subcell, so
// each subcell lists its particles in ascending index; with `order` (the index
// of the particle of each global id) the blocks are blocks of ids, and each
// subcell lists its particles in ascending id.
Spread sort_by_subcell(const std::vector<vec3>& positions, const std::int32_t* types, const SubcellGrid& grid,
                       const kernels::BoxGeometry& box, ListBuffers& buf, int team, const std::uint32_t* order)
{
    const std::size_t nr_particles = positions.size(), nr_subcells = grid.count;
    buf.subcell_of.resize(nr_particles);
    buf.subcell_start.assign(nr_subcells + 1, 0);
    buf.subcell_fill.assign(static_cast<std::size_t>(team) * nr_subcells, 0);
    buf.sorted_x.resize(nr_particles);
    buf.sorted_y.resize(nr_particles);
    buf.sorted_z.resize(nr_particles);
    buf.sorted_id.resize(nr_particles);
    buf.sorted_type.resize(types ? nr_particles : 0);
    const unsigned int* n = grid.n;
    const unsigned int ny = n[1], nz = n[2];
    const double* edge = grid.edge;
    bool untidy[3] = {false, false, false}, wrapped[3] = {false, false, false};
#pragma omp parallel reduction(|| : untidy[:3], wrapped[:3]) num_threads(team)
    {
        const Block b = static_block(nr_particles);
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        unsigned int* mine = buf.subcell_fill.data() + t * nr_subcells;
        for (std::size_t g = b.begin; g < b.end; ++g) {
            const std::size_t i = order ? order[g] : g;
            for (int k = 0; k < 3; ++k) {
                const double x = positions[i][k];
                untidy[k] = untidy[k] || x < -grid.slack[k] || x > box.side[k] + grid.slack[k];
                wrapped[k] = wrapped[k] || x / edge[k] >= static_cast<double>(n[k]);
            }
            const unsigned int ix = subcell_index(positions[i].x(), edge[0], n[0]);
            const unsigned int iy = subcell_index(positions[i].y(), edge[1], ny);
            const unsigned int iz = subcell_index(positions[i].z(), edge[2], nz);
            const unsigned int key = (ix * ny + iy) * nz + iz;
            buf.subcell_of[i] = key;
            ++mine[key];
        }
#pragma omp barrier
#pragma omp single
        assign_slots(buf, nr_subcells, static_cast<std::size_t>(omp_get_num_threads()));
        for (std::size_t g = b.begin; g < b.end; ++g) {
            const std::size_t i = order ? order[g] : g;
            const unsigned int slot = mine[buf.subcell_of[i]]++;
            buf.sorted_x[slot] = positions[i].x();
            buf.sorted_y[slot] = positions[i].y();
            buf.sorted_z[slot] = positions[i].z();
            buf.sorted_id[slot] = static_cast<unsigned int>(i);
            if (types)
                buf.sorted_type[slot] = types[i];
        }
    }
    return Spread{{untidy[0], untidy[1], untidy[2]}, {wrapped[0], wrapped[1], wrapped[2]}};
}

// ---- shortcut flags ----------------------------------------------------------------

struct Shortcuts {
    bool cull;            // skip subcells whose nearest image lies beyond cull_limit
    double cull_limit;    // squared list radius with a margin
    bool raw_axis[3];     // neighbouring subcells without a crossed side need no image
    bool simple_gap[3];   // the gap to a neighbouring subcell is that to an own face
};

// Two shortcuts that change no result. With every coordinate of an axis in the
// box (up to rounding), a subcell whose nearest image lies farther than the list
// radius (with a margin) cannot hold a neighbour: it is skipped. With five or
// more subcells along an axis and no index wrapped, two particles in subcells
// next to each other without crossing the box side are less than 2 edges + slack
// < half a box apart on that axis: the minimum-image rule leaves their separation
// alone, and a range made only of such subcells is tested on raw separations.
// With three or more subcells and every coordinate in its own subcell (up to
// slack), the gap to the subcell below or above is the distance to the own
// subcell's lower or upper face.
Shortcuts choose_shortcuts(const SubcellGrid& grid, const Spread& spread, double rlistsq)
{
    Shortcuts s;
    s.cull = !spread.untidy[0] && !spread.untidy[1] && !spread.untidy[2];
    s.cull_limit = rlistsq * (1.0 + 1e-9);
    for (int k = 0; k < 3; ++k) {
        s.raw_axis[k] = s.cull && !spread.wrapped[k] && grid.n[k] >= 5;
        s.simple_gap[k] = s.cull && !spread.wrapped[k] && grid.n[k] >= 3;
    }
    return s;
}

// ---- range assembly ------------------------------------------------------------------

// What every thread of the list region reads.
struct ListPass {
    SubcellGrid grid;
    Shortcuts shortcuts;
    const ListBuffers* buf;  // subcells and sorted particles
    Divider by_nz, by_ny;
    kernels::SortedParticles sorted;
    kernels::ListGeometry geometry;
    kernels::ScanFn scan;
    const std::int32_t* types;         // type of each particle; null for one species
    const double* rlistsq_by_type;     // S x S (rc_ab + shell)^2 of a mixture
    const double* cull_by_type;        // per type: its cull limit (the largest radius of its row)
    unsigned int nr_types;             // S
};

// The neighbouring subcells of every subcell index along each axis, once per
// build into buf.axes.
void fill_axis_tables(const SubcellGrid& grid, const Shortcuts& s, ListBuffers& buf)
{
    for (int k = 0; k < 3; ++k) {
        buf.axes[k].resize(grid.n[k]);
        for (unsigned int own = 0; own < grid.n[k]; ++own) {
            AxisNeighbours& t = buf.axes[k][own];
            t.found = axis_neighbours(own, grid.n[k], t.around);
            for (unsigned int a = 0; a < t.found; ++a) {
                const unsigned int c = t.around[a];
                t.raw[a] = s.raw_axis[k] && (c + 1 == own || c == own || c == own + 1);
            }
        }
    }
}

// Along axis k, for the neighbouring subcells of the own subcell: the squared gap
// from coordinate x (0 where no shortcut applies).
inline void axis_gaps(const ListPass& pass, int k, unsigned int own, double x, const AxisNeighbours& t,
                      double gapsq[3])
{
    const SubcellGrid& grid = pass.grid;
    const Shortcuts& s = pass.shortcuts;
    for (unsigned int a = 0; a < t.found; ++a) {
        const unsigned int c = t.around[a];
        double g = 0.0;
        if (c != own && s.simple_gap[k])  // the face of the own subcell is nearer
            g = std::max(0.0, c + 1 == own || (own == 0 && c == grid.n[k] - 1)
                                  ? x - (own * grid.edge[k] + grid.slack[k])
                                  : ((own + 1) * grid.edge[k] - grid.slack[k]) - x);
        else if (c != own && s.cull)
            g = subcell_gap(x, c, grid.edge[k], pass.geometry.box.side[k], grid.slack[k]);
        gapsq[a] = g * g;
    }
}

// The subcells around the one with `key`, in scan order, as ranges of the sorted
// arrays; a range that starts where the previous one ends (with the same image
// rule) is joined to it; where the shortcuts allow, subcells whose nearest
// image lies beyond `limit` (squared, with a margin) are left out. Returns the
// number of candidates in all ranges.
inline std::size_t assemble_ranges(const ListPass& pass, unsigned int key, const double xi[3], double limit,
                                   kernels::ScanRanges& ranges)
{
    const unsigned int* n = pass.grid.n;
    const unsigned int ny = n[1], nz = n[2];
    const unsigned int ixy = pass.by_nz(key), ix = pass.by_ny(ixy);
    const unsigned int own[3] = {ix, ixy - ix * ny, key - ixy * nz};
    const AxisNeighbours* t[3];
    double gapsq[3][3];
    for (int k = 0; k < 3; ++k) {
        t[k] = &pass.buf->axes[k][own[k]];
        axis_gaps(pass, k, own[k], xi[k], *t[k], gapsq[k]);
    }

    const unsigned int* start = pass.buf->subcell_start.data();
    ranges.count = 0;
    std::size_t candidates = 0;
    for (unsigned int a = 0; a < t[0]->found; ++a)
        for (unsigned int c = 0; c < t[1]->found; ++c) {
            // a column (a, c) out of reach is out of reach in all its subcells
            const double gap_xy = gapsq[0][a] + gapsq[1][c];
            if (gap_xy > limit)
                continue;
            const unsigned int column = (t[0]->around[a] * ny + t[1]->around[c]) * nz;
            const bool raw_xy = t[0]->raw[a] && t[1]->raw[c];
            for (unsigned int e = 0; e < t[2]->found; ++e) {
                if (gap_xy + gapsq[2][e] > limit)
                    continue;
                const unsigned int id = column + t[2]->around[e];
                const std::size_t from = start[id], to = start[id + 1];
                const bool same_image = raw_xy && t[2]->raw[e];
                candidates += to - from;
                const unsigned int last = ranges.count - 1;
                if (ranges.count > 0 && ranges.end[last] == from && ranges.same_image[last] == same_image) {
                    ranges.end[last] = to;
                } else {
                    ranges.begin[ranges.count] = from;
                    ranges.end[ranges.count] = to;
                    ranges.same_image[ranges.count] = same_image;
                    ++ranges.count;
                }
            }
        }
    return candidates;
}

// ---- buffer growth -------------------------------------------------------------------

// Grows `part` to at least `need` entries, and further to what the `remaining`
// particles of the block are likely to need at the rate of the `done` ones (which
// listed `listed` entries). A failed allocation is kept in `errors`: false.
bool grow_part(std::vector<unsigned int>& part, std::size_t need, std::size_t listed, std::size_t done,
               std::size_t remaining, RegionErrors& errors)
{
    const double per_particle = done >= 64 ? static_cast<double>(listed) / static_cast<double>(done) : 0.0;
    const double rest = 1.1 * per_particle * static_cast<double>(remaining);
    return errors.guard([&] { part.resize(need + std::max<std::size_t>(4096, static_cast<std::size_t>(rest))); });
}

// std::bad_alloc (MemoryError from Python) that says which settings made the
// list too large.
class ListOutOfMemory : public std::bad_alloc {
public:
    explicit ListOutOfMemory(const std::string& what) : message(what) {}
    const char* what() const noexcept override { return message.what(); }

private:
    std::runtime_error message;  // a copy shares the text and cannot throw
};

ListOutOfMemory list_out_of_memory(std::size_t nr_particles, double rlist, double side)
{
    std::ostringstream msg;
    msg << "not enough memory for the neighbour list of nr_particles = " << nr_particles
        << " within the list radius rcut + shell = " << rlist << " in a box of cell_length = " << side
        << ": reduce nr_particles or rcut + shell, or enlarge cell_length";
    return ListOutOfMemory(msg.str());
}

// ---- one thread's block -----------------------------------------------------------------

// Lists the particles of block b into `part` from entry w0 on, run by run, and
// records where each run starts. Returns the end of what was written; stops
// early when `part` could not grow (the failure is in `errors`).
std::size_t list_block(const ListPass& pass, const Block& b, const std::vector<vec3>& positions,
                       std::vector<vec3>& dij_list, std::vector<unsigned int>& part, std::size_t w0,
                       std::size_t* run_start, RegionErrors& errors)
{
    const unsigned int* subcell_of = pass.buf->subcell_of.data();
    std::size_t w = w0;
    for (std::size_t i = b.begin; i < b.end; ++i) {
        dij_list[i] = vec3(0.0, 0.0, 0.0);
        const kernels::ScanSelf self{static_cast<unsigned int>(i),
                                     {positions[i].x(), positions[i].y(), positions[i].z()},
                                     pass.types ? pass.rlistsq_by_type + pass.types[i] * pass.nr_types : nullptr,
                                     pass.nr_types};
        kernels::ScanRanges ranges;
        // a particle of a mixture reaches no farther than the largest radius of its type
        const double reach = pass.types ? pass.cull_by_type[pass.types[i]] : pass.shortcuts.cull_limit;
        const std::size_t candidates = assemble_ranges(pass, subcell_of[i], self.x, reach, ranges);
        // room for every candidate, the terminator and a whole register of slack
        const std::size_t need = w + candidates + 9;
        if (part.size() < need && !grow_part(part, need, w - w0, i - b.begin, b.end - i, errors))
            break;
        run_start[i] = w;
        unsigned int* out = pass.scan(pass.sorted, ranges, self, pass.geometry, part.data() + w);
        *out++ = static_cast<unsigned int>(i);
        w = static_cast<std::size_t>(out - part.data());
    }
    return w;
}

// ---- overflow check ---------------------------------------------------------------------

// Entries of the joined list; refused beyond what 32-bit indices can address.
std::size_t checked_total(const ListBuffers& buf, std::size_t nr_parts, std::vector<unsigned int>& list)
{
    std::uint64_t total = 0;
    for (std::size_t t = 0; t < nr_parts; ++t)
        total += buf.part_size[t];
    if (total > std::numeric_limits<unsigned int>::max()) {
        list.clear();
        std::ostringstream msg;
        msg << "the neighbour list would hold " << total
            << " entries, more than 32-bit indices can address; reduce nr_particles or rcut + shell";
        throw std::overflow_error(msg.str());
    }
    return static_cast<std::size_t>(total);
}

// ---- parallel join -----------------------------------------------------------------------

// The parts of threads 1, 2, ... copied behind part 0 (list is already sized for all parts), and
// the start table written: the particles of part t are the static block t.
void join_parts(std::vector<unsigned int>& list, ListBuffers& buf, std::size_t nr_parts, std::size_t nr_particles,
                int team)
{
    buf.part_base.assign(nr_parts, 0);
    for (std::size_t t = 1; t < nr_parts; ++t)
        buf.part_base[t] = buf.part_base[t - 1] + buf.part_size[t - 1];
    constexpr std::size_t piece = 1 << 16;  // entries copied at a time
#pragma omp parallel num_threads(team)
    {
        // parts in pieces shared out among the threads
        for (std::size_t t = 1; t < nr_parts; ++t) {
            const long long pieces = static_cast<long long>((buf.part_size[t] + piece - 1) / piece);
#pragma omp for schedule(static) nowait
            for (long long q = 0; q < pieces; ++q) {
                const std::size_t from = static_cast<std::size_t>(q) * piece;
                const std::size_t length = std::min(piece, buf.part_size[t] - from);
                std::memcpy(list.data() + buf.part_base[t] + from, buf.list_parts[t].data() + from,
                            length * sizeof(unsigned int));
            }
        }
        const long long parts = static_cast<long long>(nr_parts);
#pragma omp for schedule(static)
        for (long long tt = 0; tt < parts; ++tt) {
            const std::size_t t = static_cast<std::size_t>(tt);
            const Block b = static_block(nr_particles, t, nr_parts);
            for (std::size_t i = b.begin; i < b.end; ++i)
                list[i] = static_cast<unsigned int>(buf.part_base[t] + buf.run_start[i]);
        }
    }
}

// ---- list radii of a mixture -------------------------------------------------------------

// (rc_ab + shell)^2 for the S x S pair cut-offs `rcut` of the potential's tables
// (whatever its family), row-major: each sum is
// formed as settings::list_radius forms rcut + shell, so the largest is the
// one-radius list's rlistsq bit for bit. Per type, the largest of its row with
// the margin of Shortcuts::cull_limit.
void fill_pair_radii(const std::vector<double>& rcut, std::size_t nr_types, double shell, ListBuffers& buf)
{
    buf.rlistsq_by_type.resize(rcut.size());
    buf.cull_by_type.assign(nr_types, 0.0);
    for (std::size_t k = 0; k < rcut.size(); ++k) {
        const double rlist = rcut[k] + shell;
        buf.rlistsq_by_type[k] = rlist * rlist;
        double& reach = buf.cull_by_type[k / nr_types];
        reach = std::max(reach, buf.rlistsq_by_type[k] * (1.0 + 1e-9));
    }
}

}  // namespace

void NeighborList::build(ParticleState& p, const ListSpec& spec)
{
    const list_clock::Scope timed;
    const double rlistsq = spec.rlist * spec.rlist;
    if (spec.pair_rcut)
        fill_pair_radii(*spec.pair_rcut, spec.nr_types, spec.shell, buffers);
    const int team_size = spec.team;
    check_stability(p.positions, p.dij_list, spec.dims, spec.shell, team_size, p.ids);

    ListBuffers& buf = buffers;
    // a walled axis is laid out in a longer box that no pair reaches across
    const SubcellGrid grid = size_grid(spec.image, spec.rlist, spec.total);
    const kernels::BoxGeometry box_geometry = kernels::box_geometry(spec.image.data());
    if (spec.exchange) {
        share_out(p, *spec.exchange,
                  SubcellLayout{{grid.n[0], grid.n[1], grid.n[2]}, {grid.edge[0], grid.edge[1], grid.edge[2]}});
        replicated = false;
    }
    const std::size_t nr_particles = p.size();
    const std::int32_t* types = p.types();
    // a divided box bins its own particles and the ghosts, listing only its own
    // (its particles stay in the order of their ids)
    const std::vector<vec3>& to_bin = spec.exchange ? binned : p.positions;
    const std::int32_t* bin_types = spec.exchange && types ? binned_types.data() : types;
    if (spec.sort) {  // the slot of each id: the order of the sort's blocks
        sort_scratch.resize(nr_particles);
        for (std::size_t s = 0; s < nr_particles; ++s)
            sort_scratch[p.ids[s]] = static_cast<std::uint32_t>(s);
    }
    const Spread spread = sort_by_subcell(to_bin, bin_types, grid, box_geometry, buf, team_size,
                                          spec.sort ? sort_scratch.data() : nullptr);
    if (spec.sort) {
        adopt_subcell_order(p, spec);
        types = p.types();
    }
    static const kernels::ScanFn scan = kernels::best_scan();
    const Shortcuts shortcuts = choose_shortcuts(grid, spread, rlistsq);
    fill_axis_tables(grid, shortcuts, buf);
    const ListPass pass{grid,
                        shortcuts,
                        &buf,
                        Divider(grid.n[2]),
                        Divider(grid.n[1]),
                        {buf.sorted_x.data(), buf.sorted_y.data(), buf.sorted_z.data(), buf.sorted_id.data(),
                         types ? buf.sorted_type.data() : nullptr},
                        {box_geometry, rlistsq},
                        scan,
                        types,
                        buf.rlistsq_by_type.data(),
                        buf.cull_by_type.data(),
                        spec.nr_types};

    const std::size_t max_parts = static_cast<std::size_t>(team_size);
    if (buf.list_parts.size() < max_parts)
        buf.list_parts.resize(max_parts);
    buf.part_size.assign(max_parts, 0);
    buf.run_start.resize(nr_particles);
    std::size_t nr_parts = 1;
    RegionErrors errors;
#pragma omp parallel num_threads(team_size)
    {
        const Block b = static_block(nr_particles);
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        if (b.first)
            nr_parts = static_cast<std::size_t>(omp_get_num_threads());
        // part 0 is the list itself, behind the N start entries
        std::vector<unsigned int>& part = b.first ? entries : buf.list_parts[t];
        buf.part_size[t] = list_block(pass, b, p.positions, p.dij_list, part, b.first ? nr_particles : 0,
                                      buf.run_start.data(), errors);
    }

    try {
        errors.rethrow();
        entries.resize(checked_total(buf, nr_parts, entries));
    } catch (const std::bad_alloc&) {
        // the list is left empty and the parts' memory given back
        std::vector<unsigned int>().swap(entries);
        std::vector<std::vector<unsigned int>>().swap(buf.list_parts);
        throw list_out_of_memory(nr_particles, spec.rlist, spec.dims.x());
    }
    join_parts(entries, buf, nr_parts, nr_particles, team_size);
    box = spec.dims;
}

bool NeighborList::moved_beyond(const ParticleState& p, double limit, int team, Exchange* exchange) const
{
    // Stale when any particle moved strictly more than the limit since the build; a
    // non-finite displacement counts as stale so that the build reports it.
    const long long count = static_cast<long long>(p.dij_list.size());
    bool stale = limit < 0.0;
#pragma omp parallel for schedule(static) reduction(|| : stale) num_threads(team)
    for (long long i = 0; i < count; ++i) {
        const vec3& dij = p.dij_list[i];
        const double distsq = dij.x() * dij.x() + (dij.y() * dij.y() + dij.z() * dij.z());
        stale = stale || !(distsq <= limit);
    }
    return exchange ? exchange->any(stale) : stale;
}

void NeighborList::adopt_subcell_order(ParticleState& p, const ListSpec& spec)
{
    // slot s takes the particle the counting sort put there, buffers.sorted_id[s]
    const std::size_t n = p.size();
    const unsigned int* from = buffers.sorted_id.data();
    p.reorder(from, spec.team);
    gather(buffers.subcell_of, from, n, 1, spec.team);
    if (spec.also_move)
        spec.also_move(from, n, spec.team);
    std::iota(buffers.sorted_id.begin(), buffers.sorted_id.end(), 0u);
}

namespace {

// Every held particle's subcell on `grid` (a SubcellLayout or SubcellGrid), as
// sort_by_subcell bins it.
template <class Grid>
std::vector<unsigned int> subcell_keys(const ParticleState& p, const Grid& grid)
{
    std::vector<unsigned int> key(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) {
        const unsigned int ix = subcell_index(p.positions[i].x(), grid.edge[0], grid.n[0]);
        const unsigned int iy = subcell_index(p.positions[i].y(), grid.edge[1], grid.n[1]);
        const unsigned int iz = subcell_index(p.positions[i].z(), grid.edge[2], grid.n[2]);
        key[i] = (ix * grid.n[1] + iy) * grid.n[2] + iz;
    }
    return key;
}

// What travels with a particle to its owner (`no_types`: the types of one species).
OwnedArrays owned_arrays(ParticleState& p, std::vector<std::int32_t>& no_types)
{
    return {&p.positions,          &p.velocities, &p.forces, &p.dij_list, &p.positions_initial,
            &p.velocities_initial, &p.images,     p.mixed() ? &p.species.types : &no_types, &p.ids};
}

}  // namespace

void NeighborList::share_out(ParticleState& p, Exchange& exchange, const SubcellLayout& grid)
{
    std::vector<std::int32_t> no_types;
    exchange.redistribute(owned_arrays(p, no_types), grid, subcell_keys(p, grid), replicated, p.ghost_positions,
                          p.ghost_types);
    binned = p.positions;
    binned.insert(binned.end(), p.ghost_positions.begin(), p.ghost_positions.end());
    if (p.mixed()) {
        binned_types = p.species.types;
        binned_types.insert(binned_types.end(), p.ghost_types.begin(), p.ghost_types.end());
    }
}

void NeighborList::adopt(ParticleState& p, Exchange& exchange, const vec3& image, double rlist, std::size_t total)
{
    // the subcells as a build now would lay them out: they choose the domains
    // and first owners; the ghosts are whatever the kept runs name
    const SubcellGrid grid = size_grid(image, rlist, total);
    std::vector<std::int32_t> no_types;
    exchange.adopt(owned_arrays(p, no_types),
                   SubcellLayout{{grid.n[0], grid.n[1], grid.n[2]}, {grid.edge[0], grid.edge[1], grid.edge[2]}},
                   subcell_keys(p, grid), entries, p.ghost_positions, p.ghost_types);
    replicated = false;
}

// ---- the Cell's list --------------------------------------------------------------------

void Cell::build_neighbor_list()
{
    // the largest cut-off of the potential, or rcut: the grid's reach
    const settings::ListRadius radius =
        terms.potential.empty() ? settings::list_radius(*params, dims) : settings::list_radius(*params, dims, cutoff());
    ListSpec spec{dims,
                  terms.image_box(dims),
                  radius.rlist,
                  radius.shell,
                  mixed() ? &terms.table.rcut : nullptr,
                  static_cast<unsigned int>(terms.table.nr_types),
                  particles(),
                  team(),
                  sort_particles,
                  exchange.get(),
                  {}};
    if (sort_particles && terms.pair_terms_fresh)  // the per-particle terms follow their particles
        spec.also_move = [this](const unsigned int* from, std::size_t n, int team_size) {
            terms.settle_particle_terms();
            gather(terms.particle_energies, from, n, 1, team_size);
            gather(terms.particle_virials, from, n, 6, team_size);
        };
    nlist.build(pstate, spec);
}

bool Cell::check_update_neighbor_list() const
{
    // over the pairs' cut-offs the bound is least at the largest one when the box
    // shrank (s < 1) and at the smallest one when it grew
    const double shell = settings::real(*params, "shell");
    return nlist.stale(
        pstate, dims, shell,
        [this](double s) {
            return s < 1.0 || !mixed() ? cutoff() : *std::min_element(terms.table.rcut.begin(), terms.table.rcut.end());
        },
        team(), exchange.get());
}
