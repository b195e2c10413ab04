// In-process tests of mhost_core on the host's own "null" type.
#include "cli/sweep_range.hpp"
#include "engine/bake.hpp"
#include "engine/bake_plan.hpp"
#include "engine/evaluation.hpp"
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "output/svg_plot.hpp"
#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "test_support.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <span>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace mhost {
namespace {

using test::TempDir;

// The message of the Failure that f throws, checking its exit status.
template <typename F> std::string failureOf(F&& f, ExitCode expected) {
    try {
        f();
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.code(), expected) << failure.what();
        return failure.what();
    }
    ADD_FAILURE() << "nothing was thrown";
    return "";
}

TEST(JsonFile, MalformedJsonNamesSourceLineAndColumn) {
    const std::string text = "[\n  {\"op\": \"create\",\n   \"type\": nul}\n]\n";
    const std::string message = failureOf([&] { parseJson(text, "s.json"); }, kExitBadInput);
    EXPECT_EQ(message.rfind("s.json:3:", 0), 0u) << message;
    EXPECT_NE(message.find("malformed JSON"), std::string::npos) << message;

    const std::string truncated = "{\"a\": [1, 2";
    const std::string end = failureOf([&] { parseJson(truncated, "t.json"); }, kExitBadInput);
    EXPECT_EQ(end.rfind("t.json:1:12:", 0), 0u) << end;
}

TEST(JsonFile, AtomicWriteReplacesWholeFileOrNothing) {
    const TempDir dir;
    const std::string path = dir.write("scene.json", "old contents");
    writeFileAtomically(path, "new");
    EXPECT_EQ(test::readFile(path), "new");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"scene.json"}) << "temporary file left";

    const std::string missing = dir.file("no/such/folder/x.json");
    const std::string message =
        failureOf([&] { writeFileAtomically(missing, "x"); }, kExitRunFailure);
    EXPECT_NE(message.find(missing), std::string::npos);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"scene.json"});
}

TEST(JsonFile, NumbersSurviveTheTextForm) {
    // Keyframe times are floats: the shortest text must read back as the same float.
    for (const float t : {0.1f, 1.0f / 3.0f, 2.5e-7f, 123456.78f, -0.0f}) {
        const Json j = parseJson(Json(shortestDouble(t)).dump(), "t");
        EXPECT_EQ(static_cast<float>(j.get<double>()), t);
    }
    for (const double v : {0.1, 1e300, -2.2250738585072014e-308, 1.0 / 3.0}) {
        double back = 0.0;
        ASSERT_TRUE(jsonToNumber(parseJson(numberToJson(v).dump(), "v"), back));
        EXPECT_EQ(back, v);
    }
    double nan = 0.0;
    ASSERT_TRUE(jsonToNumber(numberToJson(std::nan("")), nan));
    EXPECT_TRUE(std::isnan(nan));
    EXPECT_FALSE(jsonToNumber(Json("fast"), nan));
}

TEST(ScriptActions, EachRowsExampleReadsAsItsOwnOp) {
    for (const ActionKind& kind : actionKinds()) {
        const std::vector<Action> read =
            parseScript(Json::array({parseJson(kind.example, kind.op)}), "table");
        ASSERT_EQ(read.size(), 1u) << kind.op;
        EXPECT_EQ(read[0].kind, &kind) << kind.op;
        EXPECT_EQ(findActionKind(kind.op), &kind) << "two rows of one op";
    }
    EXPECT_EQ(findActionKind("crate"), nullptr);
}

TEST(SweepRange, ParsesAndRefuses) {
    const SweepRange r = parseSweepRange("0:10:4");
    EXPECT_EQ(r.values(), (std::vector<double>{0, 2.5, 5, 7.5, 10}));
    EXPECT_EQ(parseSweepRange("-1.5:1e1:1").values(), (std::vector<double>{-1.5, 10}));
    for (const char* bad :
         {"", "0:10", "0:10:0", "0:10:-2", "a:1:2", "0:1:2.5", "0:1:2:3", "0:inf:2", "0::3"}) {
        const std::string message = failureOf([&] { parseSweepRange(bad); }, kExitBadInput);
        EXPECT_NE(message.find(std::string("\"") + bad + "\""), std::string::npos) << message;
    }
}

