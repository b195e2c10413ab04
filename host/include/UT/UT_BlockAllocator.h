// UT_BlockAllocator: the allocator of the host's per-node storage (each
// node's parameters, components and token index).
//
// A scene of a hundred thousand nodes holds close to a gigabyte of such
// arrays, in blocks of one to a few kilobytes that are made and dropped
// together as nodes are built, edited and removed. The allocator serves them
// from 2 MiB chunks that the kernel backs with huge pages where it can (one
// page fault per chunk, not one per 4 KiB), in size classes with free lists,
// so that rebuilding an array reuses the block another one left. Memory goes
// back to the chunks, not to the system.
//
// Like every node operation, it is used from the host's thread only.
#pragma once

#include <cstddef>
#include <new>

// Bytes handed out by UT_BlockAllocator and not yet given back.
std::size_t UT_blockBytesInUse();

namespace UT_BlockStorage {
void* allocate(std::size_t bytes);
void deallocate(void* block, std::size_t bytes) noexcept;
} // namespace UT_BlockStorage

template <typename T> struct UT_BlockAllocator {
    using value_type = T;

    UT_BlockAllocator() = default;
    template <typename U> UT_BlockAllocator(const UT_BlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(UT_BlockStorage::allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { UT_BlockStorage::deallocate(p, n * sizeof(T)); }

    template <typename U> bool operator==(const UT_BlockAllocator<U>&) const noexcept {
        return true;
    }
};
