#include "OP/OP_ParmLayout.h"

#include "PRM/PRM_Parm.h"

#include <algorithm>

void OP_ParmLayout::noteRead(std::uint32_t first, std::uint32_t end) const {
    if (first >= end)
        return;
    // Components closer than this are on one cache line, or the next.
    constexpr std::uint32_t kLine = 64 / sizeof(PRM_Component);
    const auto at = std::lower_bound(
        readRuns.begin(), readRuns.end(), first,
        [](const ComponentRun& run, std::uint32_t value) { return run.first < value; });
    readRuns.insert(at, ComponentRun{first, end});
    std::size_t kept = 0;
    for (std::size_t i = 1; i < readRuns.size(); ++i) {
        ComponentRun& last = readRuns[kept];
        if (readRuns[i].first <= last.end + kLine)
            last.end = std::max(last.end, readRuns[i].end);
        else
            readRuns[++kept] = readRuns[i];
    }
    readRuns.resize(kept + 1);
}
