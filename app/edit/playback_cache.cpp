#include "edit/playback_cache.hpp"

#include "engine/bake.hpp"
#include "engine/bake_cook.hpp"
#include "support/errors.hpp"
#include "support/process.hpp"
#include "support/shared_memory.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mhost {

namespace {

// A block's bake keeps its own matrices (doubles) under this, one frame at
// least; and a fill is four blocks at least, so that the frames asked for
// first are ready after a quarter of the fill. Each block costs a bake's
// start (its workers forked, their nodes copied), and a bake of more
// samples cooks each node at more of them while it is in the processor's
// cache: at 10,000 nodes, 240 frames took 1.27 s in blocks of 200 frames,
// 1.34 s in blocks of 60, 1.49 s in blocks of 30 (bench/README.md).
constexpr std::size_t kBakeBytes = std::size_t(256) << 20;
constexpr int kLeastBlocks = 4;

constexpr std::size_t kMatrixFloats = 16;
constexpr int kFillNice = 10;

enum FillState : int { kFilling, kFilled, kFailed };

// What a fill shares with the editor besides the matrices: its state, why
// it failed, and a ready flag per cached frame (in fill order) after it.
struct FillControl {
    std::atomic<int> state{kFilling};
    std::atomic<int> ready{0};
    WorkerReport failure;
};
static_assert(std::atomic<int>::is_always_lock_free);

// What a fill's child is to do: the frames of the timeline in fill order,
// from `from` to the end and on from the start, `frames` of them.
struct FillPlan {
    Timeline timeline;
    int from = 1;
    int frames = 0;
    std::size_t nodes = 0;
    int workers = 0;
};

// The frame at place slot of the fill order.
int frameAt(const FillPlan& plan, int slot) {
    const int tail = plan.timeline.end - plan.from + 1;
    return slot < tail ? plan.from + slot : plan.timeline.start + (slot - tail);
}

// A run of frames baked together: its first place in the fill order and its
// length. A block never runs past the range's end, where the fill goes on
// from the start; nor past frame 0 to frame 1 (time 0), where a sweep's
// time interpolated between the block's ends would be a hair off zero.
struct Block {
    int slot = 0;
    int frames = 0;
};

std::vector<Block> blocksOf(const FillPlan& plan) {
    const std::size_t frameBytes = plan.nodes * kMatrixFloats * sizeof(double);
    const auto most = static_cast<std::size_t>((plan.frames + kLeastBlocks - 1) / kLeastBlocks);
    const auto size = static_cast<int>(std::clamp<std::size_t>(kBakeBytes / frameBytes, 1, most));
    std::vector<Block> blocks;
    for (int slot = 0; slot < plan.frames;) {
        const int first = frameAt(plan, slot);
        const int frames = std::min({size, plan.frames - slot, plan.timeline.end - first + 1,
                                     first < 1 ? 1 - first : size});
        blocks.push_back({slot, frames});
        slot += frames;
    }
    return blocks;
}

// A bake of frames first..last of the timeline: a sweep of their times, its
// ends exactly the frames' times.
BakeRequest framesRequest(const Timeline& timeline, int first, int last, int workers) {
    const auto seconds = [&](int frame) { return static_cast<double>(frame - 1) / timeline.fps; };
    BakeRequest request;
    request.times = SweepRange{seconds(first), seconds(last), std::max(1, last - first)};
    request.frames = std::pair{0LL, static_cast<long long>(last - first)};
    request.workers = workers;
    request.keepLocal = false;
    return request;
}

// In the fill's child: nothing it writes reaches the editor's streams, and
// what the editor had buffered is not written a second time.
void quietOutput() {
    __fpurge(stdout);
    __fpurge(stderr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO})
        if (null < 0)
            ::close(fd);
        else
            ::dup2(null, fd);
    if (null > STDERR_FILENO)
        ::close(null);
}

// How a process ended, for messages.
std::string describeEnd(int status) {
    return WIFSIGNALED(status)
               ? "was killed by signal " + std::to_string(WTERMSIG(status))
               : "ended early (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
}

// Where a fill puts what it bakes.
struct FillTarget {
    const SharedMemory* matrices;
    FillControl* control;
    std::atomic<unsigned char>* ready;
};

// Float32 of the world matrices of columns (nodes) first..end - 1 of the
// bake's samples from..to - 1, into the cache from place slot on.
void convert(const BakeResult& bake, std::size_t from, std::size_t to, std::size_t first,
             std::size_t end, float* cache, int slot) {
    const std::size_t nodes = bake.names.size();
    for (std::size_t k = from; k < to; ++k) {
        const double* world = bake.world->data() + (k * nodes + first) * kMatrixFloats;
        float* out = cache + ((static_cast<std::size_t>(slot) + k) * nodes + first) * kMatrixFloats;
        for (std::size_t i = 0; i < (end - first) * kMatrixFloats; ++i)
            out[i] = static_cast<float>(world[i]);
    }
}

