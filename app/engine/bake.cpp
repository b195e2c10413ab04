#include "engine/bake.hpp"

#include "engine/bake_cook.hpp"
#include "engine/bake_plan.hpp"
#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/process.hpp"
#include "support/shared_memory.hpp"

#include <UT_BlockCopies.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <span>
#include <stdexcept>
#include <unordered_map>

#include <sched.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mhost {

namespace {

// The forked workers, each dying with the parent; killed and reaped when
// the parent exits early.
class Workers {
public:
    Workers() : partDone_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (partDone_ < 0)
            throw RunError(std::string("cannot start a bake worker: ") + std::strerror(errno));
    }
    ~Workers() {
        children_.clear(); // killed and reaped, if still running
        ::close(partDone_);
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Forks a worker that runs work and ends; RunError when fork fails.
    template <typename Work> void start(Work&& work) {
        try {
            children_.push_back(ChildProcess::fork({}, [&work] {
                UT_blockStorageInForkedChild();
                work();
                return 0;
            }));
        } catch (const RunError& e) {
            const std::string why = e.what();
            throw RunError("cannot start a bake worker" + why.substr(why.find(':')));
        }
    }

    // In a worker: tells the parent that a part is done.
    void partDone() const {
        const std::uint64_t one = 1;
        (void)!::write(partDone_, &one, sizeof one);
    }
    // In the parent: waits until a worker says a part is done (true) or every
    // worker has ended (false).
    bool waitForPart() {
        for (;;) {
            std::uint64_t count = 0;
            if (::read(partDone_, &count, sizeof count) == sizeof count)
                return true;
            if (std::all_of(children_.begin(), children_.end(),
                            [](ChildProcess& child) { return child.poll(); }))
                return false;
            waitForEither(partDone_, children_);
        }
    }

    // Waits for every worker; RunError when one did not finish its work.
    void join() {
        std::string failure;
        for (ChildProcess& child : children_) {
            const int status = child.wait();
            if (!failure.empty())
                continue;
            if (WIFSIGNALED(status))
                failure = "a bake worker was killed by signal " + std::to_string(WTERMSIG(status));
            else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
                failure = "a bake worker failed (exit status " +
                          std::to_string(WEXITSTATUS(status)) + ")";
        }
        if (!failure.empty())
            throw RunError(failure + "; nothing was written");
    }

private:
    std::vector<ChildProcess> children_;
    int partDone_; // an eventfd the workers write to
};

void allocate(BakeResult& result, const BakeRequest& request) {
    const std::size_t doubles = result.frames() * result.names.size() * 16;
    if (request.keepLocal)
        result.local = std::make_shared<BakeBuffer>(doubles);
    result.world = std::make_shared<BakeBuffer>(doubles);
}

// As a bake returns: its matrices stay, the files that held them for the
// output's copies are closed.
void closeFiles(const BakeResult& result) {
    for (const auto& buffer : {result.local, result.world})
        if (buffer)
            buffer->closeFile();
}

// Each worker pre-faults the matrices' pages as it starts, its own share
// first: the workers populate the pages in parallel, and each then maps the
// others' into its own page tables at once (shared pages are mapped per
// process; a page fault for each on first use costs several times more).
// The parent still handles Ctrl-C meanwhile, when interrupt is set.
void populateMatrices(const BakeResult& result, long long worker, long long workers,
                      const Interrupt& interrupt) {
    const auto shares = static_cast<std::size_t>(workers);
    for (std::size_t k = 0; k < shares; ++k)
        for (const auto& buffer : {result.local, result.world})
            if (buffer)
                buffer->populate((static_cast<std::size_t>(worker) + k) % shares, shares,
                                 worker == 0 ? interrupt : Interrupt{});
}

// Flags of one byte each, in memory shared with the workers.
class SharedFlags {
public:
    explicit SharedFlags(std::size_t count) : memory_(count, "the bake") {}
    std::atomic<unsigned char>& operator[](std::size_t i) const {
        return reinterpret_cast<std::atomic<unsigned char>*>(memory_.data())[i];
    }

private:
    SharedMemory memory_;
};

// Runs work(w) in forked workers 1..workers - 1 and here as worker 0,
// handing parts on as the others complete them, then waits for them all.
template <typename Work, typename HandOn>
void runWorkers(Workers& children, long long workers, const Work& work, const HandOn& handOn) {
    for (long long w = 1; w < workers; ++w)
        children.start([&, w] { work(w); });
    work(0);
    while (children.waitForPart())
        handOn();
    children.join();
}

// Worker w has cooked part p, `cooks` node-samples: counted and marked
// done, then handed on (by the parent) or announced (by a child).
template <typename HandOn>
void partCooked(long long w, std::size_t p, std::size_t cooks, BakeCounters& counters,
                const SharedFlags& cooked, Workers& children, const HandOn& handOn) {
    counters.samplesDone.fetch_add(static_cast<long long>(cooks));
    cooked[p].store(1);
    if (w == 0)
        handOn();
    else
        children.partDone();
}

// Hands columns on to request.columnsReady in runs of adjacent columns, in
// the order given; SIZE_MAX (a node loaded, not baked) is skipped.
void handOnColumns(const BakeRequest& request, const BakeResult& result,
                   const std::vector<std::size_t>& columns) {
    if (!request.columnsReady)
        return;
    std::size_t first = SIZE_MAX, end = 0; // the run so far
    for (const std::size_t column : columns) {
        if (column == SIZE_MAX)
            continue;
        if (column != end && first != SIZE_MAX) {
            request.columnsReady(result, first, end);
            first = SIZE_MAX;
        }
        if (first == SIZE_MAX)
            first = column;
        end = column + 1;
    }
    if (first != SIZE_MAX)
        request.columnsReady(result, first, end);
}

// The progress of a bake shared out by nodes: samples done, whole.
void reportProgress(const BakeRequest& request, const BakeResult& result,
                    const BakeCounters& counters) {
    if (request.progress)
        request.progress(static_cast<std::size_t>(counters.samplesDone.load()) /
                             result.names.size(),
                         result.frames());
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
        for (const auto& buffer : {result.local, result.world})
            if (buffer)
                buffer->populateDoubles((f * result.names.size() + first) * 16, (end - first) * 16);
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
    const SharedFlags cooked(parts.size()); // which parts are done
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
            if (handedOn[p] || cooked[p].load() == 0)
                continue;
            handedOn[p] = true;
            handOnColumns(request, result, columnsOf(parts[p]));
        }
        reportProgress(request, result, counters);
    };
    const auto work = [&](long long w) {
        WorkerReport& report = shared.report(w);
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
            populateColumns(result, columnsOf(parts[p]));
            cookSamples(part, result, 0, result.frames(), counters, report);
            partCooked(w, p, parts[p].nodes * result.frames(), counters, cooked, children, handOn);
        }
    };
    runWorkers(children, workers, work, handOn);
    shared.rethrow(workers);
    handOn();
    if (!request.columnsReady && request.samplesReady)
        request.samplesReady(result, result.frames());
}

} // namespace

