// zelmsg: a Python message object over libsolclient.
#include "pyzelmsg.hpp"

#include "arguments.hpp"
#include "fields.hpp"

#include <dlfcn.h>
#include <pybind11/operators.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <limits>
#include <stdexcept>

namespace zelmsg {

// The library cuts its dump two bytes short of the buffer, wherever that falls.
constexpr std::size_t kDumpBufferSize = 4096;
constexpr std::size_t kDumpTextLimit = kDumpBufferSize - 2;

std::string_view last_error_text() {
    const solClient_errorInfo_pt error = solClient_getLastErrorInfo();
    return error ? std::string_view(error->errorStr, strnlen(error->errorStr, sizeof error->errorStr))
                 : std::string_view{};
}

void initialise_library() {
    // At the critical level the library prints nothing for refused values or for payloads
    // it cannot read as structured data; a caller that wants more calls
    // solClient_log_setFilterLevel.
    if (solClient_initialize(SOLCLIENT_LOG_CRITICAL, nullptr) != SOLCLIENT_OK) {
        throw std::runtime_error("libsolclient could not be initialised: " + std::string(last_error_text()));
    }
}

PyZelMsg::PyZelMsg() {
    if (solClient_msg_alloc(&msg_) == SOLCLIENT_OK) return;
    msg_ = nullptr;
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

// Bytes at the end of text that begin a UTF-8 sequence the text does not complete.
static std::size_t incomplete_utf8_tail(std::string_view text) {
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if ((byte & 0xC0) == 0x80) continue;  // continuation byte: look further back
        const std::size_t length = byte >= 0xC2 && byte <= 0xDF   ? 2
                                   : byte >= 0xE0 && byte <= 0xEF ? 3
                                   : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                                  : 0;
        return length > back ? back : 0;
    }
    return 0;
}

py::str PyZelMsg::dump() const {
    char buffer[kDumpBufferSize] = {};
    solClient_msg_dump(msg_, buffer, sizeof buffer);
    std::string_view text(buffer, strnlen(buffer, sizeof buffer));
    // A dump cut at the limit may end inside a character; drop that fragment so the
    // text still decodes. Anything invalid elsewhere is left for the decoder to refuse.
    if (text.size() >= kDumpTextLimit) text.remove_suffix(incomplete_utf8_tail(text));
    return py::str(text.data(), text.size());
}


py::str text_object(const char *text) { return text ? py::str(text, std::strlen(text)) : py::str(); }

py::str text_object(const char *text, std::size_t size) { return text ? py::str(text, size) : py::str(); }

py::str PyZelMsg::get_content_type() const {
    OpenContainer map;
    const char *text = nullptr;
    solClient_returnCode_t rc = solClient_msg_getUserPropertyMap(msg_, map.out());
    if (rc == SOLCLIENT_OK) {
        rc = solClient_container_getStringPtr(map.get(), &text, kContentTypeName);
        if (rc == SOLCLIENT_OK) return text_object(text);
    }
    // Only a missing map or a missing entry falls back to the HTTP content type.
    if (rc == SOLCLIENT_NOT_FOUND && solClient_msg_getHttpContentType(msg_, &text) == SOLCLIENT_OK) {
        return text_object(text);
    }
    return py::str();
}

std::optional<py::str> PyZelMsg::read_text(TextRead read) const {
    const char *text = nullptr;
    // The genuine library may answer OK with no text for a malformed structured string.
    if (read(msg_, &text) != SOLCLIENT_OK || !text) return std::nullopt;
    return text_object(text);
}

const char *c_text(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        throw py::value_error("text holds a NUL character, where the library would cut it");
    }
    return text.data();
}

// 0x1F, a 4-byte length of the whole field, the text and a NUL.
constexpr std::size_t kMaxAttachmentText = std::numeric_limits<std::uint32_t>::max() - 6;

const char *attachment_text(std::string_view text) {
    if (text.size() > kMaxAttachmentText) {
        throw py::value_error("text of " + std::to_string(text.size()) +
                              " bytes is longer than a message can carry (4294967289 bytes)");
    }
    return c_text(text);
}

// The most user data a message can be sent with.
constexpr std::size_t kMaxUserData = 36;

const void *user_data(std::string_view data) {
    if (data.size() > kMaxUserData) {
        throw py::value_error("user data of " + std::to_string(data.size()) +
                              " bytes is more than a message can be sent with (36 bytes)");
    }
    return data.data();
}

std::optional<py::str> PyZelMsg::get_replication_group_message_id() const {
    unsigned char id[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_SIZE] = {};
    if (solClient_msg_getReplicationGroupMessageId(msg_, id, sizeof id) != SOLCLIENT_OK) return std::nullopt;
    // The whole text and its NUL: a buffer a byte short gets a cut text.
    char text[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_STRING_LENGTH + 1] = {};
    if (solClient_replicationGroupMessageId_toString(id, sizeof id, text, sizeof text) != SOLCLIENT_OK) {
        return std::nullopt;
    }
    return text_object(text);
}

