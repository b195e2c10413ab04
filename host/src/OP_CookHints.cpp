#include "OP_CookHints.h"

#include "OBJ/OBJ_Node.h"
#include "UT_Prefetch.h"

void OP_CookHints::prefetchNode(const OBJ_Node& node) {
    // An object type's own members follow the object's: the line after it.
    UT_prefetchRange(&node, sizeof(OBJ_Node) + 64);
}

void OP_CookHints::prefetchForCook(const OBJ_Node& node) {
    // The cook reads the inputs, the components (the parameter records
    // only when a token is resolved afresh, which a run of cooks of one
    // type does once) and the object's own fields.
    const OP_Node& base = node;
    UT_prefetchRange(base.myInputs.data(), base.myInputs.size() * sizeof(OP_Node*));
    const OP_Parameters& parms = node;
    UT_prefetchRange(parms.myComponents.data(), parms.myComponents.size() * sizeof(PRM_Component));
}
