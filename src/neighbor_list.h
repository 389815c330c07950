// The Verlet neighbour list of a Cell's particles: the list itself, the box it was
// built in, the test whether it has gone stale, and the build (a grid of subcells,
// a counting sort into them, a scan of the 27 subcells around each particle) with
// its scratch kept from build to build. Layout and build in neighbor_list.cpp.
//
// The list is full (j in run i <=> i in run j): the force loop gives each particle
// its own accumulator. Its order fixes the order of every force and energy sum,
// so it is part of a checkpoint.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "exchange.h"
#include "list_buffers.h"
#include "particle_state.h"

// What a build needs besides the particles.
struct ListSpec {
    vec3 dims;                           // box edges now: the list's box from this build on
    vec3 image;                          // the box the grid lays out (a walled axis three times its length)
    double rlist;                        // the largest list radius: largest cut-off + shell
    double shell;                        // the skin beyond each pair's cut-off
    const std::vector<double>* pair_rcut;  // a mixture's S x S pair cut-offs (each its own radius); null: one radius
    unsigned int nr_types;               // S of the potential's tables
    std::size_t total;                   // N of the whole box (the grid's cap on subcells)
    int team;                            // threads of the build
    bool sort;                           // the particles into the order of the counting sort (subcell, id)
    Exchange* exchange;                  // a divided box: the particles shared out before binning; null: the whole box here
    // Called with the sort's moves (slot s takes slot from[s]) when `sort`: what
    // else is kept per particle follows the particles.
    std::function<void(const unsigned int* from, std::size_t n, int team)> also_move;
};

class NeighborList {
public:
    // N start offsets, then per particle: its neighbours in scan order, then its
    // own index (neighbor_list.cpp).
    std::vector<unsigned int> entries;
    vec3 box = vec3::Zero();             // box edges at the latest build

    // A new list for the particles (sorted into subcell order with spec.sort, shared
    // out among the processes of a divided box first); their displacements zeroed.
    // std::range_error for a non-finite position or a jump no list can follow,
    // std::bad_alloc (with a message naming the sizes) when the list does not fit.
    void build(ParticleState& p, const ListSpec& spec);

    // Stale when some particle moved more since the build than the list's skin
    // allows: shell / 2, or after the box was rescaled by s (smallest ratio over the
    // axes) (s (rc + shell) - rc) / 2 with rc = cutoff_at(s), the cut-off for which
    // that bound is least. Collective over the processes of a divided box.
    template <typename CutoffAt>
    bool stale(const ParticleState& p, const vec3& dims, double shell, CutoffAt cutoff_at, int team,
               Exchange* exchange) const
    {
        const double shellsq = shell * shell;
        double limit = shellsq * 0.25;
        if (dims != box) {
            // positions and displacements were scaled with the box: a pair farther apart
            // than its list radius rc + shell is now at least s (rc + shell) - |dij_i| -
            // |dij_j| apart, and stays out of its cut-off while no displacement exceeds
            // (s (rc + shell) - rc) / 2 = (s shell + (s - 1) rc) / 2
            const double s = std::min({dims.x() / box.x(), dims.y() / box.y(), dims.z() / box.z()});
            const double rc = cutoff_at(s);
            const double margin = 0.5 * (s * (rc + shell) - rc);
            limit = margin > 0.0 ? margin * margin : -1.0;
        }
        return moved_beyond(p, limit, team, exchange);
    }

    // A divided box whose processes all still hold the whole box: the next build
    // shares the particles out.
    void start_divided() { replicated = true; }
    // A restored box shared out with the list it was saved with, no build: every
    // process holds the whole box and the list in its saved layout; each keeps the
    // particles of its domain on the grid a build over `image` and `rlist` would
    // lay out, with their runs renumbered to its own slots (exchange.h).
    void adopt(ParticleState& p, Exchange& exchange, const vec3& image, double rlist, std::size_t total);

private:
    // Any displacement squared strictly above `limit` (or not finite), over all processes.
    bool moved_beyond(const ParticleState& p, double limit, int team, Exchange* exchange) const;
    // The held particles to their owners, the ghosts fetched; binned filled.
    void share_out(ParticleState& p, Exchange& exchange, const SubcellLayout& grid);
    // The particles moved into the order of the counting sort.
    void adopt_subcell_order(ParticleState& p, const ListSpec& spec);

    ListBuffers buffers;                     // build scratch (list_buffers.h)
    std::vector<std::uint32_t> sort_scratch; // the slot of each id, the order of the sort's blocks
    std::vector<vec3> binned;                // held particles then ghosts, as a divided box's build bins them
    std::vector<std::int32_t> binned_types;
    bool replicated = false;                 // every process still holds the whole box (before the first build)
};
