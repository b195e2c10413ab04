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

#include <cstddef>
#include <cstdint>
#include <vector>

struct OP_ParmLayout {
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

    // What a (token address, instance) resolved to: a two-way set-associative
    // cache, most recently used entry first. A node's evaluation looks up about
    // twenty tokens, which two-way sets hold without evicting each other.
    struct ResolvedToken {
        const char* token = nullptr;
        int instance = 0;
        int parm : 31 = -1;
        bool fixedText : 1 = false; // the token's text lies in read-only memory
    };
    static constexpr int kResolvedSetBits = 7;
    static constexpr std::size_t kResolvedWays = 2;
    static constexpr std::size_t kResolvedSlots = kResolvedWays << kResolvedSetBits;
    // Filled as nodes of the shape resolve tokens.
    mutable std::vector<ResolvedToken> resolved = std::vector<ResolvedToken>(kResolvedSlots);
};
