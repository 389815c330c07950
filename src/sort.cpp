// The order of the particles in memory.
//
// With exact global sums no result depends on where a particle lives in the
// arrays, only on each particle's list order: the subcells in scan order, within
// a subcell ascending global id. A cell that sorts its particles moves them at
// every list build into the order of the build's counting sort, (subcell, id):
// the neighbours of a subcell are then close in memory for the pair loop. Slot s
// holds the particle of global id ids[s]; whatever leaves or enters the cell is
// in the order of the ids (by_id, unsort, unsort_state).
#include "cell.h"

#include <algorithm>
#include <numeric>

namespace {

// v[s] <- v[from[s]], `width` entries per particle.
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

// v[to[s]] <- v[s], `width` entries per particle.
template <typename T>
void scatter(std::vector<T>& v, const std::vector<std::uint32_t>& to, std::size_t width)
{
    if (v.size() != width * to.size())
        return;
    std::vector<T> old(v);
    for (std::size_t s = 0; s < to.size(); ++s)
        std::copy_n(old.begin() + width * s, width, v.begin() + width * to[s]);
}

// The list of particles renumbered s -> to[s]: the runs in the new order, each
// neighbour renumbered, each run in its own order.
std::vector<unsigned int> relabel_list(const std::vector<unsigned int>& list, const std::vector<std::uint32_t>& to)
{
    const std::size_t n = to.size();
    if (list.size() < n)
        return list;
    std::vector<std::uint32_t> from(n);
    for (std::size_t s = 0; s < n; ++s)
        from[to[s]] = static_cast<std::uint32_t>(s);
    std::vector<unsigned int> out(list.size());
    std::size_t w = n;
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t s = from[t];
        out[t] = static_cast<unsigned int>(w);
        for (std::size_t k = list[s]; list[k] != s; ++k)
            out[w++] = to[list[k]];
        out[w++] = static_cast<unsigned int>(t);
    }
    return out;
}

}  // namespace

void Cell::adopt_subcell_order()
{
    // slot s takes the particle the counting sort put there, buf.sorted_id[s]
    ListBuffers& buf = list_buffers;
    const std::size_t n = positions.size();
    const unsigned int* from = buf.sorted_id.data();
    const int team_size = team();
    gather(positions, from, n, 1, team_size);
    gather(velocities, from, n, 1, team_size);
    gather(forces, from, n, 1, team_size);
    gather(images, from, n, 3, team_size);
    gather(ids, from, n, 1, team_size);
    gather(buf.subcell_of, from, n, 1, team_size);
    if (mixed())
        gather(species.types, from, n, 1, team_size);
    if (pair_terms_fresh) {
        gather(particle_energies_, from, n, 1, team_size);
        gather(particle_virials_, from, n, 6, team_size);
    }
    std::iota(buf.sorted_id.begin(), buf.sorted_id.end(), 0u);
    permuted = false;
    for (std::size_t s = 0; s < n && !permuted; ++s)
        permuted = ids[s] != s;
}

void Cell::unsort()
{
    if (!permuted)
        return;
    const std::vector<std::uint32_t> to = ids;
    scatter(positions, to, 1);
    scatter(velocities, to, 1);
    scatter(forces, to, 1);
    scatter(dij_list, to, 1);
    scatter(images, to, 3);
    if (mixed())
        scatter(species.types, to, 1);
    scatter(particle_energies_, to, 1);
    scatter(particle_virials_, to, 6);
    neighbor_list = relabel_list(neighbor_list, to);
    number_in_order(to.size());
}

void Cell::unsort_state(CellState& s) const
{
    scatter(s.positions, ids, 1);
    scatter(s.velocities, ids, 1);
    scatter(s.forces, ids, 1);
    scatter(s.dij_list, ids, 1);
    scatter(s.images, ids, 3);
    if (!s.species.empty())
        scatter(s.species.types, ids, 1);
    s.neighbor_list = relabel_list(s.neighbor_list, ids);
}
