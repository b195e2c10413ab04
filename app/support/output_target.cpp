#include "support/output_target.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mhost {

namespace fs = std::filesystem;

namespace {

// What kind of file a mode names, for messages.
const char* fileKind(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

std::string streamName(int fd) {
    switch (fd) {
    case 0:
        return "standard input";
    case 1:
        return "standard output";
    case 2:
        return "standard error";
    }
    return "descriptor " + std::to_string(fd);
}

// A path that goes on through a regular file names nothing: bad input.
[[noreturn]] void notThroughAFile(const std::string& path) {
    throw InputError(path + ": cannot write: a part of the path before the file's name is not a "
                            "folder",
                     FailureKind::File);
}

// A stream's target: open for writing, its identity for the checks of
// file_plan.hpp.
OutputTarget streamTarget(const std::string& path, int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        throw InputError(path + ": " + streamName(fd) + " is not open", FailureKind::File);
    if ((flags & O_ACCMODE) == O_RDONLY)
        throw InputError(path + ": " + streamName(fd) +
                             " is open for reading only; mhost writes a stream only when it is "
                             "open for writing",
                         FailureKind::File);
    OutputTarget target;
    target.path = path;
    target.stream = fd;
    struct stat status {};
    if (::fstat(fd, &status) == 0) {
        target.device = status.st_dev;
        target.inode = status.st_ino;
    }
    return target;
}

} // namespace

std::string systemError(int error) {
    return std::strerror(error);
}

[[noreturn]] void cannotWrite(const std::string& path, int error, const std::string& where) {
    const std::string reason =
        error == EACCES || error == EPERM ? "permission denied" : systemError(error);
    throw RunError(path + ": cannot write: " + reason + where, FailureKind::File);
}

void checkWritable(const std::string& path, const std::string& folder, const std::string& file,
                   const struct stat* status) {
    struct stat folderStatus {};
    if (::stat(folder.c_str(), &folderStatus) != 0) {
        if (errno == ENOTDIR)
            notThroughAFile(path);
        if (errno == ENOENT)
            throw RunError(path + ": cannot write: no such folder " + quote(folder),
                           FailureKind::File);
        cannotWrite(path, errno, " (the folder " + quote(folder) + ")");
    }
    if (!S_ISDIR(folderStatus.st_mode))
        throw RunError(path + ": cannot write: " + quote(folder) + " is not a folder",
                       FailureKind::File);
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        cannotWrite(path, errno, " (the folder " + quote(folder) + ")");
    if (!status)
        return;
    if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0)
        cannotWrite(path, errno);
    // In a sticky folder (/tmp) only a file's owner, the folder's or a
    // process with CAP_FOWNER (root, unless it was taken away) may replace it.
    const uid_t self = ::geteuid();
    if ((folderStatus.st_mode & S_ISVTX) && status->st_uid != self && folderStatus.st_uid != self &&
        !holdsCapability(CAP_FOWNER))
        cannotWrite(path, EACCES, " (another user's file in a shared folder)");
}

bool holdsCapability(int capability) {
    // capget(2) without libcap: the two 32-bit words of version 3.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return ::geteuid() == 0;
    const auto word = static_cast<unsigned>(capability) / 32;
    return word < 2 && (data[word].effective >> (static_cast<unsigned>(capability) % 32) & 1u) != 0;
}

OutputTarget locateOutput(const std::string& path, struct stat& status) {
    if (path.empty())
        throw InputError("an output file name must not be empty");
    // Follow links one at a time, as the kernel would, so that a dangling
    // link still names the file it would create.
    constexpr int kMaxLinks = 40;
    fs::path current(path);
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        if (const int fd = streamDescriptor(current.string()); fd >= 0)
            return streamTarget(path, fd);
        OutputTarget target;
        target.path = current.string();
        if (::lstat(target.path.c_str(), &status) != 0) {
            if (errno == ENOENT)
                return target;
            if (errno == ENOTDIR)
                notThroughAFile(path);
            cannotWrite(path, errno);
        }
        if (S_ISREG(status.st_mode)) {
            target.exists = true;
            target.device = status.st_dev;
            target.inode = status.st_ino;
            return target;
        }
        if (!S_ISLNK(status.st_mode))
            throw InputError(path + ": " + fileKind(status.st_mode) +
                                 "; mhost writes only regular files",
                             FailureKind::File);
        std::error_code ec;
        const fs::path link = fs::read_symlink(current, ec);
        if (ec)
            throw InputError(path + ": cannot follow the link: " + ec.message(), FailureKind::File);
        current = link.is_absolute() ? link : current.parent_path() / link;
    }
    throw InputError(path + ": too many levels of symbolic links", FailureKind::File);
}

std::string folderOf(const std::string& file) {
    const fs::path p(file);
    return (p.has_parent_path() ? p.parent_path() : fs::path(".")).string();
}

int streamDescriptor(std::string_view path) {
    if (path == "/dev/stdin")
        return 0;
    if (path == "/dev/stdout")
        return 1;
    if (path == "/dev/stderr")
        return 2;
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!path.starts_with(prefix))
            continue;
        const std::string_view digits = path.substr(prefix.size());
        int fd = -1;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
        if (error == std::errc() && end == digits.data() + digits.size() && !digits.empty())
            return fd;
    }
    return -1;
}

OutputTarget checkOutputTarget(const std::string& path) {
    struct stat status {};
    OutputTarget target = locateOutput(path, status);
    if (target.stream < 0)
        checkWritable(path, folderOf(target.path), target.path, target.exists ? &status : nullptr);
    return target;
}

} // namespace mhost
