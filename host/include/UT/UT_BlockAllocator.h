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
// Three arenas, each with chunks and free lists of its own: the nodes
// themselves (what a cook writes: its matrices and stamps), their parameter
// values (what a cook reads) and the rest (the parameter records, which a
// cook does not read). A cook of the nodes in the order they were made
// streams through the first two with nothing else in between, and a worker
// process that cooks some of them writes only the chunks of their nodes.
//
// Like every node operation, it is used from the host's thread only.
#pragma once

#include <cstddef>
#include <new>

// Bytes handed out by UT_BlockAllocator and not yet given back.
std::size_t UT_blockBytesInUse();

enum class UT_BlockArena : unsigned char { Nodes, Values, Other };

namespace UT_BlockStorage {
// From the nodes' arena.
void* allocate(std::size_t bytes);
void deallocate(void* block, std::size_t bytes) noexcept;
void* allocate(std::size_t bytes, UT_BlockArena arena);
void deallocate(void* block, std::size_t bytes, UT_BlockArena arena) noexcept;
} // namespace UT_BlockStorage

template <typename T, UT_BlockArena Arena = UT_BlockArena::Values> struct UT_BlockAllocator {
    using value_type = T;
    template <typename U> struct rebind { using other = UT_BlockAllocator<U, Arena>; };

    UT_BlockAllocator() = default;
    template <typename U> UT_BlockAllocator(const UT_BlockAllocator<U, Arena>&) noexcept {}

    T* allocate(std::size_t n) {
        return static_cast<T*>(UT_BlockStorage::allocate(n * sizeof(T), Arena));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        UT_BlockStorage::deallocate(p, n * sizeof(T), Arena);
    }

    template <typename U> bool operator==(const UT_BlockAllocator<U, Arena>&) const noexcept {
        return true;
    }
};
