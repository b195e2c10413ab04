#include "engine/scene_io.hpp"

#include "engine/node_edits.hpp"
#include "support/errors.hpp"
#include "support/file_io.hpp"
#include "support/text.hpp"
#include "json/reader.hpp"

#include <OP/OP_Operator.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <future>
#include <iterator>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>

namespace mhost {

namespace {

// A scene is read straight from its text into the scene, value by value,
// without a document in between: one reader walks the structure and builds
// the nodes one after the other; a second one returns to a node's
// parameter values once all of its counts are set (counts first, so that the
// instances exist). Small parts (a node's name, type and inputs, a keyframe
// list) are read as documents; the parameters, most of a scene, are not.

// Prefixes the message of an InputError thrown in f with context, made
// only when there is an error.
template <typename C, typename F> void withContext(C&& context, F&& f) {
    try {
        f();
    } catch (const Failure& failure) {
        rethrowWithContext(failure, context());
    }
}

// The value at offset, read whole as a document (for the small parts of a
// scene, and for messages that show a value).
Json documentAt(JsonReader& r, std::size_t offset) {
    r.seek(offset);
    return readJsonValue(r);
}

// Reads the value the reader is at into one component of the parameter.
void readComponent(JsonReader& r, OP_Node& node, int index, int component) {
    const PRM_Parm& parm = *node.getParm(index);
    const auto where = [&]() -> std::string {
        return parm.getVectorSize() > 1 ? "component " + std::to_string(component) + ": " : "";
    };
    const JsonReader::Kind kind = r.peek();
    const std::size_t at = r.offset();
    if (parm.getType().isString()) {
        if (kind != JsonReader::Kind::String)
            throw InputError(where() + "expected text, not " + describeJsonKind(documentAt(r, at)));
        node.setString(parm.getToken(), component, 0.0f, std::string(r.readString()).c_str());
        return;
    }
    if (kind == JsonReader::Kind::Array) {
        // A keyframe list: few in a scene, read as a document, in place.
        const Json list = readJsonValue(r);
        withContext(where, [&] {
            if (list.empty())
                throw InputError("an empty keyframe list");
            if (!node.setKeyframes(index, component, keysFromJson(list)))
                throw InputError("this parameter cannot be animated");
        });
        return;
    }
    double value = 0.0;
    if (kind == JsonReader::Kind::Number) {
        value = r.readNumber().value;
    } else if (kind == JsonReader::Kind::String && parm.getType().isOrdinal() &&
               parm.getTemplate().getChoiceListPtr()) {
        // A menu's item by its token ("interp": "quat").
        const std::string token(r.readString());
        withContext(where, [&] { value = menuItemIndex(node, parm, token); });
    } else if (kind != JsonReader::Kind::String ||
               !jsonToNumber(Json(std::string(r.readString())), value)) {
        throw InputError(where() + "expected a number or a list of [time, value], not " +
                         describeJsonKind(documentAt(r, at)));
    }
    if (!node.writeValue(index, component, 0.0f, value))
        throw InputError(where() + "the host refused the value " + documentAt(r, at).dump());
}

void readParm(JsonReader& r, OP_Node& node, int index) {
    const int size = node.getParm(index)->getVectorSize();
    if (size == 1) {
        readComponent(r, node, index, 0);
        return;
    }
    const std::size_t at = r.offset();
    const auto wrongCount = [&] {
        const Json j = documentAt(r, at);
        return InputError("expected an array of " + std::to_string(size) + " components, not " +
                          (j.is_array() ? std::to_string(j.size()) + " entries" : j.dump()));
    };
    if (r.peek() != JsonReader::Kind::Array)
        throw wrongCount();
    r.beginArray();
    for (int c = 0; c < size; ++c) {
        if (!r.nextElement())
            throw wrongCount();
        readComponent(r, node, index, c);
    }
    if (r.nextElement())
        throw wrongCount();
}

// One "parms" entry: the key, where its value starts, and where the ','
// or '}' after it is.
struct ParmEntry {
    std::string_view token;
    std::size_t value;
    std::size_t end;
    bool done = false;
};

// The "parms" object the reader is at, as entries.
void readParmEntries(JsonReader& r, JsonReader& values, std::vector<ParmEntry>& entries) {
    entries.clear();
    const std::size_t at = r.offset();
    if (r.peek() != JsonReader::Kind::Object)
        throw InputError("\"parms\" must be an object, not " +
                         describeJsonKind(documentAt(values, at)));
    r.beginObject();
    std::string_view key;
    while (r.nextKey(key)) {
        r.peek();
        const std::size_t value = r.offset();
        // Each value is read, checked through to its end, when it is
        // applied; here only its extent is found.
        r.skipValueUnchecked();
        entries.push_back({key, value, r.offsetAfterSpace()});
    }
}

// Restores multi-parameter counts first, as often as new instances bring new
// multi-parameters, then every other value.
void applyParms(JsonReader& values, OP_Node& node, std::vector<ParmEntry>& entries) {
    const auto parameter = [](std::string_view token) {
        return [token] { return "parameter " + quote(token) + ": "; };
    };
    // Counts, in the file's order. Lists are few: an entry names one when
    // its token is one of theirs, found without a lookup per entry.
    std::vector<std::string_view> lists;
    for (bool progress = true; progress;) {
        progress = false;
        lists.clear();
        for (int i = 0; i < node.getParmCount(); ++i)
            if (node.getParm(i)->isMultiParm())
                lists.push_back(node.getParm(i)->getTokenView());
        for (ParmEntry& entry : entries) {
            if (entry.done || std::find(lists.begin(), lists.end(), entry.token) == lists.end())
                continue;
            const int index = node.findParmIndex(entry.token);
            withContext(parameter(entry.token), [&] {
                const Json count = documentAt(values, entry.value);
                values.expectMemberEnd(entry.end);
                node.setMultiCount(index, instanceCountFromJson(count));
            });
            entry.done = true;
            progress = true;
        }
    }
    // Values. Files list parameters in the node's order, so the next
    // parameter that holds a value is usually the one an entry names.
    int next = 0;
    for (const ParmEntry& entry : entries) {
        if (entry.done)
            continue;
        while (next < node.getParmCount() && !savesValue(*node.getParm(next)))
            ++next;
        int index = next;
        if (index >= node.getParmCount() || node.getParm(index)->getTokenView() != entry.token)
            index = node.findParmIndex(entry.token);
        if (index < 0)
            throw InputError("unknown parameter " + quote(entry.token));
        next = index + 1;
        withContext(parameter(entry.token), [&] {
            if (!savesValue(*node.getParm(index)))
                throw InputError("holds no value (a " +
                                 std::string(node.getParm(index)->getType().describe()) + ")");
            values.seek(entry.value);
            readParm(values, node, index);
            values.expectMemberEnd(entry.end);
        });
    }
}

struct PendingNode {
    OP_Node* node;
    Json inputs; // null when the scene gives none
};

// Reads the node entry the reader is at and makes the node in scene, with
// its parameters.
PendingNode readNode(JsonReader& r, JsonReader& values, Scene& scene, const OP_Node*& made,
                     std::vector<ParmEntry>& parms) {
    const std::size_t at = r.offset();
    if (r.peek() != JsonReader::Kind::Object)
        throw InputError("a node must be a JSON object, not " +
                         describeJsonKind(documentAt(values, at)));
    // Every field but the parameters, as a document, checked as any object.
    Json fieldsDocument = Json::object();
    auto& members = fieldsDocument.get_ref<Json::object_t&>();
    bool hasParms = false;
    r.beginObject();
    std::string_view key;
    while (r.nextKey(key)) {
        if (key == "parms") {
            readParmEntries(r, values, parms);
            hasParms = true;
        } else {
            members.emplace_back(std::string(key), readJsonValue(r));
        }
    }
    JsonFields fields(fieldsDocument, "a node");
    const std::string name = fields.requireString("name");
    const std::string type = fields.requireString("type");
    PendingNode pending{&scene.create(type, name), nullptr};
    made = pending.node;
    if (fields.find("inputs"))
        pending.inputs = std::move(fieldsDocument["inputs"]);
    const auto display = fields.optionalBool("display");
    const auto selectable = fields.optionalBool("selectable");
    fields.rejectOthers();
    pending.node->flags().display = display.value_or(true) ? 1 : 0;
    pending.node->flags().selectable = selectable.value_or(true) ? 1 : 0;
    if (hasParms)
        applyParms(values, *pending.node, parms);
    return pending;
}

void wire(Scene& scene, const PendingNode& p) {
    if (!p.inputs.is_array())
        throw InputError("\"inputs\" must be an array of node names or null");
    if (p.inputs.size() > p.node->nInputs())
        throw InputError("lists " + std::to_string(p.inputs.size()) + " inputs; the type has " +
                         std::to_string(p.node->nInputs()));
    for (unsigned i = 0; i < p.inputs.size(); ++i) {
        const Json& from = p.inputs[i];
        if (from.is_null())
            continue;
        if (!from.is_string())
            throw InputError("input " + std::to_string(i) + " must be a node name or null, not " +
                             describeJsonKind(from));
        OP_Node& source = scene.node(from.get<std::string>());
        if (!p.node->setInput(i, &source))
            throw InputError("input " + std::to_string(i) + ": wiring " + quote(source.getName()) +
                             " would make a cycle");
    }
}

// The top-level fields (all but "nodes", which is replaced by an empty
// array) are checked and the modules loaded.
void checkTopLevel(Scene& scene, const Json& topDocument) {
    JsonFields fields(topDocument, "a scene");
    if (fields.requireString("format") != kSceneFormat)
        throw InputError("\"format\" must be \"" + std::string(kSceneFormat) + "\"");
    if (const int version = fields.requireInt("version"); version != kSceneVersion)
        throw InputError("unsupported scene version " + std::to_string(version) +
                         " (this mhost reads version " + std::to_string(kSceneVersion) + ")");
    const Json* modules = fields.find("modules");
    const Json* timeline = fields.find("timeline");
    const Json& nodes = fields.require("nodes");
    fields.rejectOthers();
    if (timeline) {
        withContext([] { return std::string("\"timeline\": "); },
                    [&] {
                        JsonFields range(*timeline, "a timeline");
                        const double start = range.requireNumber("start");
                        const double end = range.requireNumber("end");
                        const double fps = range.requireNumber("fps");
                        range.rejectOthers();
                        scene.setTimeline(checkedTimeline(start, end, fps));
                    });
    }
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
}

void buildScene(Scene& scene, JsonReader& r, JsonReader& values, const Interrupt& interrupt,
                const NodeSubset* only) {
    if (r.peek() != JsonReader::Kind::Object)
        throw InputError("a scene must be a JSON object, not " +
                         describeJsonKind(documentAt(values, r.offset())));
    // The top-level fields as a document, except for the nodes' array, which
    // is read where it stands when the fields it needs come before it (as
    // in every file mhost writes), else once the rest has been read.
    Json topDocument = Json::object();
    auto& top = topDocument.get_ref<Json::object_t&>();
    std::vector<PendingNode> pending;
    std::vector<ParmEntry> parms;
    const auto readNodes = [&](JsonReader& nodes) {
        checkTopLevel(scene, topDocument);
        nodes.beginArray();
        for (std::size_t i = 0; nodes.nextElement(); ++i) {
            if (interrupt)
                interrupt();
            if (only && (i >= only->wanted.size() || !only->wanted[i])) {
                // Read, and checked, by whoever loads that part (with the
                // ',' after each). With an outline, straight past the whole
                // run of entries up to the next one wanted.
                if (const SceneOutline* outline = only->outline;
                    outline && i < outline->nodes.size()) {
                    const std::size_t end = std::min(outline->nodes.size(), only->wanted.size());
                    while (i + 1 < end && !only->wanted[i + 1])
                        ++i;
                    nodes.skipValueTo(outline->nodes[i].end);
                } else {
                    nodes.skipValueUnchecked();
                }
                continue;
            }
            // Messages name the node once it is made, else its place.
            const OP_Node* made = nullptr;
            withContext(
                [&] {
                    return (made ? describeNode(*made) : "nodes[" + std::to_string(i) + "]") + ": ";
                },
                [&] { pending.push_back(readNode(nodes, values, scene, made, parms)); });
        }
    };
    std::optional<std::size_t> nodesLater;
    r.beginObject();
    std::string_view key;
    while (r.nextKey(key)) {
        if (key == "nodes" && r.peek() == JsonReader::Kind::Array) {
            top.emplace_back("nodes", Json::array()); // a stand-in for the checks
            if (topDocument.contains("format") && topDocument.contains("version") &&
                topDocument.contains("modules")) {
                readNodes(r);
            } else {
                nodesLater = r.offset();
                r.skipValue();
            }
        } else {
            top.emplace_back(std::string(key), readJsonValue(r));
        }
    }
    r.expectEnd();
    if (nodesLater) {
        JsonReader nodes = r.readerAt(*nodesLater);
        readNodes(nodes);
    }
    // Fields after the nodes are checked too.
    checkTopLevel(scene, topDocument);

    for (const PendingNode& p : pending) {
        if (!p.inputs.is_null())
            withContext([&] { return describeNode(*p.node) + ": "; }, [&] { wire(scene, p); });
    }

    // Bring enabled states up to date, as the host's interface does after a load.
    for (const PendingNode& p : pending)
        p.node->refreshEnableStates();
}

} // namespace

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

void sceneFromText(Scene& scene, std::string_view text, const std::string& source,
                   const Interrupt& interrupt, const NodeSubset* only) {
    JsonReader reader(text, source);
    JsonReader values = reader.readerAt(0);
    Scene fresh(scene.host());
    try {
        withContext([&] { return source + ": "; },
                    [&] { buildScene(fresh, reader, values, interrupt, only); });
    } catch (const Failure&) {
        // The reading returns to skipped values, so it may hit a later
        // fault first, or a fault in what the scene says before the rest of
        // the text: the first fault in the text itself is the one reported.
        JsonReader(text, source).checkDocument();
        throw;
    }
    // Every byte has been read by a checking reader by now: the scene
    // replaces the old one only once the whole text has been found valid.
    scene.swap(fresh);
}

namespace {

// One entry of "nodes", the reader at its start; Failure when it is not a
// node's object.
void outlineNode(JsonReader& r, SceneOutline::Node& node) {
    const auto string = [&]() -> std::string {
        if (r.peek() != JsonReader::Kind::String)
            throw InputError("not a scene's node");
        return std::string(r.readString());
    };
    r.beginObject();
    std::string_view field;
    while (r.nextKey(field)) {
        if (field == "name") {
            node.name = string();
        } else if (field == "type") {
            node.type = string();
        } else if (field == "inputs" && r.peek() == JsonReader::Kind::Array) {
            r.beginArray();
            while (r.nextElement()) {
                if (r.peek() == JsonReader::Kind::Null) {
                    r.readNull();
                    node.inputs.emplace_back();
                } else {
                    node.inputs.push_back(string());
                }
            }
        } else {
            r.skipValueUnchecked();
        }
    }
    node.end = r.offset();
}

// Below this size a text is outlined on one thread: a second costs more to
// start than it saves.
constexpr std::size_t kSplitOutlineBytes = std::size_t(4) << 20;

// Where, from about the middle of text, an entry of "nodes" seems to start:
// a '{' after a ',' and white space. Only a guess (it could lie in a string
// or a nested array): the first half's reading says whether it is one.
std::size_t guessEntryStart(std::string_view text) {
    for (std::size_t at = text.find('{', text.size() / 2); at != std::string_view::npos;
         at = text.find('{', at + 1)) {
        std::size_t before = at;
        while (before > 0 &&
               std::string_view(" \t\n\r").find(text[before - 1]) != std::string_view::npos)
            --before;
        if (before > 0 && text[before - 1] == ',')
            return at;
    }
    return std::string_view::npos;
}

// The entries of "nodes" from the one at start to the array's end, read on
// their own (outlineScene's second half): each followed by ',' or by the
// array's ']'; nothing when the text from start does not parse that way.
using OutlineTail = std::vector<SceneOutline::Node>;
std::optional<OutlineTail> outlineTail(std::string_view text, const std::string& source,
                                       std::size_t start) {
    OutlineTail tail;
    try {
        JsonReader r = JsonReader(text, source).readerAt(start);
        for (;;) {
            outlineNode(r, tail.emplace_back());
            const std::size_t after = r.offsetAfterSpace();
            if (after < text.size() && text[after] == ']')
                return tail;
            if (after >= text.size() || text[after] != ',')
                return std::nullopt;
            r.seek(after + 1);
        }
    } catch (const Failure&) {
        return std::nullopt;
    }
}

} // namespace

SceneOutline outlineScene(std::string_view text, const std::string& source, bool twoThreads) {
    // On two threads, the second outlines the entries from a guessed start
    // in the middle while this one reads up to it. Its entries are taken
    // only when this reading finds an entry starting exactly there, so the
    // outline is the same as a single thread's, whatever the guess.
    std::future<std::optional<OutlineTail>> second;
    std::size_t split = std::string_view::npos; // where the second thread starts
    if (twoThreads && text.size() >= kSplitOutlineBytes)
        split = guessEntryStart(text);
    if (split != std::string_view::npos) {
        try {
            second = std::async(std::launch::async, outlineTail, text, std::cref(source), split);
        } catch (const std::system_error&) {
            // No thread available: this one reads it all.
        }
    }
    SceneOutline outline;
    JsonReader r(text, source);
    r.beginObject();
    std::string_view key;
    while (r.nextKey(key)) {
        if (key != "nodes") {
            r.skipValueUnchecked();
            continue;
        }
        r.beginArray();
        while (r.nextElement()) {
            if (second.valid() && r.offsetAfterSpace() >= split) {
                std::optional<OutlineTail> tail = second.get();
                if (tail && r.offsetAfterSpace() == split) {
                    // The rest of the array is the second thread's, and
                    // the next thing here its ']'.
                    r.skipValueTo(tail->back().end);
                    outline.nodes.reserve(outline.nodes.size() + tail->size());
                    std::move(tail->begin(), tail->end(), std::back_inserter(outline.nodes));
                    continue;
                }
            }
            outlineNode(r, outline.nodes.emplace_back());
        }
    }
    return outline;
}

void sceneFromJson(Scene& scene, const Json& j, const std::string& source) {
    sceneFromText(scene, j.dump(), source);
}

void loadScene(Scene& scene, const std::string& path, const Interrupt& interrupt) {
    StampedText read = readStampedTextFile(path);
    sceneFromText(scene, read.text, path == "-" ? "standard input" : path, interrupt);
    scene.setFile(std::move(read.stamp));
}

} // namespace mhost