solClient_returnCode_t PyZelMsg::set_content_type(const char *text) {
    OpenContainer map;
    solClient_returnCode_t rc = solClient_msg_getUserPropertyMap(msg_, map.out());
    if (rc == SOLCLIENT_OK) {
        rc = solClient_container_deleteField(map.get(), kContentTypeName);
    } else if (rc == SOLCLIENT_NOT_FOUND) {
        // No map yet: a new one. A map the library cannot give is left as it is.
        rc = solClient_msg_createUserPropertyMap(msg_, map.out(), kUserPropertyMapSize);
    }
    if (rc == SOLCLIENT_OK) rc = solClient_container_addString(map.get(), text, kContentTypeName);
    return rc;
}

AttachmentView payload_view(const py::bytes &payload) {
    const Py_ssize_t size = PyBytes_GET_SIZE(payload.ptr());
    // The library describes an attachment's length in 32 bits; a longer payload would
    // silently be cut to a wrong length.
    if (static_cast<std::size_t>(size) > std::numeric_limits<std::uint32_t>::max()) {
        throw py::value_error("payload of " + std::to_string(size) +
                              " bytes is larger than a message can carry (4294967295 bytes)");
    }
    return {PyBytes_AS_STRING(payload.ptr()), static_cast<std::uint32_t>(size)};
}

py::bytes read_body(const PyZelMsg &msg) {
    const AttachmentView view = msg.get_body();
    return py::bytes(static_cast<const char *>(view.data), view.size);
}

static void write_body(PyZelMsg &msg, const py::bytes &body) {
    const AttachmentView payload = payload_view(body);
    msg.set_body(payload.data, payload.size);
}

py::str destination_repr(const Destination &d) {
    // A name that is not UTF-8 is shown as the bytes it is, which the constructor takes too.
    py::object name = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(d.dest.data(), static_cast<Py_ssize_t>(d.dest.size()), nullptr));
    if (!name) {
        PyErr_Clear();
        name = py::bytes(d.dest);
    }
    const py::object type = py::cast(d.dest_type);
    // A number the enum does not name reads back through DestinationType(n).
    const bool named = py::type::handle_of(type).attr("__members__").contains(type.attr("name"));
    const py::str type_text = named ? py::str(type) : py::str("DestinationType({})").format(py::int_(type));
    return py::str("Destination({!r}, {})").format(name, type_text);
}

// The three texts of the library's version record: which library, and which build of it.
static py::tuple library_version() {
    solClient_version_info_pt info = nullptr;
    if (solClient_version_get(&info) != SOLCLIENT_OK || !info) {
        throw std::runtime_error("libsolclient gave no version record: " + std::string(last_error_text()));
    }
    return py::make_tuple(text_object(info->version_p), text_object(info->dateTime_p), text_object(info->variant_p));
}

// A folder of what is installed beside this module's file, in zelmsg.libs: the library,
// the C API header and the CMake package config.
static std::string installed_folder(const char *relative) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&installed_folder), &info) == 0 || !info.dli_fname) {
        throw std::runtime_error("cannot tell where the zelmsg module was loaded from");
    }
    return (std::filesystem::path(info.dli_fname).parent_path() / "zelmsg.libs" / relative).string();
}

}  // namespace zelmsg

using namespace zelmsg;

// Registers a classmethod of ZelMsg, which pybind11 has no call of its own for.
template <typename Function>
static void classmethod(py::class_<PyZelMsg> &message, const char *name, Function function) {
    message.attr(name) = py::reinterpret_steal<py::object>(
        PyClassMethod_New(py::cpp_function(function, py::name(name), py::scope(message)).ptr()));
}

// What the setters accept, as their TypeErrors say it.
constexpr const char *kFlag = "a bool (or None, or a number, read for its truth)";
constexpr const char *kText = "a str or bytes";
constexpr const char *kOptionalText = "a str, bytes or None";
constexpr const char *kInt64 = "an int from -2**63 to 2**63-1";
constexpr const char *kOptionalInt64 = "an int from -2**63 to 2**63-1, or None";
constexpr const char *kPriority = "an int from 0 to 255, or None";
constexpr const char *kSequenceNumber = "an int from 0 to 2**64-1, or None";

