// mhost edit without a browser: the session's edits, undo and script, the
// pane drawn from templates, and the server's responses to requests, called
// in-process. tests/edit/ drives the real server over HTTP and in chromium.
#include "edit/edit_serve.hpp"
#include "edit/edit_session.hpp"
#include "edit/parm_pane.hpp"
#include "engine/evaluation.hpp"
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "test_support.hpp"

#include <OBJ/OBJ_Node.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace mhost {
namespace {

using test::TempDir;

Json set(const std::string& node, const std::string& parm, Json value) {
    return {{"op", "set"}, {"node", node}, {"parm", parm}, {"value", std::move(value)}};
}
Json press(const std::string& node, const std::string& parm) {
    return {{"op", "press"}, {"node", node}, {"parm", parm}};
}

// Every item of a pane, folders and instances opened, by token.
void collect(const Json& items, std::map<std::string, Json>& out) {
    for (const Json& item : items) {
        if (item.contains("token"))
            out[item["token"].get<std::string>()] = item;
        for (const Json& folder : item.value("folders", Json::array()))
            collect(folder["items"], out);
        for (const Json& instance : item.value("instances", Json::array()))
            collect(instance["items"], out);
    }
}
std::map<std::string, Json> paneItems(const OP_Node& node) {
    std::map<std::string, Json> out;
    collect(describePane(node, 0.0f)["items"], out);
    return out;
}

// A session of a scene file holding a key dummy under a base, and a
// quenlo node wired to it: what a rigger starts a posing session from.
class Editing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::moduleBuilt())
            GTEST_SKIP() << "checked by the tests that REQUIRE_MODULE";
        host.loadModule(test::modulePath());
        Scene start(host);
        std::ostringstream ignored;
        runScript(start,
                  parseScript(parseJson(R"([
            {"op": "create", "type": "null", "name": "base"},
            {"op": "create", "type": "null", "name": "dummy"},
            {"op": "create", "type": "quenlo", "name": "q"},
            {"op": "wire", "node": "q", "input": 0, "from": "base"},
            {"op": "set", "node": "base", "parm": "t", "value": [0, 1, 0]}
        ])",
                                        "setup"),
                              "setup"),
                  "setup", ignored);
        path = dir.file("rig.json");
        saveScene(start, path);
        opened = readFileText(path);
    }
    static std::string readFileText(const std::string& p) { return test::readFile(p); }

    TempDir dir;
    Host host;
    std::string path;
    std::string opened;
};

TEST_F(Editing, EditsUndoRedoAndTheDownloadedScriptRebuildTheSceneFromTheOpenedFile) {
    EditSession session(host, path);
    EXPECT_FALSE(session.unsaved());
    const std::string before = sceneText(session.scene());
    session.apply({{"op", "wire"}, {"node", "q"}, {"input", 1}, {"from", "dummy"}});
    session.apply(set("q", "numkeys", 2));
    const double drivers[] = {0.0, 0.5, 1.0};
    for (int key = 0; key < 3; ++key) {
        session.apply(set("dummy", "t", {key, 2.0 * key, 0.5}));
        session.apply(set("dummy", "r", {0, 45.0 * key, 0}));
        session.apply(set("q", "keyval" + std::to_string(key), drivers[key]));
        session.apply(press("q", "getkey" + std::to_string(key)));
    }
    // A drag of the driver is one step however many values it passed.
    for (double v = 0.0; v <= 0.75; v += 0.05)
        session.apply(set("q", "driverval", v), true);
    EXPECT_EQ(session.undoable(), 15u);
    EXPECT_TRUE(session.unsaved());
    const std::string edited = sceneText(session.scene());

    ASSERT_TRUE(session.undo());
    EXPECT_EQ(session.scene().node("q").evalFloat("driverval", 0, 0), 0.0);
    ASSERT_TRUE(session.redo());
    EXPECT_EQ(sceneText(session.scene()), edited);
    EXPECT_FALSE(session.redo());

    // The script, run on the file as opened, makes the same scene.
    Scene replayed(host);
    loadScene(replayed, path);
    std::ostringstream reports;
    const Json script = session.script();
    runScript(replayed, parseScript(script, "edits"), "edits", reports);
    EXPECT_EQ(sceneText(replayed), edited);
    EXPECT_NE(script["description"].get<std::string>().find("--scene " + path), std::string::npos);

    // Back to the start, and a new edit drops what was undone.
    while (session.undo()) {
    }
    EXPECT_EQ(sceneText(session.scene()), before);
    EXPECT_FALSE(session.unsaved());
    session.apply(set("dummy", "t", {5, 5, 5}));
    EXPECT_EQ(session.redoable(), 0u);
    EXPECT_EQ(session.script()["actions"].size(), 1u);

    EXPECT_EQ(test::readFile(path), opened) << "nothing is written before Save";
    session.save();
    EXPECT_FALSE(session.unsaved());
    EXPECT_EQ(test::readFile(path), sceneText(session.scene()));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"rig.json"});
}

