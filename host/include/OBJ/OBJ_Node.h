// OBJ_Node: an object: a node with a local and a world transform.
//
// Cooking an object at a given time clears its errors and calls cookMyObj. The
// base cookMyObj builds the local transform by calling
// applyInputIndependentTransform on an identity matrix; the world transform is
// local * the world transform of the object wired into input 0 (the parent), in
// the row-vector convention of UT/UT_Math.h.
#pragma once

#include "OBJ_Error.h"
#include "OP/OP_Context.h"
#include "OP/OP_Network.h"
#include "UT/UT_Math.h"

#include <cstdint>

// Tokens of the transform parameters every object has, whose templates the
// host's null declares (OBJ_Null.h): the transform and rotate order menus,
// translate, rotate (degrees), scale, pivot and uniform scale.
namespace OBJ_Token {
inline constexpr char xOrd[] = "xOrd";
inline constexpr char rOrd[] = "rOrd";
inline constexpr char translate[] = "t";
inline constexpr char rotate[] = "r";
inline constexpr char scale[] = "s";
inline constexpr char pivot[] = "p";
inline constexpr char uniformScale[] = "scale";
} // namespace OBJ_Token

class OBJ_Node : public OP_Network {
public:
    OBJ_Node(OP_Network* parent, const char* name, OP_Operator* op);
    ~OBJ_Node() override;

    // Adds a warning (severity UT_ERROR_WARNING) with this code and message;
    // with no message the code's host text is used. A warning with the same
    // code and message as one already listed is kept once.
    void addWarning(OBJ_Error code, const char* message = nullptr);
    // Adds an error that stops the cook (severity UT_ERROR_ABORT).
    void addObjError(OBJ_Error code, const char* message = nullptr);

    // "Parent" for input 0.
    const char* labelForInput(unsigned idx) const override;
    OBJ_Node* castToOBJNode() override { return this; }

    // Applies the object's own transform parameters to xform (appending, see
    // UT_DMatrix4::xform): "xOrd" and "rOrd" (menu indices, mapped as in
    // UT/UT_Math.h), "t", "r", "s" times "scale", and "p", read at the
    // context's time. Returns 1 when any of them is animated (the result
    // depends on time), else 0. Values that are not finite numbers leave the
    // matrix alone, add an OBJ_ERR_BAD_XFORM error and return 0. An identity
    // pose leaves the matrix as it is. [host thread] From cookMyObj, with
    // the node's error list as the cook has made it so far (an override may
    // test error() and add warnings).
    virtual int applyInputIndependentTransform(OP_Context& context, UT_DMatrix4& xform);

    // Builds the local and world transforms (see the top of this header) and
    // sets the time-dependent flag from the result of
    // applyInputIndependentTransform. A local or world transform that is
    // not finite adds an OBJ_ERR_BAD_XFORM error, and the identity takes
    // its place. Returns error(). [host thread] From cook(), with the
    // parent already cooked and the error list cleared.
    virtual OP_ERROR cookMyObj(OP_Context& context);

    // The host's cook: cooks the parent first (and its parent before it, up
    // the chain), then this object when it must (see
    // OP_NodeFlags::timeDependent; a pressed button or forceRecook also
    // makes it cook again): clears the error list and calls cookMyObj.
    // Returns error().
    OP_ERROR cook(OP_Context& context);

    const UT_DMatrix4& getLocalTransform() const { return myLocal; }
    const UT_DMatrix4& getWorldTransform() const { return myWorld; }
    // What applyInputIndependentTransform returned during the last cook.
    int getLastXformResult() const { return myLastXformResult; }
    // How many times cookMyObj ran through cook().
    int getCookCount() const { return myCookCount; }

protected:
    // For overrides of cookMyObj that build the matrices themselves.
    void setTransforms(const UT_DMatrix4& local, const UT_DMatrix4& world);

private:
    friend class OP_CookHints; // the host program's cache hints (host-private)
    friend class OP_CookRun;   // the host program's runs of cooks (host-private)
    // The object wired into input 0, or nullptr.
    OBJ_Node* parentObject() const;
    // cook() as part of run (see host/private/OP_CookRun.h; 0: no run): the
    // chain above stops at the first parent the run cooked or found current.
    OP_ERROR cookChain(OP_Context& context, unsigned long run);
    // cook() for this object alone, its parent (parentObject(), which the
    // chain walk found) already cooked.
    OP_ERROR cookThis(OP_Context& context, const OBJ_Node* parent);

    // The components of the object's transform parameters ("t", "r", "s",
    // "p", "scale", "xOrd", "rOrd"), as indices in the node's component
    // array (-1 when missing), found once per parameter list layout and
    // valid while that layout lasts. identityVersion: the parameter version
    // at which every one of them was a constant of the identity pose
    // (nothing to apply), or ~0.
    struct XformParms {
        unsigned long structure = ~0ul;
        unsigned long identityVersion = ~0ul;
        std::int32_t component[15];
    };
    const XformParms& xformParms();
    // Finds them afresh after the parameter list changed.
    void findXformParms();

    XformParms myXformParms;
    UT_DMatrix4 myLocal;
    UT_DMatrix4 myWorld;
    int myLastXformResult = 0;
    int myCookCount = 0;
    bool myHasCooked = false;
    float myCookedTime = 0.0f;
    unsigned long myCookedVersion = 0;
    unsigned long myCookedRecookRequests = 0;
    unsigned long myCookedParentStamp = 0;
    const OBJ_Node* myCookedParent = nullptr;
    unsigned long myStamp = 0;   // bumped whenever the world transform is rebuilt
    unsigned long myCookRun = 0; // the last run that cooked or checked this node
};
