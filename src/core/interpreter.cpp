// Each interpreter's state, kept in a capsule in its own interpreter dict, which the
// interpreter clears as it finalises: the state and its references go with it.
#include "interpreter.hpp"

#include <cstdint>
#include <stdexcept>

namespace zelmsg {
namespace {

constexpr const char *kCapsuleName = "zelmsg.interpreter_state";

// The last state asked for, by interpreter id: ids are never reused, so an entry for an
// interpreter that is gone is never matched again. Legacy sub-interpreters share the main
// interpreter's lock, which guards these two as it guards every call into the module.
std::int64_t cached_id = -1;
InterpreterState *cached_state = nullptr;

void destroy(PyObject *capsule) { delete static_cast<InterpreterState *>(PyCapsule_GetPointer(capsule, kCapsuleName)); }

}  // namespace

InterpreterState::~InterpreterState() {
    Py_XDECREF(message_type);
    for (PyTypeObject *type : integer_types) Py_XDECREF(type);
    Py_XDECREF(float32_type);
    Py_XDECREF(wchar_type);
    Py_XDECREF(smf_type);
    Py_XDECREF(unknown_field_type);
    Py_XDECREF(view_type);
    Py_XDECREF(trace_context_type);
    Py_XDECREF(mapping_abc);
    Py_XDECREF(dict_name);
    Py_XDECREF(getstate_name);
    Py_XDECREF(build_places);
    for (PyObject *function : codecs) Py_XDECREF(function);
    Py_XDECREF(raw_keyword);
    Py_XDECREF(pack);
}

InterpreterState *find_interpreter_state() noexcept {
    PyInterpreterState *interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == cached_id) return cached_state;
    PyObject *dict = PyInterpreterState_GetDict(interpreter);
    PyObject *capsule = nullptr;
    if (!dict || PyDict_GetItemStringRef(dict, kCapsuleName, &capsule) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    auto *state = static_cast<InterpreterState *>(PyCapsule_GetPointer(capsule, kCapsuleName));
    Py_DECREF(capsule);  // the interpreter dict holds it
    cached_id = id;
    cached_state = state;
    return state;
}

InterpreterState &interpreter_state() {
    InterpreterState *state = find_interpreter_state();
    if (!state) throw std::runtime_error("zelmsg has not been imported in this interpreter");
    return *state;
}

InterpreterState &create_interpreter_state() {
    PyObject *dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict) throw std::runtime_error("the interpreter has no dict to keep zelmsg's state in");
    auto *state = new InterpreterState();
    const py::object capsule = py::reinterpret_steal<py::object>(PyCapsule_New(state, kCapsuleName, &destroy));
    if (!capsule) {
        delete state;
        throw py::error_already_set();
    }
    if (PyDict_SetItemString(dict, kCapsuleName, capsule.ptr()) != 0) throw py::error_already_set();
    cached_id = -1;  // an interpreter that imports again after a failed exec gets the new state
    return *state;
}

}  // namespace zelmsg