// Bakes a block into the cache, marking its frames ready once all of their
// matrices are there. The matrices are converted as the bake hands them on
// (parts of nodes as they are done, or samples), while its workers go on
// cooking. A sample's time can differ from its frame's in the last bit (a
// sweep's times are interpolated between its ends): such a frame is baked
// again alone, at its own time.
void bakeBlock(Scene& scene, const FillPlan& plan, const Block& block, const FillTarget& target) {
    const std::size_t floats = plan.nodes * kMatrixFloats;
    const int first = frameAt(plan, block.slot), last = first + block.frames - 1;
    // Faulting the pages in one call first is several times faster.
    target.matrices->populateBytes(static_cast<std::size_t>(block.slot) * floats * sizeof(float),
                                   static_cast<std::size_t>(block.frames) * floats * sizeof(float));
    float* const cache = reinterpret_cast<float*>(target.matrices->data());
    BakeRequest request = framesRequest(plan.timeline, first, last, plan.workers);
    request.columnsReady = [&](const BakeResult& bake, std::size_t from, std::size_t end) {
        convert(bake, 0, bake.frames(), from, end, cache, block.slot);
    };
    std::size_t converted = 0;
    request.samplesReady = [&](const BakeResult& bake, std::size_t ready) {
        convert(bake, converted, ready, 0, plan.nodes, cache, block.slot);
        converted = ready;
    };
    const BakeResult bake = bakeScene(scene, request);
    for (int k = 0; k < block.frames; ++k)
        if (static_cast<float>(bake.times[static_cast<std::size_t>(k)]) !=
            plan.timeline.time(first + k))
            convert(bakeScene(scene, framesRequest(plan.timeline, first + k, first + k, 1)), 0, 1,
                    0, plan.nodes, cache, block.slot + k);
    for (int k = 0; k < block.frames; ++k)
        target.ready[block.slot + k].store(1, std::memory_order_release);
    target.control->ready.fetch_add(block.frames);
}

// The fill's child: bakes the snapshot block by block, in fill order, the
// bake's workers on every core; stops at the first block that fails.
void fillFrames(Scene& snapshot, const FillPlan& plan, const FillTarget& target) {
    quietOutput();
    // Nothing of the editor's stays open here: its journal's lock, its
    // listening socket and its pages' connections are the editor's alone,
    // and end with it (the fill needs none: its memory is mapped).
    ::close_range(STDERR_FILENO + 1, ~0U, 0);
    // The editor's answers come first: the fill takes what the cores leave.
    // (Where the system refuses, it bakes at the editor's priority.)
    errno = 0;
    if (::nice(kFillNice) == -1 && errno != 0)
        errno = 0;
    FillControl& control = *target.control;
    std::string failure;
    int code = kExitRunFailure;
    for (const Block& block : blocksOf(plan)) {
        try {
            bakeBlock(snapshot, plan, block, target);
        } catch (const std::exception& e) {
            if (const auto* known = dynamic_cast<const Failure*>(&e))
                code = known->code();
            const int first = frameAt(plan, block.slot);
            failure = "frames " + std::to_string(first) + "-" +
                      std::to_string(first + block.frames - 1) + " are not cached: " + e.what();
            break;
        }
    }
    if (!failure.empty())
        control.failure.record(0, code, failure);
    control.state.store(failure.empty() ? kFilled : kFailed);
}

} // namespace

// A thread of the cache's own that forks the fills' children: the kernel
// kills a child that asked for it (PR_SET_PDEATHSIG) when the thread that
// forked it ends, and the editor's threads may come and go.
class PlaybackCache::Forker {
public:
    Forker() : thread_([this] { serve(); }) {}
    ~Forker() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Forker(const Forker&) = delete;
    Forker& operator=(const Forker&) = delete;

    // Runs job on the thread and waits for it; rethrows what it throws.
    void run(const std::function<void()>& job) {
        std::unique_lock lock(mutex_);
        job_ = &job;
        error_ = nullptr;
        changed_.notify_all();
        changed_.wait(lock, [this] { return job_ == nullptr; });
        if (error_)
            std::rethrow_exception(error_);
    }

private:
    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stop_ || job_ != nullptr; });
            if (stop_)
                return;
            // The fork runs without the lock: the child inherits no lock held.
            const std::function<void()>& job = *job_;
            lock.unlock();
            std::exception_ptr error;
            try {
                job();
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            error_ = error;
            job_ = nullptr;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void()>* job_ = nullptr;
    std::exception_ptr error_;
    bool stop_ = false;
    std::thread thread_;
};

// One fill: what it shares with its child, and the child.
class PlaybackCache::Fill {
public:
    explicit Fill(int frames)
        : memory_(sizeof(FillControl) + static_cast<std::size_t>(frames), "the playback cache"),
          control_(new (memory_.data()) FillControl) {}
    ~Fill() {
        child.reset(); // killed and reaped before the memory goes
        control_->~FillControl();
    }
    Fill(const Fill&) = delete;
    Fill& operator=(const Fill&) = delete;

