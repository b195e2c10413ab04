// mhost bake --out NAME.usda: prim names, time codes, and the layer read
// back by a small reader of the layout the writer makes, against the bake's
// own matrices. tests/usd/ checks the same files with an independent USD
// reader (tinyusdz).
#include "engine/bake.hpp"
#include "engine/bake_plan.hpp"
#include "engine/script.hpp"
#include "output/bake_files.hpp"
#include "output/usd_export.hpp"
#include "support/errors.hpp"
#include "test_support.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

namespace mhost {
namespace {

using test::describe;
using test::readFile;
using test::runMhost;
using test::RunResult;
using test::TempDir;

// --- A reader of the layout UsdBakeWriter writes ---------------------------------

struct UsdPrim {
    std::string name;     // the prim's
    std::string hostName; // customData's mhostName
    int parent = -1;      // index of the enclosing prim, -1 for "bake"
    std::optional<std::array<double, 16>> value;
    std::vector<double> codes;
    std::vector<std::array<double, 16>> samples;
};

struct UsdLayer {
    std::map<std::string, std::string> metadata; // as written
    std::vector<UsdPrim> prims;                  // in the file's order
};

std::string unescape(std::string_view quoted) {
    EXPECT_TRUE(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"') << quoted;
    std::string out;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] != '\\') {
            out += quoted[i];
            continue;
        }
        const char c = quoted[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else if (c == 't')
            out += '\t';
        else if (c == 'x') {
            out += static_cast<char>(std::stoi(std::string(quoted.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// The numbers of "( (a, b, c, d), ... )", each read back exactly.
std::array<double, 16> matrixOf(std::string_view text) {
    std::string plain(text);
    for (char& c : plain)
        if (c == '(' || c == ')' || c == ',')
            c = ' ';
    std::istringstream in(plain);
    std::array<double, 16> m{};
    std::string word;
    std::size_t count = 0;
    while (in >> word) {
        if (count < 16)
            m[count] = std::stod(word);
        ++count;
    }
    EXPECT_EQ(count, 16u) << text;
    return m;
}

UsdLayer readLayer(const std::string& text) {
    UsdLayer layer;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "#usda 1.0");
    std::vector<int> open;          // prims enclosing the line; -2 for other blocks
    std::optional<UsdPrim> pending; // after "def", until its "{"
    bool inMetadata = false, inSamples = false;
    while (std::getline(in, line)) {
        const std::string_view s =
            std::string_view(line).substr(std::min(line.find_first_not_of(' '), line.size()));
        if (s == "(" && open.empty() && !pending) {
            inMetadata = true;
        } else if (inMetadata && s == ")") {
            inMetadata = false;
        } else if (inMetadata) {
            const std::size_t eq = s.find(" = ");
            layer.metadata[std::string(s.substr(0, eq))] = std::string(s.substr(eq + 3));
        } else if (s.starts_with("def Xform \"")) {
            pending = UsdPrim{};
            const std::size_t end = s.find('"', 11);
            pending->name = std::string(s.substr(11, end - 11));
            pending->parent = open.empty() ? -2 : open.back();
        } else if (s.starts_with("string mhostName = ")) {
            pending->hostName = unescape(s.substr(19));
        } else if (s == "{" && pending) {
            if (pending->parent == -2) { // the root prim, "bake"
                EXPECT_EQ(pending->name, "bake");
                open.push_back(-1);
            } else {
                layer.prims.push_back(*pending);
                open.push_back(static_cast<int>(layer.prims.size()) - 1);
            }
            pending.reset();
        } else if (s.ends_with("{")) {
            inSamples = s == "matrix4d xformOp:transform.timeSamples = {";
            open.push_back(-2);
        } else if (s == "}") {
            inSamples = false;
            open.pop_back();
        } else if (inSamples) {
            const std::size_t colon = s.find(':');
            layer.prims.at(static_cast<std::size_t>(open.at(open.size() - 2)))
                .codes.push_back(std::stod(std::string(s.substr(0, colon))));
            layer.prims.back().samples.push_back(matrixOf(s.substr(colon + 1)));
        } else if (s.starts_with("matrix4d xformOp:transform = ")) {
            layer.prims.at(static_cast<std::size_t>(open.back())).value = matrixOf(s.substr(29));
        }
    }
    EXPECT_TRUE(open.empty()) << "blocks left open";
    return layer;
}

// --- Prim names and time codes ---------------------------------------------------------

TEST(UsdPrimNames, IdentifiersAreKeptAndOthersMadeValidAndUniqueAmongSiblings) {
    const std::vector<std::string> names = {"arm", "left arm", "1st",   "é-bone", "arm.L",
                                            "a b", "a_b",      "a.b",   "a_b_2",  "left arm2",
                                            "x y", "x.y",      "_ok_9", ""};
    // a b, a_b, a.b and a_b_2 are siblings under "arm"; "x y" and "x.y" are
    // each alone under a parent of their own.
    const std::vector<int> parents = {-1, -1, -1, -1, -1, 0, 0, 0, 0, -1, 1, 2, 0, 0};
    const std::vector<std::string> prims = usdPrimNames(names, parents);
    const std::vector<std::string> expected = {"arm",   "left_arm", "_1st",  "__bone", "arm_L",
                                               "a_b_3", "a_b",      "a_b_4", "a_b_2",  "left_arm2",
                                               "x_y",   "x_y",      "_ok_9", "_"};
    EXPECT_EQ(prims, expected);
}

TEST(UsdTimeCodes, AreFramesOfTheSweepThatGiveBackEachSampleTime) {
    struct Case {
        SweepRange sweep;
        std::optional<std::pair<long long, long long>> frames;
        double perSecond, first;
    };
    const std::vector<Case> cases = {
        {{0, 10, 240}, {}, 24, 0},
        {{0, 10, 240}, std::pair{120LL, 240LL}, 24, 120},
        {{0.5, 2.5, 48}, {}, 24, 12},
        {{0.1, 1.1, 24}, std::pair{3LL, 7LL}, 24, 0.1 * 24 + 3}, // 1.1 - 0.1 is not 1
        {{-1, 1, 60}, {}, 30, -30},
        {{0, 1, 7}, {}, 7, 0},
        {{0, 10, 7}, {}, 0.7, 0},
    };
    for (const Case& c : cases) {
        BakeRequest request;
        request.times = c.sweep;
        request.frames = c.frames;
        BakeResult bake;
        setSamples(bake, request);
        const UsdTimeCodes codes = usdTimeCodes(bake, "x.usda");
        EXPECT_EQ(codes.perSecond, c.perSecond) << c.sweep.from << ":" << c.sweep.to;
        EXPECT_DOUBLE_EQ(codes.first, c.first) << c.sweep.from << ":" << c.sweep.to;
        for (std::size_t f = 0; f < bake.frames(); ++f)
            EXPECT_EQ(static_cast<float>((codes.first + static_cast<double>(f)) / codes.perSecond),
                      static_cast<float>(bake.times[f]))
                << c.sweep.from << ":" << c.sweep.to << " sample " << f;
    }
    for (const SweepRange& wrong : {SweepRange{2, 0, 4}, SweepRange{1, 1, 4}}) {
        BakeRequest request;
        request.times = wrong;
        BakeResult bake;
        setSamples(bake, request);
        try {
            usdTimeCodes(bake, "x.usda");
            ADD_FAILURE() << "times " << wrong.from << ":" << wrong.to << " were taken";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find("times that increase"), std::string::npos)
                << e.what();
        }
    }
}

// --- Layers of bakes ------------------------------------------------------------------

// A bake of null objects: a parent chain whose names are no identifiers, a
// node that does not move, and one whose numbers need every digit.
class UsdBake : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string script = R"([
            {"op": "create", "type": "null", "name": "base"},
            {"op": "create", "type": "null", "name": "left arm"},
            {"op": "create", "type": "null", "name": "1st \"finger\""},
            {"op": "create", "type": "null", "name": "still"},
            {"op": "create", "type": "null", "name": "left.arm"},
            {"op": "create", "type": "null", "name": "loose"},
            {"op": "wire", "node": "left arm", "input": 0, "from": "base"},
            {"op": "wire", "node": "left.arm", "input": 0, "from": "base"},
            {"op": "wire", "node": "1st \"finger\"", "input": 0, "from": "left arm"},
            {"op": "wire", "node": "still", "input": 0, "from": "left arm"},
            {"op": "set", "node": "still", "parm": "t", "value": [0.1, 0.2, 0.3]},
            {"op": "keyframes", "node": "base", "parm": "t", "component": 0,
             "keys": [[0, 0], [2, 4]]},
            {"op": "keyframes", "node": "base", "parm": "r", "component": 1,
             "keys": [[0, 0], [2, 90]]},
            {"op": "keyframes", "node": "left arm", "parm": "r", "component": 2,
             "keys": [[0, 0], [2, 1.0000000000000002]]},
            {"op": "keyframes", "node": "1st \"finger\"", "parm": "s", "component": 0,
             "keys": [[0, 1], [2, 3.3]]},
            {"op": "keyframes", "node": "loose", "parm": "t", "component": 1,
             "keys": [[0, 0.1], [2, 0.7]]},
            {"op": "keyframes", "node": "left.arm", "parm": "t", "component": 2,
             "keys": [[0, -1], [2, 1]]}
        ])";
        std::ostringstream out;
        runScript(scene, parseScript(parseJson(script, "script"), "script"), "script", out);
        request.times = SweepRange{0, 2, 16};
        request.workers = 1;
    }

