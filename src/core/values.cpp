// Destination's methods beyond its record: equality, its repr and pickling.
#include "values.hpp"

#include "errors.hpp"

namespace zelmsg {
namespace {

// The name as a str, or as the bytes it is when it is not UTF-8: what the constructor takes.
py::object name_object(const Destination &d) {
    PyObject *name = PyUnicode_DecodeUTF8(d.dest.data(), static_cast<Py_ssize_t>(d.dest.size()), nullptr);
    if (name) return py::reinterpret_steal<py::object>(name);
    PyErr_Clear();
    return py::bytes(d.dest);
}

py::object compare(py::handle self, py::handle other, bool equal) {
    if (!py::isinstance<Destination>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    return py::bool_((self.cast<const Destination &>() == other.cast<const Destination &>()) == equal);
}

}  // namespace

py::object destination_repr(py::handle self, py::handle) {
    const Destination &d = self.cast<const Destination &>();
    const py::object type = py::cast(d.dest_type);
    // A number the enum does not name reads back through DestinationType(n).
    const bool named = py::type::handle_of(type).attr("__members__").contains(type.attr("name"));
    const py::str type_text = named ? py::str(type) : py::str("DestinationType({})").format(py::int_(type));
    return py::str("Destination({!r}, {})").format(name_object(d), type_text);
}

py::object destination_equals(py::handle self, py::handle other) { return compare(self, other, true); }

py::object destination_differs(py::handle self, py::handle other) { return compare(self, other, false); }

py::object destination_reduce(py::handle self, py::handle) {
    const Destination &d = self.cast<const Destination &>();
    PyObject *attributes = nullptr;
    if (PyObject_GetOptionalAttrString(self.ptr(), "__dict__", &attributes) < 0) raise_python_error();
    const py::object state = attributes ? py::reinterpret_steal<py::object>(attributes) : py::none();
    return py::make_tuple(py::type::handle_of(self), py::make_tuple(name_object(d), py::cast(d.dest_type)), state);
}

}  // namespace zelmsg
