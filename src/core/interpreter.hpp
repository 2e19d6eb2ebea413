// What zelmsg keeps for each interpreter that imports it: the types it registers there and
// the Python objects it looks up once. A legacy sub-interpreter imports the module afresh
// and gets a state of its own, so no interpreter ever uses another's objects; process-wide
// data holds no Python object at all.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>

namespace zelmsg {

namespace py = pybind11;

// The typed field classes, Int8 ... UInt64, in the order typed_values.cpp lists them.
constexpr std::size_t kIntegerClassCount = 7;

// A function of a codec package, found on first use and then kept.
enum class Codec : std::size_t { json_loads, json_dumps, msgpack_loads, msgpack_dumps, msgpack_packer, count };

struct InterpreterState {
    InterpreterState() = default;
    InterpreterState(const InterpreterState &) = delete;
    InterpreterState &operator=(const InterpreterState &) = delete;
    ~InterpreterState();  // drops every reference below

    // Owned references, or null until filled.
    PyTypeObject *message_type = nullptr;  // ZelMsg
    const py::detail::type_info *message_info = nullptr;
    std::array<PyTypeObject *, kIntegerClassCount> integer_types{};
    PyTypeObject *float32_type = nullptr;
    PyTypeObject *wchar_type = nullptr;
    PyTypeObject *smf_type = nullptr;
    PyTypeObject *unknown_field_type = nullptr;
    PyTypeObject *view_type = nullptr;  // UserProperties
    PyTypeObject *trace_context_type = nullptr;
    PyObject *mapping_abc = nullptr;    // collections.abc.Mapping
    PyObject *dict_name = nullptr;      // "__dict__"
    PyObject *getstate_name = nullptr;  // "__getstate__"
    PyObject *build_places = nullptr;   // ZelMsg.build: a dict from each writable name to its place
    std::array<PyObject *, static_cast<std::size_t>(Codec::count)> codecs{};
    PyObject *raw_keyword = nullptr;  // ("raw",), the keyword names of msgpack.loads
    PyObject *pack = nullptr;         // the pack method of a msgpack.Packer kept for the setter
    bool packing = false;             // whether that packer is at work
};

// The state of the interpreter that calls, made by its exec step; null in an interpreter
// that has not imported zelmsg. Cheap: a check of the interpreter's id against the last one
// asked for.
InterpreterState *find_interpreter_state() noexcept;
// The same, raising where there is none.
InterpreterState &interpreter_state();

// Makes the calling interpreter's state, kept in its interpreter dict until it finalises.
InterpreterState &create_interpreter_state();

}  // namespace zelmsg
