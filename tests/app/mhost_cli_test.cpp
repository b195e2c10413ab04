// Runs the built mhost as a user would and checks what it prints, writes and
// returns.
#include "engine/script.hpp"
#include "test_support.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace mhost {
namespace {

using test::describe;
using test::jsonLines;
using test::readFile;
using test::runMhost;
using test::RunResult;
using test::TempDir;

// A key dummy wired into a "quenlo" node; key 0 made at driver 0 with the
// dummy at t = (1, 2, 3), key 1 at driver 10 with t = (3, 2, 1).
const char* kTwoKeys = R"(
    {"op": "create", "type": "null", "name": "dummy"},
    {"op": "create", "type": "quenlo", "name": "q"},
    {"op": "wire", "node": "q", "input": 1, "from": "dummy"},
    {"op": "set", "node": "q", "parm": "driverval", "value": 0},
    {"op": "set", "node": "dummy", "parm": "t", "value": [1, 2, 3]},
    {"op": "press", "node": "q", "parm": "getkey0"},
    {"op": "set", "node": "q", "parm": "driverval", "value": 10},
    {"op": "set", "node": "dummy", "parm": "t", "value": [3, 2, 1]},
    {"op": "press", "node": "q", "parm": "getkey1"})";

TEST(MhostCli, HelpVersionAndUnknownCommand) {
    const TempDir dir;
    const RunResult help = runMhost({"--help"}, dir.path());
    EXPECT_EQ(help.status, 0) << describe(help);
    for (const char* command : {"demo", "info", "run", "eval", "--module", "MORVANE_DSO_PATH"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;

    const RunResult version = runMhost({"--version"}, dir.path());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("mhost ", 0), 0u) << version.out;

    const RunResult unknown = runMhost({"frobnicate"}, dir.path());
    EXPECT_EQ(unknown.status, 2) << describe(unknown);
    EXPECT_NE(unknown.err.find("frobnicate"), std::string::npos) << unknown.err;

    // Asking for the help of a command that does not exist says so: a
    // script that probes for a command is not told it is there.
    for (const std::vector<std::string>& probe :
         {std::vector<std::string>{"frobnicate", "--help"}, {"--help", "frobnicate"}}) {
        const RunResult r = runMhost(probe, dir.path());
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_NE(r.err.find("unknown command \"frobnicate\" (commands: demo,"), std::string::npos)
            << describe(r);
        EXPECT_EQ(r.out, "");
    }
    const RunResult commandHelp = runMhost({"eval", "--help"}, dir.path());
    EXPECT_EQ(commandHelp.status, 0) << describe(commandHelp);
    EXPECT_NE(commandHelp.out.find("--driver"), std::string::npos) << commandHelp.out;

    const RunResult badOption = runMhost({"demo", "--format", "xml"}, dir.path());
    EXPECT_EQ(badOption.status, 2) << describe(badOption);
    EXPECT_NE(badOption.err.find("xml"), std::string::npos) << badOption.err;

    // The script's actions come from their table, each with its sentence.
    for (const ActionKind& kind : actionKinds()) {
        EXPECT_NE(help.out.find(kind.example), std::string::npos) << kind.op;
        EXPECT_NE(help.out.find(kind.help), std::string::npos) << kind.op;
    }
}

TEST(MhostCli, CommandLineErrorsAreMhostMessagesWithStatusTwo) {
    const TempDir dir;
    const struct {
        std::vector<std::string> args;
        const char* expected;
    } cases[] = {
        // However many --module options come first, the next word is the command.
        {{"--module", "a.so", "--module", "b.so", "frobnicate"},
         "mhost: unknown command \"frobnicate\" (commands: demo, info, run, eval, bake, edit, "
         "keys, validate;"},
        {{},
         "mhost: a command is required (commands: demo, info, run, eval, bake, edit, keys, "
         "validate;"},
        {{"--bogus"}, "mhost: unknown option \"--bogus\""},
        {{"demo", "--format", "yaml"}, "mhost: --format: yaml not in {table,csv,json}"},
        {{"run"}, "mhost: SCRIPT is required"},
        // A command's unknown option or extra argument is not ignored.
        {{"demo", "--frobnicate"}, "mhost: demo: unknown option \"--frobnicate\""},
        {{"eval", "scene.json", "node", "extra"}, "mhost: eval: unexpected argument \"extra\""},
    };
    for (const auto& c : cases) {
        const RunResult r = runMhost(c.args, dir.path());
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_EQ(r.err.rfind(c.expected, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // The formats are described under mhost --help only.
    const RunResult top = runMhost({"--help"}, dir.path());
    const RunResult eval = runMhost({"eval", "--help"}, dir.path());
    EXPECT_EQ(eval.status, 0) << describe(eval);
    EXPECT_NE(top.out.find("Scene file:"), std::string::npos);
    EXPECT_EQ(eval.out.find("Scene file:"), std::string::npos) << eval.out;
    EXPECT_NE(eval.out.find("--driver"), std::string::npos) << eval.out;
}

TEST(MhostCli, DemoPrintsAnAlignedTable) {
    REQUIRE_MODULE();
    const TempDir dir;
    const RunResult r = runMhost({"demo", "--steps", "10"}, dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    std::istringstream in(r.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    const auto header = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("driver") != std::string::npos && l.find("tx") != std::string::npos;
    });
    ASSERT_NE(header, lines.end()) << r.out;
    const std::vector<std::string> rows(header + 1, lines.end());
    ASSERT_EQ(rows.size(), 11u) << r.out;
    // Every column starts in the same place: the group bars line up.
    const std::size_t bar = header->find('|');
    for (const std::string& row : rows)
        EXPECT_EQ(row.find('|'), bar) << row;
    // The first row is key 0, at rest; the last the final key.
    std::istringstream first(rows.front());
    std::string driver, key, sep, tx;
    first >> driver >> key >> sep >> tx;
    EXPECT_EQ(driver, "0.0000");
    EXPECT_EQ(key, "0");
    EXPECT_EQ(tx, "0.0000");
    EXPECT_NE(rows.back().find("10.0000   3 |"), std::string::npos) << rows.back();
}

TEST(MhostCli, DemoFormatsAndPlot) {
    REQUIRE_MODULE();
    const TempDir dir;
    const RunResult json = runMhost({"demo", "--interp", "quat", "--ease", "--steps", "4",
                                     "--format", "json", "--plot", "demo.svg"},
                                    dir.path());
    ASSERT_EQ(json.status, 0) << describe(json);
    const Json report = parseJson(json.out, "stdout");
    EXPECT_EQ(report["interp"], "quat");
    EXPECT_EQ(report["ease"], true);
    ASSERT_EQ(report["rows"].size(), 5u);
    ASSERT_GE(report["keys"].size(), 3u) << "the demo makes three keys or more";
    // The end rows sit on the first and last key: their poses are the keys'.
    EXPECT_EQ(report["rows"][0]["key"], 0);
    EXPECT_NEAR(report["rows"][4]["scale"][0].get<double>(), 1.5, 1e-6);

    const std::string svg = readFile(dir.file("demo.svg"));
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    std::size_t keyLines = 0;
    for (auto at = svg.find("class=\"key\""); at != std::string::npos;
         at = svg.find("class=\"key\"", at + 1))
        ++keyLines;
    EXPECT_EQ(keyLines, 3 * report["keys"].size()) << "each key marked in each of 3 panels";
    EXPECT_EQ(svg.find("nan"), std::string::npos);

    const RunResult csv = runMhost({"demo", "--steps", "2", "--format", "csv"}, dir.path());
    ASSERT_EQ(csv.status, 0) << describe(csv);
    EXPECT_EQ(csv.out.rfind("time,driver,key,tx,ty,tz,rx,ry,rz,sx,sy,sz,severity,warnings\n", 0),
              0u);
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 4);
}

TEST(MhostCli, GetKeyScriptGivesTheBlendedMatrices) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string script = dir.write("keys.json", std::string("[") + kTwoKeys + R"(,
        {"op": "set", "node": "q", "parm": "driverval", "value": 2.5},
        {"op": "eval", "node": "q"},
        {"op": "set", "node": "q", "parm": "ease", "value": 1},
        {"op": "eval", "node": "q", "time": 0.5},
        {"op": "get", "node": "q", "parm": "keyval1"}
    ])");
    const RunResult r = runMhost({"run", script, "--save", "keys.scene.json"}, dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<Json> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0]["op"], "press");
    EXPECT_TRUE(lines[0]["warnings"].empty()) << lines[0].dump();

    const Json& euler = lines[2];
    EXPECT_EQ(euler["op"], "eval");
    EXPECT_EQ(euler["result"], 1);
    EXPECT_EQ(euler["severity"], 0);
    EXPECT_NEAR(euler["local"][12].get<double>(), 1.5, 1e-6);
    EXPECT_NEAR(euler["local"][13].get<double>(), 2.0, 1e-6);
    EXPECT_NEAR(euler["local"][14].get<double>(), 2.5, 1e-6);
    EXPECT_EQ(euler["local"][0], 1.0);
    EXPECT_EQ(euler["world"], euler["local"]) << "no parent: world is local";

    const Json& eased = lines[3];
    EXPECT_EQ(eased["time"], 0.5);
    EXPECT_NEAR(eased["local"][12].get<double>(), 1.3125, 1e-6);
    EXPECT_NEAR(eased["local"][14].get<double>(), 2.6875, 1e-6);

    EXPECT_EQ(lines[4]["value"], Json::array({10.0}));
    EXPECT_EQ(lines[4]["enabled"], true);

    // The saved scene sweeps the same way through eval; the sweep's driver
    // values are temporary.
    const std::string saved = readFile(dir.file("keys.scene.json"));
    const RunResult sweep = runMhost(
        {"eval", "keys.scene.json", "q", "--driver", "0:10:4", "--format", "json"}, dir.path());
    ASSERT_EQ(sweep.status, 0) << describe(sweep);
    const Json report = parseJson(sweep.out, "stdout");
    ASSERT_EQ(report["rows"].size(), 5u);
    EXPECT_EQ(report["rows"][1]["driver"], 2.5);
    EXPECT_NEAR(report["rows"][1]["translate"][0].get<double>(), 1.3125, 1e-6);
    EXPECT_NEAR(report["rows"][4]["translate"][2].get<double>(), 1.0, 1e-6);
    EXPECT_EQ(readFile(dir.file("keys.scene.json")), saved);

    const RunResult once =
        runMhost({"eval", "keys.scene.json", "q", "--format", "csv"}, dir.path());
    ASSERT_EQ(once.status, 0) << describe(once);
    EXPECT_NE(once.out.find("\n0,2.5,,1.3125,2,2.6875,"), std::string::npos) << once.out;
}

