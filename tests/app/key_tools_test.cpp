// The key tools against the module's own cooks: each tool's promise is
// checked on what the quenlo node cooks, over random keys.
#include "engine/evaluation.hpp"
#include "engine/key_tools.hpp"
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

namespace mhost {
namespace {

using test::TempDir;

class KeyTools : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_MODULE();
        host.loadModule(test::modulePath());
    }

    // A quenlo node with count keys besides key 0, random poses, ascending
    // driver values from 0 and random enables (key 0 always on).
    OBJ_Node& randomNode(Scene& scene, const std::string& name, int count, std::mt19937& random) {
        OP_Node& node = scene.create("quenlo", name);
        std::uniform_real_distribution<double> unit(-1.0, 1.0), positive(0.5, 2.0);
        KeySet set;
        set.interp = 0;
        double driver = 0.0;
        for (int k = 0; k <= count; ++k) {
            KeyRecord key;
            key.driver = driver;
            driver += positive(random);
            key.enable = k == 0 || random() % 5 != 0;
            for (int i = 0; i < 3; ++i) {
                key.translate[i] = 5 * unit(random);
                key.rotate[i] = 200 * unit(random); // past 180: angles are not wrapped
                key.scale[i] = positive(random);
                key.pivot[i] = unit(random);
            }
            key.uniformScale = positive(random);
            set.keys.push_back(key);
        }
        writeKeys(node, set);
        return asObject(node);
    }

    Matrix16 localAt(OBJ_Node& node, double driver) {
        return sweepParmValues(node, 0.0f, {driver}, "driverval").rows.front().local;
    }

    Host host;
};

// Matrices equal but for single-precision rounding (the node blends in
// floats).
::testing::AssertionResult closeMatrices(const Matrix16& a, const Matrix16& b) {
    for (std::size_t i = 0; i < 16; ++i) {
        const double scale = std::max({1.0, std::fabs(a[i]), std::fabs(b[i])});
        if (!(std::fabs(a[i] - b[i]) <= 2e-5 * scale))
            return ::testing::AssertionFailure()
                   << "entry " << i << ": " << a[i] << " against " << b[i];
    }
    return ::testing::AssertionSuccess();
}

// S * m * S, S the reflection across the plane normal to axis.
Matrix16 reflected(const Matrix16& m, int axis) {
    Matrix16 out = m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if ((r == axis) != (c == axis))
                out[r * 4 + c] = -out[r * 4 + c];
    return out;
}

TEST_F(KeyTools, AMirroredNodeCooksTheReflectionOfItsSourceInEveryOrderAndBlend) {
    std::mt19937 random(36);
    Scene scene(host);
    OBJ_Node& src = randomNode(scene, "arm_L", 4, random);
    OBJ_Node& dst = asObject(scene.create("quenlo", "arm_R"));
    const std::vector<double> drivers = {-1.0, 0.0, 0.3, 1.1, 2.0, 2.7, 3.9, 5.5, 9.0, 20.0};
    int checked = 0;
    for (int xOrd = 0; xOrd < 6; ++xOrd)
        for (int rOrd = 0; rOrd < 6; ++rOrd)
            for (const int interp : {0, 1})
                for (const bool ease : {false, true}) {
                    KeySet set = readKeys(src);
                    set.interp = interp;
                    set.ease = ease;
                    set.keys[0].transformOrder = xOrd;
                    set.keys[0].rotateOrder = rOrd;
                    writeKeys(src, set);
                    const int axis = (xOrd + rOrd) % 3;
                    mirrorKeys(src, dst, static_cast<MirrorAxis>(axis));
                    for (const double d : drivers) {
                        SCOPED_TRACE("orders " + std::to_string(xOrd) + "/" + std::to_string(rOrd) +
                                     ", interp " + std::to_string(interp) + (ease ? ", ease" : "") +
                                     ", axis " + std::to_string(axis) + ", driver " +
                                     std::to_string(d));
                        ASSERT_TRUE(
                            closeMatrices(localAt(dst, d), reflected(localAt(src, d), axis)));
                        ++checked;
                    }
                }
    EXPECT_EQ(checked, 36 * 2 * 2 * 10);
    // Mirrored twice across one plane, keys are what they were, bit for bit.
    const KeySet once = readKeys(dst);
    mirrorKeys(dst, dst, MirrorAxis::Y);
    mirrorKeys(dst, dst, MirrorAxis::Y);
    EXPECT_EQ(readKeys(dst).keys, once.keys);
}

