// Scene files at scale: saving and loading a node with many keys. The
// per-key cost stays flat as the key count grows (Google Benchmark fits
// the complexity: O(N) expected).
#include "host_session.hpp"
#include "json_file.hpp"
#include "scene_io.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

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

void BM_SaveKeys(benchmark::State& state) {
    mhost::Scene scene(host());
    buildKeys(scene, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(mhost::sceneText(scene));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SaveKeys)->RangeMultiplier(8)->Range(1 << 10, 1 << 16)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

void BM_LoadKeys(benchmark::State& state) {
    std::string text;
    {
        mhost::Scene scene(host());
        buildKeys(scene, static_cast<int>(state.range(0)));
        text = mhost::sceneText(scene);
    }
    for (auto _ : state) {
        mhost::Scene scene(host());
        mhost::sceneFromJson(scene, mhost::parseJson(text, "bench"), "bench");
        benchmark::DoNotOptimize(scene.root().getNchildren());
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LoadKeys)->RangeMultiplier(8)->Range(1 << 10, 1 << 16)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
