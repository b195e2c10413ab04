// The blend of two key poses and the transform it gives, on values already
// read.
#include "keys/KeyBlend.h"

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
    UT_XformOrder order;
    order.mainOrder(UT_XformOrder::mainOrderFromMenu(xformIndex));
    order.rotOrder(UT_XformOrder::rotOrderFromMenu(rotateIndex));
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
        // Angles blend as stored, unwrapped: 0 to 270 passes through 135.
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
