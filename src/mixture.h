// Species of a mixture: a type per particle, a mass per type and the
// Lennard-Jones parameters of every pair of types (unless the run gives its own
// pair potential, pair_potential.h).
//
// Pair (a, b) interacts through its own truncated and shifted potential
//   u_ab(r) = 4 eps_ab [ (s_ab/r)^12 - (s_ab/r)^6 - ((s_ab/rc_ab)^12 - (s_ab/rc_ab)^6) ]   for r < rc_ab
// so that every pair's energy vanishes at its own cut-off. A cell without
// species is the one-species system of the parameter set (sigma, epsilon, mass,
// rcut), whose prefactors the force loop applies once, after the sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The mixture as a caller gives it; checked by check_species.
struct Species {
    std::vector<std::int32_t> types;  // N type indices, 0 .. S-1
    std::vector<double> masses;       // S masses
    std::vector<double> epsilon;      // S x S well depths, row-major, symmetric (empty with a potential of the run's)
    std::vector<double> sigma;        // S x S sizes
    std::vector<double> rcut;         // S x S cut-off radii

    bool empty() const { return masses.empty(); }
    std::size_t nr_types() const { return masses.size(); }
};

// Throws std::invalid_argument naming the particle, type or pair when the types
// are not N indices into the S types, a mass, eps, sigma or cut-off is not a
// finite positive number, or a table is not S x S and symmetric. With
// `own_potential` the run gives its pair potential: the LJ tables may be empty.
void check_species(const Species& species, std::size_t nr_particles, bool own_potential = false);

