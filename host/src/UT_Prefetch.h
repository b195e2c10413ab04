// Prefetching memory ahead of its use.
#pragma once

#include <cstddef>
#include <cstdint>

// The processor's cache line, the unit prefetches bring in.
inline constexpr std::size_t UT_kCacheLine = 64;

// How many lines an object of `bytes` touches at most, wherever it starts
// within a line.
constexpr std::size_t UT_linesTouched(std::size_t bytes) {
    return (bytes + UT_kCacheLine - 1) / UT_kCacheLine + 1;
}

// Starts bringing the cache lines that [from, from + bytes) touches towards
// the processor's caches; reads nothing, so it never faults or stalls.
inline void UT_prefetchRange(const void* from, std::size_t bytes) {
    // Counted from the line's start, so that the last line is not missed.
    const char* p = static_cast<const char*>(from);
    const std::size_t span = bytes + (reinterpret_cast<std::uintptr_t>(from) & (UT_kCacheLine - 1));
    for (std::size_t at = 0; at < span; at += UT_kCacheLine)
        __builtin_prefetch(p + at);
}

// Prefetches `lines` lines from `from`: a fixed count, which the compiler
// unrolls (see UT_linesTouched).
template <std::size_t lines> inline void UT_prefetchLines(const void* from) {
    const char* p = static_cast<const char*>(from);
    for (std::size_t line = 0; line < lines; ++line)
        __builtin_prefetch(p + UT_kCacheLine * line);
}
