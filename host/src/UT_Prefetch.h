// Prefetching memory ahead of its use.
#pragma once

#include <cstddef>

// Starts bringing the cache lines of [from, from + bytes) towards the
// processor's caches; reads nothing, so it never faults or stalls.
inline void UT_prefetchRange(const void* from, std::size_t bytes) {
    constexpr std::size_t kLine = 64;
    const char* p = static_cast<const char*>(from);
    for (std::size_t at = 0; at < bytes; at += kLine)
        __builtin_prefetch(p + at);
}
