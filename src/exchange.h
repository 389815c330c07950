// A box divided among processes: what a Cell asks of the others.
//
// Each process owns the particles of its domain, a block of whole subcells of
// the neighbour list's grid, and holds ghost copies of the particles of every
// subcell next to its domain (periodic images included) that another domain
// owns. A ghost keeps its owner's coordinates as they are: the minimum image of
// the pair loop then gives the displacement with the operations of one process.
//
// The Cell keeps its owned particles first in its arrays, in ascending global
// id, and the ghosts in an array of their own, also in ascending id: since a
// subcell is wholly owned or wholly ghost, the binning (ascending index within
// a subcell) lists every subcell's particles by ascending id, as one process does.
//
// Sums over particles are exact (ExactSum) and reduced over all processes, so
// every process holds the same totals, equal to those of one process.
//
// Implemented with MPI in mpi_domain.cpp; a Cell without an Exchange is the
// whole box of one process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "exact_sum.h"

// The particle arrays that travel with an owned particle when it changes owner.
struct OwnedArrays {
    std::vector<Eigen::Vector3d>* positions;
    std::vector<Eigen::Vector3d>* velocities;
    std::vector<Eigen::Vector3d>* forces;
    std::vector<Eigen::Vector3d>* dij_list;
    std::vector<Eigen::Vector3d>* positions_initial;
    std::vector<Eigen::Vector3d>* velocities_initial;
    std::vector<std::int32_t>* images;  // 3 per particle
    std::vector<std::int32_t>* types;   // empty for one species
    std::vector<std::uint32_t>* ids;    // global particle number
};

// The subcell grid of a list build: subcells per axis and their edges.
struct SubcellLayout {
    unsigned int n[3];
    double edge[3];
};

// Raised on the processes that did nothing wrong when another one refused a
// step: the message comes from that one (mpi_domain.h).
struct FailedElsewhere : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Exchange {
public:
    virtual ~Exchange() = default;

    // Particles over all processes.
    virtual std::size_t total() const = 0;
    // Replaces each of `count` sums by its total over all processes.
    virtual void sum(ExactSum* sums, int count) = 0;
    // Whether `local` holds on some process.
    virtual bool any(bool local) = 0;
    // At a list build, on the grid `grid` (subcell of each owned particle in
    // `subcell_of`, key (ix ny + iy) nz + iz): the owned particles sent to the
    // owners of their subcells and sorted by id, then the ghosts gathered, sorted
    // by id. `replicated`: every process holds the whole box and keeps its share.
    virtual void redistribute(const OwnedArrays& owned, const SubcellLayout& grid,
                              const std::vector<unsigned int>& subcell_of, bool replicated,
                              std::vector<Eigen::Vector3d>& ghost_positions, std::vector<std::int32_t>& ghost_types) = 0;
    // Every step before the forces: the ghosts' coordinates from their owners.
    virtual void refresh(const std::vector<Eigen::Vector3d>& positions,
                         std::vector<Eigen::Vector3d>& ghost_positions) = 0;
    // A restored box shared out with the list it was saved with, no build: every
    // process holds the whole box (`owned`, in id order) and `list` (one
    // process's layout, in ids); each keeps the particles of its domain (by
    // `subcell_of` on `grid`), with their runs of `list` renumbered to its own
    // slots (held, then ghosts) and as ghosts exactly the particles those runs name.
    virtual void adopt(const OwnedArrays& owned, const SubcellLayout& grid,
                       const std::vector<unsigned int>& subcell_of, std::vector<unsigned int>& list,
                       std::vector<Eigen::Vector3d>& ghost_positions, std::vector<std::int32_t>& ghost_types) = 0;
};
