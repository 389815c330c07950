// Edits of a cell between steps: new positions, velocities or box edges, held to
// the checks of a start, after which the cell is as a fresh start at that state
// (list built anew, forces and energies evaluated; an edit of the velocities
// alone keeps list and forces, bit for bit) apart from what the edit keeps:
// the image counters, which go on counting crossings (so that the unwrapped
// path continues through an edit of wrapped positions), and the start arrays.
//
// Order: every check that needs no forces first (counts, finite values, the box
// against the cut-off, positions a wrap can bring in); then the state is changed,
// the list built, the forces evaluated and the closest contact measured; a
// failure there puts the saved state back, so that a refused edit leaves the
// cell as it was.
#include "cell.h"
#include "pair_potential.h"
#include "settings.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

[[noreturn]] void refuse(const std::ostringstream& msg) { throw std::invalid_argument(msg.str()); }

void check_vectors(const std::vector<vec3>& v, std::size_t n, const char* what)
{
    if (v.size() != n) {
        std::ostringstream msg;
        msg << what << " has " << v.size() << " rows, but the simulation holds " << n
            << " particles: the number of particles cannot change";
        refuse(msg);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!v[i].allFinite()) {
            std::ostringstream msg;
            msg << what << " of particle " << i << " is (" << v[i].x() << ", " << v[i].y() << ", " << v[i].z()
                << "): it must be finite";
            refuse(msg);
        }
    }
}

// A coordinate more than a million box lengths out is a mistake in the input (as
// for a start): its wrap would lose the digits that place it in the box.
void check_wrappable(const std::vector<vec3>& x, const vec3& dims)
{
    constexpr double most = 1e6;
    for (std::size_t i = 0; i < x.size(); ++i) {
        for (int k = 0; k < 3; ++k) {
            if (!(std::fabs(x[i][k]) <= most * dims[k])) {
                std::ostringstream msg;
                msg << "position (" << x[i].x() << ", " << x[i].y() << ", " << x[i].z() << ") of particle " << i
                    << " lies more than " << most << " box lengths (" << dims[k] << ") from the origin";
                refuse(msg);
            }
        }
    }
}

}  // namespace

void Cell::edit(const CellEdit& e)
{
    const std::size_t n = particle_count();
    unsort();  // what is given is in the order of the ids
    const vec3 new_dims = e.box ? *e.box : dims;
    if (e.box && !(new_dims.allFinite() && new_dims.minCoeff() > 0.0)) {
        std::ostringstream msg;
        msg << "box = (" << new_dims.x() << ", " << new_dims.y() << ", " << new_dims.z()
            << ") is not allowed: its sides must be finite positive lengths";
        refuse(msg);
    }
    // the largest pair cut-off at most half the shortest side
    settings::list_radius(*params, new_dims, cutoff());
    if (e.positions) {
        check_vectors(*e.positions, n, "positions");
        check_wrappable(*e.positions, new_dims);
    }
    if (has_walls())  // the positions that will be, between the walls of the box that will be
        terms.check_given_within_walls(e.positions ? *e.positions : pstate.positions, new_dims);
    if (e.velocities) {
        check_vectors(*e.velocities, n, "velocities");
        const std::vector<vec3> kept = pstate.velocities;
        pstate.velocities = *e.velocities;
        const double k = kinetic_energy_of_velocities();
        pstate.velocities = kept;
        if (!std::isfinite(k)) {
            std::ostringstream msg;
            msg << "velocities are not allowed: their kinetic energy is " << k << "; it must be finite";
            refuse(msg);
        }
    }

    if (!e.positions && !e.box) {
        // the configuration stays: list, forces and energies as they are
        if (e.velocities)
            pstate.velocities = *e.velocities;
        ekin = kinetic_energy_of_velocities();
        etot = ekin + epot;
        return;
    }
    const CellState saved = save_state();
    try {
        dims = new_dims;
        if (e.positions)
            pstate.positions = *e.positions;
        apply_boundary_conditions();  // also positions kept in a shrunk box
        if (e.velocities)
            pstate.velocities = *e.velocities;
        pstate.dij_list.assign(n, vec3::Zero());
        build_neighbor_list();
        calculate_forces();
        if (!std::isfinite(epot)) {
            std::ostringstream msg;
            msg << "the particles overlap so closely that the potential energy is " << epot;
            refuse(msg);
        }
        if (e.min_distance > 0.0)
            check_contacts(e.min_distance);
    } catch (...) {
        restore(saved);
        throw;
    }
    ekin = kinetic_energy_of_velocities();
    etot = ekin + epot;
}

// The squared size of each type pair, S x S, against which contacts are measured:
// sigma of the Lennard-Jones-like families, r0 of Morse; 0 (no contact test,
// only the energy's) for the families without a size (Yukawa, tables).
std::vector<double> Cell::contact_sizes_sq() const
{
    if (terms.potential.empty())
        return {std::pow(settings::real(*params, "sigma"), 2)};
    const PairFamily& family = pair_family(terms.potential.family);
    const std::size_t nr = family.params.size();
    std::size_t size_param = nr;
    for (std::size_t k = 0; k < nr; ++k) {
        const std::string name = family.params[k].name;
        if (name == "sigma" || name == "r0")
            size_param = k;
    }
    const std::size_t pairs_count = terms.potential.nr_types * terms.potential.nr_types;
    std::vector<double> sizesq(pairs_count, 0.0);
    if (size_param < nr)
        for (std::size_t ab = 0; ab < pairs_count; ++ab)
            sizesq[ab] = std::pow(terms.potential.values[ab * nr + size_param], 2);
    return sizesq;
}

// The closest pair on the list, in units of its size, against `limit`: the
// list holds every pair within the cut-off, so no closer pair escapes it.
void Cell::check_contacts(double limit) const
{
    const std::size_t n = pstate.positions.size();
    const double limitsq = limit * limit;
    const std::vector<double> sizesq = contact_sizes_sq();
    const std::size_t nt = mixed() ? pstate.species.nr_types() : 1;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = nlist.entries[i]; nlist.entries[k] != i; ++k) {
            const std::size_t j = nlist.entries[k];
            vec3 d = pstate.positions[i] - pstate.positions[j];
            for (int a = 0; a < 3; ++a) {
                if (d[a] > 0.5 * dims[a])
                    d[a] -= dims[a];
                else if (d[a] < -0.5 * dims[a])
                    d[a] += dims[a];
            }
            const double sigmasq = mixed()
                ? sizesq[static_cast<std::size_t>(pstate.species.types[i]) * nt + static_cast<std::size_t>(pstate.species.types[j])]
                : sizesq[0];
            if (d.squaredNorm() < limitsq * sigmasq) {
                std::ostringstream msg;
                msg << "particles " << pstate.ids[j] << " and " << pstate.ids[i] << " are " << d.norm() << " apart, closer than the limit "
                    << limit << " sigma = " << limit * std::sqrt(sigmasq)
                    << " of their pair (an overlap that a step would turn into an explosion); "
                       "move them apart, or lift the check (check_overlap=False)";
                throw std::invalid_argument(msg.str());
            }
        }
    }
}

void Cell::restore(const CellState& s)
{
    take_arrays(s);
    pstate.species.types = s.species.types;
    number_in_order(pstate.positions.size());
    epot = s.epot;
    ekin = s.ekin;
    etot = s.etot;
    virial_w = s.virial;
    dims = s.box;
    nlist.box = s.list_box;
    terms.pair_terms_fresh = false;  // the per-particle terms, if any, were the refused state's
}
