// The cost of the binding alone: a trivial class whose properties do nothing but take
// and return values of the same Python types as zelmsg's, registered the same way, so
// that zelmsg's time minus this one and minus its library calls is zelmsg's own work.
// A benchmark-only module: it is never installed with zelmsg.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

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

    // The cheapest correct body for each shape: a number, a flag or an enum value as it
    // is, text and bytes straight from a buffer into a new object, a new bound instance, an
    // existing dict.
    py::class_<Empty>(m, "Empty")
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
            [](Empty &, const py::dict &value) { sink = reinterpret_cast<std::uintptr_t>(value.ptr()); });
    shared_dict = PyDict_New();

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
