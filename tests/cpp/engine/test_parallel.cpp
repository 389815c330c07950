// Work sharing inside parallel regions: the static blocks that the list build
// joins by, and exceptions carried out of a region.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <vector>

#include "parallel.h"
#include "support.h"

namespace {

// The blocks of all threads tile [0, n) in thread order, the first n mod T one
// longer, and the calling thread's block is the one of its number.
TEST(StaticBlock, BlocksTileTheRangeInThreadOrder)
{
    for (std::size_t n : {0, 1, 5, 7, 64, 1001})
        for (std::size_t threads : {1, 2, 3, 8}) {
            std::size_t next = 0;
            for (std::size_t t = 0; t < threads; ++t) {
                const Block b = static_block(n, t, threads);
                EXPECT_EQ(b.begin, next) << n << " over " << threads;
                EXPECT_EQ(b.end - b.begin, n / threads + (t < n % threads ? 1 : 0));
                EXPECT_EQ(b.first, t == 0);
                next = b.end;
            }
            EXPECT_EQ(next, n);
        }
    ThreadCount use(3);
    std::vector<Block> seen(3);
#pragma omp parallel num_threads(3)
    seen[static_cast<std::size_t>(omp_get_thread_num())] = static_block(10);
    for (std::size_t t = 0; t < 3; ++t)
        EXPECT_EQ(seen[t].begin, static_block(10, t, 3).begin);
}

// A failed allocation in one thread does not end the process: the region runs
// to its end and the exception comes out after it, the first one kept.
TEST(RegionErrors, CarryTheFirstExceptionOutOfTheRegion)
{
    RegionErrors errors;
    int passed = 0, team = 0;
#pragma omp parallel num_threads(2) reduction(+ : passed)
    {
        const int last = omp_get_num_threads() - 1;
        errors.guard([&] {
            if (omp_get_thread_num() == last)
                throw std::bad_alloc();
        });
#pragma omp barrier
        if (omp_get_thread_num() == 0) {
            errors.guard([] { throw std::runtime_error("later"); });
            team = omp_get_num_threads();
        }
        passed += 1;
    }
    EXPECT_EQ(passed, team);
    EXPECT_TRUE(errors.failed());
    EXPECT_THROW(errors.rethrow(), std::bad_alloc);

    RegionErrors none;
    EXPECT_TRUE(none.guard([] {}));
    EXPECT_FALSE(none.failed());
    EXPECT_NO_THROW(none.rethrow());
}

}  // namespace