    std::string write(const BakeResult& bake, const std::string& name,
                      const std::vector<std::pair<std::size_t, std::size_t>>& columns = {}) {
        const std::string path = dir.file(name);
        UsdBakeWriter writer(path, {"rig.json", "mhost bake rig.json"});
        for (const auto& [first, end] : columns)
            writer.columnsReady(bake, first, end);
        writer.finish(bake);
        return readFile(path);
    }

    Host host;
    Scene scene{host};
    BakeRequest request;
    TempDir dir;
};

TEST_F(UsdBake, PrimsNestAsWiredAndHoldEachLocalMatrixBitForBit) {
    const BakeResult bake = bakeScene(scene, request);
    const UsdLayer layer = readLayer(write(bake, "rig.usda"));

    EXPECT_EQ(layer.metadata.at("defaultPrim"), "\"bake\"");
    EXPECT_EQ(layer.metadata.at("startTimeCode"), "0");
    EXPECT_EQ(layer.metadata.at("endTimeCode"), "16");
    EXPECT_EQ(layer.metadata.at("timeCodesPerSecond"), "8");
    EXPECT_EQ(layer.metadata.at("framesPerSecond"), "8");
    EXPECT_EQ(layer.metadata.at("upAxis"), "\"Y\"");
    EXPECT_EQ(layer.metadata.at("metersPerUnit"), "1");
    EXPECT_EQ(unescape(layer.metadata.at("doc")).rfind("Baked from rig.json by mhost ", 0), 0u);

    // Depth first, children in the scene's order.
    const std::vector<std::tuple<std::string, std::string, int>> tree = {
        {"base", "base", -1},
        {"left_arm", "left arm", 0},
        {"_1st__finger_", "1st \"finger\"", 1},
        {"still", "still", 1},
        {"left_arm_2", "left.arm", 0},
        {"loose", "loose", -1}};
    ASSERT_EQ(layer.prims.size(), tree.size());
    for (std::size_t p = 0; p < tree.size(); ++p) {
        const UsdPrim& prim = layer.prims[p];
        EXPECT_EQ(prim.name, std::get<0>(tree[p]));
        EXPECT_EQ(prim.hostName, std::get<1>(tree[p]));
        EXPECT_EQ(prim.parent, std::get<2>(tree[p])) << prim.name;

        const auto node = static_cast<std::size_t>(
            std::find(bake.names.begin(), bake.names.end(), prim.hostName) - bake.names.begin());
        ASSERT_LT(node, bake.names.size());
        if (prim.hostName == "still") {
            ASSERT_TRUE(prim.value) << "a node that does not move has a default value";
            EXPECT_TRUE(prim.samples.empty());
            EXPECT_EQ(std::memcmp(prim.value->data(), bake.localAt(0, node), 128), 0);
            EXPECT_EQ((*prim.value)[12], 0.1);
            continue;
        }
        EXPECT_FALSE(prim.value) << prim.name;
        ASSERT_EQ(prim.samples.size(), bake.frames()) << prim.name;
        for (std::size_t f = 0; f < bake.frames(); ++f) {
            EXPECT_EQ(prim.codes[f], static_cast<double>(f));
            EXPECT_EQ(std::memcmp(prim.samples[f].data(), bake.localAt(f, node), 128), 0)
                << prim.name << " at sample " << f;
        }
    }
}

TEST_F(UsdBake, ColumnsHandedOnInAnyOrderGiveTheBytesOfAWholeWrite) {
    const BakeResult bake = bakeScene(scene, request);
    const std::string whole = write(bake, "whole.usda");
    // Nodes, in the scene's order: base, left arm, 1st "finger", still,
    // left.arm, loose. Trees: base's (columns 0-4) and loose's (5).
    const std::vector<std::vector<std::pair<std::size_t, std::size_t>>> orders = {
        {{5, 6}, {0, 5}},
        {{0, 2}, {5, 6}, {3, 5}, {2, 3}},
        {{0, 6}},
        {{4, 6}, {0, 1}},
    };
    for (std::size_t o = 0; o < orders.size(); ++o)
        EXPECT_EQ(write(bake, "part" + std::to_string(o) + ".usda", orders[o]), whole)
            << "order " << o;
}

TEST_F(UsdBake, TheBakeWriterTakesUsdByItsExtensionAndNothingUnknown) {
    const BakeResult bake = bakeScene(scene, request);
    BakeWriter writer(dir.file("w.usda"), {"rig.json", "mhost bake rig.json"});
    BakeRequest fed;
    fed.keepLocal = false;
    writer.feedFrom(fed);
    EXPECT_TRUE(fed.keepLocal);
    writer.finish(bake);
    EXPECT_EQ(readFile(dir.file("w.usda")), write(bake, "direct.usda"));

    try {
        BakeWriter other(dir.file("w.usd"));
        ADD_FAILURE() << ".usd was taken";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find(".npy, .glb, .gltf or .usda"), std::string::npos);
    }
}

