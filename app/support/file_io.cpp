#include "support/file_io.hpp"

#include "support/errors.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

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

std::string fileKey(const std::string& path) {
    // Absolute first: weakly_canonical leaves a relative path whose first
    // part does not exist as it is, which would name one file two ways.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec)
        return path;
    std::filesystem::path key = std::filesystem::weakly_canonical(absolute, ec);
    if (ec)
        key = absolute.lexically_normal();
    return key.string();
}

FileStamp absentFileStamp(const std::string& path) {
    FileStamp stamp;
    stamp.file = fileKey(path);
    stamp.present = false;
    stamp.readAt = now();
    return stamp;
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
    if (!stamp.present)
        return ::stat(stamp.file.c_str(), &status) != 0 && errno == ENOENT;
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

} // namespace mhost
