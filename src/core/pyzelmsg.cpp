// The message object's accessors that take more than a line, its life and its dump.
#include "pyzelmsg.hpp"

#include "errors.hpp"
#include "smf_framing.hpp"
#include "texts.hpp"

#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace zelmsg {
namespace {

// The library cuts its dump two bytes short of the buffer, wherever that falls.
constexpr std::size_t kDumpBufferSize = 4096;
constexpr std::size_t kDumpTextLimit = kDumpBufferSize - 2;

// 0x1F, a 4-byte length of the whole field, the text and a NUL.
constexpr std::size_t kMaxAttachmentText = std::numeric_limits<std::uint32_t>::max() - 6;

// The most user data a message can be sent with.
constexpr std::size_t kMaxUserData = 36;

// A copy of a C string, on the stack when it is short, as names mostly are.
class SavedText {
public:
    explicit SavedText(const char *text) : size_(std::strlen(text)) {
        if (size_ < sizeof local_)
            std::memcpy(local_, text, size_ + 1);
        else
            long_.assign(text, size_);
    }
    const char *get() const { return size_ < sizeof local_ ? local_ : long_.c_str(); }

private:
    std::size_t size_;
    char local_[256];
    std::string long_;
};

// Bytes at the end of text that begin a UTF-8 sequence the text does not complete.
std::size_t incomplete_utf8_tail(std::string_view text) {
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

// The whole dump's buffer beyond what the message's bytes need: most headers and user
// property maps fit.
constexpr std::size_t kFirstWholeDumpSize = 16384;

}  // namespace

py::str PyZelMsg::whole_dump(bool brief) const {
    // The library formats as much as the buffer holds, so a cut try costs about what it
    // wrote: the first buffer is sized for the bytes shown in hex (16 in a row of 76
    // characters) and the XML part (at most 6 characters a byte), and most dumps fit it.
    std::size_t size = kFirstWholeDumpSize;
    if (!brief) {
        const auto length = [this](BytesRead read) {
            solClient_opaquePointer_pt data = nullptr;
            solClient_uint32_t bytes = 0;
            return read(msg_, &data, &bytes) == SOLCLIENT_OK ? std::size_t{bytes} : 0;
        };
        size += 5 * (length(solClient_msg_getBinaryAttachmentPtr) + length(solClient_msg_getUserDataPtr) +
                     length(solClient_msg_getCorrelationTagPtr)) +
                6 * length(solClient_msg_getXmlPtr);
    }
    // The library cuts a dump that does not fit two bytes short of the buffer, and says OK
    // either way: a text that ends before then is whole.
    const solClient_uint32_t flags = brief ? SOLCLIENT_MSGDUMP_BRIEF : SOLCLIENT_MSGDUMP_FULL;
    for (;; size *= 2) {
        const std::unique_ptr<char[]> buffer(new char[size]);
        buffer[0] = '\0';  // an object that holds no message gets no text
        solClient_msg_dumpExt(msg_, buffer.get(), size, flags);
        const std::string_view text(buffer.get(), strnlen(buffer.get(), size));
        if (text.size() < size - 2) return diagnostic_text(text);
    }
}

void PyZelMsg::reset() {
    if (!msg_) throw py::value_error("the ZelMsg holds no message");
    // The library makes every container handle of the message stale: a view must not go on
    // from the one it holds.
    ++user_property_map_touches;
    // And, like any change, it makes native code's next handle encode afresh.
    written_ = true;
    check_call(solClient_msg_reset(msg_), "resetting the message");
}

py::str PyZelMsg::dump() const {
    char buffer[kDumpBufferSize] = {};
    solClient_msg_dump(msg_, buffer, sizeof buffer);
    std::string_view text(buffer, strnlen(buffer, sizeof buffer));
    // A dump cut at the limit may end inside a character: that fragment is dropped rather
    // than shown escaped. Bytes the message holds that are not UTF-8 are shown escaped.
    if (text.size() >= kDumpTextLimit) text.remove_suffix(incomplete_utf8_tail(text));
    return diagnostic_text(text);
}

OpenContainer PyZelMsg::open_user_property_map() const {
    ++user_property_map_touches;
    OpenContainer map;
    const solClient_returnCode_t rc = solClient_msg_getUserPropertyMap(msg_, map.out());
    if (rc != SOLCLIENT_OK && rc != SOLCLIENT_NOT_FOUND && msg_) check_call(rc, "reading the user property map");
    return map;
}

solClient_returnCode_t PyZelMsg::make_user_property_map(OpenContainer &map) {
    ++user_property_map_touches;
    return solClient_msg_createUserPropertyMap(msg_, map.out(), kUserPropertyMapSize);
}

py::str PyZelMsg::get_content_type() const {
    ++user_property_map_touches;
    OpenContainer map;
    const char *text = nullptr;
    solClient_returnCode_t rc = solClient_msg_getUserPropertyMap(msg_, map.out());
    if (rc == SOLCLIENT_OK) {
        rc = solClient_container_getStringPtr(map.get(), &text, kContentTypeName);
        if (rc == SOLCLIENT_OK) return text_object(text, "ZelMsg.content_type");
    }
    // Only a missing map or a missing entry falls back to the HTTP content type.
    if (rc == SOLCLIENT_NOT_FOUND && solClient_msg_getHttpContentType(msg_, &text) == SOLCLIENT_OK)
        return text_object(text, "ZelMsg.content_type");
    return py::str();
}

solClient_returnCode_t PyZelMsg::set_content_type(const char *text) {
    ++user_property_map_touches;
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

solClient_returnCode_t PyZelMsg::set_reply2(const std::optional<Destination> &d) {
    if (!d) return solClient_msg_deleteReplyTo(msg_);
    solClient_destination_t rec{d->dest_type, c_text(d->dest, "ZelMsg.reply2")};
    // The library drops the old reply-to before it checks the new one: keep a copy of it (its
    // name points into the message) to put back.
    solClient_destination_t old{SOLCLIENT_NULL_DESTINATION, nullptr};
    const bool had = solClient_msg_getReplyTo(msg_, &old, sizeof old) == SOLCLIENT_OK && old.dest;
    const SavedText old_name(had ? old.dest : "");
    const solClient_returnCode_t rc = solClient_msg_setReplyTo(msg_, &rec, sizeof rec);
    if (rc == SOLCLIENT_OK) return rc;
    if (had) {
        solClient_destination_t back{old.destType, old_name.get()};
        solClient_msg_setReplyTo(msg_, &back, sizeof back);
    } else {
        solClient_msg_deleteReplyTo(msg_);
    }
    return rc;
}

solClient_returnCode_t PyZelMsg::set_body(const void *data, std::uint32_t size) {
    if (const char *fault = attachment_framing_fault(static_cast<const unsigned char *>(data), size)) {
        throw py::value_error(std::string("ZelMsg.body: bytes that the library would read as a damaged map, "
                                          "stream or text (") +
                              fault + ")");
    }
    return solClient_msg_setBinaryAttachment(msg_, data, size);
}

solClient_returnCode_t PyZelMsg::set_user_data(const std::optional<py::bytes> &data) {
    const std::string_view bytes = data ? std::string_view(*data) : std::string_view();
    if (bytes.size() > kMaxUserData) {
        throw py::value_error("user data of " + std::to_string(bytes.size()) +
                              " bytes is more than a message can be sent with (36 bytes)");
    }
    return solClient_msg_setUserData(msg_, bytes.data(), static_cast<solClient_uint32_t>(bytes.size()));
}

solClient_returnCode_t PyZelMsg::write_bytes(BytesWrite write, const std::optional<py::bytes> &bytes,
                                             const char *where) {
    const std::string_view data = bytes ? std::string_view(*bytes) : std::string_view();
    if (data.size() > std::numeric_limits<solClient_uint32_t>::max()) {
        PyErr_Format(PyExc_ValueError, "%s: %zu bytes are more than a message can hold (4294967295 bytes)", where,
                     data.size());
        raise_python_error();
    }
    return write(msg_, data.data(), static_cast<solClient_uint32_t>(data.size()));
}

solClient_returnCode_t PyZelMsg::set_text(std::optional<std::string_view> text) {
    if (text && text->size() > kMaxAttachmentText) {
        throw py::value_error("text of " + std::to_string(text->size()) +
                              " bytes is longer than a message can carry (4294967289 bytes)");
    }
    return solClient_msg_setBinaryAttachmentString(msg_, text ? text->data() : nullptr);
}

std::optional<py::str> PyZelMsg::read_text(TextRead read, const char *where) const {
    const char *text = nullptr;
    // The genuine library may answer OK with no text for a malformed structured string.
    if (read(msg_, &text) != SOLCLIENT_OK || !text) return std::nullopt;
    return text_object(text, where);
}

std::optional<py::str> PyZelMsg::get_replication_group_message_id() const {
    unsigned char id[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_SIZE] = {};
    if (solClient_msg_getReplicationGroupMessageId(msg_, id, sizeof id) != SOLCLIENT_OK) return std::nullopt;
    // The whole text and its NUL: a buffer a byte short gets a cut text.
    char text[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_STRING_LENGTH + 1] = {};
    if (solClient_replicationGroupMessageId_toString(id, sizeof id, text, sizeof text) != SOLCLIENT_OK)
        return std::nullopt;
    return text_object(text, "ZelMsg.replication_group_message_id");
}

solClient_opaqueMsg_pt PyZelMsg::duplicate(const char *refusal) const {
    if (!msg_) throw py::value_error("the ZelMsg holds no message");
    solClient_opaqueMsg_pt copy = nullptr;
    if (solClient_msg_dup(msg_, &copy) != SOLCLIENT_OK || !copy) refused(refusal);
    return copy;
}

py::bytes read_body(const PyZelMsg &msg) {
    const AttachmentView view = msg.get_body();
    return py::bytes(static_cast<const char *>(view.data), view.size);
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

void write_body(PyZelMsg &msg, const py::bytes &body) {
    const AttachmentView payload = payload_view(body);
    msg.set_body(payload.data, payload.size);
}

py::tuple PyZelMsg::get_consumer_ids() const {
    solClient_uint32_t count = 0;
    if (solClient_msg_getConsumerIdCount(msg_, &count) != SOLCLIENT_OK) return py::tuple();
    py::tuple ids(count);
    for (solClient_uint32_t i = 0; i < count; ++i) {
        solClient_consumerId_t id = 0;
        solClient_msg_getConsumerId(msg_, i, &id);
        ids[i] = py::int_(id);
    }
    return ids;
}

solClient_opaqueMsg_pt PyZelMsg::handle_for_native() {
    if (written_ && msg_) {
        // Setting the destination again, to what it is, makes the library drop an encoding it
        // made before and encode afresh: without one, nothing can have been encoded.
        solClient_destination_t dest{SOLCLIENT_NULL_DESTINATION, nullptr};
        if (solClient_msg_getDestination(msg_, &dest, sizeof dest) == SOLCLIENT_OK)
            solClient_msg_setDestination(msg_, &dest, sizeof dest);
        written_ = false;
    }
    return msg_;
}

}  // namespace zelmsg
