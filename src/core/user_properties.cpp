// msg.user_properties: a live view of the message's user property map, a MutableMapping
// much as os.environ is a view of the environment. Every operation goes to the library at
// once and nothing read is kept; the view keeps its message alive.
//
// The library keeps duplicate names: a read by name finds the first field, iteration meets
// them all, deleteField removes them all. The view sees each name once, in order of first
// occurrence, with its first value, and replaces every field of a name it writes.
//
// The view is a type of the C API's own: it cannot be made from Python, takes part in
// garbage collection (a subclass of ZelMsg may keep it, making a cycle), and its methods
// refuse bad arguments with Python's texts, which quote nothing.
#include "user_properties.hpp"

#include "conversion.hpp"
#include "errors.hpp"
#include "interpreter.hpp"
#include "texts.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace zelmsg {
namespace {

// The user property map is the outermost container of its values.
constexpr int kMapDepth = 1;

// The hashes of a set of names (a flat, open-addressed table); a false match costs a lookup
// from the start, never a wrong answer.
class NameHashes {
public:
    static std::uint64_t hash(const char *name) {
        std::uint64_t h = 14695981039346656037ULL;  // FNV-1a
        for (; *name; ++name) h = (h ^ static_cast<unsigned char>(*name)) * 1099511628211ULL;
        return h | 1;  // 0 marks a free slot
    }
    bool contains(std::uint64_t h) const {
        if (slots_.empty()) return false;
        for (std::size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i] == h) return true;
            if (slots_[i] == 0) return false;
        }
    }
    void insert(std::uint64_t h) {
        if (2 * (count_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
        std::size_t i = h & (slots_.size() - 1);
        for (; slots_[i] != 0; i = (i + 1) & (slots_.size() - 1))
            if (slots_[i] == h) return;
        slots_[i] = h;
        ++count_;
    }
    void clear() {
        // The table keeps its size: a scan after a rewind passes the same names again.
        std::fill(slots_.begin(), slots_.end(), 0);
        count_ = 0;
    }

private:
    void rehash(std::size_t size) {
        std::vector<std::uint64_t> old(size, 0);
        old.swap(slots_);
        count_ = 0;
        for (const std::uint64_t h : old)
            if (h) insert(h);
    }
    std::vector<std::uint64_t> slots_;
    std::size_t count_ = 0;
};

// Where the last lookup by name ended, so that the next may start there. dict(view) looks
// each name up in the order keys() gave, the map's own order, and the library's lookup by
// name scans from the start: without this, reading a map whole is quadratic.
//
// The position is the map's own iteration cursor, on a handle kept open between lookups.
// It is trusted only while nothing else can have moved it or changed the map: zelmsg counts
// every other opening of a user property map and every handle it gives native code
// (user_property_map_touches), and the library's count of the map's bytes must not have
// changed. A scan from the cursor keeps the hashes of the names it passed, so that a name
// met again is known not to be the first of its name. Nothing else is kept.
class LookupRun {
public:
    // The first field of name in the message's map, as getField gives it; false when there
    // is none.
    bool find(const PyZelMsg &msg, const char *name, solClient_field_t &field) {
        if (!steady()) {
            if (!reopen(msg)) return false;
            return find_from_start(name, field);
        }
        const std::uint64_t wanted = NameHashes::hash(name);
        // A name passed already (read again, or looked up out of order) is the library's to
        // find from the start.
        if (known_ && passed_.contains(wanted)) return find_from_start(name, field);
        if (!known_) {
            check_call(solClient_container_rewind(held_), "rewinding the user property map");
            passed_.clear();
            known_ = true;
        }
        const char *field_name = nullptr;
        for (;;) {
            const solClient_returnCode_t rc =
                solClient_container_getNextField(held_, &field, sizeof field, &field_name);
            if (rc == SOLCLIENT_EOS) return false;  // every name is now passed: the run goes on
            check_call(rc, "reading a property");
            const bool match = std::strcmp(field_name, name) == 0;
            passed_.insert(match ? wanted : NameHashes::hash(field_name));
            if (match) return true;
            discard_field(field);
        }
    }

    // Closes the handle it holds, which must not outlive msg. Raises nothing.
    void release(const PyZelMsg &msg) noexcept {
        if (!held_) return;
        if (touches_ != user_property_map_touches) {
            // Closed already if its map was replaced: it is ours to close only while the
            // library hands the same handle out (as reopen() tells).
            solClient_opaqueContainer_pt current = nullptr;
            const bool same =
                solClient_msg_getUserPropertyMap(msg.handle(), &current) == SOLCLIENT_OK && current == held_;
            if (current) solClient_container_closeMapStream(&current);
            if (!same) held_ = nullptr;
        }
        if (held_) solClient_container_closeMapStream(&held_);
        held_ = nullptr;
    }

private:
    // The library's own lookup, which leaves the cursor after the field it finds, but at no
    // position this run can vouch for.
    bool find_from_start(const char *name, solClient_field_t &field) {
        known_ = false;
        const solClient_returnCode_t rc = solClient_container_getField(held_, &field, sizeof field, name);
        if (rc == SOLCLIENT_NOT_FOUND) return false;
        check_call(rc, "reading a property");
        return true;
    }

    // Whether the cursor is where the last lookup left it.
    bool steady() const {
        if (!held_ || touches_ != user_property_map_touches) return false;
        std::size_t size = 0;
        return solClient_container_getSize(held_, &size) == SOLCLIENT_OK && size == size_;
    }

    // Holds the message's map now; false when it has none.
    bool reopen(const PyZelMsg &msg) {
        OpenContainer current = msg.open_user_property_map();
        // The handle held is still open exactly when the library hands the same one out again
        // (each open adds a reference): one of the two references is closed. Otherwise it
        // was closed with a map that has since been replaced, and there is nothing to close.
        if (held_ && current.get() == held_) solClient_container_closeMapStream(&held_);
        held_ = std::exchange(*current.out(), nullptr);
        known_ = false;
        passed_.clear();
        touches_ = user_property_map_touches;
        size_ = 0;
        if (held_) solClient_container_getSize(held_, &size_);
        return held_ != nullptr;
    }

    solClient_opaqueContainer_pt held_ = nullptr;
    bool known_ = false;  // the cursor follows the names passed_ holds
    NameHashes passed_;
    std::uint64_t touches_ = 0;
    std::size_t size_ = 0;
};

struct View {
    PyObject_HEAD PyObject *owner;  // the ZelMsg
    PyZelMsg *msg;
    LookupRun run;
};

View *as_view(PyObject *self) { return reinterpret_cast<View *>(self); }
const PyZelMsg &message_of(PyObject *self) { return *as_view(self)->msg; }
PyZelMsg &writable_message_of(PyObject *self) {
    PyZelMsg &msg = *as_view(self)->msg;
    msg.mark_written();
    return msg;
}

// Runs a body that raises C++ exceptions as the C API wants it: a null result and the error set.
template <typename Body>
auto guarded(Body body, decltype(body()) failed) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        py::detail::try_translate_exceptions();
        return failed;
    }
}

