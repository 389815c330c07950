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
//
// A restored state is held to what a new box and the steps guarantee, before any
// step: the settings meet every rule, every vector is finite, the positions lie
// in the box as the wrap leaves them, and the neighbour list is checked entry by
// entry, since the pair loops trust it. A file that fails is refused with the
// entry named.
#include "cell.h"
#include "settings.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

[[noreturn]] void refuse(const std::ostringstream& msg) { throw std::invalid_argument(msg.str()); }

// Every rule the settings of a new box meet, single-key and cross-key
// (check_settings); nrsteps may be missing, as a Simulation is told its step
// counts by run().
void check_saved_settings(const Parameters& p)
{
    for (const SettingProblem& problem : check_settings(p)) {
        const bool missing = p.entries().count(problem.key) == 0;
        if (missing && problem.key == "nrsteps")
            continue;
        std::ostringstream msg;
        if (missing)
            msg << "the checkpoint's settings have no " << problem.key;
        else
            msg << "the checkpoint's settings are not allowed: " << problem.message;
        refuse(msg);
    }
}

void check_rows(std::size_t rows, std::size_t n, const char* what)
{
    if (rows != n) {
        std::ostringstream msg;
        msg << "the checkpoint's " << what << " has " << rows << " rows, but nr_particles = " << n;
        refuse(msg);
    }
}

// One finite vector per particle, as the steps leave them.
void check_finite(const std::vector<vec3>& v, const char* what)
{
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (!v[i].allFinite()) {
            std::ostringstream msg;
            msg << "the checkpoint's " << what << " of particle " << i << " is (" << v[i].x() << ", " << v[i].y()
                << ", " << v[i].z() << "): it must be finite";
            refuse(msg);
        }
    }
}

void check_finite(double x, const char* what)
{
    if (!std::isfinite(x)) {
        std::ostringstream msg;
        msg << "the checkpoint's " << what << " is " << x << ": it must be finite";
        refuse(msg);
    }
}

// Image counters as the wrap leaves them: within +-image_limit.
void check_images(const std::vector<std::int32_t>& images)
{
    for (std::size_t j = 0; j < images.size(); ++j) {
        if (images[j] > image_limit || images[j] < -image_limit) {
            std::ostringstream msg;
            msg << "the checkpoint's image counter of particle " << j / 3 << " along " << "xyz"[j % 3] << " is "
                << images[j] << ": the wrap keeps the counters within +-" << image_limit;
            refuse(msg);
        }
    }
}

// Positions as the wrap leaves them: in the box, up to the rounding of the wrap
// (the margin of the list build, 1e-9 of the box).
void check_in_box(const std::vector<vec3>& positions, const vec3& dims)
{
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (int k = 0; k < 3; ++k) {
            const double x = positions[i][k], slack = 1e-9 * dims[k];
            if (!(x >= -slack && x <= dims[k] + slack)) {
                std::ostringstream msg;
                msg << "the checkpoint's position of particle " << i << " has coordinate " << k << " = " << x
                    << ", outside the box [0, " << dims[k] << "]";
                refuse(msg);
            }
        }
    }
}

// The list layout (neighbor_list.cpp), entry by entry: N start offsets, then the
// runs one after the other, each particle's neighbours (indices below N, not the
// particle itself) ended by its own index, and nothing after the last run. The
// pair loops read a whole register of entries past a run's end and load the
// coordinates of every entry read, so no entry may break it.
void check_list(const std::vector<unsigned int>& list, std::size_t n)
{
    const std::size_t size = list.size();
    auto refuse_entry = [&](std::size_t k, const char* why) {
        std::ostringstream msg;
        msg << "the checkpoint's neighbor_list is not a neighbour list of nr_particles = " << n << " particles: ";
        if (k < size)
            msg << "entry " << k << " (" << list[k] << ") " << why;
        else
            msg << why;
        msg << " (the layout: N start offsets, then each particle's neighbours ended by its own index)";
        refuse(msg);
    };
    if (size < n)
        refuse_entry(size, "the start offsets are missing");
    std::size_t next = n;  // where the next run must start
    for (std::size_t i = 0; i < n; ++i) {
        if (list[i] != next)
            refuse_entry(i, "is not where the run of this particle starts, right after the previous run");
        std::size_t k = next;
        for (; k < size && list[k] != i; ++k) {
            if (list[k] >= n)
                refuse_entry(k, "is not a particle index");
        }
        if (k == size)
            refuse_entry(size, "the last run has no terminator");
        next = k + 1;
    }
    if (next != size)
        refuse_entry(next, "lies after the last run");
}

}  // namespace

// The box: as saved by a run that rescaled it, else cell_length; the box of the
// list build likewise, else the box.
void Cell::restore_box(const CellState& state)
{
    const double l = settings::real(*params, "cell_length");
    dims = state.box == vec3::Zero() ? vec3(l, l, l) : state.box;
    nlist.box = state.list_box == vec3::Zero() ? dims : state.list_box;
    for (int k = 0; k < 3; ++k) {
        if (!(std::isfinite(dims[k]) && dims[k] > 0.0 && std::isfinite(nlist.box[k]) && nlist.box[k] > 0.0))
            throw std::invalid_argument("the checkpoint's box edges must be finite and positive");
    }
}

