// Failures of the engine as Python exceptions: ValueError (bad values,
// files, actions), KeyError (no such node, type or parameter), OSError (a
// file cannot be read or written; FileChangedError, one of them, when a save
// would replace a file changed since it was read), TypeError, IndexError, or
// RuntimeError (an action that failed while it ran), with mhost's messages.
#include "bindings.hpp"

namespace mhost::python {

namespace {

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

} // namespace

void initErrors(py::module_& m) {
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
}

} // namespace mhost::python