TEST_F(Editing, AnEditThatFailsLeavesTheSceneAndTheHistoryAsTheyWere) {
    EditSession session(host, path);
    session.apply(set("dummy", "t", {1, 2, 3}));
    const std::string text = sceneText(session.scene());
    const struct {
        Json edit;
        const char* expected;
    } cases[] = {
        {{{"op", "save"}, {"path", "/tmp/x.json"}}, "an edit cannot be \"save\""},
        {{{"op", "load"}, {"path", "/etc/passwd"}}, "an edit cannot be \"load\""},
        {{{"op", "set"}, {"node", "dummy"}, {"parm", "nope"}, {"value", 1}},
         "no parameter \"nope\""},
        {{{"op", "wire"}, {"node", "base"}, {"input", 0}, {"from", "q"}}, "cycle"},
        {{{"op", "create"}, {"type", "null"}, {"name", "dummy"}}, "already exists"},
        {{{"op", "rename"}, {"node", "dummy"}, {"to", "base"}}, "already exists"},
        {{{"op", "pose"}, {"node", "dummy"}, {"world", {1, 2, 3}}}, "16 numbers"},
        {{{"op", "pose"}, {"node", "dummy"}, {"world", Json::array()}}, "16 numbers"},
        {{{"op", "pose"}, {"node", "nobody"}, {"world", Json::array()}}, "no node named"},
        {Json::array(), "must be an object"},
        // The second action of a set fails after... there is only one: a
        // vector of the wrong length is refused before anything is written.
        {set("dummy", "t", {9, 9, 9, 9}), "4 values given"},
    };
    for (const auto& c : cases) {
        try {
            session.apply(c.edit);
            ADD_FAILURE() << "accepted: " << c.edit.dump();
        } catch (const Failure& failure) {
            EXPECT_NE(std::string(failure.what()).find(c.expected), std::string::npos)
                << failure.what();
        }
        EXPECT_EQ(sceneText(session.scene()), text) << c.edit.dump();
        EXPECT_EQ(session.undoable(), 1u);
    }
    // A refused edit ends a drag: the next one starts a step of its own.
    session.apply(set("dummy", "t", {4, 5, 6}), true);
    EXPECT_EQ(session.undoable(), 2u);
}

TEST_F(Editing, UndoReachesBackAHundredEditsAndTheScriptKeepsThemAll) {
    EditSession session(host, path);
    std::vector<std::string> after; // the scene after each edit
    for (int i = 0; i < 130; ++i) {
        session.apply(set("dummy", "t", {i, 0, 0}));
        after.push_back(sceneText(session.scene()));
    }
    EXPECT_EQ(session.undoable(), EditSession::kUndoDepth);
    for (std::size_t i = 0; i < EditSession::kUndoDepth; ++i)
        ASSERT_TRUE(session.undo());
    EXPECT_FALSE(session.undo());
    EXPECT_EQ(sceneText(session.scene()), after[29]);
    while (session.redo()) {
    }
    EXPECT_EQ(sceneText(session.scene()), after.back());
    EXPECT_EQ(session.script()["actions"].size(), 130u);
}

