#include "commands/QuenloCommands.h"

#include "node/OBJ_Quenlo.h"
#include "parms/QuenloTokens.h"

#include <charconv>
#include <cstring>
#include <system_error>

using quenlo::KeyField;
using quenlo::keyFields;
using quenlo::keyTime;
using quenlo::keyZero;
namespace tok = quenlo::token;

namespace {

constexpr char dummyMissing[] = "Key dummy is not connected";

OBJ_Quenlo* quenloNode(void* data) {
    return dynamic_cast<OBJ_Quenlo*>(static_cast<OP_Node*>(data));
}

// The key number of a pressed button, from the token of its template.
std::optional<int> buttonKey(const PRM_Template* tplate, const char* prefix) {
    return quenlo::keyNumberFromToken(tplate ? tplate->getToken() : nullptr, std::strlen(prefix));
}

// The dummy is read as an object lists its transform: the two orders, then
// the three-component fields, then the uniform scale ("t", "r", "s", "p",
// "scale"). This is the key fields' order with the vectors first.
enum class DummyPass { Orders, Vectors, Scalars };

DummyPass passOf(const KeyField& field) {
    if (field.isOrder())
        return DummyPass::Orders;
    return field.components > 1 ? DummyPass::Vectors : DummyPass::Scalars;
}

} // namespace

QuenloKeyTransform OBJ_Quenlo::readDummyTransform(OP_Node* dummy, float time) {
    QuenloKeyTransform captured;
    for (const DummyPass pass : {DummyPass::Orders, DummyPass::Vectors, DummyPass::Scalars}) {
        for (const KeyField& field : keyFields) {
            if (passOf(field) != pass)
                continue;
            if (field.isOrder()) {
                captured.*field.order = dummy->evalInt(field.dummyToken, 0, time);
                continue;
            }
            for (int c = 0; c < field.components; ++c)
                field.value(captured.pose, c) =
                    static_cast<float>(dummy->evalFloat(field.dummyToken, c, time));
        }
    }

    // Keys are applied in key 0's orders: a dummy posed in other orders is
    // captured all the same, with key 0's orders, and the user is warned.
    // The pose values are kept as read.
    orderMismatch = NoMismatch;
    const int keyXformOrder = evalIntInst(tok::xOrd, &keyZero, 0, keyTime, 1);
    if (keyXformOrder != captured.xformOrder) {
        captured.xformOrder = keyXformOrder;
        orderMismatch = XformOrderMismatch;
        addOrderWarning(XformOrderMismatch);
    }
    const int keyRotateOrder = evalIntInst(tok::rOrd, &keyZero, 0, keyTime, 1);
    if (keyRotateOrder != captured.rotateOrder) {
        captured.rotateOrder = keyRotateOrder;
        orderMismatch = RotateOrderMismatch;
        addOrderWarning(RotateOrderMismatch);
    }
    return captured;
}

void OBJ_Quenlo::storeKey(int key, float time, const QuenloKeyTransform& transform) {
    // The key keeps the orders it was captured in too, so that Put key
    // poses the dummy exactly as captured.
    for (const KeyField& field : keyFields) {
        if (field.isOrder()) {
            setIntInst(transform.*field.order, field.keyToken, &key, 0, keyTime, 1);
            continue;
        }
        for (int c = 0; c < field.components; ++c)
            setFloatInst(field.value(transform.pose, c), field.keyToken, &key, c, keyTime, 1);
    }
    const float driver = static_cast<float>(evalFloat(tok::driverVal, 0, time));
    setFloatInst(driver, tok::keyVal, &key, 0, keyTime, 1);
}

void OBJ_Quenlo::pushKeyToDummy(int key, float time, OP_Node* dummy) const {
    for (const KeyField& field : keyFields) {
        // Orders go over as the menu index, unchanged.
        for (int c = 0; c < field.components; ++c)
            dummy->setFloat(field.dummyToken, c, time,
                            field.isOrder() ? evalIntInst(field.keyToken, &key, 0, keyTime, 1)
                                            : evalFloatInst(field.keyToken, &key, c, keyTime, 1),
                            0);
    }
}

void OBJ_Quenlo::resetKey(int key, float) {
    for (const KeyField& field : keyFields) {
        if (field.isOrder()) {
            setIntInst(static_cast<int>(field.identity), field.keyToken, &key, 0, keyTime, 1);
            continue;
        }
        for (int c = 0; c < field.components; ++c)
            setFloatInst(field.identity, field.keyToken, &key, c, keyTime, 1);
    }
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
