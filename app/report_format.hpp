// Printing evaluation reports as an aligned table, CSV or JSON.
#pragma once

#include "evaluation.hpp"
#include "json_file.hpp"

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

enum class ReportFormat { Table, Csv, Json };

// "table", "csv" or "json"; InputError otherwise.
ReportFormat parseReportFormat(std::string_view name);

void writeReport(const EvalReport& report, ReportFormat format, std::ostream& out);

// The report as one JSON document.
Json reportToJson(const EvalReport& report);

// Text for XML and HTML content and attribute values: the five markup
// characters escaped, and characters XML 1.0 does not allow (control
// characters, broken UTF-8) as "?".
std::string escapeXml(std::string_view text);

// How a keyed node blends, for headings: ", quaternion interpolation, ease
// on"; empty for a node that is not keyed.
std::string blendingText(const EvalReport& report);
// "pose in Scale Rot Trans / Rx Ry Rz": the orders the pose is given in.
std::string poseOrdersText(const EvalReport& report);

// A matrix as mhost's JSON reports give it: 16 numbers, row-major.
Json matrixJson(const Matrix16& m);

// The node's error list as [{"code", "message", "severity"}].
Json messagesToJson(const std::vector<OP_ErrorEntry>& messages);

// Fixed-point text with `decimals` digits, without a minus sign on zero.
std::string formatFixed(double value, int decimals);

// The shortest text that reads back as the same double.
std::string formatShortest(double value);

// Columns of text padded to a common width each: right-aligned, or left-
// aligned for the columns listed in leftAligned. Lines carry no trailing
// blanks.
std::string alignColumns(const std::vector<std::vector<std::string>>& rows,
                         const std::vector<bool>& leftAligned);

} // namespace mhost
