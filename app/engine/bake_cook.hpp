// The cooks of a bake (engine/bake.hpp) and what its workers share with the
// parent besides the matrices: the counters that hand out the work, and
// each worker's first failure.
#pragma once

#include "engine/bake_plan.hpp"
#include "engine/bake_result.hpp"
#include "support/shared_memory.hpp"

#include <atomic>
#include <climits>
#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace mhost {

// Lock-free atomics work across processes in shared memory.
struct BakeCounters {
    std::atomic<long long> nextChunk{0};
    std::atomic<long long> samplesDone{0};
    // The first failed cook as sample * nodes + node, or LLONG_MAX.
    std::atomic<long long> firstFailure{LLONG_MAX};
};
static_assert(std::atomic<long long>::is_always_lock_free);

// What went wrong in one worker: its first failed write to a sink (or the
// memory for it), load or cook, in that order. A failed write is at
// kWriteFailed; a failed load of part p of P, at p - P.
inline constexpr long long kWriteFailed = LLONG_MIN;
struct WorkerReport {
    long long failedAt = LLONG_MAX;
    int code = 0;
    char message[2000] = {};

    void record(long long at, int exitCode, const std::string& text);
    bool writeFailed() const { return failedAt == kWriteFailed; }
};

// The counters and every worker's report, in memory shared with the
// workers.
class BakeShared {
public:
    BakeShared();
    BakeCounters& counters() const { return state_->counters; }
    WorkerReport& report(long long worker) const;
    // Whether some worker's part did not load.
    bool loadFailed(long long workers) const;
    // Throws what went wrong, if anything: the failed load of the part that
    // comes first in the file (parts hold the scene's nodes in file order),
    // else a failed write, else the first failed cook in sample, then node
    // order.
    void rethrow(long long workers) const;

private:
    struct State {
        BakeCounters counters;
        WorkerReport reports[kMaxBakeWorkers];
    };
    SharedObject<State> state_;
};

// Where cooks put their matrices: sample f, column c at ((f - firstSample)
// * width + c) * 16 doubles of each. A forked worker's part, or a slice for
// a sink, goes into memory of its own, its columns the part's in order (a
// block's columns index bakeColumns, each one's column in the bake); else
// into the bake's (bakeColumns empty).
struct CookTarget {
    double* local = nullptr; // null when not kept
    double* world = nullptr;
    std::size_t width = 0;
    std::span<const std::size_t> bakeColumns;
    std::size_t firstSample = 0;
};

// The bake's own matrices.
CookTarget resultTarget(const BakeResult& result);

// Cooks every block at the result's samples first..end - 1, block by block,
// into target; a failed cook is recorded in counters and report.
void cookSamples(std::span<const CookBlock> blocks, const BakeResult& result,
                 const CookTarget& target, std::size_t first, std::size_t end,
                 BakeCounters& counters, WorkerReport& report);

// Cooks blocks at the result's samples first..end - 1 into scratch memory, in
// slices of whole blocks and runs of samples of a few megabytes (scratch is
// made or grown as a slice needs, and its pages serve the next), and puts
// each slice's runs of adjacent columns to sink, sample by sample. A failed
// cook is recorded as cookSamples records it; the sink's RunError goes
// through.
void cookIntoSink(std::span<const CookBlock> blocks, const BakeResult& result, BakeSink& sink,
                  std::unique_ptr<PrivateMemory>& scratch, BakeCounters& counters,
                  WorkerReport& report, std::size_t first, std::size_t end);

} // namespace mhost
