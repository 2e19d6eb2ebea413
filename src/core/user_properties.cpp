// msg.user_properties: a live view of the message's user property map, a MutableMapping
// much as os.environ is a view of the environment. Every operation goes to the library at
// once and nothing is kept but the message, which the view keeps alive.
//
// The library keeps duplicate names: a read by name finds the first field, iteration meets
// them all, deleteField removes them all. The view sees each name once, in order of first
// occurrence, with its first value. The map has one iteration cursor, which a delete leaves
// stale, so every pass rewinds, and iteration walks a list of the names read in one pass.
#include "arguments.hpp"
#include "fields.hpp"

namespace zelmsg {
namespace {

// The user property map is the outermost container of its values.
constexpr int kMapDepth = 1;

class UserProperties {
public:
    explicit UserProperties(py::object owner) : owner_(std::move(owner)), msg_(owner_.cast<PyZelMsg *>()) {}

    py::object get_item(py::handle key) const {
        py::object value = find(key);
        if (!value) throw py::key_error(py::repr(key));
        return value;
    }

    py::object get(py::handle key, py::handle otherwise) const {
        py::object value = find(key);
        return value ? value : py::reinterpret_borrow<py::object>(otherwise);
    }

    bool contains(py::handle key) const { return static_cast<bool>(find(key)); }

    // v[k] = x replaces every field of the name; only a write makes a map.
    void set_item(py::handle key, py::handle value) {
        const char *name = name_text(key);
        const FieldValue field(value, kMapDepth + 1);
        field.replace_in(writable_map().get(), name);
    }

    void del_item(py::handle key) {
        const char *name = name_text(key, true);
        OpenContainer map = open_map();
        if (!name || !map.get() || !has_field(map.get(), name)) throw py::key_error(py::repr(key));
        check_container_call(solClient_container_deleteField(map.get(), name), "removing a property");
    }

    // Snapshots, each read in one rewound pass: the names alone, or with their values.
    py::list keys() const {
        const OpenContainer map = open_map();
        return map.get() ? map_names(map.get()) : py::list();
    }
    py::list values() const { return py::list(read().attr("values")()); }
    py::list items() const { return py::list(read().attr("items")()); }
    py::iterator iter() const { return py::iter(keys()); }
    std::size_t size() const { return py::len(keys()); }

    // Empties the map; a message without one gets none.
    void clear() {
        if (!open_map().get()) return;
        OpenContainer map;
        check_container_call(solClient_msg_createUserPropertyMap(msg_->handle(), map.out(), kUserPropertyMapSize),
                             "emptying the user property map");
    }

    py::object equals(py::handle other) const {
        if (!is_mapping(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(read().equal(py::dict(py::reinterpret_borrow<py::object>(other))));
    }

    py::str repr() const { return py::str("UserProperties({!r})").format(read()); }

    // The whole map, read as a dict.
    py::dict read() const {
        const OpenContainer map = open_map();
        return map.get() ? read_map(map.get(), kMapDepth) : py::dict();
    }

private:
    // The message's map, opened for one operation; none when the message has none or is none.
    OpenContainer open_map() const {
        OpenContainer map;
        const solClient_returnCode_t rc = solClient_msg_getUserPropertyMap(msg_->handle(), map.out());
        if (rc != SOLCLIENT_NOT_FOUND && msg_->handle()) check_container_call(rc, "reading the user property map");
        return map;
    }

    // The map for a write, made when the message has none yet.
    OpenContainer writable_map() {
        if (!msg_->handle()) throw py::value_error("the ZelMsg holds no message");
        OpenContainer map = open_map();
        if (!map.get()) {
            check_container_call(solClient_msg_createUserPropertyMap(msg_->handle(), map.out(), kUserPropertyMapSize),
                                 "making a user property map");
        }
        return map;
    }

    // The first value of the name, or a null object when there is none.
    py::object find(py::handle key) const {
        const char *name = name_text(key, true);
        const OpenContainer map = name ? open_map() : OpenContainer();
        if (!map.get()) return py::object();
        solClient_field_t field;
        const solClient_returnCode_t rc = solClient_container_getField(map.get(), &field, sizeof field, name);
        if (rc == SOLCLIENT_NOT_FOUND) return py::object();  // the record holds some other field then
        check_container_call(rc, "reading a property");
        return read_field(field, kMapDepth);
    }

    static bool has_field(solClient_opaqueContainer_pt map, const char *name) {
        solClient_field_t field;
        const solClient_returnCode_t rc = solClient_container_getField(map, &field, sizeof field, name);
        if (rc == SOLCLIENT_NOT_FOUND) return false;
        check_container_call(rc, "reading a property");
        discard_field(field);
        return true;
    }

    py::object owner_;
    PyZelMsg *msg_;
};

}  // namespace

py::object user_properties_view(py::object msg) { return py::cast(UserProperties(std::move(msg))); }

void PyZelMsg::set_user_properties(py::handle mapping) {
    if (!is_mapping(mapping)) {
        refuse_argument(mapping, "ZelMsg.user_properties", "a Mapping with str keys");
    }
    if (!msg_) throw py::value_error("the ZelMsg holds no message");
    // Built aside and copied in whole: a refusal anywhere leaves the old map as it was.
    const AsideContainer map = AsideContainer::map(mapping, kMapDepth);
    check_container_call(solClient_msg_setUserPropertyMap(msg_, map.get()), "the user property map");
}

void register_user_properties_view(py::module_ &m) {
    py::class_<UserProperties> view(m, "UserProperties");
    view.def("__getitem__", &UserProperties::get_item)
        .def("__setitem__", &UserProperties::set_item)
        .def("__delitem__", &UserProperties::del_item)
        .def("__contains__", &UserProperties::contains)
        .def("__iter__", &UserProperties::iter)
        .def("__len__", &UserProperties::size)
        .def("get", &UserProperties::get, py::arg("key"), py::arg("default") = py::none())
        .def("keys", &UserProperties::keys)
        .def("values", &UserProperties::values)
        .def("items", &UserProperties::items)
        .def("clear", &UserProperties::clear)
        .def("__eq__", &UserProperties::equals)
        .def("__repr__", &UserProperties::repr);
    // The rest of a MutableMapping, written in terms of the methods above.
    const py::object mutable_mapping = py::module_::import("collections.abc").attr("MutableMapping");
    for (const char *name : {"update", "pop", "popitem", "setdefault"}) {
        view.attr(name) = mutable_mapping.attr("__dict__")[name];
    }
    mutable_mapping.attr("register")(view);
}

}  // namespace zelmsg
