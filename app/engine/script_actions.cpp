// The script's actions: each is a struct of its fields with a parse and a
// run, and one row of kActions, the table every reader of actions walks.
// Adding an action means adding a struct like these and its row.
#include "engine/evaluation.hpp"
#include "engine/key_tools.hpp"
#include "engine/node_edits.hpp"
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

#include <optional>

namespace mhost {

namespace {

float readTime(JsonFields& fields) {
    return secondsFrom(fields.optionalNumber("time").value_or(0.0), "field \"time\"");
}

struct CreateAction {
    std::string type;
    std::optional<std::string> name; // the host picks one when absent

    static CreateAction parse(JsonFields& f) {
        CreateAction a{f.requireString("type"), f.optionalString("name")};
        if (a.name && a.name->empty())
            throw InputError("field \"name\" must not be empty");
        return a;
    }
    void run(ActionContext& c) const {
        if (name) {
            c.scene.create(type, *name);
            return;
        }
        OP_Operator& op = c.scene.host().nodeType(type);
        OP_Node* made = c.scene.root().createNode(op.getName(), nullptr);
        if (made == nullptr)
            throw RunError("node type " + quote(type) + " made no node");
        c.report({{"op", "create"}, {"type", type}, {"name", made->getName()}});
    }
};

struct RemoveAction {
    std::string node;

    static RemoveAction parse(JsonFields& f) { return {f.requireString("node")}; }
    void run(ActionContext& c) const { c.scene.remove(c.scene.node(node)); }
};

struct RenameAction {
    std::string node;
    std::string to;

    static RenameAction parse(JsonFields& f) {
        RenameAction a{f.requireString("node"), f.requireString("to")};
        if (a.to.empty())
            throw InputError("field \"to\" must not be empty");
        return a;
    }
    void run(ActionContext& c) const { c.scene.rename(c.scene.node(node), to); }
};

struct WireAction {
    std::string node;
    int input = 0;
    std::optional<std::string> from; // nothing disconnects

    static WireAction parse(JsonFields& f) {
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
    void run(ActionContext& c) const {
        wireInput(c.scene.node(node), input, from ? &c.scene.node(*from) : nullptr);
    }
};

struct SetAction {
    std::string node;
    std::string parm;
    std::optional<int> component; // with a single value: only that component
    std::vector<Json> values;     // numbers, or strings for string parameters
    float time = 0.0f;

    static SetAction parse(JsonFields& f) {
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
    void run(ActionContext& c) const {
        std::vector<ParmValue> parsed;
        for (const Json& v : values) {
            if (v.is_string())
                parsed.emplace_back(v.get<std::string>());
            else
                parsed.emplace_back(v.get<double>());
        }
        editParm(c.scene.node(node), parm, component, parsed, time);
    }
};

struct KeyframesAction {
    std::string node;
    std::string parm;
    int component = 0;
    std::vector<UT_Keyframe> keys; // sorted by time

    static KeyframesAction parse(JsonFields& f) {
        KeyframesAction a;
        a.node = f.requireString("node");
        a.parm = f.requireString("parm");
        a.component = f.optionalInt("component").value_or(0);
        const Json& list = f.require("keys");
        if (!list.is_array())
            throw InputError("field \"keys\" must be an array of [time, value], not " +
                             describeJsonKind(list));
        a.keys = keysFromJson(list);
        return a;
    }
    void run(ActionContext& c) const {
        replaceKeyframes(c.scene.node(node), parm, component, keys);
    }
};

// "key" and "unkey": a keyframe at the time on each component of a
// parameter, or on one.
struct KeyAtAction {
    std::string node;
    std::string parm;
    std::optional<int> component;
    float time = 0.0f;

    static KeyAtAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireString("parm"), f.optionalInt("component"),
                readTime(f)};
    }
};
struct KeyAction : KeyAtAction {
    static KeyAction parse(JsonFields& f) { return {KeyAtAction::parse(f)}; }
    void run(ActionContext& c) const { keyParm(c.scene.node(node), parm, component, time); }
};
struct UnkeyAction : KeyAtAction {
    static UnkeyAction parse(JsonFields& f) { return {KeyAtAction::parse(f)}; }
    void run(ActionContext& c) const { unkeyParm(c.scene.node(node), parm, component, time); }
};

struct TimelineAction {
    Timeline timeline;

