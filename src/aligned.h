// std::vector storage aligned to a cache line, for arrays read with wide loads.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

template <typename T>
struct CacheAligned {
    using value_type = T;
    static constexpr std::align_val_t alignment{64};

    CacheAligned() = default;
    template <typename U>
    CacheAligned(const CacheAligned<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), alignment)); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, alignment); }

    template <typename U>
    bool operator==(const CacheAligned<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const CacheAligned<U>&) const noexcept { return false; }
};

template <typename T>
using aligned_vector = std::vector<T, CacheAligned<T>>;