TEST(SvgPlot, TicksAreRoundAndInsideTheRange) {
    for (const auto& [low, high] : std::vector<std::pair<double, double>>{
             {0, 10}, {-5.4, 95.4}, {0.7, 1.55}, {1000, 1003}, {-1e-3, 2e-3}}) {
        const std::vector<double> ticks = niceTicks(low, high, 5);
        ASSERT_GE(ticks.size(), 3u) << low << ".." << high;
        ASSERT_LE(ticks.size(), 11u) << low << ".." << high;
        const double step = ticks[1] - ticks[0];
        const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
        EXPECT_TRUE(std::abs(mantissa - 1) < 1e-6 || std::abs(mantissa - 2) < 1e-6 ||
                    std::abs(mantissa - 5) < 1e-6)
            << step;
        EXPECT_GE(ticks.front(), low);
        EXPECT_LE(ticks.back(), high);
        EXPECT_NEAR(std::remainder(ticks.front(), step), 0.0, step * 1e-6);
    }
    EXPECT_TRUE(niceTicks(1, 1, 5).empty());
}

// A scene text of `count` small nodes, each wired to the one before, padded
// to about `pad` bytes each; `middle` goes into the parameters of the node
// in the middle.
std::string outlineText(int count, std::size_t pad, const std::string& middle = "") {
    std::string text = "{\n  \"format\": \"mhost-scene\",\n  \"nodes\": [\n";
    for (int i = 0; i < count; ++i) {
        text +=
            "    {\n      \"name\": \"n" + std::to_string(i) + "\",\n      \"type\": \"null\",\n";
        text += "      \"inputs\": [" +
                (i == 0 ? std::string("null") : "\"n" + std::to_string(i - 1) + "\"") +
                ", null],\n      \"parms\": {\"t\": [1.0, 2.0, 3.0], \"tags\": \"" +
                std::string(pad, 'x') + "\"" + (i == count / 2 ? middle : "") + "}\n    }";
        text += i + 1 < count ? ",\n" : "\n";
    }
    return text + "  ],\n  \"version\": 1\n}\n";
}

void expectSameOutline(const SceneOutline& two, const SceneOutline& one) {
    ASSERT_EQ(two.nodes.size(), one.nodes.size());
    for (std::size_t i = 0; i < one.nodes.size(); ++i) {
        EXPECT_EQ(two.nodes[i].name, one.nodes[i].name) << i;
        EXPECT_EQ(two.nodes[i].type, one.nodes[i].type) << i;
        EXPECT_EQ(two.nodes[i].inputs, one.nodes[i].inputs) << i;
        EXPECT_EQ(two.nodes[i].end, one.nodes[i].end) << i;
    }
}

// Workers may hand their matrices over through an anonymous file while the
// bake runs; a program that holds many bakes keeps its descriptors.
TEST(BakeMemory, BakesHeldAtOnceHoldNoFileDescriptors) {
    Host host;
    Scene scene(host);
    scene.create("null", "a");
    BakeRequest request;
    request.times = SweepRange{0, 1, 4};
    request.workers = 2;
    // The limit comes back however the test ends: the other tests of this
    // program need their descriptors.
    struct Limit {
        rlimit before{};
        ~Limit() { ::setrlimit(RLIMIT_NOFILE, &before); }
    } limit;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit.before), 0);
    rlimit few = limit.before;
    few.rlim_cur = std::min<rlim_t>(limit.before.rlim_cur, 64);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
    std::vector<BakeResult> bakes;
    for (int i = 0; i < 100; ++i)
        bakes.push_back(bakeScene(scene, request));
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << "the bakes held the descriptors";
    if (fd >= 0)
        ::close(fd);
    EXPECT_EQ(bakes.back().world->data()[0], 1.0) << "a held bake lost its matrices";
}

// A scene in memory is shared out in parts of whole cook blocks, in order,
// each part at least kLeastPartNodes while that many are left, shrinking
// along the blocks; a block larger than an even share leaves it to samples.
TEST(BakePlan, GroupsGoToPartsOfWholeBlocksInOrder) {
    std::vector<CookBlock> blocks(40);
    for (std::size_t b = 0; b < blocks.size(); ++b)
        blocks[b].nodes.assign(30 + b % 7, nullptr);
    std::size_t total = 0;
    for (const CookBlock& block : blocks)
        total += block.nodes.size();
    const auto parts = planByGroups(blocks, 2);
    ASSERT_TRUE(parts.has_value());
    ASSERT_GT(parts->size(), 2u);
    std::size_t next = 0, covered = 0, previous = SIZE_MAX;
    for (const BlockPart& part : *parts) {
        EXPECT_EQ(part.first, next);
        ASSERT_GT(part.end, part.first);
        std::size_t nodes = 0;
        for (std::size_t b = part.first; b < part.end; ++b)
            nodes += blocks[b].nodes.size();
        EXPECT_EQ(part.nodes, nodes);
        if (total - covered >= kLeastPartNodes && part.end < blocks.size()) {
            EXPECT_GE(part.nodes, kLeastPartNodes);
        }
        EXPECT_LE(nextPartNodes(total - covered, 2), previous);
        previous = nextPartNodes(total - covered, 2);
        covered += nodes;
        next = part.end;
    }
    EXPECT_EQ(next, blocks.size());
    EXPECT_EQ(covered, total);

    blocks[7].nodes.assign(total, nullptr);
    EXPECT_FALSE(planByGroups(blocks, 2).has_value());
    EXPECT_TRUE(planByGroups(blocks, 1).has_value());
}

