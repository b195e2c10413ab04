// Bakes shared out over forked workers: each worker's matrices reach the
// parent whichever way the system allows, before anything is handed on; a
// bake on several workers gives one worker's matrices and errors; and a
// worker that ends early ends the bake with an error, never a wait. A
// bake that puts its matrices to a sink puts each once, from whichever
// process cooked it, and a put that fails fails the bake.
#include "engine/bake.hpp"
#include "engine/bake_workers.hpp"
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "support/private_memory.hpp"
#include "support/shared_memory.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include <unistd.h>

namespace mhost {
namespace {

// What a piece's doubles hold: something of the piece and the place.
double valueAt(std::size_t piece, std::size_t i) {
    return static_cast<double>(piece) * 1000.5 + static_cast<double>(i) * 0.25;
}

// Pieces of a buffer cooked by two processes, the child's in memory of its
// own or in its copy of the buffer at the parent's addresses (as bakes by
// groups and by samples do), taken over as the child announces them: the
// buffer ends whole, and the child's memory lasts until the parent is done.
TEST(BakeHandover, AWorkersPiecesReachTheParentEitherWay) {
    constexpr std::size_t kPieces = 8, kDoubles = 70000; // a piece spans pages
    for (const Handover way : {Handover::ReadWorkers, Handover::ThroughFile}) {
        if (way == Handover::ReadWorkers && handoverForWorkers() != Handover::ReadWorkers) {
            std::cerr << "This system refuses a parent its children's memory: bakes hand over "
                         "through a file, the way tested next.\n";
            continue;
        }
        SCOPED_TRACE(way == Handover::ReadWorkers ? "read from the worker" : "through a file");
        BakeBuffer buffer(kPieces * kDoubles, way);
        const CookedBy cooked(kPieces);
        Workers children;
        std::vector<std::unique_ptr<PrivateMemory>> kept;
        std::vector<bool> checked(kPieces, false);
        runWorkers(
            children, 2, cooked,
            [&](long long w) {
                for (std::size_t p = static_cast<std::size_t>(w); p < kPieces; p += 2) {
                    double* to = buffer.data() + p * kDoubles;
                    if (w == 1 && p % 4 == 1) {
                        kept.push_back(
                            std::make_unique<PrivateMemory>(kDoubles * sizeof(double), "test"));
                        to = reinterpret_cast<double*>(kept.back()->data());
                    }
                    for (std::size_t i = 0; i < kDoubles; ++i)
                        to[i] = valueAt(p, i);
                    buffer.handOver(to, p * kDoubles, kDoubles);
                    cooked.mark(p, w, to);
                    if (w == 1)
                        children.partDone();
                }
            },
            [&] {
                for (std::size_t p = 0; p < kPieces; ++p)
                    if (cooked.done(p) && !checked[p]) {
                        if (const long long w = cooked.worker(p); w > 0)
                            buffer.takeOver(p * kDoubles, kDoubles, children.pid(w),
                                            cooked.matrices(p));
                        checked[p] = true;
                    }
            });
        for (std::size_t p = 0; p < kPieces; ++p)
            for (std::size_t i = 0; i < kDoubles; i += 997)
                ASSERT_EQ(buffer.data()[p * kDoubles + i], valueAt(p, i)) << p << ", " << i;
        EXPECT_EQ(buffer.data()[kPieces * kDoubles - 1], valueAt(kPieces - 1, kDoubles - 1));
    }
}

// The last piece done while the parent is handing on the one before: it is
// still handed on before the workers are let go.
TEST(BakeWorkers, APieceDoneWhileTheParentHandsOnIsHandedOnToo) {
    const CookedBy cooked(3);
    const SharedObject<std::atomic<int>> looked("test"); // pieces the parent has seen
    Workers children;
    std::vector<bool> handed(3, false);
    runWorkers(
        children, 2, cooked,
        [&](long long w) {
            if (w == 0) {
                cooked.mark(0, 0);
                return;
            }
            cooked.mark(1, 1);
            children.partDone();
            while (looked->load() < 2) // the parent is in handOn, having seen 0 and 1
                ::usleep(1000);
            cooked.mark(2, 1);
            children.partDone();
        },
        [&] {
            for (std::size_t p = 0; p < 3; ++p)
                if (cooked.done(p) && !handed[p]) {
                    handed[p] = true;
                    looked->fetch_add(1);
                }
            if (looked->load() == 2)
                ::usleep(50000); // the child marks piece 2 meanwhile
        });
    EXPECT_EQ(handed, std::vector<bool>(3, true));
}

// A worker killed, or ending without a word, before its work is done: the
// parent says so rather than waiting for the piece.
TEST(BakeWorkers, AWorkerThatEndsEarlyEndsTheRunWithAnErrorNotAWait) {
    for (const bool killed : {true, false}) {
        const CookedBy cooked(2);
        Workers children;
        std::string message;
        try {
            runWorkers(
                children, 2, cooked,
                [&](long long w) {
                    if (w == 0)
                        cooked.mark(0, 0);
                    else if (killed)
                        ::raise(SIGKILL);
                    else
                        ::_exit(0);
                },
                [] {});
        } catch (const RunError& e) {
            message = e.what();
        }
        EXPECT_NE(message.find(killed ? "a bake worker was killed by signal 9"
                                      : "a bake worker ended before its work was done"),
                  std::string::npos)
            << message;
    }
}

// test::nullChains. The scale of the second and the last chain's first
// nodes grows past all bounds just after time 1.5, and their children's
// scales multiply it, so that the children's cooks fail from there: at the
// same samples in parts far apart.
void buildChains(Scene& scene, int chains, int length) {
    Json actions = test::nullChains(chains, length);
    for (const int c : {1, chains - 1}) {
        const std::string chain = "n" + std::to_string(c) + "_";
        actions.push_back({{"op", "keyframes"},
                           {"node", chain + "0"},
                           {"parm", "scale"},
                           {"keys", {{0, 1}, {1.5, 1}, {2, 1e250}}}});
        actions.push_back(
            {{"op", "set"}, {"node", chain + "1"}, {"parm", "scale"}, {"value", 1e200}});
    }
    std::ostringstream reports;
    runScript(scene, parseScript(actions, "test"), "test", reports);
}

bool sameBytes(const BakeBuffer& a, const BakeBuffer& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A scene of groups large enough to share out by groups, baked in memory
// on one, two and three workers: the same matrices bit for bit, each column
// handed on once and already whole when it is; and of the cooks that fail
// first, in parts far apart, the bake names the one a single worker names:
// the first in the scene.
TEST(InMemoryBake, WorkersGiveOneWorkersMatricesAndFailures) {
    Host host;
    Scene scene(host);
    buildChains(scene, 90, 10);
    BakeRequest request;
    request.times = SweepRange{0, 1.45, 20}; // before any cook fails
    request.workers = 1;
    const BakeResult one = bakeScene(scene, request);
    for (const int workers : {2, 3}) {
        SCOPED_TRACE(std::to_string(workers) + " workers");
        request.workers = workers;
        std::vector<int> handed(one.names.size(), 0);
        std::size_t wrong = 0;
        request.columnsReady = [&](const BakeResult& bake, std::size_t first, std::size_t end) {
            for (std::size_t c = first; c < end; ++c) {
                ++handed[c];
                for (std::size_t f = 0; f < bake.frames(); ++f)
                    if (std::memcmp(bake.localAt(f, c), one.localAt(f, c), 16 * sizeof(double)) ||
                        std::memcmp(bake.world->data() + (f * bake.names.size() + c) * 16,
                                    one.world->data() + (f * one.names.size() + c) * 16,
                                    16 * sizeof(double)))
                        ++wrong;
            }
        };
        const BakeResult bake = bakeScene(scene, request);
        EXPECT_TRUE(sameBytes(*bake.world, *one.world)) << "world matrices differ";
        EXPECT_TRUE(sameBytes(*bake.local, *one.local)) << "local matrices differ";
        EXPECT_EQ(handed, std::vector<int>(one.names.size(), 1)) << "each column once";
        EXPECT_EQ(wrong, 0u) << "matrices handed on before the parent had them";
    }
    // Something moves: a bake of constants would pass the rest trivially.
    const double* last = one.world->data() + one.world->size() - 16;
    EXPECT_NE(
        std::memcmp(one.world->data() + 16 * (one.names.size() - 1), last, 16 * sizeof(double)), 0);

    request.columnsReady = nullptr;
    request.times = SweepRange{0, 2, 16};
    std::vector<std::string> failures;
    for (const int workers : {1, 2, 3}) {
        request.workers = workers;
        try {
            bakeScene(scene, request);
            failures.push_back("none");
        } catch (const RunError& e) {
            failures.push_back(e.what());
        }
    }
    EXPECT_NE(failures[0].find("node \"n1_1\" (null) at time 1.625 failed"), std::string::npos)
        << failures[0];
    EXPECT_EQ(failures[1], failures[0]);
    EXPECT_EQ(failures[2], failures[0]);
}

// A sink that keeps what is put to it in memory shared with forked workers:
// each matrix, how many times each was put, and how many puts came from
// another process than the one that made it. A put of failColumn throws.
class SharedSink : public BakeSink {
public:
    SharedSink(std::size_t frames, std::size_t columns, bool takes)
        : matrices_(frames * columns * 16 * sizeof(double), "test"),
          puts_(frames * columns * sizeof(std::atomic<int>) + sizeof(std::atomic<int>), "test"),
          columns_(columns), takes_(takes) {}

    bool begin(const BakeResult& bake) override {
        EXPECT_EQ(bake.names.size(), columns_);
        return takes_;
    }
    void put(std::size_t sample, std::size_t first, std::size_t count,
             const double* world) override {
        if (first <= failColumn && failColumn < first + count)
            throw RunError("test: the disk is full");
        std::memcpy(matrix(sample, first), world, count * 16 * sizeof(double));
        for (std::size_t c = first; c < first + count; ++c)
            ++counter(sample * columns_ + c);
        if (::getpid() != maker_)
            ++counter(puts_.size() / sizeof(std::atomic<int>) - 1);
    }

    double* matrix(std::size_t sample, std::size_t column) const {
        return reinterpret_cast<double*>(matrices_.data()) + (sample * columns_ + column) * 16;
    }
    std::atomic<int>& counter(std::size_t i) const {
        return reinterpret_cast<std::atomic<int>*>(puts_.data())[i];
    }
    int fromOthers() const { return counter(puts_.size() / sizeof(std::atomic<int>) - 1); }

    std::size_t failColumn = SIZE_MAX;

private:
    SharedMemory matrices_, puts_;
    std::size_t columns_;
    bool takes_;
    pid_t maker_ = ::getpid();
};

// The text of buildChains' scene of chains chains of ten; one chain of 300
// for 0.
std::string chainsText(Host& host, int chains) {
    Scene scene(host);
    if (chains > 0) {
        buildChains(scene, chains, 10);
    } else {
        std::ostringstream reports;
        runScript(scene, parseScript(test::nullChains(1, 300), "test"), "test", reports);
    }
    return sceneText(scene);
}

BakeRequest worldOnly(const SweepRange& times) {
    BakeRequest request;
    request.times = times;
    request.keepLocal = false;
    return request;
}

// A scene file baked into a sink by nodes on one, two and three workers,
// and one of a single chain by samples on two and three: every world matrix
// is put once, as the bake that keeps them has it, and the bake keeps none;
// with two workers, some puts come from the worker. Over 4 MiB of matrices
// a block of chains, so that slices are runs of samples too. A sink that
// does not take them leaves the bake as it was.
TEST(SinkBake, EveryMatrixIsPutOnceByTheProcessThatCookedIt) {
    Host host;
    for (const int chains : {30, 0}) {
        SCOPED_TRACE(chains ? "by nodes" : "by samples");
        const std::string text = chainsText(host, chains);
        BakeRequest request = worldOnly(SweepRange{0, 1.45, 1500}); // before any cook fails
        request.workers = 1;
        const BakeResult kept = bakeSceneFile(host, text, "test", request);
        const std::size_t frames = kept.frames(), columns = kept.names.size();
        for (const int workers : {chains ? 1 : 2, 2, 3}) {
            SCOPED_TRACE(std::to_string(workers) + " workers");
            SharedSink sink(frames, columns, true);
            request.workers = workers;
            request.sink = &sink;
            const BakeResult bake = bakeSceneFile(host, text, "test", request);
            EXPECT_EQ(bake.world, nullptr) << "the bake kept its matrices";
            EXPECT_EQ(std::memcmp(sink.matrix(0, 0), kept.world->data(),
                                  kept.world->size() * sizeof(double)),
                      0)
                << "the matrices put differ";
            std::size_t once = 0;
            for (std::size_t i = 0; i < frames * columns; ++i)
                once += sink.counter(i) == 1;
            EXPECT_EQ(once, frames * columns) << "each matrix once";
            if (workers > 1) {
                EXPECT_GT(sink.fromOthers(), 0) << "the workers put nothing themselves";
            }
        }
        SharedSink declines(frames, columns, false);
        request.sink = &declines;
        const BakeResult bake = bakeSceneFile(host, text, "test", request);
        ASSERT_NE(bake.world, nullptr);
        EXPECT_TRUE(sameBytes(*bake.world, *kept.world));
        EXPECT_EQ(declines.counter(0), 0);
    }
}

// A put that fails, in the first part (the parent's) or the last (taken
// by whichever process is free), fails the bake with the sink's message,
// by nodes on one worker or two and by samples on two (a put of the single
// chain's first or last node fails at every sample), and the bake ends
// rather than waits.
TEST(SinkBake, AFailedPutFailsTheBakeWithItsMessage) {
    Host host;
    BakeRequest request = worldOnly(SweepRange{0, 1, 8});
    for (const int chains : {60, 0}) {
        const std::string text = chainsText(host, chains);
        const std::size_t columns = chains ? 600 : 300;
        for (const int workers : {chains ? 1 : 2, 2})
            for (const std::size_t column : {std::size_t(0), columns - 1}) {
                SCOPED_TRACE(std::to_string(chains) + " chains, " + std::to_string(workers) +
                             " workers, column " + std::to_string(column));
                SharedSink sink(9, columns, true);
                sink.failColumn = column;
                request.workers = workers;
                request.sink = &sink;
                try {
                    bakeSceneFile(host, text, "test", request);
                    ADD_FAILURE() << "the bake succeeded";
                } catch (const RunError& e) {
                    EXPECT_EQ(std::string(e.what()), "test: the disk is full");
                }
            }
    }
}

} // namespace
} // namespace mhost
