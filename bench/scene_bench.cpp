// Scenes at scale, through the host program's core: building a scene of
// keyed nodes through the host API, saving it, loading it and cooking every
// node, against the node count; and one node with many keys saved and
// loaded, against the key count. Per-node and per-key costs should stay
// flat (Google Benchmark fits the complexity: O(N) expected).
//
// A scene is N "quenlo" nodes of 4 keys each (key 0 and keys 1..3, each
// with a pose of its own), in parent chains of ten, the driver on a
// keyframed channel.
#include "edit/edit_server.hpp"
#include "edit/edit_session.hpp"
#include "edit/edit_state.hpp"
#include "edit/playback_cache.hpp"
#include "engine/bake.hpp"
#include "engine/evaluation.hpp"
#include "engine/host_session.hpp"
#include "engine/scene_cook.hpp"
#include "engine/scene_io.hpp"
#include "output/bake_files.hpp"
#include "output/usd_export.hpp"
#include "json/json.hpp"
#include "json/reader.hpp"

#include <UT/UT_BlockAllocator.h>

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

mhost::Host& host() {
    static mhost::Host* instance = [] {
        setenv("MORVANE_DSO_PATH", BENCH_DSO_DIR, 0);
        auto* made = new mhost::Host;
        made->loadModules({});
        return made;
    }();
    return *instance;
}

constexpr int kChain = 10;
constexpr int kKeyInstances = 3; // besides key 0

// Bytes the allocators have handed out that are not yet freed: malloc's and
// the host's block allocator's.
std::size_t heapInUse() {
    return mallinfo2().uordblks + UT_blockBytesInUse();
}

void buildScene(mhost::Scene& scene, int nodes) {
    OP_Node* parent = nullptr;
    for (int n = 0; n < nodes; ++n) {
        OP_Node& q = scene.create("quenlo", std::string("q").append(std::to_string(n)));
        if (n % kChain != 0)
            q.setInput(0, parent);
        q.setMultiCount(q.findParmIndex("numkeys"), kKeyInstances);
        for (int k = 0; k <= kKeyInstances; ++k) {
            q.setFloatInst(k, "keyval#", &k, 0, 0.0f);
            q.setFloatInst(0.1 * (n % 7) + k, "t#", &k, 1, 0.0f);
            q.setFloatInst(15.0 * k, "r#", &k, 2, 0.0f);
        }
        q.setKeyframes(q.findParmIndex("driverval"), 0, {{0.0f, 0.0}, {1.0f, 3.0}});
        q.refreshEnableStates();
        parent = &q;
    }
}

void perNode(benchmark::State& state) {
    state.counters["per_node"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

void BM_BuildScene(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto scene = std::make_unique<mhost::Scene>(host());
        const std::size_t before = heapInUse();
        state.ResumeTiming();
        buildScene(*scene, static_cast<int>(state.range(0)));
        state.PauseTiming();
        bytes = heapInUse() - before;
        scene.reset();
        state.ResumeTiming();
    }
    state.counters["bytes_per_node"] =
        static_cast<double>(bytes) / static_cast<double>(state.range(0));
    perNode(state);
}

// Saved to a file in the temporary folder, as mhost saves.
void BM_SaveScene(benchmark::State& state) {
    mhost::Scene scene(host());
    buildScene(scene, static_cast<int>(state.range(0)));
    const std::string path =
        (std::filesystem::temp_directory_path() / "scene_bench.scene.json").string();
    for (auto _ : state)
        mhost::saveScene(scene, path);
    state.counters["file_bytes_per_node"] =
        static_cast<double>(std::filesystem::file_size(path)) / static_cast<double>(state.range(0));
    std::filesystem::remove(path);
    perNode(state);
}

std::string sceneFile(int nodes) {
    mhost::Scene scene(host());
    buildScene(scene, nodes);
    return mhost::sceneText(scene);
}

void BM_LoadScene(benchmark::State& state) {
    const std::string text = sceneFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto scene = std::make_unique<mhost::Scene>(host());
        mhost::sceneFromText(*scene, text, "bench");
        benchmark::DoNotOptimize(scene->root().getNchildren());
        state.PauseTiming();
        scene.reset();
        state.ResumeTiming();
    }
    perNode(state);
}

