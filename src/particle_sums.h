// Sums over the particles with K terms each, in one of two ways:
//   chained: the terms of fixed chunks of sum_chunk particles added one after
//     the other, the chunks' sums in chunk order (parallel.h): the same bits on
//     any number of threads;
//   exact: every term into an ExactSum per component, rounded once: the same
//     bits on any number of threads and in any order of the particles in memory.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "exact_sum.h"
#include "parallel.h"

// `chunk(begin, end, add)` hands the K terms of each particle of [begin, end)
// to add(t), t pointing at K doubles, one particle after the other; it may also
// write entries of those particles. Exact sums pass through `reduce(sums, K)`
// before they are rounded (the totals over the processes of a divided box).
struct NoReduce {
    void operator()(ExactSum*, int) const {}
};
template <int K, typename Chunk, typename Reduce = NoReduce>
std::array<double, K> particle_sums(std::size_t n, int team, bool exact, Chunk&& chunk, Reduce reduce = {})
{
    std::array<double, K> total{};
    const std::size_t chunks = (n + sum_chunk - 1) / sum_chunk;
    const long long count = static_cast<long long>(chunks);
    if (!exact) {
        std::vector<std::array<double, K>> sums(chunks);
#pragma omp parallel for schedule(static) num_threads(team)
        for (long long c = 0; c < count; ++c) {
            const std::size_t begin = static_cast<std::size_t>(c) * sum_chunk;
            std::array<double, K> s{};
            chunk(begin, std::min(begin + sum_chunk, n), [&](const double* t) {
                for (int k = 0; k < K; ++k)
                    s[k] += t[k];
            });
            sums[static_cast<std::size_t>(c)] = s;
        }
        for (const auto& s : sums)
            for (int k = 0; k < K; ++k)
                total[k] += s[k];
        return total;
    }
    std::array<ExactSum, K> all;
#pragma omp parallel num_threads(team)
    {
        std::array<ExactSum, K> mine;
        ExactSum::Rows<K> rows(mine.data());
#pragma omp for schedule(static) nowait
        for (long long c = 0; c < count; ++c) {
            const std::size_t begin = static_cast<std::size_t>(c) * sum_chunk;
            chunk(begin, std::min(begin + sum_chunk, n), [&](const double* t) { rows.add(t); });
        }
        rows.finish();
#pragma omp critical(vorlan_particle_sums)
        for (int k = 0; k < K; ++k)
            all[k].add(mine[k]);
    }
    reduce(all.data(), K);
    for (int k = 0; k < K; ++k)
        total[k] = all[k].value();
    return total;
}
