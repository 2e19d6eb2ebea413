#include "typed_values.hpp"

#include "errors.hpp"
#include "smf_framing.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace zelmsg {
namespace {

struct IntegerClass {
    const char *name;
    solClient_fieldType_t field;
    long long min;
    unsigned long long max;
};

constexpr IntegerClass kIntegerClasses[kIntegerClassCount] = {
    {"Int8", SOLCLIENT_INT8, INT8_MIN, INT8_MAX},     {"Int16", SOLCLIENT_INT16, INT16_MIN, INT16_MAX},
    {"Int32", SOLCLIENT_INT32, INT32_MIN, INT32_MAX}, {"UInt8", SOLCLIENT_UINT8, 0, UINT8_MAX},
    {"UInt16", SOLCLIENT_UINT16, 0, UINT16_MAX},      {"UInt32", SOLCLIENT_UINT32, 0, UINT32_MAX},
    {"UInt64", SOLCLIENT_UINT64, 0, UINT64_MAX},
};

constexpr Py_UCS4 kMaxWChar = 0xFFFF;

// An instance of an integer class as its field.
bool integer_field(const IntegerClass &cls, PyObject *value, solClient_field_t &field) {
    // Its constructor checked the range, and Python lets no subclass go around it.
    const unsigned long long bits = *bits_in_range(value, cls.min, cls.max);
    field.type = cls.field;
    switch (cls.field) {
    case SOLCLIENT_INT8: field.value.int8 = static_cast<solClient_int8_t>(bits); break;
    case SOLCLIENT_INT16: field.value.int16 = static_cast<solClient_int16_t>(bits); break;
    case SOLCLIENT_INT32: field.value.int32 = static_cast<solClient_int32_t>(bits); break;
    case SOLCLIENT_UINT8: field.value.uint8 = static_cast<solClient_uint8_t>(bits); break;
    case SOLCLIENT_UINT16: field.value.uint16 = static_cast<solClient_uint16_t>(bits); break;
    case SOLCLIENT_UINT32: field.value.uint32 = static_cast<solClient_uint32_t>(bits); break;
    default: field.value.uint64 = bits; break;
    }
    return true;
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

// Float32(x) holds x rounded to the nearest 32-bit float; a finite x that would round to an
// infinity is out of its range.
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
    if (PyUnicode_GET_LENGTH(text) != 1)
        return PyErr_Format(PyExc_ValueError, "WChar holds one character, not %zd", PyUnicode_GET_LENGTH(text));
    if (PyUnicode_READ_CHAR(text, 0) > kMaxWChar)
        return PyErr_Format(PyExc_OverflowError, "WChar holds a character from U+0000 to U+FFFF");
    PyObject *exact = PyTuple_Pack(1, text);
    if (!exact) return nullptr;
    PyObject *self = PyUnicode_Type.tp_new(type, exact, nullptr);
    Py_DECREF(exact);
    return self;
}

// The most bytes a field's 32-bit length can say.
constexpr Py_ssize_t kMaxFieldBytes = std::numeric_limits<std::uint32_t>::max();

// Smf(x) takes what bytes(x) takes, up to what a field can hold.
PyObject *new_smf(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *self = PyBytes_Type.tp_new(type, args, kwargs);
    if (self && PyBytes_GET_SIZE(self) > kMaxFieldBytes) {
        Py_DECREF(self);
        return PyErr_Format(PyExc_ValueError, "Smf holds at most %zd bytes", kMaxFieldBytes);
    }
    return self;
}

// UnknownField(x) takes what bytes(x) takes, when that is one whole encoded field that the
// library reads as UNKNOWN: the same bytes go back into a map or stream, and a field of a type
// it knows, which it would parse, never does.
PyObject *new_unknown_field(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *self = PyBytes_Type.tp_new(type, args, kwargs);
    if (!self) return nullptr;
    if (const char *fault = unknown_field_fault(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(self)),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(self)))) {
        Py_DECREF(self);
        return PyErr_Format(PyExc_ValueError,
                            "UnknownField holds one whole encoded field of a type the library does not know (%s)",
                            fault);
    }
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
PyObject *bytes_repr(PyObject *self) { return typed_repr(self, PyBytes_Type.tp_repr); }

// A new class in the module; the caller keeps the reference returned.
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
    if (!type) raise_python_error();
    m.attr(name) = py::handle(type);
    return reinterpret_cast<PyTypeObject *>(type);
}

template <std::size_t... I>
void make_integer_classes(py::module_ &m, InterpreterState &state, std::index_sequence<I...>) {
    ((state.integer_types[I] = make_class(m, kIntegerClasses[I].name, &PyLong_Type, &new_integer<I>, &integer_repr,
                                          "An int that a map or stream holds as a field of this width.")),
     ...);
}

// An instance of a typed class for a value the library gave, which fits its range.
py::object typed(PyTypeObject *type, PyObject *value) {
    const py::object plain = py::reinterpret_steal<py::object>(value);
    if (!plain) raise_python_error();
    PyObject *args[] = {plain.ptr()};
    PyObject *made = PyObject_Vectorcall(reinterpret_cast<PyObject *>(type), args, 1, nullptr);
    if (!made) raise_python_error();
    return py::reinterpret_steal<py::object>(made);
}

