// The exact accumulator against a correctly rounded reference (Shewchuk's
// partials with the half-way correction, as Python's math.fsum), in any order
// and merged from parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "exact_sum.h"

namespace {

double reference_sum(const std::vector<double>& terms)
{
    std::vector<double> partials;
    for (double x : terms) {
        std::size_t i = 0;
        for (double y : partials) {
            if (std::abs(x) < std::abs(y))
                std::swap(x, y);
            const double hi = x + y, lo = y - (hi - x);
            if (lo != 0.0)
                partials[i++] = lo;
            x = hi;
        }
        partials.resize(i);
        partials.push_back(x);
    }
    double hi = 0.0;
    if (!partials.empty()) {
        std::size_t n = partials.size();
        hi = partials[--n];
        double lo = 0.0;
        while (n > 0) {
            const double x = hi, y = partials[--n];
            hi = x + y;
            lo = y - (hi - x);
            if (lo != 0.0)
                break;
        }
        // a half-way case decided by the sign of the next partial
        if (n > 0 && ((lo < 0.0 && partials[n - 1] < 0.0) || (lo > 0.0 && partials[n - 1] > 0.0))) {
            const double y = lo * 2.0, x = hi + y;
            if (y == x - hi)
                hi = x;
        }
    }
    return hi;
}

double exact(const std::vector<double>& terms)
{
    ExactSum s;
    for (double x : terms)
        s.add(x);
    return s.value();
}

std::vector<double> wide_terms(unsigned seed, std::size_t n, int exponent_spread)
{
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-exponent_spread, exponent_spread);
    std::vector<double> t(n);
    for (auto& x : t)
        x = std::ldexp(mantissa(gen), exponent(gen));
    return t;
}

}  // namespace

TEST(ExactSum, RoundsOnceLikeTheCorrectlyRoundedReference)
{
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::vector<std::vector<double>> cases = {
        {},
        {1e100, 1.0, -1e100},                             // cancellation keeps the small term
        {1.0, std::ldexp(1.0, -53)},                      // a tie goes to even
        {1.0, std::ldexp(1.0, -53), tiny},                // ... unless a lower bit breaks it
        {1.0 + std::ldexp(1.0, -52), std::ldexp(1.0, -53)},
        {tiny, tiny, -tiny / 2.0},                        // subnormals exactly
        {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 3.0},
        {-0.1, -0.2, -0.3, 0.6},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exact(c), reference_sum(c));
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const auto t = wide_terms(seed, 2000, seed < 10 ? 40 : 900);
        EXPECT_EQ(exact(t), reference_sum(t)) << "seed " << seed;
    }
}

TEST(ExactSum, IndependentOfOrderAndOfHowPartsAreMerged)
{
    auto t = wide_terms(7, 10000, 60);
    const double whole = exact(t);
    std::mt19937 gen(3);
    for (int round = 0; round < 5; ++round) {
        std::shuffle(t.begin(), t.end(), gen);
        ExactSum parts[3], total;
        for (std::size_t i = 0; i < t.size(); ++i)
            parts[i % 3].add(t[i]);
        parts[1].normalize();  // as a rank does before a reduction
        for (const auto& p : parts)
            total.add(p);
        EXPECT_EQ(exact(t), whole);
        EXPECT_EQ(total.value(), whole);
    }
}

TEST(ExactSum, NonFiniteTermsAreReportedNotHidden)
{
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(exact({1.0, inf}), inf);
    EXPECT_EQ(exact({1.0, -inf}), -inf);
    EXPECT_TRUE(std::isnan(exact({inf, -inf})));
    EXPECT_TRUE(std::isnan(exact({1.0, std::nan("")})));
    // a finite total beyond the largest double overflows to infinity
    const double big = std::numeric_limits<double>::max();
    EXPECT_EQ(exact({big, big}), inf);
    EXPECT_EQ(exact({-big, -big}), -inf);
}

TEST(ExactSum, RowsSumEachComponentLikeSingleAdds)
{
    // three components per row, strided by four; signed zeros, subnormals,
    // the extremes of the exponent range and an infinity among them
    auto t = wide_terms(11, 3000, 300);
    t[0] = -0.0;
    t[6] = std::numeric_limits<double>::denorm_min();
    t[9] = -std::numeric_limits<double>::max();
    t[13] = std::numeric_limits<double>::infinity();
    const std::size_t rows = t.size() / 4;
    for (int round = 0; round < 2; ++round) {  // the second finds the first's scratch space cleared
        ExactSum sums[3];
        ExactSum::add_rows<3>(sums, t.data(), rows, 4);
        for (int c = 0; c < 3; ++c) {
            std::vector<double> column;
            for (std::size_t i = 0; i < rows; ++i)
                column.push_back(t[4 * i + c]);
            const double want = exact(column);
            EXPECT_TRUE(sums[c].value() == want || (std::isnan(want) && std::isnan(sums[c].value())))
                << "component " << c << ", round " << round;
        }
    }
}

TEST(ExactSum, RowsNestedOrDroppedLeaveOtherSumsExact)
{
    const auto t = wide_terms(5, 600, 40);
    const std::vector<double> first(t.begin(), t.begin() + 300), second(t.begin() + 300, t.end());
    ExactSum outer, inner, again;
    {
        ExactSum::Rows<1> rows(&outer);
        for (std::size_t i = 0; i < 300; ++i)
            rows.add(&t[i]);
        ExactSum::add_rows<1>(&inner, second.data(), second.size(), 1);  // while the outer holds the buckets
        rows.finish();
    }
    {
        ExactSum dropped;
        ExactSum::Rows<1> rows(&dropped);
        rows.add(&t[7]);  // never finished: its bucket is cleared, not left for the next sum
    }
    ExactSum::add_rows<1>(&again, first.data(), first.size(), 1);
    EXPECT_EQ(outer.value(), exact(first));
    EXPECT_EQ(inner.value(), exact(second));
    EXPECT_EQ(again.value(), exact(first));
}