TEST(MhostCli, OrderMismatchIsReportedByPressAndEval) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string script = dir.write("mismatch.json", R"({"actions": [
        {"op": "create", "type": "null", "name": "dummy"},
        {"op": "create", "type": "quenlo", "name": "q"},
        {"op": "wire", "node": "q", "input": 1, "from": "dummy"},
        {"op": "set", "node": "dummy", "parm": "rOrd", "value": 4},
        {"op": "press", "node": "q", "parm": "getkey1", "time": 0.25},
        {"op": "eval", "node": "q"},
        {"op": "set", "node": "q", "parm": "enable1", "value": 0},
        {"op": "get", "node": "q", "parm": "t1"},
        {"op": "get", "node": "q", "parm": "xOrd1"}
    ]})");
    const RunResult r = runMhost({"run", script}, dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<Json> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0]["time"], 0.25);
    ASSERT_EQ(lines[0]["warnings"].size(), 1u) << lines[0].dump();
    EXPECT_EQ(lines[0]["warnings"][0]["code"], 10);
    EXPECT_EQ(lines[0]["warnings"][0]["message"], "Rotate order doesn't match quenlo object");
    EXPECT_EQ(lines[1]["severity"], 3) << "the warning is repeated at every cook";
    EXPECT_EQ(lines[1]["warnings"], lines[0]["warnings"]);
    EXPECT_EQ(lines[2]["enabled"], false) << "a disabled key's pose is disabled too";
    EXPECT_EQ(lines[3]["visible"], false);
}

