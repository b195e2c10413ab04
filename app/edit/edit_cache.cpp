#include "edit/edit_cache.hpp"

#include "support/errors.hpp"

#include <cstring>

namespace mhost {

EditCache::EditCache(std::size_t budgetBytes)
    : cache_(budgetBytes == 0 ? nullptr : std::make_unique<PlaybackCache>(budgetBytes)),
      changedAt_(std::chrono::steady_clock::now() - kSettle) {}

EditCache::~EditCache() {
    stop();
}

void EditCache::noteRequest(std::uint64_t version, int frame) {
    {
        const std::lock_guard lock(mutex_);
        frame_ = frame;
        if (version == latest_)
            return;
        latest_ = version;
        changedAt_ = std::chrono::steady_clock::now();
    }
    work_.notify_all();
}

std::optional<std::string> EditCache::frameBytes(int frame, std::uint64_t version) const {
    const std::lock_guard lock(mutex_);
    if (!cache_ || filledFor_ != version || version != latest_)
        return std::nullopt;
    const float* matrices = cache_->frame(frame);
    if (matrices == nullptr)
        return std::nullopt;
    std::string bytes(cache_->nodeCount() * 16 * sizeof(float), '\0');
    std::memcpy(bytes.data(), matrices, bytes.size());
    return bytes;
}

Json EditCache::describe(std::uint64_t version) const {
    const std::lock_guard lock(mutex_);
    return describeLocked(version);
}

Json EditCache::describeOff() {
    return Json{
        {"version", 0}, {"state", "off"}, {"frames", 0}, {"ready", 0}, {"runs", Json::array()}};
}

Json EditCache::describeLocked(std::uint64_t version) const {
    Json out = describeOff();
    out["version"] = version;
    if (!cache_)
        return out;
    if (filledFor_ != version || version != latest_) {
        out["state"] = "waiting";
        return out;
    }
    if (!failure_.empty()) {
        out["state"] = "failed";
        out["failure"] = failure_;
        return out;
    }
    static constexpr const char* kStates[] = {"waiting", "filling", "filled", "failed"};
    const PlaybackCache::State state = cache_->state();
    out["state"] = kStates[static_cast<int>(state)];
    out["frames"] = cache_->cachedFrames();
    out["ready"] = cache_->readyCount();
    Json runs = Json::array();
    for (const auto& [first, last] : cache_->readyRuns())
        runs.push_back(Json::array({first, last}));
    out["runs"] = std::move(runs);
    if (state == PlaybackCache::State::Failed)
        out["failure"] = cache_->failure();
    return out;
}

std::optional<Json> EditCache::tend(EditSession& session, std::mutex& sessionLock) {
    std::unique_lock lock(mutex_);
    if (!cache_)
        return std::nullopt;
    // A stale fill stops at once: the cores are the editor's again.
    if (filledFor_ && *filledFor_ != latest_) {
        cache_->invalidate();
        filledFor_.reset();
    }
    const auto settled = [&] {
        return !stopped_ && !filledFor_ && std::chrono::steady_clock::now() - changedAt_ >= kSettle;
    };
    if (settled()) {
        lock.unlock();
        const std::lock_guard sessionHeld(sessionLock);
        lock.lock();
        // Every request answered so far has noted its version: if none
        // came meanwhile, the scene is the version's.
        if (settled()) {
            failure_.clear();
            try {
                cache_->restart(session.scene(), frame_);
            } catch (const Failure& failure) {
                failure_ = failure.what();
            }
            filledFor_ = latest_;
        }
    }
    Json now = describeLocked(latest_);
    std::string text = now.dump();
    if (text == told_)
        return std::nullopt;
    told_ = std::move(text);
    return now;
}

bool EditCache::waitForWork(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    const std::uint64_t seen = latest_;
    work_.wait_for(lock, limit, [&] { return stopped_ || latest_ != seen; });
    return !stopped_;
}

void EditCache::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
        if (cache_)
            cache_->invalidate();
        filledFor_.reset();
    }
    work_.notify_all();
}

} // namespace mhost
