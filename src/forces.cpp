// Truncated and shifted Lennard-Jones forces and potential energy.
//
//   u(r) = 4 eps [ (s/r)^12 - (s/r)^6 - ((s/rc)^12 - (s/rc)^6) ]   for r < rc
//   F_i  = 24 eps sum_j [ 2 (s/r)^12 - (s/r)^6 ] / r^2 * r_ij
//
// Only r^2 is needed: (s/r)^6 and (s/r)^12 come from (s/r)^2 by multiplication.
// The list is full, so every pair is met twice: each particle sums its own force
// in list order (no atomics, results independent of the thread count) and the
// energy sum counts each pair twice, which the final factor 0.5 undoes. The pair
// loop itself is in pair_kernel.cpp; threads take blocks of particles in order and
// chain their energy terms through them.
//
// The virial W = sum over distinct pairs of r_ij . F_ij = 24 eps sum (2 (s/r)^12 -
// (s/r)^6) comes out of the same loop (the bracket is the force factor's
// numerator): each particle sums its terms in list order, each block of
// `pair_block` particles chains its particles in order, and the block sums are
// chained in block order after the loop. The blocks are the same on any number of
// threads, so W is too (a barostat built on it keeps trajectories independent of
// the thread count), and sampling the pressure costs no second pass.
#include "cell.h"
#include "kernels.h"
#include "lj_pair.h"
#include "parallel.h"
#include "settings.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// Copies the positions of block b into the rows (x, y, z, 0) of `padded` and
// stores the lowest (0..2) and highest (3..5) coordinate per axis, starting from
// 0, in `range`.
void copy_rows(const std::vector<vec3>& positions, const Block& b, double* padded, double range[6])
{
    double lo[3] = {0.0, 0.0, 0.0}, hi[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = b.begin; i < b.end; ++i) {
        for (int k = 0; k < 3; ++k) {
            const double x = positions[i][k];
            padded[4 * i + k] = x;
            lo[k] = x < lo[k] ? x : lo[k];  // a NaN coordinate leaves no trace here...
            hi[k] = x > hi[k] ? x : hi[k];
            if (x != x)
                lo[k] = x;  // ...so it is recorded explicitly
        }
        padded[4 * i + 3] = 0.0;
    }
    for (int k = 0; k < 3; ++k) {
        range[k] = lo[k];
        range[3 + k] = hi[k];
    }
}

// The central region of the pair loop, from the coordinate ranges of all
// threads. When the coordinates reach at most e out of the box and half a box
// exceeds the cut-off, a particle at least rcut + 2e from every side cannot
// interact through the box side: a partner within the cut-off has its
// coordinates on the same side, so the minimum-image rule changes none of its
// interacting pairs, and a pair that the rule would correct is more than half a
// box, hence the cut-off, apart either way. The pair loop skips the rule for such
// particles; same results.
void central_region(const double* extent, std::size_t nr_threads, double rcut, kernels::PairInput& in)
{
    const double rc = std::abs(rcut);
    for (int k = 0; k < 3; ++k) {
        // e: how far the coordinates reach out of the box (one step's drift at most
        // in a run), plus a margin for rounding
        const double side = in.box.side[k];
        double e = 1e-9 * side;
        for (std::size_t u = 0; u < nr_threads; ++u)
            e = std::max({e, -extent[6 * u + k] + 1e-9 * side, extent[6 * u + 3 + k] - side + 1e-9 * side});
        const bool usable = std::isfinite(e) && 0.5 * side > rc + 4e-9 * side;
        in.central_lo[k] = usable ? rc + 2.0 * e : 1.0;
        in.central_hi[k] = usable ? side - rc - 2.0 * e : 0.0;
    }
}

constexpr std::size_t pair_block = 512;  // particles handed out to a thread at a time

