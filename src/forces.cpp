// Pair forces, potential energy and virial from the cell's pair potential: the
// run's potential (pair_potential.h), the mixture's Lennard-Jones tables, or
// for one species without one the truncated and shifted Lennard-Jones of the
// parameter set, read at every evaluation:
//
//   u(r) = 4 eps [ (s/r)^12 - (s/r)^6 - ((s/rc)^12 - (s/rc)^6) ]   for r < rc
//
// The list is full, so every pair is met twice: each particle sums its own force
// in list order (no atomics, results independent of the thread count) and the
// energy sum counts each pair twice, which the final factor 0.5 undoes. The pair
// loop itself is in pair_kernel.cpp; threads take blocks of particles in order and
// chain their energy terms through them.
//
// The virial W = sum over distinct pairs of r_ij . F_ij comes out of the same
// loop: each particle sums its terms in list order, each block of
// `pair_block` particles chains its particles in order, and the block sums are
// chained in block order after the loop. The blocks are the same on any number of
// threads, so W is too (a barostat built on it keeps trajectories independent of
// the thread count), and sampling the pressure costs no second pass. When the
// per-particle terms are asked for, the same loop also sums each particle's
// energy terms and its six r_a F_b terms; the block sums of the latter give the
// virial tensor in the same thread-independent order as W.
//
// One species sums the reduced terms (pair_table.h) and applies the scales once
// here, after the loop; a mixture's loop applies them per pair.
//
// With exact sums (CellOptions::exact_sums) each particle's energy terms are
// chained from 0.0 in its list order, and the energy, the virial and the tensor
// are the exact sums (exact_sum.h) of the per-particle terms, rounded once: the
// same bits on any number of threads and in any order of the particles.
#include "force_terms.h"
#include "cell.h"
#include "exact_sum.h"
#include "kernels.h"
#include "potentials/lj.h"
#include "parallel.h"
#include "settings.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <stdexcept>

