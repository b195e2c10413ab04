#include "output/html_viewer.hpp"

#include "output/report_format.hpp"
#include "output/svg_plot.hpp"
#include "support/text.hpp"
#include "json/json.hpp"

namespace mhost {
namespace {

const char* roleName(RigTrack::Role role) {
    switch (role) {
    case RigTrack::Role::Parent:
        return "parent";
    case RigTrack::Role::Dummy:
        return "dummy";
    case RigTrack::Role::Swept:
        break;
    }
    return "swept";
}

// "Node "arm" (quenlo)", the heading of the page.
std::string nodeTitle(const EvalReport& report) {
    return "Node \"" + report.node + "\" (" + report.type + ")";
}

Json optionalNumber(const std::optional<double>& v) {
    return v ? numberToJson(*v) : Json();
}

Json triple(const std::array<double, 3>& v) {
    return Json{v[0], v[1], v[2]};
}

Json viewerData(const EvalReport& report, const RigCapture& capture, const PlotLayout& layout) {
    const bool byTime = report.sweep == EvalReport::Sweep::Time;
    Json data;
    data["title"] = nodeTitle(report);
    std::string subtitle =
        report.rows.size() < 2 ? "one cook at time " + formatShortest(shortestDouble(report.time))
        : byTime ? "over time, from " + formatShortest(shortestDouble(report.rows.front().time)) +
                       " to " + formatShortest(shortestDouble(report.rows.back().time))
                 : "by driver, at time " + formatShortest(shortestDouble(report.time));
    subtitle += blendingText(report) + "; " + poseOrdersText(report);
    data["subtitle"] = subtitle;

    Json tracks = Json::array();
    for (const RigTrack& track : capture.tracks) {
        Json worlds = Json::array();
        for (const Matrix16& m : track.world)
            worlds.push_back(matrixJson(m));
        tracks.push_back({{"name", track.name},
                          {"type", track.type},
                          {"role", roleName(track.role)},
                          {"world", worlds}});
    }
    data["tracks"] = tracks;

    Json ghosts = Json::array();
    for (const KeyGhost& ghost : capture.ghosts)
        ghosts.push_back({{"key", ghost.key},
                          {"driver", numberToJson(ghost.driver)},
                          {"world", matrixJson(ghost.world)}});
    data["ghosts"] = ghosts;

    Json rows = Json::array();
    for (const CookResult& row : report.rows) {
        std::string matrix = formatJson(matrixJson(row.local));
        while (!matrix.empty() && matrix.back() == '\n')
            matrix.pop_back();
        rows.push_back({{"time", numberToJson(shortestDouble(row.time))},
                        {"driver", optionalNumber(row.driver)},
                        {"key", row.key ? Json(*row.key) : Json()},
                        {"translate", triple(row.pose.translate)},
                        {"rotate", triple(row.pose.rotate)},
                        {"scale", triple(row.pose.scale)},
                        {"matrix", matrix}});
    }
    data["rows"] = rows;

    Json panels = Json::array();
    for (const auto& [top, bottom] : layout.panels)
        panels.push_back({top, bottom});
    data["plot"] = {{"x", layout.rowX}, {"panels", panels}};
    return data;
}

} // namespace

std::string renderViewerHtml(const EvalReport& report, const RigCapture& capture) {
    PlotLayout layout;
    const std::string svg = renderSweepSvg(report, &layout);
    // The SVG document without its XML prologue, inline in the page.
    const std::string inlineSvg = svg.substr(svg.find("<svg"));

    // JSON inside a script element: "</" must not appear in it, and "<\/" is
    // the same string to a JSON reader.
    std::string data = viewerData(report, capture, layout).dump();
    for (std::size_t at = data.find("</"); at != std::string::npos; at = data.find("</", at))
        data.replace(at, 2, "<\\/");
    // And "<!--" would change how the browser parses the rest of the script.
    for (std::size_t at = data.find("<!--"); at != std::string::npos; at = data.find("<!--", at))
        data.replace(at, 4, "\\u003c!--");

    const std::string title = escapeXml(nodeTitle(report) + " - mhost");
    return fillMarkers(viewer::kPage, {{"@TITLE@", title},
                                       {"<!--@PLOT@-->", inlineSvg},
                                       {"/*@DATA@*/", data},
                                       {"/*@THREE@*/", viewer::kThree},
                                       {"/*@ORBIT@*/", viewer::kOrbit},
                                       {"/*@SCENEVIEW@*/", viewer::kSceneView}});
}

} // namespace mhost
