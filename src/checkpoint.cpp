// Checkpoints: the state of a Cell that the steps to come depend on, taken out and
// put back so that a restored cell continues bit for bit.
//
// A step reads the positions, velocities and forces (valid on entry), the
// neighbour list as it was built (its order fixes the order of every force and
// energy sum), the displacements since that build (they decide the next rebuild)
// and the image counters; the energies are those of the last step. Everything
// else a Cell holds is scratch that a step fills before it reads it (the padded
// coordinates, the extents, the list-build buffers, the kinetic-energy terms) or
// the progress-line timer, which is restarted. The virial of the saved forces is
// part of the state (a NaN there, from a checkpoint that predates it, has it
// evaluated anew).
#include "cell.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

void check_rows(std::size_t rows, std::size_t n, const char* what)
{
    if (rows != n) {
        std::ostringstream msg;
        msg << "the checkpoint's " << what << " has " << rows << " rows, but nr_particles = " << n;
        throw std::invalid_argument(msg.str());
    }
}

// The list layout (neighbor_list.cpp): N start offsets, then each particle's run of
// neighbours ended by its own index. A list that breaks it would send the pair
// loop out of bounds, so it is refused.
void check_list(const std::vector<unsigned int>& list, std::size_t n)
{
    const std::size_t size = list.size();
    bool sound = size >= n;
    for (std::size_t i = 0; sound && i < n; ++i) {
        std::size_t k = list[i];
        sound = k >= n;
        while (sound && k < size && list[k] != i)
            sound = list[k++] < n;
        sound = sound && k < size;
    }
    if (!sound)
        throw std::invalid_argument(
            "the checkpoint's neighbor_list is not a neighbour list of nr_particles particles "
            "(start offsets, then each particle's neighbours ended by its own index)");
}

}  // namespace

// The box: as saved by a run that rescaled it, else cell_length; the box of the
// list build likewise, else the box.
void Cell::restore_box(const CellState& state)
{
    const double l = params->get_param<double>("cell_length");
    dims = state.box == vec3::Zero() ? vec3(l, l, l) : state.box;
    list_dims = state.list_box == vec3::Zero() ? dims : state.list_box;
    for (int k = 0; k < 3; ++k) {
        if (!(std::isfinite(dims[k]) && dims[k] > 0.0 && std::isfinite(list_dims[k]) && list_dims[k] > 0.0))
            throw std::invalid_argument("the checkpoint's box edges must be finite and positive");
    }
}

CellState Cell::save_state() const
{
    CellState s;
    s.positions = positions;
    s.velocities = velocities;
    s.forces = forces;
    s.dij_list = dij_list;
    s.neighbor_list = neighbor_list;
    s.images = images;
    s.positions_initial = positions_initial;
    s.velocities_initial = velocities_initial;
    s.epot = epot;
    s.ekin = ekin;
    s.etot = etot;
    s.box = dims;
    s.list_box = list_dims;
    s.virial = virial_w;
    return s;
}

Cell::Cell(const std::shared_ptr<Parameters>& _params, const CellState& state, int team_size)
    : positions(state.positions), positions_initial(state.positions_initial), velocities(state.velocities),
      velocities_initial(state.velocities_initial), forces(state.forces), images(state.images), params(_params),
      neighbor_list(state.neighbor_list), dij_list(state.dij_list), epot(state.epot), ekin(state.ekin),
      etot(state.etot), virial_w(state.virial), threads(team_size)
{
    ttime = std::chrono::system_clock::now();
    restore_box(state);
    const std::size_t n = params->get_param<unsigned int>("nr_particles");
    check_rows(positions.size(), n, "positions");
    check_rows(velocities.size(), n, "velocities");
    check_rows(forces.size(), n, "forces");
    check_rows(dij_list.size(), n, "dij_list");
    check_rows(positions_initial.size(), n, "positions_initial");
    check_rows(velocities_initial.size(), n, "velocities_initial");
    check_rows(images.size() / 3, n, "images");
    if (images.size() != 3 * n)
        throw std::invalid_argument("the checkpoint's images must hold three counters per particle");
    check_list(neighbor_list, n);
    if (std::isnan(virial_w)) {
        // a checkpoint without the virial: evaluated anew at the saved positions,
        // the saved forces and energy kept as they were
        const std::vector<vec3> saved_forces = forces;
        const double saved_epot = epot;
        calculate_forces();
        forces = saved_forces;
        epot = saved_epot;
    }
}
