#include "engine/bake.hpp"

#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"
#include "json/json.hpp"

#include <OP/OP_Context.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <unordered_map>

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mhost {

namespace {

// Makes the pages of [p, p + bytes) at once (cheaper than a fault for each
// on first use), a slice at a time with interrupt called between slices:
// the pages of a large bake take a good part of a second, and Ctrl-C must
// not wait for them.
void populate(char* p, std::size_t bytes, const Interrupt& interrupt = {}) {
    constexpr std::size_t kSlice = std::size_t(32) << 20;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (std::size_t at = 0; at < bytes; at += kSlice) {
        if (interrupt)
            interrupt();
        const std::size_t n = std::min(kSlice, bytes - at);
        // Kernels before 5.14 lack MADV_POPULATE_WRITE: a read of each page
        // makes it instead (shared memory gets a page of its own on a read),
        // and leaves what another worker may have written there.
        if (::madvise(p + at, n, MADV_POPULATE_WRITE) != 0)
            for (std::size_t b = 0; b < n; b += page)
                (void)static_cast<volatile char*>(p)[at + b];
    }
}

// Anonymous memory shared with forked children; its pages are made when
// populate says, or on first use.
char* mapShared(std::size_t bytes) {
    void* const p = ::mmap(nullptr, std::max<std::size_t>(bytes, 1), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw RunError("the bake needs " + std::to_string(bytes >> 20) +
                       " MiB of memory, which the system refused: " + std::strerror(errno));
    return static_cast<char*>(p);
}

// What the parent and the workers share. Lock-free atomics work across
// processes in shared memory.
struct Counters {
    std::atomic<long long> nextChunk{0};
    std::atomic<long long> samplesDone{0};
    // The first failed cook as sample * nodes + node, or LLONG_MAX.
    std::atomic<long long> firstFailure{LLONG_MAX};
};
static_assert(std::atomic<long long>::is_always_lock_free);

// What went wrong in one worker: its first failed load or cook. Loads
// come before cooks: a failed load of part p of P is at p - P.
struct WorkerReport {
    long long failedAt = LLONG_MAX;
    int code = 0;
    char message[2000] = {};

    void record(long long at, int exitCode, const std::string& text) {
        if (at >= failedAt)
            return;
        failedAt = at;
        code = exitCode;
        const std::size_t length = std::min(text.size(), sizeof(message) - 1);
        std::memcpy(message, text.data(), length);
        message[length] = '\0';
    }
};

constexpr int kMaxWorkers = 256;

struct SharedState {
    Counters counters;
    WorkerReport reports[kMaxWorkers];
};

class SharedCounters {
public:
    SharedCounters() : state_(new (mapShared(sizeof(SharedState))) SharedState) {}
    ~SharedCounters() { ::munmap(state_, sizeof(SharedState)); }
    SharedCounters(const SharedCounters&) = delete;
    SharedCounters& operator=(const SharedCounters&) = delete;
    Counters& counters() const { return state_->counters; }
    WorkerReport& report(long long worker) const {
        return state_->reports[static_cast<std::size_t>(worker)];
    }

    bool loadFailed(long long workers) const {
        for (long long w = 0; w < workers; ++w)
            if (report(w).failedAt < 0)
                return true;
        return false;
    }

    // Throws what went wrong, if anything: the failed load of the part that
    // comes first in the file (parts hold the scene's nodes in file order),
    // else the first failed cook in sample, then node order.
    void rethrow(long long workers) const {
        const WorkerReport* load = nullptr;
        for (long long w = 0; w < workers; ++w)
            if (report(w).failedAt < 0 && (!load || report(w).failedAt < load->failedAt))
                load = &report(w);
        if (load) {
            if (load->code == kExitBadInput)
                throw InputError(load->message);
            throw RunError(load->message);
        }
        const long long first = counters().firstFailure.load();
        for (long long w = 0; w < workers && first != LLONG_MAX; ++w)
            if (report(w).failedAt == first)
                throw RunError(std::string(report(w).message) + "; nothing was written");
    }

private:
    SharedState* state_;
};

// The nodes of the bake: the chosen ones and every node they read, in the
// scene's order.
std::vector<OBJ_Node*> bakedNodes(Scene& scene, const std::vector<std::string>& names) {
    OP_Network& root = scene.root();
    std::vector<OBJ_Node*> out;
    if (names.empty()) {
        for (int i = 0; i < root.getNchildren(); ++i)
            out.push_back(&asObject(*root.getChild(i)));
        return out;
    }
    std::unordered_map<const OP_Node*, bool> wanted;
    std::vector<OP_Node*> pending;
    for (const std::string& name : names)
        pending.push_back(&scene.node(name));
    while (!pending.empty()) {
        OP_Node* node = pending.back();
        pending.pop_back();
        if (!wanted.emplace(node, true).second)
            continue;
        for (unsigned i = 0; i < node->nInputs(); ++i)
            if (OP_Node* in = node->getInput(i))
                pending.push_back(in);
    }
    for (int i = 0; i < root.getNchildren(); ++i)
        if (wanted.count(root.getChild(i)))
            out.push_back(&asObject(*root.getChild(i)));
    return out;
}

// Groups of things joined in pairs (union-find): nodes joined by wires.
class Groups {
public:
    explicit Groups(std::size_t count) : parent_(count) {
        std::iota(parent_.begin(), parent_.end(), std::size_t(0));
    }
    // The group's representative.
    std::size_t find(std::size_t i) {
        while (parent_[i] != i)
            i = parent_[i] = parent_[parent_[i]];
        return i;
    }
    void join(std::size_t a, std::size_t b) { parent_[find(a)] = find(b); }

private:
    std::vector<std::size_t> parent_;
};

// The nodes of a bake in blocks to cook together: whole groups of nodes
// wired to each other (a node's cook cooks its parent), merged in the
// scene's order up to kBlockNodes. A block is cooked at several samples in
// a row while its nodes are still in the processor's cache: a cook touches
// a few kilobytes of node, and a scene of many nodes, cooked a sample at a
// time, would wait on memory for most of them.
struct CookBlock {
    std::vector<OBJ_Node*> nodes;
    std::vector<std::size_t> columns; // their places in the bake
};

constexpr std::size_t kBlockNodes = 32;

std::vector<CookBlock> cookBlocks(const std::vector<OBJ_Node*>& nodes,
                                  const std::vector<std::size_t>& columns) {
    std::unordered_map<const OP_Node*, std::size_t> index;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        index.emplace(nodes[i], i);
    Groups groups(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i)
        for (unsigned k = 0; k < nodes[i]->nInputs(); ++k)
            if (const auto in = index.find(nodes[i]->getInput(k)); in != index.end())
                groups.join(i, in->second);
    // Each group's nodes in the scene's order, groups by their first node.
    std::vector<std::vector<std::size_t>> members(nodes.size());
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::size_t g = groups.find(i);
        if (members[g].empty())
            order.push_back(g);
        members[g].push_back(i);
    }
    std::vector<CookBlock> blocks;
    for (const std::size_t g : order) {
        if (blocks.empty() || blocks.back().nodes.size() >= kBlockNodes)
            blocks.emplace_back();
        for (const std::size_t i : members[g]) {
            blocks.back().nodes.push_back(nodes[i]);
            blocks.back().columns.push_back(columns[i]);
        }
    }
    return blocks;
}

// Cooks every block at samples first..end - 1, block by block.
void cookSamples(const std::vector<CookBlock>& blocks, const BakeResult& result, std::size_t first,
                 std::size_t end, Counters& counters, WorkerReport& report) {
    double* local = result.local ? result.local->data() : nullptr;
    double* world = result.world->data();
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const CookBlock& block = blocks[b];
        const CookBlock* next = b + 1 < blocks.size() ? &blocks[b + 1] : nullptr;
        for (std::size_t frame = first; frame < end; ++frame) {
            OP_Context context(static_cast<float>(result.times[frame]));
            for (std::size_t n = 0; n < block.nodes.size(); ++n) {
                // The block's first sample brings its nodes into the caches
                // (see cookAll); its last asks for the next block's first.
                if (frame == first)
                    prefetchAhead(block.nodes, n);
                if (frame + 1 == end && next && n + kCookAhead >= block.nodes.size()) {
                    const std::size_t k = n + kCookAhead - block.nodes.size();
                    if (k < next->nodes.size())
                        next->nodes[k]->prefetchForCook();
                }
                OBJ_Node& node = *block.nodes[n];
                const std::size_t at = frame * result.names.size() + block.columns[n];
                if (node.cook(context) >= UT_ERROR_ABORT) {
                    long long seen = counters.firstFailure.load();
                    const auto place = static_cast<long long>(at);
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

// The forked workers: killed and reaped when the parent leaves early.
class Workers {
public:
    Workers() = default;
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    ~Workers() {
        for (const Child& child : children_)
            if (!child.ended)
                ::kill(child.pid, SIGKILL);
        for (const Child& child : children_)
            if (!child.ended)
                ::waitpid(child.pid, nullptr, 0);
    }

    // Forks a worker that runs work and ends; RunError when fork fails.
    template <typename Work> void start(Work&& work) {
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0)
            throw RunError(std::string("cannot start a bake worker: ") + std::strerror(errno));
        if (pid == 0) {
            // The worker: nothing of the parent's (buffered output, exit
            // handlers, an interpreter) runs here, and it dies with the parent.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(1);
            int status = 0;
            try {
                work();
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        children_.push_back({pid});
    }

    // Whether every worker has ended, without waiting.
    bool finished() {
        bool all = true;
        for (Child& child : children_) {
            if (!child.ended && ::waitpid(child.pid, &child.status, WNOHANG) == child.pid)
                child.ended = true;
            all = all && child.ended;
        }
        if (!all)
            ::usleep(2000);
        return all;
    }

    // Waits for every worker; RunError when one did not finish its work.
    void join() {
        std::string failure;
        for (Child& child : children_) {
            while (!child.ended) {
                if (::waitpid(child.pid, &child.status, 0) == child.pid || errno != EINTR)
                    child.ended = true;
            }
            if (!failure.empty())
                continue;
            if (WIFSIGNALED(child.status))
                failure =
                    "a bake worker was killed by signal " + std::to_string(WTERMSIG(child.status));
            else if (WIFEXITED(child.status) && WEXITSTATUS(child.status) != 0)
                failure = "a bake worker failed (exit status " +
                          std::to_string(WEXITSTATUS(child.status)) + ")";
        }
        if (!failure.empty())
            throw RunError(failure + "; nothing was written");
    }

private:
    struct Child {
        pid_t pid;
        int status = 0;
        bool ended = false;
    };
    std::vector<Child> children_;
};

// The samples of the request, at the times the cooks see (seconds as a
// float).
std::vector<double> sampleTimes(const BakeRequest& request) {
    if (request.workers < 0)
        throw InputError("a bake needs 1 or more workers (0 for one per core), not " +
                         std::to_string(request.workers));
    const std::vector<double> all = request.times.values();
    const long long last = static_cast<long long>(all.size()) - 1;
    const auto [first, end] = request.frames.value_or(std::pair{0LL, last});
    if (first < 0 || end > last || first > end)
        throw InputError("samples " + std::to_string(first) + ":" + std::to_string(end) +
                         " are not within the sweep's samples 0:" + std::to_string(last));
    std::vector<double> times;
    for (long long f = first; f <= end; ++f)
        times.push_back(shortestDouble(secondsFrom(all[static_cast<std::size_t>(f)], "time")));
    return times;
}

long long workerCount(const BakeRequest& request, long long most) {
    const long long asked = request.workers == 0 ? defaultBakeWorkers() : request.workers;
    return std::clamp<long long>(asked, 1, std::min<long long>(most, kMaxWorkers));
}

void allocate(BakeResult& result, const BakeRequest& request) {
    const std::size_t doubles = result.frames() * result.names.size() * 16;
    if (request.keepLocal)
        result.local = std::make_shared<BakeBuffer>(doubles);
    result.world = std::make_shared<BakeBuffer>(doubles);
}

// Each worker makes the matrices' pages as it starts, its own share first:
// the workers make the pages side by side, and each then maps the others'
// into its own page tables at once (shared pages are mapped process by
// process; a fault for each on first use costs several times more). The
// parent hears Ctrl-C meanwhile, when interrupt is set.
void populateMatrices(const BakeResult& result, long long worker, long long workers,
                      const Interrupt& interrupt) {
    const auto shares = static_cast<std::size_t>(workers);
    for (std::size_t k = 0; k < shares; ++k)
        for (const auto& buffer : {result.local, result.world})
            if (buffer)
                buffer->populate((static_cast<std::size_t>(worker) + k) % shares, shares,
                                 worker == 0 ? interrupt : Interrupt{});
}

// How a scene file's nodes are shared out: in parts of whole groups
// (nodes joined by wires), which the workers take one at a time, each
// loading and cooking only the nodes of its part. Parts shrink along the
// file, so that the last ones, taken as the workers finish, are small and
// the workers end close together whatever their speeds.
struct NodePlan {
    std::vector<std::size_t> baked;              // the file's index of each baked node
    std::vector<std::vector<std::size_t>> parts; // the file's indexes of each part's nodes
    std::vector<std::size_t> parent; // the file's index of each node's input 0, or SIZE_MAX
};

// A part is not made smaller than this: loading and cooking it at 49
// samples takes some tens of milliseconds.
constexpr std::size_t kLeastPartNodes = 256;

// Nothing when one group would hold a worker up longer than an even share
// of the whole, or when the outline holds a fault (a name twice, an unknown
// input) that the load reports.
std::optional<NodePlan> planByNodes(const SceneOutline& outline,
                                    const std::vector<std::string>& chosen, long long workers) {
    const std::size_t count = outline.nodes.size();
    std::unordered_map<std::string_view, std::size_t> index;
    index.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        if (!index.emplace(outline.nodes[i].name, i).second)
            return std::nullopt;
    NodePlan plan;
    plan.parent.assign(count, SIZE_MAX);
    // Each node's inputs, node by node: inputs[inputsFrom[i]..inputsFrom[i + 1]).
    std::vector<std::size_t> inputs, inputsFrom{0};
    inputsFrom.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::vector<std::string>& names = outline.nodes[i].inputs;
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (names[k].empty())
                continue;
            const auto found = index.find(names[k]);
            if (found == index.end())
                return std::nullopt;
            inputs.push_back(found->second);
            if (k == 0)
                plan.parent[i] = found->second;
        }
        inputsFrom.push_back(inputs.size());
    }
    // The nodes baked: the chosen ones and those they read.
    std::vector<bool> wanted(count, chosen.empty());
    std::vector<std::size_t> pending;
    for (const std::string& name : chosen) {
        const auto found = index.find(name);
        if (found == index.end())
            return std::nullopt;
        pending.push_back(found->second);
    }
    while (!pending.empty()) {
        const std::size_t i = pending.back();
        pending.pop_back();
        if (wanted[i])
            continue;
        wanted[i] = true;
        for (std::size_t k = inputsFrom[i]; k < inputsFrom[i + 1]; ++k)
            pending.push_back(inputs[k]);
    }
    Groups groups(count);
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t k = inputsFrom[i]; k < inputsFrom[i + 1]; ++k)
            groups.join(i, inputs[k]);
    // Every node is loaded by some part, so that a fault anywhere in the
    // scene is found as a plain load finds it; only the baked ones cook.
    std::vector<std::size_t> size(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        ++size[groups.find(i)];
        if (wanted[i])
            plan.baked.push_back(i);
    }
    if (plan.baked.empty() ||
        *std::max_element(size.begin(), size.end()) > count / static_cast<std::size_t>(workers))
        return std::nullopt;
    // Whole groups in file order, each new part a 2 * workers-th of what is
    // left.
    std::vector<std::size_t> partOfGroup(count, SIZE_MAX);
    std::size_t assigned = 0, inPart = 0, target = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t g = groups.find(i);
        if (partOfGroup[g] == SIZE_MAX) {
            if (plan.parts.empty() || inPart >= target) {
                plan.parts.emplace_back();
                target = std::max(kLeastPartNodes,
                                  (count - assigned) / (2 * static_cast<std::size_t>(workers)));
                inPart = 0;
            }
            partOfGroup[g] = plan.parts.size() - 1;
            assigned += size[g];
            inPart += size[g];
        }
        plan.parts[partOfGroup[g]].push_back(i);
    }
    return plan;
}

// Shared bytes, one a thing, unmapped when it goes.
class SharedFlags {
public:
    explicit SharedFlags(std::size_t count)
        : flags_(reinterpret_cast<std::atomic<unsigned char>*>(mapShared(count))), count_(count) {}
    ~SharedFlags() { ::munmap(flags_, std::max<std::size_t>(count_, 1)); }
    SharedFlags(const SharedFlags&) = delete;
    SharedFlags& operator=(const SharedFlags&) = delete;
    std::atomic<unsigned char>& operator[](std::size_t i) const { return flags_[i]; }

private:
    std::atomic<unsigned char>* flags_;
    std::size_t count_;
};

} // namespace

BakeBuffer::BakeBuffer(std::size_t doubles)
    : data_(reinterpret_cast<double*>(mapShared(doubles * sizeof(double)))), size_(doubles) {}

void BakeBuffer::populate(std::size_t share, std::size_t shares, const Interrupt& interrupt) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t pages = (size_ * sizeof(double) + page - 1) / page;
    const std::size_t first = pages * share / shares, end = pages * (share + 1) / shares;
    auto* const bytes = reinterpret_cast<char*>(data_);
    mhost::populate(bytes + first * page, (end - first) * page, interrupt);
}

BakeBuffer::~BakeBuffer() {
    ::munmap(data_, std::max<std::size_t>(size_ * sizeof(double), 1));
}

int defaultBakeWorkers() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof(set), &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
}

