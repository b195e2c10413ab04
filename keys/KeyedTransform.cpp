// The keyed local transform: the base object's transform, then the blend of
// the two active keys around the driver value.
#include "keys/Interpolation.h"
#include "keys/KeyBlend.h"
#include "node/OBJ_Quenlo.h"
#include "parms/QuenloTokens.h"

namespace quenlo {
namespace {

// Degree and radian factors as single-precision values, so that rotations
// convert exactly as the keys store them.
constexpr double degreesToRadians = static_cast<double>(0.01745329238474369f);
constexpr double radiansToDegrees = static_cast<double>(57.2957763671875f);

float lerp(float from, float to, float weight) {
    return static_cast<float>(from +
                              static_cast<double>(weight) * (static_cast<double>(to) - from));
}

UT_Vector3 toRadians(const std::array<float, 3>& degrees) {
    return UT_Vector3(static_cast<float>(degrees[0] * degreesToRadians),
                      static_cast<float>(degrees[1] * degreesToRadians),
                      static_cast<float>(degrees[2] * degreesToRadians));
}

} // namespace

UT_XformOrder orderFromMenus(int xformIndex, int rotateIndex) {
    constexpr int lastIndex = 5;
    if (xformIndex < 0 || xformIndex > lastIndex)
        xformIndex = 0;
    if (rotateIndex < 0 || rotateIndex > lastIndex)
        rotateIndex = 0;
    UT_XformOrder order;
    // The transform-order menu lists the orders in reverse of rstOrder.
    order.mainOrder(static_cast<UT_XformOrder::rstOrder>(lastIndex - xformIndex));
    order.rotOrder(static_cast<UT_XformOrder::xyzOrder>(rotateIndex));
    return order;
}

QuenloPose foldUniformScale(QuenloPose pose) {
    foldUniformScaleInPlace(pose);
    return pose;
}

void foldUniformScaleInPlace(QuenloPose& pose) {
    for (float& s : pose.scale)
        s = static_cast<float>(static_cast<double>(s) * pose.uniformScale);
}

void applyBlend(const QuenloPose& lower, const QuenloPose& upper, float weight, bool quaternion,
                const UT_XformOrder& order, UT_DMatrix4& xform) {
    std::array<float, 3> translate, rotate, scale, pivot;
    if (quaternion) {
        UT_Quaternion from, to;
        from.updateFromEuler(toRadians(lower.rotate), order);
        to.updateFromEuler(toRadians(upper.rotate), order);
        const UT_Vector3 radians = from.interpolate(to, weight, 0.0f).computeRotations(order);
        for (std::size_t i = 0; i < 3; ++i)
            rotate[i] = static_cast<float>(radians[i] * radiansToDegrees);
    } else {
        // Angles blend as stored, without wrapping: 0 to 270 passes 135.
        for (std::size_t i = 0; i < 3; ++i)
            rotate[i] = lerp(lower.rotate[i], upper.rotate[i], weight);
    }
    for (std::size_t i = 0; i < 3; ++i) {
        translate[i] = lerp(lower.translate[i], upper.translate[i], weight);
        scale[i] = lerp(lower.scale[i], upper.scale[i], weight);
        pivot[i] = lerp(lower.pivot[i], upper.pivot[i], weight);
    }
    xform.xform(order, translate[0], translate[1], translate[2], rotate[0], rotate[1], rotate[2],
                scale[0], scale[1], scale[2], pivot[0], pivot[1], pivot[2], 0);
}

} // namespace quenlo

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
            field.value(pose, c) = static_cast<float>(
                evalFloatInst(field.keyToken, &instance, c, quenlo::keyTime, 1));
    }
}

int OBJ_Quenlo::applyInputIndependentTransform(OP_Context& context, UT_DMatrix4& xform) {
    using namespace quenlo;
    const int baseResult = OBJ_Null::applyInputIndependentTransform(context, xform);
    // A node that already carries an error keeps the base result alone.
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
    const UT_XformOrder order =
        orderFromMenus(evalIntInst(token::xOrd, &keyZero, 0, keyTime, 1),
                       evalIntInst(token::rOrd, &keyZero, 0, keyTime, 1));

    float weight = fitRange(driver, lowerValue, upperValue, 0.0f, 1.0f);
    if (evalInt(token::ease, 0, keyTime) != 0)
        weight = smoothStep(0.0f, 1.0f, weight);
    const bool quaternion = evalInt(token::interp, 0, keyTime) != 0;

    applyBlend(lower, upper, weight, quaternion, order, xform);
    return 1;
}
