#include "OP_CookHints.h"

#include "OBJ/OBJ_Node.h"
#include "UT_Prefetch.h"

void OP_CookHints::prefetchNode(const OBJ_Node& node) {
    UT_prefetchRange(&node, sizeof(OBJ_Node));
}

void OP_CookHints::prefetchForCook(const OBJ_Node& node) {
    const OP_Node& base = node;
    UT_prefetchRange(&base, sizeof(OP_Node));
    UT_prefetchRange(base.myInputs.data(), base.myInputs.size() * sizeof(OP_Node*));
    const OP_Parameters& parms = node;
    UT_prefetchRange(parms.myComponents.data(), parms.myComponents.size() * sizeof(PRM_Component));
    UT_prefetchRange(parms.myParms.data(), parms.myParms.size() * sizeof(PRM_Parm));
    const auto* first = reinterpret_cast<const char*>(&node.myXformParms);
    UT_prefetchRange(
        first, static_cast<std::size_t>(reinterpret_cast<const char*>(&node.myStamp + 1) - first));
}
