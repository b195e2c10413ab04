// The blend of two key poses and its application to a matrix: the part of
// the keyed transform that works on values already read.
#pragma once

#include "UT/UT_Math.h"
#include "keys/KeyPose.h"

namespace quenlo {

// The order record for a transform-order menu index (PRMtrsMenu) and a
// rotate-order menu index (PRMxyzMenu). An index outside 0..5 names no
// order and is taken as index 0, the host's default.
UT_XformOrder orderFromMenus(int xformIndex, int rotateIndex);

// Multiplies the pose's scale by its uniform scale.
QuenloPose foldUniformScale(QuenloPose pose);
void foldUniformScaleInPlace(QuenloPose& pose);

// Blends `lower` (weight 0) to `upper` (weight 1), both with their uniform
// scale already folded in, and appends the result to `xform` in `order`.
// Rotations blend per Euler angle, or by quaternion when `quaternion` is set.
void applyBlend(const QuenloPose& lower, const QuenloPose& upper, float weight, bool quaternion,
                const UT_XformOrder& order, UT_DMatrix4& xform);

} // namespace quenlo
