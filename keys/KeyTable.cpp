// The key table (the node's cache of its active keys) and the enabled state
// of the per-key parameters.
#include "keys/KeyTable.h"

#include "node/OBJ_Quenlo.h"
#include "parms/QuenloTokens.h"

namespace tok = quenlo::token;

namespace {

// Key parameters are never animated in effect: they are read at time 0.
constexpr float keyTime = 0.0f;
constexpr int key0 = 0;

} // namespace

void OBJ_Quenlo::rebuildKeyTable() {
    keyValues.resize(0);
    keyInstances.resize(0);
    keyValues.append(static_cast<float>(evalFloatInst(tok::keyVal, &key0, 0, keyTime, 1)));
    keyInstances.append(key0);

    const int numKeys = evalInt(tok::numKeys, 0, keyTime);
    activeKeyCount = 1;
    for (int i = 1; i <= numKeys; ++i) {
        if (evalIntInst(tok::enable, &i, 0, keyTime, 1) == 0)
            continue;
        keyValues.append(static_cast<float>(evalFloatInst(tok::keyVal, &i, 0, keyTime, 1)));
        ++activeKeyCount;
        keyInstances.append(i);
    }
}

int OBJ_Quenlo::refreshEnableStates() {
    const int numKeys = evalInt(tok::numKeys, 0, keyTime);
    int changed = 0;
    for (int i = 1; i <= numKeys; ++i) {
        // Every key is blended in key 0's orders, so the keys' own orders are
        // kept but never edited directly.
        changed += enableParmInst(tok::xOrd, &i, 0, 1, -1);
        changed += enableParmInst(tok::rOrd, &i, 0, 1, -1);
        for (const char* dependent : tok::keyDependents) {
            const int state = evalIntInst(tok::enable, &i, 0, keyTime, 1);
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