TEST_F(Editing, APoseMovesTheNodeToTheWorldMatrixGivenWhateverItsParentPivotAndOrders) {
    EditSession session(host, path);
    session.apply({{"op", "wire"}, {"node", "dummy"}, {"input", 0}, {"from", "base"}});
    session.apply(set("base", "r", {10, 20, 30}));
    session.apply(set("base", "s", {1, 2, 1}));
    session.apply(set("dummy", "p", {0.5, -1, 2}));
    session.apply(set("dummy", "xOrd", "trs"));
    session.apply(set("dummy", "rOrd", "zxy"));
    // The target: where a null like the dummy, in another pose, sits in
    // world space.
    session.apply({{"op", "create"}, {"type", "null"}, {"name", "target"}});
    session.apply({{"op", "wire"}, {"node", "target"}, {"input", 0}, {"from", "base"}});
    session.apply(set("target", "p", {0.5, -1, 2}));
    session.apply(set("target", "xOrd", "trs"));
    session.apply(set("target", "rOrd", "zxy"));
    session.apply(set("target", "t", {3, -2, 1}));
    session.apply(set("target", "r", {-40, 25, 70}));
    OBJ_Node& target = *session.scene().node("target").castToOBJNode();
    const Matrix16 wanted = cookNode(target, 0).world;

    session.apply({{"op", "pose"}, {"node", "dummy"}, {"world", wanted}});
    const Matrix16 got = cookNode(*session.scene().node("dummy").castToOBJNode(), 0).world;
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(got[i], wanted[i], 1e-9) << i;
    // It is two user edits of "t" and "r", one step in the history.
    const Json last = session.script()["actions"].back();
    EXPECT_EQ(last["parm"], "r");
    session.apply({{"op", "pose"}, {"node", "dummy"}, {"world", wanted}}, true);
    EXPECT_EQ(session.undoable(), 14u);
}

TEST_F(Editing, TheQuenloPaneShowsItsLabelsHidesWhatTheModuleHidesAndDisablesOffKeys) {
    EditSession session(host, path);
    session.apply(set("q", "numkeys", 2));
    OP_Node& q = session.scene().node("q");
    std::map<std::string, Json> items = paneItems(q);
    EXPECT_EQ(items["driverval"]["label"], "Driver val");
    EXPECT_EQ(items["driverval"]["kind"], "float");
    EXPECT_EQ(items["numkeys"]["label"], "Number of key positions");
    EXPECT_EQ(items["numkeys"]["kind"], "multi");
    EXPECT_EQ(items["numkeys"]["instances"].size(), 2u);
    EXPECT_EQ(items["getkey1"]["label"], "Get key 1");
    EXPECT_EQ(items["getkey1"]["kind"], "button");
    EXPECT_EQ(items["interp"]["kind"], "menu");
    EXPECT_EQ(items["enable1"]["kind"], "toggle");
    EXPECT_EQ(items["t1"]["size"], 3);
    for (const char* hidden : {"xOrd1", "rOrd1", "t", "r"})
        EXPECT_EQ(items.count(hidden), 0u) << hidden;
    const Json pane = describePane(q, 0);
    bool quenloFolder = false;
    for (const Json& item : pane["items"])
        for (const Json& folder : item.value("folders", Json::array()))
            quenloFolder = quenloFolder || folder["label"] == "Quenlo";
    EXPECT_TRUE(quenloFolder);

    EXPECT_TRUE(items["keyval1"]["enabled"]);
    session.apply(set("q", "enable1", 0));
    items = paneItems(session.scene().node("q"));
    EXPECT_FALSE(items["keyval1"]["enabled"]);
    EXPECT_FALSE(items["t1"]["enabled"]);
    EXPECT_TRUE(items["keyval2"]["enabled"]);
}

TEST_F(Editing, AnyTypesPaneIsDrawnFromItsTemplates) {
    host.loadModule(MHOST_TEMPLATE_MODULE);
    EditSession session(host, path);
    session.apply({{"op", "create"}, {"type", "lift"}, {"name", "lifted"}});
    std::map<std::string, Json> lift = paneItems(session.scene().node("lifted"));
    EXPECT_EQ(lift["lift"]["label"], "Lift");
    EXPECT_EQ(lift["lift"]["kind"], "float");
    EXPECT_EQ(lift["liftsep"]["kind"], "separator");

    std::map<std::string, Json> null = paneItems(session.scene().node("dummy"));
    EXPECT_EQ(null["t"]["values"], Json({0.0, 0.0, 0.0}));
    EXPECT_EQ(null["xOrd"]["kind"], "menu");
    EXPECT_EQ(null["xOrd"]["menu"][0]["label"], "Scale Rot Trans");
    EXPECT_EQ(null["tags"]["kind"], "string");
}

