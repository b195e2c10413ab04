// The advisory lock (flock) on a folder that every mhost process replacing a
// file of the folder takes, for that moment only (the output rules of
// support/output_file.hpp).
#pragma once

#include <string>

namespace mhost {

// How long a save waits for another process's lock on its folder.
inline constexpr int kLockWaitSeconds = 5;

// Advisory lock (flock) on a folder, held while the object lives, waited
// for at most kLockWaitSeconds. Where the folder cannot be opened or locked
// (no read permission, a file system without locks) the rename goes on
// unlocked: the check it guards is still made, only without mutual
// exclusion.
class FolderLock {
public:
    // `file` names, for messages, a file to be put in the folder.
    FolderLock(const std::string& folder, const std::string& file);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

} // namespace mhost
