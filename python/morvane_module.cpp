// The Python module `morvane`: scenes of the stand-in Morvane host, driven
// from Python through the same engine as mhost (mhost_core).
//
// Objects: Scene (a host with its modules and one object network), Node (a
// node of a scene, found again by name on each use, so that a removed node
// raises instead of crashing), Parm, Cook, Transform, CookWarning. Failures of
// the engine become ValueError (bad values, files, actions), KeyError (no
// such node, type or parameter), OSError (a file cannot be read or written;
// FileChangedError, one of them, when a save would replace a file changed
// since it was read) or RuntimeError (an action that failed while it ran),
// with mhost's messages.
//
// Every call runs on the calling thread with the GIL held: the host is
// single-threaded, and this keeps it so.
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
using namespace py::literals;

namespace mhost::python {

namespace {

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

float seconds(double time) {
    return secondsFrom(time, "time");
}

py::array_t<double> matrix(const Matrix16& m) {
    py::array_t<double> out({4, 4});
    std::copy(m.begin(), m.end(), out.mutable_data());
    return out;
}

py::tuple triple(const std::array<double, 3>& v) {
    return py::make_tuple(v[0], v[1], v[2]);
}

// --- Small result types ----------------------------------------------------------

struct CookWarning {
    int code;
    std::string message;
    int severity;
};

std::vector<CookWarning> warnings(const std::vector<OP_ErrorEntry>& entries) {
    std::vector<CookWarning> out;
    for (const OP_ErrorEntry& e : entries)
        out.push_back({e.code, e.message, static_cast<int>(e.severity)});
    return out;
}

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

std::array<double, 3> tripleFrom(const py::handle& value, const char* what) {
    const auto list = value.cast<std::vector<double>>();
    if (list.size() != 3)
        throw InputError(std::string(what) + " takes 3 numbers, not " + std::to_string(list.size()),
                         FailureKind::Type);
    return {list[0], list[1], list[2]};
}

struct Transform {
    std::array<double, 3> translate, rotate, scale;
    bool singular;
};

Transform transformOf(const Decomposed& pose) {
    return {pose.translate, pose.rotate, pose.scale, !pose.ok};
}

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

// Between the cooks of a sweep: a pending Ctrl-C (or any signal whose Python
// handler raises) stops it with that exception, the swept parameter put back.
void checkSignals() {
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
}

class Node {
public:
    Node(StatePtr state, OP_Node& node)
        : state_(std::move(state)), node_(&node), id_(state_->idOf(node)), name_(node.getName()) {}

    bool alive() const {
        const auto id = state_->ids.find(node_);
        return id != state_->ids.end() && id->second == id_ &&
               state_->scene->root().findNode(name_) == node_;
    }

    // The node, if it is still in its scene.
    OP_Node& get() const {
        if (!alive())
            throw InputError("node " + quote(name_) + " is no longer in its scene",
                             FailureKind::Lookup);
        return *node_;
    }

    const std::string& name() const { return name_; }
    std::string type() const { return get().getOperator()->getName(); }

    // A node of this node's scene, given as a Node or a name.
    OP_Node& sibling(const py::object& other) const {
        if (py::isinstance<Node>(other)) {
            const Node& n = other.cast<const Node&>();
            if (n.state_ != state_)
                throw InputError("node " + quote(n.name()) + " is in another scene");
            return n.get();
        }
        if (!py::isinstance<py::str>(other))
            throw InputError("expected a Node or a node's name, not " +
                                 std::string(py::str(py::type::of(other).attr("__name__"))),
                             FailureKind::Type);
        return state_->scene->node(other.cast<std::string>());
    }

    // --- Keys: the key tools, on the node's library form ---------------------------
    std::vector<Key> keys() const {
        const OP_Node& node = get();
        requireKeyedNode(node);
        std::vector<Key> out;
        for (const KeyRecord& k : readKeys(node).keys)
            out.push_back({k.driver, k.enable, k.translate, k.rotate, k.scale, k.pivot,
                           k.uniformScale,
                           keyMenuName(node, KeyMenu::TransformOrder, k.transformOrder),
                           keyMenuName(node, KeyMenu::RotateOrder, k.rotateOrder)});
        return out;
    }

    void setKeys(const std::vector<Key>& keys) {
        OP_Node& node = get();
        requireKeyedNode(node);
        std::vector<KeyRecord> records;
        for (const Key& k : keys)
            records.push_back({k.driver, k.enable,
                               keyMenuIndex(node, KeyMenu::TransformOrder, k.transformOrder),
                               keyMenuIndex(node, KeyMenu::RotateOrder, k.rotateOrder), k.translate,
                               k.rotate, k.scale, k.pivot, k.uniformScale});
        writeKeysOnly(node, records);
    }

