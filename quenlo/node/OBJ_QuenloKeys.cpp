// What the key buttons do to a node: read the key dummy, store a key, push a
// key onto the dummy, reset a key.
#include "QuenloTokens.h"
#include "node/OBJ_Quenlo.h"

using quenlo::KeyField;
using quenlo::keyFields;
using quenlo::keyTime;
using quenlo::keyZero;
namespace tok = quenlo::token;

namespace {

// The dummy is read in the order an object lists its transform: the two
// orders, then the three-component fields, then the uniform scale ("t", "r",
// "s", "p", "scale"). This is the key fields' order with the vectors first.
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
        // Orders are copied as the menu index, unchanged.
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
