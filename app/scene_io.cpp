#include "scene_io.hpp"

#include "errors.hpp"
#include "file_io.hpp"

#include <OP/OP_Operator.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string_view>
#include <unordered_set>

namespace mhost {

namespace {

// --- Writing -----------------------------------------------------------------

bool savesValue(const PRM_Parm& parm) {
    return parm.isMultiParm() || parm.getType().holdsValue();
}

Json componentToJson(const PRM_Parm& parm, const PRM_Component& component) {
    if (parm.getType().isString())
        return component.text();
    if (component.isAnimated()) {
        Json keys = Json::array();
        for (const UT_Keyframe& key : component.keys)
            keys.push_back(Json::array({shortestDouble(key.time), numberToJson(key.value)}));
        return keys;
    }
    // Menus, toggles and integers are written as whole numbers when they are.
    const double value = component.constant;
    if (parm.getType().isOrdinal() && value == std::floor(value) && std::abs(value) < 1e15)
        return static_cast<long long>(value);
    return numberToJson(value);
}

Json parmToJson(const PRM_Parm& parm) {
    if (parm.isMultiParm())
        return parm.getVectorSize() > 0 ? std::llround(parm.component(0).constant) : 0;
    if (parm.getVectorSize() == 1)
        return componentToJson(parm, parm.component(0));
    Json list = Json::array();
    for (int c = 0; c < parm.getVectorSize(); ++c)
        list.push_back(componentToJson(parm, parm.component(c)));
    return list;
}

Json nodeToJson(const OP_Node& node) {
    Json j;
    j["name"] = node.getName();
    j["type"] = node.getOperator()->getName();
    Json inputs = Json::array();
    for (unsigned i = 0; i < node.nInputs(); ++i) {
        const OP_Node* input = node.getInput(i);
        inputs.push_back(input ? Json(input->getName()) : Json(nullptr));
    }
    j["inputs"] = inputs;
    j["display"] = node.flags().display != 0;
    j["selectable"] = node.flags().selectable != 0;
    // Appended directly: the ordered object's operator[] searches its keys
    // one by one, which grows with the square of the parameter count.
    // Tokens are unique; should a list repeat one, the first parameter of
    // it is the one the host resolves, and the one saved.
    Json parms = Json::object();
    auto& members = parms.get_ref<Json::object_t&>();
    std::unordered_set<std::string_view> saved;
    for (int i = 0; i < node.getParmCount(); ++i) {
        const PRM_Parm& parm = *node.getParm(i);
        if (savesValue(parm) && saved.insert(parm.getTokenView()).second)
            members.emplace_back(parm.getToken(), parmToJson(parm));
    }
    j["parms"] = parms;
    return j;
}

// --- Reading -----------------------------------------------------------------

// Prefixes the message of an InputError thrown in f with context.
template <typename F> void withContext(const std::string& context, F&& f) {
    try {
        f();
    } catch (const Failure& failure) {
        rethrowWithContext(failure, context);
    }
}

void componentFromJson(OP_Node& node, int index, int component, const Json& j) {
    const PRM_Parm& parm = *node.getParm(index);
    const std::string where =
        parm.getVectorSize() > 1 ? "component " + std::to_string(component) + ": " : "";
    if (parm.getType().isString()) {
        if (!j.is_string())
            throw InputError(where + "expected text, not " + describeJsonKind(j));
        node.setString(parm.getToken(), component, 0.0f, j.get<std::string>().c_str());
        return;
    }
    if (j.is_array()) {
        withContext(where, [&] {
            if (j.empty())
                throw InputError("an empty keyframe list");
            if (!node.setKeyframes(index, component, keysFromJson(j)))
                throw InputError("this parameter cannot be animated");
        });
        return;
    }
    double value = 0.0;
    if (!jsonToNumber(j, value))
        throw InputError(where + "expected a number or a list of [time, value], not " +
                         describeJsonKind(j));
    if (!node.writeValue(index, component, 0.0f, value))
        throw InputError(where + "the host refused the value " + j.dump());
}

void parmFromJson(OP_Node& node, int index, const Json& j) {
    const PRM_Parm& parm = *node.getParm(index);
    const int size = parm.getVectorSize();
    if (size == 1) {
        componentFromJson(node, index, 0, j);
        return;
    }
    if (!j.is_array() || static_cast<int>(j.size()) != size)
        throw InputError("expected an array of " + std::to_string(size) + " components, not " +
                         (j.is_array() ? std::to_string(j.size()) + " entries" : j.dump()));
    for (int c = 0; c < size; ++c)
        componentFromJson(node, index, c, j[static_cast<std::size_t>(c)]);
}

struct PendingNode {
    OP_Node* node;
    const Json* inputs;
    const Json* parms;
};

// Restores multi-parameter counts first, as often as new instances bring new
// multi-parameters, then every other value.
void parmsFromJson(OP_Node& node, const Json& parms) {
    if (!parms.is_object())
        throw InputError("\"parms\" must be an object, not " + describeJsonKind(parms));
    std::set<std::string> done;
    for (bool progress = true; progress;) {
        progress = false;
        for (const auto& item : parms.items()) {
            if (done.count(item.key()))
                continue;
            const int index = node.findParmIndex(item.key());
            if (index < 0 || !node.getParm(index)->isMultiParm())
                continue;
            withContext("parameter " + quote(item.key()) + ": ",
                        [&] { node.setMultiCount(index, instanceCountFromJson(item.value())); });
            done.insert(item.key());
            progress = true;
        }
    }
    for (const auto& item : parms.items()) {
        if (done.count(item.key()))
            continue;
        const int index = node.findParmIndex(item.key());
        if (index < 0)
            throw InputError("unknown parameter " + quote(item.key()));
        withContext("parameter " + quote(item.key()) + ": ", [&] {
            if (!savesValue(*node.getParm(index)))
                throw InputError("holds no value (a " +
                                 std::string(node.getParm(index)->getType().describe()) + ")");
            parmFromJson(node, index, item.value());
        });
    }
}

void buildScene(Scene& scene, const Json& j) {
    JsonFields top(j, "a scene");
    if (top.requireString("format") != kSceneFormat)
        throw InputError("\"format\" must be \"" + std::string(kSceneFormat) + "\"");
    if (const int version = top.requireInt("version"); version != kSceneVersion)
        throw InputError("unsupported scene version " + std::to_string(version) +
                         " (this mhost reads version " + std::to_string(kSceneVersion) + ")");
    const Json* modules = top.find("modules");
    const Json& nodes = top.require("nodes");
    top.rejectOthers();

    if (modules) {
        // Every name is checked before the first module is mapped.
        if (!modules->is_array())
            throw InputError("\"modules\" must be an array of module file names");
        for (const Json& module : *modules) {
            if (!module.is_string())
                throw InputError("\"modules\" must be an array of module file names");
            requireModuleFileName(module.get_ref<const std::string&>());
        }
        for (const Json& module : *modules)
            scene.host().requireModule(module.get<std::string>());
    }
    if (!nodes.is_array())
        throw InputError("\"nodes\" must be an array, not " + describeJsonKind(nodes));

    std::vector<PendingNode> pending;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Json& entry = nodes[i];
        std::string label = "nodes[" + std::to_string(i) + "]";
        withContext(label + ": ", [&] {
            JsonFields fields(entry, "a node");
            const std::string name = fields.requireString("name");
            const std::string type = fields.requireString("type");
            PendingNode p{&scene.create(type, name), fields.find("inputs"), fields.find("parms")};
            label = describeNode(*p.node);
            const auto display = fields.optionalBool("display");
            const auto selectable = fields.optionalBool("selectable");
            fields.rejectOthers();
            p.node->flags().display = display.value_or(true) ? 1 : 0;
            p.node->flags().selectable = selectable.value_or(true) ? 1 : 0;
            pending.push_back(p);
        });
        withContext(label + ": ", [&] {
            if (pending.back().parms)
                parmsFromJson(*pending.back().node, *pending.back().parms);
        });
    }