BakeResult bakeScene(Scene& scene, const BakeRequest& request) {
    BakeResult result;
    result.times = sampleTimes(request);
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

    const auto frames = static_cast<long long>(result.frames());
    const long long workers = workerCount(request, frames);
    // Four chunks a worker at least, so that one slow chunk does not hold
    // the others up, and at most 64 samples a chunk.
    const long long chunk = std::clamp<long long>(frames / (4 * workers), 1, 64);
    SharedCounters shared;
    Counters& counters = shared.counters();
    const SharedFlags cooked(result.frames()); // which samples are in
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
    return result;
}

BakeResult bakeSceneFile(Host& host, std::string_view text, const std::string& source,
                         const BakeRequest& request) {
    std::vector<double> times = sampleTimes(request);
    std::optional<SceneOutline> outline;
    std::optional<NodePlan> plan;
    long long workers = workerCount(request, kMaxWorkers);
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

    BakeResult result;
    result.times = std::move(times);
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

    SharedCounters shared;
    Counters& counters = shared.counters();
    const std::size_t parts = plan->parts.size();
    workers = std::min(workers, static_cast<long long>(parts));
    const SharedFlags cooked(parts); // which parts are in
    std::vector<bool> handedOn(parts, false);
    // In the parent: the columns of the parts cooked so far, in runs of
    // neighbours, go to columnsReady.
    const auto handOn = [&] {
        for (std::size_t p = 0; p < parts; ++p) {
            if (handedOn[p] || cooked[p].load() == 0)
                continue;
            handedOn[p] = true;
            if (!request.columnsReady)
                continue;
            std::size_t first = SIZE_MAX, end = 0; // the run so far
            for (const std::size_t i : plan->parts[p]) {
                if (column[i] == SIZE_MAX) // loaded, not baked
                    continue;
                if (column[i] != end && first != SIZE_MAX) {
                    request.columnsReady(result, first, end);
                    first = SIZE_MAX;
                }
                if (first == SIZE_MAX)
                    first = column[i];
                end = column[i] + 1;
            }
            if (first != SIZE_MAX)
                request.columnsReady(result, first, end);
        }
        if (request.progress)
            request.progress(static_cast<std::size_t>(counters.samplesDone.load()) /
                                 result.names.size(),
                             result.frames());
    };
    // Each worker takes the next part, loads it alone and cooks it at every
    // sample, until none is left.
    const auto work = [&](long long w) {
        populateMatrices(result, w, workers, {});
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
            cookSamples(cookBlocks(nodes, columns), result, 0, result.frames(), counters, report);
            counters.samplesDone.fetch_add(static_cast<long long>(nodes.size() * result.frames()));
            cooked[p].store(1);
            if (w == 0)
                handOn();
        }
    };
    {
        Workers children;
        for (long long w = 1; w < workers; ++w)
            children.start([&, w] { work(w); });
        work(0);
        // The others' parts come in while the parent waits.
        while (!children.finished())
            handOn();
        children.join();
    }
    // A part that did not load: the scene as a plain load reads it gives the
    // message, the first fault in the file, whichever part held it.
    if (shared.loadFailed(workers)) {
        Scene whole(host);
        sceneFromText(whole, text, source);
    }
    shared.rethrow(workers);
    handOn();
    if (!request.columnsReady && request.samplesReady)
        request.samplesReady(result, result.frames());
    return result;
}

} // namespace mhost
