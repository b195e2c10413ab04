// OP_Parameters: the parameters of one node, and its error list.
//
// The list is built from the node type's templates when the node is made:
// one PRM_Parm per template, in template order; a multi-parameter is followed
// by its instances, each instance's members in member order.
//
// Access by token. A token names one parameter exactly ("t1"). The *Inst
// forms take a token with "#" and instance numbers: the first `nestLevel`
// "#" characters are replaced, left to right, by inst[0], inst[1], ... in
// decimal, so "t#" with instance 3 is "t3" and with instance 0 is "t0" (a
// parameter of its own, not a multi-parameter instance).
//
// Robustness. Reading a token, component or instance that does not exist
// yields 0; writing one does nothing. Neither ever throws.
//
// Integers. evalInt reads the component's value and rounds it to the nearest
// integer, halves away from zero (2.5 -> 3, -2.5 -> -3); values beyond the
// int range saturate and a NaN reads as 0. setInt stores the integer as a
// float of the same value.
//
// Speed. A node remembers, for the token addresses and instances it was
// asked for, which parameter they named, until its parameter layout changes
// (a parameter added or removed). A token whose text lies in read-only
// memory (a string literal, the usual case) cannot change, so its address
// alone finds the answer, and a read of it goes from the address straight
// to the value in the node's component array: no text is hashed or
// compared. Any other token is checked against the parameter it named last
// time, so a buffer rewritten in place is resolved afresh. Nodes are used
// from the host's thread only.
//
// Pointers to parameters (getParm, findParm) stay valid until parameters
// are added or removed: setMultiCount, or writing a multi-parameter's count.
//
// Plug-in writes (set*) never run callbacks. The host's user edits
// (OP_Node::setParmByUser, OP_Node::pressButton) do.
#pragma once

#include "OP_ParmLayout.h"
#include "PRM/PRM_Parm.h"
#include "UT/UT_BlockAllocator.h"
#include "UT/UT_Error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class OP_Operator;

// The interface the parameter library sees of whatever owns parameters.
class PRM_ParmOwner {
public:
    virtual ~PRM_ParmOwner();
    // Brings the enabled state of the owner's parameters up to date after
    // they changed; returns how many states changed. [host thread] After
    // every user edit (once its callback ran) and after a scene is loaded;
    // the parameter list is complete and may be read and written.
    virtual int refreshEnableStates();
};

// One entry of a node's error list.
struct OP_ErrorEntry {
    UT_ErrorSeverity severity;
    int code;
    std::string message;
};

class OP_Parameters : public PRM_ParmOwner {
public:
    explicit OP_Parameters(OP_Operator* op);
    ~OP_Parameters() override;
    OP_Parameters(const OP_Parameters&) = delete;
    OP_Parameters& operator=(const OP_Parameters&) = delete;

    // --- Reading -----------------------------------------------------------
    int evalInt(const char* token, int component, float time) const;
    double evalFloat(const char* token, int component, float time) const;
    // The text of a string component ("" when missing or not a string).
    std::string evalString(const char* token, int component, float time) const;
    int evalIntInst(const char* token, const int* inst, int component, float time,
                    int nestLevel = 1) const;
    double evalFloatInst(const char* token, const int* inst, int component, float time,
                         int nestLevel = 1) const;

    // --- Plug-in writes ----------------------------------------------------
    // Sets the component at time: the keyframe at that time when the
    // component has keyframes, otherwise its constant. addKey 1 makes a
    // keyframe at that time even on a constant component.
    void setFloat(const char* token, int component, float time, double value, int addKey = 0);
    void setInt(const char* token, int component, float time, int value);
    void setString(const char* token, int component, float time, const char* text);
    void setIntInst(int value, const char* token, const int* inst, int component, float time,
                    int nestLevel = 1);
    void setFloatInst(double value, const char* token, const int* inst, int component, float time,
                      int nestLevel = 1);

    // Enables (state non-zero) or disables a parameter. component -1 means
    // the whole parameter; the stand-in host keeps one state per parameter,
    // so every component value acts on the whole parameter. Returns 1 when
    // the state changed, else 0 (also for a missing parameter).
    int enableParm(const char* token, int state, int component = -1);
    int enableParmInst(const char* token, const int* inst, int state, int nestLevel = 1,
                       int component = -1);

    // --- Errors --------------------------------------------------------------
    // The highest severity in the error list (UT_ERROR_NONE when empty).
    UT_ErrorSeverity error() const;
    // Adds an entry; an entry equal in severity, code and message to one
    // already listed is not added again.
    void addError(UT_ErrorSeverity severity, int code, const char* message);
    void clearErrors();
    const std::vector<OP_ErrorEntry>& getErrors() const { return myErrors; }

    // --- The host's view of the list -----------------------------------------
    OP_Operator* getOperator() const { return myOperator; }
    int getParmCount() const { return static_cast<int>(myParms.size()); }
    PRM_Parm* getParm(int index) const {
        if (index < 0 || static_cast<std::size_t>(index) >= myParms.size())
            return nullptr;
        return const_cast<PRM_Parm*>(&myParms[static_cast<std::size_t>(index)]);
    }
    // Index of the parameter with exactly this token, or -1.
    int findParmIndex(std::string_view token) const;
    PRM_Parm* findParm(std::string_view token) const;

