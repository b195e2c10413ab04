#include "OBJ/OBJ_Node.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

const char* OBJgetErrorText(OBJ_Error code) {
    switch (code) {
    case OBJ_ERR_CANT_FIND_OBJ:
        return "Can't find the object named by a path parameter";
    case OBJ_ERR_INPUT_CYCLE:
        return "Inputs would form a loop";
    case OBJ_ERR_BAD_XFORM:
        return "Transform parameters are not finite numbers";
    case OBJ_ERR_SINGULAR_XFORM:
        return "The transform collapses space";
    case OBJ_ERR_NO_INPUT:
        return "A required input is not connected";
    case OBJ_ERR_PARM_RANGE:
        return "A parameter lies outside its range";
    case OBJ_WARNING_GENERIC:
        return "Warning";
    }
    return "Unknown object error";
}

OBJ_Node::OBJ_Node(OP_Network* parent, const char* name, OP_Operator* op)
    : OP_Network(parent, name, op) {}

OBJ_Node::~OBJ_Node() = default;

void OBJ_Node::addWarning(OBJ_Error code, const char* message) {
    addError(UT_ERROR_WARNING, code, message ? message : OBJgetErrorText(code));
}

void OBJ_Node::addObjError(OBJ_Error code, const char* message) {
    addError(UT_ERROR_ABORT, code, message ? message : OBJgetErrorText(code));
}

const char* OBJ_Node::labelForInput(unsigned idx) const {
    return idx == 0 ? "Parent" : OP_Network::labelForInput(idx);
}

namespace {
// The transform values in the order xformParms lists them, with the value a
// missing one reads as: t, r, s, p (three each), the uniform scale, then the
// two order menus.
constexpr int kXformValues = 15;
constexpr double kIdentityValues[kXformValues] = {0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 0, 0};
} // namespace

const OBJ_Node::XformParms& OBJ_Node::xformParms() {
    if (myXformParms.structure != getStructureVersion()) [[unlikely]]
        findXformParms();
    return myXformParms;
}

// Out of line, so that the check above costs an evaluation a compare.
[[gnu::noinline]] void OBJ_Node::findXformParms() {
    const struct {
        const char* token;
        int components;
    } parms[] = {{OBJ_Token::translate, 3}, {OBJ_Token::rotate, 3},       {OBJ_Token::scale, 3},
                 {OBJ_Token::pivot, 3},     {OBJ_Token::uniformScale, 1}, {OBJ_Token::xOrd, 1},
                 {OBJ_Token::rOrd, 1}};
    int at = 0;
    for (const auto& parm : parms) {
        const PRM_Parm* p = findParm(parm.token);
        for (int c = 0; c < parm.components; ++c)
            myXformParms.component[at++] =
                p && c < p->getVectorSize()
                    ? static_cast<std::int32_t>(&p->component(c) - myComponents.data())
                    : -1;
    }
    myXformParms.structure = getStructureVersion();
    myXformParms.identityVersion = ~0ul;
}

int OBJ_Node::applyInputIndependentTransform(OP_Context& context, UT_DMatrix4& xform) {
    const float t = context.getTime();
    const XformParms& parms = xformParms();
    // The usual object under a keyed or parented transform: a constant
    // identity pose that no change has touched since it was last read.
    if (parms.identityVersion == getParmVersion())
        return 0;
    // A missing parameter reads as its identity value, so object types built
    // on other template lists still get a sane matrix.
    bool animated = false;
    double v[kXformValues];
    for (int i = 0; i < kXformValues; ++i) {
        if (parms.component[i] < 0) {
            v[i] = kIdentityValues[i];
            continue;
        }
        const PRM_Component& c = myComponents[static_cast<std::size_t>(parms.component[i])];
        animated = animated || c.isAnimated();
        v[i] = c.valueAt(t);
    }
    // Menu indices: anything but a small whole number names no order and
    // reads as the default.
    const auto menuIndex = [](double value) {
        return value >= -0.5 && value < 5.5 ? static_cast<int>(value + 0.5) : 0;
    };
    const int xOrd = menuIndex(v[13]);
    const int rOrd = menuIndex(v[14]);
    bool isIdentity = true;
    for (int i = 0; i < 13; ++i) {
        if (!std::isfinite(v[i])) {
            addObjError(OBJ_ERR_BAD_XFORM);
            return 0;
        }
        isIdentity = isIdentity && v[i] == kIdentityValues[i];
    }
    // The identity pose builds the identity whatever the orders: skip it.
    if (isIdentity) {
        if (!animated)
            myXformParms.identityVersion = getParmVersion();
        return animated ? 1 : 0;
    }
    UT_XformOrder order(UT_XformOrder::mainOrderFromMenu(xOrd),
                        UT_XformOrder::rotOrderFromMenu(rOrd));
    xform.xform(order, v[0], v[1], v[2], v[3], v[4], v[5], v[6] * v[12], v[7] * v[12], v[8] * v[12],
                v[9], v[10], v[11]);
    return animated ? 1 : 0;
}

