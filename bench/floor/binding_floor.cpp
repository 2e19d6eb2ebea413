// The cost of the binding alone: a trivial class whose properties do nothing but take
// and return values of the same Python types as zelmsg's, registered the same way, so
// that zelmsg's time minus this one and minus its library calls is zelmsg's own work.
// A benchmark-only module: it is never installed with zelmsg.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace binding_floor {

namespace py = pybind11;

// Stand-ins for zelmsg's two enums and its Destination, with the same underlying types.
enum Kind : int { KindNull = -1, KindTopic = 0, KindQueue = 1, KindTopicTemp = 2, KindQueueTemp = 3 };
enum Mode : std::int32_t { ModeDirect = 0x00, ModePersistent = 0x10, ModeNonPersistent = 0x20 };

struct Place {
    Place(std::string name, Kind type) : dest(std::move(name)), dest_type(type) {}
    std::string dest;
    Kind dest_type;
};

struct Empty {};

// What msg.user_properties hands out: a new bound object holding on to its message.
struct View {
    py::object owner;
};

// What the getters hand out, set from Python to match the values zelmsg returns. The
// setters store into sinks only so that their argument is used.
std::uint32_t number = 2;
std::int64_t signed64 = 0;
std::int32_t int32 = 0;
std::int64_t int64 = 0;
std::uint64_t uint64 = 0;
bool flag = true;
Mode mode = ModePersistent;
std::string text = "json";
std::vector<char> buffer(64);
std::string place_name = "orders/eu-west/new/v1";
Kind place_type = KindTopic;
std::string dump_text = "";
// A dict handed out as it is: the codec, not the binding, makes zelmsg's. Never released,
// since nothing may touch it after the interpreter has gone.
PyObject *shared_dict = nullptr;
volatile std::uintptr_t sink;
// What the empty methods and the user property view hand out, shared: the objects
// themselves are the Python-object floors' to make.
PyObject *shared_object = nullptr;
PyObject *shared_keys = nullptr;
// User data, at most 36 bytes, which the optional bytes shape copies into a new object.
std::string small_buffer(16, 'x');

// ---------------------------------------------------------------------------------------
// The Python objects alone: what an operation makes or reads through the C API, timed by a C
// loop here (ns per iteration of process CPU time), with no binding and no library.

// zelmsg's typed Int16, in a process without zelmsg: a plain int subclass.
PyObject *int16_type = nullptr;

// A value as payloads.describe gives one, to make again and again.
struct Value {
    enum Kind { Int64, Int16, Double, Bool, String, Bytes, Map, Stream } kind;
    std::string name;  // a map's field's, empty in a stream
    std::string data;  // a text's UTF-8, a byte array's bytes
    long long integer = 0;
    double real = 0;
    std::vector<Value> fields;
};

std::vector<Value> property_values;
std::string property_key;
std::string property_value;
// Python objects are kept as shared_dict is, never released.
PyObject *properties_dict = nullptr;  // the same values, as Python gave them
PyObject *written_value = nullptr;    // the value a single write takes
PyObject *key_object = nullptr;       // the key a single read and write take

Value describe(PyObject *name, PyObject *value) {
    Value v{};
    if (name) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(name, &size);
        v.name.assign(text, static_cast<std::size_t>(size));
    }
    if (PyBool_Check(value)) {
        v.kind = Value::Bool;
        v.integer = value == Py_True;
    } else if (Py_TYPE(value) == reinterpret_cast<PyTypeObject *>(int16_type)) {
        v.kind = Value::Int16;
        v.integer = PyLong_AsLongLong(value);
    } else if (PyLong_Check(value)) {
        v.kind = Value::Int64;
        v.integer = PyLong_AsLongLong(value);
    } else if (PyFloat_Check(value)) {
        v.kind = Value::Double;
        v.real = PyFloat_AS_DOUBLE(value);
    } else if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(value, &size);
        v.kind = Value::String;
        v.data.assign(text, static_cast<std::size_t>(size));
    } else if (PyBytes_Check(value)) {
        v.kind = Value::Bytes;
        v.data.assign(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    } else if (PyDict_Check(value)) {
        v.kind = Value::Map;
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        while (PyDict_Next(value, &position, &key, &item)) v.fields.push_back(describe(key, item));
    } else if (PyList_Check(value)) {
        v.kind = Value::Stream;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) v.fields.push_back(describe(nullptr, PyList_GET_ITEM(value, i)));
    } else {
        throw py::type_error("the floor takes no such value");
    }
    return v;
}

