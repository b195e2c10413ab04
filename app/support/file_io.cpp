#include "support/file_io.hpp"

#include "support/errors.hpp"

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
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
    std::string path;      // the final file, links followed
    bool exists = false;   // a regular file is there now
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
            throw InputError(path + ": cannot write: " + systemError(errno), FailureKind::File);
        }
        if (S_ISREG(target.status.st_mode)) {
            target.exists = true;
            return target;
        }
        if (!S_ISLNK(target.status.st_mode))
            throw InputError(path + ": " + fileKind(target.status.st_mode) +
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

// Asks the kernel to back the 2 MiB-aligned inside of a large buffer, not
// yet touched, with huge pages (transparent huge pages in "madvise" mode):
// a 40 MB scene read into 4 KiB pages takes ten thousand page faults, about
// two thirds of the time its read takes here.
void adviseHugePages(char* buffer, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    const auto at = reinterpret_cast<std::uintptr_t>(buffer);
    const std::uintptr_t first = (at + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (at + bytes) & ~(kHuge - 1);
    if (end > first) // a hint: a kernel without it reads the same
        ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

} // namespace

std::string readTextFile(const std::string& path) {
    const bool standardInput = path == "-";
    const std::string name = standardInput ? "standard input" : path;
    const FileDescriptor fd(standardInput ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw InputError(name + ": cannot read: " + systemError(errno), FailureKind::File);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        throw InputError(name + ": cannot read: " + systemError(errno), FailureKind::File);
    if (S_ISDIR(status.st_mode))
        throw InputError(name + ": cannot read: it is a folder", FailureKind::File);
    std::string text;
    if (S_ISREG(status.st_mode)) {
        // A regular file says its size; refuse a large one before reading it.
        if (static_cast<std::size_t>(status.st_size) > kMaxInputBytes)
            tooLarge(name);
        text.reserve(static_cast<std::size_t>(status.st_size));
        adviseHugePages(text.data(), text.capacity());
    }
    // Pipes and devices say nothing of their size: read up to the cap.
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw InputError(name + ": cannot read: " + systemError(errno), FailureKind::File);
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

OutputFile::OutputFile(const std::string& path) : path_(path) {
    namespace fs = std::filesystem;
    const OutputTarget target = findOutputTarget(path);
    final_ = target.path;
    replaces_ = target.exists;
    if (replaces_) {
        mode_ = target.status.st_mode & 07777;
        owner_ = target.status.st_uid;
        group_ = target.status.st_gid;
    }
    const fs::path finalPath(final_);
    const fs::path folder = finalPath.has_parent_path() ? finalPath.parent_path() : fs::path(".");
    // A hidden name beside the target: "dir/.scene.json.XXXXXX".
    std::string hidden = finalPath.filename().string();
    hidden.insert(0, 1, '.');
    temporary_ = (folder / hidden).string();
    temporary_ += ".XXXXXX";
    fd_ = ::mkstemp(temporary_.data());
    if (fd_ < 0)
        throw RunError(path_ + ": cannot write: " + systemError(errno), FailureKind::File);
}

// Syncs a file on a thread of its own whenever asked. A sync also waits for
// the device to keep what it was sent, which on a disk with a write cache
// takes as long as the writes themselves: done as the file grows, little is
// left for commit.
class OutputFile::Syncer {
public:
    explicit Syncer(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~Syncer() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    Syncer(const Syncer&) = delete;
    Syncer& operator=(const Syncer&) = delete;

    void request() {
        {
            const std::lock_guard lock(mutex_);
            wanted_ = true;
        }
        wake_.notify_one();
    }
    // The error of the first sync that failed, or 0.
    int error() {
        const std::lock_guard lock(mutex_);
        return error_;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return wanted_ || stopping_; });
            if (stopping_)
                return;
            wanted_ = false;
            lock.unlock();
            // A write that failed is reported to one sync only: keep it.
            const int failed = ::fdatasync(fd_) == 0 ? 0 : errno;
            lock.lock();
            if (failed != 0 && error_ == 0)
                error_ = failed;
        }
    }

    int fd_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool wanted_ = false;
    bool stopping_ = false;
    int error_ = 0;
    std::thread thread_; // last: it starts once the rest is made
};

// Stops the syncer; the error of a sync it made that failed, or 0.
int OutputFile::stopSyncing() {
    const int error = syncer_ ? syncer_->error() : 0;
    syncer_.reset();
    return error;
}

OutputFile::~OutputFile() {
    stopSyncing();
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temporary_.c_str());
    }
}

void OutputFile::fail(const char* what) {
    const int saved = errno;
    stopSyncing();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    ::unlink(temporary_.c_str());
    throw RunError(path_ + ": cannot write (" + what + "): " + systemError(saved),
                   FailureKind::File);
}

void OutputFile::write(std::string_view content) {
    writeAt(end_, content);
    end_ += content.size();
}

void OutputFile::writeAt(std::size_t offset, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::pwrite(fd_, content.data() + done, content.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write");
        }
        done += static_cast<std::size_t>(n);
    }
}

void OutputFile::startWriteback() {
    if (fd_ < 0)
        return;
    // The writes start at once; the syncer waits for them. Without a thread
    // to spare, commit syncs it all.
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    try {
        if (!syncer_)
            syncer_ = std::make_unique<Syncer>(fd_);
    } catch (const std::system_error&) {
        return;
    }
    syncer_->request();
}

void OutputFile::commit() {
    // mkstemp makes the file readable by its owner only. A replaced file
    // keeps its own bits (and owner, where we may set it); a new one gets
    // the bits of any new file.
    mode_t mode = mode_;
    if (replaces_) {
        if (::geteuid() == 0 && ::fchown(fd_, owner_, group_) != 0)
            fail("chown");
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd_, mode) != 0)
        fail("chmod");
    if (const int failed = stopSyncing(); failed != 0) {
        errno = failed;
        fail("sync");
    }
    if (::fsync(fd_) != 0)
        fail("sync");
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temporary_.c_str());
        errno = saved;
        fail("close");
    }
    if (std::rename(temporary_.c_str(), final_.c_str()) != 0)
        fail("rename");
}

void writeFileAtomically(const std::string& path, std::string_view content) {
    OutputFile file(path);
    file.write(content);
    file.commit();
}

} // namespace mhost
