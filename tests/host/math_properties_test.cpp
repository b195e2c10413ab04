// Properties of the rotation mathematics, checked on seeded random cases: a
// failure names the seed and the case, which reproduce it.
#include "UT/UT_Math.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>

namespace {

using Order = UT_XformOrder;
constexpr double kPi = std::numbers::pi;
constexpr std::array<Order::rstOrder, 6> kMainOrders = {Order::TRS, Order::TSR, Order::RTS,
                                                        Order::RST, Order::STR, Order::SRT};
constexpr std::array<Order::xyzOrder, 6> kRotOrders = {Order::XYZ, Order::XZY, Order::YXZ,
                                                       Order::YZX, Order::ZXY, Order::ZYX};
constexpr unsigned kSeed = 20261208;
constexpr int kCases = 2000;

UT_Quaternion fromEuler(const UT_Vector3& radians, Order::xyzOrder rot) {
    UT_Quaternion q;
    q.updateFromEuler(radians, Order(Order::SRT, rot));
    return q;
}

double norm(const UT_Quaternion& q) {
    return std::sqrt(q.x() * q.x() + q.y() * q.y() + q.z() * q.z() + q.w() * q.w());
}

TEST(RotationProperties, EulerAnglesOfARandomRotationRebuildItInEveryOrder) {
    std::mt19937 random(kSeed);
    std::uniform_real_distribution<float> angle(-4 * kPi, 4 * kPi);
    std::uniform_real_distribution<float> nearLock(-1e-4f, 1e-4f);
    for (int n = 0; n < kCases; ++n) {
        for (const Order::xyzOrder rot : kRotOrders) {
            UT_Vector3 a(angle(random), angle(random), angle(random));
            // Every fourth case sits at or near gimbal lock: the middle
            // rotation a quarter turn, exactly or very nearly.
            if (n % 4 == 0)
                a[Order(Order::SRT, rot).rotAxis(1)] =
                    static_cast<float>((n % 8 == 0 ? 1 : -1) * kPi / 2) + nearLock(random);
            SCOPED_TRACE(::testing::Message()
                         << "seed " << kSeed << " case " << n << " order " << rot << " angles "
                         << a.x() << " " << a.y() << " " << a.z());
            const UT_Quaternion q = fromEuler(a, rot);
            const UT_Quaternion back = fromEuler(q.computeRotations(Order(Order::SRT, rot)), rot);
            // The angles come back as floats: about 1e-7 of a turn each.
            ASSERT_LT(q.angleTo(back), 2e-6);
        }
    }
}

TEST(RotationProperties, SlerpStaysUnitLengthAndOnTheShorterArc) {
    std::mt19937 random(kSeed + 1);
    std::uniform_real_distribution<float> angle(-kPi, kPi);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    for (int n = 0; n < kCases; ++n) {
        const Order::xyzOrder rot = kRotOrders[static_cast<std::size_t>(n) % kRotOrders.size()];
        const UT_Quaternion from =
            fromEuler(UT_Vector3(angle(random), angle(random), angle(random)), rot);
        UT_Quaternion to = fromEuler(UT_Vector3(angle(random), angle(random), angle(random)), rot);
        // q and -q name one rotation; half the targets come negated.
        if (n % 2)
            to = UT_Quaternion(-to.x(), -to.y(), -to.z(), -to.w());
        const float t = weight(random);
        SCOPED_TRACE(::testing::Message() << "seed " << kSeed + 1 << " case " << n << " t " << t);
        const UT_Quaternion blended = from.interpolate(to, t);
        ASSERT_NEAR(norm(blended), 1.0, 1e-12);
        // On the shorter arc the blend lies t of the way along it: the two
        // parts add up to the whole arc, which is at most half a turn.
        const double whole = from.angleTo(to);
        ASSERT_LE(whole, kPi);
        ASSERT_NEAR(from.angleTo(blended) + blended.angleTo(to), whole, 1e-6);
        ASSERT_NEAR(from.angleTo(blended), t * whole, 1e-5);
    }
}

// The elementary row-vector matrices xform is defined by.
UT_DMatrix4 translation(double x, double y, double z) {
    UT_DMatrix4 m;
    m(3, 0) = x;
    m(3, 1) = y;
    m(3, 2) = z;
    return m;
}

UT_DMatrix4 scaling(double x, double y, double z) {
    UT_DMatrix4 m;
    m(0, 0) = x;
    m(1, 1) = y;
    m(2, 2) = z;
    return m;
}

// About one axis, right-handed: the transpose of the column-vector matrix.
UT_DMatrix4 axisRotation(int axis, double radians) {
    const int u = (axis + 1) % 3, v = (axis + 2) % 3;
    UT_DMatrix4 m;
    m(u, u) = std::cos(radians);
    m(u, v) = std::sin(radians);
    m(v, u) = -std::sin(radians);
    m(v, v) = std::cos(radians);
    return m;
}

TEST(XformProperties, EveryOrderIsTheProductOfItsElementaryMatricesAndItsInverseUndoesIt) {
    std::mt19937 random(kSeed + 2);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    std::uniform_real_distribution<double> degrees(-400.0, 400.0);
    std::uniform_real_distribution<double> size(0.25, 4.0);
    for (int n = 0; n < kCases / 10; ++n) {
        const double t[3] = {value(random), value(random), value(random)};
        const double r[3] = {degrees(random), degrees(random), degrees(random)};
        // Scales of either sign: a reflection is a transform as well.
        const double s[3] = {size(random) * (n % 3 ? 1 : -1), size(random), size(random)};
        const double p[3] = {value(random), value(random), value(random)};
        // What the transform is appended to, with a projective last column.
        double values[16];
        for (double& v : values)
            v = value(random);
        const UT_DMatrix4 start(values);
        for (const Order::rstOrder main : kMainOrders) {
            for (const Order::xyzOrder rot : kRotOrders) {
                const Order order(main, rot);
                SCOPED_TRACE(::testing::Message() << "seed " << kSeed + 2 << " case " << n
                                                  << " orders " << main << " " << rot);
                UT_DMatrix4 expected = start * translation(-p[0], -p[1], -p[2]);
                for (int i = 0; i < 3; ++i) {
                    switch (order.mainOp(i)) {
                    case 'T':
                        expected *= translation(t[0], t[1], t[2]);
                        break;
                    case 'S':
                        expected *= scaling(s[0], s[1], s[2]);
                        break;
                    default:
                        for (int k = 0; k < 3; ++k)
                            expected *=
                                axisRotation(order.rotAxis(k), r[order.rotAxis(k)] * kPi / 180.0);
                    }
                }
                expected *= translation(p[0], p[1], p[2]);
                UT_DMatrix4 m = start;
                m.xform(order, t[0], t[1], t[2], r[0], r[1], r[2], s[0], s[1], s[2], p[0], p[1],
                        p[2]);
                ASSERT_LT(m.maxDifference(expected), 1e-9); // entries reach a few hundred
                m.xform(order, t[0], t[1], t[2], r[0], r[1], r[2], s[0], s[1], s[2], p[0], p[1],
                        p[2], 1);
                ASSERT_LT(m.maxDifference(start), 1e-9);
            }
        }
    }
}

} // namespace
