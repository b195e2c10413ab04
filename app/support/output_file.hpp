// Writing output files so that a failure never leaves a half-written one, a
// write never does more than it says, and a command with several outputs
// replaces all of them or none.
//
// Output rules (every file mhost writes: scenes, plots, exports, bakes,
// reports, key libraries):
//  * The target is a regular file or does not exist yet. Anything else (a
//    folder, a FIFO, a device, a socket) is refused as bad input. A target
//    whose folder does not exist, or that the user may not write (a file
//    without write permission for the user, a folder without it), is
//    refused as cp refuses it: RunError, "no such folder" or "permission
//    denied".
//  * A standard stream named as a file (/dev/stdout, /dev/stderr, /dev/fd/N,
//    /proc/self/fd/N) is written through the stream already open there,
//    when everything else is done: nothing is renamed or replaced, so a
//    file behind `>>` is appended to and a pipe gets the bytes. A stream
//    not open for writing (/dev/stdin, usually) is refused as bad input.
//  * A symbolic link is followed to the file it names, which is replaced;
//    the link itself stays a link.
//  * The new content goes to a temporary file beside the final target,
//    ".NAME.mhost-XXXXXX" (NAME shortened where the whole would pass the
//    folder's name limit), which is renamed over it once complete, so
//    readers see the old file or the new one, never a mix. A replaced file
//    keeps its permission bits (and, when mhost runs as root, its owner); a
//    new file gets 0666 less the umask. A write that fails for any reason
//    (a full disk, the file-size limit) removes the temporary file, and so
//    does SIGINT, SIGTERM or SIGHUP in mhost (handleStopSignals,
//    process.hpp).
//  * The rename happens under an advisory lock (flock) on the target's
//    folder, held for that moment only: every mhost process replacing a
//    file of the folder waits for the others, at most kLockWaitSeconds
//    (support/folder_lock.hpp),
//    saying what it waits for after a second, then fails naming the
//    folder. A write that must not lose a change made since its content was
//    read (requireUnchanged) checks the file under the same lock, so two
//    processes that each read, change and save one file cannot both
//    succeed: the second is refused.
//  * While an OutputBatch is open, commits wait for the batch's: a command
//    writes every temporary file, then checks every target, then renames
//    them all, so a failure on the way leaves every target as it was.
#pragma once

#include "support/file_io.hpp"
#include "support/output_target.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

// A file written by the output rules above, in parts: the content goes to
// the temporary file, which commit() puts in place; a file not committed
// (an error on the way) is removed, the target left as it was.
class OutputFile {
public:
    // InputError or RunError for a target that is refused (see
    // checkOutputTarget); RunError naming path when the temporary file
    // cannot be made.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // RunError naming path when a write fails.
    void write(std::string_view content);
    // Writes content at offset, leaving write()'s position unchanged: parts
    // of a file can be written in any order.
    void writeAt(std::size_t offset, std::string_view content);
    // RunError naming path when the file system that holds the file has
    // less room than bytes for this user: a file that could never be
    // finished is refused before it is written. Nothing for a stream.
    void refuseBeyondFreeSpace(std::size_t bytes) const;
    // Lets processes forked after this call write parts of the file with
    // writeAtShared (no hash of the whole is kept then). False, and nothing
    // changed, for a standard stream named as a file, whose bytes this
    // process holds until commit.
    bool shareWrites();
    // writeAt from this process or one forked after shareWrites: a write to
    // the file, touching nothing else of this object's. RunError naming
    // path when it fails; the file is left for its owner to commit or drop.
    void writeAtShared(std::size_t offset, std::string_view content) const;
    // Starts flushing what has been written so far to disk, without
    // waiting for it: a thread of the file's own syncs it meanwhile, so that
    // a long file written in parts costs little more than its last part at
    // commit.
    void startWriteback();

    // Whether the target is the file stamp describes.
    bool replaces(const FileStamp& stamp) const;
    // Makes commit() replace the target only if it still holds what stamp
    // says it held when it was read (stillUnchanged, under the folder's
    // lock): otherwise commit writes nothing and throws InputError
    // (FailureKind::Changed) naming the file.
    void requireUnchanged(const FileStamp& stamp);

    // Puts the file in place, or, while an OutputBatch is open, completes
    // it and leaves the rest to the batch's commit. Returns its stamp when
    // it was written with write() alone (its content hashed on the way) to
    // a file, none otherwise.
    std::optional<FileStamp> commit();

    struct Pending;

private:
    class Syncer;
    [[noreturn]] void fail(const char* what);
    int stopSyncing();
    void put(std::size_t offset, std::string_view content);

    std::unique_ptr<Syncer> syncer_;
    std::unique_ptr<Pending> pending_; // what commit puts in place

    std::string path_;    // as given, for messages
    int fd_ = -1;         // the temporary file's
    std::size_t end_ = 0; // where write() writes next
    bool replaces_ = false;
    unsigned mode_ = 0;
    unsigned owner_ = 0, group_ = 0;
    std::string key_;                     // the target as a stamp names it
    std::optional<ContentHasher> hasher_; // of what write() wrote; none after writeAt
};

// The commits of a command's outputs, made together: see the output rules.
// One batch is open at a time, on the thread that opened it; OutputFiles
// committed there meanwhile join it. A batch destroyed without commit()
// removes their temporary files, every target left as it was.
class OutputBatch {
public:
    OutputBatch();
    ~OutputBatch();
    OutputBatch(const OutputBatch&) = delete;
    OutputBatch& operator=(const OutputBatch&) = delete;

    // Checks every target under the locks of their folders (a file changed
    // since it was read refuses the whole batch: InputError, nothing
    // written), renames every temporary file over its target, then writes
    // the streams. RunError when a rename fails.
    void commit();

private:
    friend class OutputFile;
    std::vector<std::unique_ptr<OutputFile::Pending>> pending_;
};

// pwrite of all of content at offset in fd, through interruptions and
// short writes; false with errno set when it fails (EIO for a write of
// nothing).
bool writeAllAt(int fd, std::size_t offset, std::string_view content);

// Writes content to path as one OutputFile.
void writeFileAtomically(const std::string& path, std::string_view content);

} // namespace mhost
