#include "conversion.hpp"

#include "errors.hpp"
#include "interpreter.hpp"
#include "texts.hpp"
#include "typed_values.hpp"
#include "values.hpp"

#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace zelmsg {
namespace {

constexpr const char *kTextField = "a text field";
constexpr const char *kFieldName = "a name in a map";

void check_depth(int depth) {
    if (depth > kMaxDepth)
        throw py::value_error("a map or stream nests deeper than " + std::to_string(kMaxDepth) + " levels");
}

// The next field, or false at the end.
bool next_field(solClient_opaqueContainer_pt container, solClient_field_t &field, const char **name) {
    const solClient_returnCode_t rc = solClient_container_getNextField(container, &field, sizeof field, name);
    if (rc == SOLCLIENT_EOS) return false;
    check_call(rc, "reading a field");
    return true;
}

py::bytes bytes_of(const void *data, std::uint32_t length) {
    return py::bytes(data ? static_cast<const char *>(data) : "", data ? length : 0);
}

bool is_sequence(PyObject *value) { return PyList_Check(value) || PyTuple_Check(value); }

// Whether converting the value can run no Python code: built-in scalars and byte strings, and
// instances of the typed classes themselves. Anything else (a container, which may hold a
// Mapping, or a class of the user's) may.
bool inert_scalar(PyObject *value) {
    PyTypeObject *type = Py_TYPE(value);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           type == &PyBytes_Type || type == &PyByteArray_Type || value == Py_None ||
           is_typed_class(interpreter_state(), type);
}

// The same for a value, where a list, tuple or dict of inert scalars is inert too: a look one
// level down costs less than holding the rest of the pairs, as a value that may run code needs.
bool inert(PyObject *value) {
    if (inert_scalar(value)) return true;
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyList_Type || type == &PyTuple_Type) {
        for (Py_ssize_t i = 0; i < Py_SIZE(value); ++i)
            if (!inert_scalar(PySequence_Fast_GET_ITEM(value, i))) return false;
        return true;
    }
    if (type != &PyDict_Type) return false;
    Py_ssize_t position = 0;
    PyObject *key = nullptr;
    PyObject *item = nullptr;
    while (PyDict_Next(value, &position, &key, &item))
        if (!inert_scalar(item)) return false;
    return true;
}

// Adds value under name, converted; value and the key that name points into are the
// caller's to hold.
void add_value(AsideContainer &aside, const char *name, py::handle value, int depth) {
    const FieldValue converted(value, depth);
    aside.add(name, converted.field());
}

}  // namespace

// ---- Reading

py::str field_name(const char *name) { return text_object(name, kFieldName); }

py::object read_field(const solClient_field_t &field, int depth) {
    const auto &v = field.value;
    switch (field.type) {
    case SOLCLIENT_BOOL: return py::bool_(v.boolean != 0);
    case SOLCLIENT_INT64: return py::reinterpret_steal<py::object>(PyLong_FromLongLong(v.int64));
    case SOLCLIENT_DOUBLE: return py::float_(v.float64);
    // length counts the terminating NUL; a text read from elsewhere may hold others.
    case SOLCLIENT_STRING: return text_object(v.string, field.length > 0 ? field.length - 1 : 0, kTextField);
    case SOLCLIENT_BYTEARRAY: return bytes_of(v.bytearray, field.length);
    case SOLCLIENT_NULL: return py::none();
    case SOLCLIENT_DESTINATION:
        return py::cast(Destination(std::string(v.dest.dest ? v.dest.dest : ""), v.dest.destType));
    case SOLCLIENT_MAP: {
        const OpenContainer map(v.map);
        return read_map(map.get(), depth + 1);
    }
    case SOLCLIENT_STREAM: {
        const OpenContainer stream(v.stream);
        return read_stream(stream.get(), depth + 1);
    }
    default: return typed_value(field);  // the other widths, SMF and UNKNOWN (the whole encoded field)
    }
}

void discard_field(const solClient_field_t &field) {
    if (field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM) const OpenContainer closed(field.value.map);
}

