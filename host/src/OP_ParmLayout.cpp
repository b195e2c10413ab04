#include "OP/OP_ParmLayout.h"

#include "PRM/PRM_Parm.h"
#include "UT_Prefetch.h"

#include <algorithm>
#include <iterator>

void OP_ParmLayout::noteRead(std::uint32_t first, std::uint32_t end) const {
    if (first >= end || readsEverywhere)
        return;
    // Components closer than this are on one cache line, or the next.
    constexpr std::uint32_t kLine = UT_kCacheLine / sizeof(PRM_Component);
    const auto after = std::upper_bound(
        readRuns.begin(), readRuns.end(), first,
        [](std::uint32_t value, const ComponentRun& run) { return value < run.first; });
    // Already within a run: the usual case once a shape's reads are known.
    if (after != readRuns.begin() && std::prev(after)->end >= end)
        return;
    readRuns.insert(after, ComponentRun{first, end});
    std::size_t kept = 0;
    for (std::size_t i = 1; i < readRuns.size(); ++i) {
        ComponentRun& last = readRuns[kept];
        if (readRuns[i].first <= last.end + kLine)
            last.end = std::max(last.end, readRuns[i].end);
        else
            readRuns[++kept] = readRuns[i];
    }
    readRuns.resize(kept + 1);
    if (readRuns.size() > kMaxReadRuns) {
        readRuns.clear();
        readRuns.shrink_to_fit();
        readsEverywhere = true;
    }
}
