// Scripts of actions that `mhost run` carries out on a scene.
//
// A script is a JSON array of actions, or an object {"actions": [...]}. Each
// action is an object with an "op" and the fields of that op (see
// README.md). The whole script is checked before the first action runs,
// so a misspelt field or op changes nothing.
#pragma once

#include "engine/host_session.hpp"
#include "json/json.hpp"

#include <PRM/PRM_Parm.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mhost {

struct CreateAction {
    std::string type;
    std::optional<std::string> name; // the host picks one when absent
};
struct RemoveAction {
    std::string node;
};
struct RenameAction {
    std::string node;
    std::string to;
};
struct WireAction {
    std::string node;
    int input = 0;
    std::optional<std::string> from; // nothing disconnects
};
struct SetAction {
    std::string node;
    std::string parm;
    std::optional<int> component; // with a single value: only that component
    std::vector<Json> values;     // numbers, or strings for string parameters
    float time = 0.0f;
};
struct KeyframesAction {
    std::string node;
    std::string parm;
    int component = 0;
    std::vector<UT_Keyframe> keys; // sorted by time
};
struct PressAction {
    std::string node;
    std::string parm;
    float time = 0.0f;
};
struct EvalAction {
    std::string node;
    float time = 0.0f;
};
struct GetAction {
    std::string node;
    std::string parm;
    float time = 0.0f;
};
struct SaveAction {
    std::string path;
};
struct LoadAction {
    std::string path;
};

using ActionBody =
    std::variant<CreateAction, RemoveAction, RenameAction, WireAction, SetAction, KeyframesAction,
                 PressAction, EvalAction, GetAction, SaveAction, LoadAction>;

struct Action {
    std::size_t index = 0; // position in the script's action array
    std::string op;
    ActionBody body;
};

// Checks and parses a whole script. InputError "SOURCE: actions[i] (op):
// reason" for the first bad action.
std::vector<Action> parseScript(const Json& script, const std::string& source);
// The same from a script file's text, read action by action: no document
// of the whole script is made. A fault of the text itself comes first.
std::vector<Action> parseScriptText(std::string_view text, const std::string& source);

// Runs actions on scene in order, printing one JSON line to out for each
// action that reports (create without a name, press, eval, get). The first
// failure stops the run: InputError (bad node, parameter, wiring, file) or
// RunError (a cook that ends in an error, a file that cannot be written),
// its message naming the source and the action's index.
// The warnings a press raises (a key dummy not wired, say) also go to
// `warnings` when given, one "mhost: warning: ..." line each.
void runScript(Scene& scene, const std::vector<Action>& actions, const std::string& source,
               std::ostream& out, std::ostream* warnings = nullptr);

} // namespace mhost
