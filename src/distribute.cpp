// A box divided among processes (exchange.h): the start of a divided cell.
#include "cell.h"
#include "settings.h"

#include <cmath>
#include <sstream>
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
    if (!std::isfinite(epot)) {  // epot is the total over all processes: every one refuses alike
        std::ostringstream msg;
        msg << "the start positions are not allowed: the particles overlap so closely that the potential energy is "
            << epot;
        throw std::invalid_argument(msg.str());
    }
}
