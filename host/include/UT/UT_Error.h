// Error severities shared by every node of the host.
//
// The numbers are part of the interface: a node's error() returns the highest
// severity it carries, so "error() > UT_ERROR_WARNING" means the node holds an
// error that stops its cook.
#pragma once

enum UT_ErrorSeverity {
    UT_ERROR_NONE = 0,    // nothing to report
    UT_ERROR_MESSAGE = 1, // information only
    UT_ERROR_PROMPT = 2,  // the user is asked to act
    UT_ERROR_WARNING = 3, // the result is usable but suspicious
    UT_ERROR_ABORT = 4,   // the cook was abandoned
    UT_ERROR_FATAL = 5    // the node cannot work at all
};

// The host's name for a cook result.
using OP_ERROR = UT_ErrorSeverity;
