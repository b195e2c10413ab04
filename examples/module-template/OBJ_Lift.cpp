// OBJ_Lift: a null object that rises along its parent's Y axis by "lift".
//
// The smallest useful module: one object type, "lift", with the host's
// object parameters and one parameter of its own.
#include <OBJ/OBJ_Null.h>
#include <OP/OP_Module.h>
#include <OP/OP_OperatorTable.h>
#include <PRM/PRM_Default.h>
#include <PRM/PRM_Name.h>
#include <PRM/PRM_Range.h>
#include <PRM/PRM_Shared.h>
#include <PRM/PRM_Template.h>

namespace {

class OBJ_Lift : public OBJ_Null {
public:
    using OBJ_Null::OBJ_Null;

    static OP_Node* create(OP_Network* net, const char* name, OP_Operator* op) {
        return new OBJ_Lift(net, name, op);
    }

    // The null's transform ("t", "r", "s", ...), then the lift, applied
    // after it: the object rises along its parent's Y axis.
    int applyInputIndependentTransform(OP_Context& context, UT_DMatrix4& xform) override {
        const int timeDependent = OBJ_Null::applyInputIndependentTransform(context, xform);
        const double lift = evalFloat("lift", 0, context.getTime());
        xform.xform(UT_XformOrder(), 0.0, lift, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 1.0, 0.0, 0.0, 0.0);
        return timeDependent || isParmAnimated("lift");
    }

private:
    bool isParmAnimated(const char* token) const {
        const int index = findParmIndex(token);
        return index >= 0 && getParm(index)->isAnimated();
    }
};

// The host's object list ends with a folder that holds the two templates
// that follow it: here a separator and "lift".
PRM_Name separatorName("liftsep", "");
PRM_Name liftName("lift", "Lift");
PRM_Range liftRange(PRM_RANGE_UI, 0.0, PRM_RANGE_UI, 10.0);
PRM_Template ownTemplates[] = {
    PRM_Template(PRM_SEPARATOR, 1, &separatorName),
    PRM_Template(PRM_FLT, 1, &liftName, PRMzeroDefaults, nullptr, &liftRange),
    PRM_Template(),
};

OP_TemplatePair ownPair(ownTemplates);
OP_TemplatePair templates(OBJ_Null::getTemplateList(), &ownPair);

} // namespace

MORVANE_MODULE_EXPORT void MorvaneDSOVersion(const char** version) {
    *version = OP_DSO_INTERFACE_VERSION;
}

MORVANE_MODULE_EXPORT void MorvaneGetTagInfo(const char** tag) {
    *tag = "OBJ_Lift 1.0";
}

MORVANE_MODULE_EXPORT void newObjectOperator(OP_OperatorTable* table) {
    // One input: the parent.
    table->addOperator(new OP_Operator("lift", "Lift", OBJ_Lift::create, &templates, 0, 1));
}