// Requests as the page sends them, to a server of a session.
// Another program's save of the session's file: the file as opened with
// one more node.
void anotherProgramAdds(Host& host, const std::string& path, const std::string& node) {
    Scene other(host);
    loadScene(other, path);
    other.create("null", node);
    saveScene(other, path);
}

TEST_F(Editing, ASaveOverAFileChangedOnDiskIsRefusedAndReloadingKeepsBothChanges) {
    EditSession session(host, path);
    session.apply(set("dummy", "t", {1, 2, 3}));
    session.apply(set("q", "driverval", 0.5));
    anotherProgramAdds(host, path, "theirs");
    const std::string theirs = test::readFile(path);

    try {
        session.save();
        ADD_FAILURE() << "the save went through";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.kind(), FailureKind::Changed) << failure.what();
    }
    EXPECT_EQ(test::readFile(path), theirs);
    EXPECT_TRUE(session.unsaved());

    // Reloaded with the edits made again: both changes, one step each.
    const EditSession::Reloaded reloaded = session.reload(true);
    EXPECT_EQ(reloaded.reapplied, 2u);
    EXPECT_TRUE(reloaded.dropped.empty());
    EXPECT_EQ(session.undoable(), 2u);
    EXPECT_TRUE(session.unsaved());
    EXPECT_EQ(session.scene().node("dummy").evalFloat("t", 2, 0), 3.0);
    EXPECT_NO_THROW(session.scene().node("theirs"));
    session.save();
    Scene saved(host);
    loadScene(saved, path);
    EXPECT_EQ(sceneText(saved), sceneText(session.scene()));
    ASSERT_TRUE(session.undo());
    EXPECT_EQ(session.scene().node("q").evalFloat("driverval", 0, 0), 0.0);
}

TEST_F(Editing, AFileMadeOrMovedAwaySinceTheSessionReadItIsAChangeTheSaveRefuses) {
    const auto expectRefused = [](EditSession& session) {
        try {
            session.save();
            ADD_FAILURE() << "the save went through";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.kind(), FailureKind::Changed) << failure.what();
        }
    };
    // Started where no file was: another program's file made meanwhile.
    const std::string fresh = dir.file("fresh.json");
    EditSession onNothing(host, fresh);
    onNothing.apply({{"op", "create"}, {"type", "null"}, {"name", "mine"}});
    anotherProgramAdds(host, path, "theirs");
    std::filesystem::copy_file(path, fresh);
    const std::string theirs = test::readFile(fresh);
    expectRefused(onNothing);
    EXPECT_EQ(test::readFile(fresh), theirs);

    // The session's file moved away: not made again.
    EditSession session(host, path);
    session.apply(set("dummy", "t", {1, 2, 3}));
    std::filesystem::rename(path, dir.file("away.json"));
    expectRefused(session);
    EXPECT_FALSE(std::filesystem::exists(path));
    // Reloading finds no file: an empty scene, the edits dropped, saved anew.
    session.reload(false);
    session.save();
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(Editing, ReloadingDropsEditsThatNoLongerApplyOrDiscardsThemAll) {
    EditSession session(host, path);
    session.apply({{"op", "rename"}, {"node", "dummy"}, {"to", "pose"}});
    session.apply(set("q", "driverval", 0.25));
    // The other program removed the node the first edit renames.
    Scene other(host);
    loadScene(other, path);
    other.remove(other.node("dummy"));
    saveScene(other, path);

    const EditSession::Reloaded kept = session.reload(true);
    EXPECT_EQ(kept.reapplied, 1u);
    ASSERT_EQ(kept.dropped.size(), 1u);
    EXPECT_NE(kept.dropped[0].find("dummy"), std::string::npos) << kept.dropped[0];
    EXPECT_EQ(session.scene().node("q").evalFloat("driverval", 0, 0), 0.25);
    EXPECT_EQ(session.script()["actions"].size(), 1u);

    const EditSession::Reloaded discarded = session.reload(false);
    EXPECT_EQ(discarded.reapplied, 0u);
    EXPECT_FALSE(session.unsaved());
    EXPECT_EQ(session.undoable(), 0u);
    EXPECT_EQ(sceneText(session.scene()), sceneText(other));

    // A file deleted meanwhile: saving would make it again, which is a
    // change too; reloading gives the empty scene of a new file.
    session.apply(set("q", "driverval", 0.75));
    std::filesystem::remove(path);
    EXPECT_THROW(session.save(), InputError);
    EXPECT_FALSE(std::filesystem::exists(path));
    session.reload(false);
    EXPECT_EQ(session.scene().root().getNchildren(), 0);
}

