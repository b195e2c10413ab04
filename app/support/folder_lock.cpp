#include "support/folder_lock.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"

#include <cerrno>
#include <chrono>
#include <iostream>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace mhost {

FolderLock::FolderLock(const std::string& folder, const std::string& file)
    : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    bool told = false;
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return;
        const auto waited = steady_clock::now() - start;
        if (waited >= seconds(kLockWaitSeconds)) {
            ::close(fd_);
            throw RunError(file + ": another process held the lock on the folder " + quote(folder) +
                               " for " + std::to_string(kLockWaitSeconds) +
                               " s; nothing was written (try again once it is done)",
                           FailureKind::File);
        }
        if (!told && waited >= seconds(1)) {
            told = true;
            std::cerr << "mhost: waiting for another process's lock on the folder " << quote(folder)
                      << " to write " << quote(file) << " (at most " << kLockWaitSeconds << " s)"
                      << std::endl;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0)
        ::close(fd_); // releases the lock
}

} // namespace mhost