BakeResult bakeScene(Scene& scene, const BakeRequest& request) {
    BakeResult result;
    setSamples(result, request);
    const std::vector<OBJ_Node*> nodes = bakedNodes(scene, request.nodes);
    std::unordered_map<const OP_Node*, int> index;
    for (OBJ_Node* node : nodes) {
        index.emplace(node, static_cast<int>(result.names.size()));
        result.names.push_back(node->getName());
        result.types.push_back(node->getOperator()->getName());
    }
    for (OBJ_Node* node : nodes) {
        const OP_Node* parent = node->getInput(0);
        result.parents.push_back(parent ? index.at(parent) : -1);
    }
    allocate(result, request);
    std::vector<std::size_t> columns(nodes.size());
    std::iota(columns.begin(), columns.end(), std::size_t(0));
    const std::vector<CookBlock> blocks = cookBlocks(nodes, columns);

    // By groups where they allow it, so that each worker writes only the
    // nodes it cooks; else by samples.
    if (const long long most = workerCount(request, kMaxBakeWorkers); most > 1)
        if (const auto parts = planByGroups(blocks, most)) {
            bakeByGroups(result, blocks, *parts,
                         std::min(most, static_cast<long long>(parts->size())), request);
            closeFiles(result);
            return result;
        }

    const auto frames = static_cast<long long>(result.frames());
    const long long workers = workerCount(request, frames);
    // At least four chunks per worker, so that one slow chunk does not hold
    // the others up, and at most 64 samples per chunk.
    const long long chunk = std::clamp<long long>(frames / (4 * workers), 1, 64);
    const BakeShared shared;
    BakeCounters& counters = shared.counters();
    const SharedFlags cooked(result.frames()); // which samples are done
    std::size_t ready = 0;
    const auto reportReady = [&] {
        while (ready < result.frames() && cooked[ready].load() != 0)
            ++ready;
        if (request.samplesReady)
            request.samplesReady(result, ready);
    };
    // Cooks the next chunk; false when none is left.
    const auto cookChunk = [&](WorkerReport& report) {
        const long long first = counters.nextChunk.fetch_add(1) * chunk;
        if (first >= frames)
            return false;
        const long long end = std::min(frames, first + chunk);
        cookSamples(blocks, result, static_cast<std::size_t>(first), static_cast<std::size_t>(end),
                    counters, report);
        for (long long f = first; f < end; ++f)
            cooked[f].store(1);
        counters.samplesDone.fetch_add(end - first);
        return true;
    };
    {
        Workers children;
        for (long long w = 1; w < workers; ++w)
            children.start([&, w] {
                populateMatrices(result, w, workers, {});
                while (cookChunk(shared.report(w))) {
                }
            });
        populateMatrices(result, 0, workers, request.interrupt);
        while (true) {
            if (request.interrupt)
                request.interrupt();
            if (!cookChunk(shared.report(0)))
                break;
            if (request.progress)
                request.progress(static_cast<std::size_t>(counters.samplesDone.load()),
                                 result.frames());
            reportReady();
        }
        children.join();
    }
    shared.rethrow(workers);
    reportReady();
    closeFiles(result);
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
    allocate(result, request);

    const BakeShared shared;
    BakeCounters& counters = shared.counters();
    const std::size_t parts = plan->parts.size();
    workers = std::min(workers, static_cast<long long>(parts));
    const SharedFlags cooked(parts); // which parts are done
    std::vector<bool> handedOn(parts, false);
    Workers children;
    // In the parent: the columns of the parts cooked so far, in runs of
    // adjacent columns, go to columnsReady.
    const auto handOn = [&] {
        for (std::size_t p = 0; p < parts; ++p) {
            if (handedOn[p] || cooked[p].load() == 0)
                continue;
            handedOn[p] = true;
            std::vector<std::size_t> columns;
            for (const std::size_t i : plan->parts[p])
                columns.push_back(column[i]);
            handOnColumns(request, result, columns);
        }
        reportProgress(request, result, counters);
    };
    // Each worker takes the next part, loads it alone and cooks it at every
    // sample, until none is left.
    const auto work = [&](long long w) {
        WorkerReport& report = shared.report(w);
        for (auto p = static_cast<std::size_t>(counters.nextChunk.fetch_add(1)); p < parts;
             p = static_cast<std::size_t>(counters.nextChunk.fetch_add(1))) {
            NodeSubset subset{std::vector<bool>(outline->nodes.size(), false), &*outline};
            for (const std::size_t i : plan->parts[p])
                subset.wanted[i] = true;
            Scene part(host);
            try {
                sceneFromText(part, text, source, {}, &subset);
            } catch (const Failure& failure) {
                report.record(static_cast<long long>(p) - static_cast<long long>(parts),
                              failure.code(), failure.what());
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
            populateColumns(result, columns);
            cookSamples(cookBlocks(nodes, columns), result, 0, result.frames(), counters, report);
            partCooked(w, p, nodes.size() * result.frames(), counters, cooked, children, handOn);
        }
    };
    runWorkers(children, workers, work, handOn);
    // A part that did not load: a plain load of the whole scene gives the
    // message, naming the first fault in the file, whichever part held it.
    if (shared.loadFailed(workers)) {
        Scene whole(host);
        sceneFromText(whole, text, source);
    }
    shared.rethrow(workers);
    handOn();
    if (!request.columnsReady && request.samplesReady)
        request.samplesReady(result, result.frames());
    closeFiles(result);
    return result;
}

} // namespace mhost
