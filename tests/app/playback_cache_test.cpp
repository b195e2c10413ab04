// The editor's playback cache: what it holds is what the editor would cook,
// it never shows a frame of a scene that has changed since, its processes
// end when it stops them or the editor ends, and it keeps to its budget.
#include "edit/playback_cache.hpp"
#include "engine/evaluation.hpp"
#include "engine/script.hpp"
#include "support/process.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace mhost {
namespace {

using test::nullChains;

using namespace std::chrono_literals;

void run(Scene& scene, const Json& actions) {
    std::ostringstream reports;
    runScript(scene, parseScript(actions, "test"), "test", reports);
}

void setTimeline(Scene& scene, int start, int end, double fps) {
    run(scene, Json::array({{{"op", "timeline"}, {"start", start}, {"end", end}, {"fps", fps}}}));
}

std::size_t frameBytes(const Scene& scene) {
    return static_cast<std::size_t>(scene.root().getNchildren()) * 16 * sizeof(float);
}

void waitForFill(PlaybackCache& cache) {
    ASSERT_TRUE(cache.wait(120s)) << "the fill did not end";
}

// Fills the cache from the frame, started on a thread that ends at once,
// as the editor's threads may: the fill goes on regardless.
void fill(PlaybackCache& cache, Scene& scene, int from) {
    std::thread([&] { cache.restart(scene, from); }).join();
    waitForFill(cache);
    EXPECT_EQ(cache.state(), PlaybackCache::State::Filled) << cache.failure();
}

// Every ready frame holds the world matrices cookNode gives at the frame's
// time, as float32, bit for bit; returns how many frames were ready.
int expectReadyFramesAreTheCooks(const PlaybackCache& cache, Scene& scene) {
    const Timeline timeline = scene.timeline();
    const int nodes = scene.root().getNchildren();
    EXPECT_EQ(cache.nodeCount(), static_cast<std::size_t>(nodes));
    int ready = 0;
    for (int f = timeline.start; f <= timeline.end; ++f) {
        const float* frame = cache.frame(f);
        if (!frame)
            continue;
        ++ready;
        for (int n = 0; n < nodes; ++n) {
            OBJ_Node& node = asObject(*scene.root().getChild(n));
            const CookResult cook = cookNode(node, timeline.time(f));
            EXPECT_LT(cook.severity, UT_ERROR_ABORT)
                << "frame " << f << " is ready, yet " << node.getName() << " fails to cook there";
            for (int i = 0; i < 16; ++i)
                if (std::bit_cast<std::uint32_t>(frame[n * 16 + i]) !=
                    std::bit_cast<std::uint32_t>(static_cast<float>(cook.world[i]))) {
                    ADD_FAILURE() << "frame " << f << ", " << node.getName() << ", entry " << i
                                  << ": cached " << frame[n * 16 + i] << ", cooked "
                                  << cook.world[i];
                    return ready;
                }
        }
    }
    return ready;
}

// The processes whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // pid (comm) state ppid ...: comm may hold spaces, not ")".
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        char state = 0;
        pid_t ppid = 0;
        if (rest >> state >> ppid && ppid == parent)
            out.push_back(std::stoi(name));
    }
    return out;
}

// The process and every process under it.
std::vector<pid_t> treeOf(pid_t root) {
    std::vector<pid_t> tree{root};
    for (std::size_t i = 0; i < tree.size(); ++i)
        for (const pid_t child : childrenOf(tree[i]))
            tree.push_back(child);
    return tree;
}

// Whether the process runs (exists and is not a zombie).
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    return line.substr(line.rfind(')') + 2, 1) != "Z";
}

// Waits a moment until none of the processes runs (a killed process takes
// a little while to end, far less than a fill); those still running then.
std::vector<pid_t> stillRunning(const std::vector<pid_t>& pids) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    std::vector<pid_t> left = pids;
    while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
        std::erase_if(left, [](pid_t pid) { return !running(pid); });
        std::this_thread::sleep_for(5ms);
    }
    return left;
}