PyObject *make_text(const std::string &text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject *make_value(const Value &v);

// A dict of a map's fields, keys and values made from the library's C values.
PyObject *make_dict(const std::vector<Value> &fields) {
    PyObject *dict = PyDict_New();
    for (const Value &field : fields) {
        PyObject *key = make_text(field.name);
        PyObject *value = make_value(field);
        PyDict_SetItem(dict, key, value);
        Py_DECREF(key);
        Py_DECREF(value);
    }
    return dict;
}

// A list of a stream's items, appended one by one as the library hands them over.
PyObject *make_list(const std::vector<Value> &fields) {
    PyObject *list = PyList_New(0);
    for (const Value &field : fields) {
        PyObject *value = make_value(field);
        PyList_Append(list, value);
        Py_DECREF(value);
    }
    return list;
}

PyObject *make_value(const Value &v) {
    switch (v.kind) {
    case Value::Int64: return PyLong_FromLongLong(v.integer);
    case Value::Int16: {
        // An instance of an int subclass, made by calling the class with the plain int.
        PyObject *plain = PyLong_FromLong(static_cast<long>(v.integer));
        PyObject *made = PyObject_CallOneArg(int16_type, plain);
        Py_DECREF(plain);
        return made;
    }
    case Value::Double: return PyFloat_FromDouble(v.real);
    case Value::Bool: return Py_NewRef(v.integer ? Py_True : Py_False);
    case Value::String: return make_text(v.data);
    case Value::Bytes: return PyBytes_FromStringAndSize(v.data.data(), static_cast<Py_ssize_t>(v.data.size()));
    case Value::Map: return make_dict(v.fields);
    case Value::Stream: return make_list(v.fields);
    }
    return nullptr;
}

// A name as the library takes it: the str's UTF-8.
void read_name(PyObject *key) {
    Py_ssize_t size = 0;
    sink = reinterpret_cast<std::uintptr_t>(PyUnicode_AsUTF8AndSize(key, &size)) + static_cast<std::uintptr_t>(size);
}

void read_values(PyObject *container);

// A value read for the library: its C value, a text's UTF-8, a byte array's buffer.
void read_value(PyObject *value) {
    if (PyBool_Check(value)) {
        sink = value == Py_True;
    } else if (PyLong_Check(value)) {
        sink = static_cast<std::uintptr_t>(PyLong_AsLongLong(value));
    } else if (PyFloat_Check(value)) {
        sink = static_cast<std::uintptr_t>(PyFloat_AS_DOUBLE(value));
    } else if (PyUnicode_Check(value)) {
        read_name(value);
    } else if (PyBytes_Check(value)) {
        sink = reinterpret_cast<std::uintptr_t>(PyBytes_AS_STRING(value)) + static_cast<std::uintptr_t>(PyBytes_GET_SIZE(value));
    } else {
        read_values(value);
    }
}

void read_values(PyObject *container) {
    if (PyDict_Check(container)) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(container, &position, &key, &value)) {
            read_name(key);
            read_value(value);
        }
    } else {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container); ++i) read_value(PyList_GET_ITEM(container, i));
    }
}

double now_ns() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// The Python-object floors, one iteration each.
std::string smf_source;  // the encoding's bytes, for the bytes floor

// dict(v): keys() makes each name once, in an ordered set, and hands them out as a list;
// then dict() asks for each name, which is read as UTF-8, and its value is made.
void read_properties() {
    PyObject *all = PyDict_New();
    for (const Value &field : property_values) {
        PyObject *key = make_text(field.name);
        PyDict_SetDefault(all, key, Py_None);
        Py_DECREF(key);
    }
    PyObject *keys = PyDict_Keys(all);
    for (std::size_t i = 0; i < property_values.size(); ++i) {
        read_name(PyList_GET_ITEM(keys, static_cast<Py_ssize_t>(i)));
        Py_DECREF(make_value(property_values[i]));
    }
    Py_DECREF(keys);
    Py_DECREF(all);
}

// msg.map: the whole map as a dict.
void read_map() { Py_DECREF(make_dict(property_values)); }

// msg.user_properties = d, msg.map = d: every name and value read for the library.
void write_properties() { read_values(properties_dict); }

// v[k]: the caller's key read as UTF-8, and the value made.
void read_property() {
    read_name(key_object);
    Py_DECREF(make_text(property_value));
}

// v[k] = x: the key and the new value read as UTF-8.
void write_property() {
    read_name(key_object);
    read_value(written_value);
}

