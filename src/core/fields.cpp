// The typed field classes, and values to and from the library's containers (fields.hpp).
#include "fields.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace zelmsg {
namespace {

// ---------------------------------------------------------------------------------------
// The typed classes: Python values that say which width of field they are, as int, float
// and str subclasses. Made once per process and never released.

struct IntegerClass {
    const char *name;
    solClient_fieldType_t field;
    long long min;
    unsigned long long max;
};

constexpr IntegerClass kIntegerClasses[] = {
    {"Int8", SOLCLIENT_INT8, INT8_MIN, INT8_MAX},
    {"Int16", SOLCLIENT_INT16, INT16_MIN, INT16_MAX},
    {"Int32", SOLCLIENT_INT32, INT32_MIN, INT32_MAX},
    {"UInt8", SOLCLIENT_UINT8, 0, UINT8_MAX},
    {"UInt16", SOLCLIENT_UINT16, 0, UINT16_MAX},
    {"UInt32", SOLCLIENT_UINT32, 0, UINT32_MAX},
    {"UInt64", SOLCLIENT_UINT64, 0, UINT64_MAX},
};
constexpr std::size_t kIntegerClassCount = std::size(kIntegerClasses);

PyTypeObject *integer_types[kIntegerClassCount] = {};
PyTypeObject *float32_type = nullptr;
PyTypeObject *wchar_type = nullptr;

constexpr Py_UCS4 kMaxWChar = 0xFFFF;

PyTypeObject *integer_type(solClient_fieldType_t field) {
    for (std::size_t i = 0; i < kIntegerClassCount; ++i) {
        if (kIntegerClasses[i].field == field) return integer_types[i];
    }
    return nullptr;
}

// The value of an int object, if it lies in [min, max].
std::optional<unsigned long long> bits_in_range(PyObject *number, long long min, unsigned long long max) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow == 0) {
        if (value < min || (value > 0 && static_cast<unsigned long long>(value) > max)) return std::nullopt;
        return static_cast<unsigned long long>(value);
    }
    if (overflow < 0) return std::nullopt;
    const unsigned long long big = PyLong_AsUnsignedLongLong(number);
    if (big == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
        PyErr_Clear();  // beyond 64 bits
        return std::nullopt;
    }
    if (big > max) return std::nullopt;
    return big;
}

// Int8(x) and the others take what int(x) takes, and refuse a value outside their width.
template <std::size_t I>
PyObject *new_integer(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    const IntegerClass &cls = kIntegerClasses[I];
    PyObject *self = PyLong_Type.tp_new(type, args, kwargs);
    if (self && !bits_in_range(self, cls.min, cls.max)) {
        Py_DECREF(self);
        return PyErr_Format(PyExc_OverflowError, "%s holds an int from %lld to %llu", cls.name, cls.min, cls.max);
    }
    return self;
}

// Float32(x) holds x rounded to the nearest 32-bit float; a finite x that would round to
// an infinity is out of its range.
PyObject *new_float32(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *given = PyObject_Call(reinterpret_cast<PyObject *>(&PyFloat_Type), args, kwargs);
    if (!given) return nullptr;
    const double value = PyFloat_AS_DOUBLE(given);
    Py_DECREF(given);
    const float rounded = static_cast<float>(value);
    if (std::isfinite(value) && std::isinf(rounded)) {
        PyErr_SetString(PyExc_OverflowError, "Float32 holds a float of at most 3.4028234663852886e+38 in magnitude");
        return nullptr;
    }
    PyObject *exact = Py_BuildValue("(d)", static_cast<double>(rounded));
    if (!exact) return nullptr;
    PyObject *self = PyFloat_Type.tp_new(type, exact, nullptr);
    Py_DECREF(exact);
    return self;
}

