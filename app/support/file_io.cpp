#include "support/file_io.hpp"

#include "support/errors.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
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

// Closes a file descriptor when it goes out of scope.
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

// Asks the kernel to back the 2 MiB-aligned interior of a large buffer, not
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

// Reads a whole file (or standard input for "-"), with its status when
// statusOut is given and it is a regular file.
std::string readWhole(const std::string& path, struct stat* statusOut) {
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
        // A regular file reports its size; refuse large ones before reading.
        if (static_cast<std::size_t>(status.st_size) > kMaxInputBytes)
            tooLarge(name);
        text.reserve(static_cast<std::size_t>(status.st_size));
        adviseHugePages(text.data(), text.capacity());
    }
    // Pipes and devices do not report their size: read up to the cap.
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
    if (statusOut && !standardInput && S_ISREG(status.st_mode)) {
        // The status after the read: a write that came during it changed
        // the modification time the stamp keeps.
        if (::fstat(fd.get(), statusOut) != 0)
            throw InputError(name + ": cannot read: " + systemError(errno), FailureKind::File);
    }
    return text;
}

std::int64_t nanoseconds(const timespec& t) {
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t now() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return nanoseconds(t);
}

// The name a stamp gives a file: absolute, every link followed, so that two
// paths to one file give the same name.
std::string fileKey(const std::string& path) {
    std::error_code ec;
    std::filesystem::path key = std::filesystem::weakly_canonical(path, ec);
    if (ec)
        key = std::filesystem::absolute(path).lexically_normal();
    return key.string();
}

// The identity part of a stamp.
void identify(FileStamp& stamp, const struct stat& status) {
    stamp.device = status.st_dev;
    stamp.inode = status.st_ino;
    stamp.size = static_cast<std::uint64_t>(status.st_size);
    stamp.modified = nanoseconds(status.st_mtim);
}

// File times come from a clock that ticks every few milliseconds, and some file
// systems have one- or even two-second resolution: a file modified this close
// to its read may have been written again without its times changing.
constexpr std::int64_t kCoarseTimes = 2'000'000'000;

} // namespace

// Eight bytes at a time: each word is xored into the state, which is
// multiplied by an odd constant and folded (written here because no package
// of the allowed set offers a fast incremental hash; it needs to tell
// contents apart, not to resist a forger).
void ContentHasher::add(std::string_view bytes) {
    length_ += bytes.size();
    std::size_t at = 0;
    if (carried_ > 0) {
        const std::size_t take = std::min(bytes.size(), sizeof carry_ - carried_);
        std::memcpy(carry_ + carried_, bytes.data(), take);
        carried_ += take;
        at = take;
        if (carried_ < sizeof carry_)
            return;
        mix(load(carry_));
        carried_ = 0;
    }
    for (; at + 8 <= bytes.size(); at += 8)
        mix(load(bytes.data() + at));
    carried_ = bytes.size() - at;
    std::memcpy(carry_, bytes.data() + at, carried_);
}

