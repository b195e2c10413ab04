#include "node/OBJ_Quenlo.h"

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
