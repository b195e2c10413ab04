#include "engine/bake.hpp"

#include "engine/bake_cook.hpp"
#include "engine/bake_parts.hpp"
#include "engine/bake_plan.hpp"
#include "engine/bake_workers.hpp"
#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/private_memory.hpp"

#include <UT_BlockCopies.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace mhost {

namespace {

// The matrices, handed over from forked workers when more than one process
// will cook.
void allocate(BakeResult& result, const BakeRequest& request, long long workers) {
    const std::size_t doubles = result.frames() * result.names.size() * 16;
    const Handover handover = workers > 1 ? handoverForWorkers() : Handover::None;
    if (request.keepLocal)
        result.local = std::make_shared<BakeBuffer>(doubles, handover);
    result.world = std::make_shared<BakeBuffer>(doubles, handover);
}

// Room for the names, types and parents of a bake of n nodes, taken at
// once: each step of a vector's growth is fresh memory, faulted in again.
void reserveColumns(BakeResult& result, std::size_t n) {
    result.names.reserve(n);
    result.types.reserve(n);
    result.parents.reserve(n);
}

// The request's sink when it takes the bake's matrices (see
// BakeRequest::sink), else null: the bake keeps them.
BakeSink* sinkFor(const BakeRequest& request, const BakeResult& result) {
    return request.sink && !request.keepLocal && request.sink->begin(result) ? request.sink
                                                                             : nullptr;
}

// Runs put, which cooks a piece of the bake into the sink, unless this
// worker's write failed before: whether the piece was put. A failed write
// is recorded, and the bake fails.
template <typename Put> bool putPiece(WorkerReport& report, const Put& put) {
    if (report.writeFailed())
        return false;
    try {
        put();
        return true;
    } catch (const Failure& failure) {
        report.record(kWriteFailed, failure.code(), failure.what());
        return false;
    }
}

// As a bake returns: its matrices stay, the file they were handed over
// through goes.
void endHandover(const BakeResult& result) {
    forEachBuffer(result, [](BakeBuffer& buffer) { buffer.endHandover(); });
}

// Samples first..end - 1 are contiguous in the matrices: count doubles
// from at.
struct DoubleRange {
    std::size_t at = 0, count = 0;
};
DoubleRange sampleDoubles(const BakeResult& result, std::size_t first, std::size_t end) {
    const std::size_t perSample = result.names.size() * 16;
    return {first * perSample, (end - first) * perSample};
}

// A bake of a scene in memory by groups (bake_plan.hpp's planByGroups):
// each worker takes the next part, makes its own copy of the memory that
// holds the part's nodes (host/private's UT_BlockCopies: a cook writes each
// node, and a page written for the first time after the fork costs more
// than the cooks on it) and cooks the part at every sample.
void bakeByGroups(BakeResult& result, const std::vector<CookBlock>& blocks,
                  const std::vector<BlockPart>& parts, long long workers,
                  const BakeRequest& request) {
    const BakeShared shared;
    BakeCounters& counters = shared.counters();
    const CookedBy cooked(parts.size());
    std::vector<bool> handedOn(parts.size(), false);
    Workers children;
    const auto columnsOf = [&](const BlockPart& part) {
        std::vector<std::size_t> columns;
        for (std::size_t b = part.first; b < part.end; ++b)
            columns.insert(columns.end(), blocks[b].columns.begin(), blocks[b].columns.end());
        return columns;
    };
    const auto handOn = [&] {
        for (std::size_t p = 0; p < parts.size(); ++p) {
            if (handedOn[p] || !cooked.done(p))
                continue;
            handedOn[p] = true;
            handOnColumns(request, result, columnsOf(parts[p]), children, cooked, p);
        }
        reportProgress(request, result, counters);
    };
    KeptMemory kept;
    const auto work = [&](long long w) {
        UT_BlockCopies copies;
        for (auto p = static_cast<std::size_t>(counters.nextChunk.fetch_add(1)); p < parts.size();
             p = static_cast<std::size_t>(counters.nextChunk.fetch_add(1))) {
            if (w == 0 && request.interrupt)
                request.interrupt();
            const std::span<const CookBlock> part(blocks.data() + parts[p].first,
                                                  parts[p].end - parts[p].first);
            for (const CookBlock& block : part)
                for (const OBJ_Node* node : block.nodes)
                    copies.own(node);
            cookPart(w, p, part, columnsOf(parts[p]), result, shared, cooked, children, kept,
                     handOn);
        }
    };
    runWorkers(children, workers, cooked, work, handOn);
    shared.rethrow(workers);
    if (!request.columnsReady && request.samplesReady)
        request.samplesReady(result, result.frames());
}

} // namespace

