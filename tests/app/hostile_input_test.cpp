// What a scene, a script or an output path can make mhost do: no more than
// it says. Each case is input an attacker or a careless pipeline could hand
// the host program.
#include "test_support.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mhost {
namespace {

namespace fs = std::filesystem;
using test::describe;
using test::readFile;
using test::runMhost;
using test::RunResult;
using test::TempDir;

const std::string kModules = MHOST_TEST_MODULE_DIR;

std::string sceneNaming(const std::string& module) {
    return R"({"format": "mhost-scene", "version": 1, "modules": [)" + Json(module).dump() +
           R"(], "nodes": []})";
}

TEST(SceneModules, AreLookedUpOnTheSearchPathAndNeverMappedFromAPath) {
    const TempDir dir;
    const std::string marker = dir.file("mapped");
    const std::vector<std::string> env{"TEST_MODULE_MARKER=" + marker};
    const std::string empty = dir.write("empty.json", "[]");
    fs::create_directory(dir.file("work"));

    // The marker module proves itself: mapped by --module, it leaves its file.
    const RunResult control =
        runMhost({"--module", kModules + "/marker/test_marker.so", "info"}, dir.path(), "", env);
    ASSERT_EQ(control.status, 0) << describe(control);
    ASSERT_TRUE(fs::exists(marker)) << "the marker module did not mark";
    fs::remove(marker);

    const std::string relative =
        fs::relative(kModules + "/marker/test_marker.so", dir.file("work")).string();
    for (const std::string& name :
         {kModules + "/marker/test_marker.so", relative, std::string("marker/test_marker.so"),
          std::string(".."), std::string("")}) {
        SCOPED_TRACE(name);
        const std::string scene = dir.write("scene.json", sceneNaming(name));
        const RunResult r =
            runMhost({"run", empty, "--scene", scene}, dir.file("work"), dir.file("work"), env);
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_NE(r.err.find("scene.json: module " + Json(name).dump() +
                             ": a scene names modules by file name only"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(marker)) << "the scene mapped a module by its path";
    }

    // A plain name is found on the search path, and only there.
    const RunResult found =
        runMhost({"run", empty, "--scene", dir.write("ok.json", sceneNaming("test_marker.so"))},
                 dir.path(), kModules + "/marker", env);
    EXPECT_EQ(found.status, 0) << describe(found);
    EXPECT_TRUE(fs::exists(marker));
}

TEST(ModuleLoading, AModuleWhoseRegistrationThrowsIsRefusedByName) {
    const TempDir dir;
    const std::string module = kModules + "/throws/test_throws.so";
    const RunResult r = runMhost({"--module", module, "info"}, dir.path(), "");
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_NE(r.err.find(module + ": newObjectOperator threw: boom"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("internal error"), std::string::npos) << r.err;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode;
}

// Saves an empty scene to target with a script's "save" action and with
// --save; both go through the same writer.
RunResult saveTo(const TempDir& dir, const std::string& target) {
    const std::string script =
        dir.write("save.json", R"([{"op": "save", "path": )" + Json(target).dump() + "}]");
    return runMhost({"run", script}, dir.path(), "");
}

TEST(OutputFiles, AreWrittenThroughLinksAndKeepTheirPermissions) {
    const TempDir dir;
    const std::string empty = dir.write("empty.json", "[]");

    // A link stays a link; the file it names gets the scene.
    fs::create_directory(dir.file("real"));
    const std::string target = dir.write("real/scene.json", "old");
    fs::create_symlink("real/scene.json", dir.file("link.json"));
    RunResult r = runMhost({"run", empty, "--save", "link.json"}, dir.path(), "");
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(S_ISLNK(modeOf(dir.file("link.json"))));
    EXPECT_NE(readFile(target).find("mhost-scene"), std::string::npos);
    EXPECT_EQ(dir.entries().size(), 3u) << "a temporary file was left beside the link";
    EXPECT_EQ(fs::directory_iterator(dir.file("real"))->path().filename(), "scene.json");

    // A dangling link creates the file it names.
    fs::create_symlink("real/new.json", dir.file("dangling.json"));
    r = saveTo(dir, "dangling.json");
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(S_ISLNK(modeOf(dir.file("dangling.json"))));
    EXPECT_NE(readFile(dir.file("real/new.json")).find("mhost-scene"), std::string::npos);

    // A replaced file keeps its permission bits; root may replace a file
    // without write permission, as cp may.
    std::vector<mode_t> modes = {0600, 0640};
    if (::geteuid() == 0)
        modes.push_back(0444);
    for (const mode_t mode : modes) {
        const std::string kept = dir.write("kept.json", "old");
        ASSERT_EQ(::chmod(kept.c_str(), mode), 0);
        r = runMhost({"run", empty, "--save", kept}, dir.path(), "");
        ASSERT_EQ(r.status, 0) << describe(r);
        EXPECT_EQ(modeOf(kept) & 07777, mode);
        EXPECT_NE(readFile(kept).find("mhost-scene"), std::string::npos);
        fs::remove(kept);
    }
}

TEST(OutputFiles, RefuseAnythingButARegularFile) {
    const TempDir dir;
    const std::string empty = dir.write("empty.json", "[]");
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(dir.file("folder"));
    fs::create_symlink("loop2", dir.file("loop1"));
    fs::create_symlink("loop1", dir.file("loop2"));
    fs::create_symlink("pipe", dir.file("to-pipe"));

    const struct {
        const char* target;
        const char* expected;
    } cases[] = {
        {"pipe", "pipe: a FIFO; mhost writes only regular files"},
        {"to-pipe", "to-pipe: a FIFO"},
        {"folder", "folder: a folder"},
        {"loop1", "loop1: too many levels of symbolic links"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        for (const RunResult& r :
             {runMhost({"run", empty, "--save", c.target}, dir.path(), ""), saveTo(dir, c.target),
              runMhost({"demo", "--steps", "1", "--gltf", c.target}, dir.path(), ""),
              runMhost({"demo", "--steps", "1", "--html", c.target}, dir.path(), "")}) {
            EXPECT_EQ(r.status, 2) << describe(r);
            EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
        }
    }
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo))) << "the FIFO was replaced";
    EXPECT_TRUE(fs::is_directory(dir.file("folder")));
}

TEST(InputFiles, LargerThanTheCapAreRefusedBeforeBeingReadWhole) {
    const TempDir dir;
    // A sparse file reports its size: refused without reading a byte of it.
    const std::string big = dir.file("big.json");
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(300) << 20), 0);
    ::close(fd);
    for (const auto& args :
         {std::vector<std::string>{"run", big}, std::vector<std::string>{"eval", big, "q"},
          std::vector<std::string>{"run", "/dev/zero"}}) {
        SCOPED_TRACE(args[1]);
        const RunResult r = runMhost(args, dir.path(), "");
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_NE(r.err.find(args[1] + ": larger than the 256 MiB"), std::string::npos) << r.err;
    }
    const RunResult folder = runMhost({"run", dir.path().string()}, dir.path(), "");
    EXPECT_EQ(folder.status, 2) << describe(folder);
    EXPECT_NE(folder.err.find("it is a folder"), std::string::npos) << folder.err;
}

