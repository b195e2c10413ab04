#include "engine/scene_io.hpp"

#include "engine/node_edits.hpp"
#include "support/errors.hpp"
#include "support/file_plan.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"

#include <OP/OP_Operator.h>

#include <cmath>
#include <functional>
#include <optional>
#include <set>

namespace mhost {

namespace {

// A number as scenes write it: the number, or "nan", "inf" or "-inf".
void writeNumber(JsonWriter& w, double value) {
    if (std::isfinite(value))
        w.number(value);
    else
        w.string(numberToJson(value).get_ref<const std::string&>());
}

void writeComponent(JsonWriter& w, const PRM_Parm& parm, const PRM_Component& component) {
    if (parm.getType().isString()) {
        w.string(component.text());
        return;
    }
    if (component.isAnimated()) {
        w.beginArray(true);
        for (const UT_Keyframe& key : component.keys) {
            w.beginArray(true);
            w.number(shortestDouble(key.time));
            writeNumber(w, key.value);
            w.endArray();
        }
        w.endArray();
        return;
    }
    // Menus, toggles and integers are written as whole numbers when they are.
    const double value = component.constant;
    if (parm.getType().isOrdinal() && value == std::floor(value) && std::abs(value) < 1e15) {
        w.integer(static_cast<std::int64_t>(value));
        return;
    }
    writeNumber(w, value);
}

void writeParm(JsonWriter& w, const PRM_Parm& parm) {
    if (parm.isMultiParm()) {
        w.integer(static_cast<std::int64_t>(std::llround(parm.component(0).constant)));
        return;
    }
    if (parm.getVectorSize() == 1) {
        writeComponent(w, parm, parm.component(0));
        return;
    }
    // One line, unless a component is a keyframe list (a list of lists).
    w.beginArray(!parm.isAnimated());
    for (int c = 0; c < parm.getVectorSize(); ++c)
        writeComponent(w, parm, parm.component(c));
    w.endArray();
}

void writeNode(JsonWriter& w, const OP_Node& node) {
    w.beginObject();
    w.key("name");
    w.string(node.getName());
    w.key("type");
    w.string(node.getOperator()->getName());
    w.key("inputs");
    w.beginArray(true);
    for (unsigned i = 0; i < node.nInputs(); ++i) {
        if (const OP_Node* input = node.getInput(i))
            w.string(input->getName());
        else
            w.null();
    }
    w.endArray();
    w.key("display");
    w.boolean(node.flags().display != 0);
    w.key("selectable");
    w.boolean(node.flags().selectable != 0);
    // Tokens are unique; should a list repeat one, the first parameter with
    // it is the one the host resolves, and the one saved.
    w.key("parms");
    w.beginObject();
    for (int i = 0; i < node.getParmCount(); ++i) {
        const PRM_Parm& parm = *node.getParm(i);
        if (!savesValue(parm) || node.findParmIndex(parm.getTokenView()) != i)
            continue;
        w.key(parm.getTokenView());
        writeParm(w, parm);
    }
    w.endObject();
    w.endObject();
}

void writeScene(const Scene& scene, std::string& text,
                const std::function<void(std::string&)>& flush) {
    std::set<std::string> modules;
    const OP_Network& root = scene.root();
    for (int i = 0; i < root.getNchildren(); ++i) {
        if (const std::string& path = root.getChild(i)->getOperator()->getModulePath();
            !path.empty())
            modules.insert(moduleFileName(path));
    }
    JsonWriter w(text);
    w.beginObject();
    w.key("format");
    w.string(kSceneFormat);
    w.key("version");
    w.integer(std::int64_t{kSceneVersion});
    w.key("modules");
    w.beginArray(true);
    for (const std::string& module : modules)
        w.string(module);
    w.endArray();
    if (const std::optional<Timeline>& timeline = scene.savedTimeline()) {
        w.key("timeline");
        w.beginObject();
        w.key("start");
        w.integer(std::int64_t{timeline->start});
        w.key("end");
        w.integer(std::int64_t{timeline->end});
        w.key("fps");
        w.number(timeline->fps);
        w.endObject();
    }
    w.key("nodes");
    w.beginArray(false);
    for (int i = 0; i < root.getNchildren(); ++i) {
        writeNode(w, *root.getChild(i));
        if (flush)
            flush(text);
    }
    w.endArray();
    w.endObject();
    text += '\n';
}

} // namespace

bool savesValue(const PRM_Parm& parm) {
    return parm.isMultiParm() || parm.getType().holdsValue();
}

std::string sceneText(const Scene& scene) {
    std::string text;
    writeScene(scene, text, nullptr);
    return text;
}

Json sceneToJson(const Scene& scene) {
    return parseJson(sceneText(scene), "scene");
}

std::optional<FileStamp> saveScene(Scene& scene, const std::string& path, bool overwrite) {
    // Written a megabyte at a time: a large scene is never held whole in
    // memory as text.
    OutputFile file(path);
    const bool overItsFile = scene.file() && file.replaces(*scene.file());
    if (overItsFile && !overwrite)
        file.requireUnchanged(*scene.file());
    constexpr std::size_t kChunk = std::size_t(1) << 20;
    std::string text;
    text.reserve(2 * kChunk);
    writeScene(scene, text, [&](std::string& written) {
        if (written.size() >= kChunk) {
            file.write(written);
            written.clear();
        }
    });
    file.write(text);
    std::optional<FileStamp> written = file.commit();
    if (overItsFile)
        scene.setFile(written);
    return written;
}

void checkWriteOverInputs(const Scene& scene, const std::vector<std::string>& paths,
                          const std::string& what, bool sceneSave) {
    using Kind = FilePlan::Kind;
    FilePlan plan;
    if (scene.file() && scene.file()->present)
        plan.reads(scene.file()->file, "the file the scene was read from", Kind::Scene);
    for (const OP_DSOModule& module : scene.host().loader().modules())
        plan.reads(module.path, "the loaded module");
    for (const std::string& path : paths)
        plan.writes(path, what, sceneSave ? Kind::Scene : Kind::Other);
    plan.check();
}

} // namespace mhost
