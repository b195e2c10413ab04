// The node: its construction, inputs, cook, warnings, key table and enabled
// states.
#include "node/OBJ_Quenlo.h"

#include "QuenloTokens.h"

OBJ_Quenlo::OBJ_Quenlo(OP_Network* net, const char* name, OP_Operator* op)
    : OBJ_Null(net, name, op) {}

OBJ_Quenlo::~OBJ_Quenlo() = default;

const char* OBJ_Quenlo::labelForInput(unsigned idx) const {
    switch (idx) {
    case 0:
        return "Parent";
    case 1:
        return "Key dummy";
    default:
        return "WTF?";
    }
}

OP_ERROR OBJ_Quenlo::cookMyObj(OP_Context& context) {
    const OP_ERROR severity = OBJ_Null::cookMyObj(context);
    // The driver value may be animated, so the node is cooked again at every
    // new time.
    flags().timeDependent = 1;
    return severity;
}

void OBJ_Quenlo::addOrderWarning(int mismatch) {
    if (mismatch == XformOrderMismatch)
        addWarning(OBJ_WARNING_GENERIC, "Transform order doesn't match quenlo object");
    else if (mismatch == RotateOrderMismatch)
        addWarning(OBJ_WARNING_GENERIC, "Rotate order doesn't match quenlo object");
}

void OBJ_Quenlo::rebuildKeyTable() {
    keyTable().rebuild(*this);
}

int OBJ_Quenlo::refreshEnableStates() {
    using namespace quenlo;
    const int numKeys = evalInt(token::numKeys, 0, keyTime);
    int changed = 0;
    for (int i = 1; i <= numKeys; ++i) {
        // Every key is blended in key 0's orders, so the keys' own orders are
        // kept but never edited directly.
        changed += enableParmInst(token::xOrd, &i, 0, 1, -1);
        changed += enableParmInst(token::rOrd, &i, 0, 1, -1);
        for (const char* dependent : token::keyDependents) {
            const int state = evalIntInst(token::enable, &i, 0, keyTime, 1);
            changed += enableParmInst(dependent, &i, state, 1, -1);
        }
    }
    rebuildKeyTable();
    return changed;
}

namespace quenlo {

int keyValueCallback(void* data, int, float, const PRM_Template*) {
    if (auto* node = dynamic_cast<OBJ_Quenlo*>(static_cast<OP_Node*>(data)))
        node->rebuildKeyTable();
    return 1;
}

} // namespace quenlo