py::dict read_map(solClient_opaqueContainer_pt map, int depth) {
    check_depth(depth);
    check_call(solClient_container_rewind(map), "rewinding a map");
    py::dict result;
    solClient_field_t field;
    const char *name = nullptr;
    while (next_field(map, field, &name)) {
        const py::str key = field_name(name);
        if (PyDict_Contains(result.ptr(), key.ptr())) {
            discard_field(field);  // a later field of a name already read
            continue;
        }
        result[key] = read_field(field, depth);
    }
    return result;
}

py::list map_names(solClient_opaqueContainer_pt map) {
    check_call(solClient_container_rewind(map), "rewinding a map");
    py::dict seen;  // an ordered set
    solClient_field_t field;
    const char *name = nullptr;
    while (next_field(map, field, &name)) {
        discard_field(field);
        if (PyDict_SetDefault(seen.ptr(), field_name(name).ptr(), Py_None) == nullptr) raise_python_error();
    }
    return py::list(seen);
}

py::list read_stream(solClient_opaqueContainer_pt stream, int depth) {
    check_depth(depth);
    check_call(solClient_container_rewind(stream), "rewinding a stream");
    py::list result;
    solClient_field_t field;
    while (next_field(stream, field, nullptr)) result.append(read_field(field, depth));
    return result;
}

// ---- Writing

FieldValue::FieldValue(py::handle handle, int depth) {
    field_.length = 0;
    PyObject *value = handle.ptr();
    PyTypeObject *type = Py_TYPE(value);
    // The built-in types a map most often holds, by identity: one comparison each, and none
    // of the typed classes' checks.
    if (type == &PyUnicode_Type)
        set_text(value);
    else if (type == &PyLong_Type)
        set_integer(value);
    else if (type == &PyFloat_Type)
        set_double(value);
    else if (type == &PyBool_Type)
        set_bool(value);
    else if (value == Py_None)
        field_.type = SOLCLIENT_NULL;
    else if (type == &PyBytes_Type)
        set_bytes(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    else if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type)
        hold_container(handle, depth);
    else
        convert_other(handle, depth);
}

void FieldValue::convert_other(py::handle handle, int depth) {
    PyObject *value = handle.ptr();
    // zelmsg's typed classes first (an Smf or UnknownField is pointed into, as a str is: the
    // caller holds the value), and subclasses of the built-in types.
    if (typed_field(interpreter_state(), value, field_)) return;
    if (PyLong_Check(value)) {
        set_integer(value);
    } else if (PyUnicode_Check(value)) {
        set_text(value);
    } else if (PyBytes_Check(value)) {
        set_bytes(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    } else if (is_sequence(value) || PyDict_Check(value)) {
        hold_container(handle, depth);
    } else if (PyFloat_Check(value)) {
        set_double(value);
    } else if (PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        if (PyObject_GetBuffer(value, &buffer_.view, PyBUF_SIMPLE) != 0) {
            buffer_.view.obj = nullptr;
            PyErr_Clear();
            throw py::value_error("a memoryview that is released or not contiguous cannot be a field");
        }
        set_bytes(buffer_.view.buf, buffer_.view.len);
    } else if (py::isinstance<Destination>(handle)) {
        const Destination &d = handle.cast<const Destination &>();
        field_.type = SOLCLIENT_DESTINATION;
        field_.value.dest = {d.dest_type, c_text(d.dest, "a Destination in a map or stream")};
        field_.length = static_cast<solClient_uint32_t>(d.dest.size() + 2);
    } else if (is_mapping(handle)) {
        hold_container(handle, depth);
    } else {
        throw py::type_error(std::string("a field of a map or stream holds a bool, int, float, str, bytes, "
                                         "bytearray, memoryview, None, Destination, typed value (Int8 ... WChar, "
                                         "Smf, UnknownField), Mapping with str keys, list or tuple; got ") +
                             Py_TYPE(value)->tp_name);
    }
}

void FieldValue::set_bool(PyObject *value) {
    field_.type = SOLCLIENT_BOOL;
    field_.value.boolean = value == Py_True;
}

void FieldValue::set_integer(PyObject *value) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        field_.type = SOLCLIENT_INT64;
        field_.value.int64 = number;
    } else if (const auto big = overflow > 0 ? bits_in_range(value, 0, UINT64_MAX) : std::nullopt) {
        field_.type = SOLCLIENT_UINT64;
        field_.value.uint64 = *big;
    } else {
        PyErr_SetString(PyExc_OverflowError, "a map or stream field holds an int from -2**63 to 2**64-1");
        raise_python_error();
    }
}

