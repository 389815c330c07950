// Cell state: construction, the initial configuration (simple-cubic lattice with
// Maxwell-Boltzmann velocities, or positions and velocities given by the caller),
// the normal generators and the flat accessors.
#include "cell.h"
#include "exact_sum.h"
#include "settings.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>

namespace {

bool finite(const vec3& v)
{
    return std::isfinite(v.x()) && std::isfinite(v.y()) && std::isfinite(v.z());
}

// Given start vectors must be one finite vector per particle; `what` names one
// of them ("position", "velocity").
void check_given(const std::vector<vec3>& given, std::size_t nr_particles, const char* what)
{
    if (given.size() != nr_particles) {
        std::ostringstream msg;
        msg << given.size() << " start " << what << " vectors are not allowed with nr_particles = " << nr_particles
            << ": give one per particle";
        throw std::invalid_argument(msg.str());
    }
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (!finite(given[i])) {
            const vec3& v = given[i];
            std::ostringstream msg;
            msg << "start " << what << " (" << v.x() << ", " << v.y() << ", " << v.z() << ") of particle " << i
                << " is not allowed: it must be finite";
            throw std::invalid_argument(msg.str());
        }
    }
}

// Given start positions are wrapped into the box. A coordinate more than a
// million box lengths out would land there only up to a rounding error above
// 1e-10 of the box (far beyond, anywhere in it): a mistake in the input, refused
// before it is wrapped.
void check_wrappable(const std::vector<vec3>& given, const vec3& dims)
{
    constexpr double most = 1e6;  // box lengths
    for (std::size_t i = 0; i < given.size(); ++i) {
        for (int k = 0; k < 3; ++k) {
            if (!(std::fabs(given[i][k]) <= most * dims[k])) {
                const vec3& v = given[i];
                std::ostringstream msg;
                msg << "start position (" << v.x() << ", " << v.y() << ", " << v.z() << ") of particle " << i
                    << " is not allowed: a coordinate may lie at most " << most << " box lengths (cell_length = "
                    << dims[k] << ") from the origin";
                throw std::invalid_argument(msg.str());
            }
        }
    }
}

// 1/2 m sum |v|^2, summed in particle order as the time step sums it.
double kinetic_energy(const std::vector<vec3>& velocities, double mass)
{
    double sum = 0.0;
    for (const vec3& v : velocities)
        sum += (v.x() * v.x() + v.y() * v.y()) + v.z() * v.z();
    return 0.5 * sum * mass;
}

}  // namespace

Cell::Cell(const std::shared_ptr<Parameters>& _params)
    : Cell(_params, CellOptions{})
{
}

Cell::Cell(const std::shared_ptr<Parameters>& _params, const CellOptions& options)
    : params(_params), threads(checked_team_size(options.threads))
{
    ttime = std::chrono::system_clock::now();
    if (options.seeded)
        generator = std::make_unique<Generator>(options.seed);
    set_order(options.exact_sums, options.sort_particles);
    const bool cubic = options.box == vec3::Zero();
    const double l = cubic ? settings::real(*params, "cell_length") : options.box.minCoeff();
    dims = cubic ? vec3(l, l, l) : options.box;
    if (!cubic && !(finite(dims) && dims.minCoeff() > 0.0)) {
        std::ostringstream msg;
        msg << "the box (" << dims.x() << ", " << dims.y() << ", " << dims.z()
            << ") is not allowed: its sides must be finite positive lengths";
        throw std::invalid_argument(msg.str());
    }
    if (!options.species.empty()) {
        check_species(options.species, settings::count(*params, "nr_particles"), !options.potential.empty());
        pstate.species = options.species;
    }
    terms.set_potential(options.potential, pstate.species);
    terms.set_fields(options.fields, dims);
    terms.pair_terms_wanted = options.pair_terms;
    initialize(options);
    if (options.divided)
        return;  // distribute() builds the list of each process's share and checks the energy
    build_neighbor_list();
    calculate_forces();
    if (!std::isfinite(epot)) {
        std::ostringstream msg;
        if (options.positions.empty())
            msg << settings::not_allowed("cell_length", l, "nr_particles", static_cast<double>(pstate.positions.size()),
                                         "the start lattice puts the particles so close that the potential energy is ")
                << epot;
        else
            msg << "the start positions are not allowed: the particles overlap so closely that the potential energy is "
                << epot;
        throw std::invalid_argument(msg.str());
    }
}

