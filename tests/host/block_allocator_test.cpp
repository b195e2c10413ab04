// The block allocator of node storage: blocks hold what is written to them,
// freed blocks serve later requests of their size, and what is in use is
// counted back to where it started; set aside while forked workers run, it
// makes blocks away from the memory of before, and gets that back after.
#include "UT/UT_BlockAllocator.h"

#include <UT_BlockCopies.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

TEST(BlockAllocator, BlocksKeepTheirContentAndAreCountedWhileInUse) {
    const std::size_t before = UT_blockBytesInUse();
    std::vector<std::pair<unsigned char*, std::size_t>> blocks;
    // Every size class, the large ones past the chunk size included.
    for (std::size_t size = 1; size <= (std::size_t(1) << 20); size = size * 3 / 2 + 1) {
        auto* block = static_cast<unsigned char*>(UT_BlockStorage::allocate(size));
        std::memset(block, static_cast<int>(size & 0xFF), size);
        blocks.emplace_back(block, size);
    }
    EXPECT_GT(UT_blockBytesInUse(), before);
    for (const auto& [block, size] : blocks) {
        for (std::size_t i = 0; i < size; i += 97)
            ASSERT_EQ(block[i], static_cast<unsigned char>(size & 0xFF)) << size;
        // Blocks do not overlap: the last byte is its own too.
        ASSERT_EQ(block[size - 1], static_cast<unsigned char>(size & 0xFF)) << size;
    }
    for (const auto& [block, size] : blocks)
        UT_BlockStorage::deallocate(block, size);
    EXPECT_EQ(UT_blockBytesInUse(), before);
}

TEST(BlockAllocator, ContainersGrowShrinkAndFreeThroughIt) {
    const std::size_t before = UT_blockBytesInUse();
    {
        std::vector<std::uint64_t, UT_BlockAllocator<std::uint64_t>> values;
        for (std::uint64_t i = 0; i < 100000; ++i)
            values.push_back(i * 7);
        for (std::uint64_t i = 0; i < values.size(); i += 1013)
            ASSERT_EQ(values[i], i * 7);
        values.resize(10);
        values.shrink_to_fit();
        EXPECT_EQ(values.back(), 63u);
    }
    EXPECT_EQ(UT_blockBytesInUse(), before);
}

// Under AddressSanitizer every block is an allocation of its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif
#else
constexpr bool kPooled = true;
#endif

TEST(BlockAllocator, EachArenaReusesOnlyItsOwnFreedBlocks) {
    const std::size_t before = UT_blockBytesInUse();
    void* cook = UT_BlockStorage::allocate(200, UT_BlockArena::Values);
    UT_BlockStorage::deallocate(cook, 200, UT_BlockArena::Values);
    void* other = UT_BlockStorage::allocate(200, UT_BlockArena::Other);
    void* again = UT_BlockStorage::allocate(200, UT_BlockArena::Values);
    if (kPooled) {
        EXPECT_NE(other, cook);
        EXPECT_EQ(again, cook);
    }
    UT_BlockStorage::deallocate(other, 200, UT_BlockArena::Other);
    UT_BlockStorage::deallocate(again, 200, UT_BlockArena::Values);
    EXPECT_EQ(UT_blockBytesInUse(), before);
    {
        std::vector<int, UT_BlockAllocator<int, UT_BlockArena::Other>> values(1000, 7);
        EXPECT_EQ(values[999], 7);
    }
    EXPECT_EQ(UT_blockBytesInUse(), before);
}

// While set aside, a request is served from new memory, not a block freed
// before; after, the blocks freed before and during both serve requests.
TEST(BlockAllocator, SetAsideItServesNewMemoryAndAfterAllItsFreedBlocks) {
    if (!kPooled)
        GTEST_SKIP() << "every block is an allocation of its own here";
    const std::size_t before = UT_blockBytesInUse();
    void* old = UT_BlockStorage::allocate(300);
    UT_BlockStorage::deallocate(old, 300);
    void* during = nullptr;
    {
        UT_BlockStorageAside aside;
        during = UT_BlockStorage::allocate(300);
        EXPECT_NE(during, old) << "a block freed before the workers started was reused";
        UT_BlockStorage::deallocate(during, 300);
        void* again = UT_BlockStorage::allocate(300);
        EXPECT_EQ(again, during) << "blocks freed meanwhile serve requests meanwhile";
        UT_BlockStorage::deallocate(again, 300);
    }
    // Both come back before any new memory does (other tests of this
    // program may have freed blocks of this size as well).
    std::vector<void*> after;
    bool sawOld = false, sawDuring = false;
    while (!(sawOld && sawDuring) && after.size() < 10000) {
        after.push_back(UT_BlockStorage::allocate(300));
        sawOld = sawOld || after.back() == old;
        sawDuring = sawDuring || after.back() == during;
    }
    EXPECT_TRUE(sawOld) << "the blocks freed before were lost";
    EXPECT_TRUE(sawDuring) << "the blocks freed meanwhile were lost";
    for (void* block : after)
        UT_BlockStorage::deallocate(block, 300);
    EXPECT_EQ(UT_blockBytesInUse(), before);
}

} // namespace
