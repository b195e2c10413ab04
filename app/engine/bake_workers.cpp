#include "engine/bake_workers.hpp"

#include "support/errors.hpp"

#include <UT_BlockCopies.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mhost {

namespace {
[[noreturn]] void cannotStart() {
    throw RunError(std::string("cannot start a bake worker: ") + std::strerror(errno));
}
} // namespace

Workers::Workers() : partDone_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (partDone_ < 0)
        cannotStart();
    if (::pipe2(release_, O_CLOEXEC) != 0) {
        ::close(partDone_);
        cannotStart();
    }
}

Workers::~Workers() {
    children_.clear(); // killed and reaped, if still running
    for (const int fd : {partDone_, release_[0], release_[1]})
        if (fd >= 0)
            ::close(fd);
}

void Workers::startChild(const std::function<void()>& work) {
    try {
        const int letGo = release_[0], held = release_[1];
        children_.push_back(ChildProcess::fork({}, [&work, letGo, held] {
            ::close(held);
            UT_blockStorageInForkedChild();
            work();
            // The parent may still be reading this process's memory: it
            // closes the pipe once it has all it needs.
            char byte = 0;
            while (::read(letGo, &byte, 1) < 0 && errno == EINTR) {
            }
            return 0;
        }));
    } catch (const RunError& e) {
        const std::string why = e.what();
        throw RunError("cannot start a bake worker" + why.substr(why.find(':')));
    }
}

void Workers::partDone() const {
    const std::uint64_t one = 1;
    (void)!::write(partDone_, &one, sizeof one);
}

bool Workers::waitForPart() {
    for (;;) {
        std::uint64_t count = 0;
        if (::read(partDone_, &count, sizeof count) == sizeof count)
            return true;
        if (std::any_of(children_.begin(), children_.end(),
                        [](ChildProcess& child) { return child.poll(); }))
            return false;
        waitForEither(partDone_, children_);
    }
}

void Workers::join() {
    if (release_[1] >= 0)
        ::close(release_[1]);
    release_[1] = -1;
    std::string failure;
    for (ChildProcess& child : children_) {
        const int status = child.wait();
        if (!failure.empty())
            continue;
        if (WIFSIGNALED(status))
            failure = "a bake worker was killed by signal " + std::to_string(WTERMSIG(status));
        else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
            failure =
                "a bake worker failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    }
    if (!failure.empty())
        throw RunError(failure + "; nothing was written");
}

CookedBy::CookedBy(std::size_t count) : memory_(count * sizeof(Piece), "the bake"), count_(count) {}

bool CookedBy::all() const {
    for (std::size_t i = 0; i < count_; ++i)
        if (!done(i))
            return false;
    return true;
}

} // namespace mhost
