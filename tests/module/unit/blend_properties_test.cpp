// Properties of the keyed blend, checked on seeded random poses and nodes: a
// failure names the seed and the case, which reproduce it.
#include "QuenloTable.h"
#include "keys/KeyBlend.h"
#include "node/OBJ_Quenlo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace {

constexpr unsigned kSeed = 4242;
constexpr int kCases = 1000;

class RandomPoses {
public:
    explicit RandomPoses(unsigned seed) : random_(seed) {}

    float uniform(float low, float high) {
        return std::uniform_real_distribution<float>(low, high)(random_);
    }
    int index(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }

    QuenloPose pose() {
        QuenloPose p;
        for (int i = 0; i < 3; ++i) {
            p.translate[i] = uniform(-100, 100);
            p.rotate[i] = uniform(-720, 720);
            p.scale[i] = uniform(-4, 4);
            p.pivot[i] = uniform(-50, 50);
        }
        p.uniformScale = uniform(-3, 3);
        return quenlo::foldUniformScale(p);
    }
    UT_XformOrder order() {
        return UT_XformOrder(static_cast<UT_XformOrder::rstOrder>(index(6)),
                             static_cast<UT_XformOrder::xyzOrder>(index(6)));
    }

private:
    std::mt19937 random_;
};

UT_DMatrix4 blended(const QuenloPose& lower, const QuenloPose& upper, float weight,
                    bool quaternion, const UT_XformOrder& order) {
    UT_DMatrix4 m;
    quenlo::applyBlend(lower, upper, weight, quaternion, order, m);
    return m;
}

// The pose's own matrix (its uniform scale already folded into its scale).
UT_DMatrix4 matrixOf(const QuenloPose& p, const UT_XformOrder& order) {
    UT_DMatrix4 m;
    m.xform(order, p.translate[0], p.translate[1], p.translate[2], p.rotate[0], p.rotate[1],
            p.rotate[2], p.scale[0], p.scale[1], p.scale[2], p.pivot[0], p.pivot[1], p.pivot[2]);
    return m;
}

double largestEntry(const UT_DMatrix4& m) {
    double largest = 0.0;
    for (int i = 0; i < 16; ++i)
        largest = std::max(largest, std::abs(m.data()[i]));
    return largest;
}

// Equal up to the rounding of 32-bit float pose values.
::testing::AssertionResult sameMatrix(const UT_DMatrix4& got, const UT_DMatrix4& expected,
                                      double relative) {
    const double tolerance = relative * (1.0 + largestEntry(expected));
    if (got.maxDifference(expected) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "differ by " << got.maxDifference(expected) << " > " << tolerance;
}

TEST(BlendProperties, WeightsZeroAndOneReproduceTheLowerAndUpperKeys) {
    RandomPoses random(kSeed);
    for (int n = 0; n < kCases; ++n) {
        const QuenloPose lower = random.pose(), upper = random.pose();
        const UT_XformOrder order = random.order();
        SCOPED_TRACE(::testing::Message() << "seed " << kSeed << " case " << n);
        // Euler blending passes the keys' exact values through.
        EXPECT_TRUE(sameMatrix(blended(lower, upper, 0.0f, false, order), matrixOf(lower, order),
                               1e-12));
        EXPECT_TRUE(sameMatrix(blended(lower, upper, 1.0f, false, order), matrixOf(upper, order),
                               1e-12));
        // Quaternion blending re-expresses the rotation in float Euler angles.
        EXPECT_TRUE(sameMatrix(blended(lower, upper, 0.0f, true, order), matrixOf(lower, order),
                               2e-5));
        EXPECT_TRUE(sameMatrix(blended(lower, upper, 1.0f, true, order), matrixOf(upper, order),
                               2e-5));
    }
}

TEST(BlendProperties, EulerBlendingIsAffineInTheWeight) {
    RandomPoses random(kSeed + 1);
    for (int n = 0; n < kCases; ++n) {
        const QuenloPose lower = random.pose(), upper = random.pose();
        const UT_XformOrder order = random.order();
        const float w = random.uniform(-0.5f, 1.5f);
        SCOPED_TRACE(::testing::Message() << "seed " << kSeed + 1 << " case " << n << " w " << w);
        // Every value of the pose at w is its lower value plus w times the
        // difference; the blend applies that pose.
        QuenloPose expected;
        const auto along = [&](float from, float to) {
            return static_cast<float>(from + static_cast<double>(w) * (double(to) - from));
        };
        for (int i = 0; i < 3; ++i) {
            expected.translate[i] = along(lower.translate[i], upper.translate[i]);
            expected.rotate[i] = along(lower.rotate[i], upper.rotate[i]);
            expected.scale[i] = along(lower.scale[i], upper.scale[i]);
            expected.pivot[i] = along(lower.pivot[i], upper.pivot[i]);
        }
        EXPECT_TRUE(sameMatrix(blended(lower, upper, w, false, order), matrixOf(expected, order),
                               1e-12));
        // Walking the segment from the other end gives the same pose.
        EXPECT_TRUE(sameMatrix(blended(upper, lower, 1.0f - w, false, order),
                               blended(lower, upper, w, false, order), 1e-5));
    }
}


TEST(CookProperties, AMatrixCookedFromFiniteParametersIsFinite) {
    RandomPoses random(kSeed + 2);
    OP_Network net(&quenlo_test::unitTable());
    for (int n = 0; n < 300; ++n) {
        SCOPED_TRACE(::testing::Message() << "seed " << kSeed + 2 << " case " << n);
        auto* q = dynamic_cast<OBJ_Quenlo*>(net.createNode("quenlo", "q"));
        ASSERT_NE(q, nullptr);
        const int keys = random.index(6);
        q->setParmByUser("numkeys", 0, 0.0f, keys);
        for (int k = 0; k <= keys; ++k) {
            const std::string id = std::to_string(k);
            const QuenloPose pose = random.pose();
            for (int c = 0; c < 3; ++c) {
                q->setFloat(("t" + id).c_str(), c, 0.0f, pose.translate[c]);
                q->setFloat(("r" + id).c_str(), c, 0.0f, pose.rotate[c]);
                q->setFloat(("s" + id).c_str(), c, 0.0f, pose.scale[c]);
                q->setFloat(("pivot" + id).c_str(), c, 0.0f, pose.pivot[c]);
            }
            q->setFloat(("scale" + id).c_str(), 0, 0.0f, random.uniform(-3, 3));
            q->setFloat(("keyval" + id).c_str(), 0, 0.0f, random.uniform(-10, 10));
            if (k > 0)
                q->setFloat(("enable" + id).c_str(), 0, 0.0f, random.index(2));
        }
        // Menu indices outside their menus are finite parameters too.
        q->setFloat("xOrd0", 0, 0.0f, random.index(8) - 1);
        q->setFloat("rOrd0", 0, 0.0f, random.index(8) - 1);
        q->setFloat("interp", 0, 0.0f, random.index(2));
        q->setFloat("ease", 0, 0.0f, random.index(2));
        q->setFloat("driverval", 0, 0.0f, random.uniform(-12, 12));
        q->refreshEnableStates();
        OP_Context context(0.0f);
        q->cook(context);
        for (int i = 0; i < 16; ++i)
            ASSERT_TRUE(std::isfinite(q->getLocalTransform().data()[i])) << "entry " << i;
        EXPECT_LE(q->error(), UT_ERROR_WARNING);
        net.destroyNode(q);
    }
}

} // namespace