    for (const PendingNode& p : pending) {
        if (!p.inputs)
            continue;
        withContext(describeNode(*p.node) + ": ", [&] {
            if (!p.inputs->is_array())
                throw InputError("\"inputs\" must be an array of node names or null");
            if (p.inputs->size() > p.node->nInputs())
                throw InputError("lists " + std::to_string(p.inputs->size()) +
                                 " inputs; the type has " + std::to_string(p.node->nInputs()));
            for (unsigned i = 0; i < p.inputs->size(); ++i) {
                const Json& from = (*p.inputs)[i];
                if (from.is_null())
                    continue;
                if (!from.is_string())
                    throw InputError("input " + std::to_string(i) +
                                     " must be a node name or null, not " + describeJsonKind(from));
                OP_Node& source = scene.node(from.get<std::string>());
                if (!p.node->setInput(i, &source))
                    throw InputError("input " + std::to_string(i) + ": wiring " +
                                     quote(source.getName()) + " would make a cycle");
            }
        });
    }

    // Bring enabled states up to date, as the host's interface does after a load.
    for (const PendingNode& p : pending)
        p.node->refreshEnableStates();
}

} // namespace

int instanceCountFromJson(const Json& j) {
    int count = 0;
    if (!jsonToInt(j, count) || count < 0 || count > OP_Parameters::maxMultiInstances)
        throw InputError("an instance count must be a whole number from 0 to " +
                         std::to_string(OP_Parameters::maxMultiInstances) + ", not " + j.dump());
    return count;
}

