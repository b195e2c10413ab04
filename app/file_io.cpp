#include "file_io.hpp"

#include "errors.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mhost {

namespace {

std::string systemError(int error) {
    return std::strerror(error);
}

std::string capText() {
    return std::to_string(kMaxInputBytes >> 20) + " MiB";
}

[[noreturn]] void tooLarge(const std::string& path) {
    throw InputError(path + ": larger than the " + capText() +
                     " that mhost reads from a script or scene");
}

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

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ > 2)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// What a write to a path replaces.
struct OutputTarget {
    std::string path;       // the final file, links followed
    bool exists = false;    // a regular file is there now
    struct stat status {}; // its status when it exists
};

OutputTarget findOutputTarget(const std::string& path) {
    namespace fs = std::filesystem;
    if (path.empty())
        throw InputError("an output file name must not be empty");
    // Follow links one at a time, as the kernel would, so that a dangling
    // link still names the file it would create.
    constexpr int kMaxLinks = 40;
    fs::path current(path);
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        OutputTarget target;
        target.path = current.string();
        if (::lstat(target.path.c_str(), &target.status) != 0) {
            if (errno == ENOENT)
                return target;
            throw InputError(path + ": cannot write: " + systemError(errno));
        }
        if (S_ISREG(target.status.st_mode)) {
            target.exists = true;
            return target;
        }
        if (!S_ISLNK(target.status.st_mode))
            throw InputError(path + ": " + fileKind(target.status.st_mode) +
                             "; mhost writes only regular files");
        std::error_code ec;
        const fs::path link = fs::read_symlink(current, ec);
        if (ec)
            throw InputError(path + ": cannot follow the link: " + ec.message());
        current = link.is_absolute() ? link : current.parent_path() / link;
    }
    throw InputError(path + ": too many levels of symbolic links");
}

} // namespace

std::string readTextFile(const std::string& path) {
    const bool standardInput = path == "-";
    const std::string name = standardInput ? "standard input" : path;
    const FileDescriptor fd(standardInput ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw InputError(name + ": cannot read: " + systemError(errno));
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        throw InputError(name + ": cannot read: " + systemError(errno));
    if (S_ISDIR(status.st_mode))
        throw InputError(name + ": cannot read: it is a folder");
    std::string text;
    if (S_ISREG(status.st_mode)) {
        // A regular file says its size; refuse a large one before reading it.
        if (static_cast<std::size_t>(status.st_size) > kMaxInputBytes)
            tooLarge(name);
        text.reserve(static_cast<std::size_t>(status.st_size));
    }
    // Pipes and devices say nothing of their size: read up to the cap.
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw InputError(name + ": cannot read: " + systemError(errno));
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > kMaxInputBytes)
            tooLarge(name);
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

std::string resolveOutputFile(const std::string& path) {
    return findOutputTarget(path).path;
}

void writeFileAtomically(const std::string& path, std::string_view content) {
    namespace fs = std::filesystem;
    const OutputTarget target = findOutputTarget(path);
    const fs::path final(target.path);
    const fs::path folder = final.has_parent_path() ? final.parent_path() : fs::path(".");
    // A hidden name beside the target: "dir/.scene.json.XXXXXX".
    std::string hidden = final.filename().string();
    hidden.insert(0, 1, '.');
    std::string pattern = (folder / hidden).string();
    pattern += ".XXXXXX";

    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        throw RunError(path + ": cannot write: " + systemError(errno));
    const auto fail = [&](const char* what) {
        const int saved = errno;
        ::close(fd);
        ::unlink(pattern.c_str());
        throw RunError(path + ": cannot write (" + what + "): " + systemError(saved));
    };

    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write");
        }
        done += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file readable by its owner only. A replaced file
    // keeps its own bits (and owner, where we may set it); a new one gets
    // the bits of any new file.
    mode_t mode = 0;
    if (target.exists) {
        mode = target.status.st_mode & 07777;
        if (::geteuid() == 0 && ::fchown(fd, target.status.st_uid, target.status.st_gid) != 0)
            fail("chown");
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0)
        fail("chmod");
    if (::fsync(fd) != 0)
        fail("sync");
    if (::close(fd) != 0) {
        const int saved = errno;
        ::unlink(pattern.c_str());
        throw RunError(path + ": cannot write (close): " + systemError(saved));
    }
    if (std::rename(pattern.c_str(), target.path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(pattern.c_str());
        throw RunError(path + ": cannot write (rename): " + systemError(saved));
    }
}

} // namespace mhost
