// An editing session's playback cache (playback_cache.hpp), kept for the
// scene as it is now.
//
// Its versions are the scene's, counted by the caller. What changes the
// scene (an edit, undo, redo, reload or recovery, from any page; not a
// save) makes the cache stale at once: its frames are no longer given out,
// and its fill is killed on the keeper's thread (tend). The next fill
// starts, from the frame the pages last showed, once the session has been
// idle for kSettle, so that the many steps of a drag start one fill rather
// than one each. An edit's answer waits for none of it: it only notes the
// change (noteRequest); the restart takes the session's lock for the fork
// alone.
//
// Lock order: the session's lock, then the cache's own.
#pragma once

#include "edit/edit_session.hpp"
#include "edit/playback_cache.hpp"
#include "json/json.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace mhost {

class EditCache {
public:
    static constexpr std::chrono::milliseconds kSettle{150};

    // A cache of budgetBytes (0: none; describe() says "off"), for the
    // scene's version 0 until noteRequest says otherwise. RunError when the
    // memory cannot be reserved.
    explicit EditCache(std::size_t budgetBytes);
    ~EditCache();
    EditCache(const EditCache&) = delete;
    EditCache& operator=(const EditCache&) = delete;

    // After each request, under the session's lock: the scene's version
    // then, and the frame the request's page shows.
    void noteRequest(std::uint64_t version, int frame);

    // Every node's world matrix at frame, 16 float32 each (little-endian,
    // row-major, in the node list's order) when the cache holds the frame
    // for version; nothing otherwise. Under the session's lock.
    std::optional<std::string> frameBytes(int frame, std::uint64_t version) const;

    // What the timeline shows of the cache, for version:
    //   {"version" (the scene's, which a page holding a later one ignores),
    //    "state": "off" | "waiting" (stale, or not started) |
    //    "filling" | "filled" | "failed", "frames" (the frames it caches:
    //    what the budget holds of the range), "ready" (frames ready now),
    //    "runs": [[first, last], ...] of ready frames, "failure" (failed only)}
    Json describe(std::uint64_t version) const;
    // What describe() says of no cache.
    static Json describeOff();

    // On the keeper's thread, now and then: kills a stale fill, and starts
    // the next once the session has settled (taking sessionLock for the
    // fork). What describe() says of the latest version when that changed
    // since the last call.
    std::optional<Json> tend(EditSession& session, std::mutex& sessionLock);

    // Waits until noteRequest notes a change or `limit` passes, or stop()
    // was called; false once stopped.
    bool waitForWork(std::chrono::milliseconds limit);
    void stop();

private:
    Json describeLocked(std::uint64_t version) const;

    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::unique_ptr<PlaybackCache> cache_; // null: no cache
    std::uint64_t latest_ = 0;             // the session's version, as last noted
    std::chrono::steady_clock::time_point changedAt_;
    int frame_ = 1;                          // the frame the pages last showed
    std::optional<std::uint64_t> filledFor_; // the version the cache was started for
    std::string failure_;                    // why the last restart failed
    std::string told_;                       // describe(latest_) as tend last returned it
    bool stopped_ = false;
};

} // namespace mhost
