// Conversions between the engine's values and Python's, for the module's parts.
#include "bindings.hpp"

namespace mhost::python {

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

std::string tripleText(const std::array<double, 3>& v) {
    return "(" + formatShortest(v[0]) + ", " + formatShortest(v[1]) + ", " + formatShortest(v[2]) +
           ")";
}

std::array<double, 3> tripleFrom(const py::handle& value, const char* what) {
    const auto list = value.cast<std::vector<double>>();
    if (list.size() != 3)
        throw InputError(std::string(what) + " takes 3 numbers, not " + std::to_string(list.size()),
                         FailureKind::Type);
    return {list[0], list[1], list[2]};
}

std::vector<CookWarning> warnings(const std::vector<OP_ErrorEntry>& entries) {
    std::vector<CookWarning> out;
    for (const OP_ErrorEntry& e : entries)
        out.push_back({e.code, e.message, static_cast<int>(e.severity)});
    return out;
}

Transform transformOf(const Decomposed& pose) {
    return {pose.translate, pose.rotate, pose.scale, !pose.ok};
}

void checkSignals() {
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
}

} // namespace mhost::python
