// An exact sum of doubles: a long fixed-point accumulator (in the manner of
// Kulisch's) wide enough for every finite double, so that no term is rounded on
// the way in and the total is rounded once, at the end.
//
// A global quantity summed this way (the potential energy over the particles,
// the kinetic energy, the virial) depends only on the terms, not on the order in
// which they arrive: partial sums of threads or of MPI ranks merge exactly, and
// the result is the same bits whatever the number of threads or ranks and
// whatever the order of the particles in memory.
//
// Layout: digit k holds bits [32k, 32k + 32) of the total in units of 2^-1074
// (the least subnormal). A double's 53-bit significand lands in at most three
// digits. Digits are int64 and take signed contributions of less than 2^32 each;
// carries are propagated (normalize) before 2^30 additions can overflow a digit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

class ExactSum {
    struct Store;  // the buckets of Rows (below)

public:
    // 2046 exponent positions plus a 53-bit significand span 66 digits; two more
    // hold the carries of up to 2^64 maximal terms.
    static constexpr int digits = 68;
    // The words an MPI_SUM allreduce (MPI_INT64_T) combines: the digits, then the
    // counts of NaN, +inf and -inf terms. Normalise before reducing; each rank's
    // digits are then below 2^32 and any realistic number of ranks fits.
    static constexpr int words = digits + 3;

    void add(double x)
    {
        deposit(x);
        if (++pending >= max_pending)
            normalize();
    }

    // Rows of K terms added component by component into sums[0..K): the
    // components of a tensor per particle, say.
    //
    // Terms of one exponent are first added as integers: each component keeps a
    // bucket per exponent field, a term adds its signed significand (below 2^53)
    // to its bucket, one addition where deposit() makes three, and every
    // `bucket_terms` rows (and at finish) the touched buckets go into the
    // digits. Terms of a particle quantity span few exponents, so few buckets
    // are touched. The total is the same exact sum.
    template <int K>
    class Rows {
    public:
        explicit Rows(ExactSum* sums) : sums(sums)
        {
            Store& store = bucket_store<K>();
            if (!store.busy) {  // this thread's buckets, unless a Rows<K> of an enclosing sum holds them
                store.busy = true;
                shared = &store;
                buckets = store.counters.get();
            } else {
                own.reset(new std::int64_t[static_cast<std::size_t>(K) * stride]());
                buckets = own.get();
            }
        }
        Rows(const Rows&) = delete;
        Rows& operator=(const Rows&) = delete;
        // Without finish() the pending terms are dropped; the buckets are left zero.
        ~Rows()
        {
            for (int c = 0; c < K; ++c)
                for (int field = lo; field <= hi; ++field)
                    buckets[c * stride + field] = 0;
            if (shared)
                shared->busy = false;
        }

        void add(const double* t)
        {
            for (int c = 0; c < K; ++c) {
                std::uint64_t bits;
                std::memcpy(&bits, t + c, sizeof bits);
                const int field = static_cast<int>((bits >> 52) & 0x7ff);
                if (field == 0x7ff) {  // inf or NaN: counted apart, as deposit() does
                    sums[c].deposit(t[c]);
                    continue;
                }
                const auto m = static_cast<std::int64_t>((bits & ((std::uint64_t{1} << 52) - 1)) |
                                                         (static_cast<std::uint64_t>(field != 0) << 52));
                const std::int64_t sign = -static_cast<std::int64_t>(bits >> 63);  // 0 or -1
                buckets[c * stride + field] += (m ^ sign) - sign;
                lo = field < lo ? field : lo;
                hi = field > hi ? field : hi;
            }
            if (++held == bucket_terms)
                finish();
        }

        // The buckets into the digits (also before the sums are read).
        void finish()
        {
            for (int c = 0; c < K; ++c) {
                std::int64_t* b = buckets + c * stride;
                for (int field = lo; field <= hi; ++field)
                    if (b[field] != 0) {
                        sums[c].deposit_integer(b[field], field != 0 ? field - 1 : 0);
                        b[field] = 0;
                        if (++sums[c].pending >= max_pending)
                            sums[c].normalize();
                    }
            }
            lo = 0x7ff;
            hi = 0;
            held = 0;
        }

    private:
        ExactSum* sums;
        Store* shared = nullptr;              // this thread's buckets, when this holds them
        std::unique_ptr<std::int64_t[]> own;  // else its own
        std::int64_t* buckets;                // all zero between uses
        int lo = 0x7ff, hi = 0;  // the fields touched since the last finish, over all components
        std::size_t held = 0;
    };

    // Terms x[0], x[stride], ... x[(n - 1) stride] into sums[0], and with K > 1
    // x[c], x[c + stride], ... into sums[c] for c < K (Rows).
    template <int K>
    static void add_rows(ExactSum* sums, const double* x, std::size_t n, std::size_t stride)
    {
        Rows<K> rows(sums);
        for (std::size_t i = 0; i < n; ++i)
            rows.add(x + i * stride);
        rows.finish();
    }

    void add(const ExactSum& other)
    {
        for (int k = 0; k < words; ++k)
            w[k] += other.w[k];
        pending += other.pending + 1;
        if (pending >= max_pending)
            normalize();
    }

    void clear()
    {
        for (auto& d : w)
            d = 0;
        pending = 0;
    }

    // Propagates the carries: digits 0 .. digits-2 end in [0, 2^32), the top one
    // carries the sign. The value is unchanged.
    void normalize()
    {
        for (int k = 0; k + 1 < digits; ++k) {
            const std::int64_t carry = w[k] >> 32;  // floor(w / 2^32), also for negative digits
            w[k] -= carry * (std::int64_t{1} << 32);
            w[k + 1] += carry;
        }
        pending = 0;
    }

