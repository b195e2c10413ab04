// What the parts of the Python module `morvane` share (python/bind_*.cpp):
// the scene a node keeps alive, the small result types, the Node class, and
// the conversions between the engine's values and Python's.
//
// Every call runs on the calling thread with the GIL held: the host is
// single-threaded, and this keeps it so.
#pragma once

#include "engine/bake.hpp"
#include "engine/evaluation.hpp"
#include "engine/host_session.hpp"
#include "engine/key_tools.hpp"
#include "engine/node_edits.hpp"
#include "engine/rig_capture.hpp"
#include "engine/scene_io.hpp"
#include "output/bake_files.hpp"
#include "output/gltf_export.hpp"
#include "output/html_viewer.hpp"
#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"
#include "json/json.hpp"

#include <PRM/PRM_ChoiceList.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace py = pybind11;

namespace mhost::python {

// A host, its modules and one scene. Nodes keep it alive.
struct SceneState {
    std::unique_ptr<Host> host = std::make_unique<Host>();
    std::unique_ptr<Scene> scene;
    // Where the scene came from: the file it was loaded from or last saved
    // to, or the source loads named.
    std::string source = "a scene made in Python";
    // A number for each node a Node has referred to, dropped when the node
    // is removed: a node made later at the same address gets a new one, so
    // an old Node never reaches it.
    std::unordered_map<const OP_Node*, std::uint64_t> ids;
    std::uint64_t nextId = 1;

    std::uint64_t idOf(const OP_Node& node) {
        return ids.try_emplace(&node, nextId++).first->second;
    }

    explicit SceneState(const std::vector<std::string>& modules) {
        host->loadModules(modules);
        scene = std::make_unique<Scene>(*host);
    }
};
using StatePtr = std::shared_ptr<SceneState>;

// A time in seconds, checked as the engine checks one.
float seconds(double time);
// A matrix as a 4x4 float64 array.
py::array_t<double> matrix(const Matrix16& m);
py::tuple triple(const std::array<double, 3>& v);
// "(x, y, z)", for reprs.
std::string tripleText(const std::array<double, 3>& v);
// Three numbers from any sequence of three (TypeError otherwise); what
// names the value in the message.
std::array<double, 3> tripleFrom(const py::handle& value, const char* what);
// Between the cooks of a sweep: a pending Ctrl-C (or any signal whose Python
// handler raises) stops it with that exception, the swept parameter put back.
void checkSignals();

// --- Small result types ----------------------------------------------------------

struct CookWarning {
    int code;
    std::string message;
    int severity;
};

// The warnings and errors a cook or a press raised.
std::vector<CookWarning> warnings(const std::vector<OP_ErrorEntry>& entries);

// One key of a keyed node, as a key library holds it: orders by name.
struct Key {
    double driver = 0.0;
    bool enable = true;
    std::array<double, 3> translate{0, 0, 0};
    std::array<double, 3> rotate{0, 0, 0};
    std::array<double, 3> scale{1, 1, 1};
    std::array<double, 3> pivot{0, 0, 0};
    double uniformScale = 1.0;
    std::string transformOrder = "srt";
    std::string rotateOrder = "xyz";

    bool operator==(const Key&) const = default;
};

struct Transform {
    std::array<double, 3> translate, rotate, scale;
    bool singular;
};

// A pose decomposed by the engine, as a Transform.
Transform transformOf(const Decomposed& pose);

struct Cook {
    float time;
    Matrix16 local, world;
    int result, severity;
    std::vector<CookWarning> warnings;
    Transform transform;
};

// A bake's matrices as numpy arrays over its shared buffers (no copy): the
// arrays keep the bake alive.
struct Bake {
    BakeResult result;
    BakeOrigin origin; // the scene and the call, for the files that name them
    StatePtr state;    // the scene baked: a save must not replace its files

    py::array_t<double> array(const std::shared_ptr<BakeBuffer>& buffer,
                              const py::object& owner) const {
        const auto frames = static_cast<py::ssize_t>(result.frames());
        const auto nodes = static_cast<py::ssize_t>(result.names.size());
        return py::array_t<double>({frames, nodes, py::ssize_t(4), py::ssize_t(4)}, buffer->data(),
                                   owner);
    }
};

// The 3D viewer's page for a sweep, shown inline by notebooks.
struct Viewer {
    std::string html;
    StatePtr state; // the scene swept: a save must not replace its files

