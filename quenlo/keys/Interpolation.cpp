#include "keys/Interpolation.h"

namespace quenlo {
namespace {

// Spans within this distance of zero are treated as empty; the value is the
// single-precision neighbour of 1e-8, as the ranges are floats.
constexpr double degenerateSpan = static_cast<double>(1e-8f);

bool isDegenerate(float span) {
    return -degenerateSpan <= span && span <= degenerateSpan;
}

} // namespace

float fitRange(float v, float s0, float s1, float t0, float t1) {
    const float span = static_cast<float>(static_cast<double>(s1) - s0);
    if (isDegenerate(span))
        return static_cast<float>((static_cast<double>(t0) + t1) * 0.5);
    if (s0 < s1) {
        if (v < s0)
            return t0;
        if (v > s1)
            return t1;
    } else {
        if (v < s1)
            return t1;
        if (v > s0)
            return t0;
    }
    return static_cast<float>(t0 + (static_cast<double>(v) - s0) * (static_cast<double>(t1) - t0) /
                                       span);
}

float smoothStep(float a, float b, float x) {
    if (x <= a)
        return 0.0f;
    if (x >= b)
        return 1.0f;
    const float span = static_cast<float>(static_cast<double>(b) - a);
    if (isDegenerate(span))
        return 0.5f;
    const double t = static_cast<float>((static_cast<double>(x) - a) / span);
    return static_cast<float>((3.0 - 2.0 * t) * t * t);
}

} // namespace quenlo