// --- The command ------------------------------------------------------------------

// A scene file of `groups` chains of three nulls, each animated.
std::string chainsScene(const TempDir& dir, int groups) {
    Json script = Json::array();
    for (int g = 0; g < groups; ++g) {
        for (int i = 0; i < 3; ++i) {
            const std::string name = "n" + std::to_string(g) + "-" + std::to_string(i);
            script.push_back({{"op", "create"}, {"type", "null"}, {"name", name}});
            if (i > 0)
                script.push_back({{"op", "wire"},
                                  {"node", name},
                                  {"input", 0},
                                  {"from", "n" + std::to_string(g) + "-" + std::to_string(i - 1)}});
            script.push_back({{"op", "keyframes"},
                              {"node", name},
                              {"parm", "r"},
                              {"component", i},
                              {"keys", {{0, 0.1 * g}, {1, 30 + i}}}});
        }
    }
    const std::string scriptPath = dir.write("chains-script.json", script.dump());
    const RunResult made = runMhost({"run", scriptPath, "--save", "chains.json"}, dir.path());
    EXPECT_EQ(made.status, 0) << describe(made);
    return dir.file("chains.json");
}

// A prim's matrix at sample f: its default value, or its sample.
const std::array<double, 16>& matrixAt(const UsdPrim& prim, std::size_t f) {
    return prim.value ? *prim.value : prim.samples.at(f);
}