class Serving : public Editing {
protected:
    EditRequest request(const std::string& method, const std::string& target,
                        const std::string& body = "") const {
        EditRequest r;
        r.method = method;
        r.path = target.substr(0, target.find('?'));
        if (target.find('?') != std::string::npos) {
            const std::string query = target.substr(target.find('?') + 1);
            r.query[query.substr(0, query.find('='))] = query.substr(query.find('=') + 1);
        }
        r.headers["host"] = "127.0.0.1:" + std::to_string(port);
        r.headers["x-mhost-token"] = token;
        r.body = body;
        return r;
    }
    // The same with one header set to value ("" removes it).
    EditRequest with(const std::string& method, const std::string& target, const std::string& name,
                     const std::string& value) const {
        EditRequest r = request(method, target);
        if (value.empty())
            r.headers.erase(name);
        else
            r.headers[name] = value;
        return r;
    }
    const int port = 41234;
    const std::string token = randomToken();
};

TEST_F(Serving, RequestsWithoutTheTokenOrFromAnotherHostOrOriginAreRefused) {
    EditSession session(host, path);
    EditServer server(session, token, port);
    EXPECT_EQ(server.handle(request("GET", "/api/state")).status, 200);
    EXPECT_EQ(server.address(), "http://127.0.0.1:41234/?token=" + token);

    const EditRequest noToken = with("GET", "/api/state", "x-mhost-token", "");
    const EditRequest wrongToken =
        with("GET", "/api/state", "x-mhost-token", std::string(token.size(), 'a'));
    const EditRequest rebound = with("POST", "/api/save", "host", "attacker.example:41234");
    const EditRequest otherPort = with("GET", "/api/state", "host", "127.0.0.1:80");
    const EditRequest otherOrigin = with("POST", "/api/save", "origin", "http://attacker.example");
    const EditRequest nullOrigin = with("POST", "/api/save", "origin", "null");
    for (const EditRequest& r :
         {noToken, wrongToken, rebound, otherPort, otherOrigin, nullOrigin}) {
        const EditResponse answer = server.handle(r);
        EXPECT_EQ(answer.status, 403) << r.path << " " << answer.body;
        EXPECT_EQ(answer.body.find("\"nodes\""), std::string::npos) << "a refusal shows nothing";
    }
    // The page itself, with the token in its address, from either loopback name.
    EditRequest page = request("GET", "/?token=" + token);
    page.headers.erase("x-mhost-token");
    page.headers["host"] = "localhost:41234";
    page.headers["origin"] = "http://localhost:41234";
    const EditResponse shown = server.handle(page);
    EXPECT_EQ(shown.status, 200);
    EXPECT_NE(shown.body.find("TransformControls"), std::string::npos);
    EXPECT_EQ(shown.headers.at("Referrer-Policy"), "no-referrer");

    EXPECT_EQ(
        server.handle(request("POST", "/api/edit", std::string(EditServer::kMaxBody + 1, ' ')))
            .status,
        413);
    EXPECT_EQ(server.handle(request("GET", "/etc/passwd")).status, 404);
    EXPECT_EQ(server.handle(request("GET", "/../rig.json")).status, 404);
    // A path that is not UTF-8 is named in the response all the same.
    const EditResponse odd = server.handle(request("GET", "/\xff\xfe"));
    EXPECT_EQ(odd.status, 404);
    EXPECT_NO_THROW(parseJson(odd.body, "answer"));
    EXPECT_EQ(server.handle(request("GET", "/api/save")).status, 405);
    // A body of no stated length, or of a length over the cap, is refused
    // on the headers, before it is read.
    const EditRequest chunked = with("POST", "/api/edit", "transfer-encoding", "chunked");
    const EditRequest huge = with("POST", "/api/edit", "content-length", "99999999999999");
    const EditRequest garbled = with("POST", "/api/edit", "content-length", "12x");
    for (const EditRequest& r : {chunked, huge, garbled}) {
        ASSERT_TRUE(server.screen(r).has_value());
        EXPECT_EQ(server.screen(r)->status, 413);
    }
    EXPECT_EQ(server.screen(noToken)->status, 403) << "a refusal comes before the length";
    EXPECT_FALSE(server.screen(request("POST", "/api/edit")).has_value());
    EXPECT_EQ(test::readFile(path), opened) << "no refused request wrote the scene";
}