void Cell::initialize(const CellOptions& options)
{
    const std::size_t nr_particles = settings::count(*params, "nr_particles");

    pstate.forces.resize(nr_particles);
    pstate.images.assign(3 * nr_particles, 0);
    number_in_order(nr_particles);
    if (options.positions.empty()) {
        // Simple cubic lattice with cell-centred sites, z fastest; a lattice with more
        // sites than particles leaves its last sites empty. Checked before anything
        // is drawn.
        const settings::Lattice lat = settings::lattice(dims, nr_particles);
        pstate.positions.resize(nr_particles);
        std::size_t count = 0;
        for (std::size_t i = 0; i < lat.nx; ++i) {
            const double x = (static_cast<double>(i) + 0.5) * lat.dx;
            for (std::size_t j = 0; j < lat.ny; ++j) {
                const double y = (static_cast<double>(j) + 0.5) * lat.dy;
                for (std::size_t k = 0; k < lat.nz; ++k) {
                    const double z = (static_cast<double>(k) + 0.5) * lat.dz;
                    if (count < nr_particles) {
                        pstate.positions[count] = vec3(x, y, z);
                        ++count;
                    }
                }
            }
        }
    } else {
        // Given positions go into the box with the wrap of the time step; images
        // count crossings from this start on.
        check_given(options.positions, nr_particles, "position");
        check_wrappable(options.positions, dims);
        terms.check_given_within_walls(options.positions, dims);
        pstate.positions = options.positions;
        apply_boundary_conditions();
        pstate.images.assign(3 * nr_particles, 0);
    }
    pstate.positions_initial = pstate.positions;

    if (options.velocities.empty() && mixed()) {
        draw_mixed_velocities(nr_particles);
    } else if (options.velocities.empty()) {
        // Maxwell-Boltzmann velocities: each component normal with variance kT/m. The
        // first draw of a particle goes to z, the second to y, the third to x.
        const double sqrtktm = settings::velocity_scale(*params);
        pstate.velocities.resize(nr_particles);
        vec3 sum(0.0, 0.0, 0.0);
        for (std::size_t i = 0; i < nr_particles; ++i) {
            const double g1 = get_gauss();
            const double g2 = get_gauss();
            const double g3 = get_gauss();
            pstate.velocities[i] = vec3(g3 * sqrtktm, g2 * sqrtktm, g1 * sqrtktm);
            sum += pstate.velocities[i];
        }
        pstate.velocities_initial = pstate.velocities;

        // Zero total momentum; no rescaling to the target temperature.
        if (nr_particles > 0) {
            const vec3 mean = sum * (1.0 / static_cast<double>(nr_particles));
            for (auto& v : pstate.velocities)
                v -= mean;
        }
        // A spread near the largest double can still overflow in a draw, the sum or
        // the kinetic energy.
        bool sound = true;
        for (const vec3& v : pstate.velocities)
            sound = sound && finite(v);
        if (!sound || !std::isfinite(kinetic_energy(pstate.velocities, settings::real(*params, "mass"))))
            throw std::invalid_argument(settings::velocity_spread_message(settings::real(*params, "kT"),
                                                                          settings::real(*params, "mass")));
    } else {
        settings::real(*params, "kT");  // the keys a drawn start reads, in the same order
        const double m = settings::real(*params, "mass");
        check_given(options.velocities, nr_particles, "velocity");
        // finite velocities can still carry more energy than a double holds
        const double start_ekin = kinetic_energy(options.velocities, m);
        if (!std::isfinite(start_ekin)) {
            std::ostringstream msg;
            msg << "the start velocities are not allowed: their kinetic energy 1/2 mass sum |v|^2 is " << start_ekin
                << " (mass = " << m << "); it must be finite";
            throw std::invalid_argument(msg.str());
        }
        pstate.velocities = options.velocities;
        pstate.velocities_initial = pstate.velocities;
    }
    pstate.dij_list.assign(nr_particles, vec3(0.0, 0.0, 0.0));
}

