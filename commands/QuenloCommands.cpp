#include "commands/QuenloCommands.h"

#include "node/OBJ_Quenlo.h"
#include "parms/QuenloTokens.h"

#include <charconv>
#include <cstring>
#include <system_error>

namespace tok = quenlo::token;

namespace {

// The node's key parameters are stored at time 0.
constexpr float keyTime = 0.0f;
constexpr int key0 = 0;

constexpr char dummyMissing[] = "Key dummy is not connected";
constexpr char xformOrderWarning[] = "Transform order doesn't match quenlo object";
constexpr char rotateOrderWarning[] = "Rotate order doesn't match quenlo object";

OBJ_Quenlo* quenloNode(void* data) {
    return dynamic_cast<OBJ_Quenlo*>(static_cast<OP_Node*>(data));
}

// The key number of a pressed button, from the token of its template.
std::optional<int> buttonKey(const PRM_Template* tplate, const char* prefix) {
    return quenlo::keyNumberFromToken(tplate ? tplate->getToken() : nullptr, std::strlen(prefix));
}

float readFloat(const OP_Node& node, const char* token, int component, float time) {
    return static_cast<float>(node.evalFloat(token, component, time));
}

} // namespace

QuenloKeyTransform OBJ_Quenlo::readDummyTransform(OP_Node* dummy, float time) {
    QuenloKeyTransform captured;
    captured.xformOrder = dummy->evalInt(tok::dummy::xOrd, 0, time);
    captured.rotateOrder = dummy->evalInt(tok::dummy::rOrd, 0, time);
    QuenloPose& pose = captured.pose;
    for (int i = 0; i < 3; ++i)
        pose.translate[i] = readFloat(*dummy, tok::dummy::translate, i, time);
    for (int i = 0; i < 3; ++i)
        pose.rotate[i] = readFloat(*dummy, tok::dummy::rotate, i, time);
    for (int i = 0; i < 3; ++i)
        pose.scale[i] = readFloat(*dummy, tok::dummy::scale, i, time);
    for (int i = 0; i < 3; ++i)
        pose.pivot[i] = readFloat(*dummy, tok::dummy::pivot, i, time);
    pose.uniformScale = readFloat(*dummy, tok::dummy::uniformScale, 0, time);

    // Keys are applied in key 0's orders: a dummy posed in other orders is
    // captured all the same, with key 0's orders, and the user is warned.
    // The pose values are kept as read.
    orderMismatch = NoMismatch;
    const int keyXformOrder = evalIntInst(tok::xOrd, &key0, 0, keyTime, 1);
    if (keyXformOrder != captured.xformOrder) {
        captured.xformOrder = keyXformOrder;
        orderMismatch = XformOrderMismatch;
        addWarning(OBJ_WARNING_GENERIC, xformOrderWarning);
    }
    const int keyRotateOrder = evalIntInst(tok::rOrd, &key0, 0, keyTime, 1);
    if (keyRotateOrder != captured.rotateOrder) {
        captured.rotateOrder = keyRotateOrder;
        orderMismatch = RotateOrderMismatch;
        addWarning(OBJ_WARNING_GENERIC, rotateOrderWarning);
    }
    return captured;
}

void OBJ_Quenlo::storeKey(int key, float time, const QuenloKeyTransform& transform) {
    const QuenloPose& pose = transform.pose;
    // The key keeps the orders it was captured in, so that Put key poses the
    // dummy exactly as captured.
    setIntInst(transform.xformOrder, tok::xOrd, &key, 0, keyTime, 1);
    setIntInst(transform.rotateOrder, tok::rOrd, &key, 0, keyTime, 1);
    for (int i = 0; i < 3; ++i)
        setFloatInst(pose.translate[i], tok::translate, &key, i, keyTime, 1);
    for (int i = 0; i < 3; ++i)
        setFloatInst(pose.rotate[i], tok::rotate, &key, i, keyTime, 1);
    for (int i = 0; i < 3; ++i)
        setFloatInst(pose.scale[i], tok::scale, &key, i, keyTime, 1);
    setFloatInst(pose.uniformScale, tok::uniformScale, &key, 0, keyTime, 1);
    for (int i = 0; i < 3; ++i)
        setFloatInst(pose.pivot[i], tok::pivot, &key, i, keyTime, 1);

    const float driver = static_cast<float>(evalFloat(tok::driverVal, 0, time));
    setFloatInst(driver, tok::keyVal, &key, 0, keyTime, 1);
}

