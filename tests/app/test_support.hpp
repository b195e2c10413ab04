// Helpers of the mhost tests: temporary folders, files and running the
// built mhost.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace mhost::test {

// A fresh folder, removed with everything in it when the object is destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // path() / name as a string.
    std::string file(const std::string& name) const;
    // Writes text to path() / name and returns its path.
    std::string write(const std::string& name, const std::string& text) const;
    // Names of the entries of path().
    std::vector<std::string> entries() const;

private:
    std::filesystem::path path_;
};

std::string readFile(const std::string& path);

// The offset in text that a "SOURCE:LINE:COL: malformed JSON: ..." message
// points at, or npos when the message is not one.
std::size_t offsetOf(const std::string& text, const std::string& message,
                     const std::string& source);

struct RunResult {
    int status = -1; // exit status, or -1 when mhost did not exit normally
    int signal = 0;  // the signal that ended it, or 0
    std::string out;
    std::string err;
};

// A running mhost, its output going to files until finish() reads them.
class Mhost {
public:
    // Starts the built mhost as runMhost does.
    Mhost(const std::vector<std::string>& args, const std::string& cwd,
          const std::vector<std::string>& extraEnv = {});
    // Kills it (SIGKILL) if it is still running.
    ~Mhost();
    Mhost(const Mhost&) = delete;
    Mhost& operator=(const Mhost&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for it to end.
    RunResult finish();

private:
    TempDir capture_;
    pid_t pid_ = -1;
};

// Runs the built mhost with args in folder cwd. MORVANE_DSO_PATH is set to
// dsoPath (the build's module folder by default); an empty dsoPath leaves it
// unset. extraEnv adds "NAME=value" entries to the environment; standard input
// reads from stdinPath. program runs instead of mhost when given (a shell
// that starts mhost under some limit).
RunResult runMhost(const std::vector<std::string>& args, const std::string& cwd,
                   const std::string& dsoPath = MHOST_DSO_DIR,
                   const std::vector<std::string>& extraEnv = {},
                   const std::string& stdinPath = "/dev/null",
                   const std::string& program = MHOST_BINARY);

// One JSON document per line of text (mhost run's reports).
std::vector<nlohmann::ordered_json> jsonLines(const std::string& text);

// The actions of a script that makes `chains` chains of `length` null nodes
// ("n<chain>_<place>"), each turning and moving on keyframes of its own.
nlohmann::ordered_json nullChains(int chains, int length);

// "exit N", standard output and standard error, for failure messages.
std::string describe(const RunResult& r);

// examples/rig.scene.json, the worked example's scene: "arm" keyed under
// "base", its "driverval" animated from 0 at time 0 to 1 at time 2.
std::string rigScenePath();

// Whether the build made the OBJ_Quenlo module.
bool moduleBuilt();
std::string modulePath();

// Fails the test, saying why, when OBJ_Quenlo.so is missing: every build
// makes it, so a missing module is a broken build, never a reason to skip.
#define REQUIRE_MODULE()                                                                           \
    do {                                                                                           \
        if (!::mhost::test::moduleBuilt())                                                         \
            GTEST_FAIL() << "OBJ_Quenlo.so is missing from the build ("                            \
                         << ::mhost::test::modulePath() << ")";                                    \
    } while (false)

} // namespace mhost::test
