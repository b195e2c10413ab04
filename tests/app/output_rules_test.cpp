// No command ever destroys a file it was not asked to write: an output that
// is one of the command's inputs, or another of its outputs, is refused
// before any work; a command writes all its outputs or none; standard
// streams are written through, never replaced; permissions, missing
// folders and files changed since they were read are respected.
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mhost {
namespace {

namespace fs = std::filesystem;
using test::describe;
using test::Mhost;
using test::readFile;
using test::runMhost;
using test::RunResult;
using test::TempDir;

// Every entry under root, by its path below root: a file's content, a
// link's target ("-> target"), a folder's mark ("/").
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const fs::path& root) {
    Snapshot entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        if (entry.is_symlink())
            entries[name] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            entries[name] = "/";
        else
            entries[name] = readFile(entry.path().string());
    }
    return entries;
}

const char* const kReplacesInput = ", which is read: an output must not replace an input; "
                                   "nothing was done";
const char* const kSameOutputs =
    " are the same file: one output would replace the other; nothing was done";

// A folder holding the worked example's scene as shot.json ("arm" keyed
// under "base", "dummy" its key dummy), sub/, and a copy of the module
// folder in mods/, so that a test that fails cannot harm the build's.
class OutputRules : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_MODULE();
        fs::copy_file(test::rigScenePath(), dir.file("shot.json"));
        fs::create_directory(dir.file("sub"));
        fs::create_directory(dir.file("mods"));
        fs::copy_file(test::modulePath(), dir.file("mods/OBJ_Quenlo.so"));
    }

    RunResult mhost(const std::vector<std::string>& args) const {
        return runMhost(args, dir.path(), dir.file("mods"));
    }

    // Runs args and expects it refused with status and the message holding
    // each of `says`, every file of the folder as it was.
    void expectRefused(const std::vector<std::string>& args, int status,
                       const std::vector<std::string>& says) const {
        const Snapshot before = snapshot(dir.path());
        const RunResult r = mhost(args);
        std::string command;
        for (const std::string& arg : args)
            command += arg + " ";
        SCOPED_TRACE(command);
        EXPECT_EQ(r.status, status) << describe(r);
        for (const std::string& said : says)
            EXPECT_NE(r.err.find(said), std::string::npos) << "missing: " << said << "\n" << r.err;
        EXPECT_EQ(snapshot(dir.path()), before) << "a file changed";
    }

    const TempDir dir;
};

TEST_F(OutputRules, ABakeWhoseSideFileIsItsSceneIsRefusedBeforeAnyWork) {
    fs::create_symlink("shot.json", dir.file("link.json"));
    expectRefused({"bake", "shot.json", "--time", "0:1:4", "--out", "shot.npy"}, 2,
                  {"the side file of --out \"shot.json\" is the same file as SCENE "
                   "\"shot.json\"" +
                   std::string(kReplacesInput)});
    expectRefused({"bake", "link.json", "--time", "0:1:4", "--out", "link.npy"}, 2,
                  {"the side file of --out \"link.json\" is the same file as SCENE \"link.json\""});
    expectRefused({"bake", "shot.json", "--time", "0:1:4", "--out", "sub/../shot.npy"}, 2,
                  {"the side file of --out \"sub/../shot.json\" is the same file as SCENE"});
    fs::copy_file(dir.file("shot.json"), dir.file("shot.gltf"));
    expectRefused({"bake", "shot.gltf", "--time", "0:1:4", "--out", "shot.gltf"}, 2,
                  {"--out \"shot.gltf\" is the same file as SCENE \"shot.gltf\""});
}

TEST_F(OutputRules, AnExportOverTheSceneItShowsIsRefused) {
    fs::create_symlink("shot.json", dir.file("link.json"));
    for (const char* option : {"--gltf", "--html", "--plot"})
        for (const char* target : {"shot.json", "link.json"})
            expectRefused({"eval", "shot.json", "arm", "--driver", "0:1:4", option, target}, 2,
                          {std::string(option) + " \"" + target +
                           "\" is the same file as SCENE \"shot.json\""});
}

TEST_F(OutputRules, KeysNeverWriteOverTheSceneOrTheLibraryTheyRead) {
    for (const std::string& target :
         {std::string("shot.json"), std::string("./shot.json"), dir.file("sub/../shot.json")})
        expectRefused({"keys", "shot.json", "arm", "--export", target}, 2,
                      {"--export \"" + target + "\" is the same file as SCENE \"shot.json\""});
    ASSERT_EQ(mhost({"keys", "shot.json", "arm", "--export", "lib.json"}).status, 0);
    expectRefused({"keys", "shot.json", "arm", "--import", "lib.json", "--save", "lib.json"}, 2,
                  {"--save \"lib.json\" is the same file as --import \"lib.json\""});
}

