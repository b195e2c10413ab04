#include "support/file_plan.hpp"

#include "support/errors.hpp"
#include "support/file_io.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"

#include <cstdint>

#include <sys/stat.h>

namespace mhost {

namespace {

// Which file a path is: the one there, or the place a write would make one.
struct Identity {
    bool exists = false;
    std::uint64_t device = 0, inode = 0;
    std::string place; // where no file is: fileKey of the target
};

bool sameFile(const Identity& a, const Identity& b) {
    if (a.exists != b.exists)
        return false;
    return a.exists ? a.device == b.device && a.inode == b.inode : a.place == b.place;
}

Identity inputIdentity(const std::string& path) {
    const int stream = path == "-" ? 0 : streamDescriptor(path);
    struct stat status {};
    const bool found =
        stream >= 0 ? ::fstat(stream, &status) == 0 : ::stat(path.c_str(), &status) == 0;
    if (found)
        return {true, status.st_dev, status.st_ino, {}};
    return {false, 0, 0, stream >= 0 ? path : fileKey(path)};
}

Identity outputIdentity(const std::string& path) {
    const OutputTarget target = checkOutputTarget(path);
    if (target.exists || target.stream >= 0)
        return {true, target.device, target.inode, {}};
    return {false, 0, 0, fileKey(target.path)};
}

} // namespace

void FilePlan::reads(const std::string& path, const std::string& role, Kind kind) {
    if (!path.empty())
        uses_.push_back({path, role, kind, false});
}

void FilePlan::writes(const std::string& path, const std::string& role, Kind kind) {
    if (!path.empty())
        uses_.push_back({path, role, kind, true});
}

void FilePlan::check() const {
    std::vector<Identity> ids;
    ids.reserve(uses_.size());
    for (const Use& use : uses_)
        ids.push_back(use.output ? outputIdentity(use.path) : inputIdentity(use.path));
    const auto named = [](const Use& use) { return use.role + " " + quote(use.path); };
    for (std::size_t j = 0; j < uses_.size(); ++j) {
        const Use& out = uses_[j];
        if (!out.output)
            continue;
        for (std::size_t i = 0; i < uses_.size(); ++i) {
            const Use& other = uses_[i];
            if (i == j || !sameFile(ids[i], ids[j]))
                continue;
            if (other.output && i < j)
                throw InputError(named(other) + " and " + named(out) +
                                     " are the same file: one output would replace the "
                                     "other; nothing was done",
                                 FailureKind::File);
            // A scene saved over a scene file read before: in place.
            const bool inPlace =
                !other.output && i < j && other.kind == Kind::Scene && out.kind == Kind::Scene;
            if (!other.output && !inPlace)
                throw InputError(named(out) + " is the same file as " + named(other) +
                                     ", which is read: an output must not replace an input; "
                                     "nothing was done",
                                 FailureKind::File);
        }
    }
}

} // namespace mhost