TEST(MhostCli, AnEvalAfterAPressReportsTheWarningsOfItsCook) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string script = dir.write("press.json", R"([
        {"op": "create", "type": "null", "name": "dummy"},
        {"op": "create", "type": "quenlo", "name": "q"},
        {"op": "wire", "node": "q", "input": 1, "from": "dummy"},
        {"op": "set", "node": "dummy", "parm": "rOrd", "value": 2},
        {"op": "press", "node": "q", "parm": "getkey1"},
        {"op": "eval", "node": "q"},
        {"op": "press", "node": "q", "parm": "putkey1"},
        {"op": "eval", "node": "q"}
    ])");
    const RunResult r = runMhost({"run", script}, dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<Json> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_TRUE(lines[2]["warnings"].empty()) << "Put key itself raises nothing";
    EXPECT_EQ(lines[3]["severity"], 3);
    EXPECT_EQ(lines[3]["warnings"], lines[1]["warnings"]) << r.out;
}

TEST(MhostCli, ASceneMayGiveInstanceValuesBeforeTheirCount) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string scene = dir.write("late-count.json", R"({
        "format": "mhost-scene", "version": 1, "modules": ["OBJ_Quenlo.so"],
        "nodes": [{"name": "q", "type": "quenlo",
                   "parms": {"t3": [7, 8, 9], "enable3": 0, "numkeys": 3}}]})");
    const RunResult r =
        runMhost({"run", dir.write("get.json", R"([{"op": "get", "node": "q", "parm": "t3"},
                                            {"op": "get", "node": "q", "parm": "keyval3"}])"),
                  "--scene", scene},
                 dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<Json> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["value"], Json::parse("[7.0, 8.0, 9.0]"));
    EXPECT_EQ(lines[1]["enabled"], false) << "enable states are brought up to date";
}