    // An iframe holding the page: the page is self-contained, and the frame
    // keeps its script and styles apart from the notebook's.
    std::string reprHtml() const {
        return "<iframe srcdoc=\"" + escapeXml(html) +
               "\" style=\"width: 100%; height: 520px; border: 0\" "
               "sandbox=\"allow-scripts\"></iframe>";
    }
};

struct Parm {
    std::string token, label, type;
    int size;
    py::tuple defaults;
    std::vector<std::pair<std::string, std::string>> menu;
    bool enabled, visible, animated;
};

// --- Nodes -------------------------------------------------------------------------

class Node {
public:
    Node(StatePtr state, OP_Node& node)
        : state_(std::move(state)), node_(&node), id_(state_->idOf(node)), name_(node.getName()) {}

    bool alive() const;

    // The node, if it is still in its scene.
    OP_Node& get() const;

    const std::string& name() const { return name_; }
    std::string type() const { return get().getOperator()->getName(); }

    // A node of this node's scene, given as a Node or a name.
    OP_Node& sibling(const py::object& other) const;

    // --- Keys: the key tools, on the node's library form ---------------------------
    std::vector<Key> keys() const;

    void setKeys(const std::vector<Key>& keys);

    void mirrorKeysTo(const py::object& to, const std::string& axis);
    void copyKeysTo(const py::object& to) { copyKeys(get(), sibling(to)); }
    int insertKeyAt(double driver) { return insertKey(asObject(get()), driver); }
    void deleteKeyAt(int key) { deleteKey(get(), key); }
    void sortKeysByDriver() { sortKeys(get()); }
    void retimeKeysBy(double scale, double offset) { retimeKeys(get(), scale, offset); }
    void exportKeys(const std::string& path) const;
    void importKeys(const std::string& path);
    const StatePtr& state() const { return state_; }
    // A Node is the node it was made for, for the node's whole life: ids are
    // never reused, so a node made later at the same address is another.
    bool operator==(const Node& other) const { return state_ == other.state_ && id_ == other.id_; }
    std::size_t hash() const { return std::hash<std::uint64_t>()(id_); }

    std::string repr() const;

    void set(const std::string& token, const py::object& value, double time,
             std::optional<int> component);

    py::object value(const std::string& token, double time) const;

    Parm parm(const std::string& token) const;

    std::vector<Parm> parms() const;

    void keyframes(const std::string& token, const std::vector<std::pair<double, double>>& keys,
                   int component);

    void setInput(int index, const std::optional<Node>& from);

    std::optional<Node> input(int index) const;

    std::vector<std::optional<Node>> inputs() const;

    std::vector<CookWarning> press(const std::string& token, double time);

    Cook cook(double time);

    Transform transform(double time) { return cook(time).transform; }

    py::object sweep(double start, double stop, long long steps, const std::string& token,
                     double time);

    py::object sweepTime(double start, double stop, long long steps);

    std::vector<std::string> exportSweep(const std::string& path, double start, double stop,
                                         long long steps, const std::string& over, double time);

    Viewer viewer(double start, double stop, long long steps, const std::string& over, double time);

private:
    // The node swept over its driver (at time) or over time, with the rig
    // around it, for the exports and the viewer.
    std::pair<EvalReport, RigCapture> sweepOver(double start, double stop, long long steps,
                                                const std::string& over, double time);

    // A report's rows as a numpy structured array.
    static py::object rows(const EvalReport& report);

    static Parm describeParm(const PRM_Parm& p);

    StatePtr state_;
    OP_Node* node_;
    std::uint64_t id_;
    std::string name_;
};

// The parts of the module, each adding its classes to m; the module's entry
// (python/bind_module.cpp) calls them in this order.
void initErrors(py::module_& m);
void initKeys(py::module_& m);
void initNode(py::module_& m);
// The key methods of Node, which initNode adds among the others.
void bindNodeKeys(py::class_<Node>& node);
void initBake(py::module_& m);
void initScene(py::module_& m);

} // namespace mhost::python
