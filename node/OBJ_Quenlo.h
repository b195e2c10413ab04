// OBJ_Quenlo: a null object whose local transform is posed by one driver
// value, blended between stored key poses.
#pragma once

#include "OBJ/OBJ_Null.h"
#include "UT/UT_Array.h"

#include <array>

// One key's pose as the keyed transform blends it.
struct QuenloPose {
    std::array<float, 3> translate{0.0f, 0.0f, 0.0f};
    std::array<float, 3> rotate{0.0f, 0.0f, 0.0f}; // degrees
    std::array<float, 3> scale{1.0f, 1.0f, 1.0f};
    std::array<float, 3> pivot{0.0f, 0.0f, 0.0f};
    float uniformScale = 1.0f;
};

// What the key commands copy between a key and the key dummy: the pose and
// the two order menu indices.
struct QuenloKeyTransform {
    int xformOrder = 0;  // index into PRMtrsMenu
    int rotateOrder = 0; // index into PRMxyzMenu
    QuenloPose pose;
};

class OBJ_Quenlo : public OBJ_Null {
public:
    // Values of orderMismatch.
    enum : int { NoMismatch = 0, XformOrderMismatch = 1, RotateOrderMismatch = 2 };

    OBJ_Quenlo(OP_Network* net, const char* name, OP_Operator* op);
    ~OBJ_Quenlo() override;

    // Enables each key's parameters by its "enable#" toggle, disables the
    // hidden per-key orders and rebuilds the key table. Returns the number
    // of enabled states that changed.
    int refreshEnableStates() override;
    const char* labelForInput(unsigned idx) const override;
    // The base transform, then the blend of the two keys around "driverval".
    int applyInputIndependentTransform(OP_Context& context, UT_DMatrix4& xform) override;
    OP_ERROR cookMyObj(OP_Context& context) override;

    // Refills the key table from "keyval0", "numkeys" and every key's
    // "enable#" and "keyval#" at time 0.
    void rebuildKeyTable();
    // Key `instance`'s pose at time 0 (instance 0 is the key 0 block).
    QuenloPose readKeyTransform(int instance) const;

    // Key commands (see commands/QuenloCommands.h).
    QuenloKeyTransform readDummyTransform(OP_Node* dummy, float time);
    void storeKey(int key, float time, const QuenloKeyTransform& transform);
    void pushKeyToDummy(int key, float time, OP_Node* dummy) const;
    void resetKey(int key, float time);

    const UT_FloatArray& getKeyValues() const { return keyValues; }
    const UT_IntArray& getKeyInstances() const { return keyInstances; }
    int getActiveKeyCount() const { return activeKeyCount; }
    int getOrderMismatch() const { return orderMismatch; }

private:
    void repeatOrderWarning();

    // The key table: driver values and instance numbers of the active keys,
    // key 0 first, then the enabled keys in instance order.
    UT_FloatArray keyValues;
    int activeKeyCount = 0;
    UT_IntArray keyInstances;
    // What the last Get key found (NoMismatch, XformOrderMismatch or
    // RotateOrderMismatch); repeated as a warning by every evaluation.
    int orderMismatch = NoMismatch;
};
