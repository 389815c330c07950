// Cell state: construction, the initial simple-cubic lattice with Maxwell-Boltzmann
// velocities, the process-wide normal generator and the flat accessors.
#include "cell.h"

#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>

Cell::Cell(const std::shared_ptr<Parameters>& _params)
    : params(_params)
{
    ttime = std::chrono::system_clock::now();
    const double l = params->get_param<double>("cell_length");
    if (!(l > 0.0)) {
        std::ostringstream msg;
        msg << "cell_length = " << l << " is not allowed: the box edge must be positive";
        throw std::invalid_argument(msg.str());
    }
    dims = vec3(l, l, l);
    initialize();
    build_neighbor_list();
    calculate_forces();
}

void Cell::initialize()
{
    const std::size_t nr_particles = params->get_param<int>("nr_particles");

    // Simple cubic lattice with cell-centred sites, z fastest; a lattice with more
    // sites than particles leaves its last sites empty.
    const double volume = dims.x() * dims.y() * dims.z();
    const double dl = std::pow(volume / static_cast<double>(nr_particles), 0.3333333333333333);
    const std::size_t nx = static_cast<std::size_t>(std::ceil(dims.x() / dl));
    const std::size_t ny = static_cast<std::size_t>(std::ceil(dims.y() / dl));
    const std::size_t nz = static_cast<std::size_t>(std::ceil(dims.z() / dl));
    const double dx = dims.x() / static_cast<double>(nx);
    const double dy = dims.y() / static_cast<double>(ny);
    const double dz = dims.z() / static_cast<double>(nz);

    positions.resize(nr_particles);
    velocities.resize(nr_particles);
    forces.resize(nr_particles);

    std::size_t count = 0;
    for (std::size_t i = 0; i < nx; ++i) {
        const double x = (static_cast<double>(i) + 0.5) * dx;
        for (std::size_t j = 0; j < ny; ++j) {
            const double y = (static_cast<double>(j) + 0.5) * dy;
            for (std::size_t k = 0; k < nz; ++k) {
                const double z = (static_cast<double>(k) + 0.5) * dz;
                if (count < nr_particles) {
                    positions[count] = vec3(x, y, z);
                    ++count;
                }
            }
        }
    }
    positions_initial = positions;

    // Maxwell-Boltzmann velocities: each component normal with variance kT/m. The
    // first draw of a particle goes to z, the second to y, the third to x.
    const double kT = params->get_param<double>("kT");
    const double m = params->get_param<double>("mass");
    if (!(m > 0.0)) {
        std::ostringstream msg;
        msg << "mass = " << m << " is not allowed: the particle mass must be positive";
        throw std::invalid_argument(msg.str());
    }
    const double sqrtktm = std::sqrt(kT / m);
    vec3 sum(0.0, 0.0, 0.0);
    for (std::size_t i = 0; i < nr_particles; ++i) {
        const double g1 = get_gauss();
        const double g2 = get_gauss();
        const double g3 = get_gauss();
        velocities[i] = vec3(g3 * sqrtktm, g2 * sqrtktm, g1 * sqrtktm);
        sum += velocities[i];
    }
    velocities_initial = velocities;

    // Zero total momentum; no rescaling to the target temperature.
    if (nr_particles > 0) {
        const vec3 mean = sum * (1.0 / static_cast<double>(nr_particles));
        for (auto& v : velocities)
            v -= mean;
    }
    dij_list.assign(nr_particles, vec3(0.0, 0.0, 0.0));
}

double Cell::get_gauss() const
{
    // One sequence per process, seeded 1 and never re-seeded: every fresh process
    // draws the same velocities, later runs in a process continue the sequence.
    static std::default_random_engine generator;
    static std::normal_distribution<double> distribution(0.0, 1.0);
    return distribution(generator);
}

std::size_t Cell::particle_count() const
{
    const std::size_t nr_particles = params->get_param<int>("nr_particles");
    if (nr_particles != positions.size()) {
        std::ostringstream msg;
        msg << "nr_particles = " << nr_particles << " does not match the " << positions.size()
            << " particles this cell holds";
        throw std::logic_error(msg.str());
    }
    return nr_particles;
}

std::vector<double> Cell::flatten(const std::vector<vec3>& v)
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
