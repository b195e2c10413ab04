// Reading input files within a size cap, and writing output files so that a
// failure never leaves a half-written one and a write never does more than
// it says.
//
// Output rules (every file mhost writes: scenes, plots and later exports):
//  * The target is a regular file or does not exist yet. Anything else (a
//    folder, a FIFO, a device, a socket) is refused as bad input.
//  * A symbolic link is followed to the file it names, which is replaced;
//    the link itself stays a link.
//  * The new content goes to a temporary file beside the final target,
//    ".NAME.mhost-XXXXXX", which is renamed over it once complete, so readers
//    see the old file or the new one, never a mix. A replaced file keeps its
//    permission bits (and, when mhost runs as root, its owner); a new file
//    gets 0666 less the umask. A write that fails for any reason (a full
//    disk, the file-size limit) removes the temporary file, and so does
//    SIGINT, SIGTERM or SIGHUP in mhost (handleStopSignals, process.hpp).
//  * The rename happens under an advisory lock (flock) on the target's
//    folder, held for that moment only: every mhost process replacing a
//    file of the folder waits for the others. A write that must not lose a
//    change made since its content was read (requireUnchanged) checks the
//    file under the same lock, so two processes that each read, change and
//    save one file cannot both succeed: the second is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace mhost {

// Scripts and scenes larger than this are refused before they are read whole.
inline constexpr std::size_t kMaxInputBytes = std::size_t(256) << 20;

// The whole content of a file, or of standard input for "-". InputError
// naming the file when it cannot be read, is a folder, or holds more than
// kMaxInputBytes.
std::string readTextFile(const std::string& path);

// What a regular file held when it was read: its identity (device, inode,
// size, modification time) and a hash of its content, to tell later whether
// it still holds the same.
struct FileStamp {
    std::string file; // absolute, every link followed: the file itself
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified = 0; // nanoseconds since the epoch
    std::int64_t readAt = 0;   // when it was read (the same clock)
    std::uint64_t hash = 0;    // of the content (contentHash)
};

// A file's text and, for a regular file, its stamp (none for standard input
// or a pipe). As readTextFile otherwise.
struct StampedText {
    std::string text;
    std::optional<FileStamp> stamp;
};
StampedText readStampedTextFile(const std::string& path);

// Whether the file stamp describes still holds the content it held: the
// identity is compared first, and the content is hashed again only when it
// differs, or matches but could hide a change (modified within two seconds
// of the read: file times are coarse, and a write in the same tick leaves
// them as they were). A file deleted since counts as changed.
bool stillUnchanged(const FileStamp& stamp);

// A 64-bit hash of text, for telling contents apart (not a cryptographic
// one: it guards against changes, not against a forger, who could as well
// write the file).
std::uint64_t contentHash(std::string_view text);

// contentHash of text given in pieces.
class ContentHasher {
public:
    void add(std::string_view bytes);
    std::uint64_t value() const;

private:
    static std::uint64_t load(const char* p);
    void mix(std::uint64_t word);

    std::uint64_t state_ = 0x243f6a8885a308d3ULL;
    std::uint64_t length_ = 0;
    char carry_[8] = {};
    std::size_t carried_ = 0;
};

// The file a write to path would replace: path with every symbolic link
// followed. InputError when that is neither a regular file nor absent, or
// the links loop.
std::string resolveOutputFile(const std::string& path);

// A file written by the output rules above, in parts: the content goes to
// the temporary file, which commit() puts in place; a file not committed
// (an error on the way) is removed, the target left as it was.
class OutputFile {
public:
    // InputError for a target that is refused; RunError naming path when the
    // temporary file cannot be made.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // RunError naming path when a write fails.
    void write(std::string_view content);
    // Writes content at offset, leaving write()'s position unchanged: parts
    // of a file can be written in any order.
    void writeAt(std::size_t offset, std::string_view content);
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

    // Puts the file in place. Returns its stamp when it was written with
    // write() alone (its content hashed on the way), none otherwise.
    std::optional<FileStamp> commit();

private:
    class Syncer;
    class Temporary;
    [[noreturn]] void fail(const char* what);
    int stopSyncing();
    void put(std::size_t offset, std::string_view content);

    std::unique_ptr<Syncer> syncer_;
    std::unique_ptr<Temporary> registered_; // removed on SIGINT, SIGTERM, SIGHUP

    std::string path_;      // as given, for messages
    std::string final_;     // links followed
    std::string temporary_; // beside final_
    std::string folder_;    // where both are
    int fd_ = -1;
    std::size_t end_ = 0; // where write() writes next
    bool replaces_ = false;
    unsigned mode_ = 0;
    unsigned owner_ = 0, group_ = 0;
    std::string key_;                     // the target as a stamp names it
    std::optional<FileStamp> unchanged_;  // what the target must still hold
    std::optional<ContentHasher> hasher_; // of what write() wrote; none after writeAt
};

// Writes content to path as one OutputFile.
void writeFileAtomically(const std::string& path, std::string_view content);

// Removes this process's temporary output files; async-signal-safe, for
// the handler of the signals that end mhost (handleStopSignals in
// support/process.hpp).
void removeTemporaryFiles() noexcept;

} // namespace mhost
