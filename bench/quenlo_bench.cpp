// Cost of the keyed transform: one evaluation through the host's virtual
// call, the blend arithmetic alone, an evaluation that re-reads every key,
// and the rebuild of the key table.
//
// BM_Evaluate/<active keys>/<interp>: interp 0 blends per Euler angle, 1 by
// quaternion. The driver value sits on the last key, so the segment scan
// runs through the whole table.
#include "OP/OP_OperatorTable.h"
#include "keys/Interpolation.h"
#include "keys/KeyBlend.h"
#include "node/OBJ_Quenlo.h"
#include "plugin/QuenloRegistration.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace {

OP_OperatorTable& table() {
    static OP_OperatorTable instance;
    static const bool registered = [] {
        OBJinstallHostOperators(instance);
        quenlo::registerOperator(&instance);
        return true;
    }();
    (void)registered;
    return instance;
}

// A quenlo node with `activeKeys` active keys at driver values 0, 1, 2, ...
// each with a pose of its own, and the driver on the last one.
struct Scene {
    Scene(int activeKeys, bool quaternion) {
        node = dynamic_cast<OBJ_Quenlo*>(net.createNode("quenlo", "q"));
        node->setMultiCount(node->findParmIndex("numkeys"), activeKeys - 1);
        for (int i = 0; i < activeKeys; ++i) {
            node->setFloatInst(i, "keyval#", &i, 0, 0.0f);
            node->setFloatInst(0.1 * i, "t#", &i, 0, 0.0f);
            node->setFloatInst(3.0 * i, "r#", &i, 2, 0.0f);
            node->setFloatInst(1.0 + 0.01 * i, "s#", &i, 1, 0.0f);
        }
        node->setFloat("driverval", 0, 0.0f, activeKeys - 1);
        node->setFloat("interp", 0, 0.0f, quaternion ? 1 : 0);
        node->refreshEnableStates();
    }

    OP_Network net{&table()};
    OBJ_Quenlo* node = nullptr;
};

void BM_Evaluate(benchmark::State& state) {
    Scene scene(static_cast<int>(state.range(0)), state.range(1) != 0);
    OP_Context context(0.0f);
    for (auto _ : state) {
        UT_DMatrix4 xform;
        benchmark::DoNotOptimize(scene.node->applyInputIndependentTransform(context, xform));
        benchmark::DoNotOptimize(xform);
    }
}
BENCHMARK(BM_Evaluate)->ArgsProduct({{2, 16, 256, 1024, 4096}, {0, 1}});

void BM_BlendMath(benchmark::State& state) {
    const bool quaternion = state.range(0) != 0;
    QuenloPose lower, upper;
    upper.translate = {1.0f, 2.0f, 3.0f};
    upper.rotate = {10.0f, 20.0f, 30.0f};
    upper.scale = {1.5f, 1.5f, 1.5f};
    const UT_XformOrder order;
    float driver = 0.75f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver);
        UT_DMatrix4 xform;
        const float weight = quenlo::fitRange(driver, 0.0f, 1.0f, 0.0f, 1.0f);
        quenlo::applyBlend(lower, upper, weight, quaternion, order, xform);
        benchmark::DoNotOptimize(xform);
    }
}
BENCHMARK(BM_BlendMath)->Arg(0)->Arg(1);

// What BM_BlendMath cannot do without: the trigonometry of one Euler
// rotation (three sines and cosines) and one 4x4 product.
void BM_Trigonometry(benchmark::State& state) {
    double angles[3] = {0.1, 0.2, 0.3};
    for (auto _ : state) {
        benchmark::DoNotOptimize(angles);
        double sum = 0.0;
        for (const double a : angles)
            sum += std::sin(a) * std::cos(a);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_Trigonometry);

void BM_MatrixProduct(benchmark::State& state) {
    UT_DMatrix4 a, b;
    a.xform(UT_XformOrder(), 1, 2, 3, 10, 20, 30, 1, 2, 3, 0, 0, 0);
    b.xform(UT_XformOrder(), 3, 2, 1, 30, 20, 10, 3, 2, 1, 0, 0, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        UT_DMatrix4 c = a * b;
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_MatrixProduct);

// One host parameter read of a key's pose, the unit of the evaluation's
// reads: an evaluation makes 32 of them besides the base object's own.
void BM_HostParameterRead(benchmark::State& state) {
    Scene scene(2, false);
    const int key = 1;
    for (auto _ : state)
        benchmark::DoNotOptimize(scene.node->evalFloatInst("t#", &key, 1, 0.0f, 1));
}
BENCHMARK(BM_HostParameterRead);

// Without the key table every evaluation would read all keys' driver values
// and toggles: the rebuild before each evaluation does exactly that.
void BM_NaiveEvaluate(benchmark::State& state) {
    Scene scene(static_cast<int>(state.range(0)), false);
    OP_Context context(0.0f);
    for (auto _ : state) {
        scene.node->rebuildKeyTable();
        UT_DMatrix4 xform;
        benchmark::DoNotOptimize(scene.node->applyInputIndependentTransform(context, xform));
        benchmark::DoNotOptimize(xform);
    }
}
BENCHMARK(BM_NaiveEvaluate)->Arg(2)->Arg(16)->Arg(256)->Arg(1024)->Arg(4096);

void BM_RebuildKeyTable(benchmark::State& state) {
    Scene scene(static_cast<int>(state.range(0)), false);
    for (auto _ : state) {
        scene.node->rebuildKeyTable();
        benchmark::DoNotOptimize(scene.node->getKeyValues().begin());
    }
}
BENCHMARK(BM_RebuildKeyTable)->Arg(2)->Arg(16)->Arg(256)->Arg(1024)->Arg(4096);

} // namespace

BENCHMARK_MAIN();
