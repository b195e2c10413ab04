#include "test_support.hpp"

#include "json/json.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace mhost::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mhost-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
    return (path_ / name).string();
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    return names;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string rigScenePath() {
    return std::string(MHOST_EXAMPLES_DIR) + "/rig.scene.json";
}

std::size_t offsetOf(const std::string& text, const std::string& message,
                     const std::string& source) {
    if (message.rfind(source + ":", 0) != 0 ||
        message.find(": malformed JSON: ") == std::string::npos)
        return std::string::npos;
    const char* at = message.c_str() + source.size() + 1;
    char* end = nullptr;
    const long line = std::strtol(at, &end, 10);
    const long column = std::strtol(end + 1, nullptr, 10);
    std::size_t offset = 0;
    for (long l = 1; l < line && offset < text.size(); ++offset)
        if (text[offset] == '\n')
            ++l;
    return offset + static_cast<std::size_t>(column - 1);
}

namespace {

// Starts program (mhost) with args in cwd, its standard streams from and to
// the files named; returns its process id.
pid_t spawnMhost(const std::string& program, const std::vector<std::string>& args,
                 const std::string& cwd, const std::string& dsoPath,
                 const std::vector<std::string>& extraEnv, const std::string& stdinPath,
                 const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("MORVANE_DSO_PATH=", 0) != 0)
            env.emplace_back(*e);
    }
    if (!dsoPath.empty())
        env.push_back("MORVANE_DSO_PATH=" + dsoPath);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argStrings[0]);
    return pid;
}

RunResult waitFor(pid_t pid, const TempDir& capture) {
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    result.out = readFile(capture.file("out"));
    result.err = readFile(capture.file("err"));
    return result;
}

} // namespace

RunResult runMhost(const std::vector<std::string>& args, const std::string& cwd,
                   const std::string& dsoPath, const std::vector<std::string>& extraEnv,
                   const std::string& stdinPath, const std::string& program) {
    const TempDir capture;
    return waitFor(spawnMhost(program, args, cwd, dsoPath, extraEnv, stdinPath, capture.file("out"),
                              capture.file("err")),
                   capture);
}

Mhost::Mhost(const std::vector<std::string>& args, const std::string& cwd,
             const std::vector<std::string>& extraEnv)
    : pid_(spawnMhost(MHOST_BINARY, args, cwd, MHOST_DSO_DIR, extraEnv, "/dev/null",
                      capture_.file("out"), capture_.file("err"))) {}

Mhost::~Mhost() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int wstatus = 0;
        ::waitpid(pid_, &wstatus, 0);
    }
}

RunResult Mhost::finish() {
    const pid_t pid = std::exchange(pid_, -1);
    return waitFor(pid, capture_);
}

std::vector<nlohmann::ordered_json> jsonLines(const std::string& text) {
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(parseJson(line, "line"));
    return lines;
}

std::string describe(const RunResult& r) {
    return "exit " + std::to_string(r.status) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

std::string modulePath() {
    return (std::filesystem::path(MHOST_DSO_DIR) / "OBJ_Quenlo.so").string();
}

bool moduleBuilt() {
    return std::filesystem::exists(modulePath());
}

nlohmann::ordered_json nullChains(int chains, int length) {
    nlohmann::ordered_json actions = nlohmann::ordered_json::array();
    for (int c = 0; c < chains; ++c)
        for (int i = 0; i < length; ++i) {
            const std::string name = "n" + std::to_string(c) + "_" + std::to_string(i);
            actions.push_back({{"op", "create"}, {"type", "null"}, {"name", name}});
            if (i > 0)
                actions.push_back(
                    {{"op", "wire"},
                     {"node", name},
                     {"input", 0},
                     {"from", "n" + std::to_string(c) + "_" + std::to_string(i - 1)}});
            actions.push_back({{"op", "set"},
                               {"node", name},
                               {"parm", "t"},
                               {"value", {0.5 + 0.1 * c, 0.25 * i, -0.3}}});
            actions.push_back({{"op", "keyframes"},
                               {"node", name},
                               {"parm", "r"},
                               {"component", i % 3},
                               {"keys", {{0, 0}, {0.7, 40.0 + i}, {2, -15.5 * c}}}});
        }
    return actions;
}

} // namespace mhost::test