    void mirrorKeysTo(const py::object& to, const std::string& axis) {
        mirrorKeys(get(), sibling(to), mirrorAxisFrom(axis));
    }
    void copyKeysTo(const py::object& to) { copyKeys(get(), sibling(to)); }
    int insertKeyAt(double driver) { return insertKey(asObject(get()), driver); }
    void deleteKeyAt(int key) { deleteKey(get(), key); }
    void sortKeysByDriver() { sortKeys(get()); }
    void retimeKeysBy(double scale, double offset) { retimeKeys(get(), scale, offset); }
    void exportKeys(const std::string& path) const {
        checkWriteOverInputs(*state_->scene, {path}, "export_keys");
        writeFileAtomically(path, formatJson(keyLibrary(get())));
    }
    void importKeys(const std::string& path) {
        OP_Node& node = get();
        writeKeys(node, keysFromLibrary(node, readJsonFile(path), path));
    }
    const StatePtr& state() const { return state_; }
    // A Node is the node it was made for, for the node's whole life: ids are
    // never reused, so a node made later at the same address is another.
    bool operator==(const Node& other) const { return state_ == other.state_ && id_ == other.id_; }
    std::size_t hash() const { return std::hash<std::uint64_t>()(id_); }

    std::string repr() const {
        if (!alive())
            return "<Node " + name_ + " (removed)>";
        return "<Node " + name_ + " (" + type() + ")>";
    }

    void set(const std::string& token, const py::object& value, double time,
             std::optional<int> component) {
        std::vector<ParmValue> values;
        const auto one = [&](const py::handle& v) {
            if (py::isinstance<py::str>(v))
                values.emplace_back(v.cast<std::string>());
            else if (PyNumber_Check(v.ptr()) && !py::isinstance<py::sequence>(v))
                values.emplace_back(v.cast<double>());
            else
                throw InputError("parameter " + quote(token) + ": expected a number or text, not " +
                                     std::string(py::str(py::type::of(v).attr("__name__"))),
                                 FailureKind::Type);
        };
        if (py::isinstance<py::str>(value) || !py::isinstance<py::sequence>(value)) {
            one(value);
        } else {
            if (component)
                throw InputError("parameter " + quote(token) +
                                 ": component= goes with a single value, not a sequence");
            for (const py::handle v : value.cast<py::sequence>())
                one(v);
        }
        editParm(get(), token, component, values, seconds(time));
    }

    py::object value(const std::string& token, double time) const {
        const ParmReading reading = readParm(get(), token, seconds(time));
        const auto toPython = [](const ParmValue& v) -> py::object {
            if (const auto* text = std::get_if<std::string>(&v))
                return py::str(*text);
            return py::float_(std::get<double>(v));
        };
        if (reading.values.empty())
            throw InputError("parameter " + quote(token) + " of " + describeNode(get()) +
                             " holds no value");
        if (reading.values.size() == 1)
            return toPython(reading.values[0]);
        py::tuple out(reading.values.size());
        for (std::size_t i = 0; i < reading.values.size(); ++i)
            out[i] = toPython(reading.values[i]);
        return out;
    }

    Parm parm(const std::string& token) const {
        OP_Node& node = get();
        const PRM_Parm& p = *node.getParm(requireParm(node, token));
        return describeParm(p);
    }

    std::vector<Parm> parms() const {
        OP_Node& node = get();
        std::vector<Parm> out;
        for (int i = 0; i < node.getParmCount(); ++i)
            out.push_back(describeParm(*node.getParm(i)));
        return out;
    }

    void keyframes(const std::string& token, const std::vector<std::pair<double, double>>& keys,
                   int component) {
        std::vector<UT_Keyframe> list;
        for (const auto& [time, value] : keys)
            list.push_back({seconds(time), value});
        replaceKeyframes(get(), token, component, std::move(list));
    }

    void setInput(int index, const std::optional<Node>& from) {
        if (from && from->state_ != state_)
            throw InputError(describeNode(from->get()) + " is in another scene than " +
                             describeNode(get()));
        wireInput(get(), index, from ? &from->get() : nullptr);
    }

    std::optional<Node> input(int index) const {
        OP_Node& node = get();
        if (index < 0 || static_cast<unsigned>(index) >= node.nInputs())
            throw InputError(describeNode(node) + " has no input " + std::to_string(index) +
                                 " (it has " + std::to_string(node.nInputs()) + ")",
                             FailureKind::Index);
        if (OP_Node* in = node.getInput(static_cast<unsigned>(index)))
            return Node(state_, *in);
        return std::nullopt;
    }

    std::vector<std::optional<Node>> inputs() const {
        std::vector<std::optional<Node>> out;
        for (unsigned i = 0; i < get().nInputs(); ++i)
            out.push_back(input(static_cast<int>(i)));
        return out;
    }

    std::vector<CookWarning> press(const std::string& token, double time) {
        return warnings(pressButton(get(), token, seconds(time)));
    }

    Cook cook(double time) {
        const CookResult row = cookNode(asObject(get()), seconds(time));
        return {row.time,
                row.local,
                row.world,
                row.xformResult,
                row.severity,
                warnings(row.messages),
                transformOf(row.pose)};
    }

    Transform transform(double time) { return cook(time).transform; }