// A field's bytes as a new bytes object; the library gives a null pointer for none.
PyObject *bytes_of(const solClient_uint8_t *data, solClient_uint32_t length) {
    return PyBytes_FromStringAndSize(data ? reinterpret_cast<const char *>(data) : "", data ? length : 0);
}

PyTypeObject *integer_type(const InterpreterState &state, solClient_fieldType_t field) {
    for (std::size_t i = 0; i < kIntegerClassCount; ++i)
        if (kIntegerClasses[i].field == field) return state.integer_types[i];
    return nullptr;
}

}  // namespace

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

bool typed_field(const InterpreterState &state, PyObject *value, solClient_field_t &field) {
    PyTypeObject *type = Py_TYPE(value);
    // The classes themselves first, by identity: a subclass of one is rare, and each check
    // for it walks the type's bases.
    for (const bool exact : {true, false}) {
        const auto is = [type, exact](PyTypeObject *cls) { return exact ? type == cls : PyType_IsSubtype(type, cls); };
        for (std::size_t i = 0; i < kIntegerClassCount; ++i)
            if (is(state.integer_types[i])) return integer_field(kIntegerClasses[i], value, field);
        const bool smf = is(state.smf_type);
        if (smf || is(state.unknown_field_type)) {
            // Its constructor checked the length, and the bytes cannot change.
            field.type = smf ? SOLCLIENT_SMF : SOLCLIENT_UNKNOWN;
            field.value.smf = reinterpret_cast<const solClient_uint8_t *>(PyBytes_AS_STRING(value));
            field.length = static_cast<solClient_uint32_t>(PyBytes_GET_SIZE(value));
            return true;
        }
        if (is(state.float32_type)) {
            field.type = SOLCLIENT_FLOAT;
            field.value.float32 = static_cast<float>(PyFloat_AS_DOUBLE(value));
            return true;
        }
        if (is(state.wchar_type)) {
            field.type = SOLCLIENT_WCHAR;
            field.value.wchar = static_cast<solClient_wchar_t>(PyUnicode_READ_CHAR(value, 0));
            return true;
        }
    }
    return false;
}

bool is_typed_class(const InterpreterState &state, PyTypeObject *type) {
    for (PyTypeObject *cls : state.integer_types)
        if (type == cls) return true;
    return type == state.float32_type || type == state.wchar_type || type == state.smf_type ||
           type == state.unknown_field_type;
}

py::object typed_value(const solClient_field_t &field) {
    const InterpreterState &state = interpreter_state();
    const auto &v = field.value;
    switch (field.type) {
    case SOLCLIENT_INT8: return typed(integer_type(state, field.type), PyLong_FromLong(v.int8));
    case SOLCLIENT_INT16: return typed(integer_type(state, field.type), PyLong_FromLong(v.int16));
    case SOLCLIENT_INT32: return typed(integer_type(state, field.type), PyLong_FromLong(v.int32));
    case SOLCLIENT_UINT8: return typed(integer_type(state, field.type), PyLong_FromUnsignedLong(v.uint8));
    case SOLCLIENT_UINT16: return typed(integer_type(state, field.type), PyLong_FromUnsignedLong(v.uint16));
    case SOLCLIENT_UINT32: return typed(integer_type(state, field.type), PyLong_FromUnsignedLong(v.uint32));
    case SOLCLIENT_UINT64: return typed(integer_type(state, field.type), PyLong_FromUnsignedLongLong(v.uint64));
    case SOLCLIENT_FLOAT: return typed(state.float32_type, PyFloat_FromDouble(v.float32));
    case SOLCLIENT_SMF: return typed(state.smf_type, bytes_of(v.smf, field.length));
    case SOLCLIENT_UNKNOWN: return typed(state.unknown_field_type, bytes_of(v.unknown, field.length));
    default: return typed(state.wchar_type, PyUnicode_FromOrdinal(static_cast<int>(v.wchar & kMaxWChar)));
    }
}

void register_typed_values(py::module_ &m, InterpreterState &state) {
    make_integer_classes(m, state, std::make_index_sequence<kIntegerClassCount>());
    state.float32_type = make_class(m, "Float32", &PyFloat_Type, &new_float32, &float32_repr,
                                    "A float that a map or stream holds as a 32-bit FLOAT field, rounded to one.");
    state.wchar_type = make_class(m, "WChar", &PyUnicode_Type, &new_wchar, &wchar_repr,
                                  "One character from U+0000 to U+FFFF that a map or stream holds as a WCHAR field.");
}

void register_byte_fields(py::module_ &m, InterpreterState &state) {
    state.smf_type = make_class(m, "Smf", &PyBytes_Type, &new_smf, &bytes_repr,
                                "Bytes that a map or stream holds as an SMF field: an encoded message, unchecked.");
    state.unknown_field_type =
        make_class(m, "UnknownField", &PyBytes_Type, &new_unknown_field, &bytes_repr,
                   "A field of a type the library does not know, as its whole encoding: tag, length and value.");
}

}  // namespace zelmsg
