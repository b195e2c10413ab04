// Reading input files within a size cap, and writing output files so that a
// failure never leaves a half-written one and a write never does more than
// it says.
//
// Output rules (every file mhost writes: scenes, plots and later exports):
//  * The target is a regular file or does not exist yet. Anything else (a
//    folder, a FIFO, a device, a socket) is refused as bad input.
//  * A symbolic link is followed to the file it names, which is replaced;
//    the link itself stays a link.
//  * The new content goes to a temporary file beside the final target, which
//    is renamed over it once complete, so readers see the old file or the new
//    one, never a mix. A replaced file keeps its permission bits (and, when
//    mhost runs as root, its owner); a new file gets 0666 less the umask.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace mhost {

// Scripts and scenes larger than this are refused before they are read whole.
inline constexpr std::size_t kMaxInputBytes = std::size_t(256) << 20;

// The whole content of a file, or of standard input for "-". InputError
// naming the file when it cannot be read, is a folder, or holds more than
// kMaxInputBytes.
std::string readTextFile(const std::string& path);

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
    // Writes content at offset, leaving write()'s place where it was: parts
    // of a file can be written in any order.
    void writeAt(std::size_t offset, std::string_view content);
    // Starts putting what has been written so far on the disk, without
    // waiting for it: a thread of the file's own syncs it meanwhile, so that
    // a long file written in parts costs little more than its last part at
    // commit.
    void startWriteback();
    void commit();

private:
    class Syncer;
    [[noreturn]] void fail(const char* what);
    int stopSyncing();

    std::unique_ptr<Syncer> syncer_;

    std::string path_;      // as given, for messages
    std::string final_;     // links followed
    std::string temporary_; // beside final_
    int fd_ = -1;
    std::size_t end_ = 0; // where write() writes next
    bool replaces_ = false;
    unsigned mode_ = 0;
    unsigned owner_ = 0, group_ = 0;
};

// Writes content to path as one OutputFile.
void writeFileAtomically(const std::string& path, std::string_view content);

} // namespace mhost
