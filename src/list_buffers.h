// Working storage of the neighbour-list build, kept from one build to the next
// so that a rebuild allocates nothing once the sizes have settled.
#pragma once

#include <cstddef>
#include <vector>

// Along one axis, for one subcell index: the distinct subcells below, at and
// above it, in scan order, and whether pairs with a particle there can do without
// the minimum image (neighbor_list.cpp).
struct AxisNeighbours {
    unsigned int around[3];  // subcell indices along the axis
    unsigned int found;      // how many of them are distinct: 1, 2 or 3
    bool raw[3];             // per subcell: separations need no image
};

struct ListBuffers {
    std::vector<unsigned int> subcell_of;    // subcell key of each particle
    std::vector<unsigned int> subcell_start; // first sorted slot of each subcell, then the particle count
    std::vector<unsigned int> subcell_fill;  // per thread and subcell: particles counted, then the next free slot
    std::vector<double> sorted_x, sorted_y, sorted_z;  // coordinates in subcell order
    std::vector<unsigned int> sorted_id;     // particle index in subcell order
    std::vector<int> sorted_type;            // type index in subcell order (mixture only)
    std::vector<double> rlistsq_by_type;     // S x S list radii squared, (rc_ab + shell)^2 (mixture only)
    std::vector<double> cull_by_type;        // per type a: the largest (rc_ab + shell)^2 of its row, with the cull's margin
    std::vector<std::size_t> run_start;      // start of each particle's run within its thread's part
    std::vector<std::vector<unsigned int>> list_parts;  // runs listed by threads 1, 2, ... (thread 0 writes neighbor_list)
    std::vector<std::size_t> part_size, part_base;     // entries in, and final offset of, each part
    std::vector<AxisNeighbours> axes[3];     // per axis and subcell index along it
};
