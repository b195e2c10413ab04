// `--plot FILE.svg`: the translate, rotate and scale channels of a driver
// sweep drawn against the driver value.
#pragma once

#include "engine/evaluation.hpp"

#include <string>
#include <utility>
#include <vector>

namespace mhost {

// Tick positions for an axis over [low, high]: round numbers (1, 2 or 5
// times a power of ten apart), about `target` of them, all inside the range.
std::vector<double> niceTicks(double low, double high, int target);

// A standalone SVG document of the sweep: three stacked panels (translate,
// rotate in degrees, scale) sharing the driver axis, each with its x, y and
// z channel, a legend, ticks on both axes and the keys' driver values
// marked by dashed lines. The report must hold a sweep.
//
// When layout is given, it receives where each row is drawn across and the
// vertical extent of each panel, in the document's coordinates (for a
// cursor drawn over the plot).
struct PlotLayout {
    std::vector<double> rowX;
    std::vector<std::pair<double, double>> panels; // top, bottom
};
std::string renderSweepSvg(const EvalReport& report, PlotLayout* layout = nullptr);

} // namespace mhost
