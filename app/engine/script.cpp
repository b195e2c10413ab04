#include "engine/script.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"
#include "json/reader.hpp"

#include <optional>

namespace mhost {

namespace {

std::string actionLabel(const std::string& source, std::size_t index, const std::string& op) {
    return source + ": actions[" + std::to_string(index) + "]" +
           (op.empty() ? "" : " (" + op + ")") + ": ";
}

const ActionKind& kindOf(const std::string& op) {
    if (const ActionKind* kind = findActionKind(op))
        return *kind;
    std::string known;
    for (const ActionKind& kind : actionKinds())
        known += (known.empty() ? "" : ", ") + std::string(kind.op);
    throw InputError("unknown action " + quote(op) + " (known: " + known + ")");
}

const char* const kNotAScript =
    ": a script must be an array of actions or an object with an \"actions\" array, not ";

// Parses entry `index` of the action list into actions (a comment adds none).
void parseEntry(const Json& entry, std::size_t index, const std::string& source,
                std::vector<Action>& actions) {
    // {"comment": "..."} alone is a note between actions.
    if (entry.is_object() && entry.size() == 1 && entry.contains("comment"))
        return;
    std::string op;
    try {
        JsonFields fields(entry, "an action");
        op = fields.requireString("op");
        fields.find("comment");
        const ActionKind& kind = kindOf(op);
        std::any body = kind.parse(fields);
        fields.rejectOthers();
        actions.push_back({index, &kind, std::move(body)});
    } catch (const Failure& failure) {
        rethrowWithContext(failure, actionLabel(source, index, op));
    }
}

// The top-level fields of a script object, with the actions' place held by
// an empty array, checked as any object's.
void checkScriptObject(const Json& script, const std::string& source) {
    try {
        JsonFields top(script, "a script");
        top.require("actions");
        top.find("description");
        top.rejectOthers();
    } catch (const Failure& failure) {
        rethrowWithContext(failure, source + ": ");
    }
}

} // namespace

std::vector<Action> parseScript(const Json& script, const std::string& source) {
    const Json* list = &script;
    if (script.is_object()) {
        checkScriptObject(script, source);
        list = &script["actions"];
    }
    if (!list->is_array())
        throw InputError(source + kNotAScript + describeJsonKind(*list));
    std::vector<Action> actions;
    for (std::size_t i = 0; i < list->size(); ++i)
        parseEntry((*list)[i], i, source, actions);
    return actions;
}

std::vector<Action> parseScriptText(std::string_view text, const std::string& source) {
    std::vector<Action> actions;
    try {
        JsonReader r(text, source);
        const auto readActions = [&](JsonReader& list) {
            list.beginArray();
            for (std::size_t i = 0; list.nextElement(); ++i)
                parseEntry(readJsonValue(list), i, source, actions);
        };
        if (r.peek() == JsonReader::Kind::Object) {
            // The other fields are checked first, as in a document, and
            // the actions read after, where they stand.
            Json top = Json::object();
            auto& members = top.get_ref<Json::object_t&>();
            std::optional<std::size_t> list;
            r.beginObject();
            std::string_view key;
            while (r.nextKey(key)) {
                if (key == "actions" && r.peek() == JsonReader::Kind::Array) {
                    members.emplace_back("actions", Json::array());
                    list = r.offset();
                    r.skipValue();
                } else {
                    members.emplace_back(std::string(key), readJsonValue(r));
                }
            }
            r.expectEnd();
            checkScriptObject(top, source);
            if (!list)
                throw InputError(source + kNotAScript + describeJsonKind(top["actions"]));
            JsonReader listReader = r.readerAt(*list);
            readActions(listReader);
        } else if (r.peek() == JsonReader::Kind::Array) {
            readActions(r);
            r.expectEnd();
        } else {
            const Json other = readJsonValue(r);
            r.expectEnd();
            throw InputError(source + kNotAScript + describeJsonKind(other));
        }
    } catch (const Failure&) {
        // A fault of the text itself (a repeated key included), wherever it
        // stands, is the one reported, before any fault of what the text
        // says: the text is read again as a document, on this path only.
        parseJson(text, source);
        throw;
    }
    return actions;
}

Json messagesToJson(const std::vector<OP_ErrorEntry>& messages) {
    Json list = Json::array();
    for (const OP_ErrorEntry& entry : messages)
        list.push_back({{"code", entry.code},
                        {"message", entry.message},
                        {"severity", static_cast<int>(entry.severity)}});
    return list;
}

void ActionContext::report(const Json& line) const {
    out << line.dump() << '\n' << std::flush;
}

const ActionKind* findActionKind(std::string_view op) {
    for (const ActionKind& kind : actionKinds())
        if (op == kind.op)
            return &kind;
    return nullptr;
}

void planScriptFiles(const std::vector<Action>& actions, const std::string& source,
                     FilePlan& plan) {
    for (const Action& action : actions) {
        if (!action.kind->files)
            continue;
        std::string role = actionLabel(source, action.index, action.kind->op);
        role.resize(role.size() - 2); // without its ": "
        action.kind->files(action.body, role, plan);
    }
}

void runScript(Scene& scene, const std::vector<Action>& actions, const std::string& source,
               std::ostream& out, std::ostream* warnings) {
    for (const Action& action : actions) {
        ActionContext context{scene, out, [&](const OP_Node& node, const OP_ErrorEntry& e) {
                                  if (warnings)
                                      *warnings
                                          << "mhost: warning: "
                                          << actionLabel(source, action.index, action.kind->op)
                                          << describeNode(node) << ": " << e.message << '\n';
                              }};
        try {
            action.kind->run(context, action.body);
        } catch (const Failure& failure) {
            rethrowWithContext(failure, actionLabel(source, action.index, action.kind->op));
        }
    }
}

} // namespace mhost
