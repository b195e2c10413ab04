// Bakes: every node of a scene cooked at every sample, as numpy arrays.
#include "bindings.hpp"

using namespace pybind11::literals;

namespace mhost::python {

void initBake(py::module_& m) {
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
}

} // namespace mhost::python
