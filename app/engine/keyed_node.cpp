#include "engine/keyed_node.hpp"

namespace mhost {

bool isKeyedNode(const OP_Node& node) {
    return node.findParm(keyed::kDriver) && node.findParm(keyed::kKeyZeroValue) &&
           node.findParm(keyed::kKeyZeroXformOrder);
}

std::vector<KeyMark> readActiveKeys(const OP_Node& node) {
    std::vector<KeyMark> keys;
    if (!isKeyedNode(node))
        return keys;
    keys.push_back({0, node.evalFloat(keyed::kKeyZeroValue, 0, keyed::kKeyTime)});
    const int count =
        node.findParm(keyed::kKeyCount) ? node.evalInt(keyed::kKeyCount, 0, keyed::kKeyTime) : 0;
    for (int i = 1; i <= count; ++i) {
        if (node.evalIntInst(keyed::kKeyEnable, &i, 0, keyed::kKeyTime) != 0)
            keys.push_back({i, node.evalFloatInst(keyed::kKeyValue, &i, 0, keyed::kKeyTime)});
    }
    return keys;
}

} // namespace mhost
