// Time in a scene: its frame range and rate, saved with it only when set,
// and keyframes set and removed at a time, as the editor's timeline makes
// them.
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "test_support.hpp"

#include <OBJ/OBJ_Node.h>
#include <gtest/gtest.h>

#include <sstream>

namespace mhost {
namespace {

void run(Scene& scene, const std::string& actions) {
    std::ostringstream reports;
    runScript(scene, parseScript(parseJson(actions, "test"), "test"), "test", reports);
}

std::string failureOf(Scene& scene, const std::string& actions) {
    try {
        run(scene, actions);
    } catch (const Failure& e) {
        EXPECT_EQ(e.code(), kExitBadInput) << e.what();
        return e.what();
    }
    ADD_FAILURE() << "the actions went through: " << actions;
    return {};
}

TEST(Timeline, ASceneSavesItsRangeAndRateOnlyOnceSetAndReadsThemBack) {
    Host host;
    Scene scene(host);
    scene.create("null", "a");
    const std::string before = sceneText(scene);
    EXPECT_EQ(before.find("timeline"), std::string::npos) << "an unset timeline is not saved";
    EXPECT_EQ(scene.timeline(), (Timeline{1, 240, 24.0}));

    run(scene, R"([{"op": "timeline", "start": 101, "end": 148, "fps": 23.976}])");
    const std::string text = sceneText(scene);
    EXPECT_EQ(parseJson(text, "saved")["timeline"],
              parseJson(R"({"start": 101, "end": 148, "fps": 23.976})", "expected"))
        << text;
    Scene again(host);
    sceneFromText(again, text, "saved");
    EXPECT_EQ(again.timeline(), (Timeline{101, 148, 23.976}));
    EXPECT_EQ(sceneText(again), text) << "save, load and save give the same bytes";
    // Frame 1 is time 0, whatever the range.
    EXPECT_EQ(again.timeline().time(1), 0.0f);
    EXPECT_EQ(again.timeline().time(101), static_cast<float>(100 / 23.976));

    for (const auto& [bad, says] : std::vector<std::pair<const char*, const char*>>{
             {R"({"start": 10, "end": 5, "fps": 24})", "must not come before its first"},
             {R"({"start": 1.5, "end": 5, "fps": 24})", "must be whole numbers"},
             {R"({"start": 1, "end": 5, "fps": 0})", "frames per second"},
             {R"({"start": 1, "end": 5})", "\"fps\""},
             {R"({"start": 1, "end": 5, "fps": 24, "step": 2})", "step"}}) {
        SCOPED_TRACE(bad);
        const std::string scene = R"({"format": "mhost-scene", "version": 1, "modules": [],
            "timeline": )" + std::string(bad) +
                                  R"(, "nodes": []})";
        Scene read(host);
        try {
            sceneFromText(read, scene, "bad.json");
            ADD_FAILURE() << "a bad timeline was read";
        } catch (const Failure& e) {
            EXPECT_EQ(e.code(), kExitBadInput);
            EXPECT_NE(std::string(e.what()).find("bad.json: \"timeline\": "), std::string::npos)
                << e.what();
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    }
}

TEST(Timeline, KeyAndUnkeyMakeAndRemoveKeyframesAtATime) {
    Host host;
    Scene scene(host);
    scene.create("null", "a");
    run(scene, R"([{"op": "set", "node": "a", "parm": "t", "value": [1, 2, 3]},
                   {"op": "key", "node": "a", "parm": "t", "time": 0.5},
                   {"op": "set", "node": "a", "parm": "t", "value": [4, 5, 6], "time": 1}])");
    OP_Node& a = scene.node("a");
    // Keyed, a set at another time adds a key there (as hosts do).
    EXPECT_EQ(a.evalFloat("t", 0, 0.5f), 1.0);
    EXPECT_EQ(a.evalFloat("t", 0, 1.0f), 4.0);
    EXPECT_EQ(a.evalFloat("t", 2, 0.75f), 4.5);
    run(scene, R"([{"op": "key", "node": "a", "parm": "s", "component": 1, "time": 2}])");
    EXPECT_TRUE(a.findParm("s")->component(1).isAnimated());
    EXPECT_FALSE(a.findParm("s")->component(0).isAnimated()) << "one component asked for";

    run(scene, R"([{"op": "unkey", "node": "a", "parm": "t", "time": 1}])");
    EXPECT_EQ(a.evalFloat("t", 0, 1.0f), 1.0) << "the key at 1 is gone";
    run(scene, R"([{"op": "unkey", "node": "a", "parm": "t", "time": 0.5}])");
    EXPECT_FALSE(a.findParm("t")->component(0).isAnimated());
    EXPECT_EQ(a.evalFloat("t", 2, 7.0f), 3.0) << "the last key's value stays";
    EXPECT_NE(failureOf(scene, R"([{"op": "unkey", "node": "a", "parm": "t", "time": 3}])")
                  .find("parameter \"t\" of node \"a\" (null) has no keyframe at time 3"),
              std::string::npos);
    EXPECT_NE(failureOf(scene, R"([{"op": "key", "node": "a", "parm": "t", "component": 3}])")
                  .find("has no component 3"),
              std::string::npos);
}

} // namespace
} // namespace mhost
