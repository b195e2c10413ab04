#include "engine/bake_parts.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <unordered_map>

namespace mhost {

namespace {

// Calls run(first, end) for each run of adjacent columns first..end - 1, in
// the order given; SIZE_MAX (a node loaded, not baked) is skipped.
template <typename Run> void forEachRun(const std::vector<std::size_t>& columns, const Run& run) {
    std::size_t first = SIZE_MAX, end = 0; // the run so far
    for (const std::size_t column : columns) {
        if (column == SIZE_MAX)
            continue;
        if (column != end && first != SIZE_MAX) {
            run(first, end);
            first = SIZE_MAX;
        }
        if (first == SIZE_MAX)
            first = column;
        end = column + 1;
    }
    if (first != SIZE_MAX)
        run(first, end);
}

// Pre-faults the pages of the matrices that columns take at every sample,
// and few others: a worker of a bake by groups or nodes writes only the
// columns of its parts, and its own pages are all it needs mapped.
void populateColumns(const BakeResult& result, const std::vector<std::size_t>& columns) {
    std::size_t first = SIZE_MAX, end = 0;
    for (const std::size_t column : columns)
        if (column != SIZE_MAX) {
            first = std::min(first, column);
            end = std::max(end, column + 1);
        }
    if (first >= end)
        return;
    for (std::size_t f = 0; f < result.frames(); ++f)
        forEachBuffer(result, [&](const BakeBuffer& buffer) {
            buffer.populateDoubles((f * result.names.size() + first) * 16, (end - first) * 16);
        });
}

// Calls pass(buffer, at, count, own) for each run of adjacent columns at
// each sample, in each buffer kept: doubles [at, at + count) of the bake,
// which a forked worker's part memory holds `own` doubles in (world then
// local, at each sample the part's columns in order).
template <typename Pass>
void forEachPartRange(const BakeResult& result, const std::vector<std::size_t>& columns,
                      const Pass& pass) {
    const auto n = static_cast<std::size_t>(
        std::count_if(columns.begin(), columns.end(), [](std::size_t c) { return c != SIZE_MAX; }));
    const std::size_t frames = result.frames(), width = result.names.size();
    std::size_t k = 0; // the run's first column in the part
    forEachRun(columns, [&](std::size_t first, std::size_t end) {
        const std::size_t count = (end - first) * 16;
        for (std::size_t f = 0; f < frames; ++f) {
            pass(*result.world, (f * width + first) * 16, count, (f * n + k) * 16);
            if (result.local)
                pass(*result.local, (f * width + first) * 16, count, ((frames + f) * n + k) * 16);
        }
        k += end - first;
    });
}

} // namespace

double* KeptMemory::forPart(std::size_t p, std::size_t doubles, const CookedBy& cooked) {
    for (auto at = held_.begin(); at != held_.end();)
        if (cooked.worker(at->first) == 0) {
            spare_.push_back(std::move(at->second));
            at = held_.erase(at);
        } else {
            ++at;
        }
    const std::size_t bytes = doubles * sizeof(double);
    // The smallest spare that holds the part; none: a new one, the
    // spares given back first (they fit no part so far as large).
    auto fits = spare_.end();
    for (auto at = spare_.begin(); at != spare_.end(); ++at)
        if ((*at)->size() >= bytes && (fits == spare_.end() || (*at)->size() < (*fits)->size()))
            fits = at;
    if (fits == spare_.end()) {
        spare_.clear();
        held_.emplace_back(p, std::make_unique<PrivateMemory>(bytes, "the bake"));
        held_.back().second->populate(0, bytes);
    } else {
        held_.emplace_back(p, std::move(*fits));
        spare_.erase(fits);
    }
    return reinterpret_cast<double*>(held_.back().second->data());
}

void cookPart(long long w, std::size_t p, std::span<const CookBlock> blocks,
              const std::vector<std::size_t>& columns, const BakeResult& result,
              const BakeShared& shared, const CookedBy& cooked, Workers& children, KeptMemory& kept,
              const std::function<void()>& handOn) {
    BakeCounters& counters = shared.counters();
    if (w == 0) {
        populateColumns(result, columns);
        cookSamples(blocks, result, resultTarget(result), 0, result.frames(), counters,
                    shared.report(w));
    } else {
        const std::size_t n = columns.size(), perMatrix = result.frames() * n * 16;
        double* const own = kept.forPart(p, perMatrix * (result.local ? 2 : 1), cooked);
        // The same blocks, each column its place in columns (blocks may hold
        // the nodes in another order).
        std::unordered_map<std::size_t, std::size_t> place;
        for (std::size_t k = 0; k < n; ++k)
            place.emplace(columns[k], k);
        std::vector<CookBlock> local(blocks.begin(), blocks.end());
        for (CookBlock& block : local)
            for (std::size_t& column : block.columns)
                column = place.at(column);
        const CookTarget target{result.local ? own + perMatrix : nullptr, own, n, columns};
        cookSamples(local, result, target, 0, result.frames(), counters, shared.report(w));
        forEachPartRange(result, columns,
                         [&](const BakeBuffer& buffer, std::size_t at, std::size_t count,
                             std::size_t from) { buffer.handOver(own + from, at, count); });
        cooked.mark(p, w, own);
    }
    std::size_t cooks = 0;
    for (const CookBlock& block : blocks)
        cooks += block.nodes.size() * result.frames();
    counters.samplesDone.fetch_add(static_cast<long long>(cooks));
    if (w == 0) {
        cooked.mark(p, 0);
        handOn();
    } else {
        children.partDone();
    }
}

void handOnColumns(const BakeRequest& request, const BakeResult& result,
                   const std::vector<std::size_t>& columns, const Workers& children,
                   const CookedBy& cooked, std::size_t p) {
    if (const long long w = cooked.worker(p); w > 0) {
        const double* from = cooked.matrices(p);
        forEachPartRange(
            result, columns,
            [&](const BakeBuffer& buffer, std::size_t at, std::size_t count, std::size_t own) {
                buffer.takeOver(at, count, children.pid(w), from + own);
            });
        cooked.mark(p, 0);
    }
    if (request.columnsReady)
        forEachRun(columns, [&](std::size_t first, std::size_t end) {
            request.columnsReady(result, first, end);
        });
}

void reportProgress(const BakeRequest& request, const BakeResult& result,
                    const BakeCounters& counters) {
    if (request.progress)
        request.progress(static_cast<std::size_t>(counters.samplesDone.load()) /
                             result.names.size(),
                         result.frames());
}

} // namespace mhost