// A name as a lookup takes it: a str, as os.environ wants one, else TypeError; null for a
// str no field can be named by (with no UTF-8 form, holding a NUL, or empty), which is
// simply absent.
const char *lookup_name(PyObject *key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "names in a map are str, not %s", Py_TYPE(key)->tp_name);
        raise_python_error();
    }
    const char *name = utf8_or_null(key);
    return name && *name ? name : nullptr;
}

// The first value of key, or a null object.
py::object find(PyObject *self, PyObject *key) {
    const char *name = lookup_name(key);
    if (!name) return py::object();
    solClient_field_t field;
    if (!as_view(self)->run.find(message_of(self), name, field)) return py::object();
    return read_field(field, kMapDepth);
}

[[noreturn]] void missing(PyObject *key) {
    PyErr_SetObject(PyExc_KeyError, key);
    raise_python_error();
}

// The map for a write, made when the message has none yet.
OpenContainer writable_map(PyZelMsg &msg) {
    if (!msg.handle()) throw py::value_error("the ZelMsg holds no message");
    OpenContainer map = msg.open_user_property_map();
    if (!map.get()) check_call(msg.make_user_property_map(map), "making a user property map");
    return map;
}

// v[k] = x replaces every field of the name. A value converted, then the old fields deleted
// and the new one added, with no Python code between: a value the library would refuse
// must be refused before the delete, and a destination is the one value it refuses, so
// that is tried first in a map of its own.
void set_item(PyObject *self, PyObject *key, PyObject *value) {
    const char *name = map_name(key);
    const FieldValue converted(value, kMapDepth + 1);
    const solClient_field_t &field = converted.field();
    if (field.type == SOLCLIENT_DESTINATION) {
        AsideContainer trial(AsideContainer::map, 64 + std::strlen(name) + field.length);
        trial.add(name, field);
    }
    const OpenContainer map = writable_map(writable_message_of(self));
    check_call(solClient_container_deleteField(map.get(), name), "removing a property");
    check_call(add_field(map.get(), name, field), "adding a property");
}