TEST_F(OutputRules, AScriptNeverWritesOverItselfOrTheSceneItStartsFrom) {
    dir.write("s.json", "[]");
    expectRefused({"run", "s.json", "--save", "s.json"}, 2,
                  {"--save \"s.json\" is the same file as SCRIPT \"s.json\""});
    dir.write("saves.json", R"([{"op": "save", "path": "saves.json"}])");
    expectRefused({"run", "saves.json"}, 2,
                  {"saves.json: actions[0] (save) \"saves.json\" is the same file as SCRIPT"});
    dir.write("exports.json", R"([{"op": "export-keys", "node": "arm", "file": "exports.json"}])");
    expectRefused({"run", "exports.json", "--scene", "shot.json"}, 2,
                  {"exports.json: actions[0] (export-keys) \"exports.json\" is the same file as "
                   "SCRIPT"});
    // The key library onto the scene the script starts from and saves.
    dir.write("keys.json", R"([{"op": "export-keys", "node": "arm", "file": "shot.json"}])");
    expectRefused({"run", "keys.json", "--scene", "shot.json", "--save", "shot.json"}, 2,
                  {"keys.json: actions[0] (export-keys) \"shot.json\" is the same file as --scene "
                   "\"shot.json\""});
}

TEST_F(OutputRules, NoCommandWritesOverAModuleItLoads) {
    fs::copy_file(dir.file("mods/OBJ_Quenlo.so"), dir.file("m.so"));
    expectRefused({"validate", "./m.so", "--junit", "./m.so"}, 2,
                  {"--junit \"./m.so\" is the same file as MODULE \"./m.so\""});
    expectRefused({"--module", "./m.so", "demo", "--gltf", "./m.so"}, 2,
                  {"--gltf \"./m.so\" is the same file as the loaded module"});
    expectRefused({"eval", "shot.json", "arm", "--driver", "0:1:4", "--plot", "mods/OBJ_Quenlo.so"},
                  2, {"--plot \"mods/OBJ_Quenlo.so\" is the same file as the loaded module"});
    const RunResult info = mhost({"info"});
    EXPECT_EQ(info.status, 0) << describe(info);
}

