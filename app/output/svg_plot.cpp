#include "output/svg_plot.hpp"

#include "output/report_format.hpp"
#include "support/text.hpp"
#include "json/json.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <sstream>

namespace mhost {

std::vector<double> niceTicks(double low, double high, int target) {
    std::vector<double> ticks;
    if (!std::isfinite(low) || !std::isfinite(high) || high <= low || target < 1)
        return ticks;
    // Of the round steps near (high - low) / target, the one whose tick count
    // comes closest to target.
    const double rough = (high - low) / target;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power;
    double best = std::numeric_limits<double>::infinity();
    for (const double factor : {0.5, 1.0, 2.0, 5.0, 10.0}) {
        const double candidate = factor * power;
        const double miss = std::abs((high - low) / candidate - target);
        if (miss < best) {
            best = miss;
            step = candidate;
        }
    }
    const double first = std::ceil(low / step - 1e-9) * step;
    for (int i = 0;; ++i) {
        const double v = first + i * step;
        if (v > high + step * 1e-9)
            break;
        ticks.push_back(std::abs(v) < step * 1e-9 ? 0.0 : v);
    }
    return ticks;
}

namespace {

// Enough decimal places to distinguish ticks `step` apart.
int tickDecimals(const std::vector<double>& ticks) {
    if (ticks.size() < 2)
        return 2;
    const double step = ticks[1] - ticks[0];
    return std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 6);
}

std::string num(double v) {
    return formatFixed(v, 2);
}

struct Range {
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    void add(double v) {
        if (std::isfinite(v)) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    }
    // Widens an empty or flat range, and leaves a margin around the data.
    void settle() {
        if (low > high) {
            low = 0.0;
            high = 1.0;
        } else if (high - low < 1e-9 * std::max(1.0, std::abs(high))) {
            const double pad = std::max(1.0, std::abs(high) * 0.1);
            low -= pad;
            high += pad;
        } else {
            const double pad = (high - low) * 0.06;
            low -= pad;
            high += pad;
        }
    }
};

constexpr double kWidth = 960, kLeft = 80, kRight = 150, kTop = 82, kPanelHeight = 190,
                 kPanelGap = 46, kBottom = 60;
constexpr const char* kColours[3] = {"#d62728", "#2ca02c", "#1f77b4"};
constexpr const char* kAxes[3] = {"x", "y", "z"};
// Each channel drawn thinner than the one before, so coinciding channels
// all stay visible.
constexpr double kStroke[3] = {3.8, 2.4, 1.3};

} // namespace