    // The raw words, for a reduction across processes; normalize() before
    // handing them out, and again after writing into them.
    std::int64_t* data() { return w; }
    const std::int64_t* data() const { return w; }

    // The exact total rounded to the nearest double (ties to even): NaN when a
    // term was NaN or infinities of both signs met, an infinity when one was
    // added or the total exceeds the largest double.
    double value() const
    {
        if (w[nan_word] || (w[pos_inf_word] && w[neg_inf_word]))
            return std::numeric_limits<double>::quiet_NaN();
        if (w[pos_inf_word])
            return std::numeric_limits<double>::infinity();
        if (w[neg_inf_word])
            return -std::numeric_limits<double>::infinity();
        ExactSum t = *this;
        t.normalize();
        const bool negative = t.w[digits - 1] < 0;
        if (negative) {
            for (int k = 0; k < digits; ++k)
                t.w[k] = -t.w[k];
            t.normalize();
        }
        const double magnitude = t.rounded_magnitude();
        return negative ? -magnitude : magnitude;
    }

private:
    // x into the digits, the count of pending additions left to the caller.
    void deposit(double x)
    {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        const int field = static_cast<int>((bits >> 52) & 0x7ff);
        std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
        const bool negative = (bits >> 63) != 0;
        if (field == 0x7ff) {  // inf or NaN: counted, kept out of the digits
            ++w[m ? nan_word : negative ? neg_inf_word : pos_inf_word];
            return;
        }
        int pos = 0;  // position of the significand's lowest bit, in units of 2^-1074
        if (field != 0) {
            m |= std::uint64_t{1} << 52;
            pos = field - 1;
        }
        deposit_magnitude(m, pos, negative);
    }

    // v 2^pos (units of 2^-1074) into the digits, |v| < 2^63; the count of
    // pending additions left to the caller.
    void deposit_integer(std::int64_t v, int pos)
    {
        const bool negative = v < 0;
        deposit_magnitude(negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v), pos, negative);
    }

    // m 2^pos, m < 2^63, with the sign into three 32-bit digits.
    void deposit_magnitude(std::uint64_t m, int pos, bool negative)
    {
        const int k = pos >> 5;
        const int s = pos & 31;
        // m 2^s (below 2^95) in three 32-bit digits: the low 64 bits by one shift,
        // the bits from 64 up by m >> (64 - s), written so that s = 0 gives 0
        const std::uint64_t low = m << s;
        const auto d0 = static_cast<std::int64_t>(low & 0xffffffffu);
        const auto d1 = static_cast<std::int64_t>(low >> 32);
        const auto d2 = static_cast<std::int64_t>((m >> 1) >> (63 - s));
        // the sign without a branch: terms of either sign in random order are the
        // rule (energies, virials), and a mispredicted branch costs more than the
        // add; a zero term adds zeros
        const std::int64_t sign = -static_cast<std::int64_t>(negative);  // 0 or -1
        w[k] += (d0 ^ sign) - sign;
        w[k + 1] += (d1 ^ sign) - sign;
        w[k + 2] += (d2 ^ sign) - sign;
    }

    // Rows per flush of the buckets: 2^10 significands below 2^53 stay below 2^63.
    static constexpr std::size_t bucket_terms = 512;

    // This thread's buckets for Rows<K>: 2048 counters per component, zero when
    // not in use. Components lie `stride` apart, not a multiple of 4 KiB, so that
    // equal fields of two components do not share their low address bits.
    static constexpr int stride = 2048 + 16;
    struct Store {
        std::unique_ptr<std::int64_t[]> counters;
        bool busy = false;
    };
    template <int K>
    static Store& bucket_store()
    {
        thread_local Store store;
        if (!store.counters)
            store.counters.reset(new std::int64_t[static_cast<std::size_t>(K) * stride]());
        return store;
    }

    static constexpr int nan_word = digits, pos_inf_word = digits + 1, neg_inf_word = digits + 2;
    static constexpr std::int64_t max_pending = std::int64_t{1} << 30;

    // The non-negative normalised total, rounded to 53 significant bits.
    double rounded_magnitude() const
    {
        int h = digits - 1;
        while (h >= 0 && w[h] == 0)
            --h;
        if (h < 0)
            return 0.0;
        const int b = h >= 2 ? h - 2 : 0;  // the lowest of the (up to) three top digits
        unsigned __int128 top = 0;
        for (int k = h; k >= b; --k)
            top = (top << 32) | static_cast<std::uint64_t>(w[k]);
        bool sticky = false;  // any bit below the three top digits
        for (int k = 0; k < b; ++k)
            sticky = sticky || w[k] != 0;
        int width = 0;
        for (unsigned __int128 t = top; t; t >>= 1)
            ++width;
        int shift = width > 53 ? width - 53 : 0;
        std::uint64_t mant = static_cast<std::uint64_t>(top >> shift);
        if (shift > 0) {
            const unsigned __int128 rest = top & ((static_cast<unsigned __int128>(1) << shift) - 1);
            const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
            if (rest > half || (rest == half && (sticky || (mant & 1))))
                ++mant;
            if (mant == (std::uint64_t{1} << 53)) {
                mant >>= 1;
                ++shift;
            }
        }
        // With the top digit at 2^-1074 * 2^(32 h), a total of 53 bits or more has
        // its leading bit at 2^-1021 or above: a normal double, so ldexp is exact
        // (or overflows to infinity as it should).
        return std::ldexp(static_cast<double>(mant), 32 * b + shift - 1074);
    }

    std::int64_t w[words] = {};
    std::int64_t pending = 0;  // additions since the last normalize
};
