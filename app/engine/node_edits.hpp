// The edits a user makes to a scene's nodes, as the host's user operations:
// one definition that `mhost run` scripts and the Python API both call.
//
// Every function names the node and the parameter in the InputError it
// throws for a bad edit (an unknown token, a value of the wrong kind, a
// component that does not exist); an unknown token is a Lookup failure.
#pragma once

#include "engine/host_session.hpp"
#include "json/json.hpp"

#include <OP/OP_Parameters.h>
#include <PRM/PRM_Parm.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mhost {

// A value for one component: a number, or text (for string parameters, or a
// menu item's token for a menu parameter).
using ParmValue = std::variant<double, std::string>;

// `parameter "t" of node "q" (quenlo)`, for messages.
std::string parmName(const OP_Node& node, const PRM_Parm& parm);

// The parameter with this token that holds a value (or a list's count);
// InputError otherwise.
const PRM_Parm& valueParm(const OP_Node& node, std::string_view token);

// The index of the item with this token in the menu of an ordinal
// parameter; InputError listing the items when there is none (or no menu).
int menuItemIndex(const OP_Node& node, const PRM_Parm& parm, std::string_view token);
// The tokens of the items of an ordinal parameter's menu, in order (none
// without a menu).
std::vector<std::string> menuTokens(const PRM_Parm& parm);

// User edits of components first, first + 1, ... of the parameter (first is
// `component`, or 0), one per value: each writes the value, runs the
// parameter's callback and refreshes the enabled states, as a user's edit
// does. A list's count must be a whole number from 0 to the host's maximum;
// a menu parameter takes an item's token or its index.
void editParm(OP_Node& node, std::string_view token, std::optional<int> component,
              const std::vector<ParmValue>& values, float time);

// Wires from (nullptr: nothing) into input `input` of node. InputError for
// an input the node does not have or a wiring that would make a cycle.
void wireInput(OP_Node& node, int input, OP_Node* from);

// Replaces the channel of one component with keys (sorted by time here);
// an empty list makes the component constant again, at its value at time 0.
void replaceKeyframes(OP_Node& node, std::string_view token, int component,
                      std::vector<UT_Keyframe> keys);

// Keys the parameter at time: each component (or just `component`) gets a
// keyframe there holding the value it has there. InputError as
// replaceKeyframes does.
void keyParm(OP_Node& node, std::string_view token, std::optional<int> component, float time);
// Removes the keyframe at time of each component (or just `component`); a
// component left with none holds that key's value as a constant. InputError
// when none of them has a keyframe there.
void unkeyParm(OP_Node& node, std::string_view token, std::optional<int> component, float time);

// Presses the button and returns what the press raised (the node's list is
// cleared first). InputError when the token names no button.
std::vector<OP_ErrorEntry> pressButton(OP_Node& node, std::string_view token, float time);

// A parameter's components at a time (numbers, or text for string
// parameters; a list's count), and its state.
struct ParmReading {
    std::vector<ParmValue> values;
    bool enabled = true;
    bool visible = true;
};
ParmReading readParm(const OP_Node& node, std::string_view token, float time);

// A multi-parameter's instance count: a whole number from 0 to
// OP_Parameters::maxMultiInstances, else InputError saying so. Scenes and
// scripts read counts the same way.
int instanceCountFromJson(const Json& j);

} // namespace mhost
