// TraceContext, a type of the C API's own: immutable, compared and hashed by value, pickled as
// its constructor's arguments, and turned to and from W3C's traceparent and tracestate.
#include "trace_context.hpp"

#include "errors.hpp"
#include "texts.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

namespace zelmsg {
namespace {

constexpr const char *kWhere = "TraceContext";
// "00-" 32 hex digits "-" 16 hex digits "-" 2 hex digits.
constexpr std::size_t kTraceparentSize = 55;

struct Object {
    PyObject_HEAD TraceContext value;
};

const TraceContext &value_of(PyObject *self) { return reinterpret_cast<Object *>(self)->value; }

template <typename Body>
auto guarded(Body body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

[[noreturn]] void invalid(const char *what) {
    PyErr_Format(PyExc_ValueError, "%s: %s", kWhere, what);
    raise_python_error();
}

// An id given as exactly Size bytes of any bytes-like object, copied out at once.
template <std::size_t Size>
void take_id(py::handle given, std::array<unsigned char, Size> &id, const char *name) {
    Py_buffer view;
    if (PyObject_GetBuffer(given.ptr(), &view, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s takes %s as %zu bytes; got %s", kWhere, name, Size,
                     Py_TYPE(given.ptr())->tp_name);
        raise_python_error();
    }
    const bool sized = static_cast<std::size_t>(view.len) == Size;
    if (sized) std::memcpy(id.data(), view.buf, Size);
    PyBuffer_Release(&view);
    if (!sized) {
        PyErr_Format(PyExc_ValueError, "%s: %s is %zu bytes", kWhere, name, Size);
        raise_python_error();
    }
}

// A trace state: None or "" for none, else a str the library keeps whole.
std::string take_trace_state(py::handle given) {
    if (given.is_none()) return {};
    if (!PyUnicode_Check(given.ptr())) refuse_argument(given, "TraceContext's trace_state", "a str or None");
    const std::string_view text = str_text(given.ptr(), "TraceContext's trace_state");
    if (text.size() > kMaxTraceState) invalid("a trace_state holds at most 512 bytes");
    return std::string(text);
}

PyObject *make(PyTypeObject *type, TraceContext &&value) {
    if (!value.valid()) invalid("an all-zero trace_id or span_id is invalid");
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) raise_python_error();
    new (&reinterpret_cast<Object *>(self)->value) TraceContext(std::move(value));
    return self;
}

PyObject *new_context(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        static const char *keywords[] = {"trace_id", "span_id", "sampled", "trace_state", nullptr};
        PyObject *trace_id = nullptr, *span_id = nullptr, *sampled = Py_False, *trace_state = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:TraceContext", const_cast<char **>(keywords), &trace_id,
                                         &span_id, &sampled, &trace_state)) {
            return nullptr;
        }
        TraceContext value;
        take_id(trace_id, value.trace_id, "trace_id");
        take_id(span_id, value.span_id, "span_id");
        const int truth = PyObject_IsTrue(sampled);
        if (truth < 0) raise_python_error();
        value.sampled = truth == 1;
        value.trace_state = take_trace_state(trace_state);
        return make(type, std::move(value));
    });
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<Object *>(self)->value.~TraceContext();
    type->tp_free(self);
    Py_DECREF(type);
}

py::bytes id_bytes(const auto &id) { return py::bytes(reinterpret_cast<const char *>(id.data()), id.size()); }

py::object trace_state_object(const TraceContext &value, const char *where) {
    if (value.trace_state.empty()) return py::none();
    return text_object(value.trace_state.data(), value.trace_state.size(), where);
}

// The arguments that make an equal context: what repr shows, pickling carries and hashing
// reads.
py::tuple arguments(PyObject *self) {
    const TraceContext &value = value_of(self);
    return py::make_tuple(id_bytes(value.trace_id), id_bytes(value.span_id), value.sampled,
                          trace_state_object(value, kWhere));
}

PyObject *repr(PyObject *self) {
    return guarded([&] {
        const TraceContext &value = value_of(self);
        return py::str("TraceContext(bytes.fromhex({!r}), bytes.fromhex({!r}), sampled={}, trace_state={!r})")
            .format(id_bytes(value.trace_id).attr("hex")(), id_bytes(value.span_id).attr("hex")(), value.sampled,
                    trace_state_object(value, kWhere))
            .release()
            .ptr();
    });
}

PyObject *richcompare(PyObject *self, PyObject *other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    const TraceContext &a = value_of(self), &b = value_of(other);
    const bool equal =
        a.trace_id == b.trace_id && a.span_id == b.span_id && a.sampled == b.sampled && a.trace_state == b.trace_state;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t hash(PyObject *self) {
    try {
        return PyObject_Hash(arguments(self).ptr());
    } catch (...) {
        py::detail::try_translate_exceptions();
        return -1;
    }
}

PyObject *get_trace_id(PyObject *self, void *) {
    return guarded([&] { return id_bytes(value_of(self).trace_id).release().ptr(); });
}
PyObject *get_span_id(PyObject *self, void *) {
    return guarded([&] { return id_bytes(value_of(self).span_id).release().ptr(); });
}
PyObject *get_sampled(PyObject *self, void *) { return PyBool_FromLong(value_of(self).sampled); }
PyObject *get_trace_state(PyObject *self, void *) {
    return guarded([&] { return trace_state_object(value_of(self), kWhere).release().ptr(); });
}

// Lowercase hex digits of an id, as W3C writes them.
void hex_into(std::string &out, const auto &id) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const unsigned char byte : id) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
}

