#include "UT/UT_BlockAllocator.h"

#include "UT_BlockCopies.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/mman.h>

namespace {

constexpr std::size_t kChunk = std::size_t(2) << 20; // a huge page
constexpr std::size_t kSmallest = 32;
constexpr std::size_t kLargest = std::size_t(256) << 10; // larger blocks go to operator new
// Classes at powers of two and halfway between (32, 48, 64, 96, ...): a
// block wastes at most a third of itself.
constexpr int kClasses = 2 * (std::bit_width(kLargest) - std::bit_width(kSmallest)) + 1;

struct FreeBlock {
    FreeBlock* next;
};

struct Arena {
    FreeBlock* freeLists[kClasses] = {};
    FreeBlock* freeTails[kClasses] = {}; // each list's last block
    char* next = nullptr;                // the unused rest of the current chunk
    char* end = nullptr;
};

struct Storage {
    Arena arenas[3]; // by UT_BlockArena
    Arena aside[3];  // while a UT_BlockStorageAside lives
    std::size_t inUse = 0;
    std::vector<std::uintptr_t> chunks; // every chunk's first address, sorted
};

Storage& storage() {
    // Never destroyed: nodes may be freed by static destructors.
    static Storage* instance = new Storage;
    return *instance;
}

int classOf(std::size_t bytes) {
    if (bytes <= kSmallest)
        return 0;
    const int power = std::bit_width(bytes - 1); // 2^power >= bytes
    const std::size_t full = std::size_t(1) << power;
    const int base = 2 * (power - std::bit_width(kSmallest - 1));
    return bytes <= full - full / 4 ? base - 1 : base;
}

std::size_t classSize(int cls) {
    const std::size_t full = kSmallest << ((cls + 1) / 2);
    return cls % 2 ? full - full / 4 : full;
}

// A chunk's memory, 2 MiB aligned so that the kernel can back it with one
// huge page, requested with madvise (transparent huge pages in "madvise"
// mode); 0 when none can be mapped.
std::uintptr_t mapChunk() {
    void* mapped =
        ::mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return 0;
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + kChunk - 1) & ~(kChunk - 1);
    if (aligned > start)
        ::munmap(mapped, aligned - start);
    ::munmap(reinterpret_cast<void*>(aligned + kChunk), start + kChunk - aligned);
    ::madvise(reinterpret_cast<void*>(aligned), kChunk, MADV_HUGEPAGE);
    return aligned;
}

bool newChunk(Storage& s, Arena& a) {
    const std::uintptr_t chunk = mapChunk();
    if (chunk == 0)
        return false;
    s.chunks.insert(std::upper_bound(s.chunks.begin(), s.chunks.end(), chunk), chunk);
    a.next = reinterpret_cast<char*>(chunk);
    a.end = a.next + kChunk;
    return true;
}

} // namespace

std::size_t UT_blockBytesInUse() {
    return storage().inUse;
}

// Under AddressSanitizer every block is its own allocation, so that the
// sanitizer sees each one's bounds and lifetime.
#if defined(__SANITIZE_ADDRESS__)
#define UT_BLOCKS_FROM_OPERATOR_NEW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UT_BLOCKS_FROM_OPERATOR_NEW 1
#endif
#endif
#ifndef UT_BLOCKS_FROM_OPERATOR_NEW
#define UT_BLOCKS_FROM_OPERATOR_NEW 0
#endif

void* UT_BlockStorage::allocate(std::size_t bytes) {
    return allocate(bytes, UT_BlockArena::Nodes);
}

void UT_BlockStorage::deallocate(void* block, std::size_t bytes) noexcept {
    deallocate(block, bytes, UT_BlockArena::Nodes);
}