TEST_F(Serving, EditsUndoSaveAndQuitGoThroughTheSession) {
    EditSession session(host, path);
    EditServer server(session, token, port);
    EditResponse r = server.handle(request(
        "POST", "/api/edit",
        R"({"edit": {"op": "set", "node": "dummy", "parm": "t", "value": [1, 2, 3]}, "node": "dummy"})"));
    ASSERT_EQ(r.status, 200) << r.body;
    Json state = parseJson(r.body, "state");
    EXPECT_EQ(state["selected"], "dummy");
    EXPECT_EQ(state["unsaved"], true);
    EXPECT_EQ(state["world"][12], 1.0) << "under nothing, the world is the local";
    EXPECT_EQ(state["world"][14], 3.0);

    // A press's warnings come back with the state: no dummy is wired.
    r = server.handle(request("POST", "/api/edit",
                              R"({"edit": {"op": "press", "node": "q", "parm": "getkey0"}})"));
    state = parseJson(r.body, "state");
    ASSERT_EQ(state["warnings"].size(), 1u) << r.body;
    EXPECT_NE(state["warnings"][0].get<std::string>().find("node \"q\" (quenlo): "),
              std::string::npos);

    r = server.handle(request("POST", "/api/edit", R"({"edit": {"op": "load", "path": "x"}})"));
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(parseJson(r.body, "r")["error"].get<std::string>().find("cannot be \"load\""),
              std::string::npos);
    EXPECT_EQ(server.handle(request("POST", "/api/edit", "{not json")).status, 400);

    EXPECT_EQ(server.handle(request("POST", "/api/quit", "{}")).status, 409);
    EXPECT_FALSE(server.quitRequested());
    EXPECT_EQ(server.handle(request("POST", "/api/save", "{}")).status, 200);
    EXPECT_EQ(test::readFile(path), sceneText(session.scene()));
    const Json script = parseJson(server.handle(request("GET", "/api/script")).body, "script");
    EXPECT_EQ(script["actions"].size(), 2u);
    EXPECT_EQ(server.handle(request("POST", "/api/quit", "{}")).status, 200);
    EXPECT_TRUE(server.quitRequested());
    // Once quit, the session takes no more edits.
    r = server.handle(request("POST", "/api/edit",
                              R"({"edit": {"op": "create", "type": "null", "name": "late"}})"));
    EXPECT_EQ(r.status, 410);
    EXPECT_FALSE(session.unsaved());
}

