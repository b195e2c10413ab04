// Scenes: Scene, a host with its modules and one object network.
#include "bindings.hpp"

using namespace pybind11::literals;

namespace mhost::python {

namespace {

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

} // namespace

void initScene(py::module_& m) {
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

} // namespace mhost::python
