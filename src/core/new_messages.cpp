// The ways a ZelMsg comes to be besides ZelMsg(): adopting a message the library gave out,
// copies, and ZelMsg.build.
#include "arguments.hpp"
#include "pyzelmsg.hpp"

#include <string>
#include <utility>
#include <vector>

namespace zelmsg {
namespace {

// What ZelMsg.build knows of each writable property, in registration order: its setter, and
// whether it writes the payload or the content type. Filled once, by the first registration,
// with a dict from each name to its place, and kept for the life of the process; made on
// first use, as nothing of the module's own runs when its file is loaded.
enum Role : unsigned { kOther = 0, kPayload = 1, kCodec = 2, kContentType = 4 };
struct Writable {
    Setter set;
    unsigned role;
};
std::vector<Writable> &writables() {
    static std::vector<Writable> table;
    return table;
}
PyObject *writable_places = nullptr;
// The place of user_properties, which build applies before the rest.
std::size_t first_place = 0;

unsigned role_of(std::string_view name) {
    for (const char *payload : {"body", "text", "map", "stream"}) {
        if (name == payload) return kPayload;
    }
    if (name == "json" || name == "msgpack") return kPayload | kCodec;
    return name == "content_type" ? kContentType : kOther;
}

// An instance's __dict__ as an ordinary object's copy carries it: shallow, or deep.
void carry_attributes(py::handle from, py::handle to, py::handle memo) {
    const py::object attributes = attributes_of(from);
    if (attributes.is_none()) return;
    const py::object copied = memo.is_none() ? py::dict(attributes)
                                             : py::module_::import("copy").attr("deepcopy")(attributes, memo);
    to.attr("__dict__").attr("update")(copied);
}

}  // namespace

py::object attributes_of(py::handle self) {
    // Asked without raising: a ZelMsg itself has no __dict__, and an AttributeError made and
    // dropped would cost a copy more than the library's dup does.
    static PyObject *const name = PyUnicode_InternFromString("__dict__");
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttr(self.ptr(), name, &found) < 0) throw py::error_already_set();
    return found ? py::reinterpret_steal<py::object>(found) : py::none();
}

void remember_setter(const char *name, Setter set) {
    if (!writable_places) writable_places = py::dict().release().ptr();
    if (std::string_view(name) == "user_properties") first_place = writables().size();
    py::reinterpret_borrow<py::dict>(writable_places)[name] = writables().size();
    writables().push_back({set, role_of(name)});
}

py::object PyZelMsg::adopt(solClient_opaqueMsg_pt msg, py::handle cls, PyZelMsg **native_p) {
    // An instance of cls as cls.__new__(cls) makes one, with no __init__ run. pybind11 owns
    // the native object once init_instance has taken it, and the message goes in last: if
    // anything before fails, msg stays its caller's.
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    const py::tuple no_arguments;
    py::object made = py::reinterpret_steal<py::object>(type->tp_new(type, no_arguments.ptr(), nullptr));
    if (!made) throw py::error_already_set();
    static const py::detail::type_info *const info = py::detail::get_type_info(typeid(PyZelMsg));
    if (!PyObject_TypeCheck(made.ptr(), info->type)) throw py::type_error("__new__ did not make a ZelMsg");
    auto *instance = reinterpret_cast<py::detail::instance *>(made.ptr());
    py::detail::value_and_holder holder = instance->get_value_and_holder(info);
    if (holder.holder_constructed()) throw py::type_error("__new__ made a ZelMsg that already holds a message");
    auto *native = new PyZelMsg(Empty{});
    holder.value_ptr() = native;
    info->init_instance(instance, nullptr);
    native->msg_ = msg;
    if (native_p) *native_p = native;
    return made;
}

solClient_opaqueMsg_pt PyZelMsg::duplicate(const char *refusal) const {
    if (!msg_) throw py::value_error("the ZelMsg holds no message");
    solClient_opaqueMsg_pt copy = nullptr;
    if (solClient_msg_dup(msg_, &copy) != SOLCLIENT_OK || !copy) {
        throw py::value_error(std::string(refusal) + ": " + std::string(last_error_text()));
    }
    return copy;
}

py::object copy_message(py::handle self, py::handle memo) {
    OwnedMessage copy(self.cast<const PyZelMsg &>().duplicate("libsolclient could not copy the message"));
    py::object made = copy.adopt_as(py::type::handle_of(self));
    if (!memo.is_none()) memo[py::int_(reinterpret_cast<std::uintptr_t>(self.ptr()))] = made;
    carry_attributes(self, made, memo);
    return made;
}

PyObject *build_message(PyObject *cls, PyObject *const *arguments, Py_ssize_t count, PyObject *names) noexcept {
    try {
        // Every name is checked before a message exists; the setters then run in
        // registration order, user_properties first, whatever the order of the keywords.
        if (count != 0) throw py::type_error("ZelMsg.build() takes keyword arguments only");
        const std::vector<Writable> &table = writables();
        std::vector<PyObject *> values(table.size(), nullptr);
        unsigned roles = 0;
        std::size_t payloads = 0;
        const Py_ssize_t given = names ? PyTuple_GET_SIZE(names) : 0;
        for (Py_ssize_t i = 0; i < given; ++i) {
            PyObject *name = PyTuple_GET_ITEM(names, i);
            PyObject *place = PyDict_GetItemWithError(writable_places, name);
            if (!place) {
                if (PyErr_Occurred()) throw py::error_already_set();
                // %U, since a keyword may be a str with no UTF-8 form (a lone surrogate).
                const char *kind = PyObject_HasAttrWithError(cls, name) == 1 ? "read-only attribute" : "attribute";
                PyErr_Format(PyExc_TypeError, "ZelMsg.build() takes no %s '%U'", kind, name);
                throw py::error_already_set();
            }
            const std::size_t index = PyLong_AsSize_t(place);
            values[index] = arguments[i];
            roles |= table[index].role;
            payloads += (table[index].role & kPayload) != 0;
        }
        if (payloads > 1) throw py::type_error("ZelMsg.build() takes at most one of body, text, json, msgpack, map and stream");
        if ((roles & kCodec) && (roles & kContentType)) {
            throw py::type_error("ZelMsg.build() takes content_type or a codec (json, msgpack), not both");
        }
        OwnedMessage msg;
        if (solClient_msg_alloc(msg.out()) != SOLCLIENT_OK) {
            throw py::value_error("libsolclient cannot allocate a message: " + std::string(last_error_text()));
        }
        PyZelMsg *native = nullptr;
        py::object made = msg.adopt_as(cls, &native);  // freed with made if a value raises
        if (values[first_place]) table[first_place].set(*native, values[first_place]);
        for (std::size_t place = 0; place < table.size(); ++place) {
            if (values[place] && place != first_place) table[place].set(*native, values[place]);
        }
        return made.release().ptr();
    } catch (...) {
        py::detail::try_translate_exceptions();  // sets the Python error
        return nullptr;
    }
}

}  // namespace zelmsg
