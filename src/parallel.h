// Work sharing inside an OpenMP parallel region.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <vector>

#include <omp.h>

// The share of thread t of nthreads in the iterations [0, n) under the static
// schedule: one contiguous block per thread, in thread order, the first n mod T
// threads taking one iteration more. `first` marks the block that starts at 0.
struct Block {
    std::size_t begin;
    std::size_t end;
    bool first;
};

inline Block static_block(std::size_t n, std::size_t t, std::size_t nthreads)
{
    const std::size_t q = n / nthreads, r = n % nthreads;
    const std::size_t begin = t * q + std::min(t, r);
    return Block{begin, begin + q + (t < r ? 1 : 0), t == 0};
}

// The share of the calling thread of the current team.
inline Block static_block(std::size_t n)
{
    return static_block(n, static_cast<std::size_t>(omp_get_thread_num()),
                        static_cast<std::size_t>(omp_get_num_threads()));
}

// A sum over the indices [0, n) whose bits do not depend on the team: `chunk`
// adds the terms of the indices [begin, end) one after the other from `zero` and
// returns the result; the chunks are fixed ranges of sum_chunk indices, their
// sums added in order on the calling thread. The chunks are shared out among
// the threads of a team of `team` (chunk may also write entries of its indices).
constexpr std::size_t sum_chunk = 1024;

template <typename T, typename Chunk>
T sum_in_chunks(std::size_t n, int team, const T& zero, Chunk&& chunk)
{
    const std::size_t chunks = (n + sum_chunk - 1) / sum_chunk;
    std::vector<T> sums(chunks, zero);
    const long long count = static_cast<long long>(chunks);
#pragma omp parallel for schedule(static) num_threads(team)
    for (long long c = 0; c < count; ++c) {
        const std::size_t begin = static_cast<std::size_t>(c) * sum_chunk;
        sums[static_cast<std::size_t>(c)] = chunk(begin, std::min(begin + sum_chunk, n));
    }
    T total = zero;
    for (const T& s : sums)
        total += s;
    return total;
}

// No exception may leave an OpenMP parallel region: the runtime would end the
// process. Work inside a region that can throw (memory growth) runs through
// `guard`, which keeps the first exception of any thread and reports the failure;
// after the region, `rethrow` raises it on the calling thread.
class RegionErrors {
public:
    template <typename Work>
    bool guard(Work&& work) noexcept
    {
        try {
            work();
            return true;
        } catch (...) {
            record(std::current_exception());
            return false;
        }
    }
    bool failed() const { return failed_.load(std::memory_order_relaxed); }
    void rethrow() const
    {
        if (failed())
            std::rethrow_exception(first_);
    }

private:
    void record(std::exception_ptr e) noexcept
    {
#pragma omp critical(vorlan_region_errors)
        {
            if (!first_)
                first_ = e;
        }
        failed_.store(true, std::memory_order_relaxed);
    }

    std::exception_ptr first_;
    std::atomic<bool> failed_{false};
};
