// A box divided among processes (exchange.h): the start of a divided cell.
#include "cell.h"

#include <numeric>
#include <stdexcept>

void Cell::distribute(std::shared_ptr<Exchange> e)
{
    if (!fields.empty())
        throw std::invalid_argument(
            "external fields are not available when the box is divided among processes: run it in one process");
    if (pair_terms_wanted)
        throw std::invalid_argument(
            "per-particle energies and virials are not available when the box is divided among processes");
    exchange = std::move(e);
    ids.resize(positions.size());
    std::iota(ids.begin(), ids.end(), std::uint64_t(0));
    whole_box_here = true;
    build_neighbor_list();
    calculate_forces();
}
