// Pair potentials as a run names them, and the registry of their families.
//
// A family (potentials/*.cpp) is: its name, its parameters per type pair with
// their rules, the modes it allows, its mixing rule, the evaluator's reduced
// terms and its loops (pair_loop.h) plain and force-shifted, and its analytic
// tail where it has one. build_pair_table turns a PairPotential into the tables
// the loop reads: per pair the evaluator's parameters, the cut-off and the
// scales, then the mode:
//   "none"         the potential as it is, cut at rc
//   "shift"        minus its value at rc: the energy vanishes there
//   "force_shift"  u(r) - u(rc) + (r - rc) F(rc): energy and force vanish at rc
#pragma once

#include "pair_table.h"
#include "kernels.h"

#include <cstddef>
#include <string>
#include <vector>

// One potential for the whole run: a family, a mode, parameters per type pair.
struct PairPotential {
    std::string family;                       // a registered family; empty: Lennard-Jones from the parameter set or the mixture
    std::string mode = "shift";               // "shift", "none" or "force_shift" (as the family allows)
    std::size_t nr_types = 1;                 // S
    std::vector<double> values;               // S x S pairs times the family's P parameters: pair ab's k-th at ab P + k
    std::vector<std::vector<double>> arrays;  // tabulated families: per pair ab the columns r, E, F, one after the other
    bool tail_correction = false;             // add the analytic tail beyond rc to energy and virial (mode "none")

    bool empty() const { return family.empty(); }
};

// One parameter of a family, with its rule in words.
struct PairParameter {
    const char* name;  // as Python and the files spell it
    const char* rule;  // e.g. "> 0"
};

// What a family tells the table builder about one type pair.
struct PairCoefficients {
    double params[PairTable::max_params] = {};  // the evaluator's parameters, unshifted
    double rcut = 0.0;                          // the cut-off
    double energy_factors[2] = {1.0, 1.0};      // energy scale, as two factors applied in this order
    double force_scale = 1.0;
};

struct PairFamily {
    const char* name;
    const char* summary;                   // the formula in one line
    std::vector<PairParameter> params;     // per type pair, in the order of PairPotential::values
    std::vector<const char*> modes;        // the first is the default
    const char* mixing;                    // "lorentz-berthelot" or "explicit"
    int nr_params;                         // parameters of the evaluator (before the force shift's two)
    int shift_param;                       // which of them holds the energy shift (-1: none)
    // Throws std::invalid_argument naming the parameter and `pair` when a value breaks its rule.
    void (*check)(const double* values, const std::vector<double>* array, const std::string& pair);
    // The coefficients of one pair from its values (checked); tabulated families
    // append their arrays to `data`.
    void (*coefficients)(const double* values, const std::vector<double>* array, PairCoefficients& c,
                         std::vector<double>& data);
    // The reduced terms at distsq of one pair, over the table's data, plain and
    // force-shifted.
    void (*reduced)(const double* params, const double* data, double distsq, double& e, double& w);
    void (*reduced_force_shifted)(const double* params, const double* data, double distsq, double& e, double& w);
    kernels::PairKernels plain;
    kernels::PairKernels force_shifted;
    // Tail integrals beyond rc of the unshifted potential: int r^2 u dr and
    // int r^3 u' dr; null for families without an analytic tail.
    void (*tail)(const double* values, double rcut, double& energy, double& virial);
};

// Every family, in registration order.
const std::vector<const PairFamily*>& pair_families();
// The family called `name`; std::invalid_argument naming the known ones.
const PairFamily& pair_family(const std::string& name);

// Checks the potential (family, mode, S x S symmetric finite parameters, the
// tail only with mode "none" and a family that has one) and returns the tables
// of its loop; std::invalid_argument naming the pair and parameter.
PairTable build_pair_table(const PairPotential& potential);

// The loops of the potential's family and mode.
const kernels::PairKernels& pair_kernels_of(const PairPotential& potential);

// The tail beyond the cut-offs for N_a particles of each type in volume V:
// energy (2 pi / V) sum_ab N_a N_b int r^2 u dr and virial -(2 pi / V) sum_ab
// N_a N_b int r^3 u' dr (the pressure's share is virial / 3V).
struct TailTerms {
    double energy = 0.0;
    double virial = 0.0;
};
TailTerms pair_tail(const PairPotential& potential, const std::vector<double>& counts, double volume);
