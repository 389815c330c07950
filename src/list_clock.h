// Wall time this process has spent building neighbour lists, all cells
// together: a benchmark reads it to give the list build's share of a run.
#pragma once

#include <atomic>
#include <chrono>

namespace list_clock {

inline std::atomic<long long>& nanoseconds()
{
    static std::atomic<long long> total{0};
    return total;
}

inline double seconds() { return 1e-9 * static_cast<double>(nanoseconds().load(std::memory_order_relaxed)); }

// Adds its own lifetime to the total (two clock reads per build, against the
// build's milliseconds).
class Scope {
public:
    Scope() : start(std::chrono::steady_clock::now()) {}
    ~Scope()
    {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        nanoseconds().fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count(),
                                std::memory_order_relaxed);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    std::chrono::steady_clock::time_point start;
};

}  // namespace list_clock