// The largest pair cut-off (a mixture's tables, or rcut) within half the box, as
// every step keeps it; beyond, the minimum image would miss pairs.
void Cell::check_cutoff_in_box() const
{
    const double rc = cutoff();
    if (rc > 0.5 * dims.minCoeff()) {
        std::ostringstream msg;
        msg << "the checkpoint's box edge " << dims.minCoeff() << " is less than twice the "
            << (mixed() ? "largest pair cut-off " : "cutoff rcut = ") << rc
            << " (the minimum image would miss pairs within it)";
        refuse(msg);
    }
}

// A mixture saved with both its Lennard-Jones tables and the potential made of
// them: the two must say the same, or the file was changed after it was written.
void Cell::check_mixture_tables_agree() const
{
    if (!mixed() || pstate.species.epsilon.empty() || terms.potential.family != "lj" || terms.potential.mode != "shift")
        return;
    const std::size_t s = pstate.species.nr_types();
    if (terms.potential.nr_types != s || terms.potential.values.size() != 3 * s * s)
        return;
    const std::vector<double>* tables[3] = {&pstate.species.epsilon, &pstate.species.sigma, &pstate.species.rcut};
    const char* names[3] = {"epsilon", "sigma", "rcut"};
    for (std::size_t ab = 0; ab < s * s; ++ab)
        for (int k = 0; k < 3; ++k)
            if ((*tables[k])[ab] != terms.potential.values[3 * ab + k]) {
                std::ostringstream msg;
                msg << "the checkpoint's " << names[k] << " of pair (" << ab / s << ", " << ab % s << ") is "
                    << (*tables[k])[ab] << " in its mixture tables but " << terms.potential.values[3 * ab + k]
                    << " in its pair potential: the file was changed after it was written";
                refuse(msg);
            }
}

// The particles' arrays and the list of a saved state, which holds them in id order.
void Cell::take_arrays(const CellState& s)
{
    pstate.positions = s.positions;
    pstate.velocities = s.velocities;
    pstate.forces = s.forces;
    pstate.dij_list = s.dij_list;
    pstate.images = s.images;
    nlist.entries = s.neighbor_list;
}

CellState Cell::save_state() const
{
    CellState s;
    s.positions = pstate.positions;
    s.velocities = pstate.velocities;
    s.forces = pstate.forces;
    s.dij_list = pstate.dij_list;
    s.neighbor_list = nlist.entries;
    s.images = pstate.images;
    s.positions_initial = pstate.positions_initial;
    s.velocities_initial = pstate.velocities_initial;
    s.epot = epot;
    s.ekin = ekin;
    s.etot = etot;
    s.box = dims;
    s.list_box = nlist.box;
    s.virial = virial_w;
    s.species = pstate.species;
    s.potential = terms.potential;
    s.fields = terms.fields;
    if (pstate.permuted)
        unsort_state(s);
    return s;
}

Cell::Cell(const std::shared_ptr<Parameters>& _params, const CellState& state, int team_size)
    : params(_params), epot(state.epot), ekin(state.ekin), etot(state.etot),
      virial_w(state.virial), threads(checked_team_size(team_size))
{
    take_arrays(state);
    pstate.positions_initial = state.positions_initial;
    pstate.velocities_initial = state.velocities_initial;
    ttime = std::chrono::system_clock::now();
    check_saved_settings(*params);
    restore_box(state);
    const std::size_t n = settings::count(*params, "nr_particles");
    if (!state.species.empty()) {
        check_species(state.species, n, !state.potential.empty());
        pstate.species = state.species;
    }
    terms.set_potential(state.potential, pstate.species);
    terms.set_fields(state.fields, dims);
    check_mixture_tables_agree();
    check_cutoff_in_box();
    check_rows(pstate.positions.size(), n, "positions");
    check_rows(pstate.velocities.size(), n, "velocities");
    check_rows(pstate.forces.size(), n, "forces");
    check_rows(pstate.dij_list.size(), n, "dij_list");
    check_rows(pstate.positions_initial.size(), n, "positions_initial");
    check_rows(pstate.velocities_initial.size(), n, "velocities_initial");
    check_rows(pstate.images.size() / 3, n, "images");
    if (pstate.images.size() != 3 * n)
        throw std::invalid_argument("the checkpoint's images must hold three counters per particle");
    check_images(pstate.images);
    check_finite(pstate.positions, "position");
    check_finite(pstate.velocities, "velocity");
    check_finite(pstate.forces, "force");
    check_finite(pstate.dij_list, "displacement since the list build (dij_list)");
    check_finite(pstate.positions_initial, "start position");
    check_finite(pstate.velocities_initial, "start velocity");
    check_finite(epot, "epot");
    check_finite(ekin, "ekin");
    check_finite(etot, "etot");
    check_in_box(pstate.positions, dims);
    check_list(nlist.entries, n);
    number_in_order(n);
    if (std::isnan(virial_w)) {
        // a checkpoint without the virial: evaluated anew at the saved positions,
        // the saved forces and energy kept as they were
        const std::vector<vec3> saved_forces = pstate.forces;
        const double saved_epot = epot;
        calculate_forces();
        pstate.forces = saved_forces;
        epot = saved_epot;
    }
}
