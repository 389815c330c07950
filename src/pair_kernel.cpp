// The Lennard-Jones loops of one species and of a mixture, as views of the one
// pair loop (pair_loop.h) over the LJ evaluator (potentials/lj.h).
//
// One species: the terms in units of 4 eps (energy) and 24 eps (force, virial),
// summed without prefactors; the caller applies them once after the loop
// (forces.cpp). A mixture: the prefactors 4 eps_ab and 24 eps_ab per pair.
#include "kernels.h"
#include "pair_loop.h"
#include "potentials/lj.h"

namespace kernels {

namespace {

const PairKernels lj = pair_kernels<LJEvaluator>();

LoopInput one_species(const PairInput& in)
{
    LoopInput l{in, nullptr, {}};
    l.table.nr_types = 1;
    l.table.factored = true;
    l.table.params[0] = &in.sigmasq;
    l.table.params[1] = &in.epot_cutoff;
    l.table.rcutsq = &in.rcutsq;
    return l;
}

LoopInput mixture(const MixedPairInput& in)
{
    LoopInput l{in.pair, in.types, {}};
    l.table.nr_types = in.nr_types;
    l.table.factored = false;
    l.table.params[0] = in.sigmasq;
    l.table.params[1] = in.epot_cutoff;
    l.table.rcutsq = in.rcutsq;
    l.table.energy_scale = in.eps4;
    l.table.force_scale = in.eps24;
    return l;
}

}  // namespace

double pair_forces_scalar(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                          double epotsum)
{
    return lj.scalar(one_species(in), begin, end, out, epotsum);
}

double pair_forces_avx2(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                        double epotsum)
{
    return lj.avx2(one_species(in), begin, end, out, epotsum);
}

double pair_forces_avx512(const PairInput& in, std::size_t begin, std::size_t end, const PairOutput& out,
                          double epotsum)
{
    return lj.avx512(one_species(in), begin, end, out, epotsum);
}

double mixed_pair_forces_scalar(const MixedPairInput& in, std::size_t begin, std::size_t end,
                                const PairOutput& out, double epotsum)
{
    return lj.scalar(mixture(in), begin, end, out, epotsum);
}

double mixed_pair_forces_avx2(const MixedPairInput& in, std::size_t begin, std::size_t end,
                              const PairOutput& out, double epotsum)
{
    return lj.avx2(mixture(in), begin, end, out, epotsum);
}

double mixed_pair_forces_avx512(const MixedPairInput& in, std::size_t begin, std::size_t end,
                                const PairOutput& out, double epotsum)
{
    return lj.avx512(mixture(in), begin, end, out, epotsum);
}

LoopFn PairKernels::best() const
{
    switch (kernel_set()) {
    case KernelSet::avx512:
        return avx512;
    case KernelSet::avx2:
        return avx2;
    default:
        return scalar;
    }
}

}  // namespace kernels