// The check of a whole scene text, as a load that refuses a scene runs it to
// report the first fault of the text (a load of a valid scene checks each
// value as it reads it instead, with no extra pass).
void BM_CheckSceneText(benchmark::State& state) {
    const std::string text = sceneFile(static_cast<int>(state.range(0)));
    const std::string source = "bench";
    for (auto _ : state) {
        mhost::JsonReader reader(text, source);
        reader.checkDocument();
        benchmark::DoNotOptimize(reader.offset());
    }
    perNode(state);
}

void BM_CookScene(benchmark::State& state) {
    mhost::Scene scene(host());
    buildScene(scene, static_cast<int>(state.range(0)));
    std::vector<OBJ_Node*> nodes;
    for (int i = 0; i < scene.root().getNchildren(); ++i)
        nodes.push_back(&mhost::asObject(*scene.root().getChild(i)));
    float time = 0.0f;
    for (auto _ : state) {
        // A new time each round: every node cooks.
        time += 0.01f;
        benchmark::DoNotOptimize(mhost::cookAll(nodes, time));
    }
    perNode(state);
}

// Three runs of each, the median reported: the first run of a size also
// pays for memory the kernel hands out fresh (zeroed, and on this machine
// a page fault costs about ten microseconds), the later ones reuse it.
void nodeCounts(benchmark::internal::Benchmark* b) {
    for (const int n : {1000, 4000, 16000, 64000, 100000})
        b->Arg(n);
    b->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
}
BENCHMARK(BM_BuildScene)->Apply(nodeCounts)->Iterations(1);
BENCHMARK(BM_SaveScene)->Apply(nodeCounts)->Iterations(1);
BENCHMARK(BM_LoadScene)->Apply(nodeCounts)->Iterations(1);
BENCHMARK(BM_CheckSceneText)->Apply(nodeCounts)->Iterations(1);
BENCHMARK(BM_CookScene)->Apply(nodeCounts);

// The bench's scene of n nodes saved as NAME in the temporary folder, as
// mhost edit opens it; the file is removed with the bench.
std::string savedScene(int nodes, const char* name) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    mhost::Scene scene(host());
    buildScene(scene, nodes);
    mhost::saveScene(scene, path);
    return path;
}

// An editing session of that scene, the quenlo node in its middle selected,
// and a page that holds the scene as the session's first answer gave it at
// frame (none: the timeline's start).
struct EditBench {
    EditBench(int nodes, const char* name, std::optional<int> frame)
        : path(savedScene(nodes, name)), session(host(), path), cook(session.scene()) {
        view.selected = std::string("q").append(std::to_string(nodes / 2));
        view.binary = true;
        view.frame = frame;
        mhost::describeSession(session, cook, view);
        view.structure = cook.structure();
        view.matrices = cook.version();
    }
    ~EditBench() { std::filesystem::remove(path); }

    // The state for the page's view, as it receives it; the page then holds
    // its matrices. Gives the answer's size.
    std::size_t answer() {
        const mhost::StateAnswer answer = mhost::describeSession(session, cook, view);
        const std::size_t bytes = mhost::encodeState(answer, cook, true).size();
        view.matrices = cook.version();
        return bytes;
    }

    std::string path;
    mhost::EditSession session;
    mhost::SceneCook cook;
    mhost::PageView view;
};

