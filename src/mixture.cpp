// Checks of a mixture and the pair tables the force loop reads.
#include "mixture.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

void refuse(const std::ostringstream& msg)
{
    throw std::invalid_argument(msg.str());
}

bool positive(double x)
{
    return std::isfinite(x) && x > 0.0;
}

}  // namespace

void check_species(const Species& species, std::size_t nr_particles, bool own_potential)
{
    const std::size_t s = species.nr_types();
    std::ostringstream msg;
    if (s == 0) {
        msg << "a mixture needs at least one species";
        refuse(msg);
    }
    if (species.types.size() != nr_particles) {
        msg << species.types.size() << " particle types are not allowed with nr_particles = " << nr_particles
            << ": give one per particle";
        refuse(msg);
    }
    for (std::size_t i = 0; i < nr_particles; ++i) {
        const std::int32_t t = species.types[i];
        if (t < 0 || static_cast<std::size_t>(t) >= s) {
            msg << "type " << t << " of particle " << i << " is not allowed: the types are 0 to " << s - 1;
            refuse(msg);
        }
    }
    for (std::size_t a = 0; a < s; ++a) {
        if (!positive(species.masses[a])) {
            msg << "mass " << species.masses[a] << " of type " << a << " is not allowed: it must be positive";
            refuse(msg);
        }
    }
    const struct {
        const std::vector<double>& table;
        const char* name;
    } tables[] = {{species.epsilon, "epsilon"}, {species.sigma, "sigma"}, {species.rcut, "rcut"}};
    const bool no_tables = species.epsilon.empty() && species.sigma.empty() && species.rcut.empty();
    if (own_potential && no_tables)
        return;
    for (const auto& t : tables) {
        if (t.table.size() != s * s) {
            msg << "the " << t.name << " table has " << t.table.size() << " entries for " << s
                << " types: give " << s * s;
            refuse(msg);
        }
        for (std::size_t a = 0; a < s; ++a)
            for (std::size_t b = 0; b < s; ++b) {
                const double v = t.table[a * s + b];
                if (!positive(v) || v != t.table[b * s + a]) {
                    msg << t.name << " = " << v << " of the pair of types (" << a << ", " << b
                        << ") is not allowed: it must be positive and the same for (" << b << ", " << a << ")";
                    refuse(msg);
                }
            }
    }
}