void del_item(PyObject *self, PyObject *key) {
    const char *name = lookup_name(key);
    const OpenContainer map = name ? writable_message_of(self).open_user_property_map() : OpenContainer();
    if (!map.get()) missing(key);
    solClient_field_t field;
    const solClient_returnCode_t rc = solClient_container_getField(map.get(), &field, sizeof field, name);
    if (rc == SOLCLIENT_NOT_FOUND) missing(key);
    check_call(rc, "reading a property");
    discard_field(field);
    check_call(solClient_container_deleteField(map.get(), name), "removing a property");
}

// Snapshots, each read in one rewound pass: the names alone, or the whole map as a dict.
py::list keys(PyObject *self) {
    const OpenContainer map = message_of(self).open_user_property_map();
    return map.get() ? map_names(map.get()) : py::list();
}
py::dict read(PyObject *self) {
    const OpenContainer map = message_of(self).open_user_property_map();
    return map.get() ? read_map(map.get(), kMapDepth) : py::dict();
}

// ---- Slots

void view_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    View *view = as_view(self);
    view->run.release(*view->msg);
    view->run.~LookupRun();
    Py_CLEAR(view->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

int view_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_view(self)->owner);
    return 0;
}

PyObject *view_getitem(PyObject *self, PyObject *key) {
    return guarded(
        [&]() -> PyObject * {
            py::object value = find(self, key);
            if (!value) missing(key);
            return value.release().ptr();
        },
        nullptr);
}

int view_setitem(PyObject *self, PyObject *key, PyObject *value) {
    return guarded(
        [&] {
            value ? set_item(self, key, value) : del_item(self, key);
            return 0;
        },
        -1);
}

int view_contains(PyObject *self, PyObject *key) {
    return guarded([&] { return static_cast<bool>(find(self, key)) ? 1 : 0; }, -1);
}

Py_ssize_t view_length(PyObject *self) {
    return guarded([&] { return static_cast<Py_ssize_t>(py::len(keys(self))); }, Py_ssize_t{-1});
}

PyObject *view_iter(PyObject *self) {
    return guarded([&] { return PyObject_GetIter(keys(self).ptr()); }, nullptr);
}

PyObject *view_repr(PyObject *self) {
    return guarded([&] { return py::str("UserProperties({!r})").format(read(self)).release().ptr(); }, nullptr);
}

PyObject *view_richcompare(PyObject *self, PyObject *other, int op) {
    return guarded(
        [&]() -> PyObject * {
            if ((op != Py_EQ && op != Py_NE) || !is_mapping(other)) Py_RETURN_NOTIMPLEMENTED;
            const bool equal = read(self).equal(py::dict(py::reinterpret_borrow<py::object>(other)));
            return py::bool_(equal == (op == Py_EQ)).release().ptr();
        },
        nullptr);
}

// ---- Methods, with the texts of dict's own where they refuse

bool takes(const char *name, Py_ssize_t count, Py_ssize_t least, Py_ssize_t most) {
    if (count >= least && count <= most) return true;
    PyErr_Format(PyExc_TypeError, "UserProperties.%s() takes from %zd to %zd arguments (%zd given)", name, least, most,
                 count);
    return false;
}

