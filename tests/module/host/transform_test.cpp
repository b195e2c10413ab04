// The keyed local transform, cooked through the host.
#include "QuenloHost.h"

#include <limits>
#include <numbers>

namespace {

using quenlo_test::expectVecNear;
using quenlo_test::matrixNear;
using quenlo_test::poseMatrix;
using quenlo_test::QuenloScene;
using quenlo_test::Vec3;

const UT_XformOrder defaultOrder(UT_XformOrder::SRT, UT_XformOrder::XYZ);

class KeyedTransform : public QuenloScene {
protected:
    // Key 0 at 0 with translate (1, 2, 3), key 1 at 10 with (3, 2, 1).
    void twoKeys() {
        key(0, 0, {1, 2, 3});
        key(1, 10, {3, 2, 1});
    }
};

TEST_F(KeyedTransform, BlendsLinearlyAndWithEase) {
    twoKeys();
    edit("driverval", 2.5);
    expectVecNear(translationAt(), {1.5, 2, 2.5});
    edit("ease", 1);
    expectVecNear(translationAt(), {1.3125, 2, 2.6875});
    EXPECT_EQ(q->getLastXformResult(), 1);
}

TEST_F(KeyedTransform, DriverAtOrBelowKeyZeroAppliesKeyZero) {
    twoKeys();
    for (double driver : {0.0, -4.0}) {
        edit("driverval", driver);
        expectVecNear(translationAt(), {1, 2, 3});
    }
}

TEST_F(KeyedTransform, DriverOnAKeyAndBeyondTheLastKey) {
    twoKeys();
    edit("numkeys", 2);
    key(2, 20, {0, 0, 10});
    edit("driverval", 10);
    expectVecNear(translationAt(), {3, 2, 1});
    edit("driverval", 25);
    expectVecNear(translationAt(), {0, 0, 10});
    // Two last keys at the same value are averaged.
    edit("keyval2", 10);
    expectVecNear(translationAt(), {1.5, 1, 5.5});
}

TEST_F(KeyedTransform, KeysOutOfOrderAreScannedInKeyOrder) {
    edit("numkeys", 2);
    key(0, 0, {0, 0, 0});
    key(1, 5, {10, 0, 0});
    key(2, 2, {0, 10, 0});
    edit("driverval", 3);
    expectVecNear(translationAt(), {6, 0, 0}); // keys 0 and 1 at weight 0.6
    edit("driverval", 6);
    expectVecNear(translationAt(), {10, 0, 0}); // keys 1 and 2, weight 0
}

TEST_F(KeyedTransform, DisabledKeysAreSkipped) {
    twoKeys();
    edit("numkeys", 2);
    key(2, 20, {0, 0, 10});
    edit("enable1", 0);
    edit("driverval", 10);
    expectVecNear(translationAt(), {0.5, 1, 6.5}); // halfway from key 0 to key 2
    edit("enable2", 0);
    for (double driver : {-1.0, 10.0, 30.0}) {
        edit("driverval", driver);
        expectVecNear(translationAt(), {1, 2, 3});
    }
}

TEST_F(KeyedTransform, UniformScaleIsFoldedIntoScaleBeforeBlending) {
    edit("keyval1", 10);
    edit("scale1", 2);
    edit("driverval", 5);
    EXPECT_TRUE(
        matrixNear(cookAt(), poseMatrix(defaultOrder, {0, 0, 0}, {0, 0, 0}, {1.5, 1.5, 1.5})));
    // Both keys fold: (1, 3, 1) x 2 meets (2, 2, 2).
    edit("s0", 3, 1);
    edit("scale0", 2);
    EXPECT_TRUE(matrixNear(cookAt(), poseMatrix(defaultOrder, {0, 0, 0}, {0, 0, 0}, {2, 4, 2})));
}

TEST_F(KeyedTransform, PivotBlends) {
    edit("keyval1", 10);
    editVector("pivot1", {2, 0, 0});
    editVector("r1", {0, 0, 90});
    edit("driverval", 10);
    EXPECT_TRUE(matrixNear(cookAt(),
                           poseMatrix(defaultOrder, {0, 0, 0}, {0, 0, 90}, {1, 1, 1}, {2, 0, 0})));
    // The pivot moves the result: it is not the plain rotation.
    EXPECT_FALSE(matrixNear(cookAt(), poseMatrix(defaultOrder, {0, 0, 0}, {0, 0, 90})));
}

TEST_F(KeyedTransform, EulerBlendDoesNotWrap) {
    edit("keyval1", 10);
    edit("r1", 270, 2);
    edit("driverval", 5);
    EXPECT_TRUE(matrixNear(cookAt(), poseMatrix(defaultOrder, {0, 0, 0}, {0, 0, 135})));
}

TEST_F(KeyedTransform, QuaternionBlendTakesTheShortWay) {
    edit("interp", 1);
    edit("keyval1", 10);
    edit("r1", 270, 2);
    edit("driverval", 5);
    EXPECT_TRUE(matrixNear(cookAt(), poseMatrix(defaultOrder, {0, 0, 0}, {0, 0, -45})));
}

// The rotation of a local matrix without translate, scale or pivot.
UT_Quaternion rotationOf(const UT_DMatrix4& m, const UT_XformOrder& order) {
    double t[3], r[3], s[3];
    EXPECT_TRUE(m.explode(order, t, r, s));
    UT_Quaternion q;
    q.updateFromEuler(UT_Vector3(static_cast<float>(r[0] * std::numbers::pi / 180),
                                 static_cast<float>(r[1] * std::numbers::pi / 180),
                                 static_cast<float>(r[2] * std::numbers::pi / 180)),
                      order);
    return q;
}

UT_Quaternion eulerRotation(Vec3 degrees, const UT_XformOrder& order) {
    UT_Quaternion q;
    q.updateFromEuler(UT_Vector3(static_cast<float>(degrees[0] * std::numbers::pi / 180),
                                 static_cast<float>(degrees[1] * std::numbers::pi / 180),
                                 static_cast<float>(degrees[2] * std::numbers::pi / 180)),
                      order);
    return q;
}

TEST_F(KeyedTransform, QuaternionBlendAtTheEndsAndHalfway) {
    // Key 0 (at 0) and key 2 (at 4) are blended in the YZX order of key 0;
    // key 1 (at 10) sits out of order behind key 2.
    const UT_XformOrder order(UT_XformOrder::SRT, UT_XformOrder::YZX);
    const Vec3 r0 = {20, -35, 50}, r1 = {30, 60, 10}, r2 = {-20, 15, 100};
    edit("interp", 1);
    edit("rOrd0", 3);
    edit("numkeys", 2);
    editVector("r0", r0);
    edit("keyval1", 10);
    editVector("r1", r1);
    edit("keyval2", 4);
    editVector("r2", r2);

    // Weight 1: the upper key, key 1.
    edit("driverval", 10);
    EXPECT_TRUE(matrixNear(cookAt(), poseMatrix(order, {0, 0, 0}, r1), 1e-5));
    // Weight 0: beyond the last key the span runs from key 1 down to key 2.
    edit("driverval", 12);
    EXPECT_TRUE(matrixNear(cookAt(), poseMatrix(order, {0, 0, 0}, r1), 1e-5));
    // Weight 0.5 between key 0 and key 1: the rotation halfway along the arc.
    edit("driverval", 5);
    const UT_Quaternion mid = rotationOf(cookAt(), order);
    const double full = eulerRotation(r0, order).angleTo(eulerRotation(r1, order));
    EXPECT_NEAR(mid.angleTo(eulerRotation(r0, order)), full / 2, 1e-4);
    EXPECT_NEAR(mid.angleTo(eulerRotation(r1, order)), full / 2, 1e-4);
    // An Euler blend of the same keys lands elsewhere.
    edit("interp", 0);
    const UT_Quaternion euler = rotationOf(cookAt(), order);
    EXPECT_GT(euler.angleTo(mid), 1e-2);
}

TEST_F(KeyedTransform, KeyZeroOrdersApplyToEveryKey) {
    // Transform order index 2 names rstOrder 3 (RST); rotate order index 4
    // is ZXY.
    const UT_XformOrder order(UT_XformOrder::RST, UT_XformOrder::ZXY);
    const Vec3 t = {3, -1, 2}, r = {40, -30, 60}, s = {2, 1, 0.5};
    edit("xOrd0", 2);
    edit("rOrd0", 4);
    edit("keyval1", 10);
    editVector("t1", t);
    editVector("r1", r);
    editVector("s1", s);
    edit("xOrd1", 5);
    edit("rOrd1", 1);
    edit("driverval", 10);
    EXPECT_TRUE(matrixNear(cookAt(), poseMatrix(order, t, r, s)));
    EXPECT_FALSE(matrixNear(cookAt(), poseMatrix(defaultOrder, t, r, s)));
}

TEST_F(KeyedTransform, AppliedOnTopOfTheBaseTransform) {
    // The inherited translate is hidden but still moves the object first.
    ASSERT_TRUE(q->setParmByUser("t", 0, 0.0f, 1.0));
    editVector("r0", {0, 0, 90});
    const UT_DMatrix4 m = cookAt();
    const double origin[3] = {0, 0, 0};
    double moved[3];
    m.transformPoint(origin, moved);
    expectVecNear({moved[0], moved[1], moved[2]}, {0, 1, 0});
}

TEST_F(KeyedTransform, KeysAreSampledAtTimeZeroAndTheDriverAtTheCookTime) {
    key(1, 10, {4, 0, 0});
    ASSERT_TRUE(q->setKeyframes(q->findParmIndex("t1"), 0, {{0.0f, 4.0}, {10.0f, 8.0}}));
    ASSERT_TRUE(q->setKeyframes(q->findParmIndex("driverval"), 0, {{0.0f, 0.0}, {10.0f, 20.0}}));
    EXPECT_NEAR(translationAt(2.5f)[0], 2.0, 1e-5); // driver 5: halfway to key 1's 4
    EXPECT_NEAR(translationAt(5.0f)[0], 4.0, 1e-5); // driver 10: key 1 as at time 0
    EXPECT_EQ(q->flags().timeDependent, 1);
}

TEST_F(KeyedTransform, StaleTableWithAVanishedUpperKeyAppliesTheIdentity) {
    twoKeys();
    edit("numkeys", 3);
    key(2, 20, {5, 5, 5});
    key(3, 30, {6, 6, 6});
    edit("driverval", 40);
    expectVecNear(translationAt(), {6, 6, 6});
    // A plug-in write of the count runs no refresh: the table still lists
    // key 3, which no longer exists.
    ASSERT_TRUE(q->writeValue(q->findParmIndex("numkeys"), 0, 0.0f, 1));
    EXPECT_TRUE(matrixNear(cookAt(), UT_DMatrix4()));
    EXPECT_EQ(q->getLastXformResult(), 1);
    // The next refresh brings the table back in sync.
    edit("driverval", 40);
    expectVecNear(translationAt(), {3, 2, 1});
}

TEST_F(KeyedTransform, EmptyKeyListStillAppliesKeyZero) {
    // Nothing has refreshed the fresh node's table before its first cook.
    ASSERT_TRUE(q->writeValue(q->findParmIndex("numkeys"), 0, 0.0f, 0));
    ASSERT_TRUE(q->writeValue(q->findParmIndex("t0"), 2, 0.0f, 7));
    ASSERT_TRUE(q->writeValue(q->findParmIndex("driverval"), 0, 0.0f, 3));
    expectVecNear(translationAt(), {0, 0, 7});
    EXPECT_EQ(q->getLastXformResult(), 1);
}

TEST_F(KeyedTransform, AnErrorLeavesTheBaseMatrixAndStillFlagsTheCook) {
    twoKeys();
    edit("driverval", 5);
    ASSERT_TRUE(q->setParmByUser("r", 1, 0.0f, std::numeric_limits<double>::quiet_NaN()));
    OP_Context context(0.0f);
    EXPECT_EQ(q->cook(context), UT_ERROR_ABORT);
    EXPECT_TRUE(matrixNear(q->getLocalTransform(), UT_DMatrix4()));
    EXPECT_EQ(q->getLastXformResult(), 0);
    EXPECT_EQ(q->flags().timeDependent, 1);
    ASSERT_EQ(q->getErrors().size(), 1u);
    EXPECT_EQ(q->getErrors()[0].code, OBJ_ERR_BAD_XFORM);
}

TEST_F(KeyedTransform, AKeyBeyondTheFloatRangeFailsTheCookRatherThanGoInfinite) {
    twoKeys();
    // A finite double that a key, read as a 32-bit float, cannot hold.
    ASSERT_TRUE(q->writeValue(q->findParmIndex("t1"), 0, 0.0f, 1e300));
    edit("driverval", 10);
    OP_Context context(0.0f);
    EXPECT_EQ(q->cook(context), UT_ERROR_ABORT);
    EXPECT_TRUE(matrixNear(q->getLocalTransform(), UT_DMatrix4()));
    ASSERT_EQ(q->getErrors().size(), 1u);
    EXPECT_EQ(q->getErrors()[0].code, OBJ_ERR_BAD_XFORM);
    EXPECT_EQ(q->getErrors()[0].message, "The local transform is not a finite number");
}

TEST_F(KeyedTransform, CookFlagsTheNodeTimeDependent) {
    OP_Context context(0.0f);
    EXPECT_EQ(q->cook(context), UT_ERROR_NONE);
    EXPECT_EQ(q->flags().timeDependent, 1);
    EXPECT_TRUE(warnings().empty()) << "a new node has no order mismatch";
    const int cooks = q->getCookCount();
    OP_Context later(1.0f);
    q->cook(later);
    EXPECT_EQ(q->getCookCount(), cooks + 1);
}

} // namespace
