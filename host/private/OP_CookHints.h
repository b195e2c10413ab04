// Cache hints for a host that cooks many nodes in a row (the host program's
// whole-scene cooks and bakes). Host-private: not installed, and nothing a
// module calls.
//
// A scene's nodes lie apart in memory, a cook reads a few kilobytes of its
// node, and a large scene cooked node by node waits on memory for most of
// them. A host that knows which node it cooks next can prefetch it: these
// start bringing a node's memory into the processor's caches and change
// nothing. [host thread] Any time.
#pragma once

class OBJ_Node;

class OP_CookHints {
public:
    // Prefetches the object itself (its matrices and cook stamps among its
    // fields) without reading it.
    static void prefetchNode(const OBJ_Node& node);
    // Prefetches what its cook reads besides the object: its inputs and, of
    // its components, those the reads of nodes of its shape found before
    // (OP_ParmLayout::readRuns; all of them when the object's own transform
    // is read too). It reads the node to find those arrays: prefetchNode, a
    // few nodes earlier, saves waiting for that read.
    static void prefetchForCook(const OBJ_Node& node);
};
