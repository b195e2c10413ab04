#include "output/report_format.hpp"

#include "engine/script.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace mhost {

ReportFormat parseReportFormat(std::string_view name) {
    if (name == "table")
        return ReportFormat::Table;
    if (name == "csv")
        return ReportFormat::Csv;
    if (name == "json")
        return ReportFormat::Json;
    throw InputError("unknown format \"" + std::string(name) + "\" (use table, csv or json)");
}

namespace {

std::string describeMessages(const CookResult& row) {
    std::string text;
    const auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (!row.pose.ok)
        add("singular matrix: no pose");
    for (const OP_ErrorEntry& entry : row.messages) {
        const char* kind = entry.severity >= UT_ERROR_ABORT     ? "error: "
                           : entry.severity >= UT_ERROR_WARNING ? ""
                                                                : "note: ";
        add(kind + entry.message + " (" + std::to_string(entry.code) + ")");
    }
    return text;
}

std::string interpName(const EvalReport& report) {
    if (!report.interp)
        return "";
    return *report.interp != 0 ? "quat" : "euler";
}

std::string headline(const EvalReport& report) {
    std::string line =
        "node " + quote(report.node) + " (" + report.type + ")" +
        (report.sweep == EvalReport::Sweep::Time
             ? " from time " + formatShortest(shortestDouble(report.rows.front().time)) + " to " +
                   formatShortest(shortestDouble(report.rows.back().time))
             : " at time " + formatShortest(shortestDouble(report.time)));
    line += blendingText(report) + "\n" + poseOrdersText(report);
    if (!report.keys.empty()) {
        line += "; active keys:";
        for (std::size_t i = 0; i < report.keys.size(); ++i)
            line += std::string(i ? ", " : " ") + std::to_string(report.keys[i].key) + " at " +
                    formatShortest(report.keys[i].driver);
    }
    return line + "\n\n";
}

void writeTable(const EvalReport& report, std::ostream& out) {
    // A time sweep leads with the time of each row.
    const bool times = report.sweep == EvalReport::Sweep::Time;
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"driver", "key", "|", "tx", "ty", "tz", "|", "rx", "ry", "rz", "|", "sx", "sy",
                    "sz", "|", "warnings"});
    if (times)
        rows.back().insert(rows.back().begin(), "time");
    for (const CookResult& row : report.rows) {
        std::vector<std::string> cells;
        if (times)
            cells.push_back(formatFixed(shortestDouble(row.time), 4));
        cells.push_back(row.driver ? formatFixed(*row.driver, 4) : "-");
        cells.push_back(row.key ? std::to_string(*row.key) : "");
        const auto group = [&](const std::array<double, 3>& v) {
            cells.push_back("|");
            for (const double x : v)
                cells.push_back(formatFixed(x, 4));
        };
        group(row.pose.translate);
        group(row.pose.rotate);
        group(row.pose.scale);
        cells.push_back("|");
        const std::string messages = describeMessages(row);
        cells.push_back(messages.empty() ? "-" : messages);
        rows.push_back(std::move(cells));
    }
    std::vector<bool> left(rows.front().size(), false);
    left.back() = true;
    out << headline(report) << alignColumns(rows, left);
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos)
        return text;
    std::string field = "\"";
    for (const char c : text) {
        if (c == '"')
            field += '"';
        field += c;
    }
    return field + "\"";
}

void writeCsv(const EvalReport& report, std::ostream& out) {
    out << "time,driver,key,tx,ty,tz,rx,ry,rz,sx,sy,sz,severity,warnings\n";
    for (const CookResult& row : report.rows) {
        out << formatShortest(shortestDouble(row.time)) << ','
            << (row.driver ? formatShortest(*row.driver) : "") << ','
            << (row.key ? std::to_string(*row.key) : "");
        for (const auto* v : {&row.pose.translate, &row.pose.rotate, &row.pose.scale}) {
            for (const double x : *v)
                out << ',' << formatShortest(x);
        }
        out << ',' << row.severity << ',' << csvField(describeMessages(row)) << '\n';
    }
}

Json triple(const std::array<double, 3>& v) {
    return Json::array({numberToJson(v[0]), numberToJson(v[1]), numberToJson(v[2])});
}

} // namespace

Json matrixJson(const Matrix16& m) {
    Json list = Json::array();
    for (const double x : m)
        list.push_back(numberToJson(x));
    return list;
}

Json reportToJson(const EvalReport& report) {
    Json j;
    j["node"] = report.node;
    j["type"] = report.type;
    j["time"] = shortestDouble(report.time);
    j["sweep"] = report.sweep == EvalReport::Sweep::Time     ? "time"
                 : report.sweep == EvalReport::Sweep::Driver ? "driver"
                                                             : "none";
    j["orders"] = {{"transform", report.transformOrder}, {"rotate", report.rotateOrder}};
    if (report.interp)
        j["interp"] = interpName(report);
    if (report.ease)
        j["ease"] = *report.ease;
    Json keys = Json::array();
    for (const KeyMark& mark : report.keys)
        keys.push_back({{"key", mark.key}, {"driver", numberToJson(mark.driver)}});
    j["keys"] = keys;
    Json rows = Json::array();
    for (const CookResult& row : report.rows) {
        Json r;
        r["time"] = shortestDouble(row.time);
        r["driver"] = row.driver ? numberToJson(*row.driver) : Json(nullptr);
        r["key"] = row.key ? Json(*row.key) : Json(nullptr);
        r["translate"] = triple(row.pose.translate);
        r["rotate"] = triple(row.pose.rotate);
        r["scale"] = triple(row.pose.scale);
        r["decomposed"] = row.pose.ok;
        r["result"] = row.xformResult;
        r["severity"] = row.severity;
        r["local"] = matrixJson(row.local);
        r["world"] = matrixJson(row.world);
        r["warnings"] = messagesToJson(row.messages);
        rows.push_back(std::move(r));
    }
    j["rows"] = rows;
    return j;
}

void writeReport(const EvalReport& report, ReportFormat format, std::ostream& out) {
    switch (format) {
    case ReportFormat::Table:
        writeTable(report, out);
        break;
    case ReportFormat::Csv:
        writeCsv(report, out);
        break;
    case ReportFormat::Json:
        out << formatJson(reportToJson(report));
        break;
    }
}

std::string blendingText(const EvalReport& report) {
    std::string text;
    if (report.interp)
        text += std::string(", ") + (*report.interp ? "quaternion" : "Euler") + " interpolation";
    if (report.ease)
        text += *report.ease ? ", ease on" : ", ease off";
    return text;
}

std::string poseOrdersText(const EvalReport& report) {
    return "pose in " + report.transformOrder + " / " + report.rotateOrder;
}

} // namespace mhost
