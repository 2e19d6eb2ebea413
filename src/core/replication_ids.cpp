// A replication group message id: the library's 16 bytes, whose first 8 name the origin
// that gave it out and whose last 8 count within that origin.
//
// It has no ordering operators. Ids of different origins have no order (the library refuses
// to compare them), and Python's sorting, min, max and bisect take < to be a total order: a
// < that raised for some pairs would fail a sort midway, one that answered False both ways
// would leave it silently wrong. compare() says -1, 0 or 1, or raises for that pair, where
// the caller asks; functools.cmp_to_key(ReplicationGroupMessageId.compare) sorts ids of one
// origin.
#include "replication_ids.hpp"

#include "errors.hpp"
#include "methods.hpp"
#include "solclient.h"

#include <cstdint>
#include <cstring>

namespace zelmsg {
namespace {

constexpr const char *kName = "ReplicationGroupMessageId";

struct Id {
    PyObject_HEAD unsigned char bytes[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_SIZE];
};

Id *as_id(PyObject *self) { return reinterpret_cast<Id *>(self); }

// ReplicationGroupMessageId(text): the text form of an id, as str() gives it. The library
// reads it back; what it refuses, or text that no id has, is a ValueError that quotes none of
// it (the library's own reason would).
PyObject *new_id(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *text = nullptr;
    static const char *keywords[] = {"text", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:ReplicationGroupMessageId", const_cast<char **>(keywords), &text))
        return nullptr;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) PyErr_Clear();  // a lone surrogate: no id's text
    unsigned char bytes[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_SIZE];
    if (!utf8 || std::strlen(utf8) != static_cast<std::size_t>(size) ||
        solClient_replicationGroupMessageId_fromString(bytes, sizeof bytes, utf8) != SOLCLIENT_OK) {
        return PyErr_Format(PyExc_ValueError,
                            "%s takes the text of an id as str() gives it: 'rmid1:' and 32 hex digits in dashed "
                            "groups, of an id with an origin",
                            kName);
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self) std::memcpy(as_id(self)->bytes, bytes, sizeof bytes);
    return self;
}

PyObject *id_str(PyObject *self) {
    char text[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_STRING_LENGTH + 1];
    const unsigned char *bytes = as_id(self)->bytes;
    if (solClient_replicationGroupMessageId_toString(bytes, sizeof as_id(self)->bytes, text, sizeof text) !=
        SOLCLIENT_OK) {
        return PyErr_Format(PyExc_ValueError, "libsolclient cannot write this %s as text", kName);
    }
    return PyUnicode_FromString(text);
}

PyObject *id_repr(PyObject *self) {
    PyObject *text = id_str(self);
    if (!text) return nullptr;
    PyObject *repr = PyUnicode_FromFormat("%s(%R)", kName, text);
    Py_DECREF(text);
    return repr;
}

// The 16 bytes folded by hand, rather than by Py_HashBuffer: a function new in 3.14 that the
// older x86_64 wheel's toolchain binds when the module is loaded, before the module can say
// that another interpreter version is the wrong one.
Py_hash_t id_hash(PyObject *self) {
    std::uint64_t halves[2];
    std::memcpy(halves, as_id(self)->bytes, sizeof halves);
    std::uint64_t h = (halves[0] ^ (halves[1] * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
    const auto hash = static_cast<Py_hash_t>(h);
    return hash == -1 ? -2 : hash;  // -1 is Python's error
}

// == and != on the 16 bytes; no order (see the top of this file).
PyObject *id_richcompare(PyObject *self, PyObject *other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(other, Py_TYPE(self))) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = std::memcmp(as_id(self)->bytes, as_id(other)->bytes, sizeof as_id(self)->bytes) == 0;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

py::object compare(py::handle self, py::handle other) {
    if (!Py_IS_TYPE(other.ptr(), Py_TYPE(self.ptr())))
        refuse_argument(other, "ReplicationGroupMessageId.compare", "a ReplicationGroupMessageId");
    int order = 0;
    solClient_resetLastErrorInfo();
    if (solClient_replicationGroupMessageId_compare(as_id(self.ptr())->bytes, as_id(other.ptr())->bytes, &order) !=
        SOLCLIENT_OK) {
        refused("ReplicationGroupMessageId.compare: ids of different origins have no order");
    }
    return py::int_(order);
}

py::object reduce(py::handle self, py::handle) {
    const py::object text = py::reinterpret_steal<py::object>(id_str(self.ptr()));
    if (!text) raise_python_error();
    return py::make_tuple(py::type::handle_of(self), py::make_tuple(text));
}

}  // namespace

void register_replication_ids(py::module_ &m) {
    // Filled on the first import: nothing of the module's own runs when its file is loaded.
    static PyMethodDef methods[] = {
        {"compare", &method<compare>, METH_O,
         "compare($self, other, /)\n--\n\n-1, 0 or 1 as this id comes before, with or after other; ValueError for "
         "ids of different origins, which have no order."},
        {"__reduce__", &method<reduce>, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(&new_id)},
        {Py_tp_str, reinterpret_cast<void *>(&id_str)},
        {Py_tp_repr, reinterpret_cast<void *>(&id_repr)},
        {Py_tp_hash, reinterpret_cast<void *>(&id_hash)},
        {Py_tp_richcompare, reinterpret_cast<void *>(&id_richcompare)},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char *>("ReplicationGroupMessageId(text)\n--\n\nA replication group message id, from "
                                       "the text that msg.replication_group_message_id reads: str() gives it back, == "
                                       "and hash() go by its bytes, compare() orders ids of one origin.")},
        {0, nullptr},
    };
    PyType_Spec spec{"zelmsg.ReplicationGroupMessageId", sizeof(Id), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                     slots};
    PyObject *type = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
    if (!type) raise_python_error();
    m.attr("ReplicationGroupMessageId") = py::reinterpret_steal<py::object>(type);
}

}  // namespace zelmsg
