// The ways a ZelMsg comes to be besides ZelMsg(): adopting a message the library gave out,
// copies, and ZelMsg.build.
#include "arguments.hpp"
#include "pyzelmsg.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace zelmsg {
namespace {

// The writable properties, in registration order, for ZelMsg.build to apply by name: the
// setters, and a dict from each name to its place. Filled once, by the first registration,
// and kept for the life of the process; made on first use, as nothing of the module's own
// runs when its file is loaded.
std::vector<Setter> &setters() {
    static std::vector<Setter> table;
    return table;
}
PyObject *setter_places = nullptr;

// ZelMsg.build sets the whole user property map before the rest.
constexpr const char *kFirst = "user_properties";

bool one_of(std::string_view name, std::initializer_list<const char *> names) {
    return std::any_of(names.begin(), names.end(), [&](const char *each) { return name == each; });
}

// An instance's __dict__ as an ordinary object's copy carries it: shallow, or deep.
void carry_attributes(py::handle from, py::handle to, py::handle memo) {
    const py::object attributes = py::getattr(from, "__dict__", py::none());
    if (attributes.is_none()) return;
    const py::object copied = memo.is_none() ? py::dict(attributes)
                                             : py::module_::import("copy").attr("deepcopy")(attributes, memo);
    to.attr("__dict__").attr("update")(copied);
}

}  // namespace

void remember_setter(const char *name, Setter set) {
    if (!setter_places) setter_places = py::dict().release().ptr();
    py::reinterpret_borrow<py::dict>(setter_places)[name] = setters().size();
    setters().push_back(set);
}

py::object PyZelMsg::adopt(solClient_opaqueMsg_pt msg, py::handle cls) {
    // An instance of cls as cls.__new__(cls) makes one, with no __init__ run. pybind11 owns
    // the native object once init_instance has taken it, and the message goes in last: if
    // anything before fails, msg stays its caller's.
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    const py::tuple no_arguments;
    py::object made = py::reinterpret_steal<py::object>(type->tp_new(type, no_arguments.ptr(), nullptr));
    if (!made) throw py::error_already_set();
    const py::detail::type_info *info = py::detail::get_type_info(typeid(PyZelMsg));
    if (!PyObject_TypeCheck(made.ptr(), info->type)) throw py::type_error("__new__ did not make a ZelMsg");
    auto *instance = reinterpret_cast<py::detail::instance *>(made.ptr());
    py::detail::value_and_holder holder = instance->get_value_and_holder(info);
    if (holder.holder_constructed()) throw py::type_error("__new__ made a ZelMsg that already holds a message");
    auto *native = new PyZelMsg(Empty{});
    holder.value_ptr() = native;
    info->init_instance(instance, nullptr);
    native->msg_ = msg;
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

py::object build_message(py::handle cls, const py::kwargs &attributes) {
    // Every name is checked before a message exists, and the setters run in registration
    // order, user_properties first, whatever the order of the keywords.
    struct Chosen {
        long order;
        std::size_t place;
        py::handle value;
    };
    std::vector<Chosen> chosen;
    chosen.reserve(attributes.size());
    std::size_t payloads = 0;
    bool codec = false;
    bool content_type = false;
    for (const auto &[key, value] : attributes) {
        PyObject *place = PyDict_GetItemWithError(setter_places, key.ptr());
        const std::string_view name = PyUnicode_AsUTF8(key.ptr());
        if (!place) {
            if (PyErr_Occurred()) throw py::error_already_set();
            const char *kind = py::hasattr(cls, key) ? "read-only attribute" : "attribute";
            throw py::type_error("ZelMsg.build() takes no " + std::string(kind) + " '" + std::string(name) + "'");
        }
        payloads += one_of(name, {"body", "text", "json", "msgpack", "map", "stream"});
        codec = codec || one_of(name, {"json", "msgpack"});
        content_type = content_type || name == "content_type";
        const std::size_t index = PyLong_AsSize_t(place);
        chosen.push_back({name == kFirst ? -1 : static_cast<long>(index), index, value});
    }
    if (payloads > 1) throw py::type_error("ZelMsg.build() takes at most one of body, text, json, msgpack, map and stream");
    if (codec && content_type) throw py::type_error("ZelMsg.build() takes content_type or a codec (json, msgpack), not both");
    std::sort(chosen.begin(), chosen.end(), [](const Chosen &a, const Chosen &b) { return a.order < b.order; });

    OwnedMessage msg;
    if (solClient_msg_alloc(msg.out()) != SOLCLIENT_OK) {
        throw py::value_error("libsolclient cannot allocate a message: " + std::string(last_error_text()));
    }
    py::object made = msg.adopt_as(cls);  // freed with made if a value raises
    PyZelMsg &native = made.cast<PyZelMsg &>();
    for (const Chosen &each : chosen) setters()[each.place](native, each.value);
    return made;
}

}  // namespace zelmsg
