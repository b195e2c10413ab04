// What a bake asks for and what it gives (engine/bake.hpp): the request,
// and the matrices, in memory shared with the workers while they cook.
#pragma once

#include "engine/evaluation.hpp"
#include "engine/host_session.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mhost {

class SharedMemory;
struct BakeResult;

struct BakeRequest {
    SweepRange times;
    // Samples first..last of the range's STEPS + 1, both included (a farm's
    // share); the whole range when unset.
    std::optional<std::pair<long long, long long>> frames;
    // The nodes to bake; empty for every node. The nodes they depend on
    // (their inputs, all the way up) are baked with them.
    std::vector<std::string> nodes;
    // Processes cooking at once, the caller included; 0 for one per core.
    int workers = 0;
    // Whether the local matrices are kept as well as the world ones.
    bool keepLocal = true;
    // Called between chunks in the parent (see Interrupt).
    Interrupt interrupt;
    // Called in the parent with the samples done so far, between chunks.
    std::function<void(std::size_t done, std::size_t total)> progress;
    // Called in the parent between its pieces of work with the bake so far
    // and the number of leading samples whose matrices are all done (which
    // never goes down), last with every sample: a file can be written while
    // the bake cooks. A bake by groups or nodes calls it once, at the end,
    // and not at all when columnsReady is set.
    std::function<void(const BakeResult& bake, std::size_t ready)> samplesReady;
    // For a bake by groups or nodes: called in the parent between its pieces
    // of work with columns (baked nodes) first..end - 1 once they hold every
    // sample. Each column comes once.
    std::function<void(const BakeResult& bake, std::size_t first, std::size_t end)> columnsReady;
};

// Memory for the matrices, shared with the workers while they run.
class BakeBuffer {
public:
    explicit BakeBuffer(std::size_t doubles);
    // Pre-faults the pages of part `share` of `shares` equal parts;
    // interrupt is called meanwhile (see host_session.hpp).
    void populate(std::size_t share, std::size_t shares, const Interrupt& interrupt = {});
    // Pre-faults the pages of doubles [first, first + count).
    void populateDoubles(std::size_t first, std::size_t count);
    ~BakeBuffer();
    BakeBuffer(const BakeBuffer&) = delete;
    BakeBuffer& operator=(const BakeBuffer&) = delete;
    double* data() const;
    std::size_t size() const { return size_; }
    // A file that holds the matrices, its byte offset 0 at data(), for the
    // kernel to copy from (OutputFile::copyFrom) while the bake runs; -1
    // when there is none or after closeFile.
    int fd() const;
    // Closes that file, keeping the matrices (bake.hpp's bakes do, as they
    // return).
    void closeFile();

private:
    std::unique_ptr<SharedMemory> memory_;
    std::size_t size_ = 0;
};

struct BakeResult {
    std::vector<std::string> names; // the baked nodes, in the scene's order
    std::vector<std::string> types;
    std::vector<int> parents;  // index of the node wired into input 0, or -1
    std::vector<double> times; // seconds of each sample, as cooked
    // The sweep the samples come from: sample f is the sweep's sample
    // firstSample + f (of its STEPS + 1).
    SweepRange sweep;
    std::size_t firstSample = 0;
    // Sample f, node n: 16 doubles at (f * names.size() + n) * 16. local is
    // null when the request did not keep it.
    std::shared_ptr<BakeBuffer> local, world;

    std::size_t frames() const { return times.size(); }
    const double* localAt(std::size_t frame, std::size_t node) const {
        return local->data() + (frame * names.size() + node) * 16;
    }
};

} // namespace mhost
