// The temporary files output files are written to (support/output_file.hpp):
// their names, and the record of those this process is writing, so that a
// signal that ends mhost removes them.
#pragma once

#include <string>

namespace mhost {

// "FOLDER/.NAME.mhost-XXXXXX": a hidden name beside the target that says
// whose it is, NAME cut short (at a character's end) where the whole would
// pass the folder's limit on a name's length.
std::string temporaryName(const std::string& folder, const std::string& name);

struct TemporarySlot;

// A temporary file's place in the record while it may be left behind (none
// for a path too long for it).
class TemporaryRecord {
public:
    explicit TemporaryRecord(const std::string& path);
    ~TemporaryRecord();
    TemporaryRecord(const TemporaryRecord&) = delete;
    TemporaryRecord& operator=(const TemporaryRecord&) = delete;

private:
    TemporarySlot* slot_ = nullptr;
};

// Removes this process's temporary output files; async-signal-safe, for
// the handler of the signals that end mhost (handleStopSignals in
// support/process.hpp).
void removeTemporaryFiles() noexcept;

} // namespace mhost