// A large scene is outlined by two threads, the second from a guessed entry
// in the middle; the outline is the same as a single thread's, whether the
// guess is an entry, lies in a string that would parse as an outline of its
// own, or the text is malformed after it.
TEST(SceneOutline, TwoThreadsGiveTheOneThreadOutline) {
    const std::string source = "big.json";
    const std::string plain = outlineText(5000, 1000);
    ASSERT_GT(plain.size(), std::size_t(4) << 20) << "large enough to be split";
    const SceneOutline one = outlineScene(plain, source);
    ASSERT_EQ(one.nodes.size(), 5000u);
    EXPECT_EQ(one.nodes[4999].inputs, (std::vector<std::string>{"n4998", ""}));
    EXPECT_EQ(plain.substr(one.nodes[2500].end - 1, 3), "},\n") << "an entry ends past its '}'";
    expectSameOutline(outlineScene(plain, source, true), one);

    // The middle is one long string of text that parses as entries and an end.
    std::string decoy;
    while (decoy.size() < (std::size_t(5) << 20))
        decoy += ", {}]";
    const std::string inString = outlineText(1000, 10, ", \"note\": \"" + decoy + "\"");
    const SceneOutline oneInString = outlineScene(inString, source);
    ASSERT_EQ(oneInString.nodes.size(), 1000u);
    expectSameOutline(outlineScene(inString, source, true), oneInString);

    // A fault after the middle, in an entry or after the array.
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"\"n4000\",", "\"n4000\""},
                                   {"\"version\": 1", "\"version\": "}}) {
        std::string broken = plain;
        broken.replace(broken.find(from), from.size(), to);
        const std::string expected =
            failureOf([&] { outlineScene(broken, source); }, kExitBadInput);
        EXPECT_EQ(failureOf([&] { outlineScene(broken, source, true); }, kExitBadInput), expected);
    }
}

// A scene of null objects built by a script, as mhost run does it.
class NullScene : public ::testing::Test {
protected:
    void run(const std::string& script) {
        std::ostringstream out;
        runScript(scene, parseScript(parseJson(script, "script"), "script"), "script", out);
        output += out.str();
    }

    Host host;
    Scene scene{host};
    std::string output;
};

TEST_F(NullScene, SaveLoadSaveIsByteIdentical) {
    run(R"([
        {"op": "create", "type": "null", "name": "parent"},
        {"op": "create", "type": "null", "name": "child"},
        {"op": "wire", "node": "child", "input": 0, "from": "parent"},
        {"op": "set", "node": "parent", "parm": "t", "value": [0.1, -2, 1e-9]},
        {"op": "set", "node": "child", "parm": "xOrd", "value": 3},
        {"op": "set", "node": "child", "parm": "tags", "value": "a \"quoted\", tag"},
        {"op": "keyframes", "node": "child", "parm": "r", "component": 2,
         "keys": [[0.3, 90], [0, 1.0000000000000002], [1.7, -45.25]]}
    ])");
    const std::string first = sceneText(scene);
    Scene reloaded(host);
    sceneFromJson(reloaded, parseJson(first, "first"), "first");
    EXPECT_EQ(sceneText(reloaded), first);

    const OP_Node& child = reloaded.node("child");
    EXPECT_EQ(child.getInput(0), &reloaded.node("parent"));
    EXPECT_EQ(child.evalString("tags", 0, 0), "a \"quoted\", tag");
    const PRM_Component& rz = child.getParm(child.findParmIndex("r"))->component(2);
    ASSERT_EQ(rz.keys.size(), 3u);
    EXPECT_EQ(rz.keys[0].value, 1.0000000000000002);
    EXPECT_EQ(rz.keys[1].time, 0.3f);
    EXPECT_EQ(reloaded.node("parent").evalFloat("t", 2, 0), 1e-9);
}

