// Saves that never lose another process's work. A save over the file a scene
// was read from checks, at the moment of replacing it, that nobody changed the
// file since; two processes saving one file are serialized by the folder's
// lock; and a write cut short (the file-size limit, a signal, a kill) leaves
// the old file or the new one, never a mix, and no temporary file whenever
// mhost is still running to remove it.
#include "engine/host_session.hpp"
#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mhost {
namespace {

namespace fs = std::filesystem;
using test::Mhost;
using test::RunResult;
using test::TempDir;

const char* const kChanged = "the file changed since it was read; nothing was written";

// The failure save throws, or nothing.
std::optional<Failure> saveFailure(Scene& scene, const std::string& path, bool overwrite = false) {
    try {
        saveScene(scene, path, overwrite);
    } catch (const Failure& failure) {
        return failure;
    }
    return std::nullopt;
}

void expectChangedRefusal(const std::optional<Failure>& failure, const std::string& path) {
    ASSERT_TRUE(failure) << "the save went through";
    EXPECT_EQ(failure->code(), kExitBadInput);
    EXPECT_EQ(failure->kind(), FailureKind::Changed);
    EXPECT_EQ(std::string(failure->what()),
              path + ": " + kChanged + " (read it again, or save to another file)");
}

// Another program's save of path: a scene of its own with one node.
void saveElsewhere(Host& host, const std::string& path, const std::string& node) {
    Scene other(host);
    other.create("null", node);
    saveScene(other, path);
}

// Rewrites path in place (same inode), as an editor that does not rename
// would.
void rewriteInPlace(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(ContentHash, FedInPiecesIsTheHashOfTheWhole) {
    std::mt19937 random(7);
    std::string text(1000, '\0');
    for (char& c : text)
        c = static_cast<char>(random());
    for (int trial = 0; trial < 50; ++trial) {
        ContentHasher hasher;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t piece = std::min<std::size_t>(random() % 20, text.size() - at);
            hasher.add(std::string_view(text).substr(at, piece));
            at += piece;
        }
        ASSERT_EQ(hasher.value(), contentHash(text));
    }
    // A byte changed, moved or added makes different content.
    std::string other = text;
    other[500] ^= 1;
    EXPECT_NE(contentHash(other), contentHash(text));
    EXPECT_NE(contentHash(text + '\0'), contentHash(text));
    EXPECT_NE(contentHash("ab"), contentHash("ba"));
}

// A scene file, scene.json, that another program saved first.
class SafeSave : public ::testing::Test {
protected:
    void SetUp() override { saveElsewhere(host, path, "first"); }

    const TempDir dir;
    Host host;
    const std::string path = dir.file("scene.json");
};

TEST_F(SafeSave, ASaveOverAFileChangedSinceItWasReadIsRefusedAndWritesNothing) {
    Scene mine(host);
    loadScene(mine, path);
    mine.create("null", "mine");
    saveElsewhere(host, path, "theirs"); // the other program saves meanwhile
    const std::string theirs = test::readFile(path);

    expectChangedRefusal(saveFailure(mine, path), path);
    EXPECT_EQ(test::readFile(path), theirs) << "their change was lost";
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"scene.json"}) << "temporary file left";

    // A file rewritten in place, to the same size, within the clock tick of
    // the read (its times may not have changed): its content decides.
    Scene again(host);
    loadScene(again, path);
    std::string same = theirs;
    same[same.find("theirs")] = 'T';
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    rewriteInPlace(path, same);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    expectChangedRefusal(saveFailure(again, path), path);
    EXPECT_EQ(test::readFile(path), same);

    // And a file deleted since it was read.
    Scene gone(host);
    loadScene(gone, path);
    fs::remove(path);
    expectChangedRefusal(saveFailure(gone, path), path);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(SafeSave, AFileThatStillHoldsWhatWasReadIsReplacedAsOftenAsAsked) {
    Scene scene(host);
    loadScene(scene, path);
    for (const char* name : {"a", "b", "c"}) {
        scene.create("null", name);
        EXPECT_FALSE(saveFailure(scene, path)) << "save after " << name;
    }
    // The same content written anew (a new inode, new times) is no change.
    const std::string text = test::readFile(path);
    writeFileAtomically(path, text);
    scene.create("null", "d");
    EXPECT_FALSE(saveFailure(scene, path));

    // Through a link the file is the same file: checked, and kept current.
    const std::string link = dir.file("link.json");
    fs::create_symlink("scene.json", link);
    Scene viaLink(host);
    loadScene(viaLink, link);
    viaLink.create("null", "e");
    EXPECT_FALSE(saveFailure(viaLink, path));
    saveElsewhere(host, path, "theirs");
    expectChangedRefusal(saveFailure(viaLink, link), link);
    EXPECT_TRUE(fs::is_symlink(link));
}

