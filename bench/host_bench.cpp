// Parameter access speed: reading one component of an instance parameter
// ("t#" with an instance) against the floor of looking the value up in a hash
// map keyed by the already formatted token.
#include "OBJ/OBJ_Null.h"
#include "OP/OP_OperatorTable.h"
#include "PRM/PRM_Shared.h"

#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>

namespace {

PRM_Name countName("count", "Count");
PRM_Name tName("t#", "Translate #");
PRM_Name sName("s#", "Scale #");
PRM_Template members[] = {
    PRM_Template(PRM_FLT, 3, &tName, PRMzeroDefaults),
    PRM_Template(PRM_FLT, 3, &sName, PRMoneDefaults),
    PRM_Template(),
};
PRM_Template own[] = {
    PRM_Template(PRM_MULTITYPE_LIST, members, 10.0f, &countName, PRMoneDefaults),
    PRM_Template(),
};
OP_TemplatePair ownPair(own);
OP_TemplatePair pair(OBJ_Null::getTemplateList(), &ownPair);

struct Scene {
    Scene() {
        OBJinstallHostOperators(table);
        table.addOperator(
            new OP_Operator("benchobj", "Bench", OBJ_Null::myConstructor, &pair, 0, 1));
        node = net.createNode("benchobj", "n");
        node->setInt("count", 0, 0, 64);
        node->setFloat("t37", 1, 0, 2.5);
    }
    OP_OperatorTable table;
    OP_Network net{&table};
    OP_Node* node;
};

void BM_EvalFloatInst(benchmark::State& state) {
    Scene scene;
    int instance = 37;
    for (auto _ : state) {
        benchmark::DoNotOptimize(instance);
        double v = scene.node->evalFloatInst("t#", &instance, 1, 0.0f, 1);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_EvalFloatInst);

void BM_MapLookup(benchmark::State& state) {
    Scene scene;
    // The same number of entries as the node has parameters.
    std::unordered_map<std::string, double> map;
    for (int i = 0; i < scene.node->getParmCount(); ++i)
        map[scene.node->getParm(i)->getToken()] = scene.node->getParm(i)->component(0).constant;
    map["t37"] = 2.5;
    const std::string key = "t37";
    for (auto _ : state) {
        benchmark::DoNotOptimize(key);
        double v = map.find(key)->second;
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_MapLookup);

} // namespace

BENCHMARK_MAIN();
