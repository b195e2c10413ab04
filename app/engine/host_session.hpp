// app/engine: what mhost does with a host, whatever shows it. The host
// session and scenes (this header), edits shared by scripts and Python
// (node_edits.hpp), the host's own reading of keyed nodes (keyed_node.hpp),
// cooks and sweeps (evaluation.hpp), scene files (scene_io.hpp), scripts
// (script.hpp), the demo and rig capture. It includes app/json and
// app/support only.
//
// The host side of mhost: the operator table with the modules loaded into
// it, and scenes (object networks) built from its node types.
#pragma once

#include "support/file_io.hpp"

#include <OBJ/OBJ_Node.h>
#include <OP/OP_DSOLoader.h>
#include <OP/OP_Network.h>
#include <OP/OP_OperatorTable.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

// Called between the steps of a long job (each cook of a sweep, each node of
// a scene being read) so that a caller can stop it, as Python's Ctrl-C does:
// it may throw, and the job then ends with what it changed put back.
using Interrupt = std::function<void()>;

// The operator table (with the host's own "null" type) and its loader. Lives
// as long as any scene made from it; modules stay mapped until the process
// ends.
class Host {
public:
    Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Loads every module of the search path (MORVANE_DSO_PATH, or the
    // default module folder), then each of `extra` (a path, or a file name searched
    // in the search path). Any module that does not load throws InputError
    // naming it.
    // Folders of the search path that do not exist or hold no module are
    // named in warnings().
    void loadModules(const std::vector<std::string>& extra);
    // What loadModules noticed but did not stop for: "module folder "/x"
    // does not exist".
    const std::vector<std::string>& warnings() const { return warnings_; }
    // Loads this one module (a path, or a file name searched in the search
    // path), and nothing else, unless it is loaded already. InputError
    // naming it when it does not load.
    void loadModule(const std::string& module);

    // Makes sure the module with this file name is loaded, searching the
    // search path (only) when it is not. A name that is not a plain file
    // name ("../x.so", "/tmp/x.so") is refused before anything is mapped.
    // Throws InputError naming the module otherwise.
    void requireModule(const std::string& fileName);

    OP_OperatorTable& table() { return table_; }
    const OP_DSOLoader& loader() const { return loader_; }

    // The type of that name; InputError listing the known types otherwise.
    OP_Operator& nodeType(const std::string& name) const;

private:
    bool alreadyLoaded(const std::string& nameOrPath) const;

    OP_OperatorTable table_;
    OP_DSOLoader loader_{table_};
    std::vector<std::string> warnings_;
};

// InputError unless fileName is a plain module file name (no "/", not "."
// or ".."), the only way a scene may name a module.
void requireModuleFileName(const std::string& fileName);

// A scene's frame range and playback rate, inclusive. Frame F is at time
// (F - 1) / fps seconds: frame 1 is time 0, as in the host's timeline,
// whatever the range's first frame.
struct Timeline {
    static constexpr int kMaxFrames = 1000000; // end - start + 1 at most
    int start = 1;
    int end = 240;
    double fps = 24.0;

    // The time of frame in seconds, and as the host keeps times (32-bit
    // float).
    double seconds(int frame) const { return (frame - 1) / fps; }
    float time(int frame) const { return static_cast<float>(seconds(frame)); }
    int frames() const { return end - start + 1; }
    bool operator==(const Timeline&) const = default;
};

// InputError unless the range and rate make a timeline: whole frames with
// start <= end, at most kMaxFrames of them, and a finite rate above 0.
Timeline checkedTimeline(double start, double end, double fps);

// One scene: a top-level object network.
class Scene {
public:
    explicit Scene(Host& host);
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    Host& host() const { return *host_; }
    OP_Network& root() const { return *root_; }

    // The node with this name; InputError otherwise.
    OP_Node& node(std::string_view name) const;

    // Makes a node of the type with exactly this name. InputError for an
    // unknown type or a name already in use.
    OP_Node& create(const std::string& type, const std::string& name);

    // Removes the node, unwiring every input that used it.
    void remove(OP_Node& node);
    // Renames the node (its wiring and place kept). InputError for an empty
    // name or one another node has.
    void rename(OP_Node& node, const std::string& name);

    // Exchanges the nodes and timelines of two scenes of the same host (not
    // their files).
    void swap(Scene& other) noexcept {
        root_.swap(other.root_);
        timeline_.swap(other.timeline_);
    }

    // The scene's timeline, as saved with it (none: the default's, not
    // saved, so that a scene that never set one keeps its file as it was).
    const std::optional<Timeline>& savedTimeline() const { return timeline_; }
    Timeline timeline() const { return timeline_.value_or(Timeline{}); }
    void setTimeline(std::optional<Timeline> timeline) { timeline_ = timeline; }

    // The file the scene was read from, as it was then (or as a save over it
    // left it): a save over that file first checks that nobody changed it
    // since (saveScene). None for a scene made here or read from text.
    const std::optional<FileStamp>& file() const { return file_; }
    void setFile(std::optional<FileStamp> file) { file_ = std::move(file); }

private:
    Host* host_;
    std::unique_ptr<OP_Network> root_;
    std::optional<Timeline> timeline_;
    std::optional<FileStamp> file_;
};

// `node "q" (quenlo)`, for messages.
std::string describeNode(const OP_Node& node);

// The node as an object; InputError when it is not one.
OBJ_Node& asObject(OP_Node& node);

// Index of the parameter with that token; InputError naming the node and the
// token otherwise.
int requireParm(const OP_Node& node, std::string_view token);

// Last path component of a module path ("OBJ_Quenlo.so").
std::string moduleFileName(const std::string& path);

} // namespace mhost
