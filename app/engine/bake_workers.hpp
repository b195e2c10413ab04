// The processes of a bake (engine/bake.hpp): forked workers, the parent
// working as worker 0, and what says which of them cooked each piece.
//
// A worker keeps its matrices in its own memory (bake_result.hpp's
// BakeBuffer) and says when a piece is done; the parent takes each piece
// over, then lets the workers end. A worker that ends before that has
// failed.
#pragma once

#include "support/errors.hpp"
#include "support/process.hpp"
#include "support/shared_memory.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <sys/types.h>

namespace mhost {

// The forked workers, each dying with the parent; killed and reaped when
// the parent exits early.
class Workers {
public:
    // RunError when the system gives no means to hear from them.
    Workers();
    ~Workers();
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Forks the next worker (1, 2, ...), which runs work, waits until the
    // parent lets it go (join) and ends; RunError when fork fails.
    template <typename Work> void start(Work&& work) {
        startChild([&work] { work(); });
    }
    // The process of worker w (1 for the first started).
    pid_t pid(long long w) const { return children_[static_cast<std::size_t>(w - 1)].pid(); }

    // In a worker: tells the parent that a piece is done.
    void partDone() const;
    // In the parent: waits until a worker says a piece is done (true) or
    // one has ended before it was let go, having failed (false).
    bool waitForPart();
    // Lets every worker end, and waits for them; RunError when one did not
    // finish its work.
    void join();

private:
    void startChild(const std::function<void()>& work);

    std::vector<ChildProcess> children_;
    int partDone_ = -1;   // an eventfd the workers write to
    int release_[2] = {}; // a pipe the parent closes to let them end
};

// Who cooked each piece (part or sample) of a bake, in memory shared with
// the workers: worker w, or none yet; and where a worker put its matrices.
// The parent's take-over of a piece makes it its own.
class CookedBy {
public:
    explicit CookedBy(std::size_t count);
    // Worker w has cooked piece i, its matrices at `matrices` in its memory.
    void mark(std::size_t i, long long worker, const double* matrices = nullptr) const {
        piece(i).matrices = matrices;
        piece(i).by.store(static_cast<std::uint16_t>(worker + 1));
    }
    // Piece i is done, with nothing cooked: the bake has failed.
    void markFailed(std::size_t i) const { piece(i).by.store(kFailed); }
    bool done(std::size_t i) const { return piece(i).by.load() != 0; }
    bool failed(std::size_t i) const { return piece(i).by.load() == kFailed; }
    // The worker that cooked piece i (0 for the parent), once done and not
    // failed, and where it put the matrices.
    long long worker(std::size_t i) const { return piece(i).by.load() - 1; }
    const double* matrices(std::size_t i) const { return piece(i).matrices; }
    // Whether every piece is done.
    bool all() const;

private:
    static constexpr std::uint16_t kFailed = UINT16_MAX; // workers number at most 256
    struct Piece {
        std::atomic<std::uint16_t> by;
        const double* matrices; // written before by
    };
    Piece& piece(std::size_t i) const { return reinterpret_cast<Piece*>(memory_.data())[i]; }
    SharedMemory memory_;
    std::size_t count_;
};
static_assert(std::atomic<std::uint16_t>::is_always_lock_free);

// Runs work(w) in forked workers 1..workers - 1 and here as worker 0, then
// calls handOn (which takes over what the workers cooked) as they complete
// pieces, until cooked has every piece or a worker failed; then lets them
// end. RunError when one failed or ended early.
template <typename Work, typename HandOn>
void runWorkers(Workers& children, long long workers, const CookedBy& cooked, const Work& work,
                const HandOn& handOn) {
    for (long long w = 1; w < workers; ++w)
        children.start([&, w] { work(w); });
    work(0);
    for (;;) {
        // Whether all were done before handOn looked, not after: a piece
        // done meanwhile would never be taken over.
        const bool all = cooked.all();
        handOn();
        if (all || !children.waitForPart())
            break;
    }
    children.join();
    if (!cooked.all())
        throw RunError("a bake worker ended before its work was done; nothing was written");
}

} // namespace mhost
