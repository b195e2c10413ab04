#include "engine/script.hpp"

#include "engine/evaluation.hpp"
#include "engine/node_edits.hpp"
#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"
#include "json/reader.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>

namespace mhost {

namespace {

float readTime(JsonFields& fields) {
    return secondsFrom(fields.optionalNumber("time").value_or(0.0), "field \"time\"");
}

std::vector<UT_Keyframe> readKeys(const Json& list) {
    if (!list.is_array())
        throw InputError("field \"keys\" must be an array of [time, value], not " +
                         describeJsonKind(list));
    return keysFromJson(list);
}

ActionBody parseCreate(JsonFields& f) {
    CreateAction a{f.requireString("type"), f.optionalString("name")};
    if (a.name && a.name->empty())
        throw InputError("field \"name\" must not be empty");
    return a;
}

ActionBody parseRemove(JsonFields& f) {
    return RemoveAction{f.requireString("node")};
}

ActionBody parseRename(JsonFields& f) {
    RenameAction a{f.requireString("node"), f.requireString("to")};
    if (a.to.empty())
        throw InputError("field \"to\" must not be empty");
    return a;
}

ActionBody parseWire(JsonFields& f) {
    WireAction a;
    a.node = f.requireString("node");
    a.input = f.requireInt("input");
    const Json& from = f.require("from");
    if (from.is_string())
        a.from = from.get<std::string>();
    else if (!from.is_null())
        throw InputError("field \"from\" must be a node name or null, not " +
                         describeJsonKind(from));
    return a;
}

ActionBody parseSet(JsonFields& f) {
    SetAction a;
    a.node = f.requireString("node");
    a.parm = f.requireString("parm");
    a.component = f.optionalInt("component");
    const Json& value = f.require("value");
    const auto simple = [](const Json& v) { return v.is_number() || v.is_string(); };
    if (value.is_array()) {
        if (a.component)
            throw InputError("\"component\" goes with a single value, not an array");
        if (value.empty())
            throw InputError("field \"value\" is an empty array");
        for (const Json& v : value) {
            if (!simple(v))
                throw InputError("field \"value\" holds " + describeJsonKind(v) +
                                 "; expected numbers or strings");
            a.values.push_back(v);
        }
    } else if (simple(value)) {
        a.values.push_back(value);
    } else {
        throw InputError("field \"value\" must be a number, a string or an array of them, "
                         "not " +
                         describeJsonKind(value));
    }
    a.time = readTime(f);
    return a;
}

ActionBody parseKeyframes(JsonFields& f) {
    KeyframesAction a;
    a.node = f.requireString("node");
    a.parm = f.requireString("parm");
    a.component = f.optionalInt("component").value_or(0);
    a.keys = readKeys(f.require("keys"));
    return a;
}

ActionBody parsePress(JsonFields& f) {
    PressAction a;
    a.node = f.requireString("node");
    a.parm = f.requireString("parm");
    a.time = readTime(f);
    return a;
}

ActionBody parseEval(JsonFields& f) {
    EvalAction a;
    a.node = f.requireString("node");
    a.time = readTime(f);
    return a;
}

ActionBody parseGet(JsonFields& f) {
    GetAction a;
    a.node = f.requireString("node");
    a.parm = f.requireString("parm");
    a.time = readTime(f);
    return a;
}

ActionBody parseSave(JsonFields& f) {
    return SaveAction{f.requireString("path")};
}

ActionBody parseLoad(JsonFields& f) {
    return LoadAction{f.requireString("path")};
}

// The script's actions by their "op": parsing and the list of known
// actions in messages both walk this one table.
struct ActionParser {
    const char* op;
    ActionBody (*parse)(JsonFields&);
};
constexpr ActionParser kActionParsers[] = {
    {"create", parseCreate}, {"remove", parseRemove}, {"rename", parseRename},
    {"wire", parseWire},     {"set", parseSet},       {"keyframes", parseKeyframes},
    {"press", parsePress},   {"eval", parseEval},     {"get", parseGet},
    {"save", parseSave},     {"load", parseLoad},
};

ActionBody parseBody(const std::string& op, JsonFields& f) {
    for (const ActionParser& parser : kActionParsers)
        if (op == parser.op)
            return parser.parse(f);
    std::string known;
    for (const ActionParser& parser : kActionParsers)
        known += (known.empty() ? "" : ", ") + std::string(parser.op);
    throw InputError("unknown action " + quote(op) + " (known: " + known + ")");
}

// Carries out one action; holds what every action needs.
class Runner {
public:
    Runner(Scene& scene, std::ostream& out) : scene_(scene), out_(out) {}