    py::object sweep(double start, double stop, long long steps, const std::string& token,
                     double time) {
        const SweepRange range = SweepRange::checked(start, stop, steps);
        return rows(sweepParm(asObject(get()), seconds(time), range, token, checkSignals));
    }

    py::object sweepTime(double start, double stop, long long steps) {
        return rows(mhost::sweepTime(asObject(get()), SweepRange::checked(start, stop, steps),
                                     checkSignals));
    }

    std::vector<std::string> exportSweep(const std::string& path, double start, double stop,
                                         long long steps, const std::string& over, double time) {
        const bool html = endsWithNoCase(path, ".html") || endsWithNoCase(path, ".htm");
        if (!html && !endsWithNoCase(path, ".gltf") && !endsWithNoCase(path, ".glb"))
            throw InputError(quote(path) + ": the file name must end in .gltf, .glb or .html");
        checkWriteOverInputs(*state_->scene, {path}, "export");
        const auto [report, capture] = sweepOver(start, stop, steps, over, time);
        if (!html)
            return writeGltf(report, capture, path);
        writeFileAtomically(path, renderViewerHtml(report, capture));
        return {};
    }

    Viewer viewer(double start, double stop, long long steps, const std::string& over,
                  double time) {
        const auto [report, capture] = sweepOver(start, stop, steps, over, time);
        return {renderViewerHtml(report, capture), state_};
    }

private:
    // The node swept over its driver (at time) or over time, with the rig
    // around it, for the exports and the viewer.
    std::pair<EvalReport, RigCapture> sweepOver(double start, double stop, long long steps,
                                                const std::string& over, double time) {
        if (over != "driver" && over != "time")
            throw InputError("over must be \"driver\" or \"time\", not " + quote(over));
        OBJ_Node& node = asObject(get());
        const SweepRange range = SweepRange::checked(start, stop, steps);
        EvalReport report = over == "time" ? mhost::sweepTime(node, range, checkSignals)
                                           : sweepDriver(node, seconds(time), range, checkSignals);
        RigCapture capture = captureRig(node, report);
        return {std::move(report), std::move(capture)};
    }

    // A report's rows as a numpy structured array.
    static py::object rows(const EvalReport& report) {
        py::module_ numpy = py::module_::import("numpy");
        py::list fields;
        fields.append(py::make_tuple("time", "f8"));
        fields.append(py::make_tuple("driver", "f8"));
        fields.append(py::make_tuple("local", "f8", py::make_tuple(4, 4)));
        fields.append(py::make_tuple("world", "f8", py::make_tuple(4, 4)));
        fields.append(py::make_tuple("translate", "f8", 3));
        fields.append(py::make_tuple("rotate", "f8", 3));
        fields.append(py::make_tuple("scale", "f8", 3));
        fields.append(py::make_tuple("severity", "i4"));
        py::list out;
        for (const CookResult& row : report.rows)
            out.append(py::make_tuple(shortestDouble(row.time),
                                      row.driver.value_or(std::numeric_limits<double>::quiet_NaN()),
                                      matrix(row.local), matrix(row.world),
                                      triple(row.pose.translate), triple(row.pose.rotate),
                                      triple(row.pose.scale), row.severity));
        return numpy.attr("array")(out, "dtype"_a = numpy.attr("dtype")(fields));
    }

    static Parm describeParm(const PRM_Parm& p) {
        Parm out;
        out.token = p.getToken();
        out.label = p.getLabel();
        const bool menu = p.getType().isOrdinal() && !p.getType().isToggle() &&
                          p.getTemplate().getChoiceListPtr();
        out.type = p.isMultiParm() ? "list" : menu ? "menu" : p.getType().describe();
        out.size = p.getVectorSize();
        out.enabled = p.isEnabled();
        out.visible = p.isVisible();
        out.animated = p.isAnimated();
        const PRM_Template& t = p.getTemplate();
        const PRM_Default* defaults = t.getFactoryDefaults();
        const bool holds = p.isMultiParm() || p.getType().holdsValue();
        py::tuple values(holds ? p.getVectorSize() : 0);
        for (int c = 0; holds && c < p.getVectorSize(); ++c) {
            if (p.getType().isString())
                values[c] =
                    py::str(defaults && defaults[c].getString() ? defaults[c].getString() : "");
            else
                values[c] = py::float_(defaults ? defaults[c].getFloat() : 0.0);
        }
        out.defaults = values;
        if (const PRM_ChoiceList* menu = t.getChoiceListPtr()) {
            for (int i = 0; i < menu->getCount(); ++i) {
                const PRM_Name* item = menu->getItem(i);
                out.menu.emplace_back(item->getToken(), item->getLabel() ? item->getLabel() : "");
            }
        }
        return out;
    }

    StatePtr state_;
    OP_Node* node_;
    std::uint64_t id_;
    std::string name_;
};

// --- Scenes --------------------------------------------------------------------------

class PyScene {
public:
    explicit PyScene(const std::optional<std::vector<std::string>>& modules)
        : state_(std::make_shared<SceneState>(modules.value_or(std::vector<std::string>{}))) {
        for (const std::string& warning : state_->host->warnings())
            if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0)
                throw py::error_already_set();
    }