// Each bad input exits with 2, names the culprit on standard error and
// leaves the output scene as it was.
TEST(MhostCli, BadInputExitsTwoAndKeepsTheOutputFile) {
    REQUIRE_MODULE();
    const TempDir dir;
    dir.write("garbage.so", "not a shared library");
    const std::string goodScene = dir.file("good.json");
    ASSERT_EQ(runMhost({"run", dir.write("make.json", std::string("[") + kTwoKeys + "]"), "--save",
                        goodScene},
                       dir.path())
                  .status,
              0);
    const auto withScene = [&](const std::string& name, const std::string& from,
                               const std::string& to) {
        std::string text = readFile(goodScene);
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return dir.write(name, text.replace(at, from.size(), to));
    };
    const std::string empty = dir.write("empty.json", "[]");

    const struct {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::string> expected; // all on standard error
    } cases[] = {
        {"malformed script",
         {"run", dir.write("bad.json", "[\n  {\"op\": \"create\",, \"type\": \"null\"}\n]")},
         {"bad.json:2:19: malformed JSON"}},
        {"unreadable script", {"run", "absent.json"}, {"absent.json: cannot read"}},
        {"unknown action",
         {"run", dir.write("op.json", R"([{"op": "create", "type": "null", "name": "a"},
                                           {"op": "teleport"}])")},
         {"op.json: actions[1] (teleport): unknown action \"teleport\""}},
        {"unknown node",
         {"run", dir.write("node.json", R"([{"op": "eval", "node": "ghost"}])")},
         {"actions[0] (eval)", "no node named \"ghost\""}},
        {"unknown type",
         {"run", dir.write("type.json", R"([{"op": "create", "type": "quenla", "name": "q"}])")},
         {"actions[0] (create)", "unknown node type \"quenla\""}},
        {"unknown parameter",
         {"run",
          dir.write("parm.json", std::string("[") + kTwoKeys +
                                     R"(, {"op": "press", "node": "q", "parm": "getkey9"}])")},
         {"actions[9] (press)", "node \"q\" (quenlo) has no parameter \"getkey9\""}},
        {"cycle",
         {"run", dir.write("cycle.json", std::string("[") + kTwoKeys +
                                             R"(, {"op": "wire", "node": "dummy", "input": 0,
                                                  "from": "q"}])")},
         {"actions[9] (wire)", "would make a cycle"}},
        {"missing module", {"--module", "/no/such/OBJ_Other.so", "info"}, {"OBJ_Other.so"}},
        {"module that does not load", {"--module", dir.file("garbage.so"), "info"}, {"garbage.so"}},
        {"malformed scene",
         {"run", empty, "--scene", dir.write("broken.json", "{\"format\": \"mhost-scene\"")},
         {"broken.json:1:"}},
        {"scene with an unknown parameter",
         {"run", empty, "--scene", withScene("parm-scene.json", "\"driverval\"", "\"driverv\"")},
         {"parm-scene.json", "node \"q\" (quenlo)", "unknown parameter \"driverv\""}},
        {"scene with an unknown type",
         {"run", empty, "--scene", withScene("type-scene.json", "\"quenlo\"", "\"quenla\"")},
         {"type-scene.json", "unknown node type \"quenla\""}},
        {"scene needing a missing module",
         {"run", empty, "--scene",
          withScene("mod-scene.json", "\"OBJ_Quenlo.so\"", "\"OBJ_Quenlo.so\", \"OBJ_Gone.so\"")},
         {"mod-scene.json", "needs module \"OBJ_Gone.so\""}},
        {"eval of an unknown node", {"eval", goodScene, "nobody"}, {"no node named \"nobody\""}},
        {"edit of a malformed scene",
         {"edit", dir.write("edit-broken.json", "{\"format\": \"mhost-scene\""), "--port", "0"},
         {"edit-broken.json:1:"}},
        {"edit of a folder", {"edit", dir.path().string(), "--port", "0"}, {dir.path().string()}},
        {"bad sweep", {"eval", goodScene, "q", "--driver", "0:10"}, {"--driver \"0:10\""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = dir.write("out.json", "precious");
        std::vector<std::string> args = c.args;
        if (args[0] == "run" || (args.size() > 2 && args[2] == "run")) {
            args.push_back("--save");
            args.push_back(out);
        }
        const RunResult r = runMhost(args, dir.path());
        EXPECT_EQ(r.status, 2) << describe(r);
        for (const std::string& text : c.expected)
            EXPECT_NE(r.err.find(text), std::string::npos) << "missing: " << text << "\n" << r.err;
        EXPECT_EQ(readFile(out), "precious");
    }
    for (const std::string& name : dir.entries())
        EXPECT_EQ(name.find(".out.json."), std::string::npos) << "temporary file left: " << name;
}

TEST(MhostCli, FailedCookExitsOneAndSavesNothing) {
    const TempDir dir;
    const std::string scene = dir.write("nan.json", R"({
        "format": "mhost-scene", "version": 1, "modules": [],
        "nodes": [{"name": "broken", "type": "null", "parms": {"t": ["nan", 0, 0]}}]})");
    const std::string out = dir.write("out.json", "precious");
    const RunResult r =
        runMhost({"run", dir.write("cook.json", R"([{"op": "eval", "node": "broken"}])"), "--scene",
                  scene, "--save", out},
                 dir.path());
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("actions[0] (eval): cooking node \"broken\" (null) failed"),
              std::string::npos)
        << r.err;
    const std::vector<Json> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << "the failing eval still reports";
    EXPECT_GE(lines[0]["severity"].get<int>(), 4);
    EXPECT_EQ(readFile(out), "precious");

    const RunResult eval = runMhost({"eval", scene, "broken"}, dir.path());
    EXPECT_EQ(eval.status, 1) << describe(eval);
    EXPECT_NE(eval.err.find("cooking node \"broken\" (null) failed"), std::string::npos)
        << eval.err;
    EXPECT_NE(eval.out.find("error: "), std::string::npos) << eval.out;
}