TEST_F(SafeSave, SavesElsewhereToNewFilesOrWithOverwriteAreNotChecked) {
    Scene scene(host);
    loadScene(scene, path);
    saveElsewhere(host, path, "theirs");

    // Another file, even one that exists.
    saveElsewhere(host, dir.file("other.json"), "x");
    EXPECT_FALSE(saveFailure(scene, dir.file("other.json")));
    EXPECT_FALSE(saveFailure(scene, dir.file("new.json")));
    // A scene read from no file.
    Scene fresh(host);
    EXPECT_FALSE(saveFailure(fresh, path));
    // Overwrite, asked for: the scene's file is then the one it wrote.
    EXPECT_FALSE(saveFailure(scene, path, true));
    scene.create("null", "after");
    EXPECT_FALSE(saveFailure(scene, path));
}

// A scene file of n null nodes, as text.
std::string nullScene(int n) {
    std::string text = R"({"format": "mhost-scene", "version": 1, "modules": [], "nodes": [)";
    for (int i = 0; i < n; ++i)
        text += (i ? ", " : "") + std::string(R"({"name": "n)") + std::to_string(i) +
                R"(", "type": "null"})";
    return text + "]}\n";
}

// A script that adds one null node named name.
std::string addScript(const TempDir& dir, const std::string& name) {
    return dir.write("add_" + name + ".json",
                     R"([{"op": "create", "type": "null", "name": ")" + name + R"("}])");
}

bool holdsNode(Host& host, const std::string& path, const std::string& name) {
    Scene scene(host);
    loadScene(scene, path);
    return scene.root().findNode(name) != nullptr;
}