void OBJ_Quenlo::pushKeyToDummy(int key, float time, OP_Node* dummy) const {
    auto copyInt = [&](const char* keyToken, const char* dummyToken) {
        dummy->setFloat(dummyToken, 0, time, evalIntInst(keyToken, &key, 0, keyTime, 1), 0);
    };
    auto copyFloats = [&](const char* keyToken, const char* dummyToken, int components) {
        for (int i = 0; i < components; ++i)
            dummy->setFloat(dummyToken, i, time, evalFloatInst(keyToken, &key, i, keyTime, 1), 0);
    };
    copyInt(tok::xOrd, tok::dummy::xOrd);
    copyInt(tok::rOrd, tok::dummy::rOrd);
    copyFloats(tok::translate, tok::dummy::translate, 3);
    copyFloats(tok::rotate, tok::dummy::rotate, 3);
    copyFloats(tok::scale, tok::dummy::scale, 3);
    copyFloats(tok::uniformScale, tok::dummy::uniformScale, 1);
    copyFloats(tok::pivot, tok::dummy::pivot, 3);
}

void OBJ_Quenlo::resetKey(int key, float) {
    setIntInst(0, tok::xOrd, &key, 0, keyTime, 1);
    setIntInst(0, tok::rOrd, &key, 0, keyTime, 1);
    for (int i = 0; i < 3; ++i)
        setFloatInst(0.0, tok::translate, &key, i, keyTime, 1);
    for (int i = 0; i < 3; ++i)
        setFloatInst(0.0, tok::rotate, &key, i, keyTime, 1);
    for (int i = 0; i < 3; ++i)
        setFloatInst(1.0, tok::scale, &key, i, keyTime, 1);
    setFloatInst(1.0, tok::uniformScale, &key, 0, keyTime, 1);
    for (int i = 0; i < 3; ++i)
        setFloatInst(0.0, tok::pivot, &key, i, keyTime, 1);
}

namespace quenlo {

std::optional<int> keyNumberFromToken(const char* token, std::size_t prefixLength) {
    if (token == nullptr || std::strlen(token) <= prefixLength)
        return std::nullopt;
    const char* first = token + prefixLength;
    const char* last = first + std::strlen(first);
    if (*first < '0' || *first > '9')
        return std::nullopt; // from_chars would accept a minus sign
    int key = 0;
    const auto [end, status] = std::from_chars(first, last, key, 10);
    if (status != std::errc() || end != last)
        return std::nullopt;
    return key;
}

namespace {

// What a Get key or Put key press acts on: the node, the key and the dummy.
struct DummyPress {
    OBJ_Quenlo* node;
    int key;
    OP_Node* dummy;
};

// The press's node, key and dummy, or nothing when the press acts on no key
// or no dummy is wired (the user is then warned).
std::optional<DummyPress> dummyPress(void* data, const PRM_Template* tplate, const char* prefix) {
    OBJ_Quenlo* node = quenloNode(data);
    const std::optional<int> key = buttonKey(tplate, prefix);
    if (node == nullptr || !key)
        return std::nullopt;
    OP_Node* dummy = node->getInput(1, false);
    if (dummy == nullptr) {
        node->addWarning(OBJ_WARNING_GENERIC, dummyMissing);
        return std::nullopt;
    }
    return DummyPress{node, *key, dummy};
}

} // namespace

int getKeyCallback(void* data, int, float time, const PRM_Template* tplate) {
    if (const auto press = dummyPress(data, tplate, tok::getKeyPrefix)) {
        const QuenloKeyTransform captured = press->node->readDummyTransform(press->dummy, time);
        press->node->storeKey(press->key, time, captured);
        press->node->rebuildKeyTable();
    }
    return 1;
}

int putKeyCallback(void* data, int, float time, const PRM_Template* tplate) {
    if (const auto press = dummyPress(data, tplate, tok::putKeyPrefix))
        press->node->pushKeyToDummy(press->key, time, press->dummy);
    return 1;
}

int resetKeyCallback(void* data, int, float time, const PRM_Template* tplate) {
    OBJ_Quenlo* node = quenloNode(data);
    const std::optional<int> key = buttonKey(tplate, tok::resetPrefix);
    if (node == nullptr || !key)
        return 1;
    node->resetKey(*key, time);
    node->rebuildKeyTable();
    return 1;
}

} // namespace quenlo
