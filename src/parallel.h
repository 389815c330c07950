// Work sharing inside an OpenMP parallel region.
#pragma once

#include <algorithm>
#include <cstddef>

#include <omp.h>

// The share of the calling thread in the iterations [0, n) under the static
// schedule: one contiguous block per thread, in thread order, the first n mod T
// threads taking one iteration more. `first` marks the block that starts at 0.
struct Block {
    std::size_t begin;
    std::size_t end;
    bool first;
};

inline Block static_block(std::size_t n)
{
    const std::size_t nthreads = static_cast<std::size_t>(omp_get_num_threads());
    const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
    const std::size_t q = n / nthreads, r = n % nthreads;
    const std::size_t begin = t * q + std::min(t, r);
    return Block{begin, begin + q + (t < r ? 1 : 0), t == 0};
}