// WChar(c) takes one character of the Basic Multilingual Plane.
PyObject *new_wchar(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *text = nullptr;
    static const char *keywords[] = {"character", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:WChar", const_cast<char **>(keywords), &text)) return nullptr;
    if (PyUnicode_GET_LENGTH(text) != 1) {
        return PyErr_Format(PyExc_ValueError, "WChar holds one character, not %zd", PyUnicode_GET_LENGTH(text));
    }
    if (PyUnicode_READ_CHAR(text, 0) > kMaxWChar) {
        return PyErr_Format(PyExc_OverflowError, "WChar holds a character from U+0000 to U+FFFF");
    }
    PyObject *exact = PyTuple_Pack(1, text);
    if (!exact) return nullptr;
    PyObject *self = PyUnicode_Type.tp_new(type, exact, nullptr);
    Py_DECREF(exact);
    return self;
}

// Int8(5), Float32(0.5), WChar('x'): the class's name around the base type's repr.
PyObject *typed_repr(PyObject *self, reprfunc base_repr) {
    PyObject *name = PyType_GetName(Py_TYPE(self));
    PyObject *value = name ? base_repr(self) : nullptr;
    PyObject *text = value ? PyUnicode_FromFormat("%U(%U)", name, value) : nullptr;
    Py_XDECREF(value);
    Py_XDECREF(name);
    return text;
}
PyObject *integer_repr(PyObject *self) { return typed_repr(self, PyLong_Type.tp_repr); }
PyObject *float32_repr(PyObject *self) { return typed_repr(self, PyFloat_Type.tp_repr); }
PyObject *wchar_repr(PyObject *self) { return typed_repr(self, PyUnicode_Type.tp_repr); }

PyTypeObject *make_class(py::module_ &m, const char *name, PyTypeObject *base, newfunc make, reprfunc repr,
                         const char *doc) {
    const std::string qualified = std::string("zelmsg.") + name;
    PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void *>(make)},
                           {Py_tp_repr, reinterpret_cast<void *>(repr)},
                           {Py_tp_doc, const_cast<char *>(doc)},
                           {0, nullptr}};
    // The new type keeps its own copies of the name and doc, so locals will do.
    PyType_Spec spec{qualified.c_str(), 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    PyObject *type = PyType_FromModuleAndSpec(m.ptr(), &spec, reinterpret_cast<PyObject *>(base));
    if (!type) throw py::error_already_set();
    // The module's attribute holds the new reference; the pointer kept here borrows it for
    // the life of the process, as the module is never unloaded.
    m.add_object(name, py::reinterpret_steal<py::object>(type));
    return reinterpret_cast<PyTypeObject *>(type);
}

template <std::size_t... I>
void make_integer_classes(py::module_ &m, std::index_sequence<I...>) {
    ((integer_types[I] = make_class(m, kIntegerClasses[I].name, &PyLong_Type, &new_integer<I>, &integer_repr,
                                    "An int that a map or stream holds as a field of this width.")),
     ...);
}

// An instance of a typed class for a value the library gave, which fits its range.
py::object typed(PyTypeObject *type, PyObject *value) {
    const py::object plain = py::reinterpret_steal<py::object>(value);
    if (!plain) throw py::error_already_set();
    PyObject *args[] = {plain.ptr()};
    PyObject *made = PyObject_Vectorcall(reinterpret_cast<PyObject *>(type), args, 1, nullptr);
    if (!made) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

// ---------------------------------------------------------------------------------------
// Reading

void check_depth(int depth) {
    if (depth > kMaxDepth) {
        throw py::value_error("a map or stream nests deeper than " + std::to_string(kMaxDepth) + " levels");
    }
}

// The next field, or false at the end; a field the library cannot read raises ValueError.
bool next_field(solClient_opaqueContainer_pt container, solClient_field_t &field, const char **name) {
    const solClient_returnCode_t rc = solClient_container_getNextField(container, &field, sizeof field, name);
    if (rc == SOLCLIENT_EOS) return false;
    check_container_call(rc, "reading a field");
    return true;
}

py::bytes bytes_of(const void *data, std::uint32_t length) {
    return py::bytes(data ? static_cast<const char *>(data) : "", data ? length : 0);
}

// ---------------------------------------------------------------------------------------
// Writing

// The sub-code of a standalone container that ran out of the memory it was made with.
constexpr int kSubCodeNoRoom = 4;

// Thrown when it did: the container is built again, larger.
struct NoRoom : py::value_error {
    NoRoom() : py::value_error("a container ran out of memory") {}
};

constexpr std::size_t kMaxContainerSize = std::numeric_limits<std::uint32_t>::max();

bool is_sequence(py::handle value) { return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()); }

[[noreturn]] void raise_python_error() { throw py::error_already_set(); }

