// The C API that native modules reach through the capsule zelmsg._C_API (zelmsg/capi.h).
#include "capi.hpp"

#include "interpreter.hpp"

#include "zelmsg/capi.h"

namespace zelmsg {
namespace {

// ZelMsg as the calling interpreter registered it; none where zelmsg was never imported.
PyTypeObject *message_type() noexcept {
    const InterpreterState *state = find_interpreter_state();
    return state ? state->message_type : nullptr;
}

int check(PyObject *obj) {
    PyTypeObject *type = message_type();
    return obj != nullptr && type != nullptr && PyObject_TypeCheck(obj, type);
}

// The PyZelMsg inside an instance of ZelMsg or a subclass, null while pybind11 has not
// allocated it (the object was made by ZelMsg.__new__ alone and never used).
PyZelMsg *native_of(PyObject *obj) {
    auto *instance = reinterpret_cast<py::detail::instance *>(obj);
    // ZelMsg is the object's only bound base: its value pointer is in place.
    if (instance->simple_layout) return static_cast<PyZelMsg *>(instance->simple_value_holder[0]);
    // A Python class that also derives from another bound type keeps one value per base.
    const py::detail::value_and_holder found =
        instance->get_value_and_holder(find_interpreter_state()->message_info, false);
    return found ? found.value_ptr<PyZelMsg>() : nullptr;
}

void *handle(PyObject *msg) {
    if (!check(msg)) {
        PyErr_Format(PyExc_TypeError, "expected a zelmsg.ZelMsg, not %s", msg ? Py_TYPE(msg)->tp_name : "NULL");
        return nullptr;
    }
    PyZelMsg *native = native_of(msg);
    solClient_opaqueMsg_pt held = native ? native->handle_for_native() : nullptr;
    if (!held) PyErr_SetString(PyExc_ValueError, "the ZelMsg holds no message");
    // Native code may change the message's user property map through it.
    ++user_property_map_touches;
    return held;
}

PyObject *adopt(void *handle) {
    if (!handle) {
        PyErr_SetString(PyExc_ValueError, "cannot adopt a null message handle");
        return nullptr;
    }
    try {
        return PyZelMsg::adopt(handle, reinterpret_cast<PyObject *>(interpreter_state().message_type)).release().ptr();
    } catch (...) {
        py::detail::try_translate_exceptions();  // sets the Python error
        return nullptr;
    }
}

// Filled at compile time and never written: the capsule hands out a pointer to it.
constexpr ZelMsg_CAPI table{ZELMSG_CAPI_VERSION, check, handle, adopt};

}  // namespace

py::capsule c_api_capsule() { return py::capsule(&table, ZELMSG_CAPSULE_NAME); }

}  // namespace zelmsg
