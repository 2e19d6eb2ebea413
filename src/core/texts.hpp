// Text between Python and the library, both ways, by one rule: what Python gives must have
// a UTF-8 form with no NUL inside (the library would cut the text there), and what the
// library gives must be UTF-8. Anything else is zelmsg's own ValueError, naming where the
// text was, and carrying nothing of the text: not in its message, and not as a chained
// UnicodeError's object. Inline, as pybind11's casters of zelmsg's types use them in any
// module that takes those types.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

#include "errors.hpp"

namespace zelmsg {

namespace py = pybind11;

// The library's text as a str; a null one reads as empty. `where` names what held it
// ("ZelMsg.correlation_id").
inline py::str text_object(const char *text, std::size_t size, const char *where) {
    if (!text) return py::str();
    PyObject *decoded = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), nullptr);
    if (!decoded) {
        PyErr_Clear();  // its UnicodeDecodeError would carry the text
        PyErr_Format(PyExc_ValueError, "%s holds text that is not UTF-8", where);
        raise_python_error();
    }
    return py::reinterpret_steal<py::str>(decoded);
}
inline py::str text_object(const char *text, const char *where) {
    return text_object(text, text ? std::strlen(text) : 0, where);
}

// text, checked to hold no NUL, as the NUL-terminated string the library takes; it must be
// NUL-terminated beyond its end, as Python's buffers and std::string are.
inline const char *c_text(std::string_view text, const char *where) {
    if (text.find('\0') != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError, "%s: the text holds a NUL character, where the library would cut it", where);
        raise_python_error();
    }
    return text.data();
}

// A str's UTF-8; a str with no UTF-8 form (a lone surrogate) raises ValueError. The view
// lives as long as the str.
inline std::string_view str_bytes(PyObject *text, const char *where) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s: the text cannot be encoded as UTF-8 (it holds a lone surrogate)", where);
        raise_python_error();
    }
    return {data, static_cast<std::size_t>(size)};
}
// The same, checked as c_text checks.
inline std::string_view str_text(PyObject *text, const char *where) {
    const std::string_view bytes = str_bytes(text, where);
    c_text(bytes, where);
    return bytes;
}

// A text argument's bytes: a str's UTF-8, or the bytes of bytes or a bytearray, as they are.
// The view points into value, good until Python code runs; a caller hands it on at once.
// Other types raise refuse_argument's TypeError.
inline std::string_view text_bytes(py::handle value, const char *where, const char *accepts) {
    PyObject *object = value.ptr();
    if (PyUnicode_Check(object)) return str_bytes(object, where);
    if (PyBytes_Check(object)) return {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
    if (PyByteArray_Check(object))
        return {PyByteArray_AS_STRING(object), static_cast<std::size_t>(PyByteArray_GET_SIZE(object))};
    refuse_argument(value, where, accepts);
}
// The same, checked as c_text checks.
inline std::string_view text_argument(py::handle value, const char *where, const char *accepts) {
    const std::string_view bytes = text_bytes(value, where, accepts);
    c_text(bytes, where);
    return bytes;
}
// The same, with None as no text.
inline std::optional<std::string_view> optional_text_argument(py::handle value, const char *where,
                                                              const char *accepts) {
    if (value.is_none()) return std::nullopt;
    return text_argument(value, where, accepts);
}

// Text for diagnostics, the dump: bytes that are not UTF-8 show as \x escapes.
py::str diagnostic_text(std::string_view text);

// A str's UTF-8 with no NUL inside, or null when it has none: a name no field can have.
const char *utf8_or_null(PyObject *text);

}  // namespace zelmsg
