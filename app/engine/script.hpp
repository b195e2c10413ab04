// Scripts of actions that `mhost run` carries out on a scene, and that the
// editor and Python make their edits with.
//
// A script is a JSON array of actions, or an object {"actions": [...]}. Each
// action is an object with an "op" and the fields of that op. The ops are
// the rows of one table, actionKinds(): its rows drive the reader, the
// runner, the editor's choice of edits, `mhost --help`, the manual's table
// and the fuzzers' dictionary. The whole script is checked before the first
// action runs, so a misspelt field or op changes nothing.
#pragma once

#include "engine/host_session.hpp"
#include "support/file_plan.hpp"
#include "json/json.hpp"

#include <any>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

// What an action runs with.
struct ActionContext {
    Scene& scene;
    std::ostream& out; // one JSON line for each report
    // Where the warnings a press raises go besides its report line.
    std::function<void(const OP_Node&, const OP_ErrorEntry&)> warn;

    // Writes one report line.
    void report(const Json& line) const;
};

// What an action may do, for those who choose among them.
enum class ActionUse {
    Edit,   // changes the scene and names no file: the editor may make it
    Report, // only reports what it reads (a cook, a parameter's value)
    File,   // reads or writes the file it names: never the editor's, nor a fuzzer's
};

// One row of the table of actions.
struct ActionKind {
    const char* op;
    const char* example; // one action of this op, as a script holds it
    const char* help;    // what it does, in one sentence
    ActionUse use;
    // Reads the action's fields (InputError naming a wrong one) into its
    // body, which run() receives.
    std::any (*parse)(JsonFields& fields);
    void (*run)(ActionContext& context, const std::any& body);
    // For an action of use File: adds the file it reads or writes to plan,
    // as `role`. Null for the others.
    void (*files)(const std::any& body, const std::string& role, FilePlan& plan);
};

// Every op, in the order --help and the manual list them.
std::span<const ActionKind> actionKinds();
// The row of op; nullptr for none.
const ActionKind* findActionKind(std::string_view op);

struct Action {
    std::size_t index = 0; // position in the script's action array
    const ActionKind* kind = nullptr;
    std::any body;
};

// A node's error list as reports give it: [{"code", "message", "severity"}].
Json messagesToJson(const std::vector<OP_ErrorEntry>& messages);

// Checks and parses a whole script. InputError "SOURCE: actions[i] (op):
// reason" for the first bad action.
std::vector<Action> parseScript(const Json& script, const std::string& source);
// The same from a script file's text, read action by action: no document
// of the whole script is made. A fault of the text itself comes first.
std::vector<Action> parseScriptText(std::string_view text, const std::string& source);

// Adds the files the actions read and write to plan, in order, each named
// "SOURCE: actions[i] (op)".
void planScriptFiles(const std::vector<Action>& actions, const std::string& source, FilePlan& plan);

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
