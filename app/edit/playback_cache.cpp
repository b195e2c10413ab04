#include "edit/playback_cache.hpp"

#include "engine/bake.hpp"
#include "engine/bake_cook.hpp"
#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/process.hpp"
#include "support/shared_memory.hpp"

#include <algorithm>
#include <atomic>
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

// The bake's own matrices (doubles) of the blocks a fill's processes bake
// at once stay under this (a block is one frame at least). Each block
// costs a bake's setup (0.12 s at 100,000 nodes) and a bake of a few
// samples cooks each node at each of them while it is in the processor's
// cache: at 100,000 nodes, blocks of 10 frames took 0.08 s a frame, of 2
// frames 0.165 s. And a fill is cut in four blocks per process at least,
// so that its processes end close together.
constexpr std::size_t kBakeBytes = std::size_t(256) << 20;
constexpr int kBlocksPerProcess = 4;

constexpr std::size_t kMatrixFloats = 16;

enum FillState : int { kFilling, kFilled, kFailed };

// What a fill shares with the editor besides the matrices: its state, why
// it failed, and a ready flag per cached frame (in fill order) after it;
// and what its processes share: the next block to take.
struct FillControl {
    std::atomic<int> state{kFilling};
    std::atomic<int> ready{0};
    std::atomic<int> nextBlock{0};
    std::atomic<bool> failed{false}; // a process has claimed `failure`
    WorkerReport failure;
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

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

std::vector<Block> blocksOf(const FillPlan& plan, long long processes) {
    const std::size_t frameBytes = plan.nodes * kMatrixFloats * sizeof(double);
    const long long share = kBlocksPerProcess * processes;
    const auto most = static_cast<std::size_t>((plan.frames + share - 1) / share);
    const std::size_t fit = kBakeBytes / static_cast<std::size_t>(processes) / frameBytes;
    const auto size = static_cast<int>(std::clamp<std::size_t>(fit, 1, most));
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

// How a process ended, for messages.
std::string describeEnd(int status) {
    return WIFSIGNALED(status)
               ? "was killed by signal " + std::to_string(WTERMSIG(status))
               : "ended early (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
}

// Bakes frames first..last of the timeline in this process: a sweep of
// their times, its ends exactly the frames' times.
BakeResult bakeFrames(Scene& scene, const Timeline& timeline, int first, int last) {
    const auto seconds = [&](int frame) { return static_cast<double>(frame - 1) / timeline.fps; };
    BakeRequest request;
    request.times = SweepRange{seconds(first), seconds(last), std::max(1, last - first)};
    request.frames = std::pair{0LL, static_cast<long long>(last - first)};
    request.workers = 1;
    request.keepLocal = false;
    return bakeScene(scene, request);
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

// Where a fill's processes put what they bake.
struct FillTarget {
    const SharedMemory* matrices;
    FillControl* control;
    std::atomic<unsigned char>* ready;
};

// Stops the fill, saying why, unless another of its processes did first.
void failFill(FillControl& control, int code, const std::string& why) {
    if (control.failed.exchange(true))
        return;
    control.failure.record(0, code, why);
    control.state.store(kFailed);
}

// In a process of the fill: bakes the next block not taken, until none is
// left or the fill has failed, marking each frame ready once its matrices
// are there. A sample's time can differ from its frame's in the last bit
// (a sweep's times are interpolated between its ends): such a frame is
// baked again alone, at its own time.
void bakeBlocks(Scene& scene, const FillPlan& plan, const std::vector<Block>& blocks,
                const FillTarget& target) {
    FillControl& control = *target.control;
    const std::size_t floats = plan.nodes * kMatrixFloats;
    float* const out = reinterpret_cast<float*>(target.matrices->data());
    for (;;) {
        const auto b = static_cast<std::size_t>(control.nextBlock.fetch_add(1));
        if (b >= blocks.size() || control.failed.load())
            return;
        const Block& block = blocks[b];
        const int first = frameAt(plan, block.slot), last = first + block.frames - 1;
        try {
            const BakeResult bake = bakeFrames(scene, plan.timeline, first, last);
            // Faulting the pages in one call first is several times faster.
            target.matrices->populateBytes(static_cast<std::size_t>(block.slot) * floats * 4,
                                           static_cast<std::size_t>(block.frames) * floats * 4);
            for (int k = 0; k < block.frames; ++k) {
                std::optional<BakeResult> alone;
                const double* world = bake.world->data() + static_cast<std::size_t>(k) * floats;
                if (static_cast<float>(bake.times[static_cast<std::size_t>(k)]) !=
                    plan.timeline.time(first + k)) {
                    alone = bakeFrames(scene, plan.timeline, first + k, first + k);
                    world = alone->world->data();
                }
                float* to = out + static_cast<std::size_t>(block.slot + k) * floats;
                for (std::size_t i = 0; i < floats; ++i)
                    to[i] = static_cast<float>(world[i]);
                target.ready[block.slot + k].store(1, std::memory_order_release);
                control.ready.fetch_add(1);
            }
        } catch (const std::exception& e) {
            const auto* failure = dynamic_cast<const Failure*>(&e);
            failFill(control, failure ? failure->code() : kExitRunFailure,
                     "frames " + std::to_string(first) + "-" + std::to_string(last) +
                         " are not cached: " + e.what());
            return;
        }
    }
}

// The fill's child: bakes the plan's blocks on every core, itself and
// processes forked from it taking them in turn, in fill order. Each bakes
// a copy of the scene of its own, read from the scene's text: cooking
// writes to most of a node's pages, and the pages of the snapshot, shared
// with the editor, would each be copied on the first write, in every
// process: at 100,000 nodes the copies took 8.6 s of a 19 s fill, where
// writing the text and reading it take 3 s each (bench/README.md).
void fillFrames(const Scene& snapshot, const FillPlan& plan, const FillTarget& target) {
    quietOutput();
    FillControl& control = *target.control;
    try {
        BakeRequest asked;
        asked.workers = plan.workers;
        const std::vector<Block> blocks = blocksOf(plan, workerCount(asked, plan.frames));
        const long long processes = workerCount(asked, static_cast<long long>(blocks.size()));
        const std::string text = sceneText(snapshot);
        const auto fill = [&] {
            // Never destroyed: the process ends with _exit, and freeing every
            // node would only delay its end.
            auto* const scene = new Scene(snapshot.host());
            sceneFromText(*scene, text, "the playback cache's copy of the scene");
            bakeBlocks(*scene, plan, blocks, target);
        };
        std::vector<ChildProcess> children;
        for (long long w = 1; w < processes; ++w)
            children.push_back(ChildProcess::fork({}, [&] {
                try {
                    fill();
                } catch (const std::exception& e) {
                    failFill(control, kExitRunFailure, e.what());
                }
                return 0;
            }));
        fill();
        for (ChildProcess& child : children)
            if (const int status = child.wait(); !WIFEXITED(status) || WEXITSTATUS(status) != 0)
                failFill(control, kExitRunFailure,
                         "a process of the playback cache's fill " + describeEnd(status));
    } catch (const std::exception& e) {
        failFill(control, kExitRunFailure, e.what());
    }
    int filling = kFilling;
    control.state.compare_exchange_strong(filling, kFilled);
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
