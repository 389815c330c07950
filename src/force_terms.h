// What acts on a Cell's particles: the pair potential with the tables and loops
// that evaluate it, the external fields and walls, and the arrays of the
// per-particle terms (virial, energy, tensor) a force evaluation fills.
// compute() evaluates them over a ParticleState and its NeighborList: forces,
// potential energy and virial, and with the per-particle terms asked for, each
// particle's energy and virial and the virial tensor from the same pair loop.
// Sources: forces.cpp (pair terms), fields/apply.cpp (fields and walls).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "aligned.h"
#include "exact_sum.h"
#include "exchange.h"
#include "fields/field.h"
#include "neighbor_list.h"
#include "pair_potential.h"
#include "pair_table.h"
#include "parameters.h"
#include "particle_state.h"

namespace kernels {
struct PairInput;
struct PairKernels;
}

// How an evaluation runs and sums, besides the particles and the list.
struct ForceContext {
    const Parameters* params;  // one species without a potential: its Lennard-Jones, read at every evaluation
    vec3 dims;                 // box edges (the tail correction's volume, the fields' box)
    int team;                  // threads of the parallel loops
    bool exact;                // the global sums exact (exact_sum.h): the same bits in any order of the particles
    Exchange* exchange;        // a divided box: ghosts refreshed, sums totalled over the processes; null: whole box
    std::size_t total;         // N of the whole box

    void reduce(ExactSum* sums, int count) const
    {
        if (exchange)
            exchange->sum(sums, count);
    }
};

// The totals of one evaluation.
struct ForceSums {
    double epot;    // potential energy (pairs, tail, fields)
    double virial;  // W = sum over distinct pairs within the cut-off of r_ij . F_ij (plus the tail)
};

class ForceTerms {
public:
    // The pair potential; empty: Lennard-Jones of the parameter set, or of the
    // mixture's tables (built here from `species`). std::invalid_argument when it
    // is given for another number of types.
    void set_potential(const PairPotential& given, const Species& species);
    // The external fields, checked against box `dims`; a wall closes its axis.
    void set_fields(const std::vector<Field>& given, const vec3& dims);

    // Forces on every held particle (overwritten), the energy and the virial, over
    // the list's pairs and the fields; with pair_terms_wanted also the per-particle
    // terms and the tensor.
    ForceSums compute(ParticleState& p, const NeighborList& list, const ForceContext& c);

    // The largest pair cut-off: rcut of the parameter set, or the tables' largest.
    double cutoff(const Parameters& params) const;
    // The box of the minimum image and the subcell grid: a walled axis three times
    // its length, so that no pair is imaged across it and the grid does not
    // connect the two walls (the cut-off is at most L / 2).
    vec3 image_box(const vec3& dims) const;
    bool walled(int k) const { return walls[k]; }
    bool has_walls() const { return walls[0] || walls[1] || walls[2]; }
    // std::range_error naming the first particle outside [0, L] of a walled axis
    // (the step numbered `step`, counted from 1, took it past its wall).
    void check_inside_walls(const ParticleState& p, const vec3& dims, unsigned long long step) const;
    // std::invalid_argument for a given position outside the walls of box `box`.
    void check_given_within_walls(const std::vector<vec3>& given, const vec3& box) const;

    PairPotential potential;                 // the pair potential as given (empty: LJ of the parameter set)
    PairTable table;                         // its tables as the pair loop reads them (one species: rebuilt per evaluation)
    std::vector<Field> fields;               // external fields, applied after the pair loop in their order

    bool pair_terms_wanted = false;          // every evaluation gives the per-particle terms
    bool pair_terms_fresh = false;           // the per-particle terms belong to the current forces
    // Fills particle_energies and particle_virials from the latest evaluation's
    // terms, once: an evaluation leaves them unscaled, as a run that observes
    // only the tensor never reads them.
    void settle_particle_terms();
    std::vector<double> particle_energies;   // per particle: half its pairs' energies (+ tail share, fields)
    std::vector<double> particle_virials;    // per particle: xx yy zz xy xz yz of half its pairs' r (x) F
    double virial_tensor[6] = {};            // the virial tensor of the latest evaluation with the terms

private:
    // The parallel pair loop (forces.cpp).
    struct PairSums {
        double epot;       // the energy terms of all listed pairs (each pair twice), chained as the loop adds them
                           //   (exact sums: each particle's chain, the totals summed exactly, as the others)
        double virial;     // the per-particle virials, chained block by block
        double tensor[6];  // the per-particle tensor terms, chained block by block (when asked for)
    };
    template <typename Evaluate>
    PairSums pair_loop(ParticleState& p, const ForceContext& c, kernels::PairInput& in, double rcut, bool extras,
                       Evaluate evaluate);
    void finish_pair_terms(const ParticleState& p, const ForceContext& c, const PairSums& sums, const TailTerms& tail,
                           double fscale);
    std::vector<double> type_counts(const ParticleState& p, const ForceContext& c) const;
    // fields/apply.cpp: the fields' forces added, their energy returned.
    double apply_fields(ParticleState& p, const ForceContext& c);

    const kernels::PairKernels* loops = nullptr;  // the pair loops of its family and mode
    bool walls[3] = {false, false, false};   // axes closed by a wall
    aligned_vector<double> padded_positions; // x y z type per particle, the pair loop's copy of positions
    std::vector<double> extent;              // per thread: lowest and highest coordinate per axis
    std::vector<double> virial_terms;        // per particle: its pairs' r_ij . F_ij (one species: / 24 eps), summed as pair_kernel.cpp says
    std::vector<double> block_virials;       // per block of the pair loop: its virial_terms summed in order
    std::vector<double> energy_terms;        // per particle: its pairs' energy terms, as the loop summed them
    std::vector<double> own_energy_terms;    // per particle: its pairs' energy terms chained in list order (exact sums)
    std::vector<double> tensor_terms;        // per particle: six sums of r_a F_b terms, as the loop summed them
    std::vector<double> block_tensors;       // per block of the pair loop: six sums of tensor_terms in order
    std::vector<double> field_energies;      // per particle: its energy in all fields
    // How settle_particle_terms scales the latest evaluation's terms.
    struct Scales {
        bool settled = true;      // particle_energies and particle_virials hold them
        bool factored = true;     // one species: the energy factors on the energy terms
        double fscale = 1.0;      // on the tensor terms (1 for a mixture)
        double tail_share = 0.0;  // the tail energy per particle
        bool fields = false;      // field_energies belong to them
        int team = 1;
    } scales;
};