BakeResult bakeScene(Scene& scene, const BakeRequest& request) {
    BakeResult result;
    setSamples(result, request);
    const std::vector<OBJ_Node*> nodes = bakedNodes(scene, request.nodes);
    std::unordered_map<const OP_Node*, int> index;
    index.reserve(nodes.size());
    reserveColumns(result, nodes.size());
    for (OBJ_Node* node : nodes) {
        index.emplace(node, static_cast<int>(result.names.size()));
        result.names.push_back(node->getName());
        result.types.push_back(node->getOperator()->getName());
    }
    for (OBJ_Node* node : nodes) {
        const OP_Node* parent = node->getInput(0);
        result.parents.push_back(parent ? index.at(parent) : -1);
    }
    const long long most = workerCount(request, kMaxBakeWorkers);
    std::vector<std::size_t> columns(nodes.size());
    std::iota(columns.begin(), columns.end(), std::size_t(0));
    const std::vector<CookBlock> blocks = cookBlocks(nodes, columns);

    // By groups where they allow it, so that each worker writes only the
    // nodes it cooks; else by samples, which a sink may take.
    if (most > 1)
        if (const auto parts = planByGroups(blocks, most)) {
            allocate(result, request, most);
            bakeByGroups(result, blocks, *parts,
                         std::min(most, static_cast<long long>(parts->size())), request);
            endHandover(result);
            return result;
        }

    BakeSink* const sink = sinkFor(request, result);
    if (!sink)
        allocate(result, request, most);
    const auto frames = static_cast<long long>(result.frames());
    const long long workers = workerCount(request, frames);
    // At least four chunks per worker, so that one slow chunk does not hold
    // the others up, and at most 64 samples per chunk.
    const long long chunk = std::clamp<long long>(frames / (4 * workers), 1, 64);
    const BakeShared shared;
    BakeCounters& counters = shared.counters();
    const CookedBy cooked(result.frames());
    Workers children;
    std::size_t ready = 0;
    // In the parent: the leading samples done, those of workers taken over.
    const auto reportReady = [&] {
        for (; ready < result.frames() && cooked.done(ready); ++ready)
            if (cooked.failed(ready)) {
                continue; // a sink's failed write: the bake fails
            } else if (const long long w = cooked.worker(ready); w > 0) {
                const DoubleRange sample = sampleDoubles(result, ready, ready + 1);
                forEachBuffer(result, [&](const BakeBuffer& buffer) {
                    buffer.takeOver(sample.at, sample.count, children.pid(w),
                                    buffer.data() + sample.at);
                });
                cooked.mark(ready, 0);
            }
        if (sink)
            sink->flush();
        else if (request.samplesReady)
            request.samplesReady(result, ready);
    };
    std::unique_ptr<PrivateMemory> scratch; // each process's, for the sink
    // Cooks the next chunk; false when none is left.
    const auto cookChunk = [&](long long w) {
        const auto first = static_cast<std::size_t>(counters.nextChunk.fetch_add(1) * chunk);
        if (first >= result.frames())
            return false;
        const std::size_t end = std::min(result.frames(), first + static_cast<std::size_t>(chunk));
        WorkerReport& report = shared.report(w);
        if (sink) {
            const bool put = putPiece(report, [&] {
                cookIntoSink(blocks, result, *sink, scratch, counters, report, first, end);
            });
            for (std::size_t f = first; f < end; ++f)
                if (put)
                    cooked.mark(f, 0); // nothing to take over
                else
                    cooked.markFailed(f);
        } else {
            const DoubleRange chunkRange = sampleDoubles(result, first, end);
            forEachBuffer(result, [&](const BakeBuffer& buffer) {
                buffer.populateDoubles(chunkRange.at, chunkRange.count);
            });
            cookSamples(blocks, result, resultTarget(result), first, end, counters, report);
            if (w > 0)
                forEachBuffer(result, [&](const BakeBuffer& buffer) {
                    buffer.handOver(buffer.data() + chunkRange.at, chunkRange.at, chunkRange.count);
                });
            for (std::size_t f = first; f < end; ++f)
                cooked.mark(f, w);
        }
        counters.samplesDone.fetch_add(static_cast<long long>(end - first));
        if (w > 0)
            children.partDone();
        return true;
    };
    runWorkers(
        children, workers, cooked,
        [&](long long w) {
            while (true) {
                if (w == 0 && request.interrupt)
                    request.interrupt();
                if (!cookChunk(w))
                    break;
                if (w == 0 && request.progress)
                    request.progress(static_cast<std::size_t>(counters.samplesDone.load()),
                                     result.frames());
                if (w == 0)
                    reportReady();
            }
        },
        reportReady);
    shared.rethrow(workers);
    endHandover(result);
    return result;
}

