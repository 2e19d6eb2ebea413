// The typed field classes: Python values that say which type of field they are, as int,
// float, str and bytes subclasses. Int8, Int16, Int32, UInt8, UInt16, UInt32 and UInt64 take
// what int(x) takes within their range, Float32 a float rounded to 32 bits, WChar one
// character of the Basic Multilingual Plane; Smf takes what bytes(x) takes, and UnknownField
// the same when it is one whole encoded field that the library reads as UNKNOWN.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "interpreter.hpp"
#include "solclient.h"

namespace zelmsg {

// Makes the classes in the module and keeps them in the interpreter's state: the numbers and
// WChar, and then, registered later, Smf and UnknownField.
void register_typed_values(py::module_ &m, InterpreterState &state);
void register_byte_fields(py::module_ &m, InterpreterState &state);

// The value of an int object, if it lies in [min, max]; a negative one as its two's complement.
std::optional<unsigned long long> bits_in_range(PyObject *number, long long min, unsigned long long max);

// The field an instance of a typed class becomes, its type and value set (an SMF or UNKNOWN
// field points into the instance, which the caller holds); false for any other value.
bool typed_field(const InterpreterState &state, PyObject *value, solClient_field_t &field);
// Whether type is one of the typed classes itself, not a subclass: the field an instance becomes
// is then read without running any Python code.
bool is_typed_class(const InterpreterState &state, PyTypeObject *type);

// The typed value of a field the library read: INT8 ... UINT64 (not INT64), FLOAT, WCHAR,
// SMF and UNKNOWN.
py::object typed_value(const solClient_field_t &field);

}  // namespace zelmsg
