// Bakes: every node of a scene (or the chosen ones and what they need)
// cooked at each sample time of a range, into local and world matrices
// (host convention: row vectors, row-major, translation in the last row).
//
// Workers are processes. The host cooks on one thread, as the real host
// does, and its nodes keep what they cooked: rather than make every part of
// the SDK and every module safe to use from several threads, each worker is
// a forked child with a scene of its own, writing its matrices into memory
// shared with the parent, which works as one of them. Two ways to share
// the work out:
//
//  - By samples (bakeScene): samples are independent, so chunks of them go
//    to children forked once the scene is loaded, which hold it
//    copy-on-write. Any scene can be baked so.
//  - By nodes (bakeSceneFile): a scene file whose nodes fall into separate
//    groups (nothing wired between them) is shared out in parts of whole
//    groups, which the workers take in turn, each loading and cooking only
//    the part's nodes. Loading costs about half of a bake of 48 samples,
//    so this way the load runs on every core as well. A scene with a group
//    larger than an even share is baked by samples.
//
// A node's cook depends only on the node and those it reads, and each
// sample is cooked the same way whoever cooks it, so the matrices are
// bit-identical whatever the number of workers and the way chosen.
#pragma once

#include "engine/evaluation.hpp"
#include "engine/host_session.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

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
    // and the number of leading samples whose matrices are all in (which
    // never goes down), last with every sample: a file can be written while
    // the bake cooks. A bake by nodes calls it once, at the end, and not at
    // all when columnsReady is set.
    std::function<void(const BakeResult& bake, std::size_t ready)> samplesReady;
    // For a bake by nodes: called in the parent between its pieces of work
    // with columns (baked nodes) first..end - 1 once they hold every sample.
    // Each column comes once.
    std::function<void(const BakeResult& bake, std::size_t first, std::size_t end)> columnsReady;
};

// Memory for the matrices, shared with the workers while they run.
class BakeBuffer {
public:
    explicit BakeBuffer(std::size_t doubles);
    // Makes the pages of the share-th of `shares` equal parts at once;
    // interrupt is called meanwhile (see host_session.hpp).
    void populate(std::size_t share, std::size_t shares, const Interrupt& interrupt = {});
    ~BakeBuffer();
    BakeBuffer(const BakeBuffer&) = delete;
    BakeBuffer& operator=(const BakeBuffer&) = delete;
    double* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    double* data_ = nullptr;
    std::size_t size_ = 0;
};

struct BakeResult {
    std::vector<std::string> names; // the baked nodes, in the scene's order
    std::vector<std::string> types;
    std::vector<int> parents;  // index of the node wired into input 0, or -1
    std::vector<double> times; // seconds of each sample, as cooked
    // Sample f, node n: 16 doubles at (f * names.size() + n) * 16. local is
    // null when the request did not keep it.
    std::shared_ptr<BakeBuffer> local, world;

    std::size_t frames() const { return times.size(); }
    const double* localAt(std::size_t frame, std::size_t node) const {
        return local->data() + (frame * names.size() + node) * 16;
    }
    const double* worldAt(std::size_t frame, std::size_t node) const {
        return world->data() + (frame * names.size() + node) * 16;
    }
};

// Workers when none are asked for: the cores this process may run on.
int defaultBakeWorkers();

// Cooks the bake. InputError for an unknown node, a node that is not an
// object, a sample range outside the sweep or a worker count below 0;
// RunError naming the node and time of the first cook (in sample, then
// scene order) that failed, or for a worker that died.
BakeResult bakeScene(Scene& scene, const BakeRequest& request);

// Bakes the scene of a file's text (source names it in messages), by nodes
// where its groups allow, else loaded once and baked by samples. Fails as
// loadScene and bakeScene do; interrupt is not called.
BakeResult bakeSceneFile(Host& host, std::string_view text, const std::string& source,
                         const BakeRequest& request);

} // namespace mhost