// The UTF-8 of a str, NUL-free, as the library takes a text.
std::string_view utf8_of(PyObject *text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) raise_python_error();
    const std::string_view view(data, static_cast<std::size_t>(size));
    c_text(view);
    return view;
}

// The bytes of a bytes, bytearray or contiguous memoryview, at most what a field can say.
std::string_view byte_view(py::handle value) {
    PyObject *object = value.ptr();
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(object)) {
        data = PyBytes_AS_STRING(object);
        size = PyBytes_GET_SIZE(object);
    } else if (PyByteArray_Check(object)) {
        data = PyByteArray_AS_STRING(object);
        size = PyByteArray_GET_SIZE(object);
    } else {
        const Py_buffer *buffer = PyMemoryView_GET_BUFFER(object);
        if (!PyBuffer_IsContiguous(buffer, 'C')) throw py::value_error("a memoryview must be contiguous to be a field");
        data = static_cast<char *>(buffer->buf);
        size = buffer->len;
    }
    if (static_cast<std::size_t>(size) > kMaxContainerSize) {
        throw py::value_error("a byte array of " + std::to_string(size) + " bytes is longer than a field can hold");
    }
    return {data, static_cast<std::size_t>(size)};
}

// An int as INT64, or as UINT64 from 2^63 to 2^64-1.
Scalar integer_scalar(PyObject *value) {
    Scalar scalar;
    int overflow = 0;
    scalar.number.signed_bits = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (scalar.number.signed_bits == -1 && PyErr_Occurred()) raise_python_error();
        scalar.type = SOLCLIENT_INT64;
        return scalar;
    }
    const std::optional<unsigned long long> big =
        overflow > 0 ? bits_in_range(value, 0, std::numeric_limits<std::uint64_t>::max()) : std::nullopt;
    if (!big) {
        PyErr_SetString(PyExc_OverflowError, "a map or stream field holds an int from -2**63 to 2**64-1");
        raise_python_error();
    }
    scalar.type = SOLCLIENT_UINT64;
    scalar.number.unsigned_bits = *big;
    return scalar;
}

// An instance of one of the typed classes, or nothing.
std::optional<Scalar> typed_scalar(PyObject *value) {
    Scalar scalar;
    if (PyObject_TypeCheck(value, float32_type)) {
        scalar.type = SOLCLIENT_FLOAT;
        scalar.number.float32 = static_cast<float>(PyFloat_AS_DOUBLE(value));
        return scalar;
    }
    if (PyObject_TypeCheck(value, wchar_type)) {
        scalar.type = SOLCLIENT_WCHAR;
        scalar.number.wchar = static_cast<solClient_wchar_t>(PyUnicode_READ_CHAR(value, 0));
        return scalar;
    }
    for (std::size_t i = 0; i < kIntegerClassCount; ++i) {
        if (!PyObject_TypeCheck(value, integer_types[i])) continue;
        const IntegerClass &cls = kIntegerClasses[i];
        // Its constructor checked the range, and Python lets no subclass go around it.
        scalar.type = cls.field;
        scalar.number.unsigned_bits = *bits_in_range(value, cls.min, cls.max);  // a negative one's two's complement
        return scalar;
    }
    return std::nullopt;
}

