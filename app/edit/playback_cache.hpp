// The editor's playback cache: every node's world matrix at every frame of
// the scene's timeline, baked in the background so that play and scrub show
// frames without cooking them.
//
// A fill is a snapshot of the scene: restart() forks a child process, which
// holds the scene as it was at the fork (copy-on-write), and returns. The
// child bakes its scene with the bake engine (bakeScene, its workers on
// every core) a block of frames at a time, so that the bake's own buffers
// stay bounded. Each block's world matrices go, as float32, into memory
// shared with the editor, and each frame is marked ready (a flag per
// frame, also shared) once all of its matrices are there. The editor's
// scene is never touched by the fill and the editor's threads go on
// meanwhile; an edit calls invalidate() (or restart()), which kills the
// fill and its workers at once.
//
// Frames are filled from the frame asked for to the end of the range, then
// from the range's start, so that playback from the current frame finds its
// frames first; as many as the budget holds (a frame is nodes x 16 float32),
// the rest are not cached. The memory is sized by the budget, not by the
// scene, and its pages are taken as the fill writes them.
//
// A fill whose cook fails stops there: the frames of the block that failed
// and of the blocks after it stay not ready, and failure() says why.
//
// The fill's processes end with the editor, however it ends: the child gets
// SIGKILL when the editor's process dies (its workers when it dies), leads
// a process group of its own that invalidate() kills whole, and is forked
// from a thread of the cache's own, which lives as long as the cache (the
// kernel sends that signal when the thread that forked the child ends).
// The child keeps none of the editor's files open, and bakes at a lower
// priority (nice 10): the editor's answers come first.
//
// Not safe for concurrent calls: the editor makes them holding its session
// lock. A pointer from frame() is good until the next restart() or
// invalidate().
#pragma once

#include "engine/host_session.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace mhost {

class SharedMemory;

class PlaybackCache {
public:
    // budgetBytes of float32 matrices at most (mhost edit's --cache-mb);
    // workers: processes baking at once, the fill's included (0: one per
    // core). RunError when the memory cannot be reserved.
    explicit PlaybackCache(std::size_t budgetBytes, int workers = 0);
    // Kills a fill that runs.
    ~PlaybackCache();
    PlaybackCache(const PlaybackCache&) = delete;
    PlaybackCache& operator=(const PlaybackCache&) = delete;

    // Throws away what the cache holds and starts filling it for the scene
    // as it is now: every node of scene.timeline(), from fromFrame (put
    // within the range) to the end, then from the start. Returns once the
    // child holding the scene's snapshot is forked. RunError when it cannot
    // be (the cache is then empty).
    void restart(Scene& scene, int fromFrame);
    // Stops a fill (its processes killed, the child reaped, which takes no
    // longer than the kernel takes to end it) and marks every frame not ready.
    void invalidate();

    // The nodeCount() x 16 world matrix entries of the frame (node by node,
    // in the scene's order, each row-major as a bake gives them), or null
    // when the frame is not ready.
    const float* frame(int frame) const;
    // The nodes and timeline the cache was last restarted for.
    std::size_t nodeCount() const { return nodes_; }
    const Timeline& timeline() const { return timeline_; }
    // The frames the fill caches: as many as the budget holds, at most the
    // range's.
    int cachedFrames() const { return capacity_; }
    // Frames ready now, and the same as runs of frames [first, last].
    int readyCount() const;
    std::vector<std::pair<int, int>> readyRuns() const;

    enum class State {
        Empty,   // never started, or invalidated
        Filling, // a fill runs
        Filled,  // every cached frame is ready
        Failed,  // the fill stopped early: see failure()
    };
    State state() const;
    // Why the fill failed ("" unless state() is Failed).
    std::string failure() const;

    // Waits up to limit for a fill to end; true when none runs.
    bool wait(std::chrono::milliseconds limit);

private:
    class Fill;
    class Forker;

    // A frame's place in the fill order, or -1 when it is not cached.
    int slotOf(int frame) const;
    // Reaps the fill's child if it has ended.
    void reap() const;

    std::unique_ptr<SharedMemory> matrices_; // the budget's memory, kept for the cache's life
    std::unique_ptr<Forker> forker_;
    std::unique_ptr<Fill> fill_; // the current fill, if any
    std::size_t budget_;
    int workers_;
    std::size_t nodes_ = 0;
    Timeline timeline_;
    int from_ = 1;
    int capacity_ = 0;
};

} // namespace mhost
