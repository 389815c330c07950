// A box divided among processes (exchange.h): the start of a divided cell.
#include "cell.h"
#include "settings.h"

#include <stdexcept>

void Cell::distribute(std::shared_ptr<Exchange> e, bool keep_list)
{
    // exact sums, whose totals do not depend on how the particles are shared
    // out; each process keeps its own in ascending id (no subcell order)
    set_order(true, false);
    number_in_order(pstate.positions.size());
    exchange = std::move(e);
    if (keep_list) {
        const settings::ListRadius radius = terms.potential.empty() ? settings::list_radius(*params, dims)
                                                                    : settings::list_radius(*params, dims, cutoff());
        nlist.adopt(pstate, *exchange, terms.image_box(dims), radius.rlist, particles());
        return;
    }
    nlist.start_divided();
    build_neighbor_list();
    calculate_forces();
}
