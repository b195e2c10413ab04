// Blend-weight helpers of the keyed transform.
#pragma once

namespace quenlo {

// v mapped from the range s0..s1 onto t0..t1, clamped to the ends (s0 maps
// to t0 and s1 to t1 in either direction). A source range narrower than
// 1e-8 yields the midpoint of the target range.
float fitRange(float v, float s0, float s1, float t0, float t1);

// 0 up to a, 1 from b on, the cubic ease 3t^2 - 2t^3 in between; 0.5 for a
// range narrower than 1e-8.
float smoothStep(float a, float b, float x);

} // namespace quenlo