namespace {
// A double is an infinity or a NaN exactly when its exponent bits are all
// set: adding one just below them then carries into the sign bit. Integer
// steps without an early exit, so that the compiler checks two values an
// instruction: every cook checks two matrices.
bool isFinite(const UT_DMatrix4& m) {
    constexpr std::uint64_t kExponent = 0x7FF0000000000000ull;
    constexpr std::uint64_t kBelowExponent = 1ull << 52;
    std::uint64_t carried = 0;
    for (int i = 0; i < 16; ++i)
        carried |= (std::bit_cast<std::uint64_t>(m.data()[i]) & kExponent) + kBelowExponent;
    return (carried >> 63) == 0;
}
} // namespace

OP_ERROR OBJ_Node::cookMyObj(OP_Context& context) {
    UT_DMatrix4 local;
    myLastXformResult = applyInputIndependentTransform(context, local);
    // Finite parameters can still overflow: a key read as a 32-bit float, a
    // huge local under a huge parent. A NaN or infinite matrix would spread
    // to every child's world, so it stops here as an error.
    const OP_Node* input = getInput(0);
    const OBJ_Node* parent = input ? input->castToOBJNode() : nullptr;
    const auto worldOf = [parent](const UT_DMatrix4& m) {
        return parent ? m * parent->getWorldTransform() : m;
    };
    UT_DMatrix4 world = worldOf(local);
    // A NaN or an infinity in a row of the local leaves nothing finite in
    // that row of the product: a finite world has a finite local.
    if (!isFinite(world)) [[unlikely]] {
        if (!isFinite(local)) {
            addObjError(OBJ_ERR_BAD_XFORM, "The local transform is not a finite number");
            local.identity();
            world = worldOf(local);
        }
        if (!isFinite(world)) {
            addObjError(OBJ_ERR_BAD_XFORM, "The world transform is not a finite number");
            local.identity();
            world.identity();
        }
    }
    setTransforms(local, world);
    flags().timeDependent = myLastXformResult != 0 ? 1 : 0;
    return error();
}

void OBJ_Node::setTransforms(const UT_DMatrix4& local, const UT_DMatrix4& world) {
    myLocal = local;
    myWorld = world;
}

OBJ_Node* OBJ_Node::parentObject() const {
    OP_Node* input = getInput(0);
    return input ? input->castToOBJNode() : nullptr;
}

OP_ERROR OBJ_Node::cook(OP_Context& context) {
    return cookChain(context, 0);
}

OP_ERROR OBJ_Node::cookChain(OP_Context& context, unsigned long run) {
    if (run != 0 && myCookRun == run)
        return error();
    // The parents first, from the top of the chain down. A loop, not a
    // recursion up the chain: a chain of any length cooks within the
    // thread's stack. The chain is held on the stack up to kShortChain.
    constexpr std::size_t kShortChain = 32;
    OBJ_Node* shortChain[kShortChain];
    std::vector<OBJ_Node*> longChain;
    std::size_t depth = 0;
    OBJ_Node* up = parentObject();
    for (; up && (run == 0 || up->myCookRun != run); up = up->parentObject()) {
        if (depth == kShortChain)
            longChain.assign(shortChain, shortChain + kShortChain);
        if (depth < kShortChain)
            shortChain[depth] = up;
        else
            longChain.push_back(up);
        ++depth;
    }
    OBJ_Node* const* chain = depth <= kShortChain ? shortChain : longChain.data();
    // up is now the parent of the chain's top: none, or one already cooked.
    for (std::size_t i = depth; i-- > 0;) {
        chain[i]->cookThis(context, i + 1 < depth ? chain[i + 1] : up);
        chain[i]->myCookRun = run;
    }
    const OP_ERROR severity = cookThis(context, depth > 0 ? chain[0] : up);
    myCookRun = run;
    return severity;
}

OP_ERROR OBJ_Node::cookThis(OP_Context& context, const OBJ_Node* parent) {
    const unsigned long parentStamp = parent ? parent->myStamp : 0;
    const bool stale = !myHasCooked || myCookedVersion != getParmVersion() ||
                       myCookedRecookRequests != getRecookRequests() || myCookedParent != parent ||
                       myCookedParentStamp != parentStamp ||
                       (flags().timeDependent && context.getTime() != myCookedTime);
    if (!stale)
        return error();
    clearErrors();
    ++myCookCount;
    cookMyObj(context);
    myHasCooked = true;
    myCookedTime = context.getTime();
    myCookedVersion = getParmVersion();
    myCookedRecookRequests = getRecookRequests();
    myCookedParent = parent;
    myCookedParentStamp = parentStamp;
    ++myStamp;
    return error();
}
