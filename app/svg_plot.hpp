// `--plot FILE.svg`: the translate, rotate and scale channels of a driver
// sweep drawn against the driver value.
#pragma once

#include "evaluation.hpp"

#include <string>
#include <vector>

namespace mhost {

// Tick positions for an axis over [low, high]: round numbers (1, 2 or 5
// times a power of ten apart), about `target` of them, all inside the range.
std::vector<double> niceTicks(double low, double high, int target);

// A standalone SVG document of the sweep: three stacked panels (translate,
// rotate in degrees, scale) sharing the driver axis, each with its x, y and
// z channel, a legend, ticks on both axes and the keys' driver values
// marked by dashed lines. The report must hold a sweep.
std::string renderSweepSvg(const EvalReport& report);

} // namespace mhost
