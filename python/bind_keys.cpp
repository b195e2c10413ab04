// Keys: the Key class, one key of a keyed node as a key library holds it,
// and the key tools as methods of Node, on the node's library form.
#include "bindings.hpp"

using namespace pybind11::literals;

namespace mhost::python {

std::vector<Key> Node::keys() const {
    const OP_Node& node = get();
    requireKeyedNode(node);
    std::vector<Key> out;
    for (const KeyRecord& k : readKeys(node).keys)
        out.push_back({k.driver, k.enable, k.translate, k.rotate, k.scale, k.pivot, k.uniformScale,
                       keyMenuName(node, KeyMenu::TransformOrder, k.transformOrder),
                       keyMenuName(node, KeyMenu::RotateOrder, k.rotateOrder)});
    return out;
}

void Node::setKeys(const std::vector<Key>& keys) {
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

void Node::exportKeys(const std::string& path) const {
    checkWriteOverInputs(*state_->scene, {path}, "export_keys");
    writeFileAtomically(path, formatJson(keyLibrary(get())));
}

void Node::importKeys(const std::string& path) {
    OP_Node& node = get();
    writeKeys(node, keysFromLibrary(node, readJsonFile(path), path));
}

void Node::mirrorKeysTo(const py::object& to, const std::string& axis) {
    mirrorKeys(get(), sibling(to), mirrorAxisFrom(axis));
}

void initKeys(py::module_& m) {
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
}

void bindNodeKeys(py::class_<Node>& node) {
    node.def("keys", &Node::keys,
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
             "Make the node's keys, interp and ease those of a key library file.");
}

} // namespace mhost::python
