// `--html FILE`: a 3D viewer of a sweep in one self-contained HTML page.
//
// The page inlines three.js and its orbit controls and holds the sweep as
// data, so it opens from file:// with no network and no server. It shows the
// parent chain, the key dummy and the swept node as axes with a box, the key
// poses as faint ghosts over a ground grid, a slider and a play button over
// the samples, the shown sample's driver, time and translate, rotate and
// scale, and the SVG plot with a cursor at the sample. At load it shows the
// sample nearest to "#driver=X" or "#time=X" in its address. The element
// with id "matrix" holds the shown local matrix exactly as mhost's JSON
// reports print it.
#pragma once

#include "engine/rig_capture.hpp"

#include <string>
#include <string_view>

namespace mhost {

std::string renderViewerHtml(const EvalReport& report, const RigCapture& capture);

namespace viewer {
// The page and the scripts it inlines, embedded at build time: three.js,
// its orbit controls and the 3D view the editor's page shares.
extern const std::string_view kPage;
extern const std::string_view kThree;
extern const std::string_view kOrbit;
extern const std::string_view kSceneView;
} // namespace viewer

} // namespace mhost