TEST(MalformedInput, ExitsTwoWithAFileLineAndColumn) {
    const TempDir dir;
    const struct {
        const char* what;
        std::string text;
        const char* expected;
    } cases[] = {
        {"a number beyond the double range",
         "[{\"op\": \"eval\", \"node\": \"a\",\n  \"time\": 1e309}]",
         "s.json:2:11: malformed JSON: the number 1e309 is beyond the range of a double"},
        {"a negative one", "[{\"op\": \"eval\", \"node\": \"a\", \"time\": -1e99999}]",
         "s.json:1:38: malformed JSON: the number -1e99999"},
        {"bytes after a NUL that ends the document", std::string("[]\0garbage", 10),
         "s.json:1:3: malformed JSON: a NUL byte"},
        {"a key twice", "[{\"op\": \"create\", \"type\": \"null\",\n  \"type\": \"quenlo\"}]",
         "s.json:2:3: malformed JSON: the key \"type\" appears twice in one object"},
        {"a NUL character in a name",
         "[{\"op\": \"create\", \"type\": \"null\", \"name\": \"a\\u0000b\"}]",
         "s.json:1:43: malformed JSON: a text holds a NUL character"},
        {"a NUL character in a key", "[{\"op\\u0000\": \"create\"}]",
         "s.json:1:3: malformed JSON: a key holds a NUL character"},
        {"nesting without end", std::string(100000, '['), "s.json:1:513: malformed JSON: nesting"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string script = dir.write("s.json", c.text);
        const RunResult r = runMhost({"run", "s.json", "--save", "out.json"}, dir.path(), "");
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("out.json")));
    }
}

TEST(MalformedInput, NamesInMessagesArePrintedEscaped) {
    const TempDir dir;
    const std::string script = dir.write("s.json", R"([
        {"op": "create", "type": "null", "name": "red\u001b[31m\nline"},
        {"op": "get", "node": "red\u001b[31m\nline", "parm": "nope\tx"}])");
    const RunResult r = runMhost({"run", script}, dir.path(), "");
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_NE(r.err.find(R"(node "red\u001b[31m\nline" (null) has no parameter "nope\tx")"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST(ScriptCounts, AreRefusedOutOfRangeAsTheSceneReaderRefusesThem) {
    REQUIRE_MODULE();
    const TempDir dir;
    for (const char* count : {"1e9", "-5", "2.5", "65537"}) {
        SCOPED_TRACE(count);
        const std::string script =
            dir.write("s.json", std::string(R"([{"op": "create", "type": "quenlo", "name": "q"},
                {"op": "set", "node": "q", "parm": "numkeys", "value": )") +
                                    count + "}]");
        const RunResult r = runMhost({"run", script}, dir.path());
        EXPECT_EQ(r.status, 2) << describe(r);
        const std::string expected = "parameter \"numkeys\" of node \"q\" (quenlo): an instance "
                                     "count must be a whole number from 0 to 65536, not ";
        EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;

        const std::string scene = dir.write(
            "scene.json", std::string(R"({"format": "mhost-scene", "version": 1, "nodes": [
                {"name": "q", "type": "quenlo", "parms": {"numkeys": )") +
                              count + "}}]}");
        const RunResult loaded = runMhost({"eval", scene, "q"}, dir.path());
        EXPECT_EQ(loaded.status, 2) << describe(loaded);
        EXPECT_NE(loaded.err.find("an instance count must be a whole number from 0 to 65536"),
                  std::string::npos)
            << loaded.err;
    }
}

} // namespace
} // namespace mhost
