// app/output: what mhost shows of a cook. Reports as tables, CSV or JSON
// (this header), SVG plots, glTF, the 3D viewer page (viewer/) and the
// description of node types (interface_info.hpp). It includes app/engine
// and below, never app/validate.
//
// Printing evaluation reports as an aligned table, CSV or JSON.
#pragma once

#include "engine/evaluation.hpp"
#include "json/json.hpp"

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

// How a keyed node blends, for headings: ", quaternion interpolation, ease
// on"; empty for a node that is not keyed.
std::string blendingText(const EvalReport& report);
// "pose in Scale Rot Trans / Rx Ry Rz": the orders the pose is given in.
std::string poseOrdersText(const EvalReport& report);

// A matrix as mhost's JSON reports give it: 16 numbers, row-major.
Json matrixJson(const Matrix16& m);

} // namespace mhost
