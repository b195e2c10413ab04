// The process layer that bakes, the validator and the editor share: child
// processes, their groups, their output and their ends, and memory shared
// with them.
#include "support/errors.hpp"
#include "support/process.hpp"
#include "support/shared_memory.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace mhost {
namespace {

using namespace std::chrono_literals;

// Whether the process runs: it exists and is not a zombie waiting to be
// reaped (a container's first process may never reap it).
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    const std::size_t state = line.rfind(')') + 2;
    return state < line.size() && line[state] != 'Z' && line[state] != 'X';
}

TEST(ChildProcess, AForkedChildEndsWithWhatItsFunctionReturnsOrOneWhenItThrows) {
    ChildProcess seven = ChildProcess::fork({}, [] { return 7; });
    ChildProcess thrown = ChildProcess::fork({}, []() -> int { throw std::runtime_error("x"); });
    EXPECT_EQ(WEXITSTATUS(seven.wait()), 7);
    EXPECT_EQ(WEXITSTATUS(thrown.wait()), 1);
    EXPECT_TRUE(seven.poll());
}

TEST(ChildProcess, KillingAGroupLeaderTakesEverythingItStartedAndItsObjectKillsIt) {
    Pipe grandchild;
    pid_t started = 0;
    {
        ChildProcess leader = ChildProcess::fork({.ownGroup = true}, [&] {
            // A grandchild that would outlive its parent, reporting its id.
            const pid_t pid = ::fork();
            if (pid == 0) {
                for (;;)
                    ::pause();
            }
            (void)!::write(grandchild.write, &pid, sizeof pid);
            for (;;)
                ::pause();
            return 0;
        });
        grandchild.closeWrite();
        ASSERT_EQ(::read(grandchild.read, &started, sizeof started), ssize_t(sizeof started));
        EXPECT_TRUE(alive(started));
        EXPECT_FALSE(leader.poll());
    } // the object is destroyed with the child still running: its group is killed
    for (int i = 0; i < 200 && alive(started); ++i)
        std::this_thread::sleep_for(5ms); // the grandchild is reaped by init
    EXPECT_FALSE(alive(started)) << "a process the child started outlived it";
}

TEST(ChildProcess, OutputIsCollectedUntilTheEndAndATimeLimitStopsAHang) {
    Pipe out;
    ChildProcess talker = ChildProcess::fork({.ownGroup = true}, [&] {
        for (int i = 0; i < 1000; ++i)
            (void)!::write(out.write, "0123456789", 10);
        return 3;
    });
    out.closeWrite();
    std::vector<Capture> captures(1);
    captures[0].fd = out.read;
    captures[0].keep = 100;
    EXPECT_FALSE(collectUntilEnd(talker, captures, std::chrono::steady_clock::now() + 30s));
    EXPECT_EQ(WEXITSTATUS(talker.wait()), 3);
    // 10,000 bytes arrived; a little over the last 100 are kept.
    EXPECT_GE(captures[0].text.size(), 100u);
    EXPECT_LE(captures[0].text.size(), 800u);
    EXPECT_EQ(captures[0].text.substr(captures[0].text.size() - 10), "0123456789");

    Pipe quiet;
    ChildProcess hang = ChildProcess::fork({.ownGroup = true}, [] {
        for (;;)
            ::pause();
        return 0;
    });
    quiet.closeWrite();
    std::vector<Capture> none(1);
    none[0].fd = quiet.read;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(collectUntilEnd(hang, none, start + 200ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    ASSERT_TRUE(hang.status().has_value());
    EXPECT_TRUE(WIFSIGNALED(*hang.status()));
    EXPECT_EQ(WTERMSIG(*hang.status()), SIGKILL);
}

TEST(ChildProcess, AWaitEndsWhenTheFileIsReadableOrAChildEnds) {
    Pipe wake;
    std::vector<ChildProcess> children;
    children.push_back(ChildProcess::fork({}, [] {
        std::this_thread::sleep_for(100ms);
        return 0;
    }));
    const auto start = std::chrono::steady_clock::now();
    waitForEither(wake.read, children);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms) << "it did not wait";
    EXPECT_TRUE(children[0].poll()) << "it woke before the child ended";

    children.push_back(ChildProcess::fork({}, [] {
        for (;;)
            ::pause();
        return 0;
    }));
    (void)!::write(wake.write, "x", 1);
    waitForEither(wake.read, std::span(children).subspan(1));
    EXPECT_FALSE(children[1].poll()) << "the file woke it, not the child";
}

TEST(ChildProcess, AProgramIsStartedFromThePathAndAMissingOneIsARunError) {
    ChildProcess truth = ChildProcess::spawn("true", {}, {});
    EXPECT_EQ(truth.wait(), 0);
    ChildProcess falsity = ChildProcess::spawn("sh", {"-c", "exit 4"}, {});
    EXPECT_EQ(WEXITSTATUS(falsity.wait()), 4);
    EXPECT_THROW(ChildProcess::spawn("no-such-program-of-mhost", {}, {}), RunError);
}

TEST(SharedMemory, WhatAChildWritesTheParentReads) {
    SharedMemory memory(3 * 4096 + 5, "the test");
    SharedObject<std::atomic<int>> counter("the test");
    ChildProcess child = ChildProcess::fork({}, [&] {
        memory.data()[memory.size() - 1] = 'z';
        counter->fetch_add(41);
        return 0;
    });
    counter->fetch_add(1);
    child.wait();
    EXPECT_EQ(memory.data()[memory.size() - 1], 'z');
    EXPECT_EQ(counter->load(), 42);
}

} // namespace
} // namespace mhost