// Inside the region: blocks of particles handed out in order as threads become
// free; each thread chains its energy terms through its blocks (on one thread:
// all pairs in list order), and block b leaves the sum of its particles' virials,
// in particle order, in block_virials[b]. Returns the thread's energy partial.
double evaluate_blocks(kernels::PairFn pair_forces, const kernels::PairInput& in, std::size_t nr_particles,
                       const kernels::PairOutput& out, double* block_virials, RegionErrors& errors)
{
    double partial = 0.0;
    const long long nr_blocks = static_cast<long long>((nr_particles + pair_block - 1) / pair_block);
#pragma omp for schedule(dynamic, 1) nowait
    for (long long blk = 0; blk < nr_blocks; ++blk) {
        const std::size_t from = static_cast<std::size_t>(blk) * pair_block;
        const std::size_t to = std::min(from + pair_block, nr_particles);
        if (!errors.failed())  // the vectorised loop allocates when a run is unusually crowded
            errors.guard([&] { partial = pair_forces(in, from, to, out, partial); });
        double w = 0.0;
        for (std::size_t i = from; i < to; ++i)
            w += out.virials[i];
        block_virials[blk] = w;
    }
    return partial;
}

}  // namespace

void Cell::calculate_forces()
{
    const std::size_t nr_particles = particle_count();
    const double rcut = settings::real(*params, "rcut");
    const double sigma = settings::real(*params, "sigma");
    epot = 0.0;
    virial_w = 0.0;

    kernels::PairInput in;
    in.list = neighbor_list.data();
    in.list_size = neighbor_list.size();
    in.box = kernels::box_geometry(dims.data());
    in.rcutsq = rcut * rcut;
    in.sigmasq = sigma * sigma;
    in.epot_cutoff = lj_epot_cutoff(in.sigmasq, in.rcutsq);
    static const kernels::PairFn pair_forces = kernels::best_pair_forces();
    if (neighbor_list.size() < nr_particles)
        throw std::logic_error("the neighbour list has no start entry for some particles");

    // Copy, evaluate, scale. The pair loop reads each neighbour's coordinates as
    // one aligned 32-byte row (x, y, z, 0) of padded_positions, filled first,
    // together with the range of the coordinates that decides which particles may
    // skip the minimum image. The kernel overwrites forces[i] of every particle.
    padded_positions.resize(4 * nr_particles);
    in.positions = padded_positions.data();
    virial_terms.resize(nr_particles);
    block_virials.resize((nr_particles + pair_block - 1) / pair_block);
    const kernels::PairOutput out{coordinates(forces), virial_terms.data()};
    const int team_size = team();
    extent.assign(6 * static_cast<std::size_t>(team_size), 0.0);
    double epotsum = 0.0;
    RegionErrors errors;
#pragma omp parallel reduction(+ : epotsum) num_threads(team_size)
    {
        copy_rows(positions, static_block(nr_particles), padded_positions.data(),
                  extent.data() + 6 * static_cast<std::size_t>(omp_get_thread_num()));
#pragma omp barrier
        kernels::PairInput mine = in;
        central_region(extent.data(), static_cast<std::size_t>(omp_get_num_threads()), rcut, mine);
        epotsum += evaluate_blocks(pair_forces, mine, nr_particles, out, block_virials.data(), errors);
    }
    errors.rethrow();
    double wsum = 0.0;
    for (const double w : block_virials)
        wsum += w;

    // 24 eps on the forces, 4 eps / 2 on the energy and 24 eps / 2 on the virial,
    // once each, outside the pair loop
    const double epsilon = settings::real(*params, "epsilon");
    const double prefctr = 24.0 * epsilon;
    const long long count = static_cast<long long>(nr_particles);
#pragma omp parallel for schedule(static) num_threads(team_size)
    for (long long i = 0; i < count; ++i)
        forces[i] *= prefctr;
    epot = ((epotsum * 4.0) * epsilon) * 0.5;
    virial_w = 0.5 * (prefctr * wsum);
}
