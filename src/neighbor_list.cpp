// Verlet neighbour list built with a grid of subcells.
//
// Layout of neighbor_list (32-bit unsigned):
//   [0, N)                  start_i: where the run of particle i begins
//   start_i .. start_i+n_i-1  neighbours of i, in scan order
//   start_i + n_i           i itself, terminating the run
// The list is full (j in run i <=> i in run j), so the force loop can give each
// particle its own accumulator and needs no atomics.
//
// Subcell edges are at least csc = rcut + shell, so the 27 subcells around a
// particle hold every particle within csc. Scan order: cx over (lx, ix, hx)
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
#include "cell.h"
#include "kernels.h"
#include "parallel.h"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace {

// Subcell index of a coordinate along one axis: integer part of x / edge, wrapped
// into [0, n). Coordinates equal to the box side, or a rounding error below zero,
// come back from the periodic wrap and still land in a valid subcell.
inline unsigned int subcell_index(double x, double edge, unsigned int n)
{
    std::int64_t q = static_cast<std::int64_t>(x / edge);
    if (q < 0 || q >= static_cast<std::int64_t>(n)) {  // only then the (slow) remainder
        q %= static_cast<std::int64_t>(n);
        if (q < 0)
            q += n;
    }
    return static_cast<unsigned int>(q);
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

// Subcells along each axis: floor(L / csc), at least one, and in total at most
// max(8 N, 2^16) so that a tiny list radius cannot exhaust memory. Shrinking the
// count only widens the subcells, which keeps every edge >= csc.
void grid_shape(const vec3& dims, double csc, std::size_t nr_particles, unsigned int n[3])
{
    const double cap = static_cast<double>(std::max<std::size_t>(8 * nr_particles, 65536));
    double q[3];
    for (int k = 0; k < 3; ++k)
        q[k] = std::max(1.0, std::min(std::floor(dims[k] / csc), cap));
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
    for (int k = 0; k < 3; ++k)
        n[k] = static_cast<unsigned int>(q[k]);
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

// After the list region: when a part could not grow, the list is left empty, the
// parts' memory given back, and a failed allocation reported with the settings
// that made the list too large.
void rethrow_growth_failure(const RegionErrors& errors, std::vector<unsigned int>& list, ListBuffers& buf,
                            std::size_t nr_particles, double rlist, double side)
{
    if (!errors.failed())
        return;
    list.clear();
    list.shrink_to_fit();
    buf.list_parts.clear();
    buf.list_parts.shrink_to_fit();
    try {
        errors.rethrow();
    } catch (const std::bad_alloc&) {
        std::ostringstream msg;
        msg << "not enough memory for the neighbour list of nr_particles = " << nr_particles
            << " within the list radius rcut + shell = " << rlist << " in a box of cell_length = " << side
            << ": reduce nr_particles or rcut + shell, or enlarge cell_length";
        throw ListOutOfMemory(msg.str());
    }
}

}  // namespace

void Cell::build_neighbor_list()
{
    ListBuffers& buf = list_buffers;
    const double cutoff = params->get_param<double>("rcut");
    const double shell = params->get_param<double>("shell");
    const double csc = cutoff + shell;
    if (!(csc > 0.0) || !(shell >= 0.0)) {
        std::ostringstream msg;
        msg << "rcut = " << cutoff << " and shell = " << shell
            << " are not allowed: the list radius rcut + shell must be positive and shell must not be negative";
        throw std::invalid_argument(msg.str());
    }
    const double cutsq = csc * csc;
    const std::size_t nr_particles = positions.size();

    // An exploding run shows up here first, since a particle that jumps is stale at
    // once: refuse non-finite coordinates, and displacements since the last build
    // beyond half the box (and beyond the shell) that no valid list can follow.
    // The first such particle is named.
    const double jump = std::max(0.5 * std::min({dims.x(), dims.y(), dims.z()}), shell);
    auto sane = [&](std::size_t i) {
        const vec3& p = positions[i];
        const vec3& d = dij_list[i];
        return std::isfinite(p.x()) && std::isfinite(p.y()) && std::isfinite(p.z()) &&
               d.x() * d.x() + (d.y() * d.y() + d.z() * d.z()) <= jump * jump;
    };
    bool all_sane = true;
    const long long count = static_cast<long long>(nr_particles);
#pragma omp parallel for schedule(static) reduction(&& : all_sane) num_threads(team())
    for (long long i = 0; i < count; ++i)
        all_sane = all_sane && sane(static_cast<std::size_t>(i));
    for (std::size_t i = 0; !all_sane && i < nr_particles; ++i) {
        if (!sane(i)) {
            const vec3& p = positions[i];
            const vec3& d = dij_list[i];
            std::ostringstream msg;
            msg << "particle " << i << " is at (" << p.x() << ", " << p.y() << ", " << p.z() << ") after moving by ("
                << d.x() << ", " << d.y() << ", " << d.z()
                << ") since the last neighbour-list build: the simulation became unstable "
                   "(time step too large, or particles overlapping)";
            throw std::range_error(msg.str());
        }
    }

    unsigned int n[3];
    grid_shape(dims, csc, nr_particles, n);
    const unsigned int nx = n[0], ny = n[1], nz = n[2];
    const double dx = dims.x() / nx, dy = dims.y() / ny, dz = dims.z() / nz;
    const std::size_t nr_subcells = static_cast<std::size_t>(nx) * ny * nz;

    // Counting sort by subcell, key (ix ny + iy) nz + iz: each thread counts its
    // block, the slots go to the blocks in thread order within every subcell, so
    // each subcell lists its particles in ascending index.
    const std::size_t max_parts = static_cast<std::size_t>(team());
    buf.subcell_of.resize(nr_particles);
    buf.subcell_start.assign(nr_subcells + 1, 0);
    buf.subcell_fill.assign(max_parts * nr_subcells, 0);
    buf.sorted_x.resize(nr_particles);
    buf.sorted_y.resize(nr_particles);
    buf.sorted_z.resize(nr_particles);
    buf.sorted_id.resize(nr_particles);
    // Per axis: some coordinate lies outside the box beyond rounding (untidy), or
    // at its upper side so that its subcell index wraps to 0 (wrapped).
    bool untidy[3] = {false, false, false}, wrapped[3] = {false, false, false};
    const double edge[3] = {dx, dy, dz};
    const double slack[3] = {1e-9 * dims.x(), 1e-9 * dims.y(), 1e-9 * dims.z()};
#pragma omp parallel reduction(|| : untidy[:3], wrapped[:3]) num_threads(team())
    {
        const Block b = static_block(nr_particles);
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        const std::size_t nr_threads = static_cast<std::size_t>(omp_get_num_threads());
        unsigned int* mine = buf.subcell_fill.data() + t * nr_subcells;
        for (std::size_t i = b.begin; i < b.end; ++i) {
            for (int k = 0; k < 3; ++k) {
                const double x = positions[i][k];
                untidy[k] = untidy[k] || x < -slack[k] || x > dims[k] + slack[k];
                wrapped[k] = wrapped[k] || x / edge[k] >= static_cast<double>(n[k]);
            }
            const unsigned int ix = subcell_index(positions[i].x(), dx, nx);
            const unsigned int iy = subcell_index(positions[i].y(), dy, ny);
            const unsigned int iz = subcell_index(positions[i].z(), dz, nz);
            const unsigned int key = (ix * ny + iy) * nz + iz;
            buf.subcell_of[i] = key;
            ++mine[key];
        }
#pragma omp barrier
#pragma omp single
        {
            // slots: subcell by subcell, and within one the threads in order
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
        for (std::size_t i = b.begin; i < b.end; ++i) {
            const unsigned int slot = mine[buf.subcell_of[i]]++;
            buf.sorted_x[slot] = positions[i].x();
            buf.sorted_y[slot] = positions[i].y();
            buf.sorted_z[slot] = positions[i].z();
            buf.sorted_id[slot] = static_cast<unsigned int>(i);
        }
    }

    const kernels::SortedParticles sorted{buf.sorted_x.data(), buf.sorted_y.data(), buf.sorted_z.data(), buf.sorted_id.data()};
    kernels::ListGeometry geometry;
    for (int k = 0; k < 3; ++k) {
        geometry.half[k] = 0.5 * dims[k];
        geometry.side[k] = dims[k];
    }
    geometry.cutsq = cutsq;
    static const kernels::ScanFn scan = kernels::best_scan();

    // Two shortcuts that change no result. With every coordinate of an axis in the
    // box (up to rounding), a subcell whose nearest image lies farther than the
    // list radius (with a margin) cannot hold a neighbour: it is skipped. With
    // five or more subcells along an axis and no index wrapped, two particles in
    // subcells next to each other without crossing the box side are less than
    // 2 edges + slack < half a box apart on that axis: the minimum-image rule
    // leaves their separation alone, and a range made only of such subcells is
    // tested on raw separations.
    const bool cull = !untidy[0] && !untidy[1] && !untidy[2];
    const double cull_limit = cutsq * (1.0 + 1e-9);
    bool raw_axis[3];
    for (int k = 0; k < 3; ++k)
        raw_axis[k] = cull && !wrapped[k] && n[k] >= 5;
    // With three or more subcells and every coordinate in its own subcell (up to
    // slack), the gap to the subcell below or above is the distance to the own
    // subcell's lower or upper face.
    bool simple_gap[3];
    for (int k = 0; k < 3; ++k)
        simple_gap[k] = cull && !wrapped[k] && n[k] >= 3;
    const Divider by_nz(nz), by_ny(ny);

    if (buf.list_parts.size() < max_parts)
        buf.list_parts.resize(max_parts);
    buf.part_size.assign(max_parts, 0);
    buf.run_start.resize(nr_particles);
    std::size_t nr_parts = 1;
    RegionErrors errors;

#pragma omp parallel num_threads(team())
    {
        const Block b = static_block(nr_particles);
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        if (b.first)
            nr_parts = static_cast<std::size_t>(omp_get_num_threads());
        // part 0 is neighbor_list itself, behind the N start entries
        std::vector<unsigned int>& part = b.first ? neighbor_list : buf.list_parts[t];
        const std::size_t w0 = b.first ? nr_particles : 0;
        std::size_t w = w0;

        for (std::size_t i = b.begin; i < b.end; ++i) {
            dij_list[i] = vec3(0.0, 0.0, 0.0);
            const unsigned int key = buf.subcell_of[i];
            unsigned int cx[3], cy[3], cz[3];
            const unsigned int ixy = by_nz(key), ix = by_ny(ixy);
            const unsigned int own[3] = {ix, ixy - ix * ny, key - ixy * nz};
            const unsigned int kx = axis_neighbours(own[0], nx, cx);
            const unsigned int ky = axis_neighbours(own[1], ny, cy);
            const unsigned int kz = axis_neighbours(own[2], nz, cz);

            // Gap to each neighbouring subcell per axis, and whether the pair
            // can need the minimum image there.
            const double xi[3] = {positions[i].x(), positions[i].y(), positions[i].z()};
            const unsigned int* around[3] = {cx, cy, cz};
            const unsigned int found[3] = {kx, ky, kz};
            double gap2[3][3];
            bool raw[3][3];
            for (int k = 0; k < 3; ++k)
                for (unsigned int a = 0; a < found[k]; ++a) {
                    const unsigned int c = around[k][a];
                    double g = 0.0;
                    if (c != own[k] && simple_gap[k])  // the face of the own subcell is nearer
                        g = std::max(0.0, c + 1 == own[k] || (own[k] == 0 && c == n[k] - 1)
                                              ? xi[k] - (own[k] * edge[k] + slack[k])
                                              : ((own[k] + 1) * edge[k] - slack[k]) - xi[k]);
                    else if (c != own[k] && cull)
                        g = subcell_gap(xi[k], c, edge[k], dims[k], slack[k]);
                    gap2[k][a] = g * g;
                    raw[k][a] = raw_axis[k] && (c + 1 == own[k] || c == own[k] || c == own[k] + 1);
                }

            // The subcells in scan order as ranges of the sorted arrays, a range
            // that starts where the previous one ends (with the same image rule)
            // joined to it.
            kernels::ScanRanges ranges;
            ranges.count = 0;
            std::size_t candidates = 0;
            for (unsigned int a = 0; a < kx; ++a)
                for (unsigned int c = 0; c < ky; ++c)
                    for (unsigned int e = 0; e < kz; ++e) {
                        if (gap2[0][a] + gap2[1][c] + gap2[2][e] > cull_limit)
                            continue;
                        const unsigned int id = (cx[a] * ny + cy[c]) * nz + cz[e];
                        const std::size_t from = buf.subcell_start[id], to = buf.subcell_start[id + 1];
                        const bool same_image = raw[0][a] && raw[1][c] && raw[2][e];
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

            // room for every candidate, the terminator and a whole register of slack;
            // grow to what the particles still to come are likely to need
            const std::size_t need = w + candidates + 9;
            if (part.size() < need) {
                const std::size_t done = i - b.begin;
                const double per_particle = done >= 64 ? static_cast<double>(w - w0) / static_cast<double>(done) : 0.0;
                const double rest = 1.1 * per_particle * static_cast<double>(b.end - i);
                if (!errors.guard([&] { part.resize(need + std::max<std::size_t>(4096, static_cast<std::size_t>(rest))); }))
                    break;
            }

            buf.run_start[i] = w;
            unsigned int* out = scan(sorted, ranges, static_cast<unsigned int>(i), xi, geometry, part.data() + w);
            *out++ = static_cast<unsigned int>(i);
            w = static_cast<std::size_t>(out - part.data());
        }
        buf.part_size[t] = w;
    }
    rethrow_growth_failure(errors, neighbor_list, buf, nr_particles, csc, dims.x());

    std::uint64_t total = 0;
    for (std::size_t t = 0; t < nr_parts; ++t)
        total += buf.part_size[t];
    if (total > std::numeric_limits<unsigned int>::max()) {
        neighbor_list.clear();
        std::ostringstream msg;
        msg << "the neighbour list would hold " << total
            << " entries, more than 32-bit indices can address; reduce nr_particles or rcut + shell";
        throw std::overflow_error(msg.str());
    }

    // Join the parts in particle order and write the start table.
    buf.part_base.assign(nr_parts, 0);
    for (std::size_t t = 1; t < nr_parts; ++t)
        buf.part_base[t] = buf.part_base[t - 1] + buf.part_size[t - 1];
    neighbor_list.resize(total);
    const std::size_t per_part = nr_particles / nr_parts, extra = nr_particles % nr_parts;
    constexpr std::size_t piece = 1 << 16;  // entries copied at a time
#pragma omp parallel num_threads(team())
    {
        // parts 1, 2, ... behind part 0, in pieces shared out among the threads
        for (std::size_t t = 1; t < nr_parts; ++t) {
            const long long pieces = static_cast<long long>((buf.part_size[t] + piece - 1) / piece);
#pragma omp for schedule(static) nowait
            for (long long q = 0; q < pieces; ++q) {
                const std::size_t from = static_cast<std::size_t>(q) * piece;
                const std::size_t length = std::min(piece, buf.part_size[t] - from);
                std::memcpy(neighbor_list.data() + buf.part_base[t] + from, buf.list_parts[t].data() + from,
                            length * sizeof(unsigned int));
            }
        }
        // start table: the particles of part t are the static block t
        const long long parts = static_cast<long long>(nr_parts);
#pragma omp for schedule(static)
        for (long long tt = 0; tt < parts; ++tt) {
            const std::size_t t = static_cast<std::size_t>(tt);
            const std::size_t first = t * per_part + std::min(t, extra);
            const std::size_t last = first + per_part + (t < extra ? 1 : 0);
            for (std::size_t i = first; i < last; ++i)
                neighbor_list[i] = static_cast<unsigned int>(buf.part_base[t] + buf.run_start[i]);
        }
    }
}

bool Cell::check_update_neighbor_list() const
{
    const double shell = params->get_param<double>("shell");
    const double shellsq = shell * shell;
    const double limit = shellsq * 0.25;
    // Stale when any particle moved strictly more than shell/2 since the build; a
    // non-finite displacement counts as stale so that the build reports it.
    const long long count = static_cast<long long>(dij_list.size());
    bool stale = false;
#pragma omp parallel for schedule(static) reduction(|| : stale) num_threads(team())
    for (long long i = 0; i < count; ++i) {
        const vec3& dij = dij_list[i];
        const double d2 = dij.x() * dij.x() + (dij.y() * dij.y() + dij.z() * dij.z());
        stale = stale || !(d2 <= limit);
    }
    return stale;
}
