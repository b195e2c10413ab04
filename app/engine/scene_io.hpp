// Scene files: a scene's nodes, wiring and parameters as JSON.
//
//   {"format": "mhost-scene", "version": 1,
//    "modules": ["OBJ_Quenlo.so"],
//    "nodes": [{"name": "q", "type": "quenlo", "inputs": [null, "dummy"],
//               "display": true, "selectable": true,
//               "parms": {"driverval": 2.5, "t0": [1, 2, 3],
//                         "r0": [[[0, 0], [1, 90]], 0, 0], ...}}]}
//
// Every parameter that holds a value is written by token, in the node's own
// order. A one-component parameter is its component; a longer one is an
// array of components. A component is a number (a constant, or "nan",
// "inf", "-inf"), a list of [time, value] keyframes, or text for string
// parameters. A multi-parameter is its instance count.
#pragma once

#include "engine/host_session.hpp"
#include "json/json.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace mhost {

inline constexpr const char* kSceneFormat = "mhost-scene";
inline constexpr int kSceneVersion = 1;

Json sceneToJson(const Scene& scene);
// Whether a scene file holds the parameter: a multi-parameter (its count)
// or one that holds a value.
bool savesValue(const PRM_Parm& parm);

// A scene file's nodes at a glance: names, types and the names wired into
// their inputs, read without making anything. Failure for a text that is
// not a scene's (which a load then reports in full).
struct SceneOutline {
    struct Node {
        std::string name;
        std::string type;
        std::vector<std::string> inputs; // "" for an empty input
        std::size_t end = 0;             // the offset just past its entry
    };
    std::vector<Node> nodes;
};

// Some of a scene file's nodes, by their places in its "nodes" array. The
// others are skipped by their brackets alone, or in one step using their
// outline's end offsets.
struct NodeSubset {
    std::vector<bool> wanted;
    const SceneOutline* outline = nullptr;
};

// Replaces the contents of scene with the scene in text, read straight
// into it (no document in between). On any error scene is left unchanged
// and InputError names `source`, the node and the parameter at fault, or
// for malformed JSON the line and column. Modules the scene needs are
// loaded when they are not. interrupt is called before each node is read.
// With `only`, just those nodes are read and made: a part of the scene, for
// a bake that shares the nodes out to loads that between them read every
// node. The nodes kept must include every node they read.
void sceneFromText(Scene& scene, std::string_view text, const std::string& source,
                   const Interrupt& interrupt = {}, const NodeSubset* only = nullptr);

// twoThreads lets a large text be outlined by two threads, each reading
// about half; the outline is the same.
SceneOutline outlineScene(std::string_view text, const std::string& source,
                          bool twoThreads = false);
// The same from a document.
void sceneFromJson(Scene& scene, const Json& j, const std::string& source);

// The scene as saved: indented text ending in a newline, written straight
// from the scene. sceneToJson is that text as a document.
std::string sceneText(const Scene& scene);

// Writes the scene by the output rules of file_io.hpp, in parts (RunError
// on failure, the old file kept). Written over the file the scene was read
// from (scene.file()), it first checks, at the moment of replacing it, that
// the file still holds what was read: InputError (FailureKind::Changed)
// otherwise, nothing written; the scene's file is then the one written.
// With overwrite the check is not made. Returns the written file's stamp.
std::optional<FileStamp> saveScene(Scene& scene, const std::string& path, bool overwrite = false);
// The one check before a write made outside a command (Python's): InputError
// (FailureKind::File) when one of the paths it writes is the file the scene
// was read from, unless sceneSave (the scene saved over its own file: in
// place), or a module file its host loaded, or two of them are one file
// (support/file_plan.hpp); `what` names the write.
void checkWriteOverInputs(const Scene& scene, const std::vector<std::string>& paths,
                          const std::string& what, bool sceneSave = false);

// Reads a scene file into scene (InputError on failure, scene unchanged);
// the scene's file is then that one (none for standard input).
void loadScene(Scene& scene, const std::string& path, const Interrupt& interrupt = {});

// A channel written as [[time, value], ...]: numbers, or the texts "nan",
// "inf" and "-inf" for values; times finite. Sorted by time; two keys at one
// time are refused (InputError).
std::vector<UT_Keyframe> keysFromJson(const Json& list);

} // namespace mhost