// Waits until the fill of the editor's cache has its workers; the fill's
// processes then.
std::vector<pid_t> fillProcesses(pid_t editor) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<pid_t> tree = treeOf(editor);
        tree.erase(tree.begin());
        if (tree.size() >= 2)
            return tree;
        std::this_thread::sleep_for(1ms);
    }
    ADD_FAILURE() << "the fill started no workers";
    return {};
}

TEST(PlaybackCache, CachedFramesAreTheWorldMatricesCookNodeGivesAsFloat32BitForBit) {
    Host host;
    Scene scene(host);
    run(scene, nullChains(3, 4));
    // A range over time 0: a sweep across it would put frame 1 a hair
    // after time 0, where the turns have begun. Each start puts frame 1 at
    // another place of the first block.
    setTimeline(scene, -59, 38, 30);
    PlaybackCache cache(std::size_t(64) << 20, 2);
    for (int from = -11; from <= 1; ++from) {
        SCOPED_TRACE(from);
        fill(cache, scene, from);
        EXPECT_EQ(cache.failure(), "");
        EXPECT_EQ(cache.cachedFrames(), 98);
        EXPECT_EQ(cache.readyCount(), 98);
        EXPECT_EQ(cache.readyRuns(), (std::vector<std::pair<int, int>>{{-59, 38}}));
        if (expectReadyFramesAreTheCooks(cache, scene) != 98 || HasFailure())
            break;
    }
    EXPECT_EQ(cache.frame(-60), nullptr);
    EXPECT_EQ(cache.frame(39), nullptr);

    REQUIRE_MODULE();
    host.loadModule(test::modulePath());
    Scene keyed(host);
    Json actions = Json::array();
    for (int i = 0; i < 20; ++i) {
        const std::string name = "q" + std::to_string(i);
        actions.push_back({{"op", "create"}, {"type", "quenlo"}, {"name", name}});
        if (i % 10)
            actions.push_back({{"op", "wire"},
                               {"node", name},
                               {"input", 0},
                               {"from", "q" + std::to_string(i - 1)}});
        actions.push_back({{"op", "set"}, {"node", name}, {"parm", "numkeys"}, {"value", 3}});
        for (int k = 0; k < 4; ++k) {
            const std::string key = std::to_string(k);
            actions.push_back(
                {{"op", "set"}, {"node", name}, {"parm", "keyval" + key}, {"value", k}});
            actions.push_back({{"op", "set"},
                               {"node", name},
                               {"parm", "t" + key},
                               {"value", {0.1 * (i % 7) + k, k, 0}}});
            actions.push_back(
                {{"op", "set"}, {"node", name}, {"parm", "r" + key}, {"value", {0, 0, 15.0 * k}}});
        }
        actions.push_back({{"op", "keyframes"},
                           {"node", name},
                           {"parm", "driverval"},
                           {"keys", {{0, 0}, {1, 3}}}});
    }
    run(keyed, actions);
    setTimeline(keyed, 1, 30, 24);
    fill(cache, keyed, 1);
    EXPECT_EQ(expectReadyFramesAreTheCooks(cache, keyed), 30);
}