// A scalar value converted, or nothing for a map or stream value; what no field can hold
// raises. zelmsg's typed classes come first, then bool, int, float and str, whose other
// subclasses count as themselves.
std::optional<Scalar> to_scalar(py::handle handle) {
    PyObject *value = handle.ptr();
    PyTypeObject *type = Py_TYPE(value);
    // The built-in types a map most often holds skip the typed classes' checks.
    const bool builtin = type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type ||
                         type == &PyBool_Type || type == &PyBytes_Type || type == &PyDict_Type ||
                         type == &PyList_Type || type == &PyTuple_Type || value == Py_None;
    if (!builtin) {
        if (std::optional<Scalar> scalar = typed_scalar(value)) return scalar;
    }
    Scalar scalar;
    if (PyBool_Check(value)) {
        scalar.type = SOLCLIENT_BOOL;
        scalar.number.boolean = value == Py_True;
    } else if (PyLong_Check(value)) {
        return integer_scalar(value);
    } else if (PyFloat_Check(value)) {
        scalar.type = SOLCLIENT_DOUBLE;
        scalar.number.float64 = PyFloat_AS_DOUBLE(value);
    } else if (PyUnicode_Check(value)) {
        scalar.type = SOLCLIENT_STRING;
        scalar.data = utf8_of(value);
    } else if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        scalar.type = SOLCLIENT_BYTEARRAY;
        scalar.data = byte_view(handle);
    } else if (value == Py_None) {
        scalar.type = SOLCLIENT_NULL;
    } else if (is_sequence(handle) || is_mapping(handle)) {
        // Before the Destination check, which asks the type system: dicts and lists are common.
        // A list is no Mapping, and so skips that slow check.
        return std::nullopt;
    } else if (py::isinstance<Destination>(handle)) {
        const Destination &d = handle.cast<const Destination &>();
        scalar.type = SOLCLIENT_DESTINATION;
        scalar.destination = {d.dest_type, c_text(d.dest)};
    } else {
        throw py::type_error(std::string("a field of a map or stream holds a bool, int, float, str, bytes, "
                                         "bytearray, memoryview, None, Destination, typed value (Int8 ... WChar), "
                                         "Mapping with str keys, list or tuple; got ") + type->tp_name);
    }
    return scalar;
}

void add_scalar(solClient_opaqueContainer_pt container, const char *name, const Scalar &scalar) {
    const auto &n = scalar.number;
    solClient_returnCode_t rc = SOLCLIENT_FAIL;
    switch (scalar.type) {
    case SOLCLIENT_BOOL: rc = solClient_container_addBoolean(container, n.boolean, name); break;
    case SOLCLIENT_INT8: rc = solClient_container_addInt8(container, static_cast<std::int8_t>(n.signed_bits), name); break;
    case SOLCLIENT_INT16: rc = solClient_container_addInt16(container, static_cast<std::int16_t>(n.signed_bits), name); break;
    case SOLCLIENT_INT32: rc = solClient_container_addInt32(container, static_cast<std::int32_t>(n.signed_bits), name); break;
    case SOLCLIENT_INT64: rc = solClient_container_addInt64(container, n.signed_bits, name); break;
    case SOLCLIENT_UINT8: rc = solClient_container_addUint8(container, static_cast<std::uint8_t>(n.unsigned_bits), name); break;
    case SOLCLIENT_UINT16: rc = solClient_container_addUint16(container, static_cast<std::uint16_t>(n.unsigned_bits), name); break;
    case SOLCLIENT_UINT32: rc = solClient_container_addUint32(container, static_cast<std::uint32_t>(n.unsigned_bits), name); break;
    case SOLCLIENT_UINT64: rc = solClient_container_addUint64(container, n.unsigned_bits, name); break;
    case SOLCLIENT_FLOAT: rc = solClient_container_addFloat(container, n.float32, name); break;
    case SOLCLIENT_DOUBLE: rc = solClient_container_addDouble(container, n.float64, name); break;
    case SOLCLIENT_WCHAR: rc = solClient_container_addWchar(container, n.wchar, name); break;
    case SOLCLIENT_STRING: rc = solClient_container_addString(container, scalar.data.data(), name); break;
    case SOLCLIENT_BYTEARRAY:
        rc = solClient_container_addByteArray(container, reinterpret_cast<const solClient_uint8_t *>(scalar.data.data()),
                                              static_cast<solClient_uint32_t>(scalar.data.size()), name);
        break;
    case SOLCLIENT_DESTINATION:
        rc = solClient_container_addDestination(container, &scalar.destination, sizeof scalar.destination, name);
        break;
    default: rc = solClient_container_addNull(container, name); break;
    }
    check_container_call(rc, "adding a field");
}

// One field of a container being built aside: its name (null in a stream) and its value made
// ready, with the Python objects that their C forms point into.
struct PreparedField {
    py::object key;
    py::object value;
    const char *name;
    FieldValue field;
};

// A map's fields, each value converted and each container in it built, before the map is made.
std::vector<PreparedField> prepare_map(py::handle mapping, int depth) {
    std::vector<PreparedField> fields;
    if (PyDict_Check(mapping.ptr())) fields.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(mapping.ptr())));
    const auto prepare = [&](py::object key, py::object value) {
        const char *name = name_text(key);
        FieldValue field(value, depth + 1);
        fields.push_back({std::move(key), std::move(value), name, std::move(field)});
    };
    if (PyDict_Check(mapping.ptr())) {
        // Each pair is held while in use: a nested Mapping's own code may change this dict.
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
            prepare(py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value));
        }
    } else {
        for (const py::handle item : mapping.attr("items")()) {
            const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
            prepare(pair[0], pair[1]);
        }
    }
    return fields;
}

