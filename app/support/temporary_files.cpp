#include "support/temporary_files.hpp"

#include "support/text.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string_view>

#include <unistd.h>

namespace mhost {

std::string temporaryName(const std::string& folder, const std::string& name) {
    static constexpr std::string_view kSuffix = ".mhost-XXXXXX";
    long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (limit <= 0)
        limit = NAME_MAX;
    const std::size_t fixed = 1 + kSuffix.size();
    const std::size_t room =
        static_cast<std::size_t>(limit) > fixed ? static_cast<std::size_t>(limit) - fixed : 0;
    std::string hidden;
    hidden.reserve(fixed + std::min(room, name.size()));
    hidden += '.';
    hidden += utf8Prefix(name, room);
    hidden += kSuffix;
    return (std::filesystem::path(folder) / hidden).string();
}

// The temporary files this process is writing, for removeTemporaryFiles,
// which may run in a signal handler: fixed slots, each claimed with an
// atomic owner (0 free, -1 being filled, else the writing process: a forked
// bake worker inherits the slots but removes none of them).
struct TemporarySlot {
    std::atomic<pid_t> owner{0};
    char path[PATH_MAX] = {};
};

namespace {
std::array<TemporarySlot, 32> temporaries;
} // namespace

TemporaryRecord::TemporaryRecord(const std::string& path) {
    if (path.size() >= PATH_MAX)
        return; // not removed by a signal
    for (TemporarySlot& slot : temporaries) {
        pid_t free = 0;
        if (slot.owner.compare_exchange_strong(free, -1)) {
            std::memcpy(slot.path, path.c_str(), path.size() + 1);
            slot.owner.store(::getpid());
            slot_ = &slot;
            return;
        }
    }
}

TemporaryRecord::~TemporaryRecord() {
    if (slot_)
        slot_->owner.store(0);
}

void removeTemporaryFiles() noexcept {
    const pid_t self = ::getpid();
    for (TemporarySlot& slot : temporaries)
        if (slot.owner.load() == self)
            ::unlink(slot.path);
}

} // namespace mhost
