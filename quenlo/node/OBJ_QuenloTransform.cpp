// The keyed local transform: the base object's transform, then the blend of
// the two active keys around the driver value.
#include "QuenloTokens.h"
#include "keys/Interpolation.h"
#include "keys/KeyBlend.h"
#include "node/OBJ_Quenlo.h"

QuenloPose OBJ_Quenlo::readKeyTransform(int instance) const {
    QuenloPose pose;
    readKeyTransform(instance, pose);
    return pose;
}

void OBJ_Quenlo::readKeyTransform(int instance, QuenloPose& pose) const {
    for (const quenlo::KeyField& field : quenlo::keyFields) {
        if (field.isOrder())
            continue; // every key is applied in key 0's orders
        for (int c = 0; c < field.components; ++c)
            field.value(pose, c) =
                static_cast<float>(evalFloatInst(field.keyToken, &instance, c, quenlo::keyTime, 1));
    }
}

int OBJ_Quenlo::applyInputIndependentTransform(OP_Context& context, UT_DMatrix4& xform) {
    using namespace quenlo;
    const int baseResult = OBJ_Null::applyInputIndependentTransform(context, xform);
    // A node that already carries an error keeps only the base result.
    if (error() > UT_ERROR_WARNING)
        return baseResult;
    addOrderWarning(orderMismatch);

    const int numKeys = evalInt(token::numKeys, 0, keyTime);
    if (!keyTable().isCurrent())
        rebuildKeyTable();

    const float driver = static_cast<float>(evalFloat(token::driverVal, 0, context.getTime()));
    const KeySegment segment = keyTable().segmentAround(driver);
    const float lowerValue = keyValues[segment.lower];
    const float upperValue = keyValues[segment.upper];

    // A table built for a longer key list may name keys that are gone; both
    // poses then stay the identity.
    QuenloPose lower, upper;
    if (keyInstances[segment.upper] <= numKeys) {
        readKeyTransform(keyInstances[segment.lower], lower);
        foldUniformScaleInPlace(lower);
        readKeyTransform(keyInstances[segment.upper], upper);
        foldUniformScaleInPlace(upper);
    }

    // Every key is applied in key 0's orders.
    const UT_XformOrder order = orderFromMenus(evalIntInst(token::xOrd, &keyZero, 0, keyTime, 1),
                                               evalIntInst(token::rOrd, &keyZero, 0, keyTime, 1));

    float weight = fitRange(driver, lowerValue, upperValue, 0.0f, 1.0f);
    if (evalInt(token::ease, 0, keyTime) != 0)
        weight = smoothStep(0.0f, 1.0f, weight);
    const bool quaternion = evalInt(token::interp, 0, keyTime) != 0;

    applyBlend(lower, upper, weight, quaternion, order, xform);
    return 1;
}