TEST(PlaybackCache, InvalidateOrRestartDuringAFillEndsItsProcessesAndLeavesNoFrameReady) {
    Host host;
    Scene scene(host);
    run(scene, nullChains(500, 10));
    setTimeline(scene, 1, 1000, 24);
    PlaybackCache cache(frameBytes(scene) * 1000, 2);
    cache.restart(scene, 1);
    std::vector<pid_t> processes = fillProcesses(::getpid());
    ASSERT_FALSE(processes.empty());
    cache.invalidate();
    EXPECT_FALSE(running(processes.front())) << "the fill's child was reaped";
    EXPECT_EQ(stillRunning(processes), std::vector<pid_t>{}) << "processes of the fill outlived it";
    EXPECT_EQ(cache.state(), PlaybackCache::State::Empty);
    EXPECT_EQ(cache.readyCount(), 0);
    EXPECT_EQ(cache.readyRuns(), (std::vector<std::pair<int, int>>{}));
    for (const int f : {1, 2, 500, 1000})
        EXPECT_EQ(cache.frame(f), nullptr) << f;

    cache.restart(scene, 500);
    processes = fillProcesses(::getpid());
    ASSERT_FALSE(processes.empty());
    cache.restart(scene, 1);
    EXPECT_EQ(stillRunning(processes), std::vector<pid_t>{})
        << "a restart left the old fill running";
    cache.invalidate();
}

TEST(PlaybackCache, TheFillsProcessesEndWithTheEditorKilled) {
    Host host;
    Scene scene(host);
    run(scene, nullChains(500, 10));
    setTimeline(scene, 1, 2000, 24);
    Pipe said;
    // The editor: a process that starts a fill, says so and waits to be
    // killed.
    ChildProcess editor = ChildProcess::fork({}, [&] {
        said.closeRead();
        PlaybackCache cache(frameBytes(scene) * 2000, 2);
        cache.restart(scene, 1);
        (void)!::write(said.write, "s", 1);
        ::pause();
        return 0;
    });
    said.closeWrite();
    char byte = 0;
    ASSERT_EQ(::read(said.read, &byte, 1), 1) << "the editor did not start its fill";
    const std::vector<pid_t> processes = fillProcesses(editor.pid());
    ASSERT_FALSE(processes.empty());
    editor.kill();
    EXPECT_EQ(stillRunning(processes), std::vector<pid_t>{}) << "the fill outlived the editor";
}

TEST(PlaybackCache, ARestartAfterAnEditCachesTheEditedSceneNeverAStaleFrame) {
    Host host;
    Scene scene(host);
    run(scene, nullChains(2, 5));
    setTimeline(scene, 1, 48, 24);
    PlaybackCache cache(std::size_t(16) << 20, 2);
    fill(cache, scene, 1);
    ASSERT_NE(cache.frame(30), nullptr);
    const std::vector<float> before(cache.frame(30), cache.frame(30) + 16);

    // The chains' roots move: every world matrix changes.
    run(scene, Json::parse(R"([{"op": "set", "node": "n0_0", "parm": "t", "value": [3, 2, 1]},
                               {"op": "set", "node": "n1_0", "parm": "s", "value": [2, 2, 2]}])"));
    cache.restart(scene, 30);
    // Whatever is ready while the fill runs is of the edited scene.
    while (cache.state() == PlaybackCache::State::Filling)
        expectReadyFramesAreTheCooks(cache, scene);
    EXPECT_EQ(cache.state(), PlaybackCache::State::Filled) << cache.failure();
    EXPECT_EQ(expectReadyFramesAreTheCooks(cache, scene), 48);
    EXPECT_NE(std::vector<float>(cache.frame(30), cache.frame(30) + 16), before)
        << "the edit changed nothing the test can see";

    // A node more: the frames grow with it.
    run(scene, Json::parse(R"([{"op": "create", "type": "null", "name": "extra"}])"));
    fill(cache, scene, 1);
    EXPECT_EQ(cache.nodeCount(), 11u);
    EXPECT_EQ(expectReadyFramesAreTheCooks(cache, scene), 48);
}