TEST_F(NullScene, RenameKeepsWiringAndPlaceAndRemoveUnwiresUsers) {
    run(R"([
        {"op": "create", "type": "null", "name": "a"},
        {"op": "create", "type": "null", "name": "b"},
        {"op": "create", "type": "null", "name": "c"},
        {"op": "wire", "node": "b", "input": 0, "from": "a"},
        {"op": "wire", "node": "c", "input": 0, "from": "a"},
        {"op": "rename", "node": "a", "to": "root"},
        {"op": "remove", "node": "c"}
    ])");
    ASSERT_EQ(scene.root().getNchildren(), 2);
    EXPECT_STREQ(scene.root().getChild(0)->getName(), "root");
    EXPECT_EQ(scene.node("b").getInput(0), &scene.node("root"));
    const std::string renamedText = sceneText(scene);
    EXPECT_NE(renamedText.find("\"inputs\": [\"root\"]"), std::string::npos) << renamedText;

    run(R"([{"op": "remove", "node": "root"}])");
    EXPECT_EQ(scene.node("b").getInput(0), nullptr);
    for (const char* script : {R"([{"op": "rename", "node": "b", "to": "b"}])"}) {
        run(script); // its own name: nothing changes
        EXPECT_EQ(scene.root().getNchildren(), 1);
    }
    run(R"([{"op": "create", "type": "null", "name": "d"}])");
    EXPECT_NE(
        failureOf([&] { run(R"([{"op": "rename", "node": "b", "to": "d"}])"); }, kExitBadInput)
            .find("\"d\" already exists"),
        std::string::npos);
    EXPECT_NE(failureOf([&] { run(R"([{"op": "rename", "node": "b", "to": ""}])"); }, kExitBadInput)
                  .find("\"to\" must not be empty"),
              std::string::npos);
    EXPECT_NE(failureOf([&] { run(R"([{"op": "remove", "node": "zz"}])"); }, kExitBadInput)
                  .find("no node named \"zz\""),
              std::string::npos);
}

TEST_F(NullScene, EvalReportsRowVectorMatrices) {
    run(R"([
        {"op": "create", "type": "null", "name": "a"},
        {"op": "set", "node": "a", "parm": "t", "value": [1, 2, 3]},
        {"op": "keyframes", "node": "a", "parm": "t", "component": 0, "keys": [[0, 1], [2, 5]]},
        {"op": "eval", "node": "a", "time": 1}
    ])");
    const Json line = parseJson(output, "output");
    EXPECT_EQ(line["op"], "eval");
    EXPECT_EQ(line["result"], 1) << "an animated transform reports time dependence";
    EXPECT_EQ(line["local"][12], 3.0);
    EXPECT_EQ(line["local"][13], 2.0);
    EXPECT_EQ(line["local"][14], 3.0);
    EXPECT_EQ(line["local"][15], 1.0);
}

TEST_F(NullScene, ScriptMistakesNameTheActionAndChangeNothing) {
    const struct {
        const char* script;
        const char* expected;
    } cases[] = {
        {R"([{"op": "create", "type": "null", "name": "a"}, {"op": "explode"}])",
         "actions[1] (explode): unknown action \"explode\""},
        {R"([{"op": "set", "node": "a", "parm": "t", "valeu": 1}])", "missing field \"value\""},
        {R"([{"op": "set", "node": "a", "parm": "t", "value": 1, "valeu": 1}])",
         "unknown field \"valeu\""},
        {R"([{"op": "get", "node": "a", "parm": "t", "time": "soon"}])",
         "field \"time\" must be a number"},
        {R"({"steps": []})", "missing field \"actions\""},
        {R"([{"op": "eval", "node": "a", "time": 1e200}])",
         "field \"time\" must be a finite time in seconds"},
        {R"([{"op": "keyframes", "node": "a", "parm": "t", "keys": [[1e300, 1]]}])",
         "keyframe time 1e+300 must be a finite time in seconds"},
    };
    for (const auto& c : cases) {
        const std::string message = failureOf([&] { run(c.script); }, kExitBadInput);
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
        EXPECT_EQ(message.rfind("script: ", 0), 0u) << message;
        EXPECT_EQ(scene.root().getNchildren(), 0) << "an action ran before the script was checked";
    }
}

