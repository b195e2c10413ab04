#include "plugin/QuenloRegistration.h"

#include "OP/OP_OperatorTable.h"
#include "node/OBJ_Quenlo.h"
#include "parms/QuenloTemplates.h"

#include <new>

namespace quenlo {

OP_Node* createNode(OP_Network* net, const char* name, OP_Operator* op) {
    return new (std::nothrow) OBJ_Quenlo(net, name, op);
}

void registerOperator(OP_OperatorTable* table) {
    // Input 0 is the parent, input 1 the key dummy; their labels come from
    // OBJ_Quenlo::labelForInput.
    table->addOperator(new OP_Operator("quenlo", "Quenlo", createNode, buildTemplatePair(nullptr),
                                       2, 2, nullptr, 0, nullptr));
}

} // namespace quenlo
