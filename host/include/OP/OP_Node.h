// OP_Node: a node of a network: a name, a type, parameters, inputs, flags.
#pragma once

#include "OP_Parameters.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class OBJ_Node;
class OP_Network;

// Something that can be placed in a network editor.
class OP_NetworkBoxItem {
public:
    virtual ~OP_NetworkBoxItem();
    float getX() const { return myX; }
    float getY() const { return myY; }
    void setXY(float x, float y) {
        myX = x;
        myY = y;
    }

private:
    float myX = 0.0f, myY = 0.0f;
};

// Per-node flags, one byte each. The byte positions are part of the
// interface: plug-ins may set a flag through this record.
struct OP_NodeFlags {
    // Byte 0: the node is shown in the viewport (saved with the scene).
    unsigned char display = 1;
    // Byte 1: the node can be picked in the viewport (saved with the scene).
    unsigned char selectable = 1;
    // Byte 2: the node's result depends on time. The host keeps a cooked
    // node's result and cooks it again only when its parameters or inputs
    // changed, or, while this flag is 1, when it is asked for another time.
    // Each cook sets it anew (see OBJ_Node::cookMyObj).
    unsigned char timeDependent = 0;
};
static_assert(offsetof(OP_NodeFlags, timeDependent) == 2, "the time flag is the third byte");

class OP_Node : public OP_Parameters, public OP_NetworkBoxItem {
public:
    OP_Node(OP_Network* parent, const char* name, OP_Operator* op);
    ~OP_Node() override;

    // Nodes, of every type, come from the nodes' arena of the host's block
    // allocator, in the order they are made (see UT/UT_BlockAllocator.h).
    static void* operator new(std::size_t bytes) { return UT_BlockStorage::allocate(bytes); }
    static void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
        try {
            return UT_BlockStorage::allocate(bytes);
        } catch (...) {
            return nullptr;
        }
    }
    static void operator delete(void* node, std::size_t bytes) noexcept {
        UT_BlockStorage::deallocate(node, bytes);
    }

    const char* getName() const { return myName.c_str(); }
    OP_Network* getParent() const { return myParent; }

    // Number of input connectors (the type's maximum).
    unsigned nInputs() const { return static_cast<unsigned>(myInputs.size()); }
    // The node wired into input idx, or nullptr (also for a missing input).
    // markUsed is accepted for the host's signature; the stand-in host keeps
    // no record of it.
    OP_Node* getInput(unsigned idx, bool markUsed = false) const;
    // Wires src (or nothing, for nullptr) into input idx. Refuses, returning
    // false and changing nothing, an input index out of range, a node of
    // another network, and a wire that would make src depend on this node.
    bool setInput(unsigned idx, OP_Node* src);
    // True when this node reaches other through its inputs (or is it).
    bool dependsOn(const OP_Node* other) const;

    // Makes the node's next cook run afresh although no parameter or input
    // changed. getRecookRequests counts the calls; a cooked result is reused
    // only while it is unchanged.
    void forceRecook() {
        ++myRecookRequests;
        noteChanged();
    }
    unsigned long getRecookRequests() const { return myRecookRequests; }

    OP_NodeFlags& flags() { return myFlags; }
    const OP_NodeFlags& flags() const { return myFlags; }

    // Label of input connector idx: "Input 1", "Input 2", ... by default.
    // [host thread] Any time after construction; the text must outlive the
    // node (the host does not free it).
    virtual const char* labelForInput(unsigned idx) const;
    // Label of output connector idx: "Output 1" by default. [host thread]
    // As labelForInput.
    virtual const char* outputLabel(unsigned idx) const;

    // The node as an object, or nullptr for any other node: what a cook
    // asks of every input, without a dynamic_cast (which compares type
    // names across libraries). [host thread] Any time.
    virtual OBJ_Node* castToOBJNode() { return nullptr; }
    const OBJ_Node* castToOBJNode() const { return const_cast<OP_Node*>(this)->castToOBJNode(); }

    // --- The host's user operations ------------------------------------------
    // A user edit: writes the value (clamped at restricted range ends), runs
    // the parameter template's callback with (node, parameter index, time,
    // template), then calls refreshEnableStates. Returns false, doing
    // nothing, for an unknown token or component, or a parameter without a
    // value (button, separator, switcher).
    bool setParmByUser(const char* token, int component, float time, double value);
    bool setStringByUser(const char* token, int component, float time, const char* text);
    // Presses the button with this token, running its callback with the
    // template of that very instance, and marks the node changed so that
    // its next cook runs afresh (and raises its warnings again). Returns
    // false, doing nothing, when the token names no button.
    bool pressButton(const char* token, float time);

private:
    friend class OP_CookHints; // the host program's cache hints (host-private)
    friend class OP_Network;   // names its children
    void runCallback(int parmIndex, float time);

    std::string myName;
    OP_Network* myParent;
    std::vector<OP_Node*> myInputs;
    OP_NodeFlags myFlags;
    unsigned long myRecookRequests = 0;
    // Walks over the wiring (dependsOn, OP_Network::addReaders) mark the
    // nodes they visit with the walk's number; nodes are used from the
    // host's thread only, so one counter serves every walk.
    mutable std::uint32_t myVisitMark = 0;
    static std::uint32_t ourWalk;
};
