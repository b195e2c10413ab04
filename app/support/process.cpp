#include "support/process.hpp"

#include "support/errors.hpp"
#include "support/temporary_files.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace mhost {

namespace {

std::string systemError(int error) {
    return std::strerror(error);
}

// The process groups this process's children lead, for the stop signals'
// handler: fixed slots, each claimed with an atomic owner (0 free, else the
// process whose child leads the group: a forked child inherits the slots
// and kills none of them).
struct GroupSlot {
    std::atomic<pid_t> owner{0};
    std::atomic<pid_t> group{0};
};
std::array<GroupSlot, 64> groups;

GroupSlot* registerGroup(pid_t group) {
    for (GroupSlot& slot : groups) {
        pid_t free = 0;
        if (slot.owner.compare_exchange_strong(free, -1)) {
            slot.group.store(group);
            slot.owner.store(::getpid());
            return &slot;
        }
    }
    return nullptr; // more groups at once than slots: not killed by a signal
}

void unregisterGroup(pid_t group) {
    const pid_t self = ::getpid();
    for (GroupSlot& slot : groups)
        if (slot.owner.load() == self && slot.group.load() == group) {
            slot.group.store(0);
            slot.owner.store(0);
        }
}

extern "C" void stopChildrenAndEnd(int signal) {
    const pid_t self = ::getpid();
    for (GroupSlot& slot : groups)
        if (slot.owner.load() == self && slot.group.load() > 0)
            ::kill(-slot.group.load(), SIGKILL);
    removeTemporaryFiles();
    // The handler was reset to the default on entry (SA_RESETHAND); the
    // signal, blocked while the handler runs, ends the process on return.
    ::raise(signal);
}

int openPidfd(pid_t pid) {
    // A kernel without pidfd_open (before 5.3) gives -1; waits then poll.
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

} // namespace

ChildProcess::ChildProcess(pid_t pid, bool ownGroup)
    : pid_(pid), endedFd_(openPidfd(pid)), ownGroup_(ownGroup) {
    if (ownGroup_)
        registerGroup(pid_);
}

ChildProcess ChildProcess::fork(const ChildOptions& options, const std::function<int()>& body) {
    // Flush buffered output so that it is written once, by this process.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw RunError("cannot start a process: " + systemError(errno));
    if (pid == 0) {
        // Both sides set the group, so that it exists whichever runs first.
        if (options.ownGroup)
            ::setpgid(0, 0);
        if (options.diesWithParent) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) // the parent exited before the prctl
                ::_exit(1);
        }
        int status = 1;
        try {
            status = body();
        } catch (...) {
            status = 1;
        }
        ::_exit(status);
    }
    if (options.ownGroup)
        ::setpgid(pid, pid);
    return ChildProcess(pid, options.ownGroup);
}

ChildProcess ChildProcess::spawn(const std::string& program, const std::vector<std::string>& args,
                                 const ChildOptions& options) {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // The program gets no signal blocked, and the default action for those
    // mhost ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownGroup) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);
    pid_t pid = 0;
    const int failed =
        ::posix_spawnp(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0)
        throw RunError("cannot start " + program + ": " + systemError(failed));
    return ChildProcess(pid, options.ownGroup);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), endedFd_(std::exchange(other.endedFd_, -1)),
      ownGroup_(other.ownGroup_), status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !status_)
            kill();
        release();
        pid_ = std::exchange(other.pid_, -1);
        endedFd_ = std::exchange(other.endedFd_, -1);
        ownGroup_ = other.ownGroup_;
        status_ = other.status_;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_)
        kill();
    release();
}

void ChildProcess::release() {
    if (endedFd_ >= 0)
        ::close(endedFd_);
    endedFd_ = -1;
    if (pid_ > 0 && ownGroup_)
        unregisterGroup(pid_);
}

bool ChildProcess::poll() {
    if (status_)
        return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_)
        return false;
    status_ = status;
    return true;
}

int ChildProcess::wait() {
    while (!status_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, 0);
        if (done == pid_)
            status_ = status;
        else if (errno != EINTR)
            status_ = 0; // not ours to wait for: nothing is known of it
    }
    return *status_;
}

void ChildProcess::kill() {
    if (pid_ <= 0)
        return;
    // The group is killed before the child is reaped, while its id cannot
    // yet have been reused.
    if (ownGroup_)
        ::kill(-pid_, SIGKILL);
    else if (!status_)
        ::kill(pid_, SIGKILL);
    wait();
}

void ChildProcess::detach() {
    const pid_t pid = pid_;
    release();
    pid_ = -1;
    if (pid > 0 && !status_)
        std::thread([pid] {
            int status = 0;
            ::waitpid(pid, &status, 0);
        }).detach();
}

bool collectUntilEnd(ChildProcess& child, std::span<Capture> captures,
                     std::chrono::steady_clock::time_point deadline) {
    std::vector<pollfd> fds;
    for (const Capture& capture : captures)
        fds.push_back({capture.fd, POLLIN, 0});
    fds.push_back({child.endedFd(), POLLIN, 0});
    const std::size_t ends = captures.size();
    bool timedOut = false, ended = false;
    for (;;) {
        const bool pipesOpen = std::any_of(fds.begin(), fds.begin() + static_cast<long>(ends),
                                           [](const pollfd& fd) { return fd.fd >= 0; });
        if (ended && !pipesOpen)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!ended && left.count() <= 0) {
            timedOut = true;
            child.kill();
            ended = true;
            // Drain what is left in the pipes for a moment longer.
            left = std::chrono::milliseconds(0);
        }
        // Without a pidfd (an old kernel), the child is polled periodically.
        const int wait = ended ? 1000 : child.endedFd() < 0 ? 50 : 1000;
        const int ready = ::poll(
            fds.data(), fds.size(),
            static_cast<int>(std::min<long long>(std::max<long long>(left.count(), 0) + 1, wait)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ended && ready == 0)
            break; // the group is gone; nothing more will come
        for (std::size_t i = 0; i < ends; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            Capture& capture = captures[i];
            if (n > 0) {
                capture.text.append(buffer, static_cast<std::size_t>(n));
                if (capture.text.size() > 8 * capture.keep && capture.keep < capture.text.size())
                    capture.text.erase(0, capture.text.size() - capture.keep);
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1; // the writers are done
            }
        }
        if (!ended && (child.endedFd() >= 0 ? (fds[ends].revents & POLLIN) != 0 : child.poll())) {
            child.kill(); // its group: what the child started ends with it
            ended = true;
            fds[ends].fd = -1;
        }
    }
    return timedOut;
}

void waitForEither(int fd, std::span<ChildProcess> children) {
    std::vector<pollfd> fds{{fd, POLLIN, 0}};
    bool polling = false;
    for (ChildProcess& child : children) {
        if (child.poll())
            return;
        if (child.endedFd() >= 0)
            fds.push_back({child.endedFd(), POLLIN, 0});
        else
            polling = true;
    }
    // Without pidfds (an old kernel), the children are polled periodically.
    while (::poll(fds.data(), fds.size(), polling ? 2 : -1) < 0 && errno == EINTR) {
    }
}

Pipe::Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw RunError("cannot make a pipe: " + systemError(errno));
    read = ends[0];
    write = ends[1];
}

Pipe::~Pipe() {
    closeRead();
    closeWrite();
}

void Pipe::closeRead() {
    if (read >= 0)
        ::close(read);
    read = -1;
}

void Pipe::closeWrite() {
    if (write >= 0)
        ::close(write);
    write = -1;
}

void handleStopSignals() {
    ::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = stopChildrenAndEnd;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace mhost
