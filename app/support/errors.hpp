// app/support: the bottom layer of mhost. Failures and exit statuses (this
// header), files read and written by the output rules (file_io.hpp), and
// text helpers (text.hpp). It includes nothing of mhost's other layers.
//
// The two kinds of failure mhost reports, and the exit status of each.
#pragma once

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

// Exit status of a run.
enum ExitCode : int {
    kExitOk = 0,
    kExitRunFailure = 1, // an action failed while it ran (a cook error, a write error)
    kExitBadInput = 2,   // a file, command, node, type, parameter or module is wrong
};

// What a failure is about, for callers that tell them apart (the Python
// API raises ValueError, KeyError, OSError, TypeError, IndexError and
// FileChangedError, an OSError, from them).
enum class FailureKind {
    Value,   // a value, a file's contents or an action is wrong
    Lookup,  // no node, node type or parameter of that name
    File,    // a file cannot be read or written
    Type,    // a value of the wrong type: text for a number, too many values
    Index,   // no such input or component
    Changed, // a file changed since it was read: saving would lose that change
};

// Base of everything mhost throws on purpose. what() is the whole message
// printed to standard error.
class Failure : public std::runtime_error {
public:
    Failure(ExitCode code, const std::string& message, FailureKind kind = FailureKind::Value)
        : std::runtime_error(message), code_(code), kind_(kind) {}
    ExitCode code() const { return code_; }
    FailureKind kind() const { return kind_; }

private:
    ExitCode code_;
    FailureKind kind_;
};

// Bad input: unreadable or malformed files, unknown names, refused edits.
class InputError : public Failure {
public:
    explicit InputError(const std::string& message, FailureKind kind = FailureKind::Value)
        : Failure(kExitBadInput, message, kind) {}
};

// Malformed JSON: the message names the file, line and column already, so
// nothing puts more context in front of it.
class MalformedJson : public InputError {
public:
    using InputError::InputError;
};

// A well-formed action that failed while it ran.
class RunError : public Failure {
public:
    explicit RunError(const std::string& message, FailureKind kind = FailureKind::Value)
        : Failure(kExitRunFailure, message, kind) {}
};

// Rethrows a Failure with `context` put in front of its message, keeping its
// exit status. Used to add the file name or the action index. Malformed
// JSON is rethrown unchanged.
[[noreturn]] inline void rethrowWithContext(const Failure& failure, const std::string& context) {
    if (const auto* malformed = dynamic_cast<const MalformedJson*>(&failure))
        throw *malformed;
    throw Failure(failure.code(), context + failure.what(), failure.kind());
}

// A time in seconds as the host keeps it, a 32-bit float. `what` names the
// value in the error raised for a time that is not finite or out of range.
inline float secondsFrom(double value, const std::string& what) {
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max())
        throw InputError(what + " must be a finite time in seconds");
    return static_cast<float>(value);
}

} // namespace mhost
