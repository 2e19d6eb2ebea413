// zelmsg: a Python message object over libsolclient. This file registers the module: the
// enums, Destination, ZelMsg with its properties and methods, the typed field classes and the
// user property view, in the order they have always been registered.
#include "arguments.hpp"
#include "capi.hpp"
#include "errors.hpp"
#include "interpreter.hpp"
#include "methods.hpp"
#include "new_messages.hpp"
#include "texts.hpp"
#include "typed_values.hpp"
#include "user_properties.hpp"
#include "values.hpp"
#include "wire.hpp"

#include <dlfcn.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace zelmsg {
namespace {

// Initialises libsolclient, before any message exists: the library's first initialisation
// in a process throws away the messages made before it, while later ones (a session
// module's, another interpreter's) change nothing. Raises if the library refuses.
void initialise_library() {
    // At the critical level the library prints nothing for refused values or for payloads
    // it cannot read as structured data; a caller that wants more calls
    // solClient_log_setFilterLevel.
    if (solClient_initialize(SOLCLIENT_LOG_CRITICAL, nullptr) != SOLCLIENT_OK) {
        throw std::runtime_error("libsolclient could not be initialised: " + std::string(last_error_text()));
    }
}

// The three texts of the library's version record: which library, and which build of it.
py::object library_version(py::handle, py::handle) {
    solClient_version_info_pt info = nullptr;
    if (solClient_version_get(&info) != SOLCLIENT_OK || !info) {
        throw std::runtime_error("libsolclient gave no version record: " + std::string(last_error_text()));
    }
    constexpr const char *kWhere = "libsolclient's version record";
    return py::make_tuple(text_object(info->version_p, kWhere), text_object(info->dateTime_p, kWhere),
                          text_object(info->variant_p, kWhere));
}

// A folder of what is installed beside this module's file, in zelmsg.libs: the library,
// the C API header and the CMake package config.
std::string installed_folder(const char *relative) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&installed_folder), &info) == 0 || !info.dli_fname) {
        throw std::runtime_error("cannot tell where the zelmsg module was loaded from");
    }
    return (std::filesystem::path(info.dli_fname).parent_path() / "zelmsg.libs" / relative).string();
}
py::object include_folder(py::handle, py::handle) { return py::str(installed_folder("include")); }
py::object cmake_folder(py::handle, py::handle) { return py::str(installed_folder("share/cmake/zelmsg")); }

void write_body(PyZelMsg &msg, py::handle body) {
    const AttachmentView payload = payload_view(argument<py::bytes>(body, "ZelMsg.body", "bytes"));
    msg.set_body(payload.data, payload.size);
}

// What the setters accept, as their TypeErrors say it.
constexpr const char *kFlag = "a bool (or None, or a number, read for its truth)";
constexpr const char *kText = "a str or bytes";
constexpr const char *kOptionalText = "a str, bytes or None";
constexpr const char *kInt64 = "an int from -2**63 to 2**63-1";
constexpr const char *kOptionalInt64 = "an int from -2**63 to 2**63-1, or None";
constexpr const char *kPriority = "an int from 0 to 255, or None";
constexpr const char *kSequenceNumber = "an int from 0 to 2**64-1, or None";

// A priority from 0 to 255, or None for none: the library takes -1 to remove one, and
// keeps the old value for the other numbers outside, which the TypeError refuses instead.
std::optional<std::int32_t> priority_argument(py::handle value) {
    if (value.is_none()) return std::nullopt;
    const auto priority = argument<std::int32_t>(value, "ZelMsg.priority", kPriority);
    if (priority < 0 || priority > 255) refuse_argument(value, "ZelMsg.priority", kPriority);
    return priority;
}

std::optional<std::string_view> optional_text(py::handle value, const char *where) {
    return optional_text_argument(value, where, kOptionalText);
}

}  // namespace

PyZelMsg::PyZelMsg() {
    if (solClient_msg_alloc(&msg_) == SOLCLIENT_OK) return;
    msg_ = nullptr;
    // Logged, not raised: the constructor has always given an object that holds no message,
    // which every accessor then reports or refuses.
    spdlog::default_logger_raw()->log(spdlog::source_loc{__FILE__, __LINE__, "ZelMsg::ZelMsg"},
                                      spdlog::level::err, "ZelMsg alloc failed, error: {}", last_error_text());
}

