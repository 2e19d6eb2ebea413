// zelmsg: a Python message object over libsolclient. This file registers the module: the
// enums, Destination, ZelMsg with its properties (the table below) and methods, the typed
// field classes, the user property view, Smf and UnknownField, and ReplicationGroupMessageId,
// each new one after those before it.
//
// The files of src/core stand in floors, each calling only those below it:
//   registration   zelmsg.cpp
//   features       codecs, user_properties, structured_payload, wire, new_messages, capi
//   the message    pyzelmsg.* (the accessors), property_table.* and arguments.hpp (how the
//                  setters take their values, for the registration and ZelMsg.build),
//                  values.* (Destination), replication_ids.* (ReplicationGroupMessageId)
//   conversion     conversion.* (Python values and fields), typed_values.*
//   ground         containers.*, smf_framing.*, texts.*, errors.*, methods.*, interpreter.*
#include "property_table.hpp"
#include "capi.hpp"
#include "errors.hpp"
#include "interpreter.hpp"
#include "methods.hpp"
#include "new_messages.hpp"
#include "trace_context.hpp"
#include "replication_ids.hpp"
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
    if (solClient_initialize(SOLCLIENT_LOG_CRITICAL, nullptr) != SOLCLIENT_OK)
        throw std::runtime_error("libsolclient could not be initialised: " + std::string(last_error_text()));
}

// The three texts of the library's version record: which library, and which build of it.
py::object library_version(py::handle, py::handle) {
    solClient_version_info_pt info = nullptr;
    if (solClient_version_get(&info) != SOLCLIENT_OK || !info)
        throw std::runtime_error("libsolclient gave no version record: " + std::string(last_error_text()));
    constexpr const char *kWhere = "libsolclient's version record";
    return py::make_tuple(text_object(info->version_p, kWhere), text_object(info->dateTime_p, kWhere),
                          text_object(info->variant_p, kWhere));
}

// A folder of what is installed beside this module's file, in zelmsg.libs: the library,
// the C API header and the CMake package config.
std::string installed_folder(const char *relative) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&installed_folder), &info) == 0 || !info.dli_fname)
        throw std::runtime_error("cannot tell where the zelmsg module was loaded from");
    return (std::filesystem::path(info.dli_fname).parent_path() / "zelmsg.libs" / relative).string();
}
py::object include_folder(py::handle, py::handle) { return py::str(installed_folder("include")); }
py::object cmake_folder(py::handle, py::handle) { return py::str(installed_folder("share/cmake/zelmsg")); }

// ZelMsg's properties, in the order they have always been registered, which is part of the
// module's defined surface; ZelMsg.build applies setters in it too.
constexpr auto kProperties = std::tuple{
    read_write<&PyZelMsg::get_dest, &PyZelMsg::set_dest>("dest"),
    read_write<&PyZelMsg::get_reply2, &PyZelMsg::set_reply2>("reply2"),
    read_write<&PyZelMsg::get_is_reply, &PyZelMsg::set_is_reply>("is_reply"),
    read_only<&PyZelMsg::get_is_request>("is_request"),
    read_only<&PyZelMsg::get_is_p2p>("is_p2p"),
    read_write<&PyZelMsg::get_delivery_mode, &PyZelMsg::set_delivery_mode>("delivery_mode"),
    read_write<&PyZelMsg::get_content_type, &PyZelMsg::set_content_type>("content_type"),
    read_write<&PyZelMsg::get_elide, &PyZelMsg::set_elide>("elide"),
    read_write<&PyZelMsg::get_cos, &PyZelMsg::set_cos>("cos"),
    read_write<&PyZelMsg::get_json, &PyZelMsg::set_json>("json"),
    read_write<&PyZelMsg::get_msgpack, &PyZelMsg::set_msgpack>("msgpack"),
    read_write<&read_body, &write_body>("body"),
    read_write<&PyZelMsg::get_dmq_eligible, &PyZelMsg::set_dmq_eligible>("dmq_eligible"),
    read_write<&PyZelMsg::get_ttl, &PyZelMsg::set_ttl>("ttl"),
    read_write<&PyZelMsg::get_priority, &PyZelMsg::set_priority>("priority"),
    read_write<&PyZelMsg::get_correlation_id, &PyZelMsg::set_correlation_id>("correlation_id"),
    read_write<&PyZelMsg::get_application_message_id, &PyZelMsg::set_application_message_id>("application_message_id"),
    read_write<&PyZelMsg::get_sender_timestamp, &PyZelMsg::set_sender_timestamp>("sender_timestamp"),
    read_write<&PyZelMsg::get_sequence_number, &PyZelMsg::set_sequence_number>("sequence_number"),
    read_write<&PyZelMsg::get_text, &PyZelMsg::set_text>("text"),
    read_write<&user_properties_view, &PyZelMsg::set_user_properties>("user_properties"),
    read_write<&PyZelMsg::get_map, &PyZelMsg::set_map>("map"),
    read_write<&PyZelMsg::get_stream, &PyZelMsg::set_stream>("stream"),
    read_write<&PyZelMsg::get_application_message_type, &PyZelMsg::set_application_message_type>(
        "application_message_type"),
    read_write<&PyZelMsg::get_sender_id, &PyZelMsg::set_sender_id>("sender_id"),
    read_write<&PyZelMsg::get_http_content_type, &PyZelMsg::set_http_content_type>("http_content_type"),
    read_write<&PyZelMsg::get_http_content_encoding, &PyZelMsg::set_http_content_encoding>("http_content_encoding"),
    read_write<&PyZelMsg::get_expiration, &PyZelMsg::set_expiration>("expiration"),
    read_write<&PyZelMsg::get_ack_immediately, &PyZelMsg::set_ack_immediately>("ack_immediately"),
    read_write<&PyZelMsg::get_user_data, &PyZelMsg::set_user_data>("user_data"),
    read_only<&PyZelMsg::get_redelivered>("redelivered"),
    read_only<&PyZelMsg::get_delivery_count>("delivery_count"),
    read_only<&PyZelMsg::get_receive_timestamp>("receive_timestamp"),
    read_only<&PyZelMsg::get_topic_sequence_number>("topic_sequence_number"),
    read_only<&PyZelMsg::get_message_id>("message_id"),
    read_only<&PyZelMsg::get_replication_group_message_id>("replication_group_message_id"),
    read_only<&PyZelMsg::get_discard_indication>("discard_indication"),
    read_write<&PyZelMsg::get_creation_context, &PyZelMsg::set_creation_context>("creation_context"),
    read_write<&PyZelMsg::get_transport_context, &PyZelMsg::set_transport_context>("transport_context"),
    read_write<&PyZelMsg::get_baggage, &PyZelMsg::set_baggage>("baggage"),
    read_only<&PyZelMsg::get_cache_status>("cache_status"),
    read_only<&PyZelMsg::get_cache_request_id>("cache_request_id"),
    read_only<&PyZelMsg::get_consumer_ids>("consumer_ids"),
    read_write<&PyZelMsg::get_xml, &PyZelMsg::set_xml>("xml"),
    read_write<&PyZelMsg::get_correlation_tag, &PyZelMsg::set_correlation_tag>("correlation_tag"),
};

