// How zelmsg refuses. A value of the wrong kind is a TypeError, a value that zelmsg or the
// library cannot take a ValueError. No text quotes a value or anything a message holds: they
// end up in logs, and a message may carry secrets.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "solclient.h"

namespace zelmsg {

namespace py = pybind11;

// The TypeError for a value that `where` ("ZelMsg.cos") cannot take: "where takes accepts;
// got type". Set as the Python error and thrown as error_already_set, which pybind11
// restores as it is, at a third less than a pybind11 exception that it must translate.
[[noreturn]] inline void refuse_argument(py::handle value, const char *where, const char *accepts) {
    PyErr_Format(PyExc_TypeError, "%s takes %s; got %s", where, accepts, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

// The text of this thread's last library error; empty when the library has none.
std::string_view last_error_text();

// The ValueError for something the library refused: the sentence, then the library's own
// reason when it gave one.
[[noreturn]] void refused(std::string_view sentence);

// Raises refused("libsolclient refused " + what) unless rc is OK.
void check_call(solClient_returnCode_t rc, const char *what);

// Raises the Python error that is set, as a C++ exception.
[[noreturn]] inline void raise_python_error() { throw py::error_already_set(); }

}  // namespace zelmsg