    // Writes the component and, for a multi-parameter's count, adds or
    // removes instances to match. Returns false when nothing was written.
    bool writeValue(int parmIndex, int component, float time, double value, int addKey = 0);
    // Replaces a component's keyframes (see PRM_Component::setKeys). A
    // multi-parameter's count and string components cannot be animated:
    // returns false for them.
    bool setKeyframes(int parmIndex, int component, std::vector<UT_Keyframe> keys);

    // Sets the number of instances of the multi-parameter at parmIndex.
    // Raising it appends instances with the member defaults; lowering it
    // removes the highest. Counts are clamped to 0..maxMultiInstances.
    void setMultiCount(int parmIndex, int count);
    static constexpr int maxMultiInstances = 65536;

    // Incremented by every change of a value, keyframe, instance count or
    // enabled state; the host compares it to know when to recook.
    unsigned long getParmVersion() const { return myVersion; }
    // Incremented whenever parameters are added or removed, so parameter
    // indices found earlier stay valid while it is unchanged.
    unsigned long getStructureVersion() const { return myStructureVersion; }

protected:
    // Counts a change (getParmVersion) and notes it for the node's network
    // (OP_Network::takeChangedChildren).
    void touch() {
        ++myVersion;
        noteChanged();
    }
    // Notes a change for the node's network without counting one: the
    // first change since the network last took its changed children puts
    // the node in its list.
    void noteChanged() {
        if (myChangeList) {
            myChangeList->push_back(this);
            myChangeList = nullptr;
        }
    }

private:
    friend class OP_CookHints; // the host program's cache hints (host-private)
    friend class OBJ_Node;     // its transform parameters' components, by index
    friend class OP_Network;   // keeps the list of its changed children
    // Resolves token (with "#" instances when inst is given) to an index:
    // from what this node remembers when it can, else resolveAndRemember.
    int resolve(const char* token, const int* inst, int nestLevel) const;
    int resolveAndRemember(const char* token, const int* inst, int nestLevel) const;
    int resolveUncached(const char* token, const int* inst, int nestLevel) const;
    // resolve() for tokens too long for its stack buffer.
    int resolveLong(const char* token, const int* inst, int nestLevel) const;
    const PRM_Component* componentOf(const char* token, const int* inst, int nestLevel,
                                     int component) const;
    // The read's fast path, one probe of the layout's cache: sets found to
    // the component a read-only token names (instance INT_MIN: a token
    // without "#" replaced) and returns true, when a node of this shape
    // resolved the token before; else returns false.
    bool knownComponent(const char* token, int instance, int component,
                        const PRM_Component*& found) const;
    // The reads' slow paths: the value at time through componentOf, and
    // that value rounded as evalInt rounds.
    double valueOf(const char* token, const int* inst, int component, float time,
                   int nestLevel) const;
    int intValueOf(const char* token, const int* inst, int component, float time,
                   int nestLevel) const;
    int lookup(std::string_view token, std::uint32_t hash) const;
    int lookupIn(const OP_ParmLayout& layout, std::string_view token, std::uint32_t hash) const;

    // Layout. A list (multi-parameter) is followed by its instances, member
    // by member, a nested list by its own instances in turn.
    void appendTemplate(const PRM_Template* tmpl);
    // How many parameters one instance of list holds, nested lists at their
    // default counts.
    static std::size_t instanceSize(const PRM_Template& list);
    // Appends to out the parameters of instances first..last of list, in
    // the list's instance path, nested lists with their default instances.
    using ParmList = std::vector<PRM_Parm, UT_BlockAllocator<PRM_Parm, UT_BlockArena::Other>>;
    void appendInstances(ParmList& out, const PRM_Template& list, const std::vector<int>& path,
                         int first, int last, int owner) const;
    // How many parameters the one at index occupies: 1, or for a list itself
    // and all its instances, nested lists' instances included.
    std::size_t extentOf(std::size_t index) const;
    // Gathers every parameter's components into one array, in parameter
    // order; parameters new to the list get their defaults.
    void relayout();
    // Points every instance parameter at the list it belongs to.
    void renumberOwners();
    // Takes the layout of the list's shape, from the type when it has one,
    // else made here; called after parameters were added or removed.
    void adoptLayout();

    // The node's arrays come from the host's block allocator (see
    // UT/UT_BlockAllocator.h): the components, which a cook reads, from the
    // values' arena, in the order nodes are made; the parameter records,
    // which it does not, from the other.
    OP_Operator* myOperator;
    ParmList myParms;
    // Every parameter's components, in parameter order.
    std::vector<PRM_Component, UT_BlockAllocator<PRM_Component>> myComponents;
    // The index and resolutions of the list's current shape, shared with
    // every node of the type in the same shape (see OP/OP_ParmLayout.h).
    std::shared_ptr<const OP_ParmLayout> myLayout;
    std::vector<OP_ErrorEntry> myErrors;
    unsigned long myVersion = 0;
    unsigned long myStructureVersion = 0;
    // The network's list of changed children while this node is not in it;
    // null once it is, and for parameters outside a network.
    std::vector<OP_Parameters*>* myChangeList = nullptr;
};