TEST(MhostCli, SaveLoadSaveGivesIdenticalBytes) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string script = dir.write("build.json", std::string("[") + kTwoKeys + R"(,
        {"op": "set", "node": "q", "parm": "numkeys", "value": 3},
        {"op": "set", "node": "q", "parm": "driverval", "value": 3.25},
        {"op": "set", "node": "dummy", "parm": "r", "value": [12.5, 0.25, -7]},
        {"op": "press", "node": "q", "parm": "getkey3"},
        {"op": "set", "node": "q", "parm": "enable2", "value": 0},
        {"op": "set", "node": "q", "parm": "interp", "value": 1},
        {"op": "keyframes", "node": "q", "parm": "driverval", "keys": [[0, 0], [0.7, 10]]},
        {"op": "keyframes", "node": "dummy", "parm": "s", "component": 1,
         "keys": [[0.1, 1], [1.3, 2.000000000000001]]},
        {"op": "save", "path": "first.json"}
    ])");
    const RunResult built = runMhost({"run", script}, dir.path());
    ASSERT_EQ(built.status, 0) << describe(built);
    const RunResult again = runMhost(
        {"run", dir.write("nothing.json", "[]"), "--scene", "first.json", "--save", "second.json"},
        dir.path());
    ASSERT_EQ(again.status, 0) << describe(again);
    const std::string first = readFile(dir.file("first.json"));
    EXPECT_EQ(readFile(dir.file("second.json")), first);

    const Json scene = parseJson(first, "first.json");
    EXPECT_EQ(scene["format"], "mhost-scene");
    EXPECT_EQ(scene["modules"], Json::array({"OBJ_Quenlo.so"}));
    const Json& q = scene["nodes"][1];
    EXPECT_EQ(q["inputs"], Json::parse(R"([null, "dummy"])"));
    EXPECT_EQ(q["parms"]["numkeys"], 3);
    EXPECT_EQ(q["parms"]["driverval"], Json::parse("[[0.0, 0.0], [0.7, 10.0]]"));
    EXPECT_EQ(q["parms"]["keyval3"], 3.25);
    EXPECT_EQ(q["parms"]["r3"], Json::parse("[12.5, 0.25, -7.0]"));
    EXPECT_EQ(q["parms"]["enable2"], 0);
    EXPECT_FALSE(q["parms"].contains("getkey0")) << "buttons hold no value";
    // The count comes before the instances it makes.
    std::vector<std::string> tokens;
    for (const auto& item : q["parms"].items())
        tokens.push_back(item.key());
    const auto pos = [&](const char* t) { return std::find(tokens.begin(), tokens.end(), t); };
    EXPECT_LT(pos("numkeys"), pos("keyval1"));
    EXPECT_NE(pos("pivot3"), tokens.end());

    // Loading restores the enable states a user would see.
    const RunResult get =
        runMhost({"run", dir.write("get.json", R"([{"op": "get", "node": "q", "parm": "keyval2"},
                                          {"op": "get", "node": "q", "parm": "keyval3"}])"),
                  "--scene", "first.json"},
                 dir.path());
    ASSERT_EQ(get.status, 0) << describe(get);
    const std::vector<Json> lines = jsonLines(get.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["enabled"], false);
    EXPECT_EQ(lines[1]["enabled"], true);
}

