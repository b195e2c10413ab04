#include "support/output_file.hpp"

#include "support/errors.hpp"
#include "support/folder_lock.hpp"
#include "support/temporary_files.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace mhost {

namespace fs = std::filesystem;

namespace {

std::int64_t now() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

const char* const kChangedSinceRead =
    ": the file changed since it was read; nothing was written (read it again, or save to "
    "another file)";

thread_local OutputBatch* openBatch = nullptr;

} // namespace

// What commit puts in place: a complete temporary file and its target, or
// a stream's content. Its temporary file is removed with it unless renamed.
struct OutputFile::Pending {
    std::string path; // as given, for messages
    std::string final, folder, temporary;
    std::unique_ptr<TemporaryRecord> registered; // removed on SIGINT, SIGTERM, SIGHUP
    std::optional<FileStamp> unchanged;          // what the target must still hold
    int stream = -1;
    std::string streamed; // a stream's content

    Pending() = default;
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    ~Pending() {
        if (!temporary.empty())
            ::unlink(temporary.c_str());
    }
};

namespace {

void writeStream(const OutputFile::Pending& file) {
    // What mhost printed comes before, as the command line reads.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::size_t done = 0;
    while (done < file.streamed.size()) {
        const ssize_t n =
            ::write(file.stream, file.streamed.data() + done, file.streamed.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            cannotWrite(file.path, errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

// Checks every target and renames every temporary file over it, under the
// folders' locks (taken in one order, so that two processes never wait for
// each other in a circle), then writes the streams.
void putInPlace(const std::vector<OutputFile::Pending*>& files) {
    std::vector<std::pair<std::string, std::string>> folders; // folder, a file for messages
    for (const OutputFile::Pending* file : files)
        if (file->stream < 0)
            folders.emplace_back(file->folder, file->path);
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end(),
                              [](const auto& a, const auto& b) { return a.first == b.first; }),
                  folders.end());
    {
        std::vector<std::unique_ptr<FolderLock>> locks;
        for (const auto& [folder, file] : folders)
            locks.push_back(std::make_unique<FolderLock>(folder, file));
        for (const OutputFile::Pending* file : files)
            if (file->unchanged && !stillUnchanged(*file->unchanged))
                throw InputError(file->path + kChangedSinceRead, FailureKind::Changed);
        for (OutputFile::Pending* file : files) {
            if (file->stream >= 0)
                continue;
            if (std::rename(file->temporary.c_str(), file->final.c_str()) != 0)
                throw RunError(file->path + ": cannot write (rename): " + systemError(errno),
                               FailureKind::File);
            file->temporary.clear();
            file->registered.reset();
        }
    }
    for (const OutputFile::Pending* file : files)
        if (file->stream >= 0)
            writeStream(*file);
}

} // namespace

OutputFile::OutputFile(const std::string& path)
    : pending_(std::make_unique<Pending>()), path_(path) {
    struct stat status {};
    const OutputTarget target = locateOutput(path, status);
    pending_->path = path;
    if (target.stream >= 0) {
        pending_->stream = target.stream;
        return;
    }
    Pending& p = *pending_;
    p.final = target.path;
    p.folder = folderOf(p.final);
    checkWritable(path, p.folder, p.final, target.exists ? &status : nullptr);
    replaces_ = target.exists;
    if (replaces_) {
        mode_ = status.st_mode & 07777;
        owner_ = status.st_uid;
        group_ = status.st_gid;
    }
    key_ = fileKey(p.final);
    std::string temporary = temporaryName(p.folder, fs::path(p.final).filename().string());
    {
        // No signal may arrive between creating the file and claiming its slot.
        sigset_t all, before;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &before);
        fd_ = ::mkstemp(temporary.data());
        const int error = errno;
        if (fd_ >= 0) {
            p.temporary = temporary;
            p.registered = std::make_unique<TemporaryRecord>(temporary);
        }
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        errno = error;
    }
    if (fd_ < 0)
        cannotWrite(path_, errno);
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
    if (fd_ >= 0)
        ::close(fd_);
    // pending_, when it is still here, removes the temporary file.
}

void OutputFile::fail(const char* what) {
    const int saved = errno;
    stopSyncing();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    pending_.reset();
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

void OutputFile::refuseBeyondFreeSpace(std::size_t bytes) const {
    struct statvfs system {};
    // A file system that tells nothing of its size (no blocks) is not judged.
    if (fd_ < 0 || (pending_ && pending_->stream >= 0) || ::fstatvfs(fd_, &system) != 0 ||
        system.f_blocks == 0)
        return;
    // The superuser may use the blocks kept back for it.
    const auto free =
        static_cast<std::size_t>(::geteuid() == 0 ? system.f_bfree : system.f_bavail) *
        system.f_frsize;
    if (bytes > free)
        throw RunError(path_ + ": cannot write: the file needs " + std::to_string(bytes >> 20) +
                           " MiB, and its file system has " + std::to_string(free >> 20) +
                           " MiB free",
                       FailureKind::File);
}

bool writeAllAt(int fd, std::size_t offset, std::string_view content) {
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::pwrite(fd, content.data() + done, content.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool OutputFile::shareWrites() {
    if (fd_ < 0 || (pending_ && pending_->stream >= 0))
        return false;
    hasher_.reset();
    return true;
}

void OutputFile::writeAtShared(std::size_t offset, std::string_view content) const {
    if (!writeAllAt(fd_, offset, content))
        throw RunError(path_ + ": cannot write (write): " + systemError(errno), FailureKind::File);
}

void OutputFile::put(std::size_t offset, std::string_view content) {
    if (pending_ && pending_->stream >= 0) {
        std::string& streamed = pending_->streamed;
        if (streamed.size() < offset + content.size())
            streamed.resize(offset + content.size());
        streamed.replace(offset, content.size(), content);
        return;
    }
    if (!writeAllAt(fd_, offset, content))
        fail("write");
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
    return !key_.empty() && stamp.file == key_;
}

void OutputFile::requireUnchanged(const FileStamp& stamp) {
    if (pending_)
        pending_->unchanged = stamp;
}

std::optional<FileStamp> OutputFile::commit() {
    std::optional<FileStamp> written;
    if (pending_->stream < 0) {
        // mkstemp makes the file readable by its owner only. A replaced
        // file keeps its own permission bits (and owner, where we may set
        // it); a new one gets the default mode (0666 less the umask).
        mode_t mode = mode_;
        if (replaces_) {
            if (holdsCapability(CAP_CHOWN) && ::fchown(fd_, owner_, group_) != 0)
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
        if (hasher_) {
            struct stat status {};
            if (::fstat(fd_, &status) != 0)
                fail("stat");
            written.emplace();
            written->file = key_;
            written->device = status.st_dev;
            written->inode = status.st_ino;
            written->size = static_cast<std::uint64_t>(status.st_size);
            written->modified =
                std::int64_t(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
            written->hash = hasher_->value();
        }
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0)
            fail("close");
    }
    if (openBatch) {
        openBatch->pending_.push_back(std::move(pending_));
    } else {
        putInPlace({pending_.get()});
        pending_.reset();
    }
    if (written)
        written->readAt = now();
    return written;
}

OutputBatch::OutputBatch() {
    if (openBatch)
        throw std::logic_error("an output batch is already open on this thread");
    openBatch = this;
}

OutputBatch::~OutputBatch() {
    if (openBatch == this)
        openBatch = nullptr;
    // pending_ removes the temporary files that were not put in place.
}

void OutputBatch::commit() {
    if (openBatch == this)
        openBatch = nullptr;
    std::vector<OutputFile::Pending*> files;
    for (const auto& pending : pending_)
        files.push_back(pending.get());
    putInPlace(files);
    pending_.clear();
}

void writeFileAtomically(const std::string& path, std::string_view content) {
    OutputFile file(path);
    file.write(content);
    file.commit();
}

} // namespace mhost
