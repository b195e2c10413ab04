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
// Speed. Token resolution is memoized per call site: the last few
// (token pointer, instance) pairs a node resolved are remembered with a copy
// of the token's text, and reused while the text still matches and no
// parameter was added or removed. Plug-ins that pass string literals thus
// pay for the lookup once. Nodes are used from the host's thread only.
//
// Plug-in writes (set*) never run callbacks. The host's user edits
// (OP_Node::setParmByUser, OP_Node::pressButton) do.
#pragma once

#include "PRM/PRM_Parm.h"
#include "UT/UT_Error.h"

#include <memory>
#include <string>
#include <cstddef>
#include <cstdint>
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
    void setFloatInst(double value, const char* token, const int* inst, int component,
                      float time, int nestLevel = 1);

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
    PRM_Parm* getParm(int index) const;
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
    void touch() { ++myVersion; }

private:
    // Resolves token (with "#" instances when inst is given) to an index.
    int resolve(const char* token, const int* inst, int nestLevel) const;
    int resolveUncached(const char* token, const int* inst, int nestLevel) const;
    // resolve() for tokens too long for its stack buffer.
    int resolveLong(const char* token, const int* inst, int nestLevel) const;
    const PRM_Component* componentOf(const char* token, const int* inst, int nestLevel,
                                     int component) const;
    void rebuildIndex();
    void appendTemplate(const PRM_Template* tmpl);
    // How many parameters the one at index occupies: 1, or for a list itself
    // and all its instances, nested lists' instances included.
    std::size_t extentOf(std::size_t index) const;
    // Appends instances to the list at index up to count (no index rebuild).
    void insertInstances(std::size_t index, int count);
    // Gives the new list at index its default count of instances.
    void growToDefaultCount(std::size_t index);
    // Points every instance parameter at the list it belongs to.
    void renumberOwners();
    int lookup(std::string_view token, std::uint32_t hash) const;

    // Token index: open addressing over a power-of-two table of slots, each
    // holding a token's hash and its parameter index (-1 for empty). Tokens
    // are resolved on every evaluation, so this avoids the allocation and
    // the modulo of a general-purpose map.
    struct IndexSlot {
        std::uint32_t hash;
        int parm;
    };
    struct ResolveMemo {
        const char* token = nullptr;
        int instance = 0;
        int parm = -1;
        unsigned long structure = 0;
        char text[24] = {};
    };
    static constexpr int kResolveMemoBits = 7;
    static constexpr std::size_t kResolveMemos = std::size_t(1) << kResolveMemoBits;

    OP_Operator* myOperator;
    std::vector<std::unique_ptr<PRM_Parm>> myParms;
    mutable std::unique_ptr<ResolveMemo[]> myResolveMemos;
    std::vector<IndexSlot> myIndex;
    std::vector<OP_ErrorEntry> myErrors;
    unsigned long myVersion = 0;
    unsigned long myStructureVersion = 0;
};
