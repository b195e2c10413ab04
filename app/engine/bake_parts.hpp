// A bake shared out by parts (engine/bake.hpp): by groups of a scene in
// memory, or by nodes of a scene's file (bake_plan.hpp). Each worker cooks
// a part at every sample: the parent straight into the bake, a forked
// worker into memory of its own, which the parent takes over once the part
// is done; the parent then hands the part's columns on.
#pragma once

#include "engine/bake_cook.hpp"
#include "engine/bake_result.hpp"
#include "engine/bake_workers.hpp"
#include "support/private_memory.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace mhost {

// Calls each(buffer) for the bake's local and world matrices, each when
// kept.
template <typename Each> void forEachBuffer(const BakeResult& result, const Each& each) {
    for (const auto& buffer : {result.local, result.world})
        if (buffer)
            each(*buffer);
}

// A forked worker's memory for its parts. Each part's is kept until the
// parent has taken the part over, then used again for a later part it holds:
// its pages are faulted in already, where fresh ones cost the kernel's
// zeroing of each.
class KeptMemory {
public:
    // Memory of at least doubles doubles for part p, faulted in.
    double* forPart(std::size_t p, std::size_t doubles, const CookedBy& cooked);

private:
    std::vector<std::pair<std::size_t, std::unique_ptr<PrivateMemory>>> held_;
    std::vector<std::unique_ptr<PrivateMemory>> spare_;
};

// Worker w cooks part p (its blocks, whose nodes take columns, none of them
// SIZE_MAX) at every sample: worker 0 straight into the bake, then calls
// handOn; a forked worker into memory of its own, the columns in that order
// (a 2 MiB page of the bake's would otherwise be written by both), which it
// hands over and announces.
void cookPart(long long w, std::size_t p, std::span<const CookBlock> blocks,
              const std::vector<std::size_t>& columns, const BakeResult& result,
              const BakeShared& shared, const CookedBy& cooked, Workers& children, KeptMemory& kept,
              const std::function<void()>& handOn);

// In the parent: takes over part p's columns if a worker cooked them, then
// hands them on to request.columnsReady in runs of adjacent columns.
void handOnColumns(const BakeRequest& request, const BakeResult& result,
                   const std::vector<std::size_t>& columns, const Workers& children,
                   const CookedBy& cooked, std::size_t p);

// The progress of a bake by parts to request.progress: samples done, whole.
void reportProgress(const BakeRequest& request, const BakeResult& result,
                    const BakeCounters& counters);

} // namespace mhost
