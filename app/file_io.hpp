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

// Writes content to path by the output rules above. InputError for a target
// that is refused; RunError naming path when the write fails, the old file
// then left as it was and no temporary file left behind.
void writeFileAtomically(const std::string& path, std::string_view content);

} // namespace mhost
