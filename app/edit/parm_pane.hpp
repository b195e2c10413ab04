// The parameter pane of a node, as the host draws it from the templates its
// type holds: for any module's type, with nothing specific to one type.
//
//   {"node": "q", "type": "quenlo", "items": [ITEM, ...]}
//
// ITEM is one visible parameter, in the node's order (invisible ones are
// left out, with all they hold):
//   {"kind": "folders", "token", "folders": [{"label", "items": [...]}]}
//   {"kind": "separator", "token"}
//   {"kind": "button", "token", "label", "enabled"}
//   {"kind": K, "token", "label", "size", "values": [...], "enabled",
//    "animated": any component has keyframes, "keyed": one at `time`,
//    "join": true when the next item shares its row}, K one of
//     "float" (with "slider": true for a slider beside the field, and
//     "range": [min, max], the slider's ends), "int", "toggle" (values 0 or
//     1), "menu" (values are item indices; "menu": [{"token", "label"}]),
//     "string" (values are text);
//   {"kind": "multi", "token", "label", "count", "enabled",
//    "instances": [{"number", "items": [...]}]}
// Tokens are the parameters' own, instance numbers included ("getkey1").
// Values are read at `time`; numbers that are not finite are "nan", "inf"
// or "-inf".
#pragma once

#include "json/json.hpp"

#include <OP/OP_Node.h>

namespace mhost {

Json describePane(const OP_Node& node, float time);

} // namespace mhost
