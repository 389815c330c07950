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
#include "cell.h"

#include <algorithm>
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
    q %= static_cast<std::int64_t>(n);
    if (q < 0)
        q += n;
    return static_cast<unsigned int>(q);
}

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

}  // namespace

void Cell::build_neighbor_list()
{
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
    const double jump = std::max(0.5 * std::min({dims.x(), dims.y(), dims.z()}), shell);
    for (std::size_t i = 0; i < nr_particles; ++i) {
        const vec3& p = positions[i];
        const vec3& d = dij_list[i];
        const bool finite = std::isfinite(p.x()) && std::isfinite(p.y()) && std::isfinite(p.z());
        if (!finite || !(d.x() * d.x() + (d.y() * d.y() + d.z() * d.z()) <= jump * jump)) {
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

    std::vector<std::vector<unsigned int>> subcells(static_cast<std::size_t>(nx) * ny * nz);
    for (std::size_t i = 0; i < nr_particles; ++i) {
        const unsigned int ix = subcell_index(positions[i].x(), dx, nx);
        const unsigned int iy = subcell_index(positions[i].y(), dy, ny);
        const unsigned int iz = subcell_index(positions[i].z(), dz, nz);
        subcells[(static_cast<std::size_t>(iz) * ny + iy) * nx + ix].push_back(static_cast<unsigned int>(i));
    }

    std::vector<std::vector<unsigned int>> nnlist(nr_particles);
    const vec3 half = 0.5 * dims;
    const long long count = static_cast<long long>(nr_particles);

#pragma omp parallel for schedule(static)
    for (long long ii = 0; ii < count; ++ii) {
        const std::size_t i = static_cast<std::size_t>(ii);
        dij_list[i] = vec3(0.0, 0.0, 0.0);
        const vec3 pi = positions[i];
        unsigned int cx[3], cy[3], cz[3];
        const unsigned int kx = axis_neighbours(subcell_index(pi.x(), dx, nx), nx, cx);
        const unsigned int ky = axis_neighbours(subcell_index(pi.y(), dy, ny), ny, cy);
        const unsigned int kz = axis_neighbours(subcell_index(pi.z(), dz, nz), nz, cz);
        for (unsigned int a = 0; a < kx; ++a)
            for (unsigned int b = 0; b < ky; ++b)
                for (unsigned int c = 0; c < kz; ++c) {
                    const auto& members = subcells[(static_cast<std::size_t>(cz[c]) * ny + cy[b]) * nx + cx[a]];
                    for (const unsigned int pid : members) {
                        if (pid == i)
                            continue;
                        double r[3];
                        for (int k = 0; k < 3; ++k) {
                            // minimum image: at most one box length per component
                            r[k] = pi[k] - positions[pid][k];
                            if (r[k] >= half[k])
                                r[k] -= dims[k];
                            else if (r[k] < -half[k])
                                r[k] += dims[k];
                        }
                        const double dist2 = r[0] * r[0] + (r[1] * r[1] + r[2] * r[2]);
                        if (dist2 <= cutsq)
                            nnlist[i].push_back(pid);
                    }
                }
    }

    std::uint64_t total = 2 * static_cast<std::uint64_t>(nr_particles);
    for (const auto& run : nnlist)
        total += run.size();
    if (total > std::numeric_limits<unsigned int>::max()) {
        std::ostringstream msg;
        msg << "the neighbour list would hold " << total
            << " entries, more than 32-bit indices can address; reduce nr_particles or rcut + shell";
        throw std::overflow_error(msg.str());
    }

    neighbor_list.resize(nr_particles);
    neighbor_list.reserve(total);
    for (std::size_t i = 0; i < nr_particles; ++i) {
        neighbor_list[i] = static_cast<unsigned int>(neighbor_list.size());
        neighbor_list.insert(neighbor_list.end(), nnlist[i].begin(), nnlist[i].end());
        neighbor_list.push_back(static_cast<unsigned int>(i));
    }
}

bool Cell::check_update_neighbor_list() const
{
    const double shell = params->get_param<double>("shell");
    const double shellsq = shell * shell;
    // Stale when any particle moved strictly more than shell/2 since the build; a
    // non-finite displacement counts as stale so that the build reports it.
    for (const vec3& dij : dij_list) {
        const double d2 = dij.x() * dij.x() + (dij.y() * dij.y() + dij.z() * dij.z());
        if (!(d2 <= shellsq * 0.25))
            return true;
    }
    return false;
}
