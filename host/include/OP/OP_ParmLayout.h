// OP_ParmLayout: what the nodes of one type share while their parameter
// lists have the same shape.
//
// A node's parameter list is fixed by its type and by the instance count of
// each of its lists (multi-parameters, nested ones included): its shape.
// Nodes of one shape have the same tokens at the same indices, so the index
// from token to parameter, and what each (token address, instance) the
// node's code asks for resolves to, are the same for all of them. The type
// keeps one layout per shape in use (OP_Operator::parmLayout); each node
// holds the one of its current shape, so a hundred thousand identical nodes
// share one index, and each token is resolved once for all of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct OP_ParmLayout {
    // What a (token address, instance) resolved to: a two-way set-associative
    // cache, most recently used entry first. A node's evaluation looks up about
    // twenty tokens, which two-way sets hold without evicting each other.
    // For a token whose text lies in read-only memory (which cannot change,
    // so its address alone finds the answer) an entry also gives where the
    // parameter's components lie in a node's component array, the same for
    // every node of the shape: a read of such a token finds the value with
    // no further lookup (OP_Parameters::knownComponent).
    // An entry is half a cache line, so that a set is one line.
    struct alignas(32) ResolvedToken {
        const char* token = nullptr;
        int instance = 0;
        int parm = -1;
        int firstComponent = 0;       // the parameter's first component in the node's array
        std::uint32_t components = 0; // its component count; 0 unless fixedText
        bool fixedText = false;       // the token's text lies in read-only memory
    };
    static constexpr int kResolvedSetBits = 7;
    static constexpr std::size_t kResolvedWays = 2;
    static constexpr std::size_t kResolvedSlots = kResolvedWays << kResolvedSetBits;
    // Filled as nodes of the shape resolve tokens. In the layout itself, so
    // that a read finds it from the layout's address alone, and first, so
    // that the layout's address is the array's.
    mutable std::array<ResolvedToken, kResolvedSlots> resolved{};

    // The shape: every list's instance count, in parameter order.
    std::vector<int> shape;

    // Token index: open addressing over a power-of-two table of slots, each
    // holding a token's hash and its parameter index (-1 for empty), at most
    // three quarters full.
    struct IndexSlot {
        std::uint32_t hash;
        int parm;
    };
    std::vector<IndexSlot> index;

    // The components the entries for read-only tokens point at, as runs
    // [first, end) of indices in a node's component array, in order, runs
    // less than a cache line apart merged: the part of the array the type's
    // own code reads, for a host that prefetches it before a cook
    // (host/private/OP_CookHints.h). Runs are only ever added, and at most
    // kMaxReadRuns: reads spread wider (a type that reads every instance of
    // a long list) leave readRuns empty for good, readsEverywhere set, and
    // a host prefetches the whole array.
    struct ComponentRun {
        std::uint32_t first;
        std::uint32_t end;
    };
    static constexpr std::size_t kMaxReadRuns = 32;
    mutable std::vector<ComponentRun> readRuns;
    mutable bool readsEverywhere = false;
    // Adds [first, end) to readRuns.
    void noteRead(std::uint32_t first, std::uint32_t end) const;
};