namespace {

// Copies the positions of block b into the rows (x, y, z, t) of `padded`, t the
// particle's type as a double (0 without `types`), and stores the lowest (0..2)
// and highest (3..5) coordinate per axis, starting from 0, in `range`.
void copy_rows(const std::vector<vec3>& positions, const std::int32_t* types, const Block& b, double* padded,
               double range[6])
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
        padded[4 * i + 3] = types ? static_cast<double>(types[i]) : 0.0;
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
// all pairs in list order). `evaluate(from, to, partial)` runs the pair loop over
// one block and returns the partial carried on; block b then leaves the sum of
// its particles' virials, in particle order, in block_virials[b] (and with
// `tensors` the six sums of their tensor terms in block_tensors[6b..]). Returns
// the thread's energy partial. With `exact` (energies: each particle's own) the
// terms go into exact[0] (energies), exact[1] (virials) and exact[2..8]
// (tensors) instead.
template <typename Evaluate>
double evaluate_blocks(Evaluate evaluate, std::size_t nr_particles, const double* virials, double* block_virials,
                       const double* tensors, double* block_tensors, RegionErrors& errors, const double* energies,
                       ExactSum* exact)
{
    double partial = 0.0;
    const long long nr_blocks = static_cast<long long>((nr_particles + pair_block - 1) / pair_block);
#pragma omp for schedule(dynamic, 1) nowait
    for (long long blk = 0; blk < nr_blocks; ++blk) {
        const std::size_t from = static_cast<std::size_t>(blk) * pair_block;
        const std::size_t to = std::min(from + pair_block, nr_particles);
        if (!errors.failed())  // the vectorised loop allocates when a run is unusually crowded
            errors.guard([&] { partial = evaluate(from, to, partial); });
        if (exact) {
            ExactSum::add_rows<1>(exact, energies + from, to - from, 1);
            ExactSum::add_rows<1>(exact + 1, virials + from, to - from, 1);
            if (tensors)  // the six components side by side
                ExactSum::add_rows<6>(exact + 2, tensors + 6 * from, to - from, 6);
            continue;
        }
        double w = 0.0;
        for (std::size_t i = from; i < to; ++i)
            w += virials[i];
        block_virials[blk] = w;
        if (tensors) {  // each component's chain in particle order, the six side by side
            double t[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
            for (std::size_t i = from; i < to; ++i)
                for (int c = 0; c < 6; ++c)
                    t[c] += tensors[6 * i + c];
            for (int c = 0; c < 6; ++c)
                block_tensors[6 * blk + c] = t[c];
        }
    }
    return partial;
}

// The tables of one species' Lennard-Jones from the parameter set as it is now.
PairTable settings_lj_table(const Parameters& params)
{
    const double rcut = settings::real(params, "rcut");
    const double sigma = settings::real(params, "sigma");
    const double epsilon = settings::real(params, "epsilon");
    PairTable t;
    t.resize(1, LJEvaluator::nr_params);
    t.params[0][0] = sigma * sigma;
    t.rcutsq[0] = rcut * rcut;
    t.rcut[0] = rcut;
    t.params[1][0] = lj_epot_cutoff(t.params[0][0], t.rcutsq[0]);
    t.energy_factors[0] = 4.0;
    t.energy_factors[1] = epsilon;
    t.force_scale[0] = 24.0 * epsilon;
    t.rcut_max = rcut;
    return t;
}

}  // namespace

void ForceTerms::set_potential(const PairPotential& given, const Species& species)
{
    potential = given;
    const bool mixed = !species.empty();
    if (potential.empty() && mixed) {
        // the mixture's own Lennard-Jones tables, truncated and shifted
        const std::size_t s = species.nr_types();
        potential.family = "lj";
        potential.mode = "shift";
        potential.nr_types = s;
        potential.values.resize(3 * s * s);
        for (std::size_t ab = 0; ab < s * s; ++ab) {
            potential.values[3 * ab] = species.epsilon[ab];
            potential.values[3 * ab + 1] = species.sigma[ab];
            potential.values[3 * ab + 2] = species.rcut[ab];
        }
    }
    if (potential.empty()) {
        loops = &pair_family("lj").plain;
        return;
    }
    const std::size_t s = mixed ? species.nr_types() : 1;
    if (potential.nr_types != s) {
        std::ostringstream msg;
        msg << "the pair potential is given for " << potential.nr_types << " types, the system has " << s;
        throw std::invalid_argument(msg.str());
    }
    table = build_pair_table(potential);
    loops = &pair_kernels_of(potential);
}

double ForceTerms::cutoff(const Parameters& params) const
{
    return potential.empty() ? settings::real(params, "rcut") : table.rcut_max;
}

template <typename Evaluate>
ForceTerms::PairSums ForceTerms::pair_loop(ParticleState& p, const ForceContext& c, kernels::PairInput& in, double rcut,
                                           bool extras, Evaluate evaluate)
{
    // The pair loop reads each neighbour's coordinates as one aligned 32-byte row
    // (x, y, z, type) of padded_positions, filled first, together with the range
    // of the coordinates that decides which particles may skip the minimum image.
    // The kernel overwrites forces[i] and virial_terms[i] of every particle (and
    // with `extras` energy_terms[i], tensor_terms[6i..]).
    const std::size_t nr_particles = p.size();
    const std::size_t nr_blocks = (nr_particles + pair_block - 1) / pair_block;
    const std::size_t nr_ghosts = p.ghost_positions.size();  // rows behind the held particles' (a divided box)
    padded_positions.resize(4 * (nr_particles + nr_ghosts));
    in.positions = padded_positions.data();
    virial_terms.resize(nr_particles);
    block_virials.resize(nr_blocks);
    kernels::PairOutput out{ParticleState::coordinates(p.forces), virial_terms.data()};
    if (extras) {
        energy_terms.resize(nr_particles);
        tensor_terms.resize(6 * nr_particles);
        block_tensors.resize(6 * nr_blocks);
        out.energies = energy_terms.data();
        out.tensors = tensor_terms.data();
    }
    if (c.exact) {
        own_energy_terms.resize(nr_particles);
        out.own_energies = own_energy_terms.data();
    }
    ExactSum exact[8];
    const int team_size = c.team;
    extent.assign(12 * static_cast<std::size_t>(team_size), 0.0);
    double epotsum = 0.0;
    RegionErrors errors;
#pragma omp parallel reduction(+ : epotsum) num_threads(team_size)
    {
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        const std::size_t nr_threads = static_cast<std::size_t>(omp_get_num_threads());
        copy_rows(p.positions, p.types(), static_block(nr_particles),
                  padded_positions.data(), extent.data() + 6 * t);
        copy_rows(p.ghost_positions, p.mixed() ? p.ghost_types.data() : nullptr, static_block(nr_ghosts),
                  padded_positions.data() + 4 * nr_particles, extent.data() + 6 * (nr_threads + t));
#pragma omp barrier
        kernels::PairInput mine = in;
        central_region(extent.data(), 2 * nr_threads, rcut, mine);
        ExactSum mine_exact[8];
        epotsum += evaluate_blocks(
            [&](std::size_t from, std::size_t to, double partial) { return evaluate(mine, out, from, to, partial); },
            nr_particles, virial_terms.data(), block_virials.data(), out.tensors, block_tensors.data(), errors,
            out.own_energies, c.exact ? mine_exact : nullptr);
        if (c.exact) {
#pragma omp critical(vorlan_exact_pair_sums)
            for (int k = 0; k < (extras ? 8 : 2); ++k)
                exact[k].add(mine_exact[k]);
        }
    }
    errors.rethrow();
    if (c.exact) {
        c.reduce(exact, extras ? 8 : 2);  // over all processes of a divided box
        return PairSums{exact[0].value(), exact[1].value(),
                        {exact[2].value(), exact[3].value(), exact[4].value(), exact[5].value(), exact[6].value(),
                         exact[7].value()}};
    }
    PairSums sums{epotsum, 0.0, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}};
    for (const double w : block_virials)
        sums.virial += w;
    if (extras)
        for (std::size_t b = 0; b < nr_blocks; ++b)
            for (int c = 0; c < 6; ++c)
                sums.tensor[c] += block_tensors[6 * b + c];
    return sums;
}