std::vector<UT_Keyframe> keysFromJson(const Json& list) {
    std::vector<UT_Keyframe> keys;
    for (const Json& entry : list) {
        double time = 0.0, value = 0.0;
        if (!entry.is_array() || entry.size() != 2 || !entry[0].is_number() ||
            !jsonToNumber(entry[1], value))
            throw InputError("a keyframe must be [time, value], not " + entry.dump());
        time = entry[0].get<double>();
        keys.push_back({secondsFrom(time, "keyframe time " + entry[0].dump()), value});
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const UT_Keyframe& a, const UT_Keyframe& b) { return a.time < b.time; });
    for (std::size_t i = 1; i < keys.size(); ++i) {
        if (keys[i].time == keys[i - 1].time)
            throw InputError("two keyframes at time " + Json(shortestDouble(keys[i].time)).dump());
    }
    return keys;
}

Json sceneToJson(const Scene& scene) {
    std::set<std::string> modules;
    Json nodes = Json::array();
    const OP_Network& root = scene.root();
    for (int i = 0; i < root.getNchildren(); ++i) {
        const OP_Node& node = *root.getChild(i);
        if (const std::string& path = node.getOperator()->getModulePath(); !path.empty())
            modules.insert(moduleFileName(path));
        nodes.push_back(nodeToJson(node));
    }
    Json j;
    j["format"] = kSceneFormat;
    j["version"] = kSceneVersion;
    j["modules"] = Json(std::vector<std::string>(modules.begin(), modules.end()));
    j["nodes"] = nodes;
    return j;
}

void sceneFromJson(Scene& scene, const Json& j, const std::string& source) {
    Scene fresh(scene.host());
    withContext(source + ": ", [&] { buildScene(fresh, j); });
    scene.swap(fresh);
}

std::string sceneText(const Scene& scene) {
    return formatJson(sceneToJson(scene));
}

void saveScene(const Scene& scene, const std::string& path) {
    writeFileAtomically(path, sceneText(scene));
}

void loadScene(Scene& scene, const std::string& path) {
    sceneFromJson(scene, readJsonFile(path), path);
}

} // namespace mhost
