// A run of cooks at one time for a host that cooks many nodes in a row (the
// host program's whole-scene cooks and bake samples). Host-private: not
// installed, and nothing a module calls.
//
// OBJ_Node::cook checks the whole chain of parents above a node before it
// cooks the node, since any of them may have changed. Within a run nothing
// changes between cooks, so a parent the run already cooked, or found
// current, stands for its whole chain: a node cooked after its parent costs
// one check, not one per ancestor. [host thread] No edit between the cooks
// of one run.
#pragma once

#include "OP/OP_Context.h"
#include "UT/UT_Error.h"

class OBJ_Node;

class OP_CookRun {
public:
    explicit OP_CookRun(float time);
    // What OBJ_Node::cook gives, with the run's time.
    UT_ErrorSeverity cook(OBJ_Node& node);

private:
    OP_Context myContext;
    unsigned long myId; // never 0, which no run has
};