TEST_F(Serving, ASaveOverAChangedFileIsAConflictTheReloadOrOverwriteResolves) {
    EditSession session(host, path);
    EditServer server(session, token, port);
    const std::string edit =
        R"({"edit": {"op": "set", "node": "dummy", "parm": "t", "value": [1, 2, 3]}})";
    ASSERT_EQ(server.handle(request("POST", "/api/edit", edit)).status, 200);
    anotherProgramAdds(host, path, "theirs");

    EditResponse r = server.handle(request("POST", "/api/save", "{}"));
    EXPECT_EQ(r.status, 409);
    Json answer = parseJson(r.body, "answer");
    EXPECT_EQ(answer["changed"], true);
    EXPECT_NE(
        answer["error"].get<std::string>().find(path + ": the file changed since it was read"),
        std::string::npos);
    EXPECT_EQ(answer["unsaved"], true) << "the state comes with the refusal";

    r = server.handle(request("POST", "/api/reload", R"({"reapply": true})"));
    ASSERT_EQ(r.status, 200) << r.body;
    answer = parseJson(r.body, "answer");
    EXPECT_EQ(answer["reapplied"], 1);
    EXPECT_EQ(answer["nodes"]["names"].size(), 4u) << "their node and the session's edit";
    EXPECT_EQ(server.handle(request("POST", "/api/save", "{}")).status, 200);

    // Overwrite, chosen: the other program's node is gone, as asked.
    anotherProgramAdds(host, path, "later");
    EXPECT_EQ(server.handle(request("POST", "/api/save", "{}")).status, 409);
    EXPECT_EQ(server.handle(request("POST", "/api/save", R"({"overwrite": true})")).status, 200);
    EXPECT_EQ(test::readFile(path), sceneText(session.scene()));
    EXPECT_EQ(test::readFile(path).find("\"later\""), std::string::npos);
}

TEST_F(Serving, MalformedRequestsAreAnsweredAndWriteNothing) {
    EditSession session(host, path);
    EditServer server(session, token, port);
    const std::vector<std::string> bodies = {
        R"({"edit": {"op": "set", "node": "dummy", "parm": "t", "value": [1, 2, 3]}})",
        R"({"edit": {"op": "pose", "node": "dummy", "world": [1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]}})",
        R"({"edit": {"op": "create", "type": "quenlo"}, "node": "q"})",
        R"({"edit": {"op": "keyframes", "node": "dummy", "parm": "t", "keys": [[0, 1], [1, 2]]}})",
        R"({"edit": {"op": "rename", "node": "dummy", "to": "d2"}, "merge": true})",
    };
    const std::vector<std::string> targets = {"/api/edit",         "/api/undo",   "/api/redo",
                                              "/api/state?node=q", "/api/script", "/api/quit"};
    std::mt19937 random(20261208);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    int answered = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string body = bodies[pick(bodies.size())];
        // A few bytes changed, dropped or repeated: mostly no longer JSON, or
        // JSON of the wrong shape.
        for (std::size_t n = 1 + pick(4); n > 0 && !body.empty(); --n) {
            const std::size_t at = pick(body.size());
            switch (pick(3)) {
            case 0:
                body[at] = static_cast<char>(random() % 256);
                break;
            case 1:
                body.erase(at, 1 + pick(8));
                break;
            default:
                body.insert(at, body.substr(at, 1 + pick(8)));
            }
        }
        EditRequest r = request(pick(4) == 0 ? "GET" : "POST", targets[pick(targets.size())], body);
        if (pick(10) == 0)
            r.headers["host"] = "127.0.0.1:" + std::to_string(random() % 65536);
        const EditResponse answer = server.handle(r);
        ASSERT_NE(answer.status, 500) << r.path << " " << body << "\n" << answer.body;
        EXPECT_NO_THROW(parseJson(answer.body, "answer")) << answer.body;
        answered += answer.status == 200;
    }
    EXPECT_GT(answered, 100) << "some requests were well-formed";
    // The session still serves, and only its scene was ever a file to write.
    EXPECT_EQ(server.handle(request("GET", "/api/state")).status, 200);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"rig.json"});
    EXPECT_EQ(test::readFile(path), opened);
}

