// Prefetching memory ahead of its use.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts bringing the cache lines that [from, from + bytes) touches towards
// the processor's caches; reads nothing, so it never faults or stalls.
inline void UT_prefetchRange(const void* from, std::size_t bytes) {
    constexpr std::size_t kLine = 64;
    // Counted from the line's start, so that the last line is not missed.
    const char* p = static_cast<const char*>(from);
    const std::size_t span = bytes + (reinterpret_cast<std::uintptr_t>(from) & (kLine - 1));
    for (std::size_t at = 0; at < span; at += kLine)
        __builtin_prefetch(p + at);
}

// Prefetches the lines of `lines` * 64 bytes from `from`: a fixed count,
// which the compiler unrolls. Covers an object of size bytes at any place
// within a line with (bytes + 63) / 64 + 1 lines.
template <std::size_t lines> inline void UT_prefetchLines(const void* from) {
    const char* p = static_cast<const char*>(from);
    for (std::size_t line = 0; line < lines; ++line)
        __builtin_prefetch(p + 64 * line);
}
