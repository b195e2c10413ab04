// What a first-time user meets: scripts from standard input, menu items by
// name, messages that say what to do next, warnings that reach the terminal,
// and one type's interface at a time.
#include "support/text.hpp"
#include "test_support.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

namespace mhost {
namespace {

using test::describe;
using test::jsonLines;
using test::readFile;
using test::runMhost;
using test::RunResult;
using test::TempDir;

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(FirstUse, RunReadsTheScriptFromStandardInputWhenNamedDash) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string script =
        dir.write("piped.json", R"([{"op": "create", "type": "quenlo", "name": "q"},
                                    {"op": "eval", "node": "q"}])");
    const RunResult r = runMhost({"run", "-"}, dir.path(), MHOST_DSO_DIR, {}, script);
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(jsonLines(r.out).size(), 1u) << r.out;

    // Errors name standard input as "-".
    const std::string broken = dir.write("broken.json", "[{\"op\": \"frobnicate\"}]");
    const RunResult bad = runMhost({"run", "-"}, dir.path(), MHOST_DSO_DIR, {}, broken);
    EXPECT_EQ(bad.status, 2) << describe(bad);
    EXPECT_EQ(bad.err.rfind("mhost: -: actions[0]", 0), 0u) << bad.err;
}

TEST(FirstUse, MenuParametersTakeTheirItemTokensInScriptsAndScenes) {
    REQUIRE_MODULE();
    const TempDir dir;
    const auto saveWith = [&](const std::string& name, const std::string& interp) {
        const std::string script = dir.write(name + ".script.json", R"([
            {"op": "create", "type": "quenlo", "name": "q"},
            {"op": "set", "node": "q", "parm": "interp", "value": )" + interp +
                                                                        R"(},
            {"op": "save", "path": ")" + name + R"(.json"}])");
        const RunResult r = runMhost({"run", script}, dir.path());
        EXPECT_EQ(r.status, 0) << describe(r);
        return readFile(dir.file(name + ".json"));
    };
    // The token and the index make the same scene.
    const std::string byToken = saveWith("token", "\"quat\"");
    EXPECT_EQ(byToken, saveWith("index", "1"));
    EXPECT_NE(byToken.find("\"interp\": 1"), std::string::npos) << byToken;

    // A scene may name the item too.
    std::string scene = byToken;
    scene.replace(scene.find("\"interp\": 1"), 11, "\"interp\": \"quat\"");
    const RunResult loaded =
        runMhost({"eval", dir.write("named.json", scene), "q", "--format", "json"}, dir.path());
    ASSERT_EQ(loaded.status, 0) << describe(loaded);
    EXPECT_EQ(parseJson(loaded.out, "stdout")["interp"], "quat") << loaded.out;

    // A value that is not an item lists the items with their indices.
    const RunResult bad =
        runMhost({"run", dir.write("bad.json", R"([{"op": "create", "type": "quenlo", "name": "q"},
            {"op": "set", "node": "q", "parm": "interp", "value": "quaternion"}])")},
                 dir.path());
    EXPECT_EQ(bad.status, 2) << describe(bad);
    EXPECT_NE(bad.err.find("has no menu item \"quaternion\" (items: \"euler\" (0), \"quat\" (1))"),
              std::string::npos)
        << bad.err;
    scene.replace(scene.find("\"interp\": \"quat\""), 16, "\"interp\": \"slerp\"");
    const RunResult badScene =
        runMhost({"eval", dir.write("bad.scene.json", scene), "q"}, dir.path());
    EXPECT_EQ(badScene.status, 2) << describe(badScene);
    EXPECT_NE(badScene.err.find("bad.scene.json:"), std::string::npos) << badScene.err;
    EXPECT_NE(badScene.err.find("\"slerp\""), std::string::npos) << badScene.err;
}

TEST(FirstUse, MessagesSayWhatToDoNext) {
    REQUIRE_MODULE();
    const TempDir dir;
    const struct {
        const char* what;
        const char* script;
        const char* expected;
    } cases[] = {
        {"a key beyond the count",
         R"([{"op": "create", "type": "quenlo", "name": "q"},
             {"op": "press", "node": "q", "parm": "getkey2"}])",
         "has no parameter \"getkey2\" yet: it is instance 2 of the list \"numkeys\", which holds "
         "1 (set \"numkeys\" to 2 or more first)"},
        {"a misspelt field", R"([{"op": "create", "typ": "quenlo", "name": "q"}])",
         "actions[0] (create): unknown field \"typ\" (did you mean \"type\"?)"},
        {"a misspelt optional field",
         R"([{"op": "create", "type": "quenlo", "name": "q"},
             {"op": "eval", "node": "q", "tme": 1}])",
         "actions[1] (eval): unknown field \"tme\" (did you mean \"time\"?)"},
        {"a misspelt parameter",
         R"([{"op": "create", "type": "quenlo", "name": "q"},
             {"op": "set", "node": "q", "parm": "drivervel", "value": 1}])",
         "(did you mean \"driverval\"?)"},
        {"a misspelt type", R"([{"op": "create", "type": "quenla", "name": "q"}])",
         "(did you mean \"quenlo\"?)"},
    };
    for (const auto& c : cases) {
        const RunResult r = runMhost({"run", dir.write("script.json", c.script)}, dir.path());
        EXPECT_EQ(r.status, 2) << c.what << "\n" << describe(r);
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.what << "\n" << r.err;
    }
    // A word far from every field gets no guess.
    const RunResult far = runMhost(
        {"run", dir.write("far.json",
                          R"([{"op": "create", "type": "quenlo", "name": "q", "zzzzzz": 1}])")},
        dir.path());
    EXPECT_EQ(far.status, 2) << describe(far);
    EXPECT_NE(far.err.find("unknown field \"zzzzzz\"\n"), std::string::npos) << far.err;
}

