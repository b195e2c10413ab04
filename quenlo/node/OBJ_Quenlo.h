// OBJ_Quenlo: a null object whose local transform is posed by one driver
// value, blended between stored key poses.
//
// Every operation below runs on the host's thread, to completion; the node
// locks nothing. "[host]" marks what the host calls, with the state it
// calls it in; "[module]" what the module's own callbacks call.
#pragma once

#include "OBJ/OBJ_Null.h"
#include "UT/UT_Array.h"
#include "keys/KeyPose.h"
#include "keys/KeyTable.h"

class OBJ_Quenlo : public OBJ_Null {
public:
    // Values of orderMismatch.
    enum : int { NoMismatch = 0, XformOrderMismatch = 1, RotateOrderMismatch = 2 };

    // [host] Through the type's constructor callback. The key table starts
    // empty; no parameter is read until the first refresh or evaluation.
    OBJ_Quenlo(OP_Network* net, const char* name, OP_Operator* op);
    ~OBJ_Quenlo() override;

    // [host] After parameters changed (every user edit, a scene load).
    // Enables each key's parameters by its "enable#" toggle, disables the
    // hidden per-key orders and rebuilds the key table. Returns the number
    // of enabled states that changed.
    int refreshEnableStates() override;
    // [host] Any time: "Parent", "Key dummy", or "WTF?" for any other input.
    const char* labelForInput(unsigned idx) const override;
    // [host] While cooking, to build the local transform: the base
    // transform, then the blend of the two keys around "driverval".
    int applyInputIndependentTransform(OP_Context& context, UT_DMatrix4& xform) override;
    // [host] The cook: the base cook, then the node is flagged time-dependent.
    OP_ERROR cookMyObj(OP_Context& context) override;

    // [module] Refills the key table from "keyval0", "numkeys" and every
    // key's "enable#" and "keyval#" at the key time (see keys/KeyTable.h).
    void rebuildKeyTable();
    // [module] Key `instance`'s pose at the key time (instance 0 is the key
    // 0 block); the orders are not read.
    QuenloPose readKeyTransform(int instance) const;
    // The same, written into `pose` (storage the evaluation reuses).
    void readKeyTransform(int instance, QuenloPose& pose) const;

    // [module] The key commands' operations (see commands/QuenloCommands.h).
    QuenloKeyTransform readDummyTransform(OP_Node* dummy, float time);
    void storeKey(int key, float time, const QuenloKeyTransform& transform);
    void pushKeyToDummy(int key, float time, OP_Node* dummy) const;
    void resetKey(int key, float time);

    const UT_FloatArray& getKeyValues() const { return keyValues; }
    const UT_IntArray& getKeyInstances() const { return keyInstances; }
    int getActiveKeyCount() const { return activeKeyCount; }
    int getOrderMismatch() const { return orderMismatch; }

private:
    // The node's key table as the functions of keys/KeyTable.h see it.
    quenlo::KeyTable keyTable() { return {keyValues, keyInstances, activeKeyCount}; }
    // Adds the warning that names a mismatch (XformOrderMismatch or
    // RotateOrderMismatch); NoMismatch adds nothing.
    void addOrderWarning(int mismatch);

    // The key table: driver values and instance numbers of the active keys,
    // key 0 first, then the enabled keys in instance order.
    UT_FloatArray keyValues;
    int activeKeyCount = 0;
    UT_IntArray keyInstances;
    // What the last Get key found (NoMismatch, XformOrderMismatch or
    // RotateOrderMismatch); repeated as a warning by every evaluation.
    int orderMismatch = NoMismatch;
};

namespace quenlo {

// [host] Change callback of "keyval#": rebuilds the table of the node whose
// key driver value changed; returns 1.
int keyValueCallback(void* data, int index, float time, const PRM_Template* tplate);

} // namespace quenlo