    static PyScene load(const std::string& path,
                        const std::optional<std::vector<std::string>>& modules) {
        PyScene scene(modules);
        loadScene(*scene.state_->scene, path, checkSignals);
        scene.state_->source = path;
        return scene;
    }

    static PyScene loads(const std::string& text, const std::string& source,
                         const std::optional<std::vector<std::string>>& modules) {
        PyScene scene(modules);
        sceneFromText(*scene.state_->scene, text, source, checkSignals);
        scene.state_->source = source;
        return scene;
    }

    void save(const std::string& path, bool overwrite) const {
        checkWriteOverInputs(*state_->scene, {path}, "save", true);
        saveScene(*state_->scene, path, overwrite);
        state_->source = path;
    }

    std::string dumps() const { return sceneText(*state_->scene); }

    Bake bake(double start, double stop, long long steps, const std::optional<py::sequence>& nodes,
              std::optional<int> threads, std::optional<std::pair<long long, long long>> frames) {
        BakeRequest request;
        request.times = SweepRange::checked(start, stop, steps);
        request.frames = frames;
        if (threads && *threads < 1)
            throw InputError("threads must be 1 or more (None for one per core), not " +
                                 std::to_string(*threads),
                             FailureKind::Value);
        request.workers = threads.value_or(0);
        request.interrupt = checkSignals;
        if (nodes && py::isinstance<py::str>(*nodes))
            throw InputError("nodes: expected a sequence of node names or Nodes, not one name",
                             FailureKind::Type);
        for (const py::handle node : nodes.value_or(py::list())) {
            if (py::isinstance<Node>(node)) {
                const Node& n = node.cast<const Node&>();
                if (n.state() != state_)
                    throw InputError("node " + quote(n.name()) + " is in another scene");
                request.nodes.push_back(n.get().getName());
            } else if (py::isinstance<py::str>(node)) {
                request.nodes.push_back(node.cast<std::string>());
            } else {
                throw InputError("nodes: expected node names or Nodes, not " +
                                     std::string(py::str(py::type::of(node).attr("__name__"))),
                                 FailureKind::Type);
            }
        }
        std::string call = "morvane Scene.bake(" + formatShortest(start) + ", " +
                           formatShortest(stop) + ", " + std::to_string(steps);
        if (!request.nodes.empty()) {
            call += ", nodes=[";
            for (std::size_t n = 0; n < request.nodes.size(); ++n)
                call += (n == 0 ? "" : ", ") + quote(request.nodes[n]);
            call += ']';
        }
        if (frames)
            call += ", frames=(" + std::to_string(frames->first) + ", " +
                    std::to_string(frames->second) + ")";
        return {bakeScene(*state_->scene, request), {state_->source, call + ')'}, state_};
    }

    Node create(const std::string& type, const std::optional<std::string>& name) {
        Scene& scene = *state_->scene;
        if (name)
            return Node(state_, scene.create(type, *name));
        OP_Operator& op = state_->host->nodeType(type);
        OP_Node* made = scene.root().createNode(op.getName(), nullptr);
        if (made == nullptr)
            throw RunError("node type " + quote(type) + " made no node");
        return Node(state_, *made);
    }

    Node node(const std::string& name) const { return Node(state_, state_->scene->node(name)); }

    bool contains(const std::string& name) const {
        return state_->scene->root().findNode(name) != nullptr;
    }

    std::vector<Node> nodes() const {
        std::vector<Node> out;
        const OP_Network& root = state_->scene->root();
        for (int i = 0; i < root.getNchildren(); ++i)
            out.emplace_back(state_, *root.getChild(i));
        return out;
    }

    int size() const { return state_->scene->root().getNchildren(); }

    std::vector<std::string> types() const {
        std::vector<std::string> out;
        const OP_OperatorTable& table = state_->host->table();
        for (int i = 0; i < table.entries(); ++i)
            out.emplace_back(table.getOperator(i)->getName());
        return out;
    }

    std::vector<std::string> modules() const {
        std::vector<std::string> out;
        for (const OP_DSOModule& m : state_->host->loader().modules())
            out.push_back(m.path);
        return out;
    }

    void remove(const py::object& what) {
        OP_Node* node = nullptr;
        if (py::isinstance<Node>(what)) {
            const Node& n = what.cast<const Node&>();
            if (n.state() != state_)
                throw InputError("node " + quote(n.name()) + " is in another scene");
            node = &n.get();
        } else {
            node = &state_->scene->node(what.cast<std::string>());
        }
        state_->ids.erase(node);
        state_->scene->root().destroyNode(node);
    }

