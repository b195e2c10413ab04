// The key table: the node's cache of its active keys.
#include "keys/KeyTable.h"

#include "OP/OP_Parameters.h"
#include "QuenloTokens.h"

#include <algorithm>

namespace quenlo {

KeySegment findSegment(const UT_FloatArray& values, float driver) {
    const float* first = values.begin();
    const std::size_t count = values.entries();
    std::size_t upper = 0;
    // A NaN on either side compares false and so never ends the scan.
    while (upper < count && !(driver <= first[upper]))
        ++upper;
    if (upper == count)
        upper = count - 1;
    return {upper == 0 ? 0 : upper - 1, upper};
}

void KeyTable::rebuild(const OP_Parameters& node) {
    values.resize(0);
    instances.resize(0);
    values.append(static_cast<float>(node.evalFloatInst(token::keyVal, &keyZero, 0, keyTime, 1)));
    instances.append(keyZero);

    const int numKeys = node.evalInt(token::numKeys, 0, keyTime);
    // Room for every key at once, rather than growth by doubling.
    values.setCapacity(1 + static_cast<std::size_t>(std::max(0, numKeys)));
    instances.setCapacity(1 + static_cast<std::size_t>(std::max(0, numKeys)));
    activeCount = 1;
    for (int i = 1; i <= numKeys; ++i) {
        if (node.evalIntInst(token::enable, &i, 0, keyTime, 1) == 0)
            continue;
        values.append(static_cast<float>(node.evalFloatInst(token::keyVal, &i, 0, keyTime, 1)));
        ++activeCount;
        instances.append(i);
    }
}

} // namespace quenlo
