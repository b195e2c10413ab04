// The Python module `morvane`: scenes of the stand-in Morvane host, driven
// from Python through the same engine as mhost (mhost_core). Its entry
// adds each part's classes (python/bind_*.cpp, sharing python/bindings.hpp).
#include "bindings.hpp"

PYBIND11_MODULE(_core, m) {
    using namespace mhost;
    using namespace mhost::python;
    m.attr("__version__") = MHOST_VERSION;
    m.doc() = "Scenes of the Morvane host: build rigs, edit them as a user would, cook them and "
              "read the transforms into numpy. The same engine as the mhost program.\n\n"
              "Matrices are 4x4 float64 arrays for row vectors (p' = p @ M, translation in the "
              "last row); rotations are in degrees; times in seconds.";

    initErrors(m);
    initKeys(m);
    initNode(m);
    initBake(m);
    initScene(m);
}