TEST(UsdBakeCommand, ThreadsGiveTheSameBytesAndSharesTheirFramesOfTheWhole) {
    const TempDir dir;
    // Enough groups to be shared out in several parts of nodes.
    const std::string scene = chainsScene(dir, 400);
    // In a folder of its own, so that the doc, which names the file, is the
    // same for each --threads.
    const auto bake = [&](const std::string& folder, std::vector<std::string> more) {
        std::filesystem::create_directory(dir.path() / folder);
        std::vector<std::string> args = {"bake", scene, "--time", "0:1:12", "--out", "bake.usda"};
        args.insert(args.end(), more.begin(), more.end());
        const RunResult r = runMhost(args, (dir.path() / folder).string());
        EXPECT_EQ(r.status, 0) << describe(r);
        return readFile((dir.path() / folder / "bake.usda").string());
    };
    const std::string one = bake("one", {"--threads", "1"});
    EXPECT_TRUE(bake("two", {"--threads", "2"}) == one) << "--threads 2 wrote other bytes";

    const UsdLayer whole = readLayer(one);
    ASSERT_EQ(whole.prims.size(), 1200u);
    const UsdLayer share = readLayer(bake("share", {"--frames", "5:9", "--threads", "2"}));
    EXPECT_EQ(share.metadata.at("startTimeCode"), "5");
    EXPECT_EQ(share.metadata.at("endTimeCode"), "9");
    EXPECT_NE(share.metadata.at("doc").find("--frames 5:9 --out bake.usda"), std::string::npos);
    EXPECT_EQ(share.metadata.at("doc").find("--threads"), std::string::npos);
    ASSERT_EQ(share.prims.size(), whole.prims.size());
    std::size_t stillInShare = 0;
    for (std::size_t p = 0; p < share.prims.size(); ++p) {
        const UsdPrim& part = share.prims[p];
        ASSERT_EQ(part.hostName, whole.prims[p].hostName);
        if (part.value) {
            ++stillInShare;
        } else {
            ASSERT_EQ(part.samples.size(), 5u) << part.name;
        }
        for (std::size_t f = 0; f < 5; ++f) {
            if (!part.value) {
                EXPECT_EQ(part.codes[f], whole.prims[p].codes.at(5 + f));
            }
            EXPECT_EQ(matrixAt(part, f), matrixAt(whole.prims[p], 5 + f)) << part.name;
        }
    }
    // n300-0, n310-1 and n320-2 are keyed from 30, 31 and 32 degrees to the
    // same: they do not move, and have default values.
    EXPECT_EQ(stillInShare, 3u);

    // --nodes: the chosen node and those it reads, still nested.
    const UsdLayer chosen = readLayer(bake("chosen", {"--nodes", "n7-2"}));
    ASSERT_EQ(chosen.prims.size(), 3u);
    EXPECT_EQ(chosen.prims[2].name, "n7_2");
    EXPECT_EQ(chosen.prims[2].parent, 1);
    EXPECT_EQ(chosen.prims[1].parent, 0);
}

TEST(UsdBakeCommand, BadTargetsAndTimesExitTwoAndWriteNothing) {
    const TempDir dir;
    const std::string scene = chainsScene(dir, 2);
    std::filesystem::create_directory(dir.path() / "folder.usda");
    const std::vector<std::string> before = dir.entries();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--time", "0:1:4", "--out", "folder.usda"}, "folder.usda: a folder"},
        {{"--time", "0:1:4", "--out", "chains.json/x.usda"}, "chains.json/x.usda: cannot write"},
        {{"--time", "1:0:4", "--out", "back.usda"},
         "\"back.usda\": a USD layer needs times "
         "that increase from sample to sample"},
        {{"--time", "1:1:4", "--out", "flat.usda", "--threads", "2"}, "times that increase"},
        {{"--time", "0:1:4", "--out", "x.usd"}, "must end in .npy, .glb, .gltf or .usda"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> all = {"bake", scene};
        all.insert(all.end(), args.begin(), args.end());
        const RunResult r = runMhost(all, dir.path().string());
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_NE(r.err.find(message), std::string::npos) << describe(r);
        EXPECT_EQ(dir.entries(), before) << describe(r);
    }
}

} // namespace
} // namespace mhost
