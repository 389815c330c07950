// Which instruction set the pair loops and list builds run in: the best this CPU
// has, unless VORLAN_KERNELS names a lower one (to time the AVX2 or portable
// loops on a machine with AVX-512; every set gives the same bits).
#include "kernels.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace kernels {

KernelSet choose_kernels(const char* request, bool avx512, bool avx2)
{
    const KernelSet best = avx512 ? KernelSet::avx512 : (avx2 ? KernelSet::avx2 : KernelSet::scalar);
    const std::string name = request ? request : "";
    if (name.empty() || name == "auto")
        return best;
    if (name == "scalar")
        return KernelSet::scalar;
    const bool avx512_asked = name == "avx512";
    if (!avx512_asked && name != "avx2")
        throw std::invalid_argument("VORLAN_KERNELS = '" + name +
                                    "' is not a set of loops: allowed are auto, avx512, avx2 and scalar");
    if (avx512_asked ? !avx512 : !avx2)
        throw std::invalid_argument("VORLAN_KERNELS = " + name + " asks for loops this CPU cannot run; it has " +
                                    kernel_set_name(best) + " (or lower: avx2, scalar)");
    return avx512_asked ? KernelSet::avx512 : KernelSet::avx2;
}

KernelSet kernel_set()
{
    static const KernelSet set = choose_kernels(std::getenv("VORLAN_KERNELS"), have_avx512(), have_avx2());
    return set;
}

const char* kernel_set_name(KernelSet set)
{
    switch (set) {
    case KernelSet::avx512:
        return "avx512";
    case KernelSet::avx2:
        return "avx2";
    default:
        return "scalar";
    }
}

}  // namespace kernels
