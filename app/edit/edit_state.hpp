// What a page of `mhost edit` is told of its session: the state, as JSON,
// and the world matrices that changed since the page's last answer, as
// binary.
//
// A page says what it holds (PageView): the node list's version, the
// matrices' version, its current frame and its selected node. The state
// then carries the node list only when it changed, the selected node's
// pane, plot, world matrix and keyframe times, and the matrices of the
// nodes whose world changed: answers to an edit of one node stay small
// however large the scene.
//
//   {"scene", "version" (of the session), "journal", "unsaved", "undo",
//    "redo", "timeline": {"start", "end", "fps"}, "frame", "time",
//    "types": [{"name", "label", "inputs": [labels]}],
//    "structure": the node list's version,
//    "nodes": {"names": [...], "types": [index into types], "inputs":
//              [[node index or -1, ...]], "flags": [1 object + 2 keyed +
//              4 posable]}   only when the page's list is older,
//    "messages": {"NAME": [message, ...]}: what the last cook of each node
//                 that has any left in its error list,
//    "matrices": {"format": "float32", "of": "world", "version", "count",
//                 "full": true when every node is given},
//    "selected", "pane" (parm_pane.hpp), "plot", "world" (the selected
//    node's 16 numbers, full precision), "keyframes" (its keyframe times)}
//
// Binary answer (asked for with Accept: application/octet-stream): the 4
// bytes "MHST", the JSON's length as a 32-bit little-endian integer, the
// JSON, zero bytes up to a multiple of 4, then the matrices: their count,
// the node index of each (32-bit little-endian integers), then 16 float32s
// (little-endian) each, row-major in the host's convention. Without it,
// the answer is the JSON alone and the page gets no matrices.
#pragma once

#include "edit/edit_session.hpp"
#include "engine/scene_cook.hpp"
#include "json/json.hpp"

#include <cstdint>
#include <map>
#include <string>

namespace mhost {

// What a page holds and shows, as its request says.
struct PageView {
    std::string selected;        // the selected node, or ""
    std::optional<int> frame;    // the current frame (the timeline's start when none)
    std::uint64_t structure = 0; // the node list's version it holds (0: none)
    std::uint64_t matrices = 0;  // the matrices' version it holds (0: none)
    bool binary = false;         // it takes the binary answer
};
// From a request's query (GET) or body (POST): "node", "frame", "structure",
// "matrices"; binary from its Accept header.
PageView pageViewOf(const Json& fields, const std::string& accept);
PageView pageViewOf(const std::map<std::string, std::string>& query, const std::string& accept);

// The frame a view shows, and its time (Timeline::time).
int viewFrame(const EditSession& session, const PageView& view);

// Cooks what the view's time needs and describes the session for it.
struct StateAnswer {
    Json state;
    std::vector<std::uint32_t> changed; // the nodes whose matrices go with it
};
StateAnswer describeSession(EditSession& session, SceneCook& cook, const PageView& view);

// The answer's bytes: binary with the matrices, or the JSON alone.
std::string encodeState(const StateAnswer& answer, const SceneCook& cook, bool binary);

} // namespace mhost
