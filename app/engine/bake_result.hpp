// What a bake asks for and what it gives (engine/bake.hpp): the request,
// and the matrices, which forked workers hand over to the parent.
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

#include <sys/types.h>

namespace mhost {

class PrivateMemory;
class SharedMemory;
struct BakeResult;

// What takes a bake's world matrices as they are cooked, in the process that
// cooked them, so that the bake need not keep them (mhost bake's .npy file):
// see BakeRequest::sink.
class BakeSink {
public:
    virtual ~BakeSink() = default;
    // In the calling process, before any cook, with the bake's nodes and
    // samples set: whether it takes the matrices (false: the bake keeps
    // them as usual). RunError when it cannot start.
    virtual bool begin(const BakeResult& bake) = 0;
    // The world matrices of columns first..first + count - 1 at sample
    // `sample`, count times 16 doubles. Called in the process that cooked
    // them, which may be a forked worker: it makes system calls on what
    // begin made, and nothing else. RunError when they cannot be written.
    virtual void put(std::size_t sample, std::size_t first, std::size_t count,
                     const double* world) = 0;
    // In the calling process, between its pieces of work: what was put so
    // far may start on its way (to disk).
    virtual void flush() {}
};

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
    // For a bake by nodes (bakeSceneFile) or by samples that keeps no local
    // matrices: when set and its begin takes them, every world matrix goes
    // to it once, from the process that cooked it, and the result keeps
    // none (world null); samplesReady and columnsReady are not called. A
    // bake by groups leaves it alone.
    BakeSink* sink = nullptr;
};

// How a forked worker's matrices reach the parent: the parent reads them
// from the worker's memory (process_vm_readv), or the worker writes them to
// an anonymous file (memfd) the parent reads. Either way the kernel copies
// them, and no process writes a page it shares with another.
enum class Handover { None, ReadWorkers, ThroughFile };

// ReadWorkers where the system lets this process read its children's
// memory (no Yama ptrace scope above 1, no filter refusing the call), else
// ThroughFile; found out once.
Handover handoverForWorkers();

// Memory for the matrices: this process's own, in 2 MiB pages where the
// system gives them (support/private_memory.hpp). A forked worker writes
// into its own copy and hands over each piece it finished (handOver); the
// parent takes each into its memory (takeOver) before anything reads it.
class BakeBuffer {
public:
    // doubles of matrices, untouched until written, handed over as handover
    // says (None: only this process cooks). RunError when the system refuses
    // the memory.
    BakeBuffer(std::size_t doubles, Handover handover);
    ~BakeBuffer();
    BakeBuffer(const BakeBuffer&) = delete;
    BakeBuffer& operator=(const BakeBuffer&) = delete;
    double* data() const;
    std::size_t size() const { return size_; }
    // Pre-faults the pages of doubles [first, first + count), in the process
    // about to write them.
    void populateDoubles(std::size_t first, std::size_t count) const;
    // In a forked worker, once it has written the matrices that go at
    // doubles [first, first + count) at `from`, in memory that stays until
    // the parent has taken them (bake_workers.hpp): hands them over.
    // RunError when the system refuses.
    void handOver(const double* from, std::size_t first, std::size_t count) const;
    // In the parent: copies doubles [first, first + count), handed over by
    // the worker process `worker` from its `from`, into its memory. RunError
    // as handOver.
    void takeOver(std::size_t first, std::size_t count, pid_t worker, const double* from) const;
    // After the bake: drops what the handover needed, keeping the matrices.
    void endHandover();

private:
    std::unique_ptr<PrivateMemory> memory_;
    std::unique_ptr<SharedMemory> file_; // ThroughFile's
    Handover handover_;
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
    // null when the request did not keep it; world, when a sink took it.
    std::shared_ptr<BakeBuffer> local, world;

    std::size_t frames() const { return times.size(); }
    const double* localAt(std::size_t frame, std::size_t node) const {
        return local->data() + (frame * names.size() + node) * 16;
    }
};

} // namespace mhost
