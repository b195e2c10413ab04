#include "OP_CookHints.h"

#include "OBJ/OBJ_Node.h"
#include "UT_Prefetch.h"

void OP_CookHints::prefetchNode(const OBJ_Node& node) {
    // An object type's own members follow the object's: the line after it.
    UT_prefetchLines<UT_linesTouched(sizeof(OBJ_Node) + UT_kCacheLine)>(&node);
}

void OP_CookHints::prefetchForCook(const OBJ_Node& node) {
    // The cook reads the inputs, the components (the parameter records
    // only when a token is resolved afresh, which a run of cooks of one
    // type does once) and the object's own fields.
    const OP_Node& base = node;
    UT_prefetchRange(base.myInputs.data(), base.myInputs.size() * sizeof(OP_Node*));
    const OP_Parameters& parms = node;
    const PRM_Component* components = parms.myComponents.data();
    // Of the components, the lines the type's reads found before, unless
    // the object's own transform is read too (it is skipped while it is an
    // unchanged identity), or nothing was read yet, or the reads spread
    // over too much of the array to list: then all of them.
    const auto& runs = parms.myLayout->readRuns;
    if (runs.empty() || node.myXformParms.identityVersion != parms.getParmVersion()) {
        UT_prefetchRange(components, parms.myComponents.size() * sizeof(PRM_Component));
        return;
    }
    for (const OP_ParmLayout::ComponentRun& run : runs)
        UT_prefetchRange(components + run.first, (run.end - run.first) * sizeof(PRM_Component));
}
