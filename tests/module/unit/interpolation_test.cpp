#include "keys/Interpolation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using quenlo::fitRange;
using quenlo::smoothStep;

namespace {

struct FitCase {
    float v, s0, s1, t0, t1, expected;
};

TEST(FitRange, MapsAndClampsAscendingRanges) {
    const FitCase cases[] = {{2.5f, 0, 10, 0, 1, 0.25f}, {-1, 0, 10, 0, 1, 0.0f},
                             {12, 0, 10, 0, 1, 1.0f},    {10, 0, 10, 0, 1, 1.0f},
                             {0, 0, 10, 0, 1, 0.0f},     {5, 0, 10, 2, 4, 3.0f},
                             {5, 0, 10, 1, 0, 0.5f},     {-3, -4, -2, 0, 1, 0.5f}};
    for (const FitCase& c : cases)
        EXPECT_FLOAT_EQ(fitRange(c.v, c.s0, c.s1, c.t0, c.t1), c.expected)
            << "v=" << c.v << " range " << c.s0 << ".." << c.s1;
}

TEST(FitRange, DescendingRangesClampByEnds) {
    EXPECT_FLOAT_EQ(fitRange(5, 10, 0, 0, 1), 0.5f);
    EXPECT_FLOAT_EQ(fitRange(-1, 10, 0, 0, 1), 1.0f);
    EXPECT_FLOAT_EQ(fitRange(11, 10, 0, 0, 1), 0.0f);
    EXPECT_FLOAT_EQ(fitRange(2.5f, 10, 0, 0, 1), 0.75f);
    EXPECT_FLOAT_EQ(fitRange(6, 5, 2, 0, 1), 0.0f);
}

TEST(FitRange, DegenerateRangesGiveTheMidpoint) {
    EXPECT_FLOAT_EQ(fitRange(7, 3, 3, 0, 1), 0.5f);
    EXPECT_FLOAT_EQ(fitRange(7, 3, 3, 2, 4), 3.0f);
    EXPECT_FLOAT_EQ(fitRange(-100, 3, 3, 2, 4), 3.0f);
    EXPECT_FLOAT_EQ(fitRange(0.5f, 0, 0.000000005f, 0, 1), 0.5f);
    EXPECT_FLOAT_EQ(fitRange(0.5f, 0.000000005f, 0, 0, 1), 0.5f);
    // Just wider than the tolerance: a real range again.
    EXPECT_FLOAT_EQ(fitRange(1e-6f, 0, 2e-6f, 0, 1), 0.5f);
    EXPECT_FLOAT_EQ(fitRange(5e-6f, 0, 2e-6f, 0, 1), 1.0f);
}

TEST(FitRange, NotANumberFailsEveryComparison) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // A NaN value is not clamped and propagates through the mapping.
    EXPECT_TRUE(std::isnan(fitRange(nan, 0, 10, 0, 1)));
    // A NaN end makes the span NaN, which is not within the tolerance, and
    // the range counts as descending: only the comparisons with the other
    // end can clamp.
    EXPECT_FLOAT_EQ(fitRange(-5, nan, 0, 0, 1), 1.0f);
    EXPECT_FLOAT_EQ(fitRange(5, 0, nan, 0, 1), 0.0f);
    EXPECT_TRUE(std::isnan(fitRange(-5, 0, nan, 0, 1)));
}

TEST(SmoothStep, EasesBetweenTheEnds) {
    EXPECT_FLOAT_EQ(smoothStep(0, 1, 0.25f), 0.15625f);
    EXPECT_FLOAT_EQ(smoothStep(0, 1, 0.5f), 0.5f);
    EXPECT_FLOAT_EQ(smoothStep(0, 1, 0.75f), 0.84375f);
    EXPECT_FLOAT_EQ(smoothStep(2, 4, 3), 0.5f);
    EXPECT_FLOAT_EQ(smoothStep(2, 4, 2.5f), 0.15625f);
}

TEST(SmoothStep, ClampsOutsideTheRange) {
    for (float x : {-5.0f, -0.001f, 0.0f})
        EXPECT_EQ(smoothStep(0, 1, x), 0.0f) << x;
    for (float x : {1.0f, 1.001f, 7.0f})
        EXPECT_EQ(smoothStep(0, 1, x), 1.0f) << x;
}

TEST(SmoothStep, DegenerateAndReversedRanges) {
    // x <= a is tested first.
    EXPECT_EQ(smoothStep(2, 2, 2), 0.0f);
    EXPECT_EQ(smoothStep(2, 2, 3), 1.0f);
    EXPECT_EQ(smoothStep(3, 1, 2), 0.0f);
    EXPECT_EQ(smoothStep(3, 1, 5), 1.0f);
    // A span within the tolerance with x strictly inside it.
    EXPECT_EQ(smoothStep(0, 5e-9f, 2e-9f), 0.5f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(std::isnan(smoothStep(0, 1, nan)));
}

} // namespace