void* UT_BlockStorage::allocate(std::size_t bytes, UT_BlockArena arena) {
    Storage& s = storage();
    if (UT_BLOCKS_FROM_OPERATOR_NEW || bytes > kLargest) {
        void* block = ::operator new(bytes);
        s.inUse += bytes;
        return block;
    }
    Arena& a = s.arenas[static_cast<int>(arena)];
    const int cls = classOf(bytes);
    const std::size_t size = classSize(cls);
    if (FreeBlock* block = a.freeLists[cls]) {
        a.freeLists[cls] = block->next;
        if (!block->next)
            a.freeTails[cls] = nullptr;
        s.inUse += size;
        return block;
    }
    if (static_cast<std::size_t>(a.end - a.next) < size && !newChunk(s, a))
        throw std::bad_alloc();
    void* block = a.next;
    a.next += size;
    s.inUse += size;
    return block;
}

void UT_BlockStorage::deallocate(void* block, std::size_t bytes, UT_BlockArena arena) noexcept {
    if (!block)
        return;
    Storage& s = storage();
    if (UT_BLOCKS_FROM_OPERATOR_NEW || bytes > kLargest) {
        ::operator delete(block);
        s.inUse -= bytes;
        return;
    }
    Arena& a = s.arenas[static_cast<int>(arena)];
    const int cls = classOf(bytes);
    s.inUse -= classSize(cls);
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = a.freeLists[cls];
    if (!freed->next)
        a.freeTails[cls] = freed;
    a.freeLists[cls] = freed;
}

void UT_blockStorageInForkedChild() {
    for (Arena& a : storage().arenas)
        a = Arena{};
}

UT_BlockStorageAside::UT_BlockStorageAside() {
    Storage& s = storage();
    for (int i = 0; i < 3; ++i) {
        s.aside[i] = s.arenas[i];
        s.arenas[i] = Arena{};
    }
}

UT_BlockStorageAside::~UT_BlockStorageAside() {
    Storage& s = storage();
    for (int i = 0; i < 3; ++i) {
        Arena& now = s.arenas[i];
        const Arena& before = s.aside[i];
        for (int cls = 0; cls < kClasses; ++cls)
            if (before.freeLists[cls]) {
                before.freeTails[cls]->next = now.freeLists[cls];
                if (!now.freeTails[cls])
                    now.freeTails[cls] = before.freeTails[cls];
                now.freeLists[cls] = before.freeLists[cls];
            }
        // Of the two chunk rests, the larger goes on; the other is not used
        // again (at most a chunk an arena, once a bake).
        if (before.end - before.next > now.end - now.next) {
            now.next = before.next;
            now.end = before.end;
        }
        s.aside[i] = Arena{};
    }
}

void UT_BlockCopies::own(const void* block) {
    const auto chunk = reinterpret_cast<std::uintptr_t>(block) & ~(kChunk - 1);
    const std::vector<std::uintptr_t>& chunks = storage().chunks;
    if (!std::binary_search(chunks.begin(), chunks.end(), chunk))
        return; // not from a chunk (a large block, or a sanitized build)
    const auto done = std::lower_bound(myOwned.begin(), myOwned.end(), chunk);
    if (done != myOwned.end() && *done == chunk)
        return;
    // The copy: fresh memory populated in one call, filled, and moved over
    // the chunk, huge page and all. Without memory for it, the chunk stays
    // shared, which costs time, not correctness.
    const std::uintptr_t fresh = mapChunk();
    if (fresh == 0)
        return;
    auto* to = reinterpret_cast<void*>(fresh);
    auto* from = reinterpret_cast<void*>(chunk);
    if (::madvise(to, kChunk, MADV_POPULATE_WRITE) != 0 && errno != EINVAL) {
        ::munmap(to, kChunk);
        return;
    }
    std::memcpy(to, from, kChunk);
    if (::mremap(to, kChunk, kChunk, MREMAP_MAYMOVE | MREMAP_FIXED, from) == MAP_FAILED) {
        ::munmap(to, kChunk);
        return;
    }
    myOwned.insert(done, chunk);
}
