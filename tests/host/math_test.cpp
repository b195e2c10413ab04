// Tests of the host's transform mathematics (UT/UT_Math.h). Expected matrices
// are worked by hand from the conventions: row vectors, left-to-right
// composition, right-handed rotations in degrees.
#include "UT/UT_Math.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>

namespace {

using Order = UT_XformOrder;
constexpr double kPi = std::numbers::pi;

constexpr std::array<Order::rstOrder, 6> kMainOrders = {Order::TRS, Order::TSR, Order::RTS,
                                                        Order::RST, Order::STR, Order::SRT};
constexpr std::array<Order::xyzOrder, 6> kRotOrders = {Order::XYZ, Order::XZY, Order::YXZ,
                                                       Order::YZX, Order::ZXY, Order::ZYX};

// A matrix given row by row.
UT_DMatrix4 matrix(std::array<double, 16> v) {
    return UT_DMatrix4(v.data());
}

// An affine matrix from its 3x3 block rows and translation row.
UT_DMatrix4 affine(std::array<double, 3> r0, std::array<double, 3> r1, std::array<double, 3> r2,
                   std::array<double, 3> t) {
    return matrix({r0[0], r0[1], r0[2], 0, r1[0], r1[1], r1[2], 0, r2[0], r2[1], r2[2], 0, t[0],
                   t[1], t[2], 1});
}

UT_DMatrix4 built(Order order, std::array<double, 3> t, std::array<double, 3> r,
                  std::array<double, 3> s, std::array<double, 3> p = {0, 0, 0}) {
    UT_DMatrix4 m;
    m.xform(order, t[0], t[1], t[2], r[0], r[1], r[2], s[0], s[1], s[2], p[0], p[1], p[2]);
    return m;
}

std::array<double, 3> apply(const UT_DMatrix4& m, std::array<double, 3> p) {
    std::array<double, 3> out{};
    m.transformPoint(p.data(), out.data());
    return out;
}

// Rotates p by the unit quaternion q (v' = q v q*), written out by hand.
std::array<double, 3> rotate(const UT_Quaternion& q, std::array<double, 3> p) {
    const double u[3] = {q.x(), q.y(), q.z()};
    const double w = q.w();
    const double c1[3] = {u[1] * p[2] - u[2] * p[1], u[2] * p[0] - u[0] * p[2],
                          u[0] * p[1] - u[1] * p[0]};
    const double c2[3] = {u[1] * c1[2] - u[2] * c1[1], u[2] * c1[0] - u[0] * c1[2],
                          u[0] * c1[1] - u[1] * c1[0]};
    return {p[0] + 2 * (w * c1[0] + c2[0]), p[1] + 2 * (w * c1[1] + c2[1]),
            p[2] + 2 * (w * c1[2] + c2[2])};
}

UT_Quaternion fromEuler(float x, float y, float z, Order::xyzOrder rot) {
    UT_Quaternion q;
    q.updateFromEuler(UT_Vector3(x, y, z), Order(Order::SRT, rot));
    return q;
}

void expectPointNear(std::array<double, 3> actual, std::array<double, 3> expected,
                     double tol = 1e-12) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(actual[i], expected[i], tol) << "component " << i;
    }
}

void expectMatrixNear(const UT_DMatrix4& actual, const UT_DMatrix4& expected, double tol = 1e-12) {
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_NEAR(actual(r, c), expected(r, c), tol) << "entry (" << r << "," << c << ")";
        }
    }
}

// --- Orders and menus -------------------------------------------------------

TEST(XformOrder, NamesTheOperationsAndAxesInActingOrder) {
    const char* ops[6] = {"TRS", "TSR", "RTS", "RST", "STR", "SRT"};
    const char* axes[6] = {"XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX"};
    for (int n = 0; n < 6; ++n) {
        const Order o(kMainOrders[n], kRotOrders[n]);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(o.mainOp(i), ops[n][i]) << ops[n];
            EXPECT_EQ(o.rotAxis(i), axes[n][i] - 'X') << axes[n];
        }
    }
}