PyZelMsg::~PyZelMsg() {
    if (container_) solClient_container_closeMapStream(&container_);
    if (msg_) {
        solClient_msg_free(&msg_);
        msg_ = nullptr;
    }
}

}  // namespace zelmsg

using namespace zelmsg;

PYBIND11_MODULE(zelmsg, m) {
    initialise_library();
    InterpreterState &state = create_interpreter_state();
    state.mapping_abc = py::object(py::module_::import("collections.abc").attr("Mapping")).release().ptr();
    state.dict_name = PyUnicode_InternFromString("__dict__");
    state.getstate_name = PyUnicode_InternFromString("__getstate__");
    // Filled on the first import: nothing of the module's own runs when its file is loaded.
    static PyMethodDef destination_methods[] = {
        {"__eq__", &method<destination_equals>, METH_O, "__eq__($self, other, /)\n--\n\n"},
        {"__ne__", &method<destination_differs>, METH_O, "__ne__($self, other, /)\n--\n\n"},
        {"__repr__", &method<destination_repr>, METH_NOARGS, "__repr__($self, /)\n--\n\n"},
        {"__reduce__", &method<destination_reduce>, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };

    static PyMethodDef message_methods[] = {
        {"__copy__", &method<shallow_copy>, METH_NOARGS, "__copy__($self, /)\n--\n\n"},
        {"__deepcopy__", &method<deep_copy>, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
        {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_method<build_message>)),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
         "build(**attributes): a new message with each attribute set as assigning it does."},
        {"to_smf", &method<encode_message>, METH_NOARGS, "to_smf($self, /)\n--\n\n"},
        {"from_smf", &method<decode_message>, METH_O | METH_CLASS, "from_smf($cls, data, /)\n--\n\n"},
        {"__reduce__", &method<reduce_message>, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
        {"__setstate__", &method<restore_message>, METH_O, "__setstate__($self, state, /)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };

    static PyMethodDef module_functions[] = {
        {"get_include", &method<include_folder>, METH_NOARGS, "get_include()\n--\n\nThe folder that holds zelmsg/capi.h, the C API header."},
        {"get_cmake_dir", &method<cmake_folder>, METH_NOARGS,
         "get_cmake_dir()\n--\n\nThe folder of zelmsg's CMake package config (targets zelmsg::capi and zelmsg::solclient)."},
        {"library_version", &method<library_version>, METH_NOARGS,
         "library_version()\n--\n\nThe libsolclient zelmsg runs on, as (version, date_time, variant) from its version record."},
        {nullptr, nullptr, 0, nullptr},
    };

    // Two line feeds and two spaces: the module's docstring has always been this.
    m.doc() = "\n\n  ";

    py::enum_<solClient_destinationType>(m, "DestinationType", py::arithmetic(), "Solace Msg DestinationType")
        .value("Null", SOLCLIENT_NULL_DESTINATION, "Null")
        .value("Topic", SOLCLIENT_TOPIC_DESTINATION, "Topic")
        .value("Queue", SOLCLIENT_QUEUE_DESTINATION, "Queue")
        .value("TopicTemp", SOLCLIENT_TOPIC_TEMP_DESTINATION, "TopicTemp")
        .value("QueueTemp", SOLCLIENT_QUEUE_TEMP_DESTINATION, "QueueTemp")
        .export_values();

    py::enum_<DeliveryMode>(m, "DeliveryMode", py::arithmetic(), "Solace Msg DeliveryMode")
        .value("Direct", Direct, "Direct")
        .value("Persistent", Persistent, "Persistent")
        .value("NonPersistent", NonPersistent, "NonPersistent")
        .export_values();

    py::class_<Destination> destination(m, "Destination");
    destination.def(py::init<DestinationName, solClient_destinationType_t>(), py::arg("dest"),
                    py::arg("dest_type") = SOLCLIENT_TOPIC_DESTINATION)
        .def_readwrite("dest_type", &Destination::dest_type)
        .def_readwrite("dest", &Destination::dest);
    add_methods(destination, destination_methods);
    destination.attr("__hash__") = py::none();  // a mutable value

    // Setters take the value as it comes and convert it with argument<T>(): a refusal then
    // never quotes the message (arguments.hpp tells why). Methods are the C API's (methods.hpp).
    py::class_<PyZelMsg> message(m, "ZelMsg");
    state.message_type = reinterpret_cast<PyTypeObject *>(message.inc_ref().ptr());
    state.message_info = py::detail::get_type_info(state.message_type);
    message.def(py::init<>());
    message.def("__repr__", [](const PyZelMsg &msg, const py::args &extra) {
        if (!extra.empty()) throw py::type_error("ZelMsg.__repr__() takes no arguments");
        return msg.dump();
    });
    writable(message, "dest",
        [](const PyZelMsg &msg) { return msg.get_dest(); },
        [](PyZelMsg &msg, py::handle d) { msg.set_dest(argument<const Destination &>(d, "ZelMsg.dest", "a Destination")); });
    writable(message, "reply2",
        [](const PyZelMsg &msg) { return msg.get_reply2(); },
        [](PyZelMsg &msg, py::handle d) {
            msg.set_reply2(argument<std::optional<Destination>>(d, "ZelMsg.reply2", "a Destination or None")); });
    writable(message, "is_reply",
        [](const PyZelMsg &msg) { return msg.get_is_reply(); },
        [](PyZelMsg &msg, py::handle flag) { msg.set_is_reply(argument<bool>(flag, "ZelMsg.is_reply", kFlag)); });
    message.def_property_readonly("is_request", [](const PyZelMsg &msg) { return msg.get_is_request(); });
    message.def_property_readonly("is_p2p", [](const PyZelMsg &msg) { return msg.get_is_p2p(); });
    writable(message, "delivery_mode",
        [](const PyZelMsg &msg) { return msg.get_delivery_mode(); },
        [](PyZelMsg &msg, py::handle mode) {
            msg.set_delivery_mode(argument<DeliveryMode>(mode, "ZelMsg.delivery_mode", "a DeliveryMode")); });
    writable(message, "content_type",
        [](const PyZelMsg &msg) { return msg.get_content_type(); },
        [](PyZelMsg &msg, py::handle text) {
            msg.set_content_type(text_argument(text, "ZelMsg.content_type", kText).data()); });
    writable(message, "elide",
        [](const PyZelMsg &msg) { return msg.get_elide(); },
        [](PyZelMsg &msg, py::handle flag) { msg.set_elide(argument<bool>(flag, "ZelMsg.elide", kFlag)); });
    writable(message, "cos",
        [](const PyZelMsg &msg) { return msg.get_cos(); },
        [](PyZelMsg &msg, py::handle cos) {
            msg.set_cos(argument<std::uint32_t>(cos, "ZelMsg.cos", "an int from 0 to 4294967295")); });
    writable(message, "json",
        [](const PyZelMsg &msg) { return msg.get_json(); },
        [](PyZelMsg &msg, py::handle value) { msg.set_json(argument<py::dict>(value, "ZelMsg.json", "a dict")); });
    writable(message, "msgpack",
        [](const PyZelMsg &msg) { return msg.get_msgpack(); },
        [](PyZelMsg &msg, py::handle value) { msg.set_msgpack(argument<py::dict>(value, "ZelMsg.msgpack", "a dict")); });
    writable(message, "body",
        [](const PyZelMsg &msg) { return read_body(msg); },
        [](PyZelMsg &msg, py::handle body) { write_body(msg, body); });
    writable(message, "dmq_eligible",
        [](const PyZelMsg &msg) { return msg.get_dmq_eligible(); },
        [](PyZelMsg &msg, py::handle flag) { msg.set_dmq_eligible(argument<bool>(flag, "ZelMsg.dmq_eligible", kFlag)); });
    writable(message, "ttl",
        [](const PyZelMsg &msg) { return msg.get_ttl(); },
        [](PyZelMsg &msg, py::handle ttl) { msg.set_ttl(argument<std::int64_t>(ttl, "ZelMsg.ttl", kInt64)); });
    writable(message, "priority",
        [](const PyZelMsg &msg) { return msg.get_priority(); },
        [](PyZelMsg &msg, py::handle priority) { msg.set_priority(priority_argument(priority)); });
    writable(message, "correlation_id",
        [](const PyZelMsg &msg) { return msg.get_correlation_id(); },
        [](PyZelMsg &msg, py::handle id) { msg.set_correlation_id(optional_text(id, "ZelMsg.correlation_id")); });
    writable(message, "application_message_id",
        [](const PyZelMsg &msg) { return msg.get_application_message_id(); },
        [](PyZelMsg &msg, py::handle id) {
            msg.set_application_message_id(optional_text(id, "ZelMsg.application_message_id")); });
    writable(message, "sender_timestamp",
        [](const PyZelMsg &msg) { return msg.get_sender_timestamp(); },
        [](PyZelMsg &msg, py::handle ms) {
            msg.set_sender_timestamp(argument<std::optional<std::int64_t>>(ms, "ZelMsg.sender_timestamp", kOptionalInt64)); });
    writable(message, "sequence_number",
        [](const PyZelMsg &msg) { return msg.get_sequence_number(); },
        [](PyZelMsg &msg, py::handle number) {
            msg.set_sequence_number(
            argument<std::optional<std::uint64_t>>(number, "ZelMsg.sequence_number", kSequenceNumber)); });
    writable(message, "text",
        [](const PyZelMsg &msg) { return msg.get_text(); },
        [](PyZelMsg &msg, py::handle text) { msg.set_text(optional_text(text, "ZelMsg.text")); });

    m.attr("_C_API") = c_api_capsule();
    add_functions(m, module_functions);
    m.attr("__version__") = ZELMSG_VERSION;

    register_typed_values(m, state);
    register_user_properties_view(m, state);
    writable(message, "user_properties",
        [](py::handle msg) { return user_properties_view(msg); },
        [](PyZelMsg &msg, py::handle mapping) { msg.set_user_properties(mapping); });
    writable(message, "map",
        [](const PyZelMsg &msg) { return msg.get_map(); },
        [](PyZelMsg &msg, py::handle mapping) { msg.set_map(mapping); });
    writable(message, "stream",
        [](const PyZelMsg &msg) { return msg.get_stream(); },
        [](PyZelMsg &msg, py::handle sequence) { msg.set_stream(sequence); });

    writable(message, "application_message_type",
        [](const PyZelMsg &msg) { return msg.get_application_message_type(); },
        [](PyZelMsg &msg, py::handle type) {
            msg.set_application_message_type(optional_text(type, "ZelMsg.application_message_type")); });
    writable(message, "sender_id",
        [](const PyZelMsg &msg) { return msg.get_sender_id(); },
        [](PyZelMsg &msg, py::handle id) { msg.set_sender_id(optional_text(id, "ZelMsg.sender_id")); });
    writable(message, "http_content_type",
        [](const PyZelMsg &msg) { return msg.get_http_content_type(); },
        [](PyZelMsg &msg, py::handle type) { msg.set_http_content_type(optional_text(type, "ZelMsg.http_content_type")); });
    writable(message, "http_content_encoding",
        [](const PyZelMsg &msg) { return msg.get_http_content_encoding(); },
        [](PyZelMsg &msg, py::handle encoding) {
            msg.set_http_content_encoding(optional_text(encoding, "ZelMsg.http_content_encoding")); });
    writable(message, "expiration",
        [](const PyZelMsg &msg) { return msg.get_expiration(); },
        [](PyZelMsg &msg, py::handle ms) { msg.set_expiration(argument<std::int64_t>(ms, "ZelMsg.expiration", kInt64)); });
    writable(message, "ack_immediately",
        [](const PyZelMsg &msg) { return msg.get_ack_immediately(); },
        [](PyZelMsg &msg, py::handle flag) { msg.set_ack_immediately(argument<bool>(flag, "ZelMsg.ack_immediately", kFlag)); });
    writable(message, "user_data",
        [](const PyZelMsg &msg) { return msg.get_user_data(); },
        [](PyZelMsg &msg, py::handle data) {
            msg.set_user_data(argument<std::optional<py::bytes>>(data, "ZelMsg.user_data", "bytes, or None")); });
    message.def_property_readonly("redelivered", [](const PyZelMsg &msg) { return msg.get_redelivered(); });
    message.def_property_readonly("delivery_count", [](const PyZelMsg &msg) { return msg.get_delivery_count(); });
    message.def_property_readonly("receive_timestamp", [](const PyZelMsg &msg) { return msg.get_receive_timestamp(); });
    message.def_property_readonly("topic_sequence_number",
        [](const PyZelMsg &msg) { return msg.get_topic_sequence_number(); });
    message.def_property_readonly("message_id", [](const PyZelMsg &msg) { return msg.get_message_id(); });
    message.def_property_readonly("replication_group_message_id",
        [](const PyZelMsg &msg) { return msg.get_replication_group_message_id(); });
    message.def_property_readonly("discard_indication", [](const PyZelMsg &msg) { return msg.get_discard_indication(); });
    add_methods(message, message_methods);
}
