// Where a write goes, checked before anything is written by the output
// rules of support/output_file.hpp: the file a path names once its links
// are followed, or the standard stream it names; the kind of that file, its
// folder and the permissions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <sys/stat.h>

namespace mhost {

// The descriptor of the standard stream path names (/dev/stdin 0,
// /dev/stdout 1, /dev/stderr 2, /dev/fd/N and /proc/self/fd/N N), or -1 for
// any other path.
int streamDescriptor(std::string_view path);

// Whether this process holds capability (CAP_CHOWN, CAP_FOWNER: linux/
// capability.h) in its effective set: the power over other users' files
// that root has, unless it was taken away (as containers do); a process of
// user 0 may lack it.
bool holdsCapability(int capability);

// Where a write to path would go, checked as OutputFile checks it: the
// target kind, the folder, the permissions. InputError or RunError as
// OutputFile's constructor throws them.
struct OutputTarget {
    std::string path;                    // the final file, every link followed
    bool exists = false;                 // a regular file is there now
    int stream = -1;                     // the standard stream path names, or -1
    std::uint64_t device = 0, inode = 0; // of the file or stream, when there is one
};
OutputTarget checkOutputTarget(const std::string& path);

// The steps of that check, which OutputFile takes one by one.

// Finds the target of path, with its status when it exists; InputError for
// a target that is not a regular file (or a stream open for writing).
OutputTarget locateOutput(const std::string& path, struct stat& status);
// The folder a target is made in and the file it replaces (when status is
// given), checked as the output rules say; path names them in messages.
void checkWritable(const std::string& path, const std::string& folder, const std::string& file,
                   const struct stat* status);
// The folder a file is made in.
std::string folderOf(const std::string& file);
// RunError for a write the system refuses, in the words cp uses for the
// usual one.
[[noreturn]] void cannotWrite(const std::string& path, int error, const std::string& where = "");
// The system's text for an errno value.
std::string systemError(int error);

} // namespace mhost