TEST(PlaybackCache, TheBudgetBoundsTheFramesCachedInFillOrderFromTheGivenFrame) {
    Host host;
    Scene scene(host);
    run(scene, nullChains(1, 5));
    setTimeline(scene, 1, 40, 24);
    // Thirteen frames and most of a fourteenth.
    PlaybackCache cache(frameBytes(scene) * 14 - 1, 2);
    fill(cache, scene, 35);
    EXPECT_EQ(cache.cachedFrames(), 13);
    EXPECT_EQ(cache.readyCount(), 13);
    EXPECT_EQ(cache.readyRuns(), (std::vector<std::pair<int, int>>{{1, 7}, {35, 40}}));
    EXPECT_EQ(expectReadyFramesAreTheCooks(cache, scene), 13);
    EXPECT_EQ(cache.frame(8), nullptr);
    EXPECT_EQ(cache.frame(34), nullptr);

    // A frame past the range's end starts at its end.
    fill(cache, scene, 400);
    EXPECT_EQ(cache.readyRuns(), (std::vector<std::pair<int, int>>{{1, 12}, {40, 40}}));
    EXPECT_EQ(expectReadyFramesAreTheCooks(cache, scene), 13);

    // A budget below one frame caches nothing, and starts no process.
    PlaybackCache tiny(frameBytes(scene) - 1, 2);
    tiny.restart(scene, 1);
    EXPECT_TRUE(childrenOf(::getpid()).empty());
    EXPECT_EQ(tiny.cachedFrames(), 0);
    EXPECT_EQ(tiny.readyCount(), 0);
    EXPECT_EQ(tiny.frame(1), nullptr);
}

TEST(PlaybackCache, AFillWhoseCookFailsSaysWhyAndCachesNothingWrong) {
    Host host;
    Scene scene(host);
    // The child's world translation, 0.5e308 * the parent's scale + 1e308,
    // overflows once the scale passes about 1.6 (time 0.6).
    run(scene, Json::parse(R"([
        {"op": "create", "type": "null", "name": "parent"},
        {"op": "create", "type": "null", "name": "child"},
        {"op": "wire", "node": "child", "input": 0, "from": "parent"},
        {"op": "set", "node": "parent", "parm": "t", "value": [1e308, 0, 0]},
        {"op": "keyframes", "node": "parent", "parm": "scale", "keys": [[0, 1], [2, 3]]},
        {"op": "set", "node": "child", "parm": "t", "value": [0.5e308, 0, 0]}])"));
    setTimeline(scene, 1, 48, 24);
    ASSERT_LT(cookNode(asObject(scene.node("child")), scene.timeline().time(14)).severity,
              UT_ERROR_ABORT);
    ASSERT_GE(cookNode(asObject(scene.node("child")), scene.timeline().time(16)).severity,
              UT_ERROR_ABORT);
    PlaybackCache cache(std::size_t(16) << 20, 2);
    for (const int from : {1, 20}) {
        SCOPED_TRACE(from);
        cache.restart(scene, from);
        waitForFill(cache);
        EXPECT_EQ(cache.state(), PlaybackCache::State::Failed);
        // "frames A-B are not cached: cooking ... failed: ...": the frames
        // of the block that failed, one of which fails to cook, none ready.
        const std::string why = cache.failure();
        int first = 0, last = 0;
        ASSERT_EQ(std::sscanf(why.c_str(), "frames %d-%d are not cached: ", &first, &last), 2)
            << why;
        EXPECT_NE(why.find(" are not cached: cooking node \"child\" (null) at time "),
                  std::string::npos)
            << why;
        EXPECT_NE(why.find("failed: The world transform is not a finite number"), std::string::npos)
            << why;
        bool failsThere = false;
        for (int f = first; f <= last; ++f) {
            EXPECT_EQ(cache.frame(f), nullptr) << f;
            failsThere =
                failsThere ||
                cookNode(asObject(scene.node("child")), scene.timeline().time(f)).severity >=
                    UT_ERROR_ABORT;
        }
        EXPECT_TRUE(failsThere) << why;
        EXPECT_LT(cache.readyCount(), 48);
        EXPECT_EQ(expectReadyFramesAreTheCooks(cache, scene), cache.readyCount());
    }
}

} // namespace
} // namespace mhost
