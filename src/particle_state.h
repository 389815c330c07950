// The particles of a Cell: where they are, how they move, what acts on them,
// and who they are. Plain arrays of vec3 (x0 y0 z0 x1 y1 z1 ...) indexed by the
// slot in memory; slot s holds the particle of global id ids[s]. Nothing here
// knows the box, the list or the potential: the neighbour list (neighbor_list.h)
// and the force terms (force_terms.h) read and write these arrays, the time
// step's stages (step_stages.h) move them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include <Eigen/Core>

#include "mixture.h"

using vec3 = Eigen::Vector3d;

// v[s] <- v[from[s]], `width` entries per particle; an array of another length
// (not kept, say) is left alone.
template <typename T>
void gather(std::vector<T>& v, const unsigned int* from, std::size_t n, std::size_t width, int team)
{
    if (v.size() != width * n)
        return;
    std::vector<T> old(v);
    const long long count = static_cast<long long>(n);
#pragma omp parallel for schedule(static) num_threads(team)
    for (long long s = 0; s < count; ++s)
        std::copy_n(old.begin() + width * from[s], width, v.begin() + width * static_cast<std::size_t>(s));
}

// v[to[s]] <- v[s], `width` entries per particle; an array of another length is left alone.
template <typename T>
void scatter(std::vector<T>& v, const std::vector<std::uint32_t>& to, std::size_t width)
{
    if (v.size() != width * to.size())
        return;
    std::vector<T> old(v);
    for (std::size_t s = 0; s < to.size(); ++s)
        std::copy_n(old.begin() + width * s, width, v.begin() + width * to[s]);
}

struct ParticleState {
    std::vector<vec3> positions;             // current positions, wrapped into the box by the step
    std::vector<vec3> positions_initial;     // start positions (lattice or given), in the order of the ids
    std::vector<vec3> velocities;            // current velocities
    std::vector<vec3> velocities_initial;    // velocities as drawn or given, mean not yet removed; order of the ids
    std::vector<vec3> forces;                // force on each particle at the current positions
    std::vector<vec3> dij_list;              // displacement of each particle since the last list build
    std::vector<std::int32_t> images;        // 3N box crossings counted by the wrap
    std::vector<std::uint32_t> ids;          // global id of the particle in each slot
    bool permuted = false;                   // ids is not the identity
    Species species;                         // the mixture as given (types per slot); empty for one species
    // A box divided among processes (exchange.h): copies of the neighbouring
    // processes' particles within reach of this one's, ascending id.
    std::vector<vec3> ghost_positions;
    std::vector<std::int32_t> ghost_types;   // their types (a mixture)

    // The particles held (all N of an undivided box).
    std::size_t size() const { return positions.size(); }
    bool mixed() const { return !species.empty(); }
    // The type of each slot, or null for one species.
    const std::int32_t* types() const { return mixed() ? species.types.data() : nullptr; }
    // The mass of slot i in a mixture; 1 for one species, whose sums take the
    // parameter set's mass after summing.
    double mass_factor(std::size_t i) const
    {
        return mixed() ? species.masses[static_cast<std::size_t>(species.types[i])] : 1.0;
    }

    // ids the identity: slot s holds particle s.
    void number_in_order(std::size_t n)
    {
        ids.resize(n);
        std::iota(ids.begin(), ids.end(), 0u);
        permuted = false;
    }

    // A per-particle array (any number of entries per particle) in the order of the ids.
    template <typename T>
    std::vector<T> by_id(const std::vector<T>& v) const
    {
        if (!permuted || v.empty())
            return v;
        const std::size_t w = v.size() / ids.size();
        std::vector<T> out(v.size());
        for (std::size_t s = 0; s < ids.size(); ++s)
            std::copy_n(v.begin() + w * s, w, out.begin() + w * ids[s]);
        return out;
    }

    // Slot s takes the particle of slot from[s] (the order of a list build's
    // counting sort); the displacements are not moved (the build zeroes them) nor
    // the start arrays (kept in the order of the ids).
    void reorder(const unsigned int* from, int team)
    {
        const std::size_t n = positions.size();
        gather(positions, from, n, 1, team);
        gather(velocities, from, n, 1, team);
        gather(forces, from, n, 1, team);
        gather(images, from, n, 3, team);
        gather(ids, from, n, 1, team);
        if (mixed())
            gather(species.types, from, n, 1, team);
        permuted = false;
        for (std::size_t s = 0; s < n && !permuted; ++s)
            permuted = ids[s] != s;
    }

    // Back to the order of the ids; `to` (the former ids) says where each slot went.
    void unsort(const std::vector<std::uint32_t>& to)
    {
        scatter(positions, to, 1);
        scatter(velocities, to, 1);
        scatter(forces, to, 1);
        scatter(dij_list, to, 1);
        scatter(images, to, 3);
        if (mixed())
            scatter(species.types, to, 1);
        number_in_order(to.size());
    }

    // The array as 3N contiguous doubles (null when empty).
    static double* coordinates(std::vector<vec3>& v) { return v.empty() ? nullptr : v.front().data(); }
};