TEST(XformOrder, MenuIndicesMapToOrdersAndFallBackToTheDefaults) {
    EXPECT_EQ(Order::mainOrderFromMenu(0), Order::SRT); // "Scale Rot Trans"
    EXPECT_EQ(Order::mainOrderFromMenu(1), Order::STR);
    EXPECT_EQ(Order::mainOrderFromMenu(2), Order::RST);
    EXPECT_EQ(Order::mainOrderFromMenu(3), Order::RTS);
    EXPECT_EQ(Order::mainOrderFromMenu(4), Order::TSR);
    EXPECT_EQ(Order::mainOrderFromMenu(5), Order::TRS); // "Trans Rot Scale"
    EXPECT_EQ(Order::mainOrderFromMenu(-1), Order::SRT);
    EXPECT_EQ(Order::mainOrderFromMenu(6), Order::SRT);
    for (int r = 0; r < 6; ++r) {
        EXPECT_EQ(Order::rotOrderFromMenu(r), kRotOrders[r]);
    }
    EXPECT_EQ(Order::rotOrderFromMenu(-1), Order::XYZ);
    EXPECT_EQ(Order::rotOrderFromMenu(6), Order::XYZ);
}

// --- Matrix basics ----------------------------------------------------------

TEST(Matrix, StartsAsIdentityAndReadsValuesRowMajor) {
    const UT_DMatrix4 id;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(id(r, c), r == c ? 1.0 : 0.0);
        }
    }
    double v[16];
    for (int i = 0; i < 16; ++i) {
        v[i] = i + 1;
    }
    UT_DMatrix4 m(v);
    EXPECT_EQ(m(0, 1), 2.0);
    EXPECT_EQ(m(1, 0), 5.0);
    EXPECT_EQ(m(3, 2), 15.0);
    EXPECT_FALSE(m == id);
    EXPECT_EQ(m.maxDifference(id), 15.0); // entry (3,3): 16 - 1
    m.identity();
    EXPECT_TRUE(m == id);
}

