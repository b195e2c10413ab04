// The check that nodes are made and destroyed without leaking.
#include "validate/check_groups.hpp"

#include "validate/check_support.hpp"

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
#define MHOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MHOST_ASAN 1
#endif
#endif
#ifdef MHOST_ASAN
// The sanitizer runtime's count of the heap in use (GCC ships no header
// that declares it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace mhost::validation {

namespace {

// Bytes of heap in use: the sanitizer's count under AddressSanitizer,
// else the C library's.
std::size_t heapBytesInUse() {
#ifdef MHOST_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

} // namespace

void checkCreateDestroy(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        const auto round = [&](int n, int order) {
            std::vector<OP_Node*> nodes;
            for (int i = 0; i < n; ++i) {
                OP_Node& node = bench.make(*type);
                if (!nodes.empty() && node.nInputs() > 0)
                    node.setInput(0, nodes.back());
                nodes.push_back(&node);
            }
            if (order == 1)
                std::reverse(nodes.begin(), nodes.end());
            else if (order == 2)
                std::shuffle(nodes.begin(), nodes.end(), s.random);
            for (OP_Node* node : nodes)
                bench.destroy(*node);
            // The nulls made for required inputs go too.
            bench.scene().root().destroyAllNodes();
        };
        round(10, 0); // warm-up: shared layouts and caches are made once
        const std::size_t storage = UT_blockBytesInUse();
        const std::size_t heap = heapBytesInUse();
        constexpr int kNodes = 10, kRepeats = 3 * kRounds;
        for (int r = 0; r < kRepeats; ++r)
            round(kNodes, r % 3);
        const std::string made =
            "after " + std::to_string(kNodes * kRepeats) + " nodes were made and destroyed";
        if (UT_blockBytesInUse() != storage)
            fail(typeName(*type) + ": " + std::to_string(UT_blockBytesInUse() - storage) +
                 " bytes of the host's node storage are not given back " + made);
        // A little slack for the C library's own bookkeeping; a leak of a
        // few bytes per node is well above it.
        const std::size_t grown = heapBytesInUse() - std::min(heapBytesInUse(), heap);
        if (grown > 1024)
            fail(typeName(*type) + ": the heap grew by " + std::to_string(grown) + " bytes " +
                 made + " (a leak of about " + std::to_string(grown / (kNodes * kRepeats)) +
                 " bytes a node)");
    }
}

} // namespace mhost::validation