PyObject *view_get(PyObject *self, PyObject *const *args, Py_ssize_t count) {
    if (!takes("get", count, 1, 2)) return nullptr;
    return guarded(
        [&] {
            py::object value = find(self, args[0]);
            return value ? value.release().ptr() : Py_NewRef(count > 1 ? args[1] : Py_None);
        },
        nullptr);
}

PyObject *view_keys(PyObject *self, PyObject *) {
    return guarded([&] { return keys(self).release().ptr(); }, nullptr);
}

PyObject *view_values(PyObject *self, PyObject *) {
    return guarded([&] { return PyDict_Values(read(self).ptr()); }, nullptr);
}

PyObject *view_items(PyObject *self, PyObject *) {
    return guarded([&] { return PyDict_Items(read(self).ptr()); }, nullptr);
}

// Empties the map; a message without one gets none.
PyObject *view_clear(PyObject *self, PyObject *) {
    return guarded(
        [&] {
            PyZelMsg &msg = writable_message_of(self);
            if (msg.open_user_property_map().get()) {
                OpenContainer emptied;
                check_call(msg.make_user_property_map(emptied), "emptying the user property map");
            }
            Py_RETURN_NONE;
        },
        nullptr);
}

PyObject *view_pop(PyObject *self, PyObject *const *args, Py_ssize_t count) {
    if (!takes("pop", count, 1, 2)) return nullptr;
    return guarded(
        [&]() -> PyObject * {
            py::object value = find(self, args[0]);
            if (!value) {
                if (count < 2) missing(args[0]);
                return Py_NewRef(args[1]);
            }
            del_item(self, args[0]);
            return value.release().ptr();
        },
        nullptr);
}

// The last name, as dict.popitem takes the last key inserted.
PyObject *view_popitem(PyObject *self, PyObject *) {
    return guarded(
        [&]() -> PyObject * {
            const py::list names = keys(self);
            if (names.empty()) {
                PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
                raise_python_error();
            }
            const py::object key = names[names.size() - 1];
            py::object value = find(self, key.ptr());
            del_item(self, key.ptr());
            return py::make_tuple(key, value).release().ptr();
        },
        nullptr);
}

PyObject *view_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t count) {
    if (!takes("setdefault", count, 1, 2)) return nullptr;
    return guarded(
        [&]() -> PyObject * {
            py::object value = find(self, args[0]);
            if (value) return value.release().ptr();
            PyObject *given = count > 1 ? args[1] : Py_None;
            set_item(self, args[0], given);
            return Py_NewRef(given);
        },
        nullptr);
}

// update(other=(), /, **names): other's keys() and items as dict.update takes them, or
// (name, value) pairs; then the keywords. Each pair is set as v[k] = x sets it.
PyObject *view_update(PyObject *self, PyObject *const *args, Py_ssize_t count, PyObject *names) {
    if (!takes("update", count, 0, 1)) return nullptr;
    return guarded(
        [&] {
            if (count == 1) {
                const py::handle other = args[0];
                if (PyDict_Check(other.ptr()) || py::hasattr(other, "keys")) {
                    for (const py::handle key : other.attr("keys")()) {
                        const py::object value = other[key];
                        set_item(self, key.ptr(), value.ptr());
                    }
                } else {
                    for (const py::handle item : other) {
                        const bool pair = (PyTuple_Check(item.ptr()) || PyList_Check(item.ptr())) && py::len(item) == 2;
                        if (!pair) throw py::type_error("update() takes a Mapping or (name, value) pairs");
                        const py::object key = item[py::int_(0)];
                        const py::object value = item[py::int_(1)];
                        set_item(self, key.ptr(), value.ptr());
                    }
                }
            }
            const Py_ssize_t keywords = names ? PyTuple_GET_SIZE(names) : 0;
            for (Py_ssize_t i = 0; i < keywords; ++i) set_item(self, PyTuple_GET_ITEM(names, i), args[count + i]);
            Py_RETURN_NONE;
        },
        nullptr);
}