std::uint64_t ContentHasher::value() const {
    ContentHasher end = *this;
    std::memset(end.carry_ + end.carried_, 0, sizeof carry_ - end.carried_);
    end.mix(load(end.carry_));
    end.mix(length_);
    // MurmurHash3's final mix: every bit of the state reaches every bit of
    // the result.
    std::uint64_t h = end.state_;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

std::uint64_t ContentHasher::load(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

void ContentHasher::mix(std::uint64_t word) {
    state_ = (state_ ^ word) * 0x9e3779b97f4a7c15ULL;
    state_ ^= state_ >> 29;
}

std::uint64_t contentHash(std::string_view text) {
    ContentHasher hasher;
    hasher.add(text);
    return hasher.value();
}

std::string readTextFile(const std::string& path) {
    return readWhole(path, nullptr);
}

StampedText readStampedTextFile(const std::string& path) {
    struct stat status {};
    status.st_mode = 0;
    StampedText read;
    read.text = readWhole(path, &status);
    if (S_ISREG(status.st_mode)) {
        FileStamp& stamp = read.stamp.emplace();
        stamp.file = fileKey(path);
        identify(stamp, status);
        stamp.readAt = now();
        stamp.hash = contentHash(read.text);
    }
    return read;
}

bool stillUnchanged(const FileStamp& stamp) {
    struct stat status {};
    if (::stat(stamp.file.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    FileStamp found = stamp;
    identify(found, status);
    const bool sameIdentity = found.device == stamp.device && found.inode == stamp.inode &&
                              found.size == stamp.size && found.modified == stamp.modified;
    if (sameIdentity && stamp.modified < stamp.readAt - kCoarseTimes)
        return true;
    if (found.size != stamp.size)
        return false;
    // The identity changed (the file was replaced, perhaps by the same
    // content) or cannot be trusted: the content decides.
    try {
        return contentHash(readTextFile(stamp.file)) == stamp.hash;
    } catch (const Failure&) {
        return false;
    }
}

namespace {

// The temporary files this process is writing, for removeTemporaryFiles,
// which may run in a signal handler: fixed slots, each claimed with an
// atomic owner (0 free, -1 being filled, else the writing process: a forked
// bake worker inherits the slots but removes none of them).
struct TemporarySlot {
    std::atomic<pid_t> owner{0};
    char path[PATH_MAX] = {};
};
std::array<TemporarySlot, 32> temporaries;

// Advisory lock (flock) on a folder, held while the object lives. Where the
// folder cannot be opened or locked (no read permission, a file system
// without locks) the rename goes on unlocked: the check it guards is still
// made, only without mutual exclusion.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder)
        : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FolderLock() {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

const char* const kChangedSinceRead =
    ": the file changed since it was read; nothing was written (read it again, or save to "
    "another file)";

} // namespace

// A temporary file's place in the slots while it may be left behind.
class OutputFile::Temporary {
public:
    explicit Temporary(const std::string& path) {
        if (path.size() >= PATH_MAX)
            return; // not removed by a signal, as before
        for (TemporarySlot& slot : temporaries) {
            pid_t free = 0;
            if (slot.owner.compare_exchange_strong(free, -1)) {
                std::memcpy(slot.path, path.c_str(), path.size() + 1);
                slot.owner.store(::getpid());
                slot_ = &slot;
                return;
            }
        }
    }
    ~Temporary() {
        if (slot_)
            slot_->owner.store(0);
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

private:
    TemporarySlot* slot_ = nullptr;
};

void removeTemporaryFiles() noexcept {
    const pid_t self = ::getpid();
    for (TemporarySlot& slot : temporaries)
        if (slot.owner.load() == self)
            ::unlink(slot.path);
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
    key_ = fileKey(final_);
    const fs::path finalPath(final_);
    folder_ = (finalPath.has_parent_path() ? finalPath.parent_path() : fs::path(".")).string();
    // A hidden name beside the target that says whose it is:
    // "dir/.scene.json.mhost-XXXXXX".
    std::string hidden = finalPath.filename().string();
    hidden.insert(0, 1, '.');
    temporary_ = (fs::path(folder_) / hidden).string();
    temporary_ += ".mhost-XXXXXX";
    {
        // No signal may arrive between creating the file and claiming its slot.
        sigset_t all, before;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &before);
        fd_ = ::mkstemp(temporary_.data());
        const int error = errno;
        if (fd_ >= 0)
            registered_ = std::make_unique<Temporary>(temporary_);
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        errno = error;
    }
    if (fd_ < 0)
        throw RunError(path_ + ": cannot write: " + systemError(errno), FailureKind::File);
    hasher_.emplace();
}

// Syncs a file on a thread of its own whenever asked. A sync also waits for
// the device to make what it was sent durable, which on a disk with a write
// cache takes as long as the writes themselves: done as the file grows,
// little is left for commit.
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
            // A write error is reported by one fsync only: keep it.
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
    std::thread thread_; // last: it starts once the rest is constructed
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
    put(end_, content);
    end_ += content.size();
    if (hasher_)
        hasher_->add(content);
}

void OutputFile::writeAt(std::size_t offset, std::string_view content) {
    // Parts written out of order leave no hash of the whole.
    hasher_.reset();
    put(offset, content);
}

void OutputFile::put(std::size_t offset, std::string_view content) {
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

bool OutputFile::replaces(const FileStamp& stamp) const {
    return stamp.file == key_;
}

void OutputFile::requireUnchanged(const FileStamp& stamp) {
    unchanged_ = stamp;
}

std::optional<FileStamp> OutputFile::commit() {
    // mkstemp makes the file readable by its owner only. A replaced file
    // keeps its own permission bits (and owner, where we may set it); a new
    // one gets the default mode (0666 less the umask).
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
    // The new file's identity: the rename keeps its inode and times.
    std::optional<FileStamp> written;
    if (hasher_) {
        struct stat status {};
        if (::fstat(fd_, &status) != 0)
            fail("stat");
        written.emplace();
        written->file = key_;
        identify(*written, status);
        written->hash = hasher_->value();
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temporary_.c_str());
        errno = saved;
        fail("close");
    }
    {
        const FolderLock lock(folder_);
        if (unchanged_ && !stillUnchanged(*unchanged_)) {
            ::unlink(temporary_.c_str());
            registered_.reset();
            throw InputError(path_ + kChangedSinceRead, FailureKind::Changed);
        }
        if (std::rename(temporary_.c_str(), final_.c_str()) != 0)
            fail("rename");
        if (written)
            written->readAt = now();
    }
    registered_.reset();
    return written;
}

void writeFileAtomically(const std::string& path, std::string_view content) {
    OutputFile file(path);
    file.write(content);
    file.commit();
}

} // namespace mhost