void FieldValue::set_double(PyObject *value) {
    field_.type = SOLCLIENT_DOUBLE;
    field_.value.float64 = PyFloat_AS_DOUBLE(value);
}

void FieldValue::set_text(PyObject *value) {
    const std::string_view text = str_text(value, kTextField);
    field_.type = SOLCLIENT_STRING;
    field_.value.string = text.data();
    field_.length = static_cast<solClient_uint32_t>(text.size() + 1);
}

void FieldValue::hold_container(py::handle value, int depth) {
    const bool stream = is_sequence(value.ptr());
    container_.emplace(stream ? build_stream(value, depth) : build_map(value, depth));
    field_.type = stream ? SOLCLIENT_STREAM : SOLCLIENT_MAP;
    field_.value.map = container_->get();
}

void FieldValue::set_bytes(const void *data, Py_ssize_t size) {
    if (static_cast<std::size_t>(size) > std::numeric_limits<std::uint32_t>::max())
        throw py::value_error("a byte array of " + std::to_string(size) + " bytes is longer than a field can hold");
    field_.type = SOLCLIENT_BYTEARRAY;
    field_.value.bytearray = static_cast<const solClient_uint8_t *>(data);
    field_.length = static_cast<solClient_uint32_t>(size);
}

const char *map_name(py::handle key) {
    if (!PyUnicode_Check(key.ptr()))
        throw py::type_error(std::string("names in a map are str, not ") + Py_TYPE(key.ptr())->tp_name);
    const std::string_view name = str_text(key.ptr(), kFieldName);
    if (name.empty()) throw py::value_error("a map cannot hold an empty name");
    return name.data();
}

bool is_mapping(py::handle value) {
    if (PyDict_Check(value.ptr())) return true;
    const int found = PyObject_IsInstance(value.ptr(), interpreter_state().mapping_abc);
    if (found < 0) raise_python_error();
    return found == 1;
}

AsideContainer build_map(py::handle mapping, int depth) {
    check_depth(depth);
    PyObject *dict = mapping.ptr();
    if (!PyDict_Check(dict)) {
        // Any other Mapping: its items(), one pair at a time.
        AsideContainer aside(AsideContainer::map, 0);
        for (const py::handle item : mapping.attr("items")()) {
            const bool pair = (PyTuple_Check(item.ptr()) || PyList_Check(item.ptr())) && py::len(item) == 2;
            if (!pair) throw py::type_error("items() of a Mapping must give (name, value) pairs");
            const py::object key = item[py::int_(0)];
            add_value(aside, map_name(key), item[py::int_(1)], depth + 1);
        }
        return aside;
    }
    AsideContainer aside(AsideContainer::map, static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t position = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    // Pairs whose conversion runs no Python code are added straight from the dict, which
    // nothing can change meanwhile.
    bool more = PyDict_Next(dict, &position, &key, &value);
    for (; more && inert(value); more = PyDict_Next(dict, &position, &key, &value))
        add_value(aside, map_name(key), value, depth + 1);
    if (!more) return aside;
    // This value's conversion may run code that changes the dict: the rest of the pairs are
    // taken as they are now, and held.
    std::vector<std::pair<py::object, py::object>> rest;
    rest.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    for (; more; more = PyDict_Next(dict, &position, &key, &value))
        rest.emplace_back(py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value));
    for (const auto &[held_key, held_value] : rest) add_value(aside, map_name(held_key), held_value, depth + 1);
    return aside;
}

AsideContainer build_stream(py::handle sequence, int depth) {
    check_depth(depth);
    PyObject *items = sequence.ptr();
    AsideContainer aside(AsideContainer::stream, static_cast<std::size_t>(Py_SIZE(items)));
    // Each item is taken as it is when its turn comes, and held while it is converted: a
    // list may change under the code an earlier item runs.
    for (Py_ssize_t i = 0; i < Py_SIZE(items); ++i)
        add_value(aside, nullptr, py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items, i)), depth + 1);
    return aside;
}

}  // namespace zelmsg