BakeResult bakeSceneFile(Host& host, std::string_view text, const std::string& source,
                         const BakeRequest& request) {
    BakeResult result;
    setSamples(result, request);
    std::optional<SceneOutline> outline;
    std::optional<NodePlan> plan;
    long long workers = workerCount(request, kMaxBakeWorkers);
    // By parts even with one worker: each part's memory is reused by the
    // next, and a part's nodes stay closer together.
    try {
        outline = outlineScene(text, source, workers > 1);
        plan = planByNodes(*outline, request.nodes, workers);
    } catch (const Failure&) {
        // Not a scene's text: the load below says what is wrong.
    }
    if (!plan) {
        Scene scene(host);
        sceneFromText(scene, text, source);
        return bakeScene(scene, request);
    }

    std::vector<std::size_t> column(outline->nodes.size(), SIZE_MAX);
    reserveColumns(result, plan->baked.size());
    for (const std::size_t i : plan->baked) {
        const SceneOutline::Node& node = outline->nodes[i];
        column[i] = result.names.size();
        result.names.push_back(node.name);
        result.types.push_back(node.type);
    }
    // A baked node's parent is baked too: a node's cook reads its inputs.
    for (const std::size_t i : plan->baked)
        result.parents.push_back(
            plan->parent[i] == SIZE_MAX ? -1 : static_cast<int>(column[plan->parent[i]]));
    // Each process puts what it cooks to the sink, or the bake keeps it.
    BakeSink* const sink = sinkFor(request, result);
    if (!sink)
        allocate(result, request, workers);

    const BakeShared shared;
    BakeCounters& counters = shared.counters();
    const std::size_t parts = plan->parts.size();
    workers = std::min(workers, static_cast<long long>(parts));
    const CookedBy cooked(parts);
    std::vector<bool> handedOn(parts, false);
    Workers children;
    // In the parent: the columns of the parts cooked so far, in runs of
    // adjacent columns, go to columnsReady.
    const auto handOn = [&] {
        for (std::size_t p = 0; p < parts; ++p) {
            if (handedOn[p] || !cooked.done(p))
                continue;
            handedOn[p] = true;
            if (cooked.failed(p) || sink)
                continue; // the bake fails; or the sink has the part
            std::vector<std::size_t> columns;
            for (const std::size_t i : plan->parts[p])
                columns.push_back(column[i]);
            handOnColumns(request, result, columns, children, cooked, p);
        }
        if (sink)
            sink->flush();
        reportProgress(request, result, counters);
    };
    // Each worker takes the next part, loads it alone and cooks it at every
    // sample, until none is left.
    KeptMemory kept;
    const auto work = [&](long long w) {
        WorkerReport& report = shared.report(w);
        std::unique_ptr<PrivateMemory> scratch; // for the sink
        // Part p is done, with nothing cooked: the bake fails.
        const auto failed = [&](std::size_t p) {
            cooked.markFailed(p);
            if (w > 0)
                children.partDone();
        };
        for (auto p = static_cast<std::size_t>(counters.nextChunk.fetch_add(1)); p < parts;
             p = static_cast<std::size_t>(counters.nextChunk.fetch_add(1))) {
            // After a failed write the rest is not even loaded.
            if (report.writeFailed()) {
                failed(p);
                continue;
            }
            NodeSubset subset{std::vector<bool>(outline->nodes.size(), false), &*outline};
            for (const std::size_t i : plan->parts[p])
                subset.wanted[i] = true;
            Scene part(host);
            try {
                sceneFromText(part, text, source, {}, &subset);
            } catch (const Failure& failure) {
                report.record(static_cast<long long>(p) - static_cast<long long>(parts),
                              failure.code(), failure.what());
                failed(p);
                continue;
            }
            // The part's nodes, made in the file's order.
            if (part.root().getNchildren() != static_cast<int>(plan->parts[p].size()))
                throw std::logic_error("a part's load made other nodes than the part's");
            std::vector<OBJ_Node*> nodes;
            std::vector<std::size_t> columns;
            for (std::size_t k = 0; k < plan->parts[p].size(); ++k) {
                const std::size_t i = plan->parts[p][k];
                if (column[i] != SIZE_MAX) {
                    nodes.push_back(&asObject(*part.root().getChild(static_cast<int>(k))));
                    columns.push_back(column[i]);
                }
            }
            if (!sink) {
                cookPart(w, p, cookBlocks(nodes, columns), columns, result, shared, cooked,
                         children, kept, handOn);
                continue;
            }
            if (!putPiece(report, [&] {
                    cookIntoSink(cookBlocks(nodes, columns), result, *sink, scratch, counters,
                                 report, 0, result.frames());
                })) {
                failed(p);
                continue;
            }
            counters.samplesDone.fetch_add(static_cast<long long>(nodes.size() * result.frames()));
            cooked.mark(p, 0); // nothing to take over
            if (w > 0)
                children.partDone();
            else
                handOn();
        }
    };
    // The parent loads parts after the fork: into memory it does not share.
    std::optional<UT_BlockStorageAside> aside;
    if (workers > 1)
        aside.emplace();
    runWorkers(children, workers, cooked, work, handOn);
    // A part that did not load: a plain load of the whole scene gives the
    // message, naming the first fault in the file, whichever part held it.
    if (shared.loadFailed(workers)) {
        Scene whole(host);
        sceneFromText(whole, text, source);
    }
    shared.rethrow(workers);
    if (!sink && !request.columnsReady && request.samplesReady)
        request.samplesReady(result, result.frames());
    endHandover(result);
    return result;
}

} // namespace mhost