// One step of a drag of "Driver val" in mhost edit, on a scene of N nodes
// with a quenlo node selected: the edit (merged into the drag's step), the
// nodes it changed cooked again, the pane and the plot of the selected node,
// and the answer as the page receives it (binary, with the matrices that
// changed). answer_bytes is its size. Goals: under 20 ms and 64 KB at
// 100,000 nodes.
void BM_EditScrub(benchmark::State& state) {
    EditBench bench(static_cast<int>(state.range(0)), "scene_bench.edit.json", std::nullopt);
    double driver = 0.0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        driver = driver > 3.0 ? 0.0 : driver + 0.01;
        bench.session.apply({{"op", "set"},
                             {"node", bench.view.selected},
                             {"parm", "driverval"},
                             {"value", driver}},
                            true);
        bytes = bench.answer();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["answer_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EditScrub)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// One step of mhost edit's timeline on the same scene (every node animated
// over the first 25 frames): the state at the next frame, every matrix
// that changed cooked and encoded as the page receives it. answer_bytes is
// its size (the matrices are float32). Goal at 10,000 nodes: the step drawn
// in the page within 100 ms, of which this is the session's part.
void BM_TimelineStep(benchmark::State& state) {
    EditBench bench(static_cast<int>(state.range(0)), "scene_bench.step.json", 1);
    std::size_t bytes = 0;
    for (auto _ : state) {
        bench.view.frame = *bench.view.frame % 24 + 1;
        bytes = bench.answer();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["answer_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_TimelineStep)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A bake of every node at 49 times (0 to 2 s, the driver on its channel) by
// `workers` processes: of the scene in memory (BM_BakeScene, shared by
// groups of nodes, as Scene.bake does), or of its file's text, load
// included (BM_BakeSceneFile, shared by groups of nodes, each worker loading
// its own, as mhost bake does).
// per_cook is the wall time per node and sample.
constexpr int kBakeSteps = 48;

void perCook(benchmark::State& state) {
    state.counters["per_cook"] = benchmark::Counter(
        static_cast<double>(state.range(0)) * (kBakeSteps + 1),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

mhost::BakeRequest bakeRequest(const benchmark::State& state) {
    mhost::BakeRequest request;
    request.times = mhost::SweepRange{0.0, 2.0, kBakeSteps};
    request.workers = static_cast<int>(state.range(1));
    request.keepLocal = false;
    return request;
}

void BM_BakeScene(benchmark::State& state) {
    mhost::Scene scene(host());
    buildScene(scene, static_cast<int>(state.range(0)));
    const mhost::BakeRequest request = bakeRequest(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(mhost::bakeScene(scene, request).world->data());
    perCook(state);
}

void BM_BakeSceneFile(benchmark::State& state) {
    const std::string text = sceneFile(static_cast<int>(state.range(0)));
    const mhost::BakeRequest request = bakeRequest(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            mhost::bakeSceneFile(host(), text, "bench", request).world->data());
    perCook(state);
}

// 10,000 nodes on one worker is half the work of the 20,000 on one: two
// processes running it at once show what the machine allows two workers
// (bake_ratio.py --scene-bench).
void bakeSizes(benchmark::internal::Benchmark* b) {
    b->ArgsProduct({{10000, 20000}, {1, 2}})->ArgNames({"nodes", "workers"});
    b->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
    b->Iterations(1)->UseRealTime();
}
BENCHMARK(BM_BakeScene)->Apply(bakeSizes);
BENCHMARK(BM_BakeSceneFile)->Apply(bakeSizes);

// The USD bake of 1,000 nodes at 240 samples (24 a second): the layer's
// writing alone, from a bake in memory (BM_WriteUsd); and the whole of
// `mhost bake --out FILE` from the scene file's text, load, cook and write
// (BM_BakeToFile, usd:1 for a .usda, usd:0 for the .npy of the same bake).
// file_bytes is the file's size.
mhost::BakeRequest usdRequest(int workers) {
    mhost::BakeRequest request;
    request.times = mhost::SweepRange{0.0, 239.0 / 24.0, 239};
    request.workers = workers;
    return request;
}

std::string benchFile(const char* extension) {
    return (std::filesystem::temp_directory_path() / "mhost-bench-bake").string() + extension;
}

void BM_WriteUsd(benchmark::State& state) {
    mhost::Scene scene(host());
    buildScene(scene, static_cast<int>(state.range(0)));
    const mhost::BakeResult bake = mhost::bakeScene(scene, usdRequest(1));
    const std::string path = benchFile(".usda");
    for (auto _ : state) {
        mhost::UsdBakeWriter writer(path, {"bench", "bench"});
        writer.finish(bake);
    }
    const auto bytes = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
    state.counters["file_bytes"] = bytes;
    state.counters["bytes_per_second"] =
        benchmark::Counter(bytes, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WriteUsd)
    ->ArgName("nodes")
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Iterations(1)
    ->UseRealTime();

void BM_BakeToFile(benchmark::State& state) {
    const std::string text = sceneFile(static_cast<int>(state.range(0)));
    const std::string path = benchFile(state.range(1) != 0 ? ".usda" : ".npy");
    mhost::BakeRequest request = usdRequest(static_cast<int>(state.range(2)));
    for (auto _ : state) {
        mhost::BakeWriter writer(path, {"bench", "bench"});
        writer.feedFrom(request);
        writer.finish(mhost::bakeSceneFile(host(), text, "bench", request));
    }
    state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
    if (state.range(1) == 0)
        std::filesystem::remove(benchFile(".json"));
}
BENCHMARK(BM_BakeToFile)
    ->ArgsProduct({{1000}, {0, 1}, {1, 2}})
    ->ArgNames({"nodes", "usd", "workers"})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Iterations(1)
    ->UseRealTime();

// The editor's playback cache of the default timeline (frames 1 to 240 at
// 24 a second) at 10,000 nodes, one worker per core: the fill, from
// restart() until every frame is ready (BM_PlaybackFill), against bakeScene
// of the same 240 samples in the same process, world matrices only
// (BM_BakeFrames). The scene is buildScene's, or the scene file that
// MHOST_BENCH_SCENE names (bench/playback_ratio.py, which times `mhost
// bake` of that file). Medians of five.
void playbackScene(mhost::Scene& scene, int nodes) {
    if (const char* file = std::getenv("MHOST_BENCH_SCENE"))
        mhost::loadScene(scene, file);
    else
        buildScene(scene, nodes);
}

void BM_PlaybackFill(benchmark::State& state) {
    mhost::Scene scene(host());
    playbackScene(scene, static_cast<int>(state.range(0)));
    mhost::PlaybackCache cache(std::size_t(512) << 20);
    for (auto _ : state) {
        cache.restart(scene, 1);
        cache.wait(std::chrono::hours(1));
    }
    if (cache.state() != mhost::PlaybackCache::State::Filled)
        state.SkipWithError(("the fill failed: " + cache.failure()).c_str());
    state.counters["frames"] = cache.readyCount();
}

void BM_BakeFrames(benchmark::State& state) {
    mhost::Scene scene(host());
    playbackScene(scene, static_cast<int>(state.range(0)));
    mhost::BakeRequest request = usdRequest(0);
    request.keepLocal = false;
    for (auto _ : state)
        benchmark::DoNotOptimize(mhost::bakeScene(scene, request).world->data());
}

// What an edit waits for when it restarts the fill: restart() while a fill
// runs (killing it, its child reaped, and forking the next), 0.2 s into
// the fill.
void BM_PlaybackRestart(benchmark::State& state) {
    mhost::Scene scene(host());
    playbackScene(scene, static_cast<int>(state.range(0)));
    mhost::PlaybackCache cache(std::size_t(512) << 20);
    cache.restart(scene, 1);
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        state.ResumeTiming();
        cache.restart(scene, 1);
    }
}
BENCHMARK(BM_PlaybackRestart)
    ->ArgName("nodes")
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

void playbackSizes(benchmark::internal::Benchmark* b) {
    b->ArgName("nodes")->Arg(10000)->Unit(benchmark::kMillisecond);
    b->Repetitions(5)->ReportAggregatesOnly(true)->Iterations(1)->UseRealTime();
}
BENCHMARK(BM_PlaybackFill)->Apply(playbackSizes);
BENCHMARK(BM_BakeFrames)->Apply(playbackSizes);

// A quenlo node with `keys` key instances, each with a pose of its own.
void buildKeys(mhost::Scene& scene, int keys) {
    OP_Node& q = scene.create("quenlo", "q");
    q.setMultiCount(q.findParmIndex("numkeys"), keys);
    for (int i = 1; i <= keys; ++i) {
        q.setFloatInst(i * 0.5, "keyval#", &i, 0, 0.0f);
        q.setFloatInst(i, "t#", &i, 0, 0.0f);
        q.setFloatInst(-i, "r#", &i, 2, 0.0f);
    }
}

void perKey(benchmark::State& state) {
    state.counters["per_key"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

void keyCounts(benchmark::internal::Benchmark* b) {
    for (const int n : {1024, 8192, 65536})
        b->Arg(n);
    b->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
}

void BM_SaveKeys(benchmark::State& state) {
    mhost::Scene scene(host());
    buildKeys(scene, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(mhost::sceneText(scene));
    state.SetComplexityN(state.range(0));
    perKey(state);
}
BENCHMARK(BM_SaveKeys)->Apply(keyCounts);

void BM_LoadKeys(benchmark::State& state) {
    std::string text;
    {
        mhost::Scene scene(host());
        buildKeys(scene, static_cast<int>(state.range(0)));
        text = mhost::sceneText(scene);
    }
    for (auto _ : state) {
        mhost::Scene scene(host());
        mhost::sceneFromText(scene, text, "bench");
        benchmark::DoNotOptimize(scene.root().getNchildren());
    }
    state.SetComplexityN(state.range(0));
    perKey(state);
}
BENCHMARK(BM_LoadKeys)->Apply(keyCounts);

} // namespace

BENCHMARK_MAIN();