// The playback cache behind the server: each frame it gives is every node's
// world matrix at that frame of the scene as it is, and none is given
// once the scene changed, until the fill made after the change is ready.
TEST_F(Serving, TheCacheGivesFramesOfTheSceneAsItIsAndNoneOnceItChanged) {
    EditSession session(host, path);
    std::mutex sessionLock;
    // Five frames of the three nodes, 16 float32 each.
    EditCache cache(5 * 3 * 16 * sizeof(float));
    EditServer server(session, token, port, &cache);
    const auto post = [&](const std::string& target, const Json& body) {
        const EditResponse r = server.handle(request("POST", target, body.dump()));
        EXPECT_EQ(r.status, 200) << target << " " << r.body;
        return parseJson(r.body, "state");
    };
    // Tends the cache as the keeper does until its fill ends.
    const auto filled = [&] {
        Json told = Json::object();
        for (int i = 0; i < 1000 && told.value("state", "") != "filled"; ++i) {
            if (std::optional<Json> now = cache.tend(session, sessionLock))
                told = *now;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return told;
    };
    // The frame's bytes as the page gets them, or "" when refused.
    const auto frame = [&](int f) {
        const EditResponse r =
            server.handle(request("GET", "/api/cache?frame=" + std::to_string(f)));
        if (r.status == 200) {
            EXPECT_EQ(
                r.headers.at("X-Mhost-Structure"),
                parseJson(server.handle(request("GET", "/api/state")).body, "state")["structure"]
                    .dump());
        }
        return r.status == 200 ? r.body : std::string();
    };
    // Every node's world matrix at the frame, cooked here, as float32.
    const auto cooked = [&](int f) {
        std::string bytes;
        const float time = session.scene().timeline().time(f);
        for (int i = 0; i < session.scene().root().getNchildren(); ++i) {
            OBJ_Node& node = *session.scene().root().getChild(i)->castToOBJNode();
            for (const double v : cookNode(node, time).world) {
                const float f32 = static_cast<float>(v);
                bytes.append(reinterpret_cast<const char*>(&f32), sizeof f32);
            }
        }
        return bytes;
    };

    // A shot of 12 frames in which the base moves; the page shows frame 8.
    post("/api/edit", {{"edit", {{"op", "timeline"}, {"start", 1}, {"end", 12}, {"fps", 24}}}});
    post("/api/edit", {{"edit", {{"op", "key"}, {"node", "base"}, {"parm", "t"}, {"time", 0}}}});
    Json move = set("base", "t", {6, 1, 0});
    move["time"] = 11.0 / 24; // frame 12
    const Json moved = post("/api/edit", {{"edit", move}, {"frame", 12}});
    EXPECT_EQ(moved["cache"]["state"], "waiting") << "an edit's answer waits for no fill";
    server.handle(request("GET", "/api/state?frame=8"));
    const Json told = filled();
    ASSERT_EQ(told["state"], "filled") << told.dump();
    // As many frames as the budget holds, from the page's on.
    EXPECT_EQ(told["frames"], 5);
    EXPECT_EQ(told["runs"], Json::parse("[[8, 12]]"));
    EXPECT_EQ(frame(7), "") << "not cached";
    for (const int f : {8, 10, 12})
        EXPECT_EQ(frame(f), cooked(f)) << "frame " << f;
    EXPECT_NE(frame(8), frame(12)) << "the base moves";

    // An edit: nothing is given until the fill made after it is ready.
    const Json edited = post("/api/edit", {{"edit", set("dummy", "t", {0, 0, 5})}, {"frame", 8}});
    EXPECT_EQ(edited["cache"]["state"], "waiting");
    EXPECT_GT(edited["cache"]["version"], told["version"]) << "a page drops what came before";
    EXPECT_EQ(frame(8), "");
    ASSERT_EQ(filled()["state"], "filled");
    EXPECT_EQ(frame(8), cooked(8)) << "the edit is in the frame";
    // So does an undo; a save leaves the scene, and the cache, as they are.
    post("/api/undo", {{"frame", 8}});
    EXPECT_EQ(frame(8), "");
    ASSERT_EQ(filled()["state"], "filled");
    EXPECT_EQ(frame(8), cooked(8));
    EXPECT_EQ(post("/api/save", Json::object())["cache"]["state"], "filled");
    EXPECT_FALSE(cache.tend(session, sessionLock).has_value());
    EXPECT_EQ(frame(9), cooked(9));

    // Without a cache, the timeline is told so and no frame is given.
    EditServer uncached(session, token, port);
    const EditResponse state = uncached.handle(request("GET", "/api/state"));
    EXPECT_EQ(parseJson(state.body, "state")["cache"]["state"], "off");
    EXPECT_EQ(uncached.handle(request("GET", "/api/cache?frame=8")).status, 404);
    EXPECT_EQ(uncached.handle(request("GET", "/api/cache?frame=x")).status, 400);
}

} // namespace
} // namespace mhost
