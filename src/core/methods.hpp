// Methods registered straight with the C API rather than through pybind11, whose dispatcher
// answers a wrong argument count with a TypeError that quotes repr() of every argument, self
// included: for a ZelMsg, the whole message. Python's own arity errors name the method and
// quote nothing; the function itself says what it takes.
#pragma once

#include <pybind11/pybind11.h>

namespace zelmsg {

namespace py = pybind11;

// A method body raises C++ exceptions as the rest of zelmsg does; these turn them into the
// Python error and a null result. METH_NOARGS and METH_O bodies take (self, argument).
template <py::object (*Body)(py::handle, py::handle)>
PyObject *method(PyObject *self, PyObject *argument) noexcept {
    try {
        return Body(self, argument).release().ptr();
    } catch (...) {
        py::detail::try_translate_exceptions();  // sets the Python error
        return nullptr;
    }
}

// METH_FASTCALL | METH_KEYWORDS bodies.
template <py::object (*Body)(py::handle, PyObject *const *, Py_ssize_t, PyObject *)>
PyObject *fastcall_method(PyObject *self, PyObject *const *arguments, Py_ssize_t count, PyObject *names) noexcept {
    try {
        return Body(self, arguments, count, names).release().ptr();
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

// Adds each entry of definitions, which ends with an empty one and lives as long as the
// process, to a class: an instance method, or a class method with METH_CLASS.
void add_methods(py::handle cls, PyMethodDef *definitions);
// The same for functions of a module.
void add_functions(py::module_ &m, PyMethodDef *definitions);

}  // namespace zelmsg