std::vector<PreparedField> prepare_stream(py::handle sequence, int depth) {
    std::vector<PreparedField> fields;
    fields.reserve(static_cast<std::size_t>(Py_SIZE(sequence.ptr())));
    for (const py::handle item : py::reinterpret_borrow<py::sequence>(sequence)) {
        const py::object value = py::reinterpret_borrow<py::object>(item);
        fields.push_back({py::object(), value, nullptr, FieldValue(value, depth + 1)});
    }
    return fields;
}

// A name's string field: a tag, up to 4 length bytes, the text and a NUL.
constexpr std::size_t kNameOverhead = 6;
constexpr std::size_t kContainerHeader = 5;

}  // namespace

// ---------------------------------------------------------------------------------------
// The interface of fields.hpp

void check_container_call(solClient_returnCode_t rc, const char *what) {
    if (rc == SOLCLIENT_OK) return;
    const solClient_errorInfo_pt error = solClient_getLastErrorInfo();
    if (error && error->subCode == kSubCodeNoRoom) throw NoRoom();
    throw py::value_error("libsolclient refused " + std::string(what) + ": " + std::string(last_error_text()));
}

py::str field_name(const char *name) { return text_object(name); }

const char *name_text(py::handle key, bool absent_ok) {
    if (!PyUnicode_Check(key.ptr())) {
        throw py::type_error(std::string("names in a map are str, not ") + Py_TYPE(key.ptr())->tp_name);
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!data) raise_python_error();
    const bool has_nul = std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr;
    if (size > 0 && !has_nul) return data;
    if (absent_ok) return nullptr;
    throw py::value_error(size == 0 ? "a map cannot hold an empty name"
                                    : "a name holds a NUL character, where the library would cut it");
}