void Cell::draw_mixed_velocities(std::size_t nr_particles)
{
    // Maxwell-Boltzmann velocities, each component normal with variance kT/m of
    // the particle's type, drawn in the order of the one-species start; then the
    // centre-of-mass velocity sum(m v) / sum(m) is removed.
    const double kT = settings::real(*params, "kT");
    std::vector<double> scale(pstate.species.nr_types());
    for (std::size_t a = 0; a < scale.size(); ++a)
        scale[a] = std::sqrt(kT / pstate.species.masses[a]);
    pstate.velocities.resize(nr_particles);
    vec3 momentum(0.0, 0.0, 0.0);
    double total_mass = 0.0;
    for (std::size_t i = 0; i < nr_particles; ++i) {
        const double s = scale[static_cast<std::size_t>(pstate.species.types[i])];
        const double g1 = get_gauss();
        const double g2 = get_gauss();
        const double g3 = get_gauss();
        pstate.velocities[i] = vec3(g3 * s, g2 * s, g1 * s);
        const double m = pstate.species.masses[static_cast<std::size_t>(pstate.species.types[i])];
        momentum += m * pstate.velocities[i];
        total_mass += m;
    }
    pstate.velocities_initial = pstate.velocities;
    if (nr_particles > 0) {
        const vec3 centre = momentum * (1.0 / total_mass);
        for (auto& v : pstate.velocities)
            v -= centre;
    }
    for (const vec3& v : pstate.velocities) {
        if (!finite(v))
            throw std::invalid_argument(settings::velocity_spread_message(kT, *std::min_element(
                                                                              pstate.species.masses.begin(), pstate.species.masses.end())));
    }
}

double Cell::get_gauss() const
{
    if (generator)
        return generator->normal(generator->engine);
    // One sequence per process, seeded 1 and never re-seeded: every fresh process
    // draws the same velocities, later runs in a process continue the sequence.
    static std::default_random_engine process_engine;
    static std::normal_distribution<double> distribution(0.0, 1.0);
    return distribution(process_engine);
}

double Cell::kinetic_energy_of_velocities() const
{
    if (exact_sums) {
        ExactSum sum;
        for (std::size_t i = 0; i < pstate.velocities.size(); ++i) {
            const vec3& v = pstate.velocities[i];
            sum.add(pstate.mass_factor(i) * ((v.x() * v.x() + v.y() * v.y()) + v.z() * v.z()));
        }
        reduce(&sum, 1);
        // one species: the mass once, after the sum, as the kick applies it
        return mixed() ? 0.5 * sum.value() : 0.5 * sum.value() * settings::real(*params, "mass");
    }
    if (!mixed())
        return ::kinetic_energy(pstate.velocities, settings::real(*params, "mass"));
    // 0.5 sum m |v|^2 in particle order, the order of the mixture's kick
    double sum = 0.0;
    for (std::size_t i = 0; i < pstate.velocities.size(); ++i) {
        const vec3& v = pstate.velocities[i];
        sum += pstate.mass_factor(i) * ((v.x() * v.x() + v.y() * v.y()) + v.z() * v.z());
    }
    return 0.5 * sum;
}

std::array<double, 6> Cell::kinetic_tensor() const
{
    const bool mixture = mixed();
    const std::vector<vec3>& velocities = pstate.velocities;
    std::array<double, 6> t = sum_particles<6>(velocities.size(), [&](std::size_t begin, std::size_t end, auto add) {
        for (std::size_t i = begin; i < end; ++i) {
            const vec3& v = velocities[i];
            const double m = pstate.mass_factor(i);
            const double mx = m * v.x(), my = m * v.y(), mz = m * v.z();
            const double terms[6] = {mx * v.x(), my * v.y(), mz * v.z(), mx * v.y(), mx * v.z(), my * v.z()};
            add(terms);
        }
    });
    if (!mixture) {
        const double mass = settings::real(*params, "mass");
        for (double& c : t)
            c *= mass;
    }
    return t;
}

std::size_t Cell::particle_count() const
{
    const std::size_t nr_particles = settings::count(*params, "nr_particles");
    if (exchange && nr_particles == exchange->total())
        return pstate.positions.size();  // this process's share
    if (nr_particles != pstate.positions.size()) {
        std::ostringstream msg;
        msg << "nr_particles = " << nr_particles << " does not match the " << pstate.positions.size()
            << " particles this cell holds";
        throw std::logic_error(msg.str());
    }
    return nr_particles;
}

std::vector<double> flatten(const std::vector<vec3>& v)
{
    const std::size_t sz = 3 * v.size();
    std::vector<double> res(sz, 0.0);
    for (std::size_t i = 0; i < v.size(); ++i) {
        res[3 * i + 0] = v[i].x();
        res[3 * i + 1] = v[i].y();
        res[3 * i + 2] = v[i].z();
    }
    return res;
}

void Cell::set_order(bool exact, bool sort)
{
    if (exchange && !(exact && !sort))
        throw std::invalid_argument(
            "a box divided among processes keeps exact sums and its particles in the order of their ids: "
            "exact_sums = true and sort_particles = false are the only choice");
    exact_sums = exact;
    sort_particles = exact && sort;  // a chained sum is one order: only exact sums allow another
    if (!sort_particles)
        unsort();
}