    std::string repr() const {
        return "<Scene " + std::to_string(size()) + " node" + (size() == 1 ? "" : "s") + ">";
    }

private:
    StatePtr state_;
};

// morvane.FileChangedError, made when the module is imported.
PyObject* fileChangedError = nullptr;

void translate(const Failure& failure) {
    switch (failure.kind()) {
    case FailureKind::Changed:
        PyErr_SetString(fileChangedError, failure.what());
        return;
    case FailureKind::Lookup:
        PyErr_SetString(PyExc_KeyError, failure.what());
        return;
    case FailureKind::File:
        PyErr_SetString(PyExc_OSError, failure.what());
        return;
    case FailureKind::Type:
        PyErr_SetString(PyExc_TypeError, failure.what());
        return;
    case FailureKind::Index:
        PyErr_SetString(PyExc_IndexError, failure.what());
        return;
    case FailureKind::Value:
        PyErr_SetString(failure.code() == kExitBadInput ? PyExc_ValueError : PyExc_RuntimeError,
                        failure.what());
        return;
    }
}

std::string tripleText(const std::array<double, 3>& v) {
    return "(" + formatShortest(v[0]) + ", " + formatShortest(v[1]) + ", " + formatShortest(v[2]) +
           ")";
}

} // namespace

} // namespace mhost::python