// msg.dump(brief=False): the whole dump, where repr's is cut. brief is taken as a flag
// property takes its value.
py::object dump_message(py::handle self, PyObject *const *arguments, Py_ssize_t count, PyObject *names) {
    const Py_ssize_t keywords = names ? PyTuple_GET_SIZE(names) : 0;
    if (count + keywords > 1) {
        PyErr_Format(PyExc_TypeError, "dump() takes at most 1 argument (%zd given)", count + keywords);
        raise_python_error();
    }
    if (keywords == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names, 0), "brief") != 0)
        throw py::type_error("dump() got an unexpected keyword argument");
    const bool brief = count + keywords == 1 && argument<bool>(arguments[0], "ZelMsg.dump", kFlag);
    return self.cast<const PyZelMsg &>().whole_dump(brief);
}

py::object reset_message(py::handle self, py::handle) {
    self.cast<PyZelMsg &>().reset();
    return py::none();
}

}  // namespace

PyZelMsg::PyZelMsg() {
    if (solClient_msg_alloc(&msg_) == SOLCLIENT_OK) return;
    msg_ = nullptr;
    // Logged, not raised: the constructor has always given an object that holds no message,
    // which every accessor then reports or refuses.
    spdlog::default_logger_raw()->log(spdlog::source_loc{__FILE__, __LINE__, "ZelMsg::ZelMsg"}, spdlog::level::err,
                                      "ZelMsg alloc failed, error: {}", last_error_text());
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
        {"dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_method<dump_message>)),
         METH_FASTCALL | METH_KEYWORDS,
         "dump($self, /, brief=False)\n--\n\nThe library's dump of the whole message, however long; brief gives "
         "only the lengths of the user property map, the body and the XML part. Never raises for bytes that are "
         "not UTF-8: they show as \\x escapes."},
        {"reset", &method<reset_message>, METH_NOARGS,
         "reset($self, /)\n--\n\nEmpties the message, which then reads as a new one, and keeps it: views and "
         "handles of it stay valid. A subclass's own attributes are left as they are."},
        {nullptr, nullptr, 0, nullptr},
    };

    static PyMethodDef module_functions[] = {
        {"get_include", &method<include_folder>, METH_NOARGS,
         "get_include()\n--\n\nThe folder that holds zelmsg/capi.h, the C API header."},
        {"get_cmake_dir", &method<cmake_folder>, METH_NOARGS,
         "get_cmake_dir()\n--\n\nThe folder of zelmsg's CMake package config (targets zelmsg::capi and "
         "zelmsg::solclient)."},
        {"library_version", &method<library_version>, METH_NOARGS,
         "library_version()\n--\n\nThe libsolclient zelmsg runs on, as (version, date_time, variant) from its version "
         "record."},
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
    destination
        .def(py::init<DestinationName, solClient_destinationType_t>(), py::arg("dest"),
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
    message.def(
        "__repr__",
        [](const PyZelMsg &msg, const py::args &extra) {
            if (!extra.empty()) throw py::type_error("ZelMsg.__repr__() takes no arguments");
            return msg.dump();
        },
        "The library's dump of the message, cut at 4094 bytes with no mark of the cut; msg.dump() gives it whole.");
    register_properties(message, kProperties);
    add_methods(message, message_methods);

    m.attr("_C_API") = c_api_capsule();
    add_functions(m, module_functions);
    m.attr("__version__") = ZELMSG_VERSION;
    register_typed_values(m, state);
    register_user_properties_view(m, state);
    register_trace_context(m, state);
    py::enum_<solClient_cacheStatus>(m, "CacheStatus", "Whether a received message came live or from a cache")
        .value("Invalid", SOLCLIENT_CACHE_INVALID_MESSAGE, "Not a message")
        .value("Live", SOLCLIENT_CACHE_LIVE_MESSAGE, "Live")
        .value("Cached", SOLCLIENT_CACHE_MESSAGE, "From a cache")
        .value("Suspect", SOLCLIENT_CACHE_SUSPECT_MESSAGE, "From a cache that may have missed messages");
    register_byte_fields(m, state);
    register_replication_ids(m);
}