TEST(FirstUse, WarningsReachStandardError) {
    REQUIRE_MODULE();
    const TempDir dir;
    // Get key with nothing wired into input 1: the report line and the terminal.
    const RunResult press = runMhost(
        {"run", dir.write("press.json", R"([{"op": "create", "type": "quenlo", "name": "q"},
                                            {"op": "press", "node": "q", "parm": "getkey0"}])")},
        dir.path());
    ASSERT_EQ(press.status, 0) << describe(press);
    const auto lines = jsonLines(press.out);
    ASSERT_EQ(lines.size(), 1u) << press.out;
    EXPECT_EQ(lines[0]["warnings"][0]["message"], "Key dummy is not connected");
    EXPECT_NE(press.err.find("mhost: warning: "), std::string::npos) << press.err;
    EXPECT_NE(press.err.find("actions[1] (press): node \"q\" (quenlo): Key dummy is not connected"),
              std::string::npos)
        << press.err;

    // Module folders that do not exist or hold no module.
    const TempDir emptyFolder;
    const std::string missing = dir.file("no-such-folder");
    const RunResult info =
        runMhost({"info"}, dir.path(), missing + ":" + emptyFolder.path().string());
    EXPECT_EQ(info.status, 0) << describe(info);
    EXPECT_NE(info.err.find("mhost: warning: module folder \"" + missing +
                            "\" (on MORVANE_DSO_PATH) "
                            "does not exist"),
              std::string::npos)
        << info.err;
    const std::string empty = emptyFolder.path().string();
    EXPECT_NE(info.err.find(quote(empty) + " (on MORVANE_DSO_PATH) holds no module"),
              std::string::npos)
        << info.err;
    // The default folder holds the module: no warning.
    const RunResult quiet = runMhost({"info"}, dir.path());
    EXPECT_EQ(quiet.err, "") << describe(quiet);
}

TEST(FirstUse, AModuleThatFailsToLoadIsNamedOnce) {
    const TempDir dir;
    const std::string fake = dir.write("fake.so", "not a shared library");
    const RunResult r = runMhost({"--module", fake, "info"}, dir.path());
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_EQ(count(r.err, "fake.so"), 1u) << r.err;
}

TEST(FirstUse, InfoShowsTheNamedTypesAndShortensTheBuildTagInTables) {
    REQUIRE_MODULE();
    const TempDir dir;
    const RunResult one = runMhost({"info", "quenlo"}, dir.path());
    ASSERT_EQ(one.status, 0) << describe(one);
    EXPECT_NE(one.out.find("Node type \"quenlo\""), std::string::npos) << one.out;
    EXPECT_EQ(one.out.find("Node type \"null\""), std::string::npos) << one.out;

    const RunResult json = runMhost({"info", "quenlo", "--json"}, dir.path());
    ASSERT_EQ(json.status, 0) << describe(json);
    const Json doc = parseJson(json.out, "stdout");
    const std::string tag = doc["modules"][0]["tag"];
    ASSERT_GT(tag.size(), 24u);
    EXPECT_EQ(count(json.out, "\"name\": \"null\""), 0u) << json.out;
    // The table keeps the start of the tag and says how to see the rest.
    EXPECT_EQ(one.out.find(tag), std::string::npos);
    EXPECT_NE(one.out.find(tag.substr(0, 24) + "...\" (" + std::to_string(tag.size()) +
                           " characters; --json shows it whole)"),
              std::string::npos)
        << one.out;

    const RunResult unknown = runMhost({"info", "quenla"}, dir.path());
    EXPECT_EQ(unknown.status, 2) << describe(unknown);
    EXPECT_NE(unknown.err.find("unknown node type \"quenla\""), std::string::npos) << unknown.err;
}

TEST(FirstUse, ThePlotDrawsTheEndKeysInsideItsFrame) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string examples = MHOST_EXAMPLES_DIR;
    const RunResult r = runMhost({"eval", examples + "/rig.scene.json", "arm", "--driver", "0:1:4",
                                  "--plot", dir.file("rig.svg")},
                                 dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::string svg = readFile(dir.file("rig.svg"));
    // The number after `attribute="` at or after `from`.
    const auto numberAfter = [&](const std::string& attribute, std::size_t from) {
        const std::size_t at = svg.find(attribute + "=\"", from);
        EXPECT_NE(at, std::string::npos) << attribute;
        return std::stod(svg.substr(at + attribute.size() + 2));
    };
    // Each panel's frame runs from its left axis to the right end of its
    // grid lines (the first line of a panel is a grid line).
    const std::size_t grid = svg.find("<g class=\"panel\">\n<text");
    ASSERT_NE(grid, std::string::npos);
    const std::size_t firstLine = svg.find("<line x1=", grid);
    const double left = numberAfter("x1", firstLine), right = numberAfter("x2", firstLine);
    ASSERT_LT(left, right);
    int keys = 0;
    const std::string keyLine = "<line class=\"key\" ";
    for (std::size_t at = svg.find(keyLine); at != std::string::npos;
         at = svg.find(keyLine, at + 1), ++keys) {
        const double x = numberAfter("x1", at);
        EXPECT_GT(x, left + 5) << "key line at " << x;
        EXPECT_LT(x, right - 5) << "key line at " << x;
    }
    EXPECT_EQ(keys, 3 * 3) << "three keys in each of three panels";
}

} // namespace
} // namespace mhost
