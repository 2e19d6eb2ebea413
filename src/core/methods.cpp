#include "methods.hpp"

#include "errors.hpp"

namespace zelmsg {

void add_methods(py::handle cls, PyMethodDef *definitions) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    for (PyMethodDef *definition = definitions; definition->ml_name; ++definition) {
        PyObject *descriptor = (definition->ml_flags & METH_CLASS) ? PyDescr_NewClassMethod(type, definition)
                                                                   : PyDescr_NewMethod(type, definition);
        if (!descriptor) raise_python_error();
        cls.attr(definition->ml_name) = py::reinterpret_steal<py::object>(descriptor);
    }
}

void add_functions(py::module_ &m, PyMethodDef *definitions) {
    const py::object name = m.attr("__name__");
    for (PyMethodDef *definition = definitions; definition->ml_name; ++definition) {
        PyObject *function = PyCFunction_NewEx(definition, m.ptr(), name.ptr());
        if (!function) raise_python_error();
        m.attr(definition->ml_name) = py::reinterpret_steal<py::object>(function);
    }
}

}  // namespace zelmsg