TEST_F(KeyTools, MirroringByNamePairsEveryKeyedNodeOrChangesNothing) {
    std::mt19937 random(7);
    Scene scene(host);
    randomNode(scene, "arm_L", 2, random);
    randomNode(scene, "leg_L_lower", 3, random);
    scene.create("quenlo", "arm_R");
    scene.create("null", "hip_L"); // not keyed: not a source
    const std::string before = sceneText(scene);
    // leg_R_lower is missing: nothing is mirrored.
    EXPECT_THROW(mirrorKeysByName(scene, "_L", "_R", MirrorAxis::X), InputError);
    EXPECT_EQ(sceneText(scene), before);
    scene.create("quenlo", "leg_R_lower");
    const auto pairs = mirrorKeysByName(scene, "_L", "_R", MirrorAxis::X);
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[1], (std::pair<std::string, std::string>{"leg_L_lower", "leg_R_lower"}));
    EXPECT_EQ(readKeys(scene.node("leg_R_lower")).keys,
              mirroredKeys(readKeys(scene.node("leg_L_lower")), MirrorAxis::X).keys);
    EXPECT_THROW(mirrorKeysByName(scene, "_Q", "_R", MirrorAxis::X), InputError);
}

TEST_F(KeyTools, ACopyIsBitForBitAndAnInsertedKeyMovesNothing) {
    std::mt19937 random(11);
    Scene scene(host);
    OBJ_Node& src = randomNode(scene, "a", 3, random);
    OP_Node& dst = scene.create("quenlo", "b");
    copyKeys(src, dst);
    EXPECT_EQ(formatJson(keyLibrary(dst)), formatJson(keyLibrary(src)));

    // Euler angles without ease: the whole sweep stays.
    const std::vector<KeyMark> marks = readActiveKeys(src);
    const double last = marks.back().driver;
    std::uniform_real_distribution<double> inside(0.01, last + 1.0);
    std::vector<double> sweep;
    for (double d = -0.5; d <= last + 1.5; d += last / 37)
        sweep.push_back(d);
    for (int trial = 0; trial < 6; ++trial) {
        std::vector<Matrix16> before;
        for (const double d : sweep)
            before.push_back(localAt(src, d));
        const double at = inside(random);
        const std::size_t keysBefore = readKeys(src).keys.size();
        const int key = insertKey(src, at);
        EXPECT_EQ(readKeys(src).keys.size(), keysBefore + 1);
        EXPECT_EQ(readKeys(src).keys[static_cast<std::size_t>(key)].driver, at);
        for (std::size_t i = 0; i < sweep.size(); ++i)
            ASSERT_TRUE(closeMatrices(localAt(src, sweep[i]), before[i]))
                << "inserted at " << at << ", swept at " << sweep[i];
    }
    // Quaternions and ease: the pose at the key's driver stays.
    for (const int interp : {0, 1}) {
        KeySet set = readKeys(dst);
        set.interp = interp;
        set.ease = true;
        writeKeys(dst, set);
        const double at = 0.5 * (readActiveKeys(dst)[0].driver + readActiveKeys(dst)[1].driver);
        const Matrix16 before = localAt(asObject(dst), at);
        insertKey(asObject(dst), at);
        EXPECT_TRUE(closeMatrices(localAt(asObject(dst), at), before)) << "interp " << interp;
    }
    // Refused, changing nothing: at or below key 0, on a key, not a number.
    const std::string text = sceneText(scene);
    EXPECT_THROW(insertKey(src, readKeys(src).keys[0].driver), InputError);
    EXPECT_THROW(insertKey(src, -3.0), InputError);
    EXPECT_THROW(insertKey(src, readActiveKeys(src)[1].driver), InputError);
    EXPECT_THROW(insertKey(src, std::nan("")), InputError);
    EXPECT_EQ(sceneText(scene), text);
}