bool is_mapping(py::handle value) {
    if (PyDict_Check(value.ptr())) return true;
    // Looked up once and kept for the life of the process, like the codecs' functions.
    static PyObject *const mapping = py::object(py::module_::import("collections.abc").attr("Mapping")).release().ptr();
    const int found = PyObject_IsInstance(value.ptr(), mapping);
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

FieldValue::FieldValue(py::handle value, int depth) : scalar_(to_scalar(value)) {
    if (scalar_) return;
    container_.emplace(is_sequence(value) ? AsideContainer::stream(value, depth) : AsideContainer::map(value, depth));
}

void FieldValue::add_to(solClient_opaqueContainer_pt container, const char *name) const {
    if (scalar_) return add_scalar(container, name, *scalar_);
    check_container_call(solClient_container_addContainer(container, container_->get(), name), "adding a container");
}

void FieldValue::replace_in(solClient_opaqueContainer_pt map, const char *name) const {
    check_container_call(solClient_container_deleteField(map, name), "removing a field");
    add_to(map, name);
}

std::size_t FieldValue::size_bound() const {
    // A tag, up to 4 length bytes, a NUL or a destination's type byte, and a number's 8 bytes.
    constexpr std::size_t kFieldOverhead = 16;
    if (container_) return kFieldOverhead + container_->size();
    const bool destination = scalar_->type == SOLCLIENT_DESTINATION;
    return kFieldOverhead + (destination ? std::strlen(scalar_->destination.dest) : scalar_->data.size());
}

// The library builds a standalone container in memory of a fixed size, refusing a field that
// does not fit: the fields' bounds make it large enough, and it grows should they not.
template <typename Fields>
AsideContainer AsideContainer::build(CreateCall create, const Fields &fields) {
    std::size_t size = kContainerHeader;
    for (const PreparedField &field : fields) {
        size += field.field.size_bound() + (field.name ? std::strlen(field.name) + kNameOverhead : 0);
    }
    for (;; size *= 2) {
        if (size > kMaxContainerSize) throw py::value_error("a map or stream cannot take more than 4294967295 bytes");
        AsideContainer aside;
        aside.memory_.reset(new char[size]);
        aside.size_ = size;
        check_container_call(create(aside.container_.out(), aside.memory_.get(), static_cast<solClient_uint32_t>(size)),
                             "making a container");
        try {
            for (const PreparedField &field : fields) field.field.add_to(aside.get(), field.name);
            return aside;
        } catch (const NoRoom &) {
            continue;  // the container closes before its memory goes
        }
    }
}

AsideContainer AsideContainer::map(py::handle mapping, int depth) {
    check_depth(depth);
    return build(solClient_container_createMap, prepare_map(mapping, depth));
}

AsideContainer AsideContainer::stream(py::handle sequence, int depth) {
    check_depth(depth);
    return build(solClient_container_createStream, prepare_stream(sequence, depth));
}

py::object read_field(const solClient_field_t &field, int depth) {
    const auto &v = field.value;
    switch (field.type) {
    case SOLCLIENT_BOOL: return py::bool_(v.boolean != 0);
    case SOLCLIENT_INT8: return typed(integer_type(field.type), PyLong_FromLong(v.int8));
    case SOLCLIENT_INT16: return typed(integer_type(field.type), PyLong_FromLong(v.int16));
    case SOLCLIENT_INT32: return typed(integer_type(field.type), PyLong_FromLong(v.int32));
    case SOLCLIENT_INT64: return py::reinterpret_steal<py::object>(PyLong_FromLongLong(v.int64));
    case SOLCLIENT_UINT8: return typed(integer_type(field.type), PyLong_FromUnsignedLong(v.uint8));
    case SOLCLIENT_UINT16: return typed(integer_type(field.type), PyLong_FromUnsignedLong(v.uint16));
    case SOLCLIENT_UINT32: return typed(integer_type(field.type), PyLong_FromUnsignedLong(v.uint32));
    case SOLCLIENT_UINT64: return typed(integer_type(field.type), PyLong_FromUnsignedLongLong(v.uint64));
    case SOLCLIENT_FLOAT: return typed(float32_type, PyFloat_FromDouble(v.float32));
    case SOLCLIENT_DOUBLE: return py::float_(v.float64);
    case SOLCLIENT_WCHAR: return typed(wchar_type, PyUnicode_FromOrdinal(static_cast<int>(v.wchar & kMaxWChar)));
    // length counts the terminating NUL; a text read from elsewhere may hold others.
    case SOLCLIENT_STRING: return text_object(v.string, field.length > 0 ? field.length - 1 : 0);
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
    case SOLCLIENT_SMF: return bytes_of(v.smf, field.length);
    default: return bytes_of(v.unknown, field.length);  // UNKNOWN: the whole encoded field
    }
}

void discard_field(const solClient_field_t &field) {
    if (field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM) {
        const OpenContainer closed(field.value.map);
    }
}

py::dict read_map(solClient_opaqueContainer_pt map, int depth) {
    check_depth(depth);
    check_container_call(solClient_container_rewind(map), "rewinding a map");
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
    check_container_call(solClient_container_rewind(map), "rewinding a map");
    py::dict seen;  // an ordered set
    solClient_field_t field;
    const char *name = nullptr;
    while (next_field(map, field, &name)) {
        discard_field(field);
        if (PyDict_SetDefault(seen.ptr(), field_name(name).ptr(), Py_None) == nullptr) throw py::error_already_set();
    }
    return py::list(seen);
}

py::list read_stream(solClient_opaqueContainer_pt stream, int depth) {
    check_depth(depth);
    check_container_call(solClient_container_rewind(stream), "rewinding a stream");
    py::list result;
    solClient_field_t field;
    while (next_field(stream, field, nullptr)) result.append(read_field(field, depth));
    return result;
}

void register_field_types(py::module_ &m) {
    make_integer_classes(m, std::make_index_sequence<kIntegerClassCount>());
    float32_type = make_class(m, "Float32", &PyFloat_Type, &new_float32, &float32_repr,
                              "A float that a map or stream holds as a 32-bit FLOAT field, rounded to one.");
    wchar_type = make_class(m, "WChar", &PyUnicode_Type, &new_wchar, &wchar_repr,
                            "One character from U+0000 to U+FFFF that a map or stream holds as a WCHAR field.");
}

}  // namespace zelmsg
