// Child processes, created the same way for every caller: bake workers (forked
// to run a function), the validator's checks (forked, their own process group,
// their output captured, stopped at a time limit) and the browser the editor
// starts (a program, left running).
//
// A child leads a process group of its own when asked, so that everything
// it starts is stopped with it; dies with mhost when asked (SIGKILL, by
// PR_SET_PDEATHSIG); and is waited for through a pidfd, so that a wait with
// a time limit needs no polling. A child still running when its object is
// destroyed is killed (its group, when it leads one) and reaped.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

namespace mhost {

struct ChildOptions {
    bool ownGroup = false;      // leads a process group of its own
    bool diesWithParent = true; // gets SIGKILL when the process that made it ends
};

class ChildProcess {
public:
    // Forks a child that runs body and ends with its return (1 when it
    // throws); nothing of the parent's (exit handlers, buffered output, an
    // interpreter) runs in it after body. RunError when fork fails.
    static ChildProcess fork(const ChildOptions& options, const std::function<int()>& body);
    // Starts program (searched in PATH) with args, no signal blocked in it;
    // RunError when it cannot be started.
    static ChildProcess spawn(const std::string& program, const std::vector<std::string>& args,
                              const ChildOptions& options);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills and reaps a child that still runs (see kill()).
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // Readable when the child has ended (its pidfd); -1 on a kernel without
    // pidfds, where waits poll instead.
    int endedFd() const { return endedFd_; }

    // Reaps the child if it has ended, without waiting; true once it has.
    bool poll();
    // Waits for the child to end and returns its wait status.
    int wait();
    // The wait status once reaped.
    std::optional<int> status() const { return status_; }
    // Sends SIGKILL to the child's group when it leads one (all it started
    // goes too), else to the child, and reaps it.
    void kill();
    // Leaves the child running when the object is destroyed; a thread reaps it
    // when it ends.
    void detach();

private:
    explicit ChildProcess(pid_t pid, bool ownGroup);
    void release();

    pid_t pid_ = -1;
    int endedFd_ = -1;
    bool ownGroup_ = false;
    std::optional<int> status_;
};

// What a child writes to a pipe, kept as it arrives.
struct Capture {
    int fd = -1;                        // the parent's end (the caller closes it)
    std::string text;                   // what came
    std::size_t keep = std::size_t(-1); // keep about this many of the last bytes only
};

// Reads the captures until the child has ended and every pipe is closed
// (or has been quiet a moment after the end: processes the child started
// may hold them, until its group is killed), or until deadline, when the
// child is killed. Returns true when the deadline came first.
bool collectUntilEnd(ChildProcess& child, std::span<Capture> captures,
                     std::chrono::steady_clock::time_point deadline);

// Waits until fd is readable or any of children ends (whichever first),
// without busy waiting. children that already ended are skipped.
void waitForEither(int fd, std::span<ChildProcess> children);

// A pipe whose ends close on exec; RunError when none can be made.
struct Pipe {
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    // Closes one end (the writer's in the parent once the child has it).
    void closeRead();
    void closeWrite();
    int read = -1;
    int write = -1;
};

// Makes SIGINT, SIGTERM and SIGHUP remove this process's temporary output
// files (support/file_io.hpp) and kill the process groups its children
// lead, before they end the process as they would have (mhost's command
// line; a library leaves the signals to its program). SIGXFSZ is ignored,
// so that a write beyond the file-size limit fails like any other.
void handleStopSignals();

} // namespace mhost
