// The ways a ZelMsg comes to be besides ZelMsg(): adopting a message the library gave out,
// copies, and ZelMsg.build.
#include "new_messages.hpp"

#include "errors.hpp"
#include "interpreter.hpp"
#include "property_table.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace zelmsg {

py::object PyZelMsg::adopt(solClient_opaqueMsg_pt msg, py::handle cls, PyZelMsg **native_p) {
    // An instance of cls as cls.__new__(cls) makes one, with no __init__ run. pybind11 owns
    // the native object once init_instance has taken it, and the message goes in last: if
    // anything before fails, msg stays its caller's.
    const InterpreterState &state = interpreter_state();
    if (!PyType_Check(cls.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls.ptr()), state.message_type))
        refuse_argument(cls, "a new ZelMsg", "ZelMsg or a subclass of it as its class");
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    const py::tuple no_arguments;
    py::object made = py::reinterpret_steal<py::object>(type->tp_new(type, no_arguments.ptr(), nullptr));
    if (!made) raise_python_error();
    if (!PyObject_TypeCheck(made.ptr(), state.message_type)) throw py::type_error("__new__ did not make a ZelMsg");
    auto *instance = reinterpret_cast<py::detail::instance *>(made.ptr());
    py::detail::value_and_holder holder = instance->get_value_and_holder(state.message_info);
    // pybind11 may have allocated the storage already, zero-filled, if Python code reached it
    // before (a subclass's __new__ that reads an attribute): it is used, not leaked.
    if (holder.holder_constructed()) throw py::type_error("__new__ made a ZelMsg that already holds a message");
    if (!holder.value_ptr()) holder.value_ptr() = new PyZelMsg(Empty{});
    auto *native = holder.value_ptr<PyZelMsg>();
    state.message_info->init_instance(instance, nullptr);
    native->msg_ = msg;
    if (native_p) *native_p = native;
    return made;
}

py::object instance_state(py::handle self) {
    const InterpreterState &state = interpreter_state();
    // A ZelMsg itself keeps no Python state: only a subclass can.
    if (Py_IS_TYPE(self.ptr(), state.message_type)) return py::none();
    PyObject *found = PyObject_CallMethodNoArgs(self.ptr(), state.getstate_name);
    if (!found) raise_python_error();
    return py::reinterpret_steal<py::object>(found);
}

void check_instance_state(py::handle target, py::handle state) {
    if (state.is_none()) return;
    const bool pair = PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 2;
    const py::handle attributes = pair ? PyTuple_GET_ITEM(state.ptr(), 0) : state.ptr();
    const py::handle slots = pair ? PyTuple_GET_ITEM(state.ptr(), 1) : Py_None;
    const bool shaped =
        (attributes.is_none() || PyDict_Check(attributes.ptr())) && (slots.is_none() || PyDict_Check(slots.ptr()));
    if (!shaped) refuse_argument(state, "a ZelMsg's instance state", "None, a dict, or a (dict, dict) pair");
    PyObject *own = nullptr;
    if (PyObject_GetOptionalAttr(target.ptr(), interpreter_state().dict_name, &own) < 0) raise_python_error();
    Py_XDECREF(own);
    if (!own && !attributes.is_none() && PyDict_GET_SIZE(attributes.ptr()) > 0)
        throw py::type_error("a ZelMsg's instance state holds attributes, but its class keeps no __dict__");
}

void apply_instance_state(py::handle target, py::handle state) {
    if (state.is_none()) return;
    const bool pair = PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 2;
    const py::handle attributes = pair ? PyTuple_GET_ITEM(state.ptr(), 0) : state.ptr();
    const py::handle slots = pair ? PyTuple_GET_ITEM(state.ptr(), 1) : Py_None;
    if (!attributes.is_none() && PyDict_GET_SIZE(attributes.ptr()) > 0)
        target.attr(interpreter_state().dict_name).attr("update")(attributes);
    if (slots.is_none()) return;
    Py_ssize_t position = 0;
    PyObject *name = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(slots.ptr(), &position, &name, &value))
        if (PyObject_SetAttr(target.ptr(), name, value) != 0) raise_python_error();
}

py::object copy_message(py::handle self, py::handle memo) {
    OwnedMessage copy(self.cast<const PyZelMsg &>().duplicate("libsolclient could not copy the message"));
    py::object made = copy.adopt_as(py::type::handle_of(self));
    py::object state = instance_state(self);
    if (!memo.is_none()) {
        memo[py::int_(reinterpret_cast<std::uintptr_t>(self.ptr()))] = made;
        if (!state.is_none()) state = py::module_::import("copy").attr("deepcopy")(state, memo);
    }
    check_instance_state(made, state);
    apply_instance_state(made, state);
    return made;
}

py::object shallow_copy(py::handle self, py::handle) { return copy_message(self, py::none()); }

py::object deep_copy(py::handle self, py::handle memo) {
    if (!PyDict_Check(memo.ptr())) refuse_argument(memo, "ZelMsg.__deepcopy__", "the memo dict of copy.deepcopy");
    return copy_message(self, memo);
}

py::object build_message(py::handle cls, PyObject *const *arguments, Py_ssize_t count, PyObject *names) {
    // Every name is checked before a message exists; the setters then run in registration
    // order, user_properties first, whatever the order of the keywords.
    if (count != 0) throw py::type_error("ZelMsg.build() takes keyword arguments only");
    const std::vector<Writable> &table = writables();
    const std::size_t first_place = user_properties_place();
    PyObject *places = interpreter_state().build_places;
    std::vector<PyObject *> values(table.size(), nullptr);
    unsigned roles = 0;
    std::size_t payloads = 0;
    const Py_ssize_t given = names ? PyTuple_GET_SIZE(names) : 0;
    for (Py_ssize_t i = 0; i < given; ++i) {
        PyObject *name = PyTuple_GET_ITEM(names, i);
        PyObject *place = PyDict_GetItemWithError(places, name);
        if (!place) {
            if (PyErr_Occurred()) raise_python_error();
            // %U, since a keyword may be a str with no UTF-8 form (a lone surrogate).
            const char *kind = PyObject_HasAttrWithError(cls.ptr(), name) == 1 ? "read-only attribute" : "attribute";
            PyErr_Format(PyExc_TypeError, "ZelMsg.build() takes no %s '%U'", kind, name);
            raise_python_error();
        }
        const std::size_t index = PyLong_AsSize_t(place);
        values[index] = arguments[i];
        roles |= table[index].role;
        payloads += (table[index].role & kPayload) != 0;
    }
    if (payloads > 1)
        throw py::type_error("ZelMsg.build() takes at most one of body, text, json, msgpack, map and stream");
    if ((roles & kCodec) && (roles & kContentType))
        throw py::type_error("ZelMsg.build() takes content_type or a codec (json, msgpack), not both");
    OwnedMessage msg;
    if (solClient_msg_alloc(msg.out()) != SOLCLIENT_OK) refused("libsolclient cannot allocate a message");
    PyZelMsg *native = nullptr;
    py::object made = msg.adopt_as(cls, &native);  // freed with made if a value raises
    const auto apply = [&](std::size_t place) { table[place].set(*native, values[place], table[place].where); };
    if (values[first_place]) apply(first_place);
    for (std::size_t place = 0; place < table.size(); ++place)
        if (values[place] && place != first_place) apply(place);
    return made;
}

}  // namespace zelmsg