    void operator()(const CreateAction& a) {
        if (a.name) {
            scene_.create(a.type, *a.name);
            return;
        }
        OP_Operator& type = scene_.host().nodeType(a.type);
        OP_Node* made = scene_.root().createNode(type.getName(), nullptr);
        if (made == nullptr)
            throw RunError("node type " + quote(a.type) + " made no node");
        report({{"op", "create"}, {"type", a.type}, {"name", made->getName()}});
    }

    void operator()(const RemoveAction& a) { scene_.remove(scene_.node(a.node)); }
    void operator()(const RenameAction& a) { scene_.rename(scene_.node(a.node), a.to); }

    void operator()(const WireAction& a) {
        wireInput(scene_.node(a.node), a.input, a.from ? &scene_.node(*a.from) : nullptr);
    }

    void operator()(const SetAction& a) {
        std::vector<ParmValue> values;
        for (const Json& v : a.values) {
            if (v.is_string())
                values.emplace_back(v.get<std::string>());
            else
                values.emplace_back(v.get<double>());
        }
        editParm(scene_.node(a.node), a.parm, a.component, values, a.time);
    }

    void operator()(const KeyframesAction& a) {
        replaceKeyframes(scene_.node(a.node), a.parm, a.component, a.keys);
    }

    void operator()(const PressAction& a) {
        OP_Node& node = scene_.node(a.node);
        const std::vector<OP_ErrorEntry> raised = pressButton(node, a.parm, a.time);
        for (const OP_ErrorEntry& e : raised)
            warnings(node, e);
        report({{"op", "press"},
                {"node", a.node},
                {"parm", a.parm},
                {"time", shortestDouble(a.time)},
                {"warnings", messagesToJson(raised)}});
    }

    void operator()(const EvalAction& a) {
        OBJ_Node& node = asObject(scene_.node(a.node));
        const CookResult row = cookNode(node, a.time);
        Json local = Json::array(), world = Json::array();
        for (std::size_t i = 0; i < 16; ++i) {
            local.push_back(numberToJson(row.local[i]));
            world.push_back(numberToJson(row.world[i]));
        }
        report({{"op", "eval"},
                {"node", a.node},
                {"time", shortestDouble(a.time)},
                {"result", row.xformResult},
                {"severity", row.severity},
                {"local", local},
                {"world", world},
                {"warnings", messagesToJson(row.messages)}});
        if (row.severity >= UT_ERROR_ABORT) {
            std::string reason;
            for (const OP_ErrorEntry& e : row.messages) {
                if (e.severity >= UT_ERROR_ABORT)
                    reason += (reason.empty() ? "" : "; ") + e.message;
            }
            throw RunError("cooking " + describeNode(node) + " failed" +
                           (reason.empty() ? "" : ": " + reason));
        }
    }

    void operator()(const GetAction& a) {
        const ParmReading reading = readParm(scene_.node(a.node), a.parm, a.time);
        Json value = Json::array();
        for (const ParmValue& v : reading.values) {
            if (const auto* text = std::get_if<std::string>(&v))
                value.push_back(*text);
            else
                value.push_back(numberToJson(std::get<double>(v)));
        }
        report({{"op", "get"},
                {"node", a.node},
                {"parm", a.parm},
                {"time", shortestDouble(a.time)},
                {"value", value},
                {"enabled", reading.enabled},
                {"visible", reading.visible}});
    }

    void operator()(const SaveAction& a) { saveScene(scene_, a.path); }
    void operator()(const LoadAction& a) { loadScene(scene_, a.path); }

    // Where a press's warnings go besides its report line.
    std::function<void(const OP_Node&, const OP_ErrorEntry&)> warnings;

private:
    void report(const Json& line) { out_ << line.dump() << '\n' << std::flush; }

    Scene& scene_;
    std::ostream& out_;
};

std::string actionLabel(const std::string& source, std::size_t index, const std::string& op) {
    return source + ": actions[" + std::to_string(index) + "]" +
           (op.empty() ? "" : " (" + op + ")") + ": ";
}

} // namespace

namespace {

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
        ActionBody body = parseBody(op, fields);
        fields.rejectOthers();
        actions.push_back({index, op, std::move(body)});
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

void runScript(Scene& scene, const std::vector<Action>& actions, const std::string& source,
               std::ostream& out, std::ostream* warnings) {
    Runner runner(scene, out);
    for (const Action& action : actions) {
        runner.warnings = [&](const OP_Node& node, const OP_ErrorEntry& e) {
            if (warnings)
                *warnings << "mhost: warning: " << actionLabel(source, action.index, action.op)
                          << describeNode(node) << ": " << e.message << '\n';
        };
        try {
            std::visit(runner, action.body);
        } catch (const Failure& failure) {
            rethrowWithContext(failure, actionLabel(source, action.index, action.op));
        }
    }
}

} // namespace mhost