// Runs the test's body with the working folder set to folder.
class InFolder {
public:
    explicit InFolder(const fs::path& folder) : before_(fs::current_path()) {
        fs::current_path(folder);
    }
    ~InFolder() { fs::current_path(before_); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    fs::path before_;
};

TEST_F(SafeSave, AFileDeletedOrMovedAwaySinceItWasReadCountsAsChangedByAnyPath) {
    const InFolder here(dir.path());
    for (const std::string& named :
         {std::string("scene.json"), std::string("./scene.json"), path}) {
        SCOPED_TRACE(named);
        saveElsewhere(host, path, "first");
        Scene mine(host);
        loadScene(mine, named);
        fs::rename(path, dir.file("away.json")); // as `mv scene.json away.json`
        expectChangedRefusal(saveFailure(mine, named), named);
        EXPECT_FALSE(fs::exists(path)) << "the moved file was made again";
        fs::rename(dir.file("away.json"), path);
        fs::remove(path);
        expectChangedRefusal(saveFailure(mine, named), named);
        EXPECT_FALSE(fs::exists(path));
    }
}

TEST_F(SafeSave, AFileMadeWhereNoneWasWhenTheSceneStartedIsAChange) {
    const std::string fresh = dir.file("fresh.json");
    Scene mine(host);
    mine.setFile(absentFileStamp(fresh));
    saveElsewhere(host, fresh, "theirs");
    const std::string theirs = test::readFile(fresh);
    expectChangedRefusal(saveFailure(mine, fresh), fresh);
    EXPECT_EQ(test::readFile(fresh), theirs);
    // While none is there, the first save makes it, and later saves check
    // what it wrote.
    fs::remove(fresh);
    ASSERT_FALSE(saveFailure(mine, fresh));
    ASSERT_FALSE(saveFailure(mine, fresh));
    saveElsewhere(host, fresh, "theirs");
    expectChangedRefusal(saveFailure(mine, fresh), fresh);
}

TEST(SafeWrites, TwoRunsSavingOneSceneAtOnceNeverLoseAChangeTheyClaim) {
    REQUIRE_MODULE();
    const TempDir dir;
    Host host;
    const std::string path = dir.file("scene.json");
    const std::string a = addScript(dir, "a"), b = addScript(dir, "b");
    int refused = 0;
    for (int round = 0; round < 50; ++round) {
        dir.write("scene.json", nullScene(400));
        Mhost first({"run", a, "--scene", path, "--save", path}, dir.path());
        Mhost second({"run", b, "--scene", path, "--save", path}, dir.path());
        const RunResult ra = first.finish(), rb = second.finish();
        SCOPED_TRACE("round " + std::to_string(round) + "\na: " + test::describe(ra) +
                     "\nb: " + test::describe(rb));
        for (const auto& [result, node] : {std::pair{&ra, "a"}, std::pair{&rb, "b"}}) {
            if (result->status == 0) {
                EXPECT_TRUE(holdsNode(host, path, node)) << node << " said it saved";
            } else {
                ++refused;
                EXPECT_EQ(result->status, kExitBadInput);
                EXPECT_NE(result->err.find(kChanged), std::string::npos);
                EXPECT_FALSE(holdsNode(host, path, node));
            }
        }
        EXPECT_TRUE(ra.status == 0 || rb.status == 0) << "both were refused";
    }
    std::cout << refused << " of 100 runs were refused for the other's save\n";
}

// A dash shell command line for mhost with args, quoted.
std::string shellLine(const std::vector<std::string>& args) {
    std::string line = "exec '" MHOST_BINARY "'";
    for (const std::string& arg : args)
        line += " '" + arg + "'";
    return line;
}

// The names in dir that are temporary output files.
std::vector<std::string> temporaries(const TempDir& dir) {
    std::vector<std::string> found;
    for (const std::string& name : dir.entries())
        if (name.find(".mhost-") != std::string::npos)
            found.push_back(name);
    return found;
}

TEST(SafeWrites, AWriteBeyondTheFileSizeLimitFailsLikeAnyOtherWriteError) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string big = dir.write("big.json", nullScene(2000));
    const std::string empty = dir.write("empty.json", "[]");
    // A save, and bakes by one process and by two: 2000 nodes at 11
    // samples are 5,500 blocks of 512 bytes of matrices, which the bake's
    // memory takes and the kernel copies from it, and the file's header
    // goes past the limit.
    struct Writer {
        std::string name;
        int blocks;
        std::vector<std::string> args;
    };
    const std::vector<Writer> writers = {
        {"out.json", 64, {"run", empty, "--scene", big, "--save", "out.json"}},
        {"out.npy", 5500, {"bake", big, "--time", "0:1:10", "--out", "out.npy", "--threads", "1"}},
        {"out.npy", 5500, {"bake", big, "--time", "0:1:10", "--out", "out.npy", "--threads", "2"}},
        {"out.npy", 64, {"bake", big, "--time", "0:1:10", "--out", "out.npy", "--threads", "2"}},
    };
    for (const auto& [name, blocks, args] : writers) {
        const std::string out = dir.write(name, "the old file\n");
        // ulimit -f counts blocks of 512 bytes in dash.
        const RunResult r =
            test::runMhost({"-c", "ulimit -f " + std::to_string(blocks) + "; " + shellLine(args)},
                           dir.path(), MHOST_DSO_DIR, {}, "/dev/null", "/bin/sh");
        EXPECT_EQ(r.status, kExitRunFailure) << test::describe(r);
        EXPECT_NE(r.err.find(name + ": cannot write (write): File too large"), std::string::npos)
            << r.err;
        EXPECT_EQ(test::readFile(out), "the old file\n") << args[0];
        EXPECT_EQ(temporaries(dir), std::vector<std::string>{}) << args[0];
    }
}

TEST(SafeWrites, ABakeLargerThanTheMachineIsRefusedAtOnceAndWritesNothing) {
    REQUIRE_MODULE();
    const TempDir dir;
    // 200,000 nodes at 100,001 samples: 2.56 TB of world matrices. Bake
    // workers write a .npy file's matrices as they cook them, so the file
    // system refuses it; a USD layer is made from the bake in memory, so
    // the memory does.
    const std::string big = dir.write("big.json", nullScene(200000));
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"out.npy", "out.npy: cannot write: the file needs 2441430 MiB, and its file system has "},
        {"out.usda", "the bake needs 2441430 MiB of memory, which the system refused"},
    };
    for (const auto& [name, refusal] : refusals) {
        const std::string out = dir.write(name, "the old file\n");
        const RunResult r = test::runMhost(
            {"bake", big, "--time", "0:1:100000", "--out", name, "--threads", "2"}, dir.path());
        EXPECT_EQ(r.status, kExitRunFailure) << test::describe(r);
        EXPECT_NE(r.err.find(refusal), std::string::npos) << r.err;
        EXPECT_EQ(test::readFile(out), "the old file\n");
        EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
    }
}