TEST(Matrix, ProductLetsTheLeftFactorActFirst) {
    const UT_DMatrix4 translate = affine({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0});
    const UT_DMatrix4 scale = affine({2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {0, 0, 0});
    // Translate then scale: the translation is scaled as well.
    expectMatrixNear(translate * scale, affine({2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {2, 0, 0}));
    expectMatrixNear(scale * translate, affine({2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {1, 0, 0}));
    UT_DMatrix4 m = translate;
    m *= scale;
    EXPECT_TRUE(m == translate * scale);
    expectPointNear(apply(m, {1, 1, 1}), {4, 2, 2});
}

// --- Rotation handedness and rotate order -----------------------------------

TEST(Rotation, PositiveZTurnsXTowardsY) {
    expectPointNear(apply(built(Order(), {0, 0, 0}, {0, 0, 90}, {1, 1, 1}), {1, 0, 0}), {0, 1, 0});
    expectPointNear(rotate(fromEuler(0, 0, float(kPi / 2), Order::XYZ), {1, 0, 0}), {0, 1, 0},
                    1e-6);
    // Right-handed about X and Y as well: Y towards Z, Z towards X.
    expectPointNear(apply(built(Order(), {0, 0, 0}, {90, 0, 0}, {1, 1, 1}), {0, 1, 0}), {0, 0, 1});
    expectPointNear(apply(built(Order(), {0, 0, 0}, {0, 90, 0}, {1, 1, 1}), {0, 0, 1}), {1, 0, 0});
}

TEST(Rotation, XyzLetsTheXRotationActFirst) {
    // X then Y: +X stays on X, then Y turns it to -Z. (Y first would give +Y.)
    const Order xyz(Order::SRT, Order::XYZ);
    expectPointNear(apply(built(xyz, {0, 0, 0}, {90, 90, 0}, {1, 1, 1}), {1, 0, 0}), {0, 0, -1});
    expectPointNear(rotate(fromEuler(float(kPi / 2), float(kPi / 2), 0, Order::XYZ), {1, 0, 0}),
                    {0, 0, -1}, 1e-6);
    const Order yxz(Order::SRT, Order::YXZ);
    expectPointNear(apply(built(yxz, {0, 0, 0}, {90, 90, 0}, {1, 1, 1}), {1, 0, 0}), {0, 1, 0});
}

TEST(Rotation, EveryRotateOrderMatchesItsHandWorkedMatrix) {
    // rx = 90, ry = -90, rz = 180, composed by following each basis vector.
    const std::array<UT_DMatrix4, 6> expected = {
        affine({0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}),   // XYZ
        affine({0, 0, -1}, {-1, 0, 0}, {0, 1, 0}, {0, 0, 0}), // XZY
        affine({0, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 0, 0}),   // YXZ
        affine({0, -1, 0}, {0, 0, -1}, {1, 0, 0}, {0, 0, 0}), // YZX
        affine({0, 0, -1}, {1, 0, 0}, {0, -1, 0}, {0, 0, 0}), // ZXY
        affine({0, 1, 0}, {0, 0, -1}, {-1, 0, 0}, {0, 0, 0}), // ZYX
    };
    for (int n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        const Order order(Order::SRT, kRotOrders[n]);
        expectMatrixNear(built(order, {0, 0, 0}, {90, -90, 180}, {1, 1, 1}), expected[n]);
        // The quaternion built from the same angles turns points identically.
        const UT_Quaternion q =
            fromEuler(float(kPi / 2), float(-kPi / 2), float(kPi), order.rotOrder());
        for (std::array<double, 3> p : {std::array<double, 3>{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}) {
            expectPointNear(rotate(q, p), apply(expected[n], p), 1e-6);
        }
    }
}

// --- xform ------------------------------------------------------------------

TEST(Xform, EveryMainOrderMatchesItsHandWorkedMatrix) {
    // t = (1,2,3), rz = 90, s = (2,3,4). Rz rows: (0,1,0), (-1,0,0), (0,0,1).
    // Scale before rotate gives S*R (rows scaled), after gives R*S (columns
    // scaled); the translation row is t times whatever acts after T.
    const std::array<UT_DMatrix4, 6> expected = {
        affine({0, 3, 0}, {-2, 0, 0}, {0, 0, 4}, {-4, 3, 12}), // TRS: t*R*S
        affine({0, 2, 0}, {-3, 0, 0}, {0, 0, 4}, {-6, 2, 12}), // TSR: t*S*R
        affine({0, 3, 0}, {-2, 0, 0}, {0, 0, 4}, {2, 6, 12}),  // RTS: t*S
        affine({0, 3, 0}, {-2, 0, 0}, {0, 0, 4}, {1, 2, 3}),   // RST
        affine({0, 2, 0}, {-3, 0, 0}, {0, 0, 4}, {-2, 1, 3}),  // STR: t*R
        affine({0, 2, 0}, {-3, 0, 0}, {0, 0, 4}, {1, 2, 3}),   // SRT
    };
    for (int n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        expectMatrixNear(built(Order(kMainOrders[n], Order::XYZ), {1, 2, 3}, {0, 0, 90}, {2, 3, 4}),
                         expected[n]);
    }
}

TEST(Xform, RotatesAndScalesAboutThePivot) {
    // Rz 90 about (1,0,0): translation row = -p*R + p = (1,-1,0).
    const UT_DMatrix4 m = built(Order(), {0, 0, 0}, {0, 0, 90}, {1, 1, 1}, {1, 0, 0});
    expectMatrixNear(m, affine({0, 1, 0}, {-1, 0, 0}, {0, 0, 1}, {1, -1, 0}));
    expectPointNear(apply(m, {1, 0, 0}), {1, 0, 0});
    expectPointNear(apply(m, {2, 0, 0}), {1, 1, 0});
    // Scale 2, Rz 90 and translate (0,0,5) about the same pivot (SRT):
    // translation row = -p*S*R + t + p = (0,-2,0) + (1,0,5).
    const UT_DMatrix4 n = built(Order(), {0, 0, 5}, {0, 0, 90}, {2, 2, 2}, {1, 0, 0});
    expectMatrixNear(n, affine({0, 2, 0}, {-2, 0, 0}, {0, 0, 2}, {1, -2, 5}));
    expectPointNear(apply(n, {1, 0, 0}), {1, 0, 5});
}

TEST(Xform, AppendsSoTheExistingContentActsFirst) {
    UT_DMatrix4 m = built(Order(), {10, 0, 0}, {0, 0, 0}, {1, 1, 1});
    m.xform(Order(), 0, 0, 0, 0, 0, 90, 1, 1, 1, 0, 0, 0);
    // Translate first, then rotate: the translation is turned onto +Y.
    expectMatrixNear(m, affine({0, 1, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 10, 0}));
    expectPointNear(apply(m, {0, 0, 0}), {0, 10, 0});
}

TEST(Xform, InverseUndoesTheSameArguments) {
    const UT_DMatrix4 start =
        built(Order(Order::RTS, Order::ZXY), {0.5, -1, 2}, {10, 20, 30}, {1.5, 0.5, 2});
    for (Order::rstOrder main : kMainOrders) {
        for (Order::xyzOrder rot : kRotOrders) {
            const Order o(main, rot);
            UT_DMatrix4 m = start;
            m.xform(o, 3, -2, 1, 35, -70, 120, 2, -0.5, 4, 0.25, 1.5, -3);
            EXPECT_GT(m.maxDifference(start), 0.5);
            m.xform(o, 3, -2, 1, 35, -70, 120, 2, -0.5, 4, 0.25, 1.5, -3, 1);
            EXPECT_LT(m.maxDifference(start), 1e-12) << main << " " << rot;
            // The inverse alone is X's inverse from either side.
            UT_DMatrix4 inv;
            inv.xform(o, 3, -2, 1, 35, -70, 120, 2, -0.5, 4, 0.25, 1.5, -3, 1);
            const UT_DMatrix4 x =
                built(o, {3, -2, 1}, {35, -70, 120}, {2, -0.5, 4}, {0.25, 1.5, -3});
            EXPECT_LT((inv * x).maxDifference(UT_DMatrix4()), 1e-12);
        }
    }
}

// --- Euler decomposition ----------------------------------------------------

constexpr float kAngleSets[][3] = {
    {0.3f, -0.7f, 1.1f}, {2.9f, 2.0f, -3.0f}, {-2.2f, 0.1f, 2.6f},
    {1.0f, -1.9f, 0.4f}, {-3.1f, 3.1f, 3.1f}, {0.0f, 0.0f, -1.5f},
};

TEST(EulerAngles, RoundTripRebuildsTheRotationForEveryOrder) {
    for (Order::xyzOrder rot : kRotOrders) {
        for (const auto& a : kAngleSets) {
            const UT_Quaternion q = fromEuler(a[0], a[1], a[2], rot);
            const UT_Vector3 e = q.computeRotations(Order(Order::SRT, rot));
            const UT_Quaternion back = fromEuler(e.x(), e.y(), e.z(), rot);
            EXPECT_LT(q.angleTo(back), 1e-5) << rot << " " << a[0] << " " << a[1] << " " << a[2];
            for (std::array<double, 3> p : {std::array<double, 3>{1, 2, 3}, {-1, 0.5, 0}}) {
                expectPointNear(rotate(back, p), rotate(q, p), 1e-5);
            }
        }
    }
}

TEST(EulerAngles, ReturnedAnglesLieInTheirRanges) {
    const double slack = 1e-6; // the angles are floats
    for (Order::xyzOrder rot : kRotOrders) {
        const Order o(Order::SRT, rot);
        for (const auto& a : kAngleSets) {
            const UT_Vector3 e = fromEuler(a[0], a[1], a[2], rot).computeRotations(o);
            for (int pos : {0, 2}) {
                EXPECT_GT(e[o.rotAxis(pos)], -kPi);
                EXPECT_LE(e[o.rotAxis(pos)], kPi + slack);
            }
            EXPECT_LE(std::abs(e[o.rotAxis(1)]), kPi / 2 + slack);
        }
        // Half turns about each axis, built exactly: -pi must come back as pi.
        for (const UT_Quaternion& q :
             {UT_Quaternion(1, 0, 0, 0), UT_Quaternion(0, 1, 0, 0), UT_Quaternion(0, 0, 1, 0)}) {
            const UT_Vector3 e = q.computeRotations(o);
            for (int i = 0; i < 3; ++i) {
                EXPECT_GT(e[i], -kPi) << rot;
            }
            EXPECT_LT(q.angleTo(fromEuler(e.x(), e.y(), e.z(), rot)), 1e-6) << rot;
        }
    }
}

TEST(EulerAngles, AnglesAlreadyInRangeComeBackUnchanged) {
    // Away from gimbal lock the decomposition is unique, so the very angles
    // are recovered: a sign or axis mix-up shows here.
    for (Order::xyzOrder rot : kRotOrders) {
        const UT_Vector3 e =
            fromEuler(0.3f, -0.7f, 1.1f, rot).computeRotations(Order(Order::SRT, rot));
        EXPECT_NEAR(e.x(), 0.3, 1e-6) << rot;
        EXPECT_NEAR(e.y(), -0.7, 1e-6) << rot;
        EXPECT_NEAR(e.z(), 1.1, 1e-6) << rot;
    }
}

TEST(EulerAngles, GimbalLockZeroesTheLastRotationAndKeepsTheRotation) {
    for (Order::xyzOrder rot : kRotOrders) {
        const Order o(Order::SRT, rot);
        for (float middle : {float(kPi / 2), float(-kPi / 2)}) {
            float a[3];
            a[o.rotAxis(0)] = 0.4f;
            a[o.rotAxis(1)] = middle;
            a[o.rotAxis(2)] = 0.9f;
            const UT_Quaternion q = fromEuler(a[0], a[1], a[2], rot);
            const UT_Vector3 e = q.computeRotations(o);
            EXPECT_EQ(e[o.rotAxis(2)], 0.0f) << rot;
            EXPECT_NEAR(e[o.rotAxis(1)], middle, 1e-6) << rot;
            EXPECT_LT(q.angleTo(fromEuler(e.x(), e.y(), e.z(), rot)), 1e-5) << rot;
            // The first rotation carries the last one's turn: 0.4 -+ 0.9.
            EXPECT_GT(std::abs(e[o.rotAxis(0)] - 0.4f), 0.5f) << rot;
        }
    }
}

// --- Quaternions: angle and slerp -------------------------------------------

TEST(Quaternion, AngleToMeasuresTheRelativeRotation) {
    const UT_Quaternion id;
    const UT_Quaternion z90 = fromEuler(0, 0, float(kPi / 2), Order::XYZ);
    EXPECT_NEAR(id.angleTo(z90), kPi / 2, 1e-6);
    EXPECT_NEAR(z90.angleTo(UT_Quaternion(-z90.x(), -z90.y(), -z90.z(), -z90.w())), 0.0, 1e-7);
    EXPECT_NEAR(z90.angleTo(fromEuler(0, 0, float(-kPi / 2), Order::XYZ)), kPi, 1e-6);
}

TEST(Slerp, EndsAtThisAndAtTarget) {
    const UT_Quaternion a = fromEuler(0.2f, -0.4f, 0.6f, Order::XYZ);
    const UT_Quaternion b = fromEuler(-1.0f, 0.5f, 2.0f, Order::ZYX);
    EXPECT_LT(a.interpolate(b, 0.0f).angleTo(a), 1e-7);
    EXPECT_LT(a.interpolate(b, 1.0f).angleTo(b), 1e-7);
    const UT_Quaternion mid = a.interpolate(b, 0.5f);
    EXPECT_NEAR(mid.angleTo(a), a.angleTo(b) / 2, 1e-7);
    EXPECT_NEAR(mid.angleTo(b), a.angleTo(b) / 2, 1e-7);
}

TEST(Slerp, HalfwayBetweenNoneAndZ90IsZ45OnTheShortArc) {
    const UT_Quaternion id;
    const UT_Quaternion z90 = fromEuler(0, 0, float(kPi / 2), Order::XYZ);
    const UT_Quaternion z45 = fromEuler(0, 0, float(kPi / 4), Order::XYZ);
    EXPECT_LT(id.interpolate(z90, 0.5f).angleTo(z45), 1e-6);
    expectPointNear(rotate(id.interpolate(z90, 0.5f), {1, 0, 0}),
                    {std::sqrt(0.5), std::sqrt(0.5), 0}, 1e-6);
    // -z90 names the same rotation; the blend must not take the long way.
    const UT_Quaternion negated(-z90.x(), -z90.y(), -z90.z(), -z90.w());
    EXPECT_LT(id.interpolate(negated, 0.5f).angleTo(z45), 1e-6);
    // t is not clamped: t = 2 on a 45-degree pair reaches 90 degrees.
    EXPECT_LT(id.interpolate(z45, 2.0f).angleTo(z90), 1e-6);
}

TEST(Slerp, BiasWarpsTheBlendTowardsEitherEnd) {
    const UT_Quaternion id;
    const UT_Quaternion z90 = fromEuler(0, 0, float(kPi / 2), Order::XYZ);
    // bias 0.5: c = 0.75, t' = 0.5 / ((4/3 - 2) * 0.5 + 1) = 0.75.
    EXPECT_NEAR(id.interpolate(z90, 0.5f, 0.5f).angleTo(id), 0.75 * kPi / 2, 1e-6);
    // bias -0.5: c = 0.25, t' = 0.5 / (2 * 0.5 + 1) = 0.25.
    EXPECT_NEAR(id.interpolate(z90, 0.5f, -0.5f).angleTo(id), 0.25 * kPi / 2, 1e-6);
    // The ends stay put whatever the bias.
    EXPECT_LT(id.interpolate(z90, 1.0f, 0.8f).angleTo(z90), 1e-7);
    EXPECT_LT(id.interpolate(z90, 0.0f, -0.8f).angleTo(id), 1e-7);
}

TEST(Slerp, NearlyEqualQuaternionsBlendWithoutNaN) {
    const UT_Quaternion a = fromEuler(0.5f, 0.25f, -0.125f, Order::XYZ);
    const UT_Quaternion b = fromEuler(0.5f, 0.25f, -0.12499f, Order::XYZ);
    const UT_Quaternion id;
    const std::array<std::array<UT_Quaternion, 2>, 3> pairs = {{{a, a}, {a, b}, {id, id}}};
    for (const auto& [from, target] : pairs) {
        const UT_Quaternion m = from.interpolate(target, 0.5f);
        for (int i = 0; i < 4; ++i) {
            EXPECT_TRUE(std::isfinite(m[i]));
        }
        EXPECT_NEAR(m.x() * m.x() + m.y() * m.y() + m.z() * m.z() + m.w() * m.w(), 1.0, 1e-12);
        EXPECT_LE(m.angleTo(from), from.angleTo(target) + 1e-9);
        EXPECT_LE(m.angleTo(target), from.angleTo(target) + 1e-9);
    }
}

// --- explode ----------------------------------------------------------------

TEST(Explode, RecoversTheArgumentsForEveryMainOrder) {
    for (int n = 0; n < 6; ++n) {
        const Order o(kMainOrders[n], kRotOrders[(n + 2) % 6]);
        // All three angles within +-90 degrees: unique for any rotate order.
        const UT_DMatrix4 m = built(o, {1.5, -2, 3}, {25, -40, 70}, {2, 0.5, 3});
        double t[3], r[3], s[3];
        ASSERT_TRUE(m.explode(o, t, r, s)) << n;
        expectPointNear({t[0], t[1], t[2]}, {1.5, -2, 3}, 1e-9);
        expectPointNear({r[0], r[1], r[2]}, {25, -40, 70}, 1e-9);
        expectPointNear({s[0], s[1], s[2]}, {2, 0.5, 3}, 1e-12);
        expectMatrixNear(built(o, {t[0], t[1], t[2]}, {r[0], r[1], r[2]}, {s[0], s[1], s[2]}), m,
                         1e-12);
    }
}

TEST(Explode, CarriesAReflectionInANegativeXScale) {
    for (int n = 0; n < 6; ++n) {
        const Order o(kMainOrders[n], kRotOrders[n]);
        const UT_DMatrix4 m = built(o, {-4, 0.5, 2}, {-60, 15, 170}, {1.5, -2, 0.75});
        double t[3], r[3], s[3];
        ASSERT_TRUE(m.explode(o, t, r, s)) << n;
        EXPECT_NEAR(s[0], -1.5, 1e-12);
        EXPECT_NEAR(s[1], 2, 1e-12);
        EXPECT_NEAR(s[2], 0.75, 1e-12);
        expectMatrixNear(built(o, {t[0], t[1], t[2]}, {r[0], r[1], r[2]}, {s[0], s[1], s[2]}), m,
                         1e-12);
    }
    // A pure mirror in X needs no rotation at all.
    double t[3], r[3], s[3];
    ASSERT_TRUE(affine({-1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}).explode(Order(), t, r, s));
    expectPointNear({s[0], s[1], s[2]}, {-1, 1, 1});
    expectPointNear({r[0], r[1], r[2]}, {0, 0, 0});
}

TEST(Explode, SingularMatrixFailsAndGivesTheIdentityPose) {
    const UT_DMatrix4 flat = built(Order(), {1, 2, 3}, {10, 20, 30}, {1, 0, 2});
    double t[3] = {7, 7, 7}, r[3] = {7, 7, 7}, s[3] = {7, 7, 7};
    EXPECT_FALSE(flat.explode(Order(), t, r, s));
    expectPointNear({t[0], t[1], t[2]}, {0, 0, 0}, 0);
    expectPointNear({r[0], r[1], r[2]}, {0, 0, 0}, 0);
    expectPointNear({s[0], s[1], s[2]}, {1, 1, 1}, 0);
}

} // namespace