std::string renderSweepSvg(const EvalReport& report, PlotLayout* layout) {
    const double plotWidth = kWidth - kLeft - kRight;
    const double height = kTop + 3 * kPanelHeight + 2 * kPanelGap + kBottom;

    // A driver sweep is drawn against the driver, with the keys marked; a
    // time sweep against time (keys sit at driver values, not times).
    const bool byTime = report.sweep == EvalReport::Sweep::Time;
    const auto xOf = [&](const CookResult& row) -> std::optional<double> {
        if (byTime)
            return shortestDouble(row.time);
        return row.driver;
    };
    const std::vector<KeyMark> keys = byTime ? std::vector<KeyMark>{} : report.keys;
    Range xr;
    for (const CookResult& row : report.rows)
        xr.add(xOf(row).value_or(std::numeric_limits<double>::quiet_NaN()));
    for (const KeyMark& key : keys)
        xr.add(key.driver);
    if (xr.low > xr.high) {
        xr.low = 0;
        xr.high = 1;
    } else if (xr.high - xr.low < 1e-12) {
        xr.low -= 1;
        xr.high += 1;
    }
    // A margin on each side, so that a key marker or a sample at either end
    // is drawn inside the frame, not on it.
    const double margin = (xr.high - xr.low) * 0.03;
    xr.low -= margin;
    xr.high += margin;
    const auto xAt = [&](double v) {
        return kLeft + (v - xr.low) / (xr.high - xr.low) * plotWidth;
    };
    if (layout) {
        for (const CookResult& row : report.rows)
            layout->rowX.push_back(xOf(row) ? xAt(*xOf(row)) : kLeft);
    }
    const std::vector<double> xTicks = niceTicks(xr.low, xr.high, 8);
    const int xDecimals = tickDecimals(xTicks);

    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
        << height << "\" viewBox=\"0 0 " << kWidth << ' ' << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

    std::string title = "Node \"" + report.node + "\" (" + report.type + "): local transform vs " +
                        (byTime ? "time" : "driver");
    std::string subtitle = byTime ? "times " + formatShortest(xr.low + margin) + " to " +
                                        formatShortest(xr.high - margin)
                                  : "time " + formatShortest(shortestDouble(report.time));
    subtitle += blendingText(report) + "; " + poseOrdersText(report);
    svg << "<text x=\"" << kLeft << "\" y=\"26\" font-size=\"17\" font-weight=\"bold\">"
        << escapeXml(title) << "</text>\n";
    svg << "<text x=\"" << kLeft << "\" y=\"48\" fill=\"#555\">" << escapeXml(subtitle)
        << "</text>\n";

    struct Channel {
        const char* name;
        std::array<double, 3> Decomposed::*field;
    };
    const Channel channels[3] = {{"translate", &Decomposed::translate},
                                 {"rotate (degrees)", &Decomposed::rotate},
                                 {"scale", &Decomposed::scale}};

    for (int p = 0; p < 3; ++p) {
        const double top = kTop + p * (kPanelHeight + kPanelGap);
        const double bottom = top + kPanelHeight;
        Range yr;
        for (const CookResult& row : report.rows) {
            for (const double v : row.pose.*channels[p].field)
                yr.add(v);
        }
        yr.settle();
        const auto yAt = [&](double v) {
            return bottom - (v - yr.low) / (yr.high - yr.low) * kPanelHeight;
        };
        const std::vector<double> yTicks = niceTicks(yr.low, yr.high, 5);
        const int yDecimals = tickDecimals(yTicks);

        if (layout)
            layout->panels.push_back({top, bottom});
        svg << "<g class=\"panel\">\n";
        const double mid = (top + bottom) / 2;
        svg << "<text x=\"22\" y=\"" << num(mid) << "\" transform=\"rotate(-90 22 " << num(mid)
            << ")\" text-anchor=\"middle\" font-size=\"14\" font-weight=\"bold\">"
            << channels[p].name << "</text>\n";
        // Grid and ticks.
        for (const double t : yTicks) {
            const double y = yAt(t);
            svg << "<line x1=\"" << kLeft << "\" y1=\"" << num(y) << "\" x2=\"" << kLeft + plotWidth
                << "\" y2=\"" << num(y) << "\" stroke=\"#e4e4e4\"/>\n";
            svg << "<line x1=\"" << kLeft - 5 << "\" y1=\"" << num(y) << "\" x2=\"" << kLeft
                << "\" y2=\"" << num(y) << "\" stroke=\"#333\"/>\n";
            svg << "<text x=\"" << kLeft - 8 << "\" y=\"" << num(y + 4) << "\" text-anchor=\"end\">"
                << formatFixed(t, yDecimals) << "</text>\n";
        }
        for (const double t : xTicks) {
            const double x = xAt(t);
            svg << "<line x1=\"" << num(x) << "\" y1=\"" << top << "\" x2=\"" << num(x)
                << "\" y2=\"" << bottom << "\" stroke=\"#f0f0f0\"/>\n";
            svg << "<line x1=\"" << num(x) << "\" y1=\"" << bottom << "\" x2=\"" << num(x)
                << "\" y2=\"" << bottom + 5 << "\" stroke=\"#333\"/>\n";
            svg << "<text x=\"" << num(x) << "\" y=\"" << bottom + 18
                << "\" text-anchor=\"middle\">" << formatFixed(t, xDecimals) << "</text>\n";
        }
        // Keys.
        for (const KeyMark& key : keys) {
            const double x = xAt(key.driver);
            svg << "<line class=\"key\" x1=\"" << num(x) << "\" y1=\"" << top << "\" x2=\""
                << num(x) << "\" y2=\"" << bottom
                << "\" stroke=\"#888\" stroke-width=\"1.2\" stroke-dasharray=\"5,4\"/>\n";
            if (p == 0)
                svg << "<text x=\"" << num(x) << "\" y=\"" << top - 6
                    << "\" text-anchor=\"middle\" fill=\"#666\" font-size=\"11\">key " << key.key
                    << "</text>\n";
        }
        // Axes box.
        svg << "<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << plotWidth
            << "\" height=\"" << kPanelHeight << "\" fill=\"none\" stroke=\"#333\"/>\n";
        // Channels.
        for (int c = 0; c < 3; ++c) {
            std::string path;
            bool pen = false;
            for (const CookResult& row : report.rows) {
                const double v = (row.pose.*channels[p].field)[static_cast<std::size_t>(c)];
                if (!xOf(row) || !std::isfinite(v) || !row.pose.ok) {
                    pen = false;
                    continue;
                }
                path += (pen ? " L" : " M") + num(xAt(*xOf(row))) + "," + num(yAt(v));
                pen = true;
            }
            svg << "<path class=\"channel\" d=\"" << path << "\" fill=\"none\" stroke=\""
                << kColours[c] << "\" stroke-width=\"" << kStroke[c]
                << "\" stroke-linejoin=\"round\"/>\n";
            if (report.rows.size() <= 60) {
                for (const CookResult& row : report.rows) {
                    const double v = (row.pose.*channels[p].field)[static_cast<std::size_t>(c)];
                    if (xOf(row) && std::isfinite(v) && row.pose.ok)
                        svg << "<circle cx=\"" << num(xAt(*xOf(row))) << "\" cy=\"" << num(yAt(v))
                            << "\" r=\"" << kStroke[c] * 0.5 + 1.2 << "\" fill=\"" << kColours[c]
                            << "\"/>\n";
                }
            }
        }
        // Legend.
        const double lx = kLeft + plotWidth + 20;
        for (int c = 0; c < 3; ++c) {
            const double ly = top + 18 + c * 22;
            svg << "<line x1=\"" << lx << "\" y1=\"" << ly << "\" x2=\"" << lx + 24 << "\" y2=\""
                << ly << "\" stroke=\"" << kColours[c] << "\" stroke-width=\"" << kStroke[c]
                << "\"/>\n";
            svg << "<text x=\"" << lx + 30 << "\" y=\"" << ly + 4 << "\">" << channels[p].name[0]
                << kAxes[c] << "</text>\n";
        }
        if (!keys.empty()) {
            const double ly = top + 18 + 3 * 22;
            svg << "<line x1=\"" << lx << "\" y1=\"" << ly << "\" x2=\"" << lx + 24 << "\" y2=\""
                << ly << "\" stroke=\"#888\" stroke-width=\"1.2\" stroke-dasharray=\"5,4\"/>\n";
            svg << "<text x=\"" << lx + 30 << "\" y=\"" << ly + 4 << "\">key</text>\n";
        }
        svg << "</g>\n";
    }
    svg << "<text x=\"" << kLeft + plotWidth / 2 << "\" y=\"" << height - 16
        << "\" text-anchor=\"middle\" font-size=\"13\">"
        << (byTime ? "time (seconds)" : "driver value (driverval)") << "</text>\n";
    svg << "</svg>\n";
    return svg.str();
}

} // namespace mhost
