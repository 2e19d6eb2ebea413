#include "texts.hpp"

namespace zelmsg {

py::str diagnostic_text(std::string_view text) {
    PyObject *decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
    if (!decoded) raise_python_error();
    return py::reinterpret_steal<py::str>(decoded);
}

const char *utf8_or_null(PyObject *text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        PyErr_Clear();
        return nullptr;
    }
    return std::memchr(data, '\0', static_cast<std::size_t>(size)) ? nullptr : data;
}

}  // namespace zelmsg