// Waits until a temporary output file appears in dir; false after 20 s.
bool awaitTemporary(const TempDir& dir) {
    for (int i = 0; i < 100000; ++i) {
        if (!temporaries(dir).empty())
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

TEST(SafeWrites, SigintOrSigtermDuringASaveOrABakeRemovesTheTemporaryFile) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string big = dir.write("big.json", nullScene(15000));
    const std::string empty = dir.write("empty.json", "[]");
    const std::vector<std::vector<std::string>> writers = {
        {"run", empty, "--scene", big, "--save", "out.json"},
        {"bake", big, "--time", "0:1:400", "--out", "out.npy", "--threads", "1"},
    };
    for (const auto& args : writers) {
        for (const int signal : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(args[0] + " stopped by signal " + std::to_string(signal));
            Mhost writer(args, dir.path());
            ASSERT_TRUE(awaitTemporary(dir)) << "no temporary file showed";
            ::kill(writer.pid(), signal);
            const RunResult r = writer.finish();
            EXPECT_EQ(r.signal, signal) << test::describe(r);
            EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
            EXPECT_FALSE(fs::exists(dir.file(args[0] == "run" ? "out.json" : "out.npy")));
        }
    }
}

// Runs args until the moment of kill (SIGKILL), then checks each target
// holds its old bytes or its new ones, never anything else.
TEST(SafeWrites, KilledAtAnyMomentASaveOrABakeLeavesTheOldFileOrTheNewOne) {
    REQUIRE_MODULE();
    const char* given = std::getenv("MHOST_TORTURE_SEED");
    const unsigned seed = given ? unsigned(std::strtoul(given, nullptr, 10)) : 20261209u;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (MHOST_TORTURE_SEED repeats a run)");
    std::mt19937 random(seed);
    const TempDir dir;
    Host host;
    const std::string scene = dir.write("scene.json", nullScene(500));
    const std::string add = addScript(dir, "added");

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> targets;
    };
    const std::vector<Case> cases = {
        {{"run", add, "--scene", "scene.json", "--save", "scene.json"}, {"scene.json"}},
        {{"bake", "scene.json", "--time", "0:1:50", "--out", "bake.npy", "--threads", "2"},
         {"bake.npy", "bake.json"}},
    };
    for (const Case& c : cases) {
        // The old files, the new ones, and how long a whole run takes.
        std::vector<std::string> before, after;
        dir.write("scene.json", nullScene(500));
        if (c.args[0] == "bake") {
            std::vector<std::string> shorter = c.args;
            shorter[3] = "0:1:49";
            ASSERT_EQ(test::runMhost(shorter, dir.path()).status, 0);
        }
        for (const std::string& t : c.targets)
            before.push_back(test::readFile(dir.file(t)));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(test::runMhost(c.args, dir.path()).status, 0);
        const auto whole = std::chrono::steady_clock::now() - start;
        for (const std::string& t : c.targets)
            after.push_back(test::readFile(dir.file(t)));
        ASSERT_NE(before, after);

        int oldKept = 0, newMade = 0;
        std::uniform_int_distribution<long long> moment(
            0, std::chrono::duration_cast<std::chrono::microseconds>(whole).count() * 6 / 5);
        for (int attempt = 0; attempt < 150; ++attempt) {
            for (std::size_t i = 0; i < c.targets.size(); ++i)
                dir.write(c.targets[i], before[i]);
            const long long at = moment(random);
            Mhost victim(c.args, dir.path());
            std::this_thread::sleep_for(std::chrono::microseconds(at));
            ::kill(victim.pid(), SIGKILL);
            victim.finish();
            for (std::size_t i = 0; i < c.targets.size(); ++i) {
                const std::string now = test::readFile(dir.file(c.targets[i]));
                ASSERT_TRUE(now == before[i] || now == after[i])
                    << c.targets[i] << " is neither old nor new after a kill at " << at
                    << " us (attempt " << attempt << ")";
                (now == before[i] ? oldKept : newMade)++;
            }
            if (c.args[0] == "run") {
                Scene readable(host);
                EXPECT_NO_THROW(loadScene(readable, dir.file("scene.json")));
            }
            for (const std::string& name : temporaries(dir))
                fs::remove(dir.file(name)); // a kill leaves them; nothing can remove them
        }
        std::cout << c.args[0] << ": " << oldKept << " old, " << newMade << " new after kills\n";
    }
}

} // namespace
} // namespace mhost
