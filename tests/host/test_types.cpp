#include "test_types.h"

namespace hosttest {

std::vector<CallbackRecord>& callbackLog() {
    static std::vector<CallbackRecord> log;
    return log;
}

namespace {
int record(void* data, int index, float time, const PRM_Template* tmpl) {
    auto* node = static_cast<OP_Node*>(data);
    callbackLog().push_back(CallbackRecord{node, index, time, tmpl->getToken() ? tmpl->getToken() : "",
                                           node->evalFloat("gain", 0, time)});
    return 1;
}

PRM_Name gainName("gain", "Gain");
PRM_Name muteName("mute", "Mute");
PRM_Name zeroName("t0", "Translate 0");
PRM_Name pushName("push", "Push");
PRM_Name countName("count", "Count");
PRM_Name valName("val#", "Value #");
PRM_Name onName("on#", "On #");
PRM_Name vecName("t#", "Translate #");
PRM_Name btnName("btn#", "Button #");
PRM_Name hiddenName("hid#", "Hidden #");
PRM_Name clampName("clamped", "Clamped");

PRM_Default halfDefault[] = {PRM_Default(0.5)};
PRM_Default vecDefaults[] = {PRM_Default(1), PRM_Default(2), PRM_Default(3)};
PRM_Default twoDefault[] = {PRM_Default(2)};
PRM_Range clampRange(PRM_RANGE_RESTRICTED, -1.0, PRM_RANGE_RESTRICTED, 1.0);

PRM_Template members[] = {
    PRM_Template(PRM_FLT, 1, &valName, halfDefault, nullptr, nullptr, record),
    PRM_Template(PRM_TOGGLE, 1, &onName, PRMoneDefaults),
    PRM_Template(PRM_FLT, 3, &vecName, vecDefaults),
    PRM_Template(PRM_CALLBACK, 1, &btnName, nullptr, nullptr, nullptr, record),
    PRM_Template(PRM_Type(PRM_ORD.basicWord(), PRM_TYPE_INVISIBLE.optionWord()), 1, &hiddenName),
    PRM_Template(),
};

PRM_Template own[] = {
    PRM_Template(PRM_FLT, 1, &gainName, PRMoneDefaults, nullptr, nullptr, record),
    PRM_Template(PRM_TOGGLE, 1, &muteName, PRMzeroDefaults),
    PRM_Template(PRM_FLT, 3, &zeroName, PRMzeroDefaults),
    PRM_Template(PRM_CALLBACK, 1, &pushName, nullptr, nullptr, nullptr, record),
    PRM_Template(PRM_FLT, 1, &clampName, PRMzeroDefaults, nullptr, &clampRange),
    PRM_Template(PRM_MULTITYPE_LIST, members, 5.0f, &countName, twoDefault),
    PRM_Template(),
};

OP_TemplatePair ownPair(own);
OP_TemplatePair basePair(OBJ_Null::getTemplateList(), &ownPair);

OP_Node* construct(OP_Network* net, const char* name, OP_Operator* op) {
    return new TestObject(net, name, op);
}
} // namespace

int TestObject::refreshEnableStates() {
    ++refreshCount;
    return enableParm("gain", evalInt("mute", 0, 0.0f) ? 0 : 1);
}

void registerTestType(OP_OperatorTable& table) {
    table.addOperator(new OP_Operator("testobj", "Test Object", construct, &basePair, 0, 2));
}

} // namespace hosttest