PYBIND11_MODULE(_core, m) {
    using namespace mhost;
    using namespace mhost::python;
    m.attr("__version__") = MHOST_VERSION;
    m.doc() = "Scenes of the Morvane host: build rigs, edit them as a user would, cook them and "
              "read the transforms into numpy. The same engine as the mhost program.\n\n"
              "Matrices are 4x4 float64 arrays for row vectors (p' = p @ M, translation in the "
              "last row); rotations are in degrees; times in seconds.";

    fileChangedError = PyErr_NewExceptionWithDoc(
        "morvane.FileChangedError",
        "Raised by Scene.save instead of replacing the file the scene was read from when "
        "that file changed on disk since (another program saved it): nothing is written. "
        "Read it again, save elsewhere, or save(path, overwrite=True).",
        PyExc_OSError, nullptr);
    if (fileChangedError == nullptr)
        throw py::error_already_set();
    m.attr("FileChangedError") = py::reinterpret_borrow<py::object>(fileChangedError);

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const Failure& failure) {
            translate(failure);
        }
    });

    py::class_<CookWarning>(m, "CookWarning",
                            "A warning or error a node raised: code, message, severity.")
        .def_readonly("code", &CookWarning::code, "The host's error code.")
        .def_readonly("message", &CookWarning::message, "The text, as mhost prints it.")
        .def_readonly("severity", &CookWarning::severity,
                      "0 none, 1 message, 2 prompt, 3 warning, 4 abort, 5 fatal.")
        .def("__str__", [](const CookWarning& w) { return w.message; })
        .def("__repr__", [](const CookWarning& w) {
            return "<CookWarning " + std::to_string(w.code) + ": " + quote(w.message) + ">";
        });

    py::class_<Key> key(m, "Key",
                        "One key of a keyed node, as a key library holds it: its driver value, "
                        "whether it is enabled, its pose (rotations in degrees) and its orders by "
                        "name (\"srt\" ..., \"xyz\" ...).");
    key.def(py::init([](double driver, bool enable, const py::object& translate,
                        const py::object& rotate, const py::object& scale, const py::object& pivot,
                        double uniformScale, const std::string& transformOrder,
                        const std::string& rotateOrder) {
                return Key{driver,
                           enable,
                           tripleFrom(translate, "translate"),
                           tripleFrom(rotate, "rotate"),
                           tripleFrom(scale, "scale"),
                           tripleFrom(pivot, "pivot"),
                           uniformScale,
                           transformOrder,
                           rotateOrder};
            }),
            "driver"_a = 0.0, "enable"_a = true, "translate"_a = py::make_tuple(0.0, 0.0, 0.0),
            "rotate"_a = py::make_tuple(0.0, 0.0, 0.0), "scale"_a = py::make_tuple(1.0, 1.0, 1.0),
            "pivot"_a = py::make_tuple(0.0, 0.0, 0.0), "uniform_scale"_a = 1.0,
            "transform_order"_a = "srt", "rotate_order"_a = "xyz",
            "A key; the defaults are the identity pose at driver 0.")
        .def_readwrite("driver", &Key::driver, "The driver value at which the key applies.")
        .def_readwrite("enable", &Key::enable, "Whether the key takes part (key 0 always).")
        .def_readwrite("uniform_scale", &Key::uniformScale, "Uniform scale.")
        .def_readwrite("transform_order", &Key::transformOrder,
                       "The key's transform order by name (\"srt\", \"str\", ...).")
        .def_readwrite("rotate_order", &Key::rotateOrder,
                       "The key's rotate order by name (\"xyz\", \"xzy\", ...).")
        .def("__eq__",
             [](const Key& a, const py::object& b) {
                 return py::isinstance<Key>(b) && a == b.cast<const Key&>();
             })
        .def("__repr__", [](const Key& k) {
            return "<Key at " + formatShortest(k.driver) + (k.enable ? "" : " (off)") + ": t " +
                   tripleText(k.translate) + ", r " + tripleText(k.rotate) + ", s " +
                   tripleText(k.scale) + ">";
        });
    // The three-component fields, each set from any sequence of three numbers.
    struct VectorField {
        const char* name;
        std::array<double, 3> Key::*member;
        const char* help;
    };
    for (const VectorField& field :
         {VectorField{"translate", &Key::translate, "Translate (x, y, z)."},
          VectorField{"rotate", &Key::rotate, "Rotate (x, y, z), degrees."},
          VectorField{"scale", &Key::scale, "Scale (x, y, z)."},
          VectorField{"pivot", &Key::pivot, "Pivot (x, y, z)."}})
        key.def_property(
            field.name, [member = field.member](const Key& k) { return triple(k.*member); },
            [member = field.member, name = field.name](Key& k, const py::object& v) {
                k.*member = tripleFrom(v, name);
            },
            field.help);

    py::class_<Transform>(m, "Transform",
                          "Translate, rotate (degrees) and scale decomposed from a local "
                          "matrix in the node's orders. Unpacks as (translate, rotate, scale).")
        .def_property_readonly("translate", [](const Transform& t) { return triple(t.translate); })
        .def_property_readonly("rotate", [](const Transform& t) { return triple(t.rotate); })
        .def_property_readonly("scale", [](const Transform& t) { return triple(t.scale); })
        .def_readonly("singular", &Transform::singular,
                      "True when the matrix is singular and the decomposition is not meaningful.")
        .def("__iter__",
             [](const Transform& t) {
                 return py::iter(
                     py::make_tuple(triple(t.translate), triple(t.rotate), triple(t.scale)));
             })
        .def("__repr__", [](const Transform& t) {
            return "<Transform t=" + tripleText(t.translate) + " r=" + tripleText(t.rotate) +
                   " s=" + tripleText(t.scale) + (t.singular ? " singular" : "") + ">";
        });

    py::class_<Cook>(m, "Cook", "One cook of a node at a time.")
        .def_readonly("time", &Cook::time, "The cook time in seconds.")
        .def_property_readonly(
            "local", [](const Cook& c) { return matrix(c.local); },
            "The local transform: a 4x4 float64 array, row vectors.")
        .def_property_readonly(
            "world", [](const Cook& c) { return matrix(c.world); },
            "The world transform: local @ the parent's world.")
        .def_readonly("result", &Cook::result,
                      "What applyInputIndependentTransform returned (1: depends on time).")
        .def_readonly("severity", &Cook::severity, "The worst severity the cook raised.")
        .def_readonly("warnings", &Cook::warnings, "Every CookWarning the cook raised.")
        .def_readonly("transform", &Cook::transform, "The local matrix decomposed (a Transform).")
        .def("__repr__", [](const Cook& c) {
            return "<Cook at " + formatShortest(c.time) +
                   ": t=" + tripleText(c.transform.translate) + ", severity " +
                   std::to_string(c.severity) + ">";
        });

    py::class_<Bake>(m, "Bake",
                     "Every node of a bake cooked at every sample: matrices as float64 arrays "
                     "of shape (samples, nodes, 4, 4), row vectors.")
        .def_property_readonly(
            "local",
            [](const py::object& self) {
                const Bake& b = self.cast<const Bake&>();
                return b.array(b.result.local, self);
            },
            "Each node's local matrix at each sample.")
        .def_property_readonly(
            "world",
            [](const py::object& self) {
                const Bake& b = self.cast<const Bake&>();
                return b.array(b.result.world, self);
            },
            "Each node's world matrix at each sample.")
        .def_property_readonly(
            "names", [](const Bake& b) { return b.result.names; },
            "The nodes' names, in the arrays' order (the scene's).")
        .def_property_readonly(
            "parents", [](const Bake& b) { return b.result.parents; },
            "For each node, the index of the node wired into its input 0, or -1.")
        .def_property_readonly(
            "times",
            [](const Bake& b) {
                return py::array_t<double>(static_cast<py::ssize_t>(b.result.times.size()),
                                           b.result.times.data());
            },
            "The seconds of each sample, as cooked.")
        .def(
            "save",
            [](const Bake& b, const std::string& path) {
                checkWriteOverInputs(*b.state->scene, bakeFiles(path), "save");
                const py::gil_scoped_release unlocked;
                return BakeWriter(path, b.origin).finish(b.result);
            },
            "path"_a,
            "Write the bake as mhost bake --out does, by path's extension: .npy (with .json "
            "beside it), .glb, .gltf or .usda; returns the warnings as strings.")
        .def("__repr__", [](const Bake& b) {
            return "<Bake " + std::to_string(b.result.frames()) + " samples of " +
                   std::to_string(b.result.names.size()) + " nodes>";
        });

    py::class_<Viewer>(m, "Viewer",
                       "The 3D viewer's self-contained page for a sweep; a notebook shows it "
                       "inline.")
        .def_readonly("html", &Viewer::html, "The page, one HTML file.")
        .def("_repr_html_", &Viewer::reprHtml, "The page in an iframe, for notebooks.")
        .def(
            "save",
            [](const Viewer& v, const std::string& path) {
                checkWriteOverInputs(*v.state->scene, {path}, "save");
                writeFileAtomically(path, v.html);
            },
            "path"_a, "Write the page to path by mhost's output rules.")
        .def("__repr__", [](const Viewer& v) {
            return "<Viewer " + std::to_string(v.html.size()) + " bytes>";
        });

    py::class_<Parm>(m, "Parm", "What a parameter is: its interface and its state.")
        .def_readonly("token", &Parm::token)
        .def_readonly("label", &Parm::label)
        .def_readonly("type", &Parm::type,
                      "\"float\", \"int\", \"menu\", \"toggle\", \"string\", \"button\", "
                      "\"separator\", \"switcher\" or \"list\" (a multi-parameter).")
        .def_readonly("size", &Parm::size, "The number of components.")
        .def_readonly("default", &Parm::defaults, "The default of each component (a tuple).")
        .def_readonly("menu", &Parm::menu, "The menu items as (token, label) pairs.")
        .def_readonly("enabled", &Parm::enabled)
        .def_readonly("visible", &Parm::visible)
        .def_readonly("animated", &Parm::animated, "True when a component has keyframes.")
        .def("__repr__", [](const Parm& p) {
            return "<Parm " + p.token + " (" + p.type +
                   (p.size > 1 ? " x" + std::to_string(p.size) : "") + ")" +
                   (p.enabled ? "" : " disabled") + ">";
        });

    py::class_<Node>(m, "Node",
                     "A node of a Scene. It refers to the node by name: once the node is "
                     "removed, using it raises KeyError.")
        .def_property_readonly("name", &Node::name, "The node's name.")
        .def_property_readonly("type", &Node::type, "The name of the node's type.")
        .def("set", &Node::set, "token"_a, "value"_a, "time"_a = 0.0, "component"_a = py::none(),
             "Edit a parameter as a user does: write the value, run the parameter's callback "
             "and refresh the enabled states (a script's \"set\").\n\n"
             "value is a number, text, or a sequence of them for components 0, 1, ...; with "
             "component=k a single value goes to component k. A menu parameter also takes an "
             "item's token (\"quat\"); a list's count a whole number. A keyed component gets a "
             "key at time.")
        .def("get", &Node::value, "token"_a, "time"_a = 0.0,
             "The parameter's value at time: a float (or str) for one component, a tuple for "
             "several.")
        .def("parm", &Node::parm, "token"_a, "The parameter's interface and state, as a Parm.")
        .def("parms", &Node::parms, "Every parameter of the node, in order, as Parm objects.")
        .def("keyframes", &Node::keyframes, "token"_a, "keys"_a, "component"_a = 0,
             "Replace one component's channel with keys, [(time, value), ...]. An empty list "
             "makes the component constant again (at its value at time 0).")
        .def("set_input", &Node::setInput, "index"_a, "node"_a,
             "Wire node (or None: nothing) into input index. Raises ValueError for a wiring "
             "that would make a cycle.")
        .def("input", &Node::input, "index"_a, "The node wired into input index, or None.")
        .def("inputs", &Node::inputs, "The node (or None) wired into each input.")
        .def("press", &Node::press, "token"_a, "time"_a = 0.0,
             "Press a button at time. Returns the list of Warnings the press raised.")
        .def("cook", &Node::cook, "time"_a = 0.0,
             "Cook the node (its parents first) at time. Returns a Cook with local and world "
             "matrices, the result, the severity and the warnings.")
        .def("transform", &Node::transform, "time"_a = 0.0,
             "Translate, rotate (degrees) and scale of the local matrix at time, in the node's "
             "orders, as mhost's table shows them (a Transform).")
        .def("sweep", &Node::sweep, "start"_a, "stop"_a, "steps"_a, "token"_a = "driverval",
             "time"_a = 0.0,
             "Cook the node at time for steps + 1 equally spaced values of a number parameter "
             "(\"driverval\" by default) from start to stop, each set as a user edit. Returns a "
             "numpy structured array with the fields time, driver (the value), local and world "
             "(4x4), translate, rotate and scale (3), severity. The parameter, keyframes "
             "included, is put back afterwards.")
        .def("sweep_time", &Node::sweepTime, "start"_a, "stop"_a, "steps"_a,
             "Cook the node at steps + 1 equally spaced times from start to stop (seconds), its "
             "parameters as they are: an animated driver follows its keyframes. Returns the "
             "same numpy structured array as sweep (driver is \"driverval\", or NaN for a node "
             "without one).")
        .def("export", &Node::exportSweep, "path"_a, "start"_a, "stop"_a, "steps"_a,
             "over"_a = "driver", "time"_a = 0.0,
             "Sweep the node as sweep (over=\"driver\", at time) or sweep_time (over=\"time\", "
             "start and stop in seconds) do, and write the sweep as mhost's --gltf and --html "
             "do: a glTF 2.0 animation for a path ending in .gltf or .glb, the 3D viewer page "
             "for one ending in .html. Returns the warnings of the export (shear that glTF "
             "cannot hold), as strings.")
        .def("viewer", &Node::viewer, "start"_a, "stop"_a, "steps"_a, "over"_a = "driver",
             "time"_a = 0.0,
             "The 3D viewer of the node swept as export() sweeps it, as a Viewer that "
             "notebooks show inline.")
        .def("keys", &Node::keys,
             "The keys of a keyed node, key 0 first, as Key objects (ValueError for another "
             "node).")
        .def("set_keys", &Node::setKeys, "keys"_a,
             "Make the node's keys these (key 0 first; \"numkeys\" follows); its interp and "
             "ease stay.")
        .def("mirror_keys", &Node::mirrorKeysTo, "to"_a, "axis"_a = "x",
             "Give to (a Node or a name) this node's keys mirrored across the plane through the "
             "origin normal to axis (\"x\", \"y\" or \"z\"), with its interp and ease.")
        .def("copy_keys", &Node::copyKeysTo, "to"_a,
             "Give to (a Node or a name) this node's keys, interp and ease, bit for bit.")
        .def("insert_key", &Node::insertKeyAt, "driver"_a,
             "Add a key at driver holding the blended pose there (the node's pose at driver "
             "stays); returns its key number.")
        .def("delete_key", &Node::deleteKeyAt, "key"_a,
             "Remove key (1 or later); the keys after it are renumbered.")
        .def("sort_keys", &Node::sortKeysByDriver,
             "Order keys 1 and later by driver value, ties in key order.")
        .def("retime_keys", &Node::retimeKeysBy, "scale"_a, "offset"_a = 0.0,
             "Map every key's driver value v to scale * v + offset (scale above 0).")
        .def("export_keys", &Node::exportKeys, "path"_a,
             "Write the node's keys, interp and ease to a key library file.")
        .def("import_keys", &Node::importKeys, "path"_a,
             "Make the node's keys, interp and ease those of a key library file.")
        .def("__repr__", &Node::repr)
        .def("__eq__",
             [](const Node& a, const py::object& b) {
                 return py::isinstance<Node>(b) && a == b.cast<const Node&>();
             })
        .def("__hash__", &Node::hash);

    py::class_<PyScene>(m, "Scene",
                        "A scene: the host with its modules and one network of object nodes.")
        .def(py::init<const std::optional<std::vector<std::string>>&>(), "modules"_a = py::none(),
             "An empty scene. The modules of the default search path (MORVANE_DSO_PATH, or "
             "the folder beside the host library) are loaded, and each of modules (paths, or "
             "file names in the search path) as well.")
        .def_static("load", &PyScene::load, "path"_a, "modules"_a = py::none(),
                    "Read a scene file (mhost's format). Raises OSError when it cannot be read "
                    "and ValueError, naming the node and parameter, when it is malformed.")
        .def_static("loads", &PyScene::loads, "text"_a, "source"_a = "text",
                    "modules"_a = py::none(),
                    "A scene from the text of a scene file, as load reads one; source names "
                    "it in messages.")
        .def("dumps", &PyScene::dumps, "The scene file's text, as save writes it.")
        .def("bake", &PyScene::bake, "start"_a, "stop"_a, "steps"_a, "nodes"_a = py::none(),
             "threads"_a = py::none(), "frames"_a = py::none(),
             "Cook every node (or nodes, names or Nodes, and the nodes they read) at steps + 1 "
             "equal times from start to stop seconds, as mhost bake does; threads worker "
             "processes (None: one per core), frames=(i, j) for samples i to j only. Returns "
             "a Bake, the same matrices bit for bit whatever the threads.")
        .def("save", &PyScene::save, "path"_a, py::kw_only(), "overwrite"_a = false,
             "Write the scene file by mhost's rules: complete or not at all, through a "
             "symbolic link to its target, keeping the file's permissions. Over the file "
             "the scene was loaded from, it raises FileChangedError, writing nothing, when "
             "that file changed on disk since it was read, unless overwrite.")
        .def("create", &PyScene::create, "type"_a, "name"_a = py::none(),
             "Make a node of the type; without a name the host picks one. Returns the Node.")
        .def("node", &PyScene::node, "name"_a, "The Node with this name (KeyError otherwise).")
        .def("nodes", &PyScene::nodes, "Every node, in the order they were made.")
        .def("types", &PyScene::types, "The names of the node types the scene can make.")
        .def("modules", &PyScene::modules, "The loaded module files.")
        .def("remove", &PyScene::remove, "node"_a, "Remove a node (a Node or a name).")
        .def("__getitem__", &PyScene::node, "name"_a)
        .def("__contains__", &PyScene::contains, "name"_a)
        .def("__len__", &PyScene::size)
        .def("__iter__", [](const PyScene& s) { return py::iter(py::cast(s.nodes())); })
        .def("__repr__", &PyScene::repr);
}