PyObject *to_w3c(PyObject *self, PyObject *) {
    return guarded([&] {
        const TraceContext &value = value_of(self);
        std::string parent = "00-";
        hex_into(parent, value.trace_id);
        parent += '-';
        hex_into(parent, value.span_id);
        parent += value.sampled ? "-01" : "-00";
        py::dict headers;
        headers["traceparent"] = py::str(parent);
        if (!value.trace_state.empty()) headers["tracestate"] = trace_state_object(value, kWhere);
        return headers.release().ptr();
    });
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// size bytes from 2 * size lowercase hex digits; false for anything else.
bool parse_hex(std::string_view text, unsigned char *out, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const int high = hex_digit(text[2 * i]), low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

// TraceContext.from_w3c(traceparent, tracestate=None): version 00 only, lowercase hex, the
// sampled flag bit 0 of the flags.
PyObject *from_w3c(PyObject *cls, PyObject *const *args, Py_ssize_t count, PyObject *names) {
    return guarded([&]() -> PyObject * {
        static const char *keywords[] = {"traceparent", "tracestate", nullptr};
        PyObject *parent = nullptr, *state = Py_None;
        const Py_ssize_t given = count + (names ? PyTuple_GET_SIZE(names) : 0);
        if (count < 1 || given > 2) {
            PyErr_Format(PyExc_TypeError, "TraceContext.from_w3c() takes traceparent and an optional tracestate");
            return nullptr;
        }
        parent = args[0];
        if (count == 2) state = args[1];
        for (Py_ssize_t i = 0; names && i < PyTuple_GET_SIZE(names); ++i) {
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names, i), keywords[1]) != 0 || count == 2) {
                PyErr_SetString(PyExc_TypeError,
                                "TraceContext.from_w3c() takes traceparent and an optional tracestate");
                return nullptr;
            }
            state = args[count + i];
        }
        if (!PyUnicode_Check(parent)) refuse_argument(parent, "TraceContext.from_w3c", "a traceparent str");
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(parent, &size);
        if (!data) PyErr_Clear();
        const std::string_view text =
            data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
        TraceContext value;
        unsigned char flags = 0;
        const bool formed = text.size() == kTraceparentSize && text.substr(0, 3) == "00-" && text[35] == '-' &&
                            text[52] == '-' && parse_hex(text.substr(3), value.trace_id.data(), 16) &&
                            parse_hex(text.substr(36), value.span_id.data(), 8) &&
                            parse_hex(text.substr(53), &flags, 1);
        if (!formed) invalid("a traceparent is 00-, 32 lowercase hex digits, -, 16, -, 2");
        value.sampled = (flags & 1) != 0;
        if (state != Py_None && !PyUnicode_Check(state))
            refuse_argument(state, "TraceContext.from_w3c", "a tracestate str or None");
        value.trace_state = take_trace_state(state);
        return make(reinterpret_cast<PyTypeObject *>(cls), std::move(value));
    });
}

PyObject *reduce(PyObject *self, PyObject *) {
    return guarded([&] {
        return py::make_tuple(py::handle(reinterpret_cast<PyObject *>(Py_TYPE(self))), arguments(self)).release().ptr();
    });
}

}  // namespace

bool TraceContext::valid() const {
    const auto zero = [](const auto &id) {
        return std::all_of(id.begin(), id.end(), [](unsigned char b) { return b == 0; });
    };
    return !zero(trace_id) && !zero(span_id);
}

const TraceContext *trace_context_of(py::handle value, const char *where) {
    if (value.is_none()) return nullptr;
    if (!Py_IS_TYPE(value.ptr(), interpreter_state().trace_context_type))
        refuse_argument(value, where, "a TraceContext or None");
    return &value_of(value.ptr());
}

py::object trace_context_object(TraceContext context, const char *where) {
    // A trace state that is not UTF-8 raises here. W3C's is ASCII, which needs no decoding.
    const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    if (!std::all_of(context.trace_state.begin(), context.trace_state.end(), ascii)) trace_state_object(context, where);
    return py::reinterpret_steal<py::object>(make(interpreter_state().trace_context_type, std::move(context)));
}

void register_trace_context(py::module_ &m, InterpreterState &state) {
    // Filled on the first import: nothing of the module's own runs when its file is loaded.
    static PyGetSetDef members[] = {
        {"trace_id", &get_trace_id, nullptr, "The trace id, 16 bytes.", nullptr},
        {"span_id", &get_span_id, nullptr, "The span id, 8 bytes.", nullptr},
        {"sampled", &get_sampled, nullptr, "Whether the trace is sampled.", nullptr},
        {"trace_state", &get_trace_state, nullptr, "The W3C trace state, or None.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"to_w3c", &to_w3c, METH_NOARGS,
         "to_w3c($self, /)\n--\n\nThe context as W3C headers: traceparent, and tracestate when set."},
        {"from_w3c", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_w3c)),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
         "from_w3c($cls, traceparent, tracestate=None, /)\n--\n\nThe context of W3C headers."},
        {"__reduce__", &reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(&new_context)},
        {Py_tp_dealloc, reinterpret_cast<void *>(&dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(&repr)},
        {Py_tp_richcompare, reinterpret_cast<void *>(&richcompare)},
        {Py_tp_hash, reinterpret_cast<void *>(&hash)},
        {Py_tp_getset, members},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char *>("TraceContext(trace_id, span_id, sampled=False, trace_state=None)\n--\n\n"
                                       "A W3C trace context: a trace id of 16 bytes and a span id of 8, neither "
                                       "all zero, the sampled flag and a trace state.")},
        {0, nullptr},
    };
    PyType_Spec spec{"zelmsg.TraceContext", sizeof(Object), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject *type = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
    if (!type) raise_python_error();
    state.trace_context_type = reinterpret_cast<PyTypeObject *>(type);
    m.attr("TraceContext") = py::handle(type);
}

}  // namespace zelmsg