ForceSums ForceTerms::compute(ParticleState& p, const NeighborList& list, const ForceContext& c)
{
    const std::size_t nr_particles = p.size();
    if (list.entries.size() < nr_particles)
        throw std::logic_error("the neighbour list has no start entry for some particles");
    if (potential.empty())
        table = settings_lj_table(*c.params);
    if (c.exchange)
        c.exchange->refresh(p.positions, p.ghost_positions);
    double epot = 0.0;
    double virial_w = 0.0;
    const bool factored = !p.mixed();
    const bool extras = pair_terms_wanted;

    kernels::LoopInput in{};
    in.pair.list = list.entries.data();
    in.pair.list_size = list.entries.size();
    const vec3 image = image_box(c.dims);
    in.pair.box = kernels::box_geometry(image.data());
    in.pair.rcutsq = table.rcut_max * table.rcut_max;
    in.types = factored ? nullptr : p.species.types.data();
    in.table.nr_types = static_cast<unsigned int>(table.nr_types);
    in.table.factored = factored;
    for (std::size_t k = 0; k < table.nr_params; ++k)
        in.table.params[k] = table.params[k].data();
    in.table.rcutsq = table.rcutsq.data();
    in.table.energy_scale = table.energy_scale.data();
    in.table.force_scale = table.force_scale.data();
    in.table.data = table.data.data();
    const kernels::LoopFn loop = loops->best();

    const PairSums sums = pair_loop(p, c, in.pair, table.rcut_max, extras,
                                    [&](const kernels::PairInput& region, const kernels::PairOutput& out,
                                        std::size_t from, std::size_t to, double partial) {
                                        kernels::LoopInput mine = in;
                                        mine.pair = region;
                                        return loop(mine, from, to, out, partial);
                                    });

    // One species: the force scale on the forces, the energy factors / 2 on the
    // energy and the force scale / 2 on the virial, once each, outside the pair
    // loop. A mixture's loop applied them per pair: only the factor 1/2 of the
    // full list is left.
    const double fscale = table.force_scale[0];
    const long long count = static_cast<long long>(nr_particles);
    if (factored) {
#pragma omp parallel for schedule(static) num_threads(c.team)
        for (long long i = 0; i < count; ++i)
            p.forces[i] *= fscale;
        epot = ((sums.epot * table.energy_factors[0]) * table.energy_factors[1]) * 0.5;
        virial_w = 0.5 * (fscale * sums.virial);
    } else {
        epot = sums.epot * 0.5;
        virial_w = 0.5 * sums.virial;
    }
    const TailTerms tail =
        potential.tail_correction ? pair_tail(potential, type_counts(p, c), c.dims.prod()) : TailTerms{};
    if (potential.tail_correction) {
        epot += tail.energy;
        virial_w += tail.virial;
    }
    pair_terms_fresh = extras;
    if (extras)
        finish_pair_terms(p, c, sums, tail, factored ? fscale : 1.0);
    // the fields' forces on top of the pair forces, their energy in epot; their
    // forces stay out of the virial (fields/field.h)
    if (!fields.empty())
        epot += apply_fields(p, c);
    return ForceSums{epot, virial_w};
}