    static TimelineAction parse(JsonFields& f) {
        const double start = f.requireNumber("start");
        const double end = f.requireNumber("end");
        const double fps = f.requireNumber("fps");
        return {checkedTimeline(start, end, fps)};
    }
    void run(ActionContext& c) const { c.scene.setTimeline(timeline); }
};

struct PressAction {
    std::string node;
    std::string parm;
    float time = 0.0f;

    static PressAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireString("parm"), readTime(f)};
    }
    void run(ActionContext& c) const {
        OP_Node& pressed = c.scene.node(node);
        const std::vector<OP_ErrorEntry> raised = pressButton(pressed, parm, time);
        for (const OP_ErrorEntry& e : raised)
            c.warn(pressed, e);
        c.report({{"op", "press"},
                  {"node", node},
                  {"parm", parm},
                  {"time", shortestDouble(time)},
                  {"warnings", messagesToJson(raised)}});
    }
};

struct EvalAction {
    std::string node;
    float time = 0.0f;

    static EvalAction parse(JsonFields& f) { return {f.requireString("node"), readTime(f)}; }
    void run(ActionContext& c) const {
        OBJ_Node& object = asObject(c.scene.node(node));
        const CookResult row = cookNode(object, time);
        Json local = Json::array(), world = Json::array();
        for (std::size_t i = 0; i < 16; ++i) {
            local.push_back(numberToJson(row.local[i]));
            world.push_back(numberToJson(row.world[i]));
        }
        c.report({{"op", "eval"},
                  {"node", node},
                  {"time", shortestDouble(time)},
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
            throw RunError("cooking " + describeNode(object) + " failed" +
                           (reason.empty() ? "" : ": " + reason));
        }
    }
};

struct GetAction {
    std::string node;
    std::string parm;
    float time = 0.0f;

    static GetAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireString("parm"), readTime(f)};
    }
    void run(ActionContext& c) const {
        const ParmReading reading = readParm(c.scene.node(node), parm, time);
        Json value = Json::array();
        for (const ParmValue& v : reading.values) {
            if (const auto* text = std::get_if<std::string>(&v))
                value.push_back(*text);
            else
                value.push_back(numberToJson(std::get<double>(v)));
        }
        c.report({{"op", "get"},
                  {"node", node},
                  {"parm", parm},
                  {"time", shortestDouble(time)},
                  {"value", value},
                  {"enabled", reading.enabled},
                  {"visible", reading.visible}});
    }
};

struct SaveAction {
    std::string path;

    static SaveAction parse(JsonFields& f) { return {f.requireString("path")}; }
    void run(ActionContext& c) const { saveScene(c.scene, path); }
    void files(const std::string& role, FilePlan& plan) const {
        plan.writes(path, role, FilePlan::Kind::Scene);
    }
};

struct LoadAction {
    std::string path;

    static LoadAction parse(JsonFields& f) { return {f.requireString("path")}; }
    void run(ActionContext& c) const { loadScene(c.scene, path); }
    void files(const std::string& role, FilePlan& plan) const {
        plan.reads(path, role, FilePlan::Kind::Scene);
    }
};

struct MirrorKeysAction {
    std::optional<std::string> node;  // one source
    std::optional<std::string> names; // or every keyed node whose name holds this
    std::string to;                   // its partner, or what replaces `names` in the partners'
    MirrorAxis axis = MirrorAxis::X;

    static MirrorKeysAction parse(JsonFields& f) {
        MirrorKeysAction a{f.optionalString("node"), f.optionalString("names"),
                           f.requireString("to"),
                           mirrorAxisFrom(f.optionalString("axis").value_or("x"))};
        if (a.node.has_value() == a.names.has_value())
            throw InputError("give \"node\" (one node) or \"names\" (nodes by name), not " +
                             std::string(a.node ? "both" : "neither"));
        if (a.names && a.names->empty())
            throw InputError("field \"names\" must not be empty");
        return a;
    }
    void run(ActionContext& c) const {
        if (node) {
            mirrorKeys(c.scene.node(*node), c.scene.node(to), axis);
            return;
        }
        Json pairs = Json::array();
        for (const auto& [from, into] : mirrorKeysByName(c.scene, *names, to, axis))
            pairs.push_back({from, into});
        c.report({{"op", "mirror-keys"}, {"pairs", pairs}});
    }
};

struct CopyKeysAction {
    std::string node;
    std::string to;