TEST_F(KeyTools, DeletingSortingAndRetimingKeepWhatTheyPromise) {
    std::mt19937 random(5);
    Scene scene(host);
    OBJ_Node& node = randomNode(scene, "q", 5, random);

    // Delete: the later keys move down with all they hold.
    const KeySet before = readKeys(node);
    deleteKey(node, 2);
    KeySet expected = before;
    expected.keys.erase(expected.keys.begin() + 2);
    EXPECT_EQ(readKeys(node).keys, expected.keys);
    const std::string text = sceneText(scene);
    EXPECT_THROW(deleteKey(node, 0), InputError);
    EXPECT_THROW(deleteKey(node, 5), InputError);
    EXPECT_THROW(deleteKey(node, -1), InputError);
    EXPECT_EQ(sceneText(scene), text);

    // Sort: keys out of order are put in order, ties in key order; a key
    // the scan could not reach before is reached after.
    KeySet shuffled = readKeys(node);
    shuffled.keys[1].driver = 5.0;
    shuffled.keys[2].driver = 2.0;
    shuffled.keys[3].driver = 5.0;
    shuffled.keys[4].driver = 1.0;
    for (KeyRecord& k : shuffled.keys)
        k.enable = true;
    writeKeys(node, shuffled);
    const Matrix16 key2Pose = [&] {
        KeySet alone = shuffled;
        alone.keys = {shuffled.keys[0], shuffled.keys[2]};
        alone.keys[1].driver = 2.0;
        OP_Node& probe = scene.create("quenlo", "probe");
        writeKeys(probe, alone);
        return localAt(asObject(probe), 2.0);
    }();
    EXPECT_FALSE(closeMatrices(localAt(node, 2.0), key2Pose)) << "key 2 reached before sorting";
    sortKeys(node);
    const KeySet sorted = readKeys(node);
    const std::vector<KeyRecord> order = {shuffled.keys[0], shuffled.keys[4], shuffled.keys[2],
                                          shuffled.keys[1], shuffled.keys[3]};
    EXPECT_EQ(sorted.keys, order);
    EXPECT_TRUE(closeMatrices(localAt(node, 2.0), key2Pose));

    // Retime: the pose at a * v + b after is the pose at v before.
    std::uniform_real_distribution<double> anywhere(-1.0, 7.0);
    std::vector<std::pair<double, Matrix16>> poses;
    for (int i = 0; i < 12; ++i) {
        const double v = anywhere(random);
        poses.emplace_back(v, localAt(node, v));
    }
    retimeKeys(node, 2.5, -1.25);
    for (const auto& [v, pose] : poses)
        EXPECT_TRUE(closeMatrices(localAt(node, 2.5 * v - 1.25), pose)) << "v " << v;
    EXPECT_THROW(retimeKeys(node, 0.0, 1.0), InputError);
    EXPECT_THROW(retimeKeys(node, -1.0, 1.0), InputError);
}

