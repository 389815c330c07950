// A box divided among processes (exchange.h): the start of a divided cell.
#include "cell.h"

#include <stdexcept>

void Cell::distribute(std::shared_ptr<Exchange> e, bool keep_list)
{
    // exact sums, whose totals do not depend on how the particles are shared
    // out; each process keeps its own in ascending id (no subcell order)
    set_order(true, false);
    number_in_order(positions.size());
    exchange = std::move(e);
    if (keep_list) {
        adopt_list();
        return;
    }
    whole_box_here = true;
    build_neighbor_list();
    calculate_forces();
}
