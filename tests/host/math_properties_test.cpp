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
            // rotation a quarter turn, give or take a hair.
            if (n % 4 == 0)
                a[Order(Order::SRT, rot).rotAxis(1)] =
                    static_cast<float>((n % 8 == 0 ? 1 : -1) * kPi / 2) + nearLock(random);
            SCOPED_TRACE(::testing::Message() << "seed " << kSeed << " case " << n << " order "
                                              << rot << " angles " << a.x() << " " << a.y() << " "
                                              << a.z());
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

} // namespace
