// A long fixed-point accumulator: every double is added exactly, so that the
// total, rounded once, depends only on the multiset of terms and not on their
// order, their split over threads or over processes.
//
// The accumulator holds the sum as an integer multiple of 2^-1074 (the smallest
// subnormal) in 32-bit limbs kept in signed 64-bit words, which leaves room for
// 2^31 additions before a carry must be propagated (normalize). Infinities and
// NaN are counted apart.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

class ExactSum {
public:
    static constexpr int limbs = 68;          // 32 bits each: 2^-1074 .. beyond 2^1024
    static constexpr int words = limbs + 3;   // the limbs, then counts of +inf, -inf, NaN

    ExactSum() { clear(); }

    void clear()
    {
        std::memset(w, 0, sizeof w);
        pending = 0;
    }

    void add(double x)
    {
        if (!std::isfinite(x)) {
            ++w[x != x ? limbs + 2 : (x > 0 ? limbs : limbs + 1)];
            return;
        }
        if (x == 0.0)
            return;
        int e;
        const double f = std::frexp(std::fabs(x), &e);
        std::uint64_t m = static_cast<std::uint64_t>(std::ldexp(f, 53));  // exact: 53 bits
        int s = e - 53 + 1074;                                            // position of m's lowest bit
        if (s < 0) {                                                      // a subnormal: its low bits are zero
            m >>= -s;
            s = 0;
        }
        const int at = s / 32, shift = s % 32;
        const unsigned __int128 v = static_cast<unsigned __int128>(m) << shift;  // at most 84 bits
        const std::int64_t sign = x < 0 ? -1 : 1;
        w[at] += sign * static_cast<std::int64_t>(static_cast<std::uint32_t>(v));
        w[at + 1] += sign * static_cast<std::int64_t>(static_cast<std::uint32_t>(v >> 32));
        w[at + 2] += sign * static_cast<std::int64_t>(static_cast<std::uint32_t>(v >> 64));
        if (++pending == (1u << 30))
            normalize();
    }

    void add(const ExactSum& other)
    {
        ExactSum o = other;
        o.normalize();
        normalize();
        for (int k = 0; k < words; ++k)
            w[k] += o.w[k];
    }

    // Carries propagated: every limb but the last in [0, 2^32).
    void normalize()
    {
        for (int k = 0; k + 1 < limbs; ++k) {
            const std::int64_t carry = w[k] >> 32;  // floor division by 2^32
            w[k] -= carry * (std::int64_t(1) << 32);
            w[k + 1] += carry;
        }
        pending = 0;
    }

    std::int64_t* data() { return w; }
    const std::int64_t* data() const { return w; }

    // The exact total rounded to the nearest double (ties to even).
    double value() const
    {
        if (w[limbs + 2] != 0 || (w[limbs] != 0 && w[limbs + 1] != 0))
            return std::numeric_limits<double>::quiet_NaN();
        if (w[limbs] != 0)
            return std::numeric_limits<double>::infinity();
        if (w[limbs + 1] != 0)
            return -std::numeric_limits<double>::infinity();
        ExactSum s = *this;
        s.normalize();
        const bool negative = s.w[limbs - 1] < 0;
        std::uint64_t m[limbs];
        if (negative) {  // magnitude: the two's complement of the limbs
            std::int64_t borrow = 0;
            for (int k = 0; k < limbs; ++k) {
                std::int64_t d = -s.w[k] - borrow;
                borrow = 0;
                if (k + 1 < limbs && d < 0) {
                    d += std::int64_t(1) << 32;
                    borrow = 1;
                }
                m[k] = static_cast<std::uint64_t>(d);
            }
        } else {
            for (int k = 0; k < limbs; ++k)
                m[k] = static_cast<std::uint64_t>(s.w[k]);
        }
        // the top limb may exceed 32 bits: fold it into the ones below as 128-bit windows
        int top = limbs - 1;
        while (top >= 0 && m[top] == 0)
            --top;
        if (top < 0)
            return 0.0;
        // window of the limbs top, top-1, top-2 (96 bits + what the top limb holds above 32)
        unsigned __int128 v = static_cast<unsigned __int128>(m[top]) << 64;
        if (top >= 1)
            v |= static_cast<unsigned __int128>(m[top - 1]) << 32;
        if (top >= 2)
            v |= m[top - 2];
        bool sticky = false;
        for (int k = 0; k < top - 2; ++k)
            sticky = sticky || m[k] != 0;
        const int low = (top - 2) * 32;  // bit position of the window's bit 0
        // bit length of v
        int length = 0;
        for (unsigned __int128 t = v; t != 0; t >>= 1)
            ++length;
        double result;
        if (length <= 53) {
            result = std::ldexp(static_cast<double>(static_cast<std::uint64_t>(v)), low - 1074);
        } else {
            const int drop = length - 53;
            std::uint64_t mant = static_cast<std::uint64_t>(v >> drop);
            const unsigned __int128 rest = v & ((static_cast<unsigned __int128>(1) << drop) - 1);
            const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
            if (rest > half || (rest == half && (sticky || (mant & 1))))
                ++mant;
            else if (rest == half && !sticky && !(mant & 1))
                ;  // tie to even: stays
            result = std::ldexp(static_cast<double>(mant), low + drop - 1074);
        }
        return negative ? -result : result;
    }

private:
    std::int64_t w[words];
    unsigned int pending = 0;
};
