#include "script.hpp"

#include "errors.hpp"
#include "evaluation.hpp"
#include "report_format.hpp"
#include "scene_io.hpp"

#include <algorithm>
#include <cmath>

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

ActionBody parseBody(const std::string& op, JsonFields& f) {
    if (op == "create") {
        CreateAction a{f.requireString("type"), f.optionalString("name")};
        if (a.name && a.name->empty())
            throw InputError("field \"name\" must not be empty");
        return a;
    }
    if (op == "wire") {
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
    if (op == "set") {
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
    if (op == "keyframes") {
        KeyframesAction a;
        a.node = f.requireString("node");
        a.parm = f.requireString("parm");
        a.component = f.optionalInt("component").value_or(0);
        a.keys = readKeys(f.require("keys"));
        return a;
    }
    if (op == "press") {
        PressAction a;
        a.node = f.requireString("node");
        a.parm = f.requireString("parm");
        a.time = readTime(f);
        return a;
    }
    if (op == "eval") {
        EvalAction a;
        a.node = f.requireString("node");
        a.time = readTime(f);
        return a;
    }
    if (op == "get") {
        GetAction a;
        a.node = f.requireString("node");
        a.parm = f.requireString("parm");
        a.time = readTime(f);
        return a;
    }
    if (op == "save")
        return SaveAction{f.requireString("path")};
    if (op == "load")
        return LoadAction{f.requireString("path")};
    throw InputError("unknown action " + quote(op) +
                     " (known: create, wire, set, keyframes, press, eval, get, save, load)");
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

    void operator()(const WireAction& a) {
        OP_Node& node = scene_.node(a.node);
        if (a.input < 0 || static_cast<unsigned>(a.input) >= node.nInputs())
            throw InputError(describeNode(node) + " has no input " + std::to_string(a.input) +
                             " (it has " + std::to_string(node.nInputs()) + ")");
        OP_Node* from = a.from ? &scene_.node(*a.from) : nullptr;
        if (!node.setInput(static_cast<unsigned>(a.input), from)) {
            if (!a.from)
                throw RunError("the host refused to disconnect input " + std::to_string(a.input) +
                               " of " + quote(a.node));
            throw InputError("wiring " + quote(*a.from) + " into input " +
                             std::to_string(a.input) + " of " + quote(a.node) +
                             " would make a cycle");
        }
    }

    void operator()(const SetAction& a) {
        OP_Node& node = scene_.node(a.node);
        const PRM_Parm& parm = valueParm(node, a.parm);
        const int first = a.component.value_or(0);
        const int last = first + static_cast<int>(a.values.size()) - 1;
        if (first < 0 || last >= parm.getVectorSize())
            throw InputError(parmName(node, parm) + " has " + std::to_string(parm.getVectorSize()) +
                             " component(s); " +
                             (a.component ? "component " + std::to_string(first) + " is missing"
                                          : std::to_string(a.values.size()) + " values given"));
        // An edit may add or remove parameters (a count, or what a callback
        // does): what the loop needs of the parameter is taken now.
        const bool text = parm.getType().isString();
        const bool count = parm.isMultiParm();
        const std::string name = parmName(node, parm);
        for (std::size_t i = 0; i < a.values.size(); ++i) {
            const Json& v = a.values[i];
            const int component = first + static_cast<int>(i);
            if (text != v.is_string())
                throw InputError(name + " takes " + (text ? "text" : "numbers") + ", not " +
                                 describeJsonKind(v));
            double number = text ? 0.0 : v.get<double>();
            if (count) {
                try {
                    number = instanceCountFromJson(v);
                } catch (const Failure& failure) {
                    rethrowWithContext(failure, name + ": ");
                }
            }
            const bool done =
                text ? node.setStringByUser(a.parm.c_str(), component, a.time,
                                            v.get<std::string>().c_str())
                     : node.setParmByUser(a.parm.c_str(), component, a.time, number);
            if (!done)
                throw RunError("the host refused the edit of " + name);
        }
    }

    void operator()(const KeyframesAction& a) {
        OP_Node& node = scene_.node(a.node);
        const PRM_Parm& parm = valueParm(node, a.parm);
        if (a.component < 0 || a.component >= parm.getVectorSize())
            throw InputError(parmName(node, parm) + " has no component " +
                             std::to_string(a.component));
        if (!node.setKeyframes(node.findParmIndex(a.parm), a.component, a.keys))
            throw InputError(parmName(node, parm) + " cannot be animated");
        node.refreshEnableStates();
    }

    void operator()(const PressAction& a) {
        OP_Node& node = scene_.node(a.node);
        const PRM_Parm& parm = *node.getParm(requireParm(node, a.parm));
        if (!parm.getType().isButton())
            throw InputError(parmName(node, parm) + " is not a button (a " +
                             parm.getType().describe() + ")");
        // The list then shows what this press raised. (The press may add or
        // remove parameters: the name is taken first.)
        const std::string name = parmName(node, parm);
        node.clearErrors();
        if (!node.pressButton(a.parm.c_str(), a.time))
            throw RunError("the host refused to press " + name);
        report({{"op", "press"},
                {"node", a.node},
                {"parm", a.parm},
                {"time", shortestDouble(a.time)},
                {"warnings", messagesToJson(node.getErrors())}});
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
        OP_Node& node = scene_.node(a.node);
        const PRM_Parm& parm = *node.getParm(requireParm(node, a.parm));
        Json value = Json::array();
        if (parm.isMultiParm() || parm.getType().holdsValue()) {
            for (int c = 0; c < parm.getVectorSize(); ++c) {
                const PRM_Component& component = parm.component(c);
                if (parm.getType().isString())
                    value.push_back(component.text());
                else
                    value.push_back(numberToJson(component.valueAt(a.time)));
            }
        }
        report({{"op", "get"},
                {"node", a.node},
                {"parm", a.parm},
                {"time", shortestDouble(a.time)},
                {"value", value},
                {"enabled", parm.isEnabled()},
                {"visible", parm.isVisible()}});
    }

    void operator()(const SaveAction& a) { saveScene(scene_, a.path); }
    void operator()(const LoadAction& a) { loadScene(scene_, a.path); }

private:
    static std::string parmName(const OP_Node& node, const PRM_Parm& parm) {
        return "parameter " + quote(parm.getToken()) + " of " + describeNode(node);
    }

    static const PRM_Parm& valueParm(const OP_Node& node, const std::string& token) {
        const PRM_Parm& parm = *node.getParm(requireParm(node, token));
        if (!parm.isMultiParm() && !parm.getType().holdsValue())
            throw InputError(parmName(node, parm) + " holds no value (a " +
                             parm.getType().describe() + ")");
        return parm;
    }

    void report(const Json& line) { out_ << line.dump() << '\n' << std::flush; }

    Scene& scene_;
    std::ostream& out_;
};

std::string actionLabel(const std::string& source, std::size_t index, const std::string& op) {
    return source + ": actions[" + std::to_string(index) + "]" +
           (op.empty() ? "" : " (" + op + ")") + ": ";
}

} // namespace

std::vector<Action> parseScript(const Json& script, const std::string& source) {
    const Json* list = &script;
    if (script.is_object()) {
        try {
            JsonFields top(script, "a script");
            list = &top.require("actions");
            top.find("description");
            top.rejectOthers();
        } catch (const Failure& failure) {
            rethrowWithContext(failure, source + ": ");
        }
    }
    if (!list->is_array())
        throw InputError(source +
                         ": a script must be an array of actions or an object with an "
                         "\"actions\" array, not " +
                         describeJsonKind(*list));
    std::vector<Action> actions;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const Json& entry = (*list)[i];
        // {"comment": "..."} alone is a note between actions.
        if (entry.is_object() && entry.size() == 1 && entry.contains("comment"))
            continue;
        std::string op;
        try {
            JsonFields fields(entry, "an action");
            op = fields.requireString("op");
            fields.find("comment");
            ActionBody body = parseBody(op, fields);
            fields.rejectOthers();
            actions.push_back({i, op, std::move(body)});
        } catch (const Failure& failure) {
            rethrowWithContext(failure, actionLabel(source, i, op));
        }
    }
    return actions;
}

void runScript(Scene& scene, const std::vector<Action>& actions, const std::string& source,
               std::ostream& out) {
    Runner runner(scene, out);
    for (const Action& action : actions) {
        try {
            std::visit(runner, action.body);
        } catch (const Failure& failure) {
            rethrowWithContext(failure, actionLabel(source, action.index, action.op));
        }
    }
}

} // namespace mhost