    FillControl& control() const { return *control_; }
    std::atomic<unsigned char>* ready() const {
        return reinterpret_cast<std::atomic<unsigned char>*>(memory_.data() + sizeof(FillControl));
    }

    std::optional<ChildProcess> child;
    std::string ended; // why the child ended before its fill did, if it did

private:
    SharedMemory memory_;
    FillControl* control_;
};

PlaybackCache::PlaybackCache(std::size_t budgetBytes, int workers)
    : matrices_(std::make_unique<SharedMemory>(budgetBytes, "the playback cache")),
      forker_(std::make_unique<Forker>()), budget_(budgetBytes), workers_(workers) {}

PlaybackCache::~PlaybackCache() {
    invalidate();
}

void PlaybackCache::restart(Scene& scene, int fromFrame) {
    invalidate();
    timeline_ = scene.timeline();
    nodes_ = static_cast<std::size_t>(scene.root().getNchildren());
    from_ = std::clamp(fromFrame, timeline_.start, timeline_.end);
    const std::size_t frameBytes = nodes_ * kMatrixFloats * sizeof(float);
    const auto range = static_cast<std::size_t>(timeline_.frames());
    capacity_ = static_cast<int>(frameBytes == 0 ? range : std::min(range, budget_ / frameBytes));

    auto fill = std::make_unique<Fill>(capacity_);
    FillControl& control = fill->control();
    if (nodes_ == 0 || capacity_ == 0) {
        // Nothing to cook: every cached frame (of no matrices) is ready.
        for (int slot = 0; slot < capacity_; ++slot)
            fill->ready()[slot].store(1);
        control.ready.store(capacity_);
        control.state.store(kFilled);
        fill_ = std::move(fill);
        return;
    }
    const FillPlan plan{timeline_, from_, capacity_, nodes_, workers_};
    const FillTarget target{matrices_.get(), &control, fill->ready()};
    const std::function<void()> start = [&] {
        fill->child =
            ChildProcess::fork({.ownGroup = true, .diesWithParent = true}, [&scene, plan, target] {
                fillFrames(scene, plan, target);
                return 0;
            });
    };
    forker_->run(start);
    fill_ = std::move(fill);
}

void PlaybackCache::invalidate() {
    fill_.reset();
}

void PlaybackCache::reap() const {
    if (!fill_ || !fill_->child || !fill_->child->poll() || !fill_->ended.empty())
        return;
    if (fill_->control().state.load() != kFilling)
        return;
    fill_->ended = "the playback cache's fill " + describeEnd(*fill_->child->status());
}

int PlaybackCache::slotOf(int frame) const {
    if (!fill_ || frame < timeline_.start || frame > timeline_.end)
        return -1;
    const int slot =
        frame >= from_ ? frame - from_ : timeline_.end - from_ + 1 + frame - timeline_.start;
    return slot < capacity_ ? slot : -1;
}

const float* PlaybackCache::frame(int frame) const {
    const int slot = slotOf(frame);
    if (slot < 0 || fill_->ready()[slot].load(std::memory_order_acquire) == 0)
        return nullptr;
    return reinterpret_cast<const float*>(matrices_->data()) +
           static_cast<std::size_t>(slot) * nodes_ * kMatrixFloats;
}

int PlaybackCache::readyCount() const {
    return fill_ ? fill_->control().ready.load() : 0;
}

std::vector<std::pair<int, int>> PlaybackCache::readyRuns() const {
    std::vector<std::pair<int, int>> runs;
    if (!fill_)
        return runs;
    for (int f = timeline_.start; f <= timeline_.end; ++f) {
        const int slot = slotOf(f);
        if (slot < 0 || fill_->ready()[slot].load() == 0)
            continue;
        if (!runs.empty() && runs.back().second == f - 1)
            runs.back().second = f;
        else
            runs.emplace_back(f, f);
    }
    return runs;
}

PlaybackCache::State PlaybackCache::state() const {
    reap();
    if (!fill_)
        return State::Empty;
    if (!fill_->ended.empty())
        return State::Failed;
    switch (fill_->control().state.load()) {
    case kFilled:
        return State::Filled;
    case kFailed:
        return State::Failed;
    default:
        return State::Filling;
    }
}

std::string PlaybackCache::failure() const {
    if (state() != State::Failed)
        return {};
    return fill_->ended.empty() ? std::string(fill_->control().failure.message) : fill_->ended;
}

bool PlaybackCache::wait(std::chrono::milliseconds limit) {
    if (!fill_ || !fill_->child)
        return true;
    ChildProcess& child = *fill_->child;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!child.poll()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // Without a pidfd (an old kernel), the child is polled periodically.
        pollfd ended{child.endedFd(), POLLIN, 0};
        ::poll(&ended, 1,
               static_cast<int>(child.endedFd() < 0 ? std::min<long long>(left.count(), 20)
                                                    : left.count()));
    }
    reap();
    return true;
}

} // namespace mhost
