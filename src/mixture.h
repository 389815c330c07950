// Species of a mixture: a type per particle, a mass per type and the
// Lennard-Jones parameters of every pair of types.
//
// Pair (a, b) interacts through its own truncated and shifted potential
//   u_ab(r) = 4 eps_ab [ (s_ab/r)^12 - (s_ab/r)^6 - ((s_ab/rc_ab)^12 - (s_ab/rc_ab)^6) ]   for r < rc_ab
// so that every pair's energy vanishes at its own cut-off. A cell without
// species is the one-species system of the parameter set (sigma, epsilon, mass,
// rcut), which keeps its own code path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The mixture as a caller gives it; checked by check_species.
struct Species {
    std::vector<std::int32_t> types;  // N type indices, 0 .. S-1
    std::vector<double> masses;       // S masses
    std::vector<double> epsilon;      // S x S well depths, row-major, symmetric
    std::vector<double> sigma;        // S x S sizes
    std::vector<double> rcut;         // S x S cut-off radii

    bool empty() const { return masses.empty(); }
    std::size_t nr_types() const { return masses.size(); }
};

// The pair parameters as the pair loop reads them, indexed by type_i * S + type_j.
struct PairTables {
    std::vector<double> sigmasq;      // s_ab^2
    std::vector<double> rcutsq;       // rc_ab^2: a pair interacts when distsq < rcutsq
    std::vector<double> epot_cutoff;  // (s/rc)^12 - (s/rc)^6 at rc_ab (lj_epot_cutoff)
    std::vector<double> eps4;         // 4 eps_ab, the energy prefactor
    std::vector<double> eps24;        // 24 eps_ab, the force and virial prefactor
    double rcut_max = 0.0;            // the largest cut-off: the list radius is rcut_max + shell
};

// Throws std::invalid_argument naming the particle, type or pair when the types
// are not N indices into the S types, a mass, eps, sigma or cut-off is not a
// finite positive number, or a table is not S x S and symmetric.
void check_species(const Species& species, std::size_t nr_particles);

// The loop's tables of a checked mixture.
PairTables pair_tables(const Species& species);