// The folder switcher's first folder and what it encloses, for a type.
const Json* findFolder(const Json& parameters, const std::string& label) {
    for (const Json& p : parameters) {
        if (!p.contains("folders"))
            continue;
        for (const Json& folder : p["folders"]) {
            if (folder["label"] == label)
                return &folder;
            if (const Json* inner = findFolder(folder["parameters"], label))
                return inner;
        }
    }
    return nullptr;
}

TEST(MhostCli, InfoListsTheOwnParametersInTheQuenloFolder) {
    REQUIRE_MODULE();
    const TempDir dir;
    const RunResult r = runMhost({"info", "--json"}, dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const Json info = parseJson(r.out, "stdout");
    ASSERT_EQ(info["modules"].size(), 1u);
    EXPECT_EQ(info["modules"][0]["version"], "9.0");
    EXPECT_EQ(info["modules"][0]["types"], Json::array({"quenlo"}));

    const auto type = std::find_if(info["types"].begin(), info["types"].end(),
                                   [](const Json& t) { return t["name"] == "quenlo"; });
    ASSERT_NE(type, info["types"].end());
    EXPECT_EQ((*type)["label"], "Quenlo");
    EXPECT_EQ((*type)["inputs"], Json::parse(R"([{"index": 0, "label": "Parent"},
                                                 {"index": 1, "label": "Key dummy"}])"));
    const Json* folder = findFolder((*type)["parameters"], "Quenlo");
    ASSERT_NE(folder, nullptr);
    std::vector<std::string> tokens;
    for (const Json& p : (*folder)["parameters"])
        tokens.push_back(p["token"]);
    EXPECT_EQ(tokens,
              (std::vector<std::string>{"sep2", "interp", "ease", "driverval", "sep0", "keyval0",
                                        "getkey0", "xOrd0", "rOrd0", "t0", "r0", "s0", "pivot0",
                                        "scale0", "reset0", "putkey0", "sep1", "numkeys"}));
    const Json& parms = (*folder)["parameters"];
    EXPECT_EQ(parms[1]["menu"], Json::parse(R"([{"token": "euler", "label": "Euler"},
                                                {"token": "quat", "label": "Quaternion"}])"));
    EXPECT_EQ(parms[6]["type"], "button");
    EXPECT_EQ(parms[6]["callback"], true);
    EXPECT_EQ(parms[11]["default"], Json::parse("[1.0, 1.0, 1.0]"));
    const Json& members = parms[17]["members"];
    ASSERT_EQ(members.size(), 12u);
    EXPECT_EQ(members[3]["token"], "xOrd#");
    EXPECT_EQ(members[3]["visible"], false);
    EXPECT_EQ(members[0]["default"], Json::parse("[1.0]"));

    // The inherited transform is hidden, and nothing outside the folder is its own.
    const auto translate = std::find_if((*type)["parameters"].begin(), (*type)["parameters"].end(),
                                        [](const Json& p) { return p["token"] == "t"; });
    ASSERT_NE(translate, (*type)["parameters"].end());
    EXPECT_EQ((*translate)["visible"], false);

    const RunResult text = runMhost({"info"}, dir.path());
    ASSERT_EQ(text.status, 0) << describe(text);
    EXPECT_NE(text.out.find("[folder \"Quenlo\": 18 parameters]"), std::string::npos) << text.out;
}

TEST(MhostCli, ModuleSearchPathAndModuleOption) {
    REQUIRE_MODULE();
    const TempDir dir;
    const TempDir emptyPath;
    const RunResult none = runMhost({"info", "--json"}, dir.path(), emptyPath.path().string());
    ASSERT_EQ(none.status, 0) << describe(none);
    EXPECT_TRUE(parseJson(none.out, "stdout")["modules"].empty());

    const RunResult noDemo = runMhost({"demo"}, dir.path(), emptyPath.path().string());
    EXPECT_EQ(noDemo.status, 2) << describe(noDemo);
    EXPECT_NE(noDemo.err.find("\"quenlo\""), std::string::npos) << noDemo.err;

    const RunResult extra = runMhost({"demo", "--steps", "2", "--module", test::modulePath()},
                                     dir.path(), emptyPath.path().string());
    EXPECT_EQ(extra.status, 0) << describe(extra);
    // Naming a module the search path already loaded is not an error.
    const RunResult twice = runMhost({"--module", test::modulePath(), "info"}, dir.path());
    EXPECT_EQ(twice.status, 0) << describe(twice);
}

// The editing session's server and the TLS and compression libraries under
// it are mapped by `mhost edit` alone: every other command starts without.
TEST(MhostCli, OnlyEditLoadsTheHttpServer) {
    REQUIRE_MODULE();
    const TempDir dir;
    for (const char* command : {"info", "demo"}) {
        const RunResult r = runMhost({command}, dir.path(), MHOST_DSO_DIR, {"LD_DEBUG=libs"});
        ASSERT_EQ(r.status, 0) << describe(r);
        // The loader's trace names what it maps: the SDK, and none of those.
        EXPECT_NE(r.err.find("libmorvane.so"), std::string::npos) << command;
        for (const char* library : {"libmhost_http", "libcpp-httplib", "libssl", "libcrypto"})
            EXPECT_EQ(r.err.find(library), std::string::npos) << command << " maps " << library;
    }
}

TEST(MhostCli, WorkedExampleRuns) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string examples = MHOST_EXAMPLES_DIR;
    const RunResult run =
        runMhost({"run", examples + "/rig.json", "--save", dir.file("rig.scene.json")}, dir.path());
    ASSERT_EQ(run.status, 0) << describe(run);
    EXPECT_EQ(readFile(dir.file("rig.scene.json")), readFile(examples + "/rig.scene.json"))
        << "examples/rig.scene.json is what examples/rig.json saves";
    const RunResult eval =
        runMhost({"eval", examples + "/rig.scene.json", "arm", "--driver", "0:1:4"}, dir.path());
    EXPECT_EQ(eval.status, 0) << describe(eval);
}

} // namespace
} // namespace mhost