TEST_F(KeyTools, ALibraryRoundTripsBitForBitAndIsReadStrictly) {
    std::mt19937 random(3);
    Scene scene(host);
    OBJ_Node& node = randomNode(scene, "q", 3, random);
    KeySet odd = readKeys(node);
    odd.keys[2].translate[1] = std::nan("");
    odd.keys[1].rotate[0] = -0.0;
    odd.keys[3].pivot[2] = 0.1 + 0.2; // a double no float holds
    odd.interp = 1;
    odd.keys[0].rotateOrder = 4;
    writeKeys(node, odd);

    const Json library = keyLibrary(node);
    OP_Node& other = scene.create("quenlo", "other");
    writeKeys(other, keysFromLibrary(other, parseJson(formatJson(library), "lib"), "lib"));
    EXPECT_EQ(formatJson(keyLibrary(other)), formatJson(library));
    const KeySet a = readKeys(node), b = readKeys(other);
    ASSERT_EQ(a.keys.size(), b.keys.size());
    EXPECT_EQ(std::memcmp(&a.keys[3].pivot, &b.keys[3].pivot, sizeof(double) * 3), 0);
    EXPECT_TRUE(std::signbit(b.keys[1].rotate[0]));
    EXPECT_TRUE(std::isnan(b.keys[2].translate[1]));
    EXPECT_EQ(library["keys"][0]["rotateOrder"], "zxy");

    // Strict: each fault named at its place.
    const auto refusal = [&](const std::function<void(Json&)>& spoil) {
        Json bad = library;
        spoil(bad);
        try {
            keysFromLibrary(other, bad, "lib.json");
        } catch (const Failure& e) {
            EXPECT_EQ(e.code(), kExitBadInput) << e.what();
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(refusal([](Json& j) {
                  j["keys"][1]["colour"] = 1;
              }).find("lib.json: keys[1]: unknown field \"colour\""),
              std::string::npos)
        << refusal([](Json& j) { j["keys"][1]["colour"] = 1; });
    EXPECT_NE(refusal([](Json& j) { j["keys"][2]["rotateOrder"] = "xyy"; }).find("keys[2]"),
              std::string::npos);
    EXPECT_NE(refusal([](Json& j) { j["keys"][2]["rotateOrder"] = "xyy"; }).find("\"xyy\""),
              std::string::npos);
    EXPECT_NE(refusal([](Json& j) {
                  j["keys"][0]["scale"] = {1, 2};
              }).find("keys[0]"),
              std::string::npos);
    EXPECT_NE(refusal([](Json& j) { j["keys"][0]["enable"] = false; }).find("key 0"),
              std::string::npos);
    EXPECT_NE(refusal([](Json& j) { j["format"] = "mhost-scene"; }).find("lib.json"),
              std::string::npos);
    EXPECT_NE(refusal([](Json& j) { j["interp"] = 1; }).find("\"interp\""), std::string::npos);
    EXPECT_NE(refusal([](Json& j) { j["keys"][1]["driver"] = "0.5"; }).find("keys[1]"),
              std::string::npos);
}

TEST_F(KeyTools, EveryToolRefusesANodeThatIsMissingOrNotKeyedAndChangesNothing) {
    Scene scene(host);
    scene.create("null", "plain");
    scene.create("quenlo", "q");
    const std::string before = sceneText(scene);
    const std::vector<std::string> scripts = {
        R"([{"op": "mirror-keys", "node": "q", "to": "plain"}])",
        R"([{"op": "mirror-keys", "node": "q", "to": "nowhere"}])",
        R"([{"op": "copy-keys", "node": "plain", "to": "q"}])",
        R"([{"op": "insert-key", "node": "plain", "driver": 1}])",
        R"([{"op": "delete-key", "node": "q", "key": 0}])",
        R"([{"op": "delete-key", "node": "q", "key": 2}])",
        R"([{"op": "sort-keys", "node": "nowhere"}])",
        R"([{"op": "retime-keys", "node": "q", "scale": 0}])",
        R"([{"op": "set-keys", "node": "q", "keys": {"format": "mhost-keys"}}])",
    };
    for (const std::string& script : scripts) {
        std::ostringstream out;
        EXPECT_THROW(runScript(scene, parseScript(parseJson(script, "s"), "s"), "s", out), Failure)
            << script;
        EXPECT_EQ(sceneText(scene), before) << script;
    }
    // Malformed fields are refused before anything runs.
    for (const char* script : {R"([{"op": "mirror-keys", "to": "q"}])",
                               R"([{"op": "mirror-keys", "node": "q", "names": "_L", "to": "q"}])",
                               R"([{"op": "mirror-keys", "node": "q", "to": "q", "axis": "w"}])",
                               R"([{"op": "insert-key", "node": "q"}])"}) {
        try {
            parseScript(parseJson(script, "s"), "s");
            ADD_FAILURE() << "accepted: " << script;
        } catch (const Failure& e) {
            EXPECT_EQ(e.code(), kExitBadInput) << script;
        }
    }
}

TEST_F(KeyTools, TheKeysCommandExportsAndImportsThroughFiles) {
    const TempDir dir;
    std::mt19937 random(9);
    Scene scene(host);
    randomNode(scene, "q", 2, random);
    scene.create("quenlo", "r");
    saveScene(scene, dir.file("scene.json"));
    const auto run = [&](const std::vector<std::string>& args) {
        return test::runMhost(args, dir.path().string());
    };
    test::RunResult r = run({"keys", "scene.json", "q", "--export", "q.keys.json"});
    ASSERT_EQ(r.status, 0) << test::describe(r);
    r = run({"keys", "scene.json", "r", "--import", "q.keys.json", "--save", "out.json"});
    ASSERT_EQ(r.status, 0) << test::describe(r);
    r = run({"keys", "out.json", "r", "--export", "r.keys.json"});
    ASSERT_EQ(r.status, 0) << test::describe(r);
    EXPECT_EQ(test::readFile(dir.file("r.keys.json")), test::readFile(dir.file("q.keys.json")));
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"keys", "scene.json", "q"},
          {"keys", "scene.json", "q", "--import", "q.keys.json"},
          {"keys", "scene.json", "nowhere", "--export", "x.json"},
          {"keys", "scene.json", "q", "--export", "x.json", "--save", "y.json"}}) {
        r = run(bad);
        EXPECT_EQ(r.status, kExitBadInput) << test::describe(r);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.json")));
}

} // namespace
} // namespace mhost