    static CopyKeysAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireString("to")};
    }
    void run(ActionContext& c) const { copyKeys(c.scene.node(node), c.scene.node(to)); }
};

struct InsertKeyAction {
    std::string node;
    double driver = 0.0;

    static InsertKeyAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireNumber("driver")};
    }
    void run(ActionContext& c) const {
        const int key = insertKey(asObject(c.scene.node(node)), driver);
        c.report({{"op", "insert-key"}, {"node", node}, {"key", key}});
    }
};

struct DeleteKeyAction {
    std::string node;
    int key = 0;

    static DeleteKeyAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireInt("key")};
    }
    void run(ActionContext& c) const { deleteKey(c.scene.node(node), key); }
};

struct SortKeysAction {
    std::string node;

    static SortKeysAction parse(JsonFields& f) { return {f.requireString("node")}; }
    void run(ActionContext& c) const { sortKeys(c.scene.node(node)); }
};

struct RetimeKeysAction {
    std::string node;
    double scale = 1.0;
    double offset = 0.0;

    static RetimeKeysAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireNumber("scale"),
                f.optionalNumber("offset").value_or(0.0)};
    }
    void run(ActionContext& c) const { retimeKeys(c.scene.node(node), scale, offset); }
};

struct SetKeysAction {
    std::string node;
    Json keys; // a key library

    static SetKeysAction parse(JsonFields& f) {
        SetKeysAction a{f.requireString("node"), f.require("keys")};
        if (!a.keys.is_object())
            throw InputError("field \"keys\" must be a key library (an object), not " +
                             describeJsonKind(a.keys));
        return a;
    }
    void run(ActionContext& c) const {
        OP_Node& target = c.scene.node(node);
        writeKeys(target, keysFromLibrary(target, keys, "field \"keys\""));
    }
};

struct ExportKeysAction {
    std::string node;
    std::string file;

    static ExportKeysAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireString("file")};
    }
    void run(ActionContext& c) const { exportKeys(c.scene.node(node), file); }
    void files(const std::string& role, FilePlan& plan) const { plan.writes(file, role); }
};

struct ImportKeysAction {
    std::string node;
    std::string file;

    static ImportKeysAction parse(JsonFields& f) {
        return {f.requireString("node"), f.requireString("file")};
    }
    void run(ActionContext& c) const { importKeys(c.scene.node(node), file); }
    void files(const std::string& role, FilePlan& plan) const { plan.reads(file, role); }
};

// How an action struct A adds its file to a plan, when it names one.
template <typename A>
constexpr auto planFiles() -> void (*)(const std::any&, const std::string&, FilePlan&) {
    if constexpr (requires(const A& a, const std::string& role, FilePlan& plan) {
                      a.files(role, plan);
                  })
        return [](const std::any& body, const std::string& role, FilePlan& plan) {
            std::any_cast<const A&>(body).files(role, plan);
        };
    else
        return nullptr;
}

// A row of the table for the action struct A.
template <typename A>
constexpr ActionKind row(const char* op, ActionUse use, const char* example, const char* help) {
    return {op,
            example,
            help,
            use,
            [](JsonFields& fields) { return std::any(A::parse(fields)); },
            [](ActionContext& context, const std::any& body) {
                std::any_cast<const A&>(body).run(context);
            },
            planFiles<A>()};
}

using enum ActionUse;