PYBIND11_MODULE(zelmsg, m) {
    initialise_library();
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

    py::class_<Destination>(m, "Destination")
        .def(py::init<std::string, solClient_destinationType_t>(), py::arg("dest"),
             py::arg("dest_type") = SOLCLIENT_TOPIC_DESTINATION)
        .def_readwrite("dest_type", &Destination::dest_type)
        .def_readwrite("dest", &Destination::dest)
        .def(py::self == py::self)
        .def(py::self != py::self)
        .def("__repr__", &destination_repr);

    // Setters take the value as it comes and convert it with argument<T>(): a refusal then
    // never quotes the message (arguments.hpp tells why). Methods added later do the same.
    py::class_<PyZelMsg> message(m, "ZelMsg");
    message.def(py::init<>());
    message.def("__repr__", &PyZelMsg::dump);
    writable(message, "dest",
        [](const PyZelMsg &msg) { return msg.get_dest(); },
        [](PyZelMsg &msg, py::handle d) { msg.set_dest(argument<const Destination &>(d, "ZelMsg.dest", "a Destination")); });
    writable(message, "reply2",
        [](const PyZelMsg &msg) { return msg.get_reply2(); },
        [](PyZelMsg &msg, py::handle d) { msg.set_reply2(argument<const Destination &>(d, "ZelMsg.reply2", "a Destination")); });
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
            msg.set_content_type(argument<std::string>(text, "ZelMsg.content_type", kText).c_str()); });
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
        [](PyZelMsg &msg, py::handle body) { write_body(msg, argument<py::bytes>(body, "ZelMsg.body", "bytes")); });
    writable(message, "dmq_eligible",
        [](const PyZelMsg &msg) { return msg.get_dmq_eligible(); },
        [](PyZelMsg &msg, py::handle flag) { msg.set_dmq_eligible(argument<bool>(flag, "ZelMsg.dmq_eligible", kFlag)); });
    writable(message, "ttl",
        [](const PyZelMsg &msg) { return msg.get_ttl(); },
        [](PyZelMsg &msg, py::handle ttl) { msg.set_ttl(argument<std::int64_t>(ttl, "ZelMsg.ttl", kInt64)); });
    writable(message, "priority",
        [](const PyZelMsg &msg) { return msg.get_priority(); },
        [](PyZelMsg &msg, py::handle priority) {
            msg.set_priority(argument<std::optional<std::int32_t>>(priority, "ZelMsg.priority", kPriority)); });
    writable(message, "correlation_id",
        [](const PyZelMsg &msg) { return msg.get_correlation_id(); },
        [](PyZelMsg &msg, py::handle id) {
            msg.set_correlation_id(argument<std::optional<std::string_view>>(id, "ZelMsg.correlation_id", kOptionalText)); });
    writable(message, "application_message_id",
        [](const PyZelMsg &msg) { return msg.get_application_message_id(); },
        [](PyZelMsg &msg, py::handle id) {
            msg.set_application_message_id(
            argument<std::optional<std::string_view>>(id, "ZelMsg.application_message_id", kOptionalText)); });
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
        [](PyZelMsg &msg, py::handle text) {
            msg.set_text(argument<std::optional<std::string_view>>(text, "ZelMsg.text", kOptionalText)); });

    m.attr("_C_API") = c_api_capsule(m.attr("ZelMsg"));
    m.def("get_include", [] { return installed_folder("include"); },
          "The folder that holds zelmsg/capi.h, the C API header.");
    m.def("get_cmake_dir", [] { return installed_folder("share/cmake/zelmsg"); },
          "The folder of zelmsg's CMake package config (targets zelmsg::capi and zelmsg::solclient).");
    m.def("library_version", &library_version,
          "The libsolclient zelmsg runs on, as (version, date_time, variant) from its version record.");
    m.attr("__version__") = ZELMSG_VERSION;

    register_field_types(m);
    register_user_properties_view(m);
    writable(message, "user_properties",
        [](py::object msg) { return user_properties_view(std::move(msg)); },
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
            msg.set_application_message_type(
                argument<std::optional<std::string_view>>(type, "ZelMsg.application_message_type", kOptionalText)); });
    writable(message, "sender_id",
        [](const PyZelMsg &msg) { return msg.get_sender_id(); },
        [](PyZelMsg &msg, py::handle id) {
            msg.set_sender_id(argument<std::optional<std::string_view>>(id, "ZelMsg.sender_id", kOptionalText)); });
    writable(message, "http_content_type",
        [](const PyZelMsg &msg) { return msg.get_http_content_type(); },
        [](PyZelMsg &msg, py::handle type) {
            msg.set_http_content_type(
                argument<std::optional<std::string_view>>(type, "ZelMsg.http_content_type", kOptionalText)); });
    writable(message, "http_content_encoding",
        [](const PyZelMsg &msg) { return msg.get_http_content_encoding(); },
        [](PyZelMsg &msg, py::handle encoding) {
            msg.set_http_content_encoding(
                argument<std::optional<std::string_view>>(encoding, "ZelMsg.http_content_encoding", kOptionalText)); });
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
    message.def("__copy__", [](py::handle self) { return copy_message(self, py::none()); });
    message.def("__deepcopy__", [](py::handle self, py::handle memo) { return copy_message(self, memo); });
    static PyMethodDef build{"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&build_message)),
                             METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
                             "build(**attributes): a new message with each attribute set as assigning it does."};
    message.attr("build") = py::reinterpret_steal<py::object>(
        PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject *>(message.ptr()), &build));

    message.def("to_smf", [](const PyZelMsg &msg) { return msg.to_smf(); });
    classmethod(message, "from_smf", [](py::handle cls, py::handle data) { return PyZelMsg::from_smf(cls, data); });
    message.def("__reduce__", &reduce_message);
    // pybind11 takes a function it registers as __setstate__ for a constructor, and ignores
    // it on a made object: made under another name and stored there, it is a method.
    message.attr("__setstate__") = py::cpp_function(&restore_message, py::is_method(message), py::name("restore"));
}