// msg.to_smf(): the encoding copied into a new bytes object.
void smf_bytes() {
    Py_DECREF(PyBytes_FromStringAndSize(smf_source.data(), static_cast<Py_ssize_t>(smf_source.size())));
}

using ObjectsFloor = void (*)();

ObjectsFloor objects_floor(const std::string &name) {
    if (name == "read properties") return read_properties;
    if (name == "read map") return read_map;
    if (name == "write properties") return write_properties;
    if (name == "read property") return read_property;
    if (name == "write property") return write_property;
    if (name == "bytes") return smf_bytes;
    throw py::value_error("no such floor: " + name);
}

// Text straight from a buffer into a new str.
py::str decoded(const std::string &source) {
    PyObject *s = PyUnicode_DecodeUTF8(source.data(), static_cast<Py_ssize_t>(source.size()), nullptr);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

}  // namespace binding_floor

using namespace binding_floor;

PYBIND11_MODULE(binding_floor, m) {
    py::enum_<Kind>(m, "Kind", py::arithmetic())
        .value("Null", KindNull)
        .value("Topic", KindTopic)
        .value("Queue", KindQueue)
        .value("TopicTemp", KindTopicTemp)
        .value("QueueTemp", KindQueueTemp)
        .export_values();

    py::enum_<Mode>(m, "Mode", py::arithmetic())
        .value("Direct", ModeDirect)
        .value("Persistent", ModePersistent)
        .value("NonPersistent", ModeNonPersistent)
        .export_values();

    py::class_<Place>(m, "Place")
        .def(py::init<std::string, Kind>(), py::arg("dest"), py::arg("dest_type") = KindTopic)
        .def_readwrite("dest_type", &Place::dest_type)
        .def_readwrite("dest", &Place::dest);

    // The user property view's shape: a new bound object from a property, and the mapping
    // methods that dict() and v[k] call, handing out what is already there.
    py::class_<View>(m, "View")
        .def("keys", [](const View &) { return py::reinterpret_borrow<py::list>(shared_keys); })
        .def("__getitem__", [](const View &, py::handle key) {
            sink = reinterpret_cast<std::uintptr_t>(key.ptr());
            return py::reinterpret_borrow<py::object>(shared_object);
        })
        .def("__setitem__", [](View &, py::handle key, py::handle value) {
            sink = reinterpret_cast<std::uintptr_t>(key.ptr()) + reinterpret_cast<std::uintptr_t>(value.ptr());
        });

    // The cheapest correct body for each shape: a number, a flag or an enum value as it
    // is, text and bytes straight from a buffer into a new object, a new bound instance, an
    // existing dict.
    py::class_<Empty> empty(m, "Empty");
    empty
        .def(py::init<>())
        .def("__repr__", [](const Empty &) { return decoded(dump_text); })
        .def_property("place",
            [](const Empty &) { return Place(place_name, place_type); },
            [](Empty &, const Place &p) { sink = reinterpret_cast<std::uintptr_t>(p.dest.c_str()); })
        .def_property("flag",
            [](const Empty &) { return flag; },
            [](Empty &, bool value) { sink = value; })
        .def_property_readonly("flag_readonly", [](const Empty &) { return flag; })
        .def_property("mode",
            [](const Empty &) { return mode; },
            [](Empty &, Mode value) { sink = static_cast<std::uintptr_t>(value); })
        .def_property("text",
            [](const Empty &) { return decoded(text); },
            [](Empty &, const std::string &value) { sink = reinterpret_cast<std::uintptr_t>(value.c_str()); })
        .def_property("number",
            [](const Empty &) { return number; },
            [](Empty &, std::uint32_t value) { sink = value; })
        .def_property("signed64",
            [](const Empty &) { return signed64; },
            [](Empty &, std::int64_t value) { sink = static_cast<std::uintptr_t>(value); })
        // The optional shapes hand out a value, as zelmsg's do for a message that holds one.
        .def_property("maybe_int32",
            [](const Empty &) { return std::optional(int32); },
            [](Empty &, std::optional<std::int32_t> value) { sink = static_cast<std::uintptr_t>(value.value_or(0)); })
        .def_property("maybe_int64",
            [](const Empty &) { return std::optional(int64); },
            [](Empty &, std::optional<std::int64_t> value) { sink = static_cast<std::uintptr_t>(value.value_or(0)); })
        .def_property("maybe_uint64",
            [](const Empty &) { return std::optional(uint64); },
            [](Empty &, std::optional<std::uint64_t> value) { sink = value.value_or(0); })
        .def_property("maybe_text",
            [](const Empty &) { return std::optional(decoded(text)); },
            [](Empty &, std::optional<std::string_view> value) {
                sink = reinterpret_cast<std::uintptr_t>(value ? value->data() : nullptr);
            })
        .def_property("bytes",
            [](const Empty &) { return py::bytes(buffer.data(), buffer.size()); },
            [](Empty &, const py::bytes &value) { sink = reinterpret_cast<std::uintptr_t>(value.ptr()); })
        .def_property("dict",
            [](const Empty &) { return py::reinterpret_borrow<py::dict>(shared_dict); },
            [](Empty &, const py::dict &value) { sink = reinterpret_cast<std::uintptr_t>(value.ptr()); })
        .def_property_readonly("view", [](py::object self) { return View{std::move(self)}; })
        // A received-message fact that a sent message does not have.
        .def_property_readonly("absent", [](const Empty &) { return std::optional<std::int64_t>(); })
        .def_property("maybe_bytes",
            [](const Empty &) { return std::optional(py::bytes(small_buffer.data(), small_buffer.size())); },
            [](Empty &, std::optional<py::bytes> value) {
                sink = reinterpret_cast<std::uintptr_t>(value ? value->ptr() : nullptr);
            })
        .def("to_data", [](const Empty &) { return py::reinterpret_borrow<py::object>(shared_object); });
    // A classmethod made as zelmsg makes ZelMsg.from_smf.
    empty.attr("from_data") = py::reinterpret_steal<py::object>(PyClassMethod_New(
        py::cpp_function([](py::handle cls, py::handle data) {
            sink = reinterpret_cast<std::uintptr_t>(cls.ptr()) + reinterpret_cast<std::uintptr_t>(data.ptr());
            return py::reinterpret_borrow<py::object>(shared_object);
        }, py::name("from_data"), py::scope(empty)).ptr()));
    shared_dict = PyDict_New();
    shared_object = PyDict_New();
    shared_keys = PyList_New(0);

    // A plain int subclass, as zelmsg's typed values are.
    PyType_Slot int16_slots[] = {{0, nullptr}};
    PyType_Spec int16_spec{"binding_floor.Int16", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, int16_slots};
    int16_type = PyType_FromSpecWithBases(&int16_spec, reinterpret_cast<PyObject *>(&PyLong_Type));
    if (!int16_type) throw py::error_already_set();
    m.attr("Int16") = py::reinterpret_borrow<py::object>(int16_type);

    // The values the user property and map floors make and read, and the key the view hands out.
    m.def("configure_properties", [](const py::dict &values, const std::string &key, const py::object &value) {
        property_values = describe(nullptr, values.ptr()).fields;
        Py_XSETREF(properties_dict, values.inc_ref().ptr());
        property_key = key;
        Py_XSETREF(key_object, py::str(key).release().ptr());
        property_value = py::str(values[py::str(key)]);
        Py_XSETREF(written_value, value.inc_ref().ptr());
        Py_XDECREF(shared_keys);
        shared_keys = PyList_New(0);
        for (const Value &field : property_values) {
            PyObject *name = make_text(field.name);
            PyList_Append(shared_keys, name);
            Py_DECREF(name);
        }
    });
    // time_objects(name, n[, size]): ns per iteration of a Python-object floor.
    m.def("time_objects", [](const std::string &name, std::size_t n, std::size_t size) {
        if (n == 0) throw py::value_error("n must be positive");
        const ObjectsFloor floor = objects_floor(name);
        smf_source.assign(size, 'x');
        const double start = now_ns();
        for (std::size_t i = 0; i < n; ++i) floor();
        const double elapsed = now_ns() - start;
        if (PyErr_Occurred()) throw py::error_already_set();
        return elapsed / static_cast<double>(n);
    }, py::arg("name"), py::arg("n"), py::arg("size") = 0);

    // Set what the getters return, outside any timing.
    m.def("configure", [](const std::string &new_text, std::size_t buffer_size, const std::string &new_place,
                          const std::string &new_dump, std::int64_t new_signed64, std::int32_t new_int32,
                          std::int64_t new_int64, std::uint64_t new_uint64) {
        text = new_text;
        buffer.assign(buffer_size, 'x');
        place_name = new_place;
        dump_text = new_dump;
        signed64 = new_signed64;
        int32 = new_int32;
        int64 = new_int64;
        uint64 = new_uint64;
    }, py::arg("text"), py::arg("buffer_size"), py::arg("place"), py::arg("dump"), py::arg("signed64"),
       py::arg("int32"), py::arg("int64"), py::arg("uint64"));
}