const ActionKind kActions[] = {
    row<CreateAction>("create", Edit, R"({"op": "create", "type": "null", "name": "dummy"})",
                      "Makes a node of the type; without a name the host picks one, which the "
                      "run reports."),
    row<RemoveAction>("remove", Edit, R"({"op": "remove", "node": "dummy"})",
                      "Removes the node, unwiring every input that read it."),
    row<RenameAction>("rename", Edit, R"({"op": "rename", "node": "dummy", "to": "pose"})",
                      "Renames the node; its wiring stays."),
    row<WireAction>("wire", Edit, R"({"op": "wire", "node": "q", "input": 1, "from": "dummy"})",
                    "Wires a node into the input (counting from 0); \"from\": null disconnects "
                    "it."),
    row<SetAction>(
        "set", Edit, R"({"op": "set", "node": "q", "parm": "t1", "value": [1, 2, 3], "time": 0})",
        "Sets a parameter at the time: an array its components 0 on, a number its component 0 "
        "or \"component\"; a multi-parameter's value is its instance count."),
    row<KeyframesAction>(
        "keyframes", Edit,
        R"({"op": "keyframes", "node": "dummy", "parm": "t", "component": 0, "keys": [[0, 1], [2, 5]]})",
        "Replaces a component's animation with [time, value] keyframes."),
    row<KeyAction>("key", Edit, R"({"op": "key", "node": "q", "parm": "t", "time": 0.5})",
                   "Keys the parameter at the time: each component, or \"component\", gets a "
                   "keyframe holding its value there."),
    row<UnkeyAction>("unkey", Edit, R"({"op": "unkey", "node": "q", "parm": "t", "time": 0.5})",
                     "Removes the parameter's keyframes at the time (of \"component\" alone when "
                     "given); a component left with none keeps that value."),
    row<TimelineAction>("timeline", Edit,
                        R"({"op": "timeline", "start": 1, "end": 240, "fps": 24})",
                        "Sets the scene's frame range and rate, saved with it (frame F is at "
                        "time (F - 1) / fps)."),
    row<PressAction>("press", Edit,
                     R"({"op": "press", "node": "q", "parm": "getkey2", "time": 0.5})",
                     "Presses a button at the time and reports the warnings it raised."),
    row<EvalAction>("eval", Report, R"({"op": "eval", "node": "q", "time": 1})",
                    "Cooks the node at the time and reports its result, severity, local and "
                    "world matrices and warnings."),
    row<GetAction>("get", Report, R"({"op": "get", "node": "q", "parm": "keyval1"})",
                   "Reports a parameter's value at the time, and whether it is enabled and "
                   "visible."),
    row<SaveAction>("save", File, R"({"op": "save", "path": "s.json"})",
                    "Saves the scene to the file, by the output rules."),
    row<LoadAction>("load", File, R"({"op": "load", "path": "s.json"})",
                    "Replaces the scene with the one in the file."),
    row<MirrorKeysAction>(
        "mirror-keys", Edit,
        R"({"op": "mirror-keys", "node": "arm_L", "to": "arm_R", "axis": "x"})",
        "Gives \"to\" the keys of \"node\" mirrored across the plane normal to the axis; with "
        "\"names\": \"_L\" instead of \"node\", every keyed node whose name holds it to its "
        "partner "
        "named with \"to\" in its place."),
    row<CopyKeysAction>("copy-keys", Edit, R"({"op": "copy-keys", "node": "arm_L", "to": "arm_R"})",
                        "Gives \"to\" the keys and blend options of \"node\", bit for bit."),
    row<InsertKeyAction>("insert-key", Edit,
                         R"({"op": "insert-key", "node": "arm", "driver": 0.75})",
                         "Adds a key at the driver value holding the node's blended pose there, "
                         "and reports its number."),
    row<DeleteKeyAction>("delete-key", Edit, R"({"op": "delete-key", "node": "arm", "key": 2})",
                         "Removes key 1 or later, the keys after it renumbered."),
    row<SortKeysAction>("sort-keys", Edit, R"({"op": "sort-keys", "node": "arm"})",
                        "Orders keys 1 and later by driver value, ties in key order."),
    row<RetimeKeysAction>("retime-keys", Edit,
                          R"({"op": "retime-keys", "node": "arm", "scale": 2, "offset": 0.5})",
                          "Maps every key's driver value v to scale * v + offset (scale above 0)."),
    row<SetKeysAction>(
        "set-keys", Edit,
        R"({"op": "set-keys", "node": "arm", "keys": {"format": "mhost-keys", "version": 1, "interp": "euler", "ease": false, "keys": [{"driver": 0, "enable": true, "translate": [0, 0, 0], "rotate": [0, 0, 0], "scale": [1, 1, 1], "pivot": [0, 0, 0], "uniformScale": 1, "transformOrder": "srt", "rotateOrder": "xyz"}]}})",
        "Makes the node's keys and blend options those of the key library given."),
    row<ExportKeysAction>("export-keys", File,
                          R"({"op": "export-keys", "node": "arm", "file": "arm.keys.json"})",
                          "Writes the node's keys and blend options to a key library file."),
    row<ImportKeysAction>("import-keys", File,
                          R"({"op": "import-keys", "node": "arm", "file": "arm.keys.json"})",
                          "Makes the node's keys and blend options those of a key library file."),
};

} // namespace

std::span<const ActionKind> actionKinds() {
    return kActions;
}

} // namespace mhost