TEST_F(NullScene, RunTimeMistakesNameTheCulprit) {
    run(R"([{"op": "create", "type": "null", "name": "a"},
            {"op": "create", "type": "null", "name": "b"},
            {"op": "wire", "node": "b", "input": 0, "from": "a"}])");
    const struct {
        const char* script;
        const char* expected;
    } cases[] = {
        {R"([{"op": "create", "type": "nothing", "name": "x"}])", "unknown node type \"nothing\""},
        {R"([{"op": "create", "type": "null", "name": "a"}])", "\"a\" already exists"},
        {R"([{"op": "set", "node": "c", "parm": "t", "value": 1}])", "no node named \"c\""},
        {R"([{"op": "set", "node": "a", "parm": "tx", "value": 1}])",
         "node \"a\" (null) has no parameter \"tx\""},
        {R"([{"op": "set", "node": "a", "parm": "t", "value": [1, 2, 3, 4]}])", "4 values given"},
        {R"([{"op": "set", "node": "a", "parm": "t", "value": "up"}])", "takes numbers"},
        {R"([{"op": "press", "node": "a", "parm": "t"}])", "is not a button"},
        {R"([{"op": "keyframes", "node": "a", "parm": "tags", "keys": [[0, 1]]}])",
         "cannot be animated"},
        {R"([{"op": "keyframes", "node": "a", "parm": "t", "keys": [[0, 1], [0, 2]]}])",
         "two keyframes at time 0"},
        {R"([{"op": "wire", "node": "a", "input": 0, "from": "b"}])", "would make a cycle"},
        {R"([{"op": "wire", "node": "a", "input": 7, "from": "b"}])", "has no input 7"},
        {R"([{"op": "load", "path": "/no/such/scene.json"}])", "/no/such/scene.json: cannot read"},
    };
    const std::string before = sceneText(scene);
    for (const auto& c : cases) {
        const std::string message = failureOf([&] { run(c.script); }, kExitBadInput);
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
        EXPECT_EQ(message.rfind("script: actions[0] (", 0), 0u) << message;
    }
    EXPECT_EQ(sceneText(scene), before);
}

TEST_F(NullScene, BadScenesAreRefusedAndTheSceneIsKept) {
    run(R"([{"op": "create", "type": "null", "name": "keep"}])");
    const std::string before = sceneText(scene);
    const std::string node = R"({"name": "n", "type": "null", "inputs": [null], "parms": {}})";
    const auto sceneWith = [](const std::string& nodes, const std::string& extra = "") {
        return R"({"format": "mhost-scene", "version": 1, "modules": [)" + extra +
               R"(], "nodes": [)" + nodes + "]}";
    };
    const struct {
        std::string text;
        const char* expected;
    } cases[] = {
        {sceneWith(R"({"name": "n", "type": "nothing"})"), "unknown node type \"nothing\""},
        {sceneWith(R"({"name": "n", "type": "null", "parms": {"size": 2}})"),
         "node \"n\" (null): unknown parameter \"size\""},
        {sceneWith(R"({"name": "n", "type": "null", "parms": {"t": [1, 2]}})"),
         "parameter \"t\": expected an array of 3 components"},
        {sceneWith(R"({"name": "n", "type": "null", "parms": {"t": [1, [[0, 1], [0, 2]], 3]}})"),
         "parameter \"t\": component 1: two keyframes"},
        {sceneWith(R"({"name": "n", "type": "null", "parms": {"tags": 3}})"),
         "parameter \"tags\": expected text"},
        {sceneWith(R"({"name": "n", "type": "null", "inputs": ["m"]})"), "no node named \"m\""},
        {sceneWith(R"({"name": "n", "type": "null", "inputs": ["m"]},
                      {"name": "m", "type": "null", "inputs": ["n"]})"),
         "would make a cycle"},
        {sceneWith(node + "," + node), "a node named \"n\" already exists"},
        {sceneWith(node, R"("OBJ_Missing.so")"), "needs module \"OBJ_Missing.so\""},
        {R"({"format": "mhost-scene", "version": 7, "nodes": []})", "unsupported scene version 7"},
        {R"({"format": "other", "version": 1, "nodes": []})", "\"format\" must be"},
    };
    for (const auto& c : cases) {
        const std::string message = failureOf(
            [&] { sceneFromJson(scene, parseJson(c.text, "in.json"), "in.json"); }, kExitBadInput);
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
        EXPECT_EQ(message.rfind("in.json: ", 0), 0u) << message;
        EXPECT_EQ(sceneText(scene), before);
    }
}

