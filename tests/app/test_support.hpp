// Helpers of the mhost tests: temporary folders, files and running the
// built mhost.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace mhost::test {

// A fresh folder, removed with everything in it when the object goes.
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

struct RunResult {
    int status = -1; // exit status, or -1 when mhost did not exit normally
    std::string out;
    std::string err;
};

// Runs the built mhost with args in folder cwd. MORVANE_DSO_PATH is set to
// dsoPath (the build's module folder by default); an empty dsoPath leaves it
// unset.
RunResult runMhost(const std::vector<std::string>& args, const std::string& cwd,
                   const std::string& dsoPath = MHOST_DSO_DIR);

// Whether the build made the OBJ_Quenlo module.
bool moduleBuilt();
std::string modulePath();

} // namespace mhost::test
