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

void Cell::unsort()
{
    if (!pstate.permuted)
        return;
    const std::vector<std::uint32_t> to = pstate.ids;
    pstate.unsort(to);
    terms.settle_particle_terms();
    scatter(terms.particle_energies, to, 1);
    scatter(terms.particle_virials, to, 6);
    nlist.entries = relabel_list(nlist.entries, to);
}

void Cell::unsort_state(CellState& s) const
{
    scatter(s.positions, pstate.ids, 1);
    scatter(s.velocities, pstate.ids, 1);
    scatter(s.forces, pstate.ids, 1);
    scatter(s.dij_list, pstate.ids, 1);
    scatter(s.images, pstate.ids, 3);
    if (!s.species.empty())
        scatter(s.species.types, pstate.ids, 1);
    s.neighbor_list = relabel_list(s.neighbor_list, pstate.ids);
}