PyObject *view_reduce(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError,
                    "a UserProperties view belongs to its message: copy or pickle dict(view), or the message");
    return nullptr;
}

}  // namespace

py::object user_properties_view(py::handle msg) {
    PyTypeObject *type = interpreter_state().view_type;
    PyObject *made = type->tp_alloc(type, 0);
    if (!made) raise_python_error();
    View *view = as_view(made);
    new (&view->run) LookupRun();
    view->msg = &msg.cast<PyZelMsg &>();
    view->owner = Py_NewRef(msg.ptr());
    return py::reinterpret_steal<py::object>(made);
}

void PyZelMsg::set_user_properties(py::handle mapping) {
    if (!is_mapping(mapping)) refuse_argument(mapping, "ZelMsg.user_properties", "a Mapping with str keys");
    if (!msg_) throw py::value_error("the ZelMsg holds no message");
    // Built aside and copied in whole: a refusal anywhere leaves the old map as it was.
    const AsideContainer map = build_map(mapping, kMapDepth);
    ++user_property_map_touches;
    check_call(solClient_msg_setUserPropertyMap(msg_, map.get()), "the user property map");
}

void register_user_properties_view(py::module_ &m, InterpreterState &state) {
    // Filled on the first import: nothing of the module's own runs when its file is loaded.
    static PyMethodDef view_methods[] = {
        {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&view_get)), METH_FASTCALL,
         "get($self, name, default=None, /)\n--\n\nThe value of name, or default."},
        {"keys", &view_keys, METH_NOARGS,
         "keys($self, /)\n--\n\nThe names, each once, in the order of their first field."},
        {"values", &view_values, METH_NOARGS, "values($self, /)\n--\n\nThe values, the first of each name."},
        {"items", &view_items, METH_NOARGS,
         "items($self, /)\n--\n\n(name, value) pairs, the first value of each name."},
        {"clear", &view_clear, METH_NOARGS, "clear($self, /)\n--\n\nRemoves every property."},
        {"pop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&view_pop)), METH_FASTCALL,
         "pop(name[, default]): removes name and gives its value, or default."},
        {"popitem", &view_popitem, METH_NOARGS,
         "popitem($self, /)\n--\n\nRemoves the last name and gives (name, value)."},
        {"setdefault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&view_setdefault)), METH_FASTCALL,
         "setdefault($self, name, default=None, /)\n--\n\nThe value of name, set to default when absent."},
        {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&view_update)),
         METH_FASTCALL | METH_KEYWORDS,
         "update($self, other=(), /, **names)\n--\n\nSets each pair, as dict.update does."},
        {"__reduce__", &view_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };

    static PyType_Slot view_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(&view_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(&view_traverse)},
        {Py_mp_subscript, reinterpret_cast<void *>(&view_getitem)},
        {Py_mp_ass_subscript, reinterpret_cast<void *>(&view_setitem)},
        {Py_mp_length, reinterpret_cast<void *>(&view_length)},
        {Py_sq_contains, reinterpret_cast<void *>(&view_contains)},
        {Py_tp_iter, reinterpret_cast<void *>(&view_iter)},
        {Py_tp_repr, reinterpret_cast<void *>(&view_repr)},
        {Py_tp_richcompare, reinterpret_cast<void *>(&view_richcompare)},
        {Py_tp_hash, reinterpret_cast<void *>(&PyObject_HashNotImplemented)},
        {Py_tp_methods, view_methods},
        {Py_tp_doc, const_cast<char *>("A live view of a message's user properties: msg.user_properties.")},
        {0, nullptr},
    };
    PyType_Spec spec{"zelmsg.UserProperties", sizeof(View), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MAPPING,
                     view_slots};
    PyObject *type = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
    if (!type) raise_python_error();
    state.view_type = reinterpret_cast<PyTypeObject *>(type);
    m.attr("UserProperties") = py::handle(type);
    py::module_::import("collections.abc").attr("MutableMapping").attr("register")(py::handle(type));
}

}  // namespace zelmsg
