// Nodes: Node (a node of a scene, found again by name on each use, so that
// a removed node raises instead of crashing), with what its methods return:
// Parm, Cook, Transform, CookWarning and Viewer.
#include "bindings.hpp"

using namespace pybind11::literals;

namespace mhost::python {

bool Node::alive() const {
    const auto id = state_->ids.find(node_);
    return id != state_->ids.end() && id->second == id_ &&
           state_->scene->root().findNode(name_) == node_;
}

OP_Node& Node::get() const {
    if (!alive())
        throw InputError("node " + quote(name_) + " is no longer in its scene",
                         FailureKind::Lookup);
    return *node_;
}

OP_Node& Node::sibling(const py::object& other) const {
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

std::string Node::repr() const {
    if (!alive())
        return "<Node " + name_ + " (removed)>";
    return "<Node " + name_ + " (" + type() + ")>";
}

void Node::set(const std::string& token, const py::object& value, double time,
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

py::object Node::value(const std::string& token, double time) const {
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

Parm Node::parm(const std::string& token) const {
    OP_Node& node = get();
    const PRM_Parm& p = *node.getParm(requireParm(node, token));
    return describeParm(p);
}

std::vector<Parm> Node::parms() const {
    OP_Node& node = get();
    std::vector<Parm> out;
    for (int i = 0; i < node.getParmCount(); ++i)
        out.push_back(describeParm(*node.getParm(i)));
    return out;
}

void Node::keyframes(const std::string& token, const std::vector<std::pair<double, double>>& keys,
                     int component) {
    std::vector<UT_Keyframe> list;
    for (const auto& [time, value] : keys)
        list.push_back({seconds(time), value});
    replaceKeyframes(get(), token, component, std::move(list));
}

void Node::setInput(int index, const std::optional<Node>& from) {
    if (from && from->state_ != state_)
        throw InputError(describeNode(from->get()) + " is in another scene than " +
                         describeNode(get()));
    wireInput(get(), index, from ? &from->get() : nullptr);
}

std::optional<Node> Node::input(int index) const {
    OP_Node& node = get();
    if (index < 0 || static_cast<unsigned>(index) >= node.nInputs())
        throw InputError(describeNode(node) + " has no input " + std::to_string(index) +
                             " (it has " + std::to_string(node.nInputs()) + ")",
                         FailureKind::Index);
    if (OP_Node* in = node.getInput(static_cast<unsigned>(index)))
        return Node(state_, *in);
    return std::nullopt;
}

std::vector<std::optional<Node>> Node::inputs() const {
    std::vector<std::optional<Node>> out;
    for (unsigned i = 0; i < get().nInputs(); ++i)
        out.push_back(input(static_cast<int>(i)));
    return out;
}

std::vector<CookWarning> Node::press(const std::string& token, double time) {
    return warnings(pressButton(get(), token, seconds(time)));
}

Cook Node::cook(double time) {
    const CookResult row = cookNode(asObject(get()), seconds(time));
    return {row.time,
            row.local,
            row.world,
            row.xformResult,
            row.severity,
            warnings(row.messages),
            transformOf(row.pose)};
}

py::object Node::sweep(double start, double stop, long long steps, const std::string& token,
                       double time) {
    const SweepRange range = SweepRange::checked(start, stop, steps);
    return rows(sweepParm(asObject(get()), seconds(time), range, token, checkSignals));
}

py::object Node::sweepTime(double start, double stop, long long steps) {
    return rows(
        mhost::sweepTime(asObject(get()), SweepRange::checked(start, stop, steps), checkSignals));
}

std::vector<std::string> Node::exportSweep(const std::string& path, double start, double stop,
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

Viewer Node::viewer(double start, double stop, long long steps, const std::string& over,
                    double time) {
    const auto [report, capture] = sweepOver(start, stop, steps, over, time);
    return {renderViewerHtml(report, capture), state_};
}

std::pair<EvalReport, RigCapture> Node::sweepOver(double start, double stop, long long steps,
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

py::object Node::rows(const EvalReport& report) {
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
                                  matrix(row.local), matrix(row.world), triple(row.pose.translate),
                                  triple(row.pose.rotate), triple(row.pose.scale), row.severity));
    return numpy.attr("array")(out, "dtype"_a = numpy.attr("dtype")(fields));
}

Parm Node::describeParm(const PRM_Parm& p) {
    Parm out;
    out.token = p.getToken();
    out.label = p.getLabel();
    const bool menu =
        p.getType().isOrdinal() && !p.getType().isToggle() && p.getTemplate().getChoiceListPtr();
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
            values[c] = py::str(defaults && defaults[c].getString() ? defaults[c].getString() : "");
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

void initNode(py::module_& m) {
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

    py::class_<Node> node(m, "Node",
                          "A node of a Scene. It refers to the node by name: once the node is "
                          "removed, using it raises KeyError.");
    node.def_property_readonly("name", &Node::name, "The node's name.")
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
             "notebooks show inline.");
    bindNodeKeys(node);
    node.def("__repr__", &Node::repr)
        .def("__eq__",
             [](const Node& a, const py::object& b) {
                 return py::isinstance<Node>(b) && a == b.cast<const Node&>();
             })
        .def("__hash__", &Node::hash);
}

} // namespace mhost::python
