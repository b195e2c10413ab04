#include "engine/bake_cook.hpp"

#include "engine/evaluation.hpp"
#include "support/errors.hpp"
#include "support/private_memory.hpp"
#include "support/text.hpp"

#include <OP_CookHints.h>
#include <OP_CookRun.h>

#include <algorithm>
#include <cstring>

namespace mhost {

void WorkerReport::record(long long at, int exitCode, const std::string& text) {
    if (at >= failedAt)
        return;
    failedAt = at;
    code = exitCode;
    const std::size_t length = std::min(text.size(), sizeof(message) - 1);
    std::memcpy(message, text.data(), length);
    message[length] = '\0';
}

BakeShared::BakeShared() : state_("the bake") {}

WorkerReport& BakeShared::report(long long worker) const {
    return state_->reports[static_cast<std::size_t>(worker)];
}

namespace {
bool isLoad(long long failedAt) {
    return failedAt < 0 && failedAt != kWriteFailed;
}

// A slice's matrices over a run of samples, put to a sink: a few megabytes,
// so that its pages stay in the processor's caches from the cook to the
// sink.
constexpr std::size_t kSliceBytes = std::size_t(4) << 20;
} // namespace

bool BakeShared::loadFailed(long long workers) const {
    for (long long w = 0; w < workers; ++w)
        if (isLoad(report(w).failedAt))
            return true;
    return false;
}

void BakeShared::rethrow(long long workers) const {
    const WorkerReport* load = nullptr;
    for (long long w = 0; w < workers; ++w)
        if (isLoad(report(w).failedAt) && (!load || report(w).failedAt < load->failedAt))
            load = &report(w);
    if (load) {
        if (load->code == kExitBadInput)
            throw InputError(load->message);
        throw RunError(load->message);
    }
    for (long long w = 0; w < workers; ++w)
        if (report(w).failedAt == kWriteFailed)
            throw RunError(report(w).message);
    const long long first = counters().firstFailure.load();
    for (long long w = 0; w < workers && first != LLONG_MAX; ++w)
        if (report(w).failedAt == first)
            throw RunError(std::string(report(w).message) + "; nothing was written");
}

CookTarget resultTarget(const BakeResult& result) {
    return {result.local ? result.local->data() : nullptr,
            result.world->data(),
            result.names.size(),
            {}};
}

void cookSamples(std::span<const CookBlock> blocks, const BakeResult& result,
                 const CookTarget& target, std::size_t first, std::size_t end,
                 BakeCounters& counters, WorkerReport& report) {
    double* const local = target.local;
    double* const world = target.world;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const CookBlock& block = blocks[b];
        const CookBlock* next = b + 1 < blocks.size() ? &blocks[b + 1] : nullptr;
        for (std::size_t frame = first; frame < end; ++frame) {
            OP_CookRun run(static_cast<float>(result.times[frame]));
            for (std::size_t n = 0; n < block.nodes.size(); ++n) {
                // The block's first sample prefetches its nodes (see
                // cookAll); its last, the next block's first.
                if (frame == first)
                    prefetchAhead(block.nodes, n);
                if (frame + 1 == end && next && n + kCookAhead >= block.nodes.size()) {
                    const std::size_t k = n + kCookAhead - block.nodes.size();
                    if (k < next->nodes.size())
                        OP_CookHints::prefetchForCook(*next->nodes[k]);
                }
                OBJ_Node& node = *block.nodes[n];
                const std::size_t at =
                    (frame - target.firstSample) * target.width + block.columns[n];
                if (run.cook(node) >= UT_ERROR_ABORT) {
                    const std::size_t column = target.bakeColumns.empty()
                                                   ? block.columns[n]
                                                   : target.bakeColumns[block.columns[n]];
                    long long seen = counters.firstFailure.load();
                    const auto place = static_cast<long long>(frame * result.names.size() + column);
                    while (place < seen &&
                           !counters.firstFailure.compare_exchange_weak(seen, place)) {
                    }
                    std::string why;
                    for (const OP_ErrorEntry& e : node.getErrors())
                        if (e.severity >= UT_ERROR_ABORT && why.empty())
                            why = ": " + e.message;
                    report.record(place, kExitRunFailure,
                                  "cooking " + describeNode(node) + " at time " +
                                      formatShortest(result.times[frame]) + " failed" + why);
                }
                if (local)
                    std::memcpy(local + at * 16, node.getLocalTransform().data(), sizeof(Matrix16));
                std::memcpy(world + at * 16, node.getWorldTransform().data(), sizeof(Matrix16));
            }
        }
    }
}

void cookIntoSink(std::span<const CookBlock> blocks, const BakeResult& result, BakeSink& sink,
                  std::unique_ptr<PrivateMemory>& scratch, BakeCounters& counters,
                  WorkerReport& report, std::size_t first, std::size_t end) {
    const std::size_t frames = end - first, matrixBytes = 16 * sizeof(double);
    std::vector<CookBlock> slice;
    std::vector<std::size_t> columns; // the slice's, in its blocks' order
    for (std::size_t b = 0; b < blocks.size();) {
        slice.clear();
        columns.clear();
        // Whole blocks, at least one: a node's cook reads its parent's at
        // the same sample.
        do {
            CookBlock block{blocks[b].nodes, {}};
            for (const std::size_t column : blocks[b].columns) {
                block.columns.push_back(columns.size());
                columns.push_back(column);
            }
            slice.push_back(std::move(block));
            ++b;
        } while (b < blocks.size() &&
                 (columns.size() + blocks[b].nodes.size()) * frames * matrixBytes <= kSliceBytes);
        const std::size_t n = columns.size();
        const std::size_t samples =
            std::clamp<std::size_t>(kSliceBytes / (n * matrixBytes), 1, frames);
        if (!scratch || scratch->size() < n * samples * matrixBytes) {
            scratch.reset(); // the old memory goes back first
            scratch = std::make_unique<PrivateMemory>(
                std::max(n * samples * matrixBytes, kSliceBytes), "the bake");
            scratch->populate(0, scratch->size());
        }
        auto* world = reinterpret_cast<double*>(scratch->data());
        for (std::size_t from = first; from < end; from += samples) {
            const std::size_t to = std::min(end, from + samples);
            cookSamples(slice, result, {nullptr, world, n, columns, from}, from, to, counters,
                        report);
            for (std::size_t k = 0; k < n;) {
                std::size_t after = k + 1;
                while (after < n && columns[after] == columns[after - 1] + 1)
                    ++after;
                for (std::size_t f = from; f < to; ++f)
                    sink.put(f, columns[k], after - k, world + ((f - from) * n + k) * 16);
                k = after;
            }
        }
    }
}

} // namespace mhost
