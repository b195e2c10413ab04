// Reading input files within a size cap, and file stamps: what a file held
// when it was read, to tell later whether it still holds it. Writing files
// is output_file.hpp's job; checking a command's files against each other
// before it starts, file_plan.hpp's.
#pragma once

#include <cstddef>
#include <cstdint>
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
// it still holds the same. A stamp may also record that no file was there
// (absentFileStamp): then any file found there later is a change.
struct FileStamp {
    std::string file; // absolute, every link followed: the file itself (fileKey)
    bool present = true;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified = 0; // nanoseconds since the epoch
    std::int64_t readAt = 0;   // when it was read (the same clock)
    std::uint64_t hash = 0;    // of the content (contentHash)
};

// The stamp of a path where no file was found: a session that starts on a
// file it will create records it, so that a file another program creates
// there meanwhile is not silently replaced.
FileStamp absentFileStamp(const std::string& path);

// The name a stamp gives the file at path: absolute, every link followed,
// "." and ".." resolved, so that any two paths to one place give the same
// name, whether a file is there or not.
std::string fileKey(const std::string& path);

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
// them as they were). A file deleted or moved away since counts as changed;
// for an absent stamp, any file there now does.
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

} // namespace mhost
