// A box divided among processes (exchange.h): the start of a divided cell.
#include "cell.h"

#include <stdexcept>

void Cell::distribute(std::shared_ptr<Exchange> e)
{
    if (terms.pair_terms_wanted)
        throw std::invalid_argument(
            "per-particle energies and virials are not available when the box is divided among processes");
    // exact sums, whose totals do not depend on how the particles are shared
    // out; each process keeps its own in ascending id (no subcell order)
    set_order(true, false);
    number_in_order(pstate.positions.size());
    exchange = std::move(e);
    nlist.start_divided();
    build_neighbor_list();
    calculate_forces();
}
