// Error and warning codes of object nodes.
#pragma once

enum OBJ_Error {
    OBJ_ERR_CANT_FIND_OBJ = 0,   // a path parameter names no object
    OBJ_ERR_INPUT_CYCLE = 1,     // inputs would form a loop
    OBJ_ERR_BAD_XFORM = 2,       // transform parameters are not finite numbers
    OBJ_ERR_SINGULAR_XFORM = 3,  // the transform collapses space (a zero scale)
    OBJ_ERR_NO_INPUT = 4,        // a required input is not wired
    OBJ_ERR_PARM_RANGE = 5,      // a parameter lies outside its range
    OBJ_WARNING_GENERIC = 10,    // free-text warning of a node type
};

// The host's text for a code, used when a warning comes without a message.
const char* OBJgetErrorText(OBJ_Error code);
