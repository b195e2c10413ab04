// The one check before any work: the files one command reads and writes,
// compared with each other, so that no command replaces a file it reads or
// writes one output over another.
//
// Files are compared by device and inode once every link is followed (a
// standard stream by what is open there), and, where no file is there yet,
// by the absolute path a write would create, links and ".." resolved. The
// one output that may be an input is a scene saved over a scene file the
// command read before it: that file is updated in place, guarded by its
// stamp (OutputFile::requireUnchanged).
#pragma once

#include <string>
#include <vector>

namespace mhost {

class FilePlan {
public:
    enum class Kind {
        Other,
        Scene, // a scene file, read or saved
    };

    // A file the command reads or writes, in the order it does. An empty
    // path (an option not given) is left out. role names it in messages:
    // "--save", "SCENE", "s.json: actions[2] (save)".
    void reads(const std::string& path, const std::string& role, Kind kind = Kind::Other);
    void writes(const std::string& path, const std::string& role, Kind kind = Kind::Other);

    // InputError (FailureKind::File) naming both files and their roles when
    // an output is one of the inputs or two outputs are one file; then each
    // output's target is checked as OutputFile will check it
    // (checkOutputTarget).
    void check() const;

private:
    struct Use {
        std::string path;
        std::string role;
        Kind kind;
        bool output;
    };
    std::vector<Use> uses_;
};

} // namespace mhost