TEST_F(NullScene, ReadsSceneFieldsInAnyOrder) {
    // Nodes before the fields they need, parameters in any order: the file
    // loads, and saves in the usual order.
    const std::string text = R"({"nodes": [{"parms": {"s": [2, 2, 2], "t": [1, 0, 0]},
                                             "inputs": [null], "type": "null", "name": "a"}],
                                  "modules": [], "version": 1, "format": "mhost-scene"})";
    sceneFromText(scene, text, "any.json");
    EXPECT_DOUBLE_EQ(scene.node("a").evalFloat("s", 1, 0), 2.0);
    const std::string saved = sceneText(scene);
    EXPECT_EQ(saved.find("\"format\""), 4u) << saved;
    Scene again(host);
    sceneFromText(again, saved, "saved.json");
    EXPECT_EQ(sceneText(again), saved);

    const std::string late = failureOf(
        [&] {
            sceneFromText(scene,
                          R"({"format": "mhost-scene", "version": 1, "modules": [],
                              "nodes": [], "extra": 1})",
                          "late.json");
        },
        kExitBadInput);
    EXPECT_EQ(late, "late.json: unknown field \"extra\"");
}

TEST_F(NullScene, ARepeatedParameterIsMalformedJsonWithItsPosition) {
    const std::string message = failureOf(
        [&] {
            sceneFromText(scene, R"({"format": "mhost-scene", "version": 1, "nodes": [
  {"name": "a", "type": "null", "parms": {"t": [1, 0, 0],
   "t": [2, 0, 0]}}]})",
                          "twice.json");
        },
        kExitBadInput);
    EXPECT_EQ(message, "twice.json:3:4: malformed JSON: the key \"t\" appears twice in one object");
    EXPECT_EQ(scene.root().getNchildren(), 0) << "nothing of it is kept";
}

// A whole-scene cook in any order cooks each node after its parent,
// prefetches nodes ahead of their cooks without changing them, and reports
// the worst.
TEST_F(NullScene, CookAllGivesEachNodesOwnCookAndTheWorstSeverity) {
    run(R"([
        {"op": "create", "type": "null", "name": "child"},
        {"op": "create", "type": "null", "name": "root"},
        {"op": "create", "type": "null", "name": "big"},
        {"op": "create", "type": "null", "name": "bigger"},
        {"op": "wire", "node": "child", "input": 0, "from": "root"},
        {"op": "wire", "node": "bigger", "input": 0, "from": "big"},
        {"op": "set", "node": "root", "parm": "t", "value": [1, 0, 0]},
        {"op": "keyframes", "node": "child", "parm": "t", "component": 1, "keys": [[0, 0], [1, 4]]},
        {"op": "set", "node": "big", "parm": "scale", "value": 1e200},
        {"op": "set", "node": "bigger", "parm": "scale", "value": 1e200}
    ])");
    std::vector<OBJ_Node*> nodes;
    for (const char* name : {"child", "root", "big", "bigger"})
        nodes.push_back(&asObject(scene.node(name)));
    EXPECT_EQ(cookAll(std::span(nodes).first(2), 0.5f), UT_ERROR_NONE);
    EXPECT_EQ(nodes[0]->getWorldTransform()(3, 0), 1.0);
    EXPECT_EQ(nodes[0]->getWorldTransform()(3, 1), 2.0);

    EXPECT_EQ(cookAll(nodes, 0.25f), UT_ERROR_ABORT) << "bigger's world overflows";
    EXPECT_EQ(nodes[0]->getWorldTransform()(3, 1), 1.0) << "a new time cooks the channel again";
    EXPECT_EQ(nodes[3]->error(), UT_ERROR_ABORT);
    EXPECT_EQ(nodes[2]->error(), UT_ERROR_NONE);
    EXPECT_EQ(cookAll({}, 0.0f), UT_ERROR_NONE);
}

TEST_F(NullScene, DriverSweepNeedsADriver) {
    run(R"([{"op": "create", "type": "null", "name": "a"}])");
    OBJ_Node& a = asObject(scene.node("a"));
    const std::string message =
        failureOf([&] { sweepDriver(a, 0.0f, parseSweepRange("0:1:2")); }, kExitBadInput);
    EXPECT_NE(message.find("has no parameter \"driverval\""), std::string::npos) << message;
    const EvalReport once = evaluateAt(a, 0.0f);
    ASSERT_EQ(once.rows.size(), 1u);
    EXPECT_FALSE(once.rows[0].driver.has_value());
    EXPECT_TRUE(once.keys.empty());
}

} // namespace
} // namespace mhost