void ForceTerms::finish_pair_terms(const ParticleState& p, const ForceContext& c, const PairSums& sums,
                                   const TailTerms& tail, double fscale)
{
    // the tensor now; each particle's half of its pairs, scaled as the totals are
    // (the tail energy shared equally), when first read
    scales = Scales{false, !p.mixed(), fscale, tail.energy / static_cast<double>(c.total), !fields.empty(), c.team};
    for (int k = 0; k < 6; ++k)
        virial_tensor[k] = 0.5 * (fscale * sums.tensor[k]) + (k < 3 ? tail.virial / 3.0 : 0.0);
}

void ForceTerms::settle_particle_terms()
{
    if (!pair_terms_fresh || scales.settled)
        return;
    const Scales s = scales;
    const std::size_t n = energy_terms.size();
    particle_energies.resize(n);
    particle_virials.resize(6 * n);
    const long long count = static_cast<long long>(n);
#pragma omp parallel for schedule(static) num_threads(s.team)
    for (long long ii = 0; ii < count; ++ii) {
        const std::size_t i = static_cast<std::size_t>(ii);
        const double e = energy_terms[i];
        particle_energies[i] =
            (s.factored ? ((e * table.energy_factors[0]) * table.energy_factors[1]) * 0.5 : e * 0.5) + s.tail_share;
        if (s.fields)
            particle_energies[i] += field_energies[i];
        for (int k = 0; k < 6; ++k)
            particle_virials[6 * i + k] = 0.5 * (s.fscale * tensor_terms[6 * i + k]);
    }
    scales.settled = true;
}

std::vector<double> ForceTerms::type_counts(const ParticleState& p, const ForceContext& c) const
{
    std::vector<double> counts(p.mixed() ? p.species.nr_types() : 1, 0.0);
    if (!p.mixed())
        counts[0] = static_cast<double>(c.total);
    else
        for (const std::int32_t t : p.species.types)
            counts[static_cast<std::size_t>(t)] += 1.0;
    if (c.exchange && p.mixed()) {
        std::vector<ExactSum> total(counts.size());
        for (std::size_t a = 0; a < counts.size(); ++a)
            total[a].add(counts[a]);
        c.reduce(total.data(), static_cast<int>(total.size()));
        for (std::size_t a = 0; a < counts.size(); ++a)
            counts[a] = total[a].value();
    }
    return counts;
}

void Cell::calculate_forces()
{
    particle_count();
    epot = 0.0;
    virial_w = 0.0;
    const ForceSums sums = terms.compute(pstate, nlist, force_context());
    epot = sums.epot;
    virial_w = sums.virial;
}

void Cell::evaluate_pair_terms()
{
    if (terms.pair_terms_fresh)
        return;
    // the same loop once more with the per-particle terms: forces, energy and
    // virial come out with the same bits
    const bool wanted = terms.pair_terms_wanted;
    terms.pair_terms_wanted = true;
    try {
        calculate_forces();
    } catch (...) {
        terms.pair_terms_wanted = wanted;
        throw;
    }
    terms.pair_terms_wanted = wanted;
}