TEST_F(OutputRules, TheSceneAScriptReadsIsStillSavedInPlace) {
    dir.write("empty.json", "[]");
    dir.write("edit.json", R"([{"op": "set", "node": "base", "parm": "t", "value": [1, 2, 3]}])");
    RunResult r = mhost({"run", "edit.json", "--scene", "shot.json", "--save", "shot.json"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(readFile(dir.file("shot.json")).find("\"t\": [1.0, 2.0, 3.0]"), std::string::npos);
    dir.write("inplace.json", R"([{"op": "load", "path": "shot.json"},
        {"op": "set", "node": "base", "parm": "t", "value": [4, 5, 6]},
        {"op": "save", "path": "shot.json"}])");
    r = mhost({"run", "inplace.json"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(readFile(dir.file("shot.json")).find("\"t\": [4.0, 5.0, 6.0]"), std::string::npos);
    // A load after the save would read the file before the save is made.
    dir.write("late.json", R"([{"op": "save", "path": "shot.json"},
        {"op": "load", "path": "shot.json"}])");
    expectRefused({"run", "late.json"}, 2,
                  {"late.json: actions[0] (save) \"shot.json\" is the same file as late.json: "
                   "actions[1] (load) \"shot.json\""});
}

TEST_F(OutputRules, TwoOutputsNamingOneFileAreRefused) {
    const std::vector<std::string> eval = {"eval", "shot.json", "arm", "--driver", "0:1:4"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = eval;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    dir.write("out.svg", "old");
    expectRefused(with({"--plot", "out.svg", "--html", "out.svg"}), 2,
                  {"--plot \"out.svg\" and --html \"out.svg\"" + std::string(kSameOutputs)});
    expectRefused({"demo", "--plot", "v.svg", "--gltf", "./v.svg"}, 2,
                  {"--plot \"v.svg\" and --gltf \"./v.svg\"" + std::string(kSameOutputs)});
    fs::create_symlink("b.html", dir.file("a.svg"));
    expectRefused(with({"--plot", "a.svg", "--html", "b.html"}), 2,
                  {"--plot \"a.svg\" and --html \"b.html\"" + std::string(kSameOutputs)});
    fs::create_symlink("t.npy", dir.file("t.json"));
    expectRefused(
        {"bake", "shot.json", "--time", "0:1:4", "--out", "t.npy"}, 2,
        {"--out \"t.npy\" and the side file of --out \"t.json\"" + std::string(kSameOutputs)});
}

TEST_F(OutputRules, ACommandThatFailsLeavesEveryOutputAsItWas) {
    dir.write("ok.svg", "old plot");
    dir.write("ok.html", "old page");
    // A folder that does not exist is found before the sweep.
    expectRefused({"eval", "shot.json", "arm", "--driver", "0:1:4", "--plot", "ok.svg", "--gltf",
                   "nodir/x.gltf", "--html", "ok.html"},
                  1, {"nodir/x.gltf: cannot write: no such folder"});
    // A key dummy that cannot be cooked cannot be drawn: nothing is written.
    std::string broken = readFile(dir.file("shot.json"));
    const std::size_t dummy = broken.find("\"t\"", broken.find("\"name\": \"dummy\""));
    ASSERT_NE(dummy, std::string::npos);
    broken.replace(broken.find('[', dummy) + 1, 3, "\"nan\"");
    dir.write("broken.json", broken);
    expectRefused({"eval", "broken.json", "arm", "--driver", "0:1:4", "--plot", "ok.svg", "--gltf",
                   "x.gltf", "--html", "ok.html"},
                  1,
                  {"cooking node \"dummy\" (null) failed at time 0: Transform parameters are not "
                   "finite numbers"});
    // A script's own saves wait for its end.
    dir.write("fails.json", R"([{"op": "save", "path": "early.json"},
        {"op": "set", "node": "nosuch", "parm": "t", "value": 1}])");
    expectRefused({"run", "fails.json", "--scene", "shot.json"}, 2, {"no node named \"nosuch\""});
}

TEST_F(OutputRules, AFormatIsPickedByExtensionInEitherCaseOrRefused) {
    RunResult r = mhost({"eval", "shot.json", "arm", "--driver", "0:1:4", "--gltf", "out.GLB"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(readFile(dir.file("out.GLB")).substr(0, 4), "glTF") << "not binary glTF";
    expectRefused({"demo", "--gltf", "out.txt"}, 2,
                  {"--gltf \"out.txt\": the file name must end in .gltf or .glb"});
    r = mhost({"bake", "shot.json", "--time", "0:1:4", "--out", "B.NPY"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(readFile(dir.file("B.NPY")).substr(1, 5), "NUMPY");
    EXPECT_TRUE(fs::exists(dir.file("B.json")));
    expectRefused({"validate", "mods/OBJ_Quenlo.so", "--exclude", "*"}, 2,
                  {"--include and --exclude leave no check to run"});
}

// A shell runs mhost with its standard streams redirected as `shell` says:
// "$0" is mhost, "$@" its arguments.
RunResult inShell(const TempDir& dir, const std::string& shell,
                  const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-c", shell, MHOST_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    return runMhost(all, dir.path(), MHOST_DSO_DIR, {}, "/dev/null", "/bin/bash");
}

TEST(StandardStreams, AreWrittenThroughTheStreamOpenThereNeverReplaced) {
    const TempDir dir;
    dir.write("s.json", R"([{"op": "create", "type": "null", "name": "a"}])");
    // A file behind >> is appended to, in place.
    const std::string log = dir.write("build.log", "earlier line\n");
    struct stat before {};
    ASSERT_EQ(::stat(log.c_str(), &before), 0);
    RunResult r =
        inShell(dir, "exec \"$0\" \"$@\" >> build.log", {"run", "s.json", "--save", "/dev/stdout"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::string logged = readFile(log);
    EXPECT_EQ(logged.rfind("earlier line\n{", 0), 0u) << logged;
    EXPECT_NE(logged.find("\"mhost-scene\""), std::string::npos);
    struct stat after {};
    ASSERT_EQ(::stat(log.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the log was replaced";

    // A pipe gets the bytes; /dev/stderr and /dev/fd/N likewise.
    r = inShell(dir, "set -o pipefail; \"$0\" \"$@\" | cat > piped.json",
                {"run", "s.json", "--save", "/dev/stdout"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(readFile(dir.file("piped.json")).find("\"mhost-scene\""), std::string::npos);
    dir.write("err.log", "before\n");
    r = inShell(dir, "exec \"$0\" \"$@\" 2>> err.log",
                {"demo", "--steps", "2", "--plot", "/dev/stderr"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(readFile(dir.file("err.log")).rfind("before\n<svg", 0), 0u);
    r = inShell(dir, "exec \"$0\" \"$@\" 3> fd3.json", {"run", "s.json", "--save", "/dev/fd/3"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(readFile(dir.file("fd3.json")).find("\"mhost-scene\""), std::string::npos);

    // Standard input is the script here: refused, the script kept.
    const std::string script = readFile(dir.file("s.json"));
    r = inShell(dir, "exec \"$0\" \"$@\" < s.json", {"run", "-", "--save", "/dev/stdin"});
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_NE(r.err.find("/dev/stdin: standard input is open for reading only"), std::string::npos)
        << r.err;
    EXPECT_EQ(readFile(dir.file("s.json")), script);
    EXPECT_EQ(dir.entries().size(), 5u) << "a temporary file was left";
}

// Runs mhost without root's power over files where the tests run as root
// (root may write any file, as cp may): still user 0, which keeps the build
// folder (perhaps open to its owner alone) in reach, but with no capability
// and none regained on exec, so that only the files' modes and owners count.
RunResult withoutRoot(const TempDir& dir, const std::vector<std::string>& args) {
    if (::geteuid() != 0)
        return runMhost(args, dir.path(), "");
    std::vector<std::string> all = {"--securebits=+noroot,+noroot_locked", "--bounding-set=-all",
                                    "--inh-caps=-all", "--ambient-caps=-all", MHOST_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    return runMhost(all, dir.path(), "", {}, "/dev/null", "/usr/bin/setpriv");
}

TEST(Permissions, ATargetTheUserMayNotWriteIsRefusedAsCpRefusesIt) {
    const TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string empty = dir.write("empty.json", "[]");
    ::chmod(empty.c_str(), 0644);
    const std::string readOnly = dir.write("ro.json", "read only");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    RunResult r = withoutRoot(dir, {"run", "empty.json", "--save", "ro.json"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("ro.json: cannot write: permission denied"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(readOnly), "read only");

    if (::geteuid() != 0)
        return; // another user's file needs another user
    // Another user's file in a shared folder (sticky, as /tmp, and owned by
    // a third): not even one the user could write may be replaced.
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
    ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
    const std::string theirs = dir.write("theirs.json", "theirs");
    ASSERT_EQ(::chmod(theirs.c_str(), 0666), 0);
    ASSERT_EQ(::chown(theirs.c_str(), 65533, 65533), 0);
    r = withoutRoot(dir, {"run", "empty.json", "--save", "theirs.json"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("theirs.json: cannot write: permission denied (another user's file in "
                         "a shared folder)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(readFile(theirs), "theirs");
    // And a folder the user may not write.
    fs::create_directory(dir.file("closed"));
    ASSERT_EQ(::chmod(dir.file("closed").c_str(), 0755), 0);
    ASSERT_EQ(::chown(dir.file("closed").c_str(), 65534, 65534), 0);
    r = withoutRoot(dir, {"run", "empty.json", "--save", "closed/x.json"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("closed/x.json: cannot write: permission denied (the folder"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(dir.entries().size(), 4u);
}

TEST(FolderLock, ASaveWaitsAFewSecondsForAnotherProcessesLockThenFails) {
    const TempDir dir;
    dir.write("empty.json", "[]");
    dir.write("out.json", "old");
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    RunResult r = runMhost({"run", "empty.json", "--save", "out.json"}, dir.path(), "");
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("waiting for another process's lock on the folder"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("out.json: another process held the lock on the folder"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(readFile(dir.file("out.json")), "old");
    EXPECT_EQ(dir.entries().size(), 2u) << "a temporary file was left";

    // A lock let go within the wait lets the save through.
    Mhost waiting({"run", "empty.json", "--save", "out.json"}, dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ::close(folder);
    r = waiting.finish();
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(readFile(dir.file("out.json")).find("mhost-scene"), std::string::npos);
}

TEST(LongNames, EveryNameTheSystemTakesCanBeSaved) {
    const TempDir dir;
    dir.write("empty.json", "[]");
    for (const std::size_t length : {240u, 250u, 255u}) {
        const std::string name = std::string(length - 5, 'n') + ".json";
        const RunResult r = runMhost({"run", "empty.json", "--save", name}, dir.path(), "");
        ASSERT_EQ(r.status, 0) << describe(r);
        EXPECT_NE(readFile(dir.file(name)).find("mhost-scene"), std::string::npos);
    }
    // Two characters of UTF-8 each: shortened at a character's end.
    std::string name;
    while (name.size() < 248)
        name += "\xc3\xa9";
    name += ".json";
    const RunResult r = runMhost({"run", "empty.json", "--save", name}, dir.path(), "");
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(dir.entries().size(), 5u) << "a temporary file was left";
}

} // namespace
} // namespace mhost
